#pragma once

#include <cstdint>

#include <kqnet/core/engine.h>

// A data access is bound to a block of doubles that another object owns (an
// activity frame, a criterion's statistics, weights). The owner calls step
// when the block has new contents and setDataAndStep when the block moved;
// the access then runs its transfer and passes the call down its chain, so
// one notification reaches a data file, a probe and a transmitter in a fixed
// order.
//
// SpatialAccess: the chain and the binding; transfer does nothing. It is
// the observer that Soma notifies, so it stands beside Soma; the accesses
// that hold data of their own are in data/spatial_data.h.
//
// Either end of a link may go first. An access remembers the access it is
// chained behind and the component field (AccessRef) that holds it, and
// takes itself out of both when it is destroyed; an access cut from a chain
// is unbound, since its block was its predecessor's. The whole rule of what
// may point at an observer and who unlinks it: core/access_ref.h.

namespace kq {

class AccessRef;

class SpatialAccess : public Engine {
 public:
  // The next access of a chain: read like a pointer, written only by
  // setNext, which keeps the back-links and refuses loops.
  class Next {
   public:
    operator SpatialAccess*() const { return access_; }
    SpatialAccess* operator->() const { return access_; }

   private:
    friend class SpatialAccess;
    Next& operator=(const Next&) = default;
    Next& operator=(SpatialAccess* access) {
      access_ = access;
      return *this;
    }
    SpatialAccess* access_ = nullptr;
  };

  SpatialAccess() = default;
  // Not copied: a copy would carry a binding that no owner re-points.
  SpatialAccess(const SpatialAccess&) = delete;
  SpatialAccess& operator=(const SpatialAccess&) = delete;
  // Leaves the component field that holds it, and its chain: the access
  // before it is linked to the one after it, or, at the head, the chain
  // behind it is cut and unbound.
  ~SpatialAccess() override;

  // The block moved to p (same shape) and has new contents.
  virtual void setDataAndStep(double* p);
  // The block has new contents.
  virtual void step();
  // The class's action on the block.
  virtual void transfer() {}
  // Binds this access and the chain behind it to a block of that shape.
  virtual void setData(double* p, int newRows, int newColumns);
  // Chains a behind this access and binds it to this block; null unchains.
  // An access is in one chain at a time: a is taken from the chain it was
  // in, and the access that was behind this one is cut and unbound. A chain
  // that would reach this access again (a is this one, or this one follows
  // a) throws std::invalid_argument and changes nothing.
  virtual void setNext(SpatialAccess* a);

  // Sets every element of the bound block to x, then steps.
  void fill(double x);
  // Copies length values from src into the bound block, then steps.
  void copyFrom(const double* src);

  Next next;                    // next access of the chain (written by setNext)
  uint32_t transferCount = 0;   // compared with transferPeriod
  uint32_t transferPeriod = 0;  // every notification transfers while both are 0
  double* data = nullptr;       // the bound block
  int32_t rows = 0;             // rows of the bound block
  int32_t columns = 0;          // columns of the bound block
  int32_t length = 0;           // elements of the bound block

 protected:
  bool transfersNow() const { return transferCount == transferPeriod; }

 private:
  friend class AccessRef;

  // The access behind this one leaves the chain, unbound.
  void cutNext();

  SpatialAccess* previous_ = nullptr;  // the access this one is chained behind
  AccessRef* holder_ = nullptr;        // the component field holding this access
};

}  // namespace kq

#pragma once

#include <kqnet/core/spatial_access.h>

// What may point at a component's blocks, and who unlinks it.
//
// The observers of a block that a component owns (its activity, its
// weights, a criterion's statistics, a rule's arrays) are held in AccessRef
// fields of the component, and in the chains behind them
// (SpatialAccess::next, written only by setNext). Nothing else in the
// library keeps a pointer to an observer, and every such link is undone
// from both ends:
// - Storing an observer in a field binds it at once to the field's block
//   (when the owner holds it), taking it from any field that held it
//   before: an observer is held by one field at a time.
// - Storing another observer, or null, lets go of the one before: when it
//   is still bound where this field bound it, it is unbound at once, with
//   the chain behind it.
// - An observer destroyed while held takes itself out of its field and out
//   of its chain (the chain closes over the gap).
// - A component destroyed, or a block freed, unbinds whatever its fields
//   hold.
// - An observer cut from a chain is unbound with what follows it, since
//   its block was its predecessor's; a chain that would close a loop is
//   refused.
// Observers are not copied (a copy would carry a binding nobody
// re-points). What points into a component's weights in particular, and
// who re-points it: core/weight_vector.h.

namespace kq {

class AccessRef;

// The owner of observer fields: told when a field gains or loses its
// observer, so that it binds the new one and stops trusting copies the old
// one may have written behind its back.
class AccessOwner {
 public:
  // An observer was stored in field (or stored again): bind it.
  virtual void accessStored(AccessRef& field) = 0;
  // The observer of field was replaced, cleared or destroyed.
  virtual void accessLeft(AccessRef& /*field*/) {}

 protected:
  AccessOwner() = default;
  AccessOwner(const AccessOwner&) = default;
  AccessOwner& operator=(const AccessOwner&) = default;
  ~AccessOwner() = default;
};

// A component's field naming one observer: a non-owning reference that
// reads as the pointer it holds, and one end of a two-way link.
class AccessRef {
 public:
  explicit AccessRef(AccessOwner& owner) : owner_(owner) {}
  AccessRef(const AccessRef&) = delete;
  AccessRef& operator=(const AccessRef&) = delete;
  ~AccessRef() { letGo(); }

  AccessRef& operator=(SpatialAccess* access);
  operator SpatialAccess*() const { return access_; }
  SpatialAccess* operator->() const { return access_; }
  SpatialAccess* get() const { return access_; }

  // Binds the observer (when set) to rows x columns doubles at block.
  void bind(double* block, int rows, int columns);
  // The block moved to block, same shape, with new contents.
  void moveAndStep(double* block) {
    if (access_ == nullptr) return;
    boundTo_ = block;
    access_->setDataAndStep(block);
  }
  // The block has new contents.
  void step() const {
    if (access_ != nullptr) access_->step();
  }

 private:
  friend class SpatialAccess;

  // Unbinds the observer when it is still bound where this field bound it,
  // and ends the link.
  void letGo();
  // The observer is being destroyed: the field drops it untouched.
  void forget(const SpatialAccess* access);

  AccessOwner& owner_;               // told of every change of observer
  SpatialAccess* access_ = nullptr;  // the observer, or null
  double* boundTo_ = nullptr;        // where this field last pointed it
};

// A field whose observer must be of class T (a transmitter's smoothing
// buffer): the same link, read as a T.
template <typename T>
class AccessRefTo {
 public:
  explicit AccessRefTo(AccessOwner& owner) : link_(owner) {}

  AccessRefTo& operator=(T* access) {
    link_ = access;
    return *this;
  }
  operator T*() const { return get(); }
  T* operator->() const { return get(); }
  T* get() const { return static_cast<T*>(link_.get()); }
  // The link itself, as the owner's accessStored and accessLeft see it.
  AccessRef& link() { return link_; }

 private:
  AccessRef link_;
};

}  // namespace kq

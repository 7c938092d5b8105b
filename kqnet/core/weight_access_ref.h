#pragma once

#include <kqnet/core/spatial_access.h>

// A component's field naming the observer of its own or its instance
// weights: a non-owning reference that reads as the pointer it holds, and
// one end of a link that either side may outlive (the story of what points
// into the weights is in core/weight_vector.h).
//
// Storing an observer binds it at once when the component holds weights,
// taking it from any field that held it before. Storing another observer,
// or null, lets go of the one before: when it is still bound where this
// field bound it, it is unbound at once (with the chain behind it), so
// nothing written through it later reaches the weights; and the weights
// count as written, since it may have written them after the last sum. An
// observer destroyed while held takes itself out of the field (counted as
// a write too); a field destroyed with its component unbinds its observer.

namespace kq {

class Soma;

class WeightAccessRef {
 public:
  explicit WeightAccessRef(Soma& owner) : owner_(owner) {}
  WeightAccessRef(const WeightAccessRef&) = delete;
  WeightAccessRef& operator=(const WeightAccessRef&) = delete;
  ~WeightAccessRef();

  WeightAccessRef& operator=(SpatialAccess* access);
  operator SpatialAccess*() const { return access_; }
  SpatialAccess* operator->() const { return access_; }
  SpatialAccess* get() const { return access_; }

  // Binds the observer (when set) to rows x columns doubles at block.
  void bind(double* block, int rows, int columns);

 private:
  friend class SpatialAccess;

  // Unbinds the observer when it is still bound where this field bound it,
  // and ends the link.
  void letGo();
  // The observer is being destroyed: the field drops it untouched.
  void forget(const SpatialAccess* access);

  Soma& owner_;                      // the component whose weights are observed
  SpatialAccess* access_ = nullptr;  // the observer, or null
  double* boundTo_ = nullptr;        // where bind last pointed it
};

}  // namespace kq

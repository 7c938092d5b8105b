#pragma once

#include <kqnet/core/spatial_access.h>
#include <kqnet/core/weight_vector.h>

// A component's field naming the observer of its own or its instance
// weights: a non-owning reference that reads as the pointer it holds.
// The component binds the observer through bind, which remembers where it
// pointed it. Storing another observer, or null, lets go of the one before:
// when it is still bound where this field bound it, it is unbound at once
// (with the chain behind it), so nothing written through it later reaches
// the weights; and the weights count as written, since it may have written
// them after the last sum. Detach an observer before destroying it: the
// field touches it only when it is replaced, bound or stepped.

namespace kq {

class WeightAccessRef {
 public:
  explicit WeightAccessRef(WeightVector& weights) : weights_(weights) {}
  WeightAccessRef(const WeightAccessRef&) = delete;
  WeightAccessRef& operator=(const WeightAccessRef&) = delete;
  ~WeightAccessRef() = default;

  WeightAccessRef& operator=(SpatialAccess* access);
  operator SpatialAccess*() const { return access_; }
  SpatialAccess* operator->() const { return access_; }
  SpatialAccess* get() const { return access_; }

  // Binds the observer (when set) to rows x columns doubles at block.
  void bind(double* block, int rows, int columns);

 private:
  WeightVector& weights_;            // the weights observed
  SpatialAccess* access_ = nullptr;  // the observer, or null
  double* boundTo_ = nullptr;        // where bind last pointed it
};

}  // namespace kq

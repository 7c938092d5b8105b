#include <kqnet/core/weight_access_ref.h>

#include <kqnet/core/soma.h>

namespace kq {

WeightAccessRef::~WeightAccessRef() { letGo(); }

void WeightAccessRef::letGo() {
  if (access_ == nullptr) return;
  // An observer the user re-bound elsewhere since is theirs to keep.
  if (boundTo_ != nullptr && access_->data == boundTo_) access_->setData(nullptr, 0, 0);
  access_->holder_ = nullptr;
  access_ = nullptr;
  boundTo_ = nullptr;
}

WeightAccessRef& WeightAccessRef::operator=(SpatialAccess* access) {
  if (access == access_) return *this;
  if (access_ != nullptr) {
    letGo();
    owner_.weights.markWritten();
  }
  if (access != nullptr) {
    // One field at a time: the block it is bound to is this one's now.
    if (access->holder_ != nullptr) *access->holder_ = nullptr;
    access_ = access;
    access->holder_ = this;
    if (!owner_.weights.empty()) owner_.bindWeightAccess();
  }
  return *this;
}

void WeightAccessRef::forget(const SpatialAccess* access) {
  if (access != access_) return;
  access_ = nullptr;
  boundTo_ = nullptr;
  owner_.weights.markWritten();
}

void WeightAccessRef::bind(double* block, int rows, int columns) {
  if (access_ == nullptr) return;
  access_->setData(block, rows, columns);
  boundTo_ = block;
}

}  // namespace kq

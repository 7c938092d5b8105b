#include <kqnet/core/weight_access_ref.h>

namespace kq {

WeightAccessRef& WeightAccessRef::operator=(SpatialAccess* access) {
  if (access == access_) return *this;
  if (access_ != nullptr) {
    // An observer the user re-bound elsewhere since is theirs to keep.
    if (boundTo_ != nullptr && access_->data == boundTo_) access_->setData(nullptr, 0, 0);
    weights_.markWritten();
  }
  access_ = access;
  boundTo_ = nullptr;
  return *this;
}

void WeightAccessRef::bind(double* block, int rows, int columns) {
  if (access_ == nullptr) return;
  access_->setData(block, rows, columns);
  boundTo_ = block;
}

}  // namespace kq

#include <kqnet/core/access_ref.h>

namespace kq {

void AccessRef::letGo() {
  if (access_ == nullptr) return;
  // An observer the user re-bound elsewhere since is theirs to keep.
  if (boundTo_ != nullptr && access_->data == boundTo_) access_->setData(nullptr, 0, 0);
  access_->holder_ = nullptr;
  access_ = nullptr;
  boundTo_ = nullptr;
}

AccessRef& AccessRef::operator=(SpatialAccess* access) {
  if (access != access_ && access_ != nullptr) {
    letGo();
    owner_.accessLeft(*this);
  }
  if (access != nullptr) {
    if (access != access_) {
      // One field at a time: the block it is bound to is this one's now.
      if (access->holder_ != nullptr) *access->holder_ = nullptr;
      access_ = access;
      access->holder_ = this;
    }
    owner_.accessStored(*this);
  }
  return *this;
}

void AccessRef::forget(const SpatialAccess* access) {
  if (access != access_) return;
  access_ = nullptr;
  boundTo_ = nullptr;
  owner_.accessLeft(*this);
}

void AccessRef::bind(double* block, int rows, int columns) {
  if (access_ == nullptr) return;
  access_->setData(block, rows, columns);
  boundTo_ = block;
}

}  // namespace kq

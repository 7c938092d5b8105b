#include <kqnet/core/spatial_access.h>

#include <algorithm>
#include <stdexcept>

#include <kqnet/core/access_ref.h>
#include <kqnet/core/fatal.h>

namespace kq {

SpatialAccess::~SpatialAccess() {
  if (holder_ != nullptr) holder_->forget(this);
  if (previous_ != nullptr && previous_->next == this) {
    // The chain closes over the gap; what follows keeps its binding, which
    // is the predecessor's block.
    previous_->next = next;
    if (next != nullptr && next->previous_ == this) next->previous_ = previous_;
  } else {
    cutNext();
  }
}

void SpatialAccess::setDataAndStep(double* p) {
  data = p;
  if (transfersNow()) transfer();
  if (next != nullptr) next->setDataAndStep(p);
}

void SpatialAccess::step() {
  if (transfersNow()) transfer();
  if (next != nullptr) next->step();
}

void SpatialAccess::setData(double* p, int newRows, int newColumns) {
  rows = newRows;
  columns = newColumns;
  length = checkedProduct(newRows, newColumns);
  data = p;
  // The chain behind is re-bound as setNext(next) would; it holds no loop,
  // since setNext refused every one.
  if (next != nullptr) next->setData(p, newRows, newColumns);
}

void SpatialAccess::cutNext() {
  SpatialAccess* cut = next;
  next = nullptr;
  if (cut == nullptr || cut->previous_ != this) return;
  cut->previous_ = nullptr;
  cut->setData(nullptr, 0, 0);
}

void SpatialAccess::setNext(SpatialAccess* a) {
  // A loop would step and bind round it for ever.
  for (const SpatialAccess* walk = a; walk != nullptr; walk = walk->next) {
    if (walk == this) {
      throw std::invalid_argument(
          "kq::SpatialAccess::setNext: the access would follow itself; a chain of "
          "accesses cannot close a loop");
    }
  }
  if (a != next) {
    cutNext();
    if (a != nullptr) {
      if (a->previous_ != nullptr && a->previous_->next == a) a->previous_->next = nullptr;
      a->previous_ = this;
    }
  }
  next = a;
  if (a != nullptr) a->setData(data, rows, columns);
}

void SpatialAccess::fill(double x) {
  if (data == nullptr) return;
  std::fill(data, data + length, x);
  step();
}

void SpatialAccess::copyFrom(const double* src) {
  if (data == nullptr || src == nullptr) return;
  std::copy(src, src + length, data);
  step();
}

}  // namespace kq

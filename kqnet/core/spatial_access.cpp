#include <kqnet/core/spatial_access.h>

#include <algorithm>

#include <kqnet/core/fatal.h>

namespace kq {

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
  setNext(next);
}

void SpatialAccess::setNext(SpatialAccess* a) {
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

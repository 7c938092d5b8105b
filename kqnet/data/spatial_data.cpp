#include <kqnet/data/spatial_data.h>

#include <algorithm>

#include <kqnet/core/fatal.h>

namespace kq {

void SpatialData::releaseBuffer() {
  ownedBuffer.release();
  data = nullptr;
  columns = 0;
  rows = 0;
  length = 0;
  step();
}

void SpatialData::reserve(int n) {
  if (n <= 0 || int64_t{n} < int64_t{rows} * columns) return;
  length = n;
  ownedBuffer.assign(static_cast<size_t>(n), 0.0);
  data = ownedBuffer.data();
}

void SpatialData::setSize(int newRows, int newColumns) {
  rows = newRows;
  columns = newColumns;
  reserve(checkedProduct(newRows, newColumns));
}

void InputSpatialData::setSize(int newRows, int newColumns) {
  const int32_t n = checkedProduct(newRows, newColumns);
  // Identity until the weight file's normalisation record fills them.
  // With the buffer the shape reserves: refused together, before the shape
  // changes, which then reserves the buffer in place.
  if (n > 0) {
    sizeTogether([&](auto&& size) {
      size(ownedBuffer, n, 0.0);
      size(scale, n, 1.0);
      size(offset, n, 0.0);
      size(scratch, n, 0.0);
    });
  }
  SpatialData::setSize(newRows, newColumns);
  if (n == 0) return;
  normalizationSize = n;
}

void InputSpatialData::applyNormalization() {
  if (data == nullptr || length != normalizationSize) return;
  for (int32_t i = 0; i < length; ++i) data[i] = scale[i] * data[i] + offset[i];
}

void InputSpatialData::normalize() {
  if (data == nullptr || length != normalizationSize) return;
  for (int32_t i = 0; i < length; ++i) scratch[i] = (data[i] - offset[i]) / scale[i];
}

}  // namespace kq

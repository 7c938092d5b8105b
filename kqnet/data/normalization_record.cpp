#include <algorithm>

#include <kqnet/core/records.h>
#include <kqnet/data/spatial_data.h>

namespace kq {

void InputSpatialData::readNormalization(std::FILE* file, KqWeightFileVersion version) {
  FileRecordReader reader(file);
  const int64_t kept = std::min<int64_t>(
      {normalizationSize, static_cast<int64_t>(scale.size()), static_cast<int64_t>(offset.size())});
  // A count that cannot be read ends the record wherever it stands.
  if (!readCountedPairs(reader, scale.data(), offset.data(), kept)) return;
  if (version < kVersionReadingNormalizationBlock || reading != 1) return;
  // The second block is read past; none of its values is kept.
  int32_t pairCount = 0;
  if (!reader.readInt(pairCount)) return;
  reader.readValues(2 * int64_t{pairCount}, nullptr, 0);
  if (pairCount == 0) return;
  int32_t flag = 0;
  if (!reader.readInt(flag) || flag == 0) return;
  reader.skipInts(1);
  int32_t listCount = 0;
  if (!reader.readInt(listCount)) return;
  reader.skipInts(listCount);
  reader.skipInts(listCount);
}

}  // namespace kq

#include <algorithm>
#include <array>

#include <kqnet/core/messages.h>
#include <kqnet/core/records.h>
#include <kqnet/learning/conjugate_gradient.h>

namespace kq {

namespace {

// The five vectors of the record, in record order.
std::array<std::vector<double>*, 5> presentVectors(ConjugateGradient& g) {
  return {&g.weightCopy, &g.baseWeights, &g.direction, &g.steepestDescent, &g.curvature};
}

std::array<std::vector<double>*, 5> snapshotVectors(ConjugateGradient& g) {
  return {&g.savedWeightCopy, &g.savedBaseWeights, &g.savedDirection, &g.savedSteepestDescent,
          &g.savedCurvature};
}

// The legacy block's seven doubles and seven integers.
constexpr int kLegacyCount = 7;

}  // namespace

void ConjugateGradient::readStateRecord(RecordReader& reader, KqWeightFileVersion version) {
  if (version < kVersionConjugateGradientRecord) return;
  int32_t count = 0;
  // An unreadable count is a record that cannot be loaded, like a wrong one.
  if (!reader.readInt(count) || count != weightCount || !hasVectors()) {
    std::fputs(messages::kConjugateGradientLoadError, stdout);
    std::fflush(stdout);
    return;
  }
  for (std::vector<double>* vector : presentVectors(*this)) {
    const int64_t kept = std::min<int64_t>(count, static_cast<int64_t>(vector->size()));
    reader.readValues(count, vector->data(), kept);
  }
  if (version >= kVersionNoConjugateGradientLegacy) return;
  int32_t legacy = 0;
  if (!reader.readInt(legacy) || legacy == 0) return;
  reader.readValues(kLegacyCount, nullptr, 0);
  reader.skipInts(kLegacyCount);
}

void ConjugateGradient::writeStateRecord(RecordWriter& writer, bool fromSnapshot) {
  const bool taken = fromSnapshot && !savedDirection.empty();
  const auto vectors = taken ? snapshotVectors(*this) : presentVectors(*this);
  writer.putInt(weightCount, '\n');
  for (const std::vector<double>* vector : vectors) {
    const int64_t available = static_cast<int64_t>(vector->size());
    for (int64_t i = 0; i < weightCount; ++i) {
      writer.putValue(i < available ? (*vector)[static_cast<size_t>(i)] : 0.0);
    }
    writer.putLineEnd();
  }
  writer.putLineEnd();
  // A snapshot is written once.
  if (taken) {
    for (std::vector<double>* vector : snapshotVectors(*this)) std::vector<double>().swap(*vector);
  }
}

void ConjugateGradient::saveState() {
  const size_t size = static_cast<size_t>(std::max(weightCount, 0));
  const auto from = presentVectors(*this);
  const auto to = snapshotVectors(*this);
  for (size_t v = 0; v < from.size(); ++v) {
    // Taken again, the snapshot is overwritten in place.
    if (to[v]->size() != size) to[v]->assign(size, 0.0);
    const size_t copied = std::min(size, from[v]->size());
    std::copy_n(from[v]->begin(), copied, to[v]->begin());
    std::fill(to[v]->begin() + static_cast<std::ptrdiff_t>(copied), to[v]->end(), 0.0);
  }
}

}  // namespace kq

#include <kqnet/learning/conjugate_gradient.h>

#include <algorithm>
#include <array>
#include <cstdio>

#include <kqnet/control/control.h>
#include <kqnet/core/messages.h>
#include <kqnet/core/records.h>
#include <kqnet/learning/learning_globals.h>

namespace kq {

namespace {

// The five vectors of the record, in record order.
std::array<ClaimedArray<double>*, 5> presentVectors(ConjugateGradient& g) {
  return {&g.weightCopy, &g.baseWeights, &g.direction, &g.steepestDescent, &g.curvature};
}

std::array<ClaimedArray<double>*, 5> snapshotVectors(ConjugateGradient& g) {
  return {&g.savedWeightCopy, &g.savedBaseWeights, &g.savedDirection, &g.savedSteepestDescent,
          &g.savedCurvature};
}

// The six per-weight vectors.
std::array<ClaimedArray<double>*, 6> workVectors(ConjugateGradient& g) {
  return {&g.weightCopy, &g.baseWeights,     &g.averageGradient,
          &g.direction,  &g.steepestDescent, &g.curvature};
}

// The legacy block's seven doubles and seven integers.
constexpr int kLegacyCount = 7;

}  // namespace

void ConjugateGradient::setWeightCount(int n) {
  const int old = weightCount;
  const int32_t count = std::max(n, 1);  // the count the base will set
  const auto vectors = [this, count](auto&& size) {
    for (ClaimedArray<double>* vector : workVectors(*this)) size(*vector, count, 0.0);
  };
  // Three times what the target's weights and their saved copy took, so
  // sized (or refused) before the count changes.
  if (count != old) sizeTogether(vectors);
  Gradient::setWeightCount(n);
  if (count != old && control != nullptr && control->learningGlobals) {
    control->learningGlobals->initialised = 0;
  }
}

void ConjugateGradient::release() {
  forward = nullptr;
  for (ClaimedArray<double>* vector : workVectors(*this)) vector->release();
  for (ClaimedArray<double>* vector : snapshotVectors(*this)) vector->release();
  Gradient::release();
}

// The conjugate-gradient record

void ConjugateGradient::readStateRecord(RecordReader& reader, KqWeightFileVersion version) {
  if (version < kVersionConjugateGradientRecord) return;
  int32_t count = 0;
  // An unreadable count is a record that cannot be loaded, like a wrong one.
  if (!reader.readInt(count) || count != weightCount || !hasVectors()) {
    std::fputs(messages::kConjugateGradientLoadError, stdout);
    std::fflush(stdout);
    return;
  }
  for (ClaimedArray<double>* vector : presentVectors(*this)) {
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
  for (const ClaimedArray<double>* vector : vectors) {
    const int64_t available = static_cast<int64_t>(vector->size());
    for (int64_t i = 0; i < weightCount; ++i) {
      writer.putValue(i < available ? (*vector)[static_cast<size_t>(i)] : 0.0);
    }
    writer.putLineEnd();
  }
  writer.putLineEnd();
  // A snapshot is written once.
  if (taken) {
    for (ClaimedArray<double>* vector : snapshotVectors(*this)) vector->release();
  }
}

void ConjugateGradient::saveState() {
  const size_t size = static_cast<size_t>(std::max(weightCount, 0));
  const auto from = presentVectors(*this);
  const auto to = snapshotVectors(*this);
  // Refused together before the first changes; taken again, the snapshot
  // is overwritten in place.
  sizeTogether([&to, size](auto&& sized) {
    for (ClaimedArray<double>* snapshot : to) sized(*snapshot, size, 0.0);
  });
  for (size_t v = 0; v < from.size(); ++v) {
    const size_t copied = std::min(size, from[v]->size());
    std::copy_n(from[v]->begin(), copied, to[v]->begin());
  }
}

}  // namespace kq

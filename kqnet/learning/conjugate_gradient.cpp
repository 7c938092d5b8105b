#include <kqnet/learning/conjugate_gradient.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>

#include <kqnet/control/control.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/messages.h>
#include <kqnet/core/records.h>
#include <kqnet/learning/learning_globals.h>

namespace kq {

namespace {

void freeVector(std::vector<double>& vector) { std::vector<double>().swap(vector); }

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

void ConjugateGradient::setWeightCount(int n) {
  const int old = weightCount;
  std::vector<double>* const vectors[] = {&weightCopy, &baseWeights,     &averageGradient,
                                          &direction,  &steepestDescent, &curvature};
  // Three times what the target's weights and their saved copy took, so
  // checked again before anything changes.
  vectorClaim.set(std::ssize(vectors) * int64_t{std::max(n, 1)} * int64_t{sizeof(double)});
  Gradient::setWeightCount(n);
  if (weightCount == old) return;
  const size_t count = static_cast<size_t>(weightCount);
  for (std::vector<double>* vector : vectors) {
    freeVector(*vector);
    vector->assign(count, 0.0);
  }
  if (control != nullptr && control->learningGlobals) control->learningGlobals->initialised = 0;
}

void ConjugateGradient::release() {
  forward = nullptr;
  for (std::vector<double>* vector :
       {&weightCopy, &baseWeights, &averageGradient, &direction, &steepestDescent, &curvature,
        &savedWeightCopy, &savedBaseWeights, &savedDirection, &savedSteepestDescent,
        &savedCurvature}) {
    freeVector(*vector);
  }
  vectorClaim.release();
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
    for (std::vector<double>* vector : snapshotVectors(*this)) freeVector(*vector);
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

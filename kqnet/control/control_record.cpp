#include <algorithm>
#include <initializer_list>

#include <kqnet/control/control.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/records.h>
#include <kqnet/learning/cg_globals.h>

// The control's record: best epoch, best cost, learning mode, a flag saying
// whether a learning state follows, the state of the mode just read, and
// leastSquaresPending. There is no writer and no text form.

namespace kq {

namespace {

// Reads a 32-bit field kept unsigned (a flag), leaving it on a failed read.
void readFlag(RecordReader& reader, uint32_t& field) {
  int32_t value = static_cast<int32_t>(field);
  if (reader.readInt(value)) field = static_cast<uint32_t>(value);
}

// Reads count doubles into the fields, each left as it was on a failed read.
void readDoubles(RecordReader& reader, std::initializer_list<double*> fields) {
  double values[8];
  size_t k = 0;
  for (double* field : fields) values[k++] = *field;
  reader.readValues(static_cast<int64_t>(k), values, static_cast<int64_t>(k));
  k = 0;
  for (double* field : fields) *field = values[k++];
}

void readConjugateGradientState(RecordReader& reader, CGGlobals& g) {
  readDoubles(reader, {&g.sigma, &g.lambda, &g.lambdaBar, &g.sigmaK, &g.currentError, &g.delta,
                       &g.previousError});
  reader.readInt(g.stepPending);
  reader.readInt(g.success);
  reader.readInt(g.initialised);
  reader.readInt(g.iterationEpoch);
  readFlag(reader, g.skipFlag);
  reader.readInt(g.restorePending);
  reader.readInt(g.restartCounter);
}

// The n rows of the Levenberg-Marquardt state; reading stops when the file
// runs out (the rest stays zero).
void readLevenbergRows(RecordReader& reader, SavedLmState& s, bool extraValue) {
  const size_t n = static_cast<size_t>(std::max(s.weightCount, 0));
  const size_t m = static_cast<size_t>(std::max(s.blockCount, 0));
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      const size_t k = i * n + j;
      double v[4] = {s.exemplarJtJ[k], s.hessian[k], s.savedHessian[k], s.inverse[k]};
      const bool more = reader.readValues(4, v, 4);
      s.exemplarJtJ[k] = v[0];
      s.hessian[k] = v[1];
      s.savedHessian[k] = v[2];
      s.inverse[k] = v[3];
      if (!more) return;
    }
    for (size_t j = 0; j < m; ++j) {
      const size_t k = j * n + i;
      double v[3] = {s.jacobian[k], s.savedGradient[k], s.previousAccumulator[k]};
      const bool more = reader.readValues(3, v, 3);
      s.jacobian[k] = v[0];
      s.savedGradient[k] = v[1];
      s.previousAccumulator[k] = v[2];
      if (!more) return;
    }
    double v[3] = {s.savedWeights[i], s.step[i], s.gradientSum[i]};
    bool more = reader.readValues(3, v, 3);
    // Older files end the row with the value that replaces savedWeights.
    if (more && extraValue) more = reader.readValues(1, v, 1);
    s.savedWeights[i] = v[0];
    s.step[i] = v[1];
    s.gradientSum[i] = v[2];
    if (!more) return;
  }
}

// Bytes from the file's position to its end; -1 when the file cannot tell.
int64_t bytesLeft(std::FILE* file) {
  const long here = std::ftell(file);
  if (here < 0 || std::fseek(file, 0, SEEK_END) != 0) return -1;
  const long end = std::ftell(file);
  if (std::fseek(file, here, SEEK_SET) != 0 || end < here) return -1;
  return int64_t{end} - here;
}

}  // namespace

void StaticControl::readLearningState(std::FILE* file, KqWeightFileVersion version) {
  if (version < kVersionControlRecord) return;
  FileRecordReader reader(file);
  reader.readInt(bestEpoch);
  reader.readValues(1, &bestCost, 1);
  reader.readInt(learningMode);
  int32_t statePresent = 0;
  // A flag that cannot be read says no state follows.
  if (!reader.readInt(statePresent) || statePresent == 0) return;
  if (!learningGlobals) createLearningGlobals();
  if (learningMode == kConjugateGradientMode) {
    // The values belong to conjugate-gradient globals. Globals of another
    // method keep their state: the values are read past into a scratch.
    auto* globals = dynamic_cast<CGGlobals*>(learningGlobals.get());
    CGGlobals scratch;
    readConjugateGradientState(reader, globals != nullptr ? *globals : scratch);
  } else if (learningMode == kLevenbergMarquardtMode) {
    freeSavedLmState();
    SavedLmState& s = savedLmState;
    reader.readInt(s.initialised);
    readFlag(reader, s.skipFlag);
    reader.readInt(s.passDone);
    readDoubles(reader, {&s.initialDamping, &s.damping, &s.previousError});
    // Without readable sizes the state is taken as absent.
    if (!reader.readInt(s.weightCount) || !reader.readInt(s.blockCount)) {
      freeSavedLmState();
      return;
    }
    reader.readInt(s.resetRequested);
    reader.readInt(s.swapped);
    reader.readInt(s.swapAvailable);
    const int64_t n = std::max(s.weightCount, 0);
    const int64_t m = std::max(s.blockCount, 0);
    // Arrays beyond 32 bits could never be allocated.
    checkedProduct(n, n);
    checkedProduct(m, n);
    const int64_t extra = version < kVersionNoLevenbergExtraValue ? 1 : 0;
    const int64_t needed = n * (4 * n + 3 * m + 3 + extra);
    // Each value takes at least a digit and a separator. Sizes whose rows
    // the rest of the file cannot hold come from a damaged or hostile file,
    // not from a saved run: the state is taken as absent (nothing more of
    // the record is read, leastSquaresPending keeps its value) instead of
    // allocating arrays that nothing could fill.
    const int64_t left = needed > 0 ? bytesLeft(file) : 0;
    if (needed > 0 && (left < 0 || needed > (left + 1) / 2)) {
      freeSavedLmState();
      return;
    }
    allocateSecondOrder();
    readLevenbergRows(reader, s, extra != 0);
  }
  reader.readInt(leastSquaresPending);
}

}  // namespace kq

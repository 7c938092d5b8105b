#include <kqnet/backward/back_axon.h>

#include <algorithm>
#include <utility>

#include <kqnet/backward/gradient_terms.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/spatial_access.h>

namespace kq {

BackAxon::BackAxon() = default;

void BackAxon::fire() {
  Axon::fire();
  ownWeightAccess.step();
}

void BackAxon::createInstance() {
  if (performRecord == nullptr || performRecord->create == nullptr || dual == nullptr) return;
  performRecord->instance =
      callOutside<BackAxonCreate>(performRecord->create, userDatum, performRecord->instance,
                                  dualInstance(), dual->rows, dual->columns);
}

void BackAxon::perform() {
  if (!hasPerformFunction()) return;
  callOutside<BackAxonPerform>(performRecord->perform, userDatum, performRecord->instance,
                               dualInstance(), dualFrame(), dualRows(), dualColumns(),
                               currentFrame());
}

void BackAxon::stepForward() {
  // One backward step pairs this ring's next frame with the dual's previous
  // one, so the next backward pass reads the exemplar before.
  if (learningEnabled != 0 && dual != nullptr) dual->stepBack();
  stepAndClear();
}

void BackAxon::randomizeWeights() {
  Soma::randomizeWeights();
  std::fill(weights.begin(), weights.end(), 0.0);
  stepWeightAccesses();
}

void BackAxon::bindActivityAccess() {
  // Without a dual its own rows and columns stand in for the dual's.
  int32_t shownRows = dual != nullptr ? dual->rows : rows;
  int32_t shownColumns = dual != nullptr ? dual->columns : columns;
  // Without error columns (count 0) the axon carries exactly one block, so
  // the observer sees one block rather than nothing.
  if (criterionMark == 0 && !isKindOf("BackCriteriaControl")) {
    shownColumns = checkedProduct(shownColumns, std::max(jacobianColumns, 1));
  }
  double* frame = currentFrame();
  inputAccess.bind(frame, shownRows, shownColumns);
  outputAccess.bind(frame, shownRows, shownColumns);
}

void BackAxon::setJacobianColumns(int n) {
  Soma::setJacobianColumns(n);
  if (dual != nullptr) setDual(dual);
}

void BackAxon::resizeToDual() {
  if (dual == nullptr) return;
  bool changed = false;
  int32_t wantLength = length;
  int32_t wantInput = inputLength;
  const bool resize = dualLengths(wantLength, wantInput);
  if (resize) {
    // The shape it ends with, checked before the first step towards it.
    requireShape(AxonShape{wantLength, wantInput, delay});
    setLength(wantLength);
    setInputLength(wantInput);
    changed = true;
  }
  if (rows != dual->rows || columns != dual->columns) {
    rows = dual->rows;
    columns = dual->columns;
    changed = true;
  }
  if (changed) allocateFrames();
}

bool BackAxon::dualLengths(int32_t& wantLength, int32_t& wantInput) const {
  const int32_t c = jacobianColumns;
  const bool sizesDiffer = length != dual->inputLength || inputLength != dual->length;
  if (c == 0 || (criterionMark != 0 && sizesDiffer)) {
    wantLength = std::max(dual->inputLength, 1);
    wantInput = std::max(dual->length, 1);
    return true;
  }
  if (criterionMark == 0) {
    wantLength = checkedProduct(c, dual->inputLength);
    wantInput = checkedProduct(c, dual->length);
    return length != wantLength || inputLength != wantInput;
  }
  return false;
}

bool BackAxon::followsDual() const {
  if (dual == nullptr) return true;
  int32_t wantLength = length;
  int32_t wantInput = inputLength;
  dualLengths(wantLength, wantInput);
  return wantLength == length && wantInput == inputLength && rows == dual->rows &&
         columns == dual->columns;
}

void BackAxon::restoreDualFramePosition() {
  if (dual != nullptr) dual->restoreFramePosition();
}

void BackAxon::setDual(Axon* forward) {
  dual = forward;
  resizeToDual();
}

void BackAxon::stepDualFrameBack() {
  if (dual == nullptr) return;
  dual->saveFramePosition();
  dual->stepBack();
}

int BackAxon::blockCount() const {
  // Without a dual, or with an empty one, there is no block to divide into.
  if (dual == nullptr || dual->length <= 0) return 0;
  return length / dual->length;
}

int BackAxon::dualFrameCount() const {
  if (dual == nullptr || dual->currentFrame() == nullptr) return 0;
  return std::max(std::min(dual->length, dual->frameSize), 0);
}

int BackAxon::dualWeightCount() const {
  if (dual == nullptr) return 0;
  return static_cast<int>(
      std::min<int64_t>(dual->weightTotal(), static_cast<int64_t>(dual->weights.size())));
}

int BackAxon::ownFrameCount() const {
  if (currentFrame() == nullptr) return 0;
  return std::max(std::min(length, frameSize), 0);
}

int BackAxon::ownWeightCount() const {
  return static_cast<int>(std::min<int64_t>(weightTotal(), static_cast<int64_t>(weights.size())));
}

int BackAxon::coveredEnd(int m, bool withAccumulator) const {
  int64_t end = std::min<int64_t>(int64_t{m} * dual->length, ownFrameCount());
  if (withAccumulator) end = std::min<int64_t>(end, ownWeightCount());
  return static_cast<int>(std::max<int64_t>(end, 0));
}

template <typename Term>
void BackAxon::accumulateBlocks(int end, int limit, Term term) {
  const int stride = dual->length;
  double* e = currentFrame();
  double* g = weights.data();
  const double* w = std::as_const(dual->weights).data();
  const int wCount = dualWeightCount();
  const GradientTerms terms =
      gradientTerms(control, exemplarFactors, exemplarFactorCount, exemplarFactorIndex);
  // The dual's weights restart at element 0 for every block.
  for (int base = 0; base < end; base += stride) {
    const int n = std::min({stride, end - base, limit});
    for (int l = 0; l < n; ++l) {
      terms.add(g[base + l], term(e[base + l], l, terms), l < wCount ? w[l] : 0.0);
    }
  }
  if (terms.scaled != 0) advanceFactorIndex(exemplarFactorIndex, exemplarFactorCount);
}

// BackBiasAxon

void BackBiasAxon::allocateFrames() {
  requireShape(currentShape());
  setWeightCount(length, 0);
  Axon::allocateFrames();
}

void BackBiasAxon::eachShapeArray(const ArrayVisitor& size, ClaimedArray<double>& ring,
                                  const AxonShape& shape) {
  Axon::eachShapeArray(size, ring, shape);
  if (shape.length != ownCount) eachWeightArray(size, shape.length);
}

void BackBiasAxon::perform() {
  if (!hasPerformFunction()) return;
  callOutside<BackBiasAxonPerform>(performRecord->perform, userDatum, performRecord->instance,
                                   dualInstance(), dualFrame(), dualRows(), dualColumns(),
                                   currentFrame(), weightData());
}

void BackBiasAxon::compute() {
  if (learningEnabled == 0) return;
  const int m = blockCount();
  if (m == 0) return;
  accumulateBlocks(coveredEnd(m, true), dual->length,
                   [](double& e, int, const GradientTerms& terms) { return terms.scale(e); });
}

// BackLinearAxon

BackLinearAxon::BackLinearAxon() { derivativeOffset = 0.0; }

double BackLinearAxon::getDouble(int index) {
  if (index < kFirstOwnIndex) return Soma::getDouble(index);
  DoubleGetter entry = offsetGetters.find(*this, index);
  return entry != nullptr ? entry(*this) : 0.0;
}

void BackLinearAxon::setDouble(int index, double value) {
  if (index < kFirstOwnIndex) return Soma::setDouble(index, value);
  if (DoubleSetter entry = offsetSetters.find(*this, index)) entry(*this, value);
}

void BackLinearAxon::perform() {
  if (!hasPerformFunction()) return;
  callOutside<BackLinearAxonPerform>(performRecord->perform, userDatum, performRecord->instance,
                                     dualInstance(), dualFrame(), dualRows(), dualColumns(),
                                     currentFrame(), weightData(),
                                     dual != nullptr ? dual->slope() : 1.0);
}

void BackLinearAxon::compute() {
  const int m = blockCount();
  if (m == 0) return;
  double* e = currentFrame();
  const double beta = dual->slope();
  if (learningEnabled == 0) {
    const int end = coveredEnd(m, false);
    for (int i = 0; i < end; ++i) e[i] = beta * e[i];
    return;
  }
  accumulateBlocks(coveredEnd(m, true), dual->length,
                   [beta](double& error, int, const GradientTerms& terms) {
                     // A factor scales the error itself here, and the term is that error.
                     error = terms.scaled != 0 ? error * beta * terms.factor : beta * error;
                     return error;
                   });
}

// BackTanhAxon

void BackTanhAxon::compute() {
  const int m = blockCount();
  if (m == 0) return;
  const int end = coveredEnd(m, learningEnabled != 0);
  // Elements whose forward activity can be read; each block restarts at 0.
  const int stride = dual->length;
  const int yCount = dualFrameCount();
  double* e = currentFrame();
  const double* y = dual->currentFrame();
  const double beta = dual->slope();
  const double o = derivativeOffset;
  if (learningEnabled == 0) {
    for (int base = 0; base < end; base += stride) {
      const int n = std::min({stride, end - base, yCount});
      for (int l = 0; l < n; ++l) {
        e[base + l] = e[base + l] * beta * (1.0 - y[l] * y[l] + o);
      }
    }
    return;
  }
  accumulateBlocks(end, yCount, [beta, o, y](double& error, int l, const GradientTerms& terms) {
    error = error * beta * (1.0 - y[l] * y[l] + o);
    return terms.scale(error);
  });
}

}  // namespace kq

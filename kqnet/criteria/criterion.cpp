#include <kqnet/criteria/criterion.h>

#include <algorithm>
#include <cmath>

#include <kqnet/control/control.h>
#include <kqnet/core/costs.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/records.h>
#include <kqnet/core/spatial_access.h>

// Construction, wiring, the per-exemplar cost and error, the count of the
// trainable weights, and the life cycle of the criterion. The statistics and
// their records are in criterion_statistics.cpp.

namespace kq {

namespace {

// Binds access to rows x columns values of buffer, or leaves it bound to no
// block while the buffer does not hold them (before allocateFrames, after
// release), so that nobody steps it into memory the criterion does not own.
void bindBuffer(AccessRef& access, ClaimedArray<double>& buffer, int rows, int columns) {
  const int64_t wanted = int64_t{rows} * columns;
  if (wanted > 0 && static_cast<int64_t>(buffer.size()) >= wanted) {
    access.bind(buffer.data(), rows, columns);
  } else {
    access.bind(nullptr, 0, columns);
  }
}

// Outputs are clamped away from 0 and 1 before the logarithms of the
// cross-entropy forms.
double clampProbability(double y) { return std::clamp(y, 1e-12, 0.999999999999); }

}  // namespace

Criterion::Criterion() = default;

bool Criterion::isKindOf(const char* name) const {
  return Axon::isKindOf(name) || sameWord(name, "Criterion");
}

void Criterion::registerWithControl() {
  Axon::registerWithControl();
  if (control != nullptr) control->criteriaList.push_back(this);
}

void Criterion::release() {
  desiredCopy.release();
  eachStatisticsArray([](auto& array, int, const auto&) { array.release(); }, 0, 0);
  // Nothing stays bound to the freed arrays.
  bindDesiredAccess();
  bindRocAccess();
  bindPerformanceAccess();
  bindConfusionAccess();
  if (control != nullptr) control->removeCriterion(this);
  Axon::release();
}

int Criterion::controlTrainingFlag() const {
  return control != nullptr ? control->trainingFlag : 1;
}
int Criterion::controlLearning() const { return control != nullptr ? control->learning : 1; }
int Criterion::controlWeightDecay() const { return control != nullptr ? control->weightDecay : 0; }

void Criterion::resetEpoch() {
  heldCostSum = 0.0;
  heldExemplarCount = 0;
  if (control != nullptr && control->weightDecay != 0 &&
      control->learningMode != kLevenbergMarquardtMode) {
    control->sumSquaredWeights();
  }
}

void Criterion::randomizeWeights() {
  Soma::randomizeWeights();
  bestTrainingCost = kNoBestCost;
  bestTestCost = kNoBestCost;
}

void Criterion::bindWeightAccess() {
  desiredCopyResizePending = 1;
  Soma::bindWeightAccess();
}

void Criterion::resizeDesiredCopy() {
  if (desiredCopyResizePending != 0 && desiredCopyOn != 0) {
    desiredCopy.assign(static_cast<size_t>(std::max(length, 0)), 0.0);
  }
  desiredCopyResizePending = 0;
}

// The control totals the weights its gradients train
// (StaticControl::trainableWeightTotal), so the criteria family needs
// nothing of learning.
void Criterion::countTrainableWeights() {
  resizeDesiredCopy();
  const int64_t count = control != nullptr ? control->trainableWeightTotal() : 0;
  trainableWeightCount = checkedCount(count);
  if (control != nullptr && control->weightDecay != 0) {
    control->sumSquaredWeights();
    if (control->keepRegularisationBeta == 0) {
      control->regularisationBeta = 1.0 - control->regularisationAlpha;
    }
  }
}

void Criterion::stepForward() {
  // The next record starts from zeros, whether or not a desired access
  // fills it.
  const size_t n = std::min(desired.size(), static_cast<size_t>(std::max(inputLength, 0)));
  std::fill(desired.begin(), desired.begin() + static_cast<std::ptrdiff_t>(n), 0.0);
  Axon::stepForward();
}

// Attachments and binding

void Criterion::setDesiredAccess(SpatialAccess* access) { desiredAccess = access; }

void Criterion::setCostAccess(SpatialAccess* access) { costAccess = access; }

void Criterion::setPerformanceAccess(SpatialAccess* access) { performanceAccess = access; }

void Criterion::setRocAccess(SpatialAccess* access) { rocAccess = access; }

void Criterion::setConfusionAccess(SpatialAccess* access) { confusionAccess = access; }

void Criterion::accessStored(AccessRef& field) {
  if (&field == &desiredAccess) {
    bindDesiredAccess();
  } else if (&field == &costAccess) {
    bindCostAccess();
  } else if (&field == &performanceAccess) {
    bindPerformanceAccess();
  } else if (&field == &rocAccess) {
    bindRocAccess();
  } else if (&field == &confusionAccess) {
    bindConfusionAccess();
  } else {
    Axon::accessStored(field);
  }
}

void Criterion::bindCostAccess() { costAccess.bind(&costSum, 1, 1); }

void Criterion::setPercentErrorReference(const double* values, int count) {
  percentErrorReference = values;
  percentErrorReferenceLength = values != nullptr ? std::max(count, 0) : 0;
}

void Criterion::bindDesiredAccess() {
  // desired holds the criterion's rows x columns values once allocated.
  if (static_cast<int64_t>(desired.size()) == int64_t{rows} * columns) {
    bindBuffer(desiredAccess, desired, rows, columns);
  } else {
    bindBuffer(desiredAccess, desired, 0, columns);
  }
}

void Criterion::bindRocAccess() { bindBuffer(rocAccess, rocTable, rocRows(), kRocTableColumns); }

void Criterion::bindPerformanceAccess() {
  bindBuffer(performanceAccess, performanceRecord, PerformanceRecord::kSize, 1);
}

void Criterion::bindConfusionAccess() {
  const int side = static_cast<int64_t>(confusionPercent.size()) == int64_t{classCount} * classCount
                       ? classCount
                       : 0;
  bindBuffer(confusionAccess, confusionPercent, side, side);
}

void Criterion::stepIfBound(const AccessRef& access, const ClaimedArray<double>& buffer) {
  if (!buffer.empty()) access.step();
}

template <typename Visit>
void Criterion::eachStatisticsArray(Visit&& visit, int outputs, int classes) {
  // A threshold count below 1 gives an empty table rather than a negative
  // size.
  const int thresholds = std::max(rocThresholdCount, 0);
  const int32_t rocCountCells = checkedProduct(thresholds, kRocCountColumns);
  const int32_t rocTableCells = checkedProduct(thresholds, kRocTableColumns);
  const int32_t cells = checkedProduct(classes, classes);
  visit(desired, outputs, 0.0);
  visit(desiredMin, outputs, 0.0);
  visit(desiredMax, outputs, 0.1);
  for (ClaimedArray<double>* sums :
       {&sumOutputSquares, &sumOutput, &heldSumOutput, &sumProduct, &sumDesired, &sumDesiredSquares,
        &heldSumProduct, &heldSumDesired, &heldSumDesiredSquares, &heldSumOutputSquares,
        &correlations, &errorBuffer}) {
    visit(*sums, outputs, 0.0);
  }
  visit(rocCounts, rocCountCells, 0);
  visit(heldRocCounts, rocCountCells, 0);
  visit(rocTable, rocTableCells, 0.0);
  visit(confusionCounts, cells, 0.0);
  visit(heldConfusionCounts, cells, 0.0);
  visit(performanceRecord, PerformanceRecord::kSize, 0.0);
  visit(confusionPercent, cells, 0.0);
}

void Criterion::eachShapeArray(const ArrayVisitor& size, ClaimedArray<double>& ring,
                               const AxonShape& shape) {
  Axon::eachShapeArray(size, ring, shape);
  const int n = std::max(shape.length, 0);
  eachStatisticsArray(size, n, n == 1 ? 2 : n);
}

void Criterion::allocateFrames() {
  const int n = std::max(length, 0);
  const int32_t classes = n == 1 ? 2 : n;
  // The ring and all of the statistics at once, refused before the ring is
  // touched (Axon::allocateFrames): the square arrays grow with the square
  // of the length, so a few damaged digits of a record ask for more than
  // the machine has.
  Axon::allocateFrames();
  sizeTogether([&](auto&& size) { eachStatisticsArray(size, n, classes); });
  bindDesiredAccess();
  classCount = classes;
  bindRocAccess();
  bindPerformanceAccess();
  bindConfusionAccess();
}

// One exemplar

void Criterion::compute() {
  const double* y = currentFrame();
  const int n = outputCount();
  // Before allocateFrames (or after release) there is nothing to compare.
  if (y == nullptr || n == 0 || n > frameSize) return;
  if (desiredAccess != nullptr) desiredAccess->step();
  accumulateStatistics();
  if (stopCheckOn != 0 || costAccess != nullptr || performanceAccess != nullptr ||
      rocAccess != nullptr || confusionAccess != nullptr) {
    ++exemplarCount;
    accumulateCost();
  }
  computeError();
}

void Criterion::perform() {
  if (!hasPerformFunction()) return;
  double* y = currentFrame();
  const int n = outputCount();
  if (y == nullptr || n == 0 || n > frameSize) return;
  if (desiredAccess != nullptr) desiredAccess->step();
  accumulateStatistics();
  exemplarCost =
      callOutside<CriterionPerform>(performRecord->perform, userDatum, performRecord->instance, y,
                                    rows, columns, y, desired.data(), testMode);
  ++exemplarCount;
  Criterion::accumulateCost();
  Criterion::computeError();
}

void Criterion::accumulateCost() {
  const bool training = testMode == 0;
  if (desiredCopyOn != 0 && training && desiredCopy.size() == desired.size()) {
    std::copy(desired.begin(), desired.end(), desiredCopy.begin());
  }
  double c = exemplarCost;
  if (exemplarFactorCount > 0 && exemplarFactors != nullptr && training && controlLearning() != 0) {
    // The index is a public field; one outside the table starts it again.
    if (exemplarFactorIndex < 0 || exemplarFactorIndex >= exemplarFactorCount)
      exemplarFactorIndex = 0;
    c = c * exemplarFactors[exemplarFactorIndex];
    ++exemplarFactorIndex;
    if (exemplarFactorIndex >= exemplarFactorCount) exemplarFactorIndex = 0;
  }
  if (controlWeightDecay() != 0 && controlLearning() != 0 && training) {
    // The mean squared weight needs weights: without any the term is 0.
    const double decay = trainableWeightCount > 0 ? control->regularisationAlpha *
                                                        control->weightEnergy / trainableWeightCount
                                                  : 0.0;
    c = control->regularisationBeta * c + decay;
  }
  if (c > kCostCap) c = kCostCap;
  costSum += c;
  exemplarCost = 0.0;
}

void Criterion::computeError() {
  const double* y = currentFrame();
  const int n = outputCount();
  if (y == nullptr || n > frameSize || errorBuffer.size() < static_cast<size_t>(n)) return;
  std::copy(y, y + n, errorBuffer.begin());
}

// L2Criterion

template <typename Element>
void L2Criterion::eachOutput(Element element) {
  double* y = currentFrame();
  const int n = outputCount();
  if (y == nullptr || n > frameSize) return;
  const double* d = desired.data();
  for (int i = 0; i < n; ++i) element(y[i], d[i]);
}

void L2Criterion::accumulateCost() {
  eachOutput([this](double& y, double d) {
    if (crossEntropy != 0) {
      const double p = clampProbability(y);
      exemplarCost += -d * std::log(p) - (1.0 - d) * std::log(1.0 - p);
    } else {
      const double e = d - y;
      exemplarCost += 0.5 * (e * e);
    }
  });
  Criterion::accumulateCost();
}

void L2Criterion::computeError() {
  eachOutput([this](double& y, double d) {
    if (crossEntropy != 0) {
      const double p = clampProbability(y);
      y = std::fabs(std::log(p / (1.0 - p))) * (d - p);
    } else {
      y = d - y;
    }
  });
  Criterion::computeError();
}

// The desired-range record: one pair per output.

void Criterion::readStateRecord(RecordReader& reader, KqWeightFileVersion version) {
  if (version < kVersionDesiredRange) return;
  const int64_t kept = std::min<int64_t>(
      {length, static_cast<int64_t>(desiredMin.size()), static_cast<int64_t>(desiredMax.size())});
  readCountedPairs(reader, desiredMin.data(), desiredMax.data(), kept);
}

void Criterion::writeStateRecord(RecordWriter& writer, bool /*fromSnapshot*/) {
  writer.putInt(length, ' ');
  for (int64_t i = 0; i < length; ++i) {
    writer.putValue(i < static_cast<int64_t>(desiredMin.size()) ? desiredMin[i] : 0.0);
    writer.putValue(i < static_cast<int64_t>(desiredMax.size()) ? desiredMax[i] : 0.0);
  }
  writer.putLineEnd();
}

}  // namespace kq

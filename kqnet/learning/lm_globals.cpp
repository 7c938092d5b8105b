#include <kqnet/learning/lm_globals.h>

#include <algorithm>
#include <cassert>
#include <cmath>

#include <kqnet/backward/back_criteria_control.h>
#include <kqnet/control/control.h>
#include <kqnet/core/soma.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/learning/gradient.h>

namespace kq {

namespace {

// Errors nearer zero divide as this, so no Jacobian row blows up to infinity.
constexpr double kSmallestErrorDivisor = 1e-80;
// A batch cost at or below this is a perfect fit: nothing to accept or step.
constexpr double kNegligibleCost = 1e-80;
// An accepted point trusts the Gauss-Newton model more: damping shrinks by this.
constexpr double kAcceptedDampingDivisor = 10.0;
// A rejected point backs off towards gradient descent: damping grows by this.
constexpr double kRejectedDampingFactor = 10.0;
// From this damping on, steps are too small to help: a worse batch is kept, not redone.
constexpr double kLargestDamping = 1e8;
// The learning rate of the plain gradient step taken once damping has run out.
constexpr double kGradientStepSize = 0.01;
// A gradient norm at most this is a stationary point or rounding noise: no step.
constexpr double kStationaryGradientNorm = 1e-11;
// An alpha below this has collapsed to zero and is estimated anew.
constexpr double kSmallestAlpha = 1e-11;
// Alpha's cap: beta = 1 - alpha keeps the error term at least 0.8 of the cost.
constexpr double kLargestAlpha = 0.2;

double guard(double x) { return std::fabs(x) < kSmallestErrorDivisor ? kSmallestErrorDivisor : x; }

void zero(RowMatrix& m) {
  for (auto& row : m) std::fill(row.begin(), row.end(), 0.0);
}

void zero(ClaimedArray<double>& v) { std::fill(v.begin(), v.end(), 0.0); }

void copyMatrix(const RowMatrix& from, RowMatrix& to) {
  const size_t rows = std::min(from.size(), to.size());
  for (size_t r = 0; r < rows; ++r) {
    const size_t n = std::min(from[r].size(), to[r].size());
    std::copy(from[r].begin(), from[r].begin() + static_cast<std::ptrdiff_t>(n), to[r].begin());
  }
}

// The damping mu added to every diagonal entry of the first n rows.
void addToDiagonal(RowMatrix& m, int n, double mu) {
  for (int j = 0; j < n; ++j) m[j][j] += mu;
}

// out[j] := sum over i of v[i] x m[j][i], for j, i < n.
void multiply(const RowMatrix& m, const ClaimedArray<double>& v, int n, ClaimedArray<double>& out) {
  for (int j = 0; j < n; ++j) {
    const ClaimedArray<double>& row = m[static_cast<size_t>(j)];
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += v[static_cast<size_t>(i)] * row[static_cast<size_t>(i)];
    out[static_cast<size_t>(j)] = sum;
  }
}

// The Euclidean norm of the first n entries.
double norm(const ClaimedArray<double>& v, int n) {
  double squares = 0.0;
  for (int j = 0; j < n; ++j) squares += v[static_cast<size_t>(j)] * v[static_cast<size_t>(j)];
  return std::sqrt(squares);
}

}  // namespace

void LMGlobals::bind(StaticControl* owner) {
  LearningGlobals::bind(owner);
  resetSearch();
  if (control != nullptr) initialDamping = control->initialDamping;
}

void LMGlobals::resetSearch() {
  resetRequested = 1;
  previousError = kNoPreviousError;
  if (control != nullptr) control->freeSavedLmState();
}

void LMGlobals::prepare(int learningFlag) {
  if (control == nullptr) return;
  bool reallocated = false;
  if (control->weightCount != weightCount) {
    freeWeightArrays();
    weightCount = std::max(control->weightCount, 0);
    // The n x n arrays grow with the square of the weight count (tens of
    // gigabytes for a program's network) and only a learning run uses
    // them: without learning they are sized at the next prepare with it,
    // or when a hook first needs them.
    if (learningFlag != 0) {
      allocateWeightArrays();
    } else {
      weightArraysPending = true;
    }
    swapped = 0;
    swapAvailable = 0;
    reallocated = true;
  } else if (learningFlag != 0) {
    allocatePendingArrays();
  }
  if (reallocated || control->weightIndex.blockCount != blockCount) {
    freeBlockArrays();
    blockCount = std::max(control->weightIndex.blockCount, 0);
    allocateBlockArrays();
    resetSearch();
  }
  if (resetRequested != 0) {
    resetRequested = 0;
    zero(exemplarJtJ);
    zero(hessian);
    zero(inverse);
    zero(jacobian);
    zero(savedWeights);
    swapped = 0;
    damping = initialDamping;
    previousError = kNoPreviousError;
  }
  if (swapped != 0 && skipFlag == 0 && control->skipPrepareSwap == 0) {
    // Training resumes from the weights it had reached.
    swapWeights();
    swapped = 0;
  }
}

double* LMGlobals::weightAt(int i) {
  if (control == nullptr) return nullptr;
  const WeightIndex& index = control->weightIndex;
  if (i < 0 || static_cast<size_t>(i) >= index.weightOwner.size() || index.weightSlot.empty() ||
      static_cast<size_t>(i) >= index.weightSlot[0].size()) {
    return nullptr;
  }
  const Gradient* owner = index.weightOwner[static_cast<size_t>(i)];
  if (owner == nullptr || owner->forward == nullptr) return nullptr;
  Soma& target = *owner->forward;
  const int32_t k = index.weightSlot[0][static_cast<size_t>(i)];
  if (k < 0 || k >= target.weightTotal() || static_cast<size_t>(k) >= target.weights.size()) {
    return nullptr;
  }
  // Taken afresh for each write, so the write it counts covers it.
  return &target.weights[static_cast<size_t>(k)];
}

double* LMGlobals::accumulatorAt(int b, int i) {
  if (control == nullptr) return nullptr;
  const WeightIndex& index = control->weightIndex;
  if (b < 0 || static_cast<size_t>(b) >= index.weightSlot.size() || i < 0 ||
      static_cast<size_t>(i) >= index.weightOwner.size() ||
      static_cast<size_t>(i) >= index.weightSlot[static_cast<size_t>(b)].size()) {
    return nullptr;
  }
  const Gradient* owner = index.weightOwner[static_cast<size_t>(i)];
  if (owner == nullptr || owner->backprop == nullptr) return nullptr;
  Soma& accumulator = *owner->backprop;
  const int32_t slot = index.weightSlot[static_cast<size_t>(b)][static_cast<size_t>(i)];
  // A gradient with fewer blocks than the network's widest has no entry for
  // the blocks beyond its own.
  if (slot < 0 || slot >= accumulator.weightTotal() ||
      static_cast<size_t>(slot) >= accumulator.weights.size()) {
    return nullptr;
  }
  return &accumulator.weights[static_cast<size_t>(slot)];
}

bool LMGlobals::isMarked(int i) const {
  const WeightIndex& index = control->weightIndex;
  if (i < 0 || static_cast<size_t>(i) >= index.weightOwner.size()) return false;
  const Gradient* owner = index.weightOwner[static_cast<size_t>(i)];
  return owner != nullptr && owner->backprop != nullptr && owner->backprop->criterionMark != 0;
}

Criterion* LMGlobals::criterion() const {
  if (control == nullptr) return nullptr;
  return dynamic_cast<Criterion*>(control->currentCriterion);
}

void LMGlobals::afterExemplar() {
  if (control == nullptr) return;
  allocatePendingArrays();
  if (!weightArraysAllocated || !blockArraysAllocated) return;
  assert(arraysMatchCounts());
  const int n = weightCount;
  const int m = blockCount;
  int firstMarked = -1;
  for (int i = 0; i < n; ++i) {
    marked[static_cast<size_t>(i)] = isMarked(i) ? 1 : 0;
    if (marked[static_cast<size_t>(i)] != 0 && firstMarked < 0) firstMarked = i;
    for (int b = 0; b < m; ++b) {
      const double* entry = accumulatorAt(b, i);
      currentAccumulator[b][i] = entry != nullptr ? *entry : 0.0;
    }
  }

  // Rows for outputs that have no error value in the criterion's buffer
  // cannot be formed; they are left at 0.
  const Criterion* source = criterion();
  const int errorCount = source != nullptr ? static_cast<int>(source->errorBuffer.size()) : 0;
  const auto row = [&](int b, int i) {
    jacobian[b][i] = b < errorCount ? (currentAccumulator[b][i] - previousAccumulator[b][i]) /
                                          guard(source->errorBuffer[static_cast<size_t>(b)])
                                    : 0.0;
  };
  for (int i = 0; i < n; ++i) {
    if (marked[static_cast<size_t>(i)] != 0) {
      // An output-layer bias has its single non-zero row at its own output.
      const int r = i - firstMarked;
      if (r < m) row(r, i);
    } else {
      for (int b = 0; b < m; ++b) row(b, i);
    }
  }

  if (control->skipJacobianProduct == 0) {
    // J^T J is symmetric and each product is the same either way round, so
    // one triangle is summed and mirrored.
    for (int i = 0; i < n; ++i) {
      for (int j = i; j < n; ++j) {
        double sum = 0.0;
        for (int k = 0; k < m; ++k) sum += jacobian[k][i] * jacobian[k][j];
        exemplarJtJ[i][j] = sum;
        exemplarJtJ[j][i] = sum;
      }
    }
    for (int i = 0; i < n; ++i) {
      ClaimedArray<double>& h = hessian[static_cast<size_t>(i)];
      const ClaimedArray<double>& e = exemplarJtJ[static_cast<size_t>(i)];
      for (int j = 0; j < n; ++j) h[static_cast<size_t>(j)] += e[static_cast<size_t>(j)];
    }
  }
  copyMatrix(currentAccumulator, previousAccumulator);
}

void LMGlobals::endBatch() {
  Criterion* source = criterion();
  // Without a criterion there is no cost to judge the step by: the batch
  // changes nothing, as a batch of negligible cost does.
  if (control != nullptr && control->learning != 0 && control->trainingFlag != 0 &&
      source != nullptr) {
    source->computeCost(0, 0);
    const double cost = source->trainingCost;
    allocatePendingArrays();
    if (cost > kNegligibleCost && weightArraysAllocated && blockArraysAllocated) {
      assert(arraysMatchCounts());
      judgeLastStep(cost);
      addToDiagonal(hessian, weightCount, damping);
      invertMatrix(hessian, weightCount, inverse);
      sumGradient();
      multiply(inverse, gradientSum, weightCount, weightStep);
      if (norm(gradientSum, weightCount) > kStationaryGradientNorm) applyWeightStep();
      clearBatchSums();
      if (control->weightDecay != 0) {
        if (control->keepRegularisationBeta != 0) updateRegularisation();
        control->sumSquaredWeights();
      }
    }
  }
  LearningGlobals::endBatch();
}

void LMGlobals::judgeLastStep(double cost) {
  if (cost <= previousError) {
    acceptPoint(cost);
  } else if (damping < kLargestDamping) {
    retryWithMoreDamping();
  } else {
    takeGradientStep(cost);
  }
}

void LMGlobals::acceptPoint(double cost) {
  damping = damping / kAcceptedDampingDivisor;
  previousError = cost;
  copyMatrix(hessian, savedHessian);
  for (int i = 0; i < weightCount; ++i) {
    if (const double* w = weightAt(i)) savedWeights[static_cast<size_t>(i)] = *w;
    for (int b = 0; b < blockCount; ++b) {
      if (const double* g = accumulatorAt(b, i)) savedGradient[b][i] = *g;
    }
  }
  swapAvailable = 1;
  swapped = 0;
}

void LMGlobals::retryWithMoreDamping() {
  damping = damping * kRejectedDampingFactor;
  for (int i = 0; i < weightCount; ++i) {
    if (double* w = weightAt(i)) *w = savedWeights[static_cast<size_t>(i)];
    for (int b = 0; b < blockCount; ++b) {
      if (double* g = accumulatorAt(b, i)) *g = savedGradient[b][i];
    }
  }
  copyMatrix(savedHessian, hessian);
}

void LMGlobals::takeGradientStep(double cost) {
  previousError = cost;
  for (int i = 0; i < weightCount; ++i) {
    double* w = weightAt(i);
    if (w != nullptr) *w = savedWeights[static_cast<size_t>(i)];
    for (int b = 0; b < blockCount; ++b) {
      const double* g = accumulatorAt(b, i);
      if (g == nullptr) continue;
      savedGradient[b][i] = *g;
      if (w != nullptr) *w += kGradientStepSize * *g;
    }
    if (w != nullptr) savedWeights[static_cast<size_t>(i)] = *w;
  }
  copyMatrix(hessian, savedHessian);
  swapAvailable = 1;
  swapped = 0;
}

void LMGlobals::sumGradient() {
  int firstMarked = -1;
  for (int j = 0; j < weightCount && firstMarked < 0; ++j) {
    if (isMarked(j)) firstMarked = j;
  }
  for (int j = 0; j < weightCount; ++j) {
    double sum = 0.0;
    if (isMarked(j)) {
      if (const double* g = accumulatorAt(j - firstMarked, j)) sum = *g;
    } else {
      for (int b = 0; b < blockCount; ++b) {
        if (const double* g = accumulatorAt(b, j)) sum += *g;
      }
    }
    gradientSum[static_cast<size_t>(j)] = sum;
  }
}

void LMGlobals::applyWeightStep() {
  for (int j = 0; j < weightCount; ++j) {
    if (double* w = weightAt(j)) *w += weightStep[static_cast<size_t>(j)];
  }
}

void LMGlobals::clearBatchSums() {
  zero(hessian);
  zero(previousAccumulator);
  for (int i = 0; i < weightCount; ++i) {
    for (int b = 0; b < blockCount; ++b) {
      if (double* g = accumulatorAt(b, i)) *g = 0.0;
    }
  }
}

void LMGlobals::updateRegularisation() {
  const int n = weightCount;
  const int m = blockCount;
  const double alpha = control->regularisationAlpha;
  const double beta = control->regularisationBeta;
  for (int j = 0; j < n; ++j) {
    ClaimedArray<double>& out = regularisationMatrix[static_cast<size_t>(j)];
    for (int i = 0; i < n; ++i) {
      double sum = 0.0;
      for (int k = 0; k < m; ++k) sum += beta * jacobian[k][i] * jacobian[k][j];
      if (i == j) sum += alpha;
      out[static_cast<size_t>(i)] = sum;
    }
  }
  invertMatrix(regularisationMatrix, n, inverse);
  double trace = 0.0;
  for (int j = 0; j < n; ++j) trace += inverse[j][j];
  const double weights = static_cast<double>(n);
  const double gamma = weights - alpha * trace;
  const double energy = control->weightEnergy;
  const double batch = static_cast<double>(control->batchSize);
  double a = 1.0;
  double b = 1.0;
  if (energy > 0.0) a = weights * gamma / (2.0 * energy);
  // Without a batch size the data term has nothing to be divided by: b
  // keeps its neutral 1.
  if (previousError > 0.0 && control->batchSize > 0) {
    b = (batch - gamma) / (4.0 * previousError * batch);
  }
  const double share = a / (a + b);
  // A share that is not a number (a + b of 0) gives no new alpha.
  if (!std::isfinite(share)) return;
  if (alpha > share || alpha < kSmallestAlpha) {
    const double newAlpha = std::min(share, kLargestAlpha);
    control->regularisationAlpha = newAlpha;
    control->regularisationBeta = 1.0 - newAlpha;
  }
}

void LMGlobals::finishTraining() {
  if (swapAvailable == 0) return;
  swapWeights();
  swapped = 1;
  swapAvailable = 0;
}

void LMGlobals::swapWeights() {
  if (control == nullptr || control->learning == 0 || control->trainingFlag == 0) return;
  const int n = std::min<int>(weightCount, static_cast<int>(savedWeights.size()));
  for (int i = 0; i < n; ++i) {
    if (double* w = weightAt(i)) std::swap(*w, savedWeights[static_cast<size_t>(i)]);
  }
}

void LMGlobals::lmAssignColumns(Soma* component, int columns, Soma* root, Soma* from) {
  BackCriteriaControl::assignJacobianColumns(component, columns, root, from);
}

}  // namespace kq

#include <kqnet/learning/cg_globals.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <kqnet/control/control.h>
#include <kqnet/core/costs.h>
#include <kqnet/core/random.h>
#include <kqnet/core/soma.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/learning/conjugate_gradient.h>

namespace kq {

namespace {

// A scale lambda beyond this has run away; the search starts again.
constexpr double kRunawayScale = 1e10;
// The first scale: a little damping to begin with; the comparisons adapt it.
constexpr double kStartingScale = 0.01;
// The first perturbation constant sigma: small enough for the difference
// quotient to stand for the curvature, large enough to rise above rounding.
constexpr double kStartingSigma = 0.0001;
// The runaway restart's direction rises by this per weight, so it is never zero.
constexpr double kRestartRampStep = 0.0001;
// The runaway restart jogs each weight by up to half this fraction of itself.
constexpr double kRestartJogFraction = 0.0001;
// A comparison at least this: the quadratic model is good, trust it more.
constexpr double kGoodStepComparison = 0.75;
// After a good step the scale is divided by this.
constexpr double kGoodStepScaleDivisor = 2.0;
// A comparison below this (or without a value): the model is poor, trust it less.
constexpr double kPoorStepComparison = 0.25;
// After a poor step the scale is multiplied by this.
constexpr double kPoorStepScaleFactor = 4.0;

}  // namespace

template <typename Visit>
void CGGlobals::forEachWeight(Visit&& visit) {
  if (control == nullptr) return;
  const WeightIndex& index = control->weightIndex;
  if (index.weightSlot.empty()) return;
  const ClaimedArray<int32_t>& firstSlots = index.weightSlot[0];
  // An index that no longer matches its arrays is walked only as far as
  // they reach.
  const int32_t n = static_cast<int32_t>(
      std::min<int64_t>({index.weightCount, static_cast<int64_t>(index.weightOwner.size()),
                         static_cast<int64_t>(firstSlots.size())}));
  Gradient* last = nullptr;
  ConjugateGradient* owner = nullptr;
  int blocks = 0;
  for (int32_t i = 0; i < n; ++i) {
    Gradient* gradient = index.weightOwner[static_cast<size_t>(i)];
    if (gradient != last) {
      last = gradient;
      owner = dynamic_cast<ConjugateGradient*>(gradient);
      blocks =
          owner != nullptr
              ? static_cast<int>(std::min<int64_t>({owner->gradientBlockCount(), index.blockCount,
                                                    static_cast<int64_t>(index.weightSlot.size())}))
              : 0;
    }
    // Only conjugate-gradient owners carry the method's vectors, and a
    // resized owner must not be read past its ends.
    if (owner == nullptr || owner->forward == nullptr) continue;
    const int32_t slot = firstSlots[static_cast<size_t>(i)];
    if (slot < 0) continue;
    const size_t k = static_cast<size_t>(slot);
    if (k >= owner->forward->weights.size() || k >= owner->direction.size()) continue;
    visit(WeightRef{owner, &owner->forward->weights[k], k, owner->backprop, blocks}, i);
  }
}

double* CGGlobals::accumulatorEntry(const WeightRef& ref, int32_t i, int b) const {
  if (ref.accumulator == nullptr) return nullptr;
  const ClaimedArray<int32_t>& slots = control->weightIndex.weightSlot[static_cast<size_t>(b)];
  if (static_cast<size_t>(i) >= slots.size()) return nullptr;
  const int32_t slot = slots[static_cast<size_t>(i)];
  if (slot < 0 || static_cast<size_t>(slot) >= ref.accumulator->weights.size()) return nullptr;
  return &ref.accumulator->weights[static_cast<size_t>(slot)];
}

double CGGlobals::errorNow() const {
  if (control == nullptr) return 0.0;
  const auto* criterion = dynamic_cast<const Criterion*>(control->currentCriterion);
  // Without a criterion there is no cost to measure.
  if (criterion == nullptr) return 0.0;
  return criterion->trainingCost * control->batchSize;
}

void CGGlobals::averageGradients() {
  // A batch size below 1 would turn every average into inf or NaN and the
  // weights with it; such a batch counts as one exemplar.
  const double divisor = control != nullptr && control->batchSize > 0 ? control->batchSize : 1;
  forEachWeight([&](const WeightRef& ref, int32_t i) {
    double sum = 0.0;
    for (int b = 0; b < ref.blocks; ++b) {
      if (const double* entry = accumulatorEntry(ref, i, b)) sum += *entry;
    }
    ref.owner->averageGradient[ref.k] = sum / divisor;
  });
}

void CGGlobals::zeroAccumulators() {
  forEachWeight([&](const WeightRef& ref, int32_t i) {
    for (int b = 0; b < ref.blocks; ++b) {
      if (double* entry = accumulatorEntry(ref, i, b)) *entry = 0.0;
    }
  });
}

void CGGlobals::saveBase() {
  forEachWeight([](const WeightRef& ref, int32_t) { ref.owner->baseWeights[ref.k] = *ref.weight; });
}

void CGGlobals::restoreBase() {
  forEachWeight([](const WeightRef& ref, int32_t) { *ref.weight = ref.owner->baseWeights[ref.k]; });
}

void CGGlobals::saveCopy() {
  forEachWeight([](const WeightRef& ref, int32_t) { ref.owner->weightCopy[ref.k] = *ref.weight; });
}

void CGGlobals::restoreCopy() {
  forEachWeight([](const WeightRef& ref, int32_t) { *ref.weight = ref.owner->weightCopy[ref.k]; });
}

double CGGlobals::directionNorm() {
  double sum = 0.0;
  forEachWeight([&](const WeightRef& ref, int32_t) {
    const double p = ref.owner->direction[ref.k];
    sum += p * p;
  });
  return std::sqrt(sum);
}

void CGGlobals::restartFromGradient() {
  forEachWeight([&](const WeightRef& ref, int32_t) {
    ++restartCounter;
    ref.owner->direction[ref.k] = ref.owner->averageGradient[ref.k];
    ref.owner->steepestDescent[ref.k] = ref.owner->averageGradient[ref.k];
  });
}

void CGGlobals::restartSearch() {
  bind(control);
  resetSearch();
  success = 1;
  initialised = 1;
  restartCounter = 0;
}

void CGGlobals::bind(StaticControl* owner) {
  LearningGlobals::bind(owner);
  lambda = kStartingScale;
  lambdaBar = 0.0;
  currentError = 0.0;
  previousError = kCostCap;
  sigma = kStartingSigma;
  delta = 0.0;
  success = 0;
  stepPending = 0;
  restorePending = 0;
  restartCounter = 0;
  iterationEpoch = 0;
  trialMeasured = 0;
  skipFlag = 0;
  initialised = 0;
  passDone = 0;
}

void CGGlobals::resetSearch() {
  forEachWeight([](const WeightRef& ref, int32_t) {
    ref.owner->curvature[ref.k] = 0.0;
    ref.owner->direction[ref.k] = 0.0;
    ref.owner->steepestDescent[ref.k] = 0.0;
  });
}

void CGGlobals::prepare(int) {
  if (restorePending != 0) {
    restoreCopy();
    restorePending = 0;
  }
  std::srand(1);
}

void CGGlobals::afterPass(int pass) {
  if (initialised != 0 && skipFlag == 0 && control != nullptr) {
    currentError = errorNow();
    if (success != 0) {
      // The pass that just ended ran at w + sigmaK p: s is the difference
      // quotient of the gradient along p. A zero perturbation length (a
      // zero direction) gives no quotient; s is then 0.
      delta = 0.0;
      averageGradients();
      forEachWeight([&](const WeightRef& ref, int32_t) {
        ConjugateGradient& g = *ref.owner;
        g.curvature[ref.k] =
            sigmaK != 0.0 ? (g.steepestDescent[ref.k] - g.averageGradient[ref.k]) / sigmaK : 0.0;
        delta += g.direction[ref.k] * g.curvature[ref.k];
      });
    }
    const double norm = directionNorm();
    const double squaredNorm = norm * norm;
    mu = 0.0;
    const double scale = lambda - lambdaBar;
    forEachWeight([&](const WeightRef& ref, int32_t) {
      ConjugateGradient& g = *ref.owner;
      g.curvature[ref.k] = g.curvature[ref.k] + scale * g.direction[ref.k];
      mu += g.direction[ref.k] * g.steepestDescent[ref.k];
    });
    delta = delta + scale * squaredNorm;
    if (delta < 0.0) {
      // Make the curvature positive.
      const double raise = lambda - 2.0 * delta / squaredNorm;
      forEachWeight([&](const WeightRef& ref, int32_t) {
        ConjugateGradient& g = *ref.owner;
        g.curvature[ref.k] = g.curvature[ref.k] + raise * g.direction[ref.k];
      });
      lambdaBar = 2.0 * (lambda - delta / squaredNorm);
      delta = lambda * squaredNorm - delta;
      lambda = lambdaBar;
    }
    // With no curvature along p (delta exactly 0, as for a zero direction)
    // mu / delta has no value: the trial point stays at the base point.
    alpha = delta != 0.0 ? mu / delta : 0.0;
    forEachWeight([&](const WeightRef& ref, int32_t) {
      const ConjugateGradient& g = *ref.owner;
      *ref.weight = g.baseWeights[ref.k] + alpha * g.direction[ref.k];
    });
    stepPending = 1;
    trialMeasured = 0;
  }
  zeroAccumulators();
  passDone = 1;
  LearningGlobals::afterPass(pass);
}

void CGGlobals::afterBatch() {
  if (stepPending == 0) return;
  auto* criterion =
      control != nullptr ? dynamic_cast<Criterion*>(control->currentCriterion) : nullptr;
  if (criterion != nullptr) {
    criterion->computeCost(0, 0);
    double x = errorNow();
    if (x < 0.0) x = kCostCap;
    if (x >= previousError) {
      criterion->setFlag();
      // The flag makes the epoch's cost report the held best cost, which is
      // never above previousError: the step is judged by this measurement.
      trialError = x;
      trialMeasured = 1;
    }
  }
  stepPending = 0;
}

void CGGlobals::afterEpoch() {
  if (control == nullptr || control->learning == 0 || control->trainingFlag == 0) return;
  if (passDone == 0) return;
  if (skipFlag == 0) {
    iterationEpoch = control->epoch;
    currentError = errorNow();
    if (initialised == 0) {
      startFirstIteration();
    } else if (lambda > kRunawayScale) {
      restartFromRamp();
    } else {
      judgeTrialStep();
    }
    if (success != 0) takeCurrentErrorAsBase();
    moveToPerturbedPoint();
  }
  zeroAccumulators();
  passDone = 0;
  trialMeasured = 0;
}

void CGGlobals::startFirstIteration() {
  restartSearch();
  averageGradients();
  currentError = errorNow();
  restartFromGradient();
}

void CGGlobals::restartFromRamp() {
  restartSearch();
  currentError = errorNow();
  forEachWeight([&](const WeightRef& ref, int32_t) {
    ++restartCounter;
    const double ramp = kRestartRampStep * restartCounter;
    ref.owner->direction[ref.k] = ramp;
    ref.owner->steepestDescent[ref.k] = ramp;
    const double w = *ref.weight;
    *ref.weight =
        w + w * (randomDraw() / static_cast<double>(kRandomDrawMax) - 0.5) * kRestartJogFraction;
  });
}

void CGGlobals::judgeTrialStep() {
  if (trialMeasured != 0) currentError = trialError;
  double pr = 0.0;
  forEachWeight([&](const WeightRef& ref, int32_t) {
    pr += ref.owner->direction[ref.k] * ref.owner->steepestDescent[ref.k];
  });
  const double comparison = 2.0 * (previousError - currentError) / pr / alpha;
  // A comparison without a value (0 / 0) cannot show an improvement: it
  // counts as a failed step.
  if (comparison >= 0.0) {
    acceptTrialStep(comparison);
  } else {
    rejectTrialStep();
  }
  if (!(comparison >= kPoorStepComparison)) lambda = kPoorStepScaleFactor * lambda;
}

void CGGlobals::acceptTrialStep(double comparison) {
  lambdaBar = 0.0;
  averageGradients();
  if (restartCounter == 0 || iterationEpoch % restartCounter == 0) {
    restartCounter = 0;
    restartFromGradient();
  } else {
    conjugateDirection();
  }
  if (comparison >= kGoodStepComparison) lambda = lambda / kGoodStepScaleDivisor;
  success = 1;
}

void CGGlobals::rejectTrialStep() {
  lambdaBar = lambda;
  success = 0;
  restoreBase();
}

void CGGlobals::conjugateDirection() {
  double gg = 0.0;
  double gr = 0.0;
  forEachWeight([&](const WeightRef& ref, int32_t) {
    const double g = ref.owner->averageGradient[ref.k];
    gg += g * g;
    gr += g * ref.owner->steepestDescent[ref.k];
  });
  // With mu 0 the conjugation has no scale: p restarts along g.
  const double beta = mu != 0.0 ? (gg - gr) / mu : 0.0;
  forEachWeight([&](const WeightRef& ref, int32_t) {
    ConjugateGradient& g = *ref.owner;
    g.direction[ref.k] = g.averageGradient[ref.k] + beta * g.direction[ref.k];
    g.steepestDescent[ref.k] = g.averageGradient[ref.k];
  });
}

void CGGlobals::takeCurrentErrorAsBase() {
  const double norm = directionNorm();
  // A zero direction has no perturbation length; the next pass then
  // runs at the base point.
  sigmaK = norm != 0.0 ? sigma / norm : 0.0;
  previousError = currentError;
}

void CGGlobals::moveToPerturbedPoint() {
  saveBase();
  forEachWeight([&](const WeightRef& ref, int32_t) {
    *ref.weight = ref.owner->baseWeights[ref.k] + sigmaK * ref.owner->direction[ref.k];
  });
}

void CGGlobals::finishTraining() {
  // A second call before the copy is put back would overwrite the copy
  // with the base point: the weights training stopped at are kept once.
  if (restorePending != 0) return;
  saveCopy();
  restoreBase();
  restorePending = 1;
}

}  // namespace kq

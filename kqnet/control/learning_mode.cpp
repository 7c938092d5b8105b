// The control's learning-mode operations: choosing and owning the learning
// globals, numbering the trainable weights for them, forwarding the run's
// hooks, the early-stop check and the least-squares initialisation.

#include <algorithm>
#include <cassert>
#include <memory>
#include <utility>

#include <kqnet/axons/axon.h>
#include <kqnet/control/back_static_control.h>
#include <kqnet/control/control.h>
#include <kqnet/control/wiring_check.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/messages.h>
#include <kqnet/core/soma.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/learning/cg_globals.h>
#include <kqnet/learning/gradient.h>
#include <kqnet/learning/lm_globals.h>
#include <kqnet/linalg/ls_weight_initializer.h>
#include <kqnet/synapses/synapse.h>

namespace kq {

namespace {

int64_t weightTotalOf(const Soma* object) { return object != nullptr ? object->weightTotal() : 0; }

// Own weights actually held, never more than the vector carries.
int64_t ownWeightsHeld(const Soma* object) {
  return std::min<int64_t>(object->ownCount, static_cast<int64_t>(object->weights.size()));
}

// Whether the synapse reads from one axon and adds into the other.
bool joins(const Soma* synapse, const Axon* from, const Axon* to) {
  const auto* link = dynamic_cast<const Synapse*>(synapse);
  return link != nullptr && link->sourceAxon == from && link->targetAxon == to;
}

// Whether the axon feeds one of the criteria, and that criterion takes
// records of exactly its width.
bool feedsCriterion(const Axon& axon, const std::vector<Soma*>& criteria, int64_t width) {
  for (Soma* output : axon.allOutputs) {
    if (std::find(criteria.begin(), criteria.end(), output) == criteria.end()) continue;
    const auto* criterion = dynamic_cast<const Axon*>(output);
    if (criterion != nullptr && int64_t{criterion->rows} * criterion->columns == width) return true;
  }
  return false;
}

// The components a least-squares fit reads and rewrites, found by depth.
struct LeastSquaresChain {
  Axon* inputAxon = nullptr;      // depth 1
  Soma* firstSynapse = nullptr;   // depth 2
  Axon* hiddenAxon = nullptr;     // depth 3
  Soma* secondSynapse = nullptr;  // depth 4
  Axon* outputAxon = nullptr;     // depth 5
};

// The last synapse and axon listed at each depth of the chain.
LeastSquaresChain chainByDepth(const std::vector<Soma*>& synapses,
                               const std::vector<Soma*>& axons) {
  LeastSquaresChain chain;
  for (Soma* synapse : synapses) {
    if (synapse->depth == 2) chain.firstSynapse = synapse;
    if (synapse->depth == 4) chain.secondSynapse = synapse;
  }
  for (Soma* member : axons) {
    auto* axon = dynamic_cast<Axon*>(member);
    if (axon == nullptr) continue;
    if (axon->depth == 1) chain.inputAxon = axon;
    if (axon->depth == 3) chain.hiddenAxon = axon;
    if (axon->depth == 5) chain.outputAxon = axon;
  }
  return chain;
}

// The depths name these roles only in a network with one hidden layer
// (with two, depth 5 is the second hidden layer). The fit rewrites all
// four components and reads desired records as wide as the output
// axon, so it runs only on a chain input -> synapse -> hidden ->
// synapse -> output whose output axon feeds a criterion of its width,
// and whose four rewritten components have weights.
bool isFittableChain(const LeastSquaresChain& c, const std::vector<Soma*>& criteria) {
  const bool chain =
      c.inputAxon != nullptr && c.hiddenAxon != nullptr && c.outputAxon != nullptr &&
      joins(c.firstSynapse, c.inputAxon, c.hiddenAxon) &&
      joins(c.secondSynapse, c.hiddenAxon, c.outputAxon) &&
      feedsCriterion(*c.outputAxon, criteria, int64_t{c.outputAxon->rows} * c.outputAxon->columns);
  return chain && c.firstSynapse->ownCount > 0 && c.secondSynapse->ownCount > 0 &&
         c.hiddenAxon->ownCount > 0 && c.outputAxon->ownCount > 0;
}

// The fit writes hidden x inputs, hidden, outputs x hidden and outputs
// values: a chain whose weights are shorter than its layers (synapses
// that do not join these layers) is left alone rather than overrun.
bool holdsFittedWeights(const LeastSquaresChain& c, int32_t inputs, int32_t outputs,
                        int32_t hidden) {
  return ownWeightsHeld(c.firstSynapse) >= int64_t{hidden} * inputs &&
         ownWeightsHeld(c.hiddenAxon) >= hidden &&
         ownWeightsHeld(c.secondSynapse) >= int64_t{outputs} * hidden &&
         ownWeightsHeld(c.outputAxon) >= outputs;
}

// Whether the weight index still numbers what the gradient list trains:
// in list order, each gradient's forward object with as many weights as
// the index gave it, and no more blocks than it was built for.
bool indexNumbersTheList(const StaticControl& control) {
  const WeightIndex& index = control.weightIndex;
  const ClaimedArray<Gradient*>& owners = index.weightOwner;
  const int64_t numbered = static_cast<int64_t>(owners.size());
  int64_t i = 0;
  for (Gradient* gradient : control.gradientList) {
    const int64_t count = weightTotalOf(gradient->forward);
    if (count <= 0) continue;
    if (!owners.empty()) {
      if (i + count > numbered || owners[static_cast<size_t>(i)] != gradient ||
          owners[static_cast<size_t>(i + count - 1)] != gradient ||
          gradient->gradientBlockCount() > index.blockCount) {
        return false;
      }
    }
    i += count;
  }
  return i == control.weightCount;
}

// The globals reach every weight through the index, and their state spans
// the whole network: a layer re-sized since the index was built cannot be
// followed in the middle of a batch or an iteration, and training on would
// leave part of it untrained. The run ends instead, naming the call due.
void requireCurrentIndex(const StaticControl& control) {
  if (!indexNumbersTheList(control)) fatal(messages::kWeightsChangedSincePrepared);
}

}  // namespace

void StaticControl::setLearningMode(int mode) {
  if (mode != learningMode && learningGlobals) deleteLearningGlobals();
  learningMode = mode;
}

void StaticControl::attachBackControl(BackStaticControl* object) {
  backControl = object;
  if (object != nullptr) {
    int mode = kFirstOrderMode;
    if (object->learningMethod == "LevenbergMarquardt") {
      mode = kLevenbergMarquardtMode;
    } else if (object->learningMethod == "ConjugateGradient") {
      mode = kConjugateGradientMode;
    }
    setLearningMode(mode);
  }
  clearComponentLists();
}

void StaticControl::createLearningGlobals() {
  if (learningGlobals) {
    learningGlobals->freeState();
    learningGlobals.reset();
    freeWeightIndex();
  }
  if (learningMode == kConjugateGradientMode) {
    learningGlobals = std::make_unique<CGGlobals>();
  } else {
    learningGlobals = std::make_unique<LMGlobals>();
  }
  learningGlobals->bind(this);
  learningGlobals->resetSearch();
}

void StaticControl::setLearning(int flag) {
  reconnectSynapses();
  learning = flag;
  if (learningMode == kConjugateGradientMode || learningMode == kLevenbergMarquardtMode) {
    int64_t total = 0;
    int largestBlocks = 0;
    // By index: sizing a gradient never changes the list, but stay safe.
    for (size_t g = 0; g < gradientList.size(); ++g) {
      Gradient* gradient = gradientList[g];
      gradient->matchTargetSize();
      total += weightTotalOf(gradient->forward);
      largestBlocks = std::max(largestBlocks, gradient->gradientBlockCount());
    }
    weightCount = checkedCount(total);
    buildWeightIndex(largestBlocks);
    // The count and the index walk the same list, so every counted weight
    // has its owner.
    assert(weightIndex.weightOwner.empty() || weightIndex.weightOwner.back() != nullptr);
    if (!learningGlobals) createLearningGlobals();
    learningGlobals->prepare(learning);
  } else if (learningGlobals) {
    learningGlobals->freeState();
    learningGlobals.reset();
  }
}

void StaticControl::buildWeightIndex(int m) {
  freeWeightIndex();
  if (m <= 0 || weightCount <= 0) return;
  const int32_t n = weightCount;
  // An accumulator position per weight and block, an owner pointer per
  // weight: all of it checked before the first row is made.
  checkedProduct(m, n);
  const auto columns = static_cast<size_t>(n);
  sizeTogether([this, m, n, columns](auto&& size) {
    size(weightIndex.weightSlot, m, Rows<int32_t>{columns, 0});
    size(weightIndex.weightOwner, n, nullptr);
  });
  weightIndex.blockCount = m;
  weightIndex.weightCount = n;
  int32_t i = 0;
  for (Gradient* gradient : gradientList) {
    const int64_t forwardCount = weightTotalOf(gradient->forward);
    const int64_t backwardCount = weightTotalOf(gradient->backprop);
    // The count was taken by setLearning; a caller that changed the list
    // since cannot make the index run past its arrays.
    for (int64_t k = 0; k < forwardCount && i < n; ++k, ++i) {
      for (int l = 0; l < m; ++l) {
        const int64_t slot = forwardCount == backwardCount ? k : k + forwardCount * l;
        weightIndex.weightSlot[static_cast<size_t>(l)][static_cast<size_t>(i)] = checkedCount(slot);
      }
      weightIndex.weightOwner[static_cast<size_t>(i)] = gradient;
    }
  }
}

int StaticControl::prepareLearning() {
#ifndef NDEBUG
  // A network wired at one end of an edge only runs without a word.
  checkWiring(*this);
#endif
  Engine::prepareLearning();
  // A forward axon re-shaped since its twin took its shape (a weight file
  // that holds other rows) leaves the twin behind; the twin's synapses
  // follow it as it re-allocates, and the gradients follow them below. By
  // index: re-sizing re-connects, which leaves the lists as they are, but
  // stay safe.
  for (size_t i = 0; i < axonList.size(); ++i) {
    auto* axon = dynamic_cast<Axon*>(axonList[i]);
    if (axon != nullptr && !axon->followsDual()) axon->resizeToDual();
  }
  // By index: a member's preparation may change the lists.
  for (size_t i = 0; i < backCriteriaList.size(); ++i) backCriteriaList[i]->prepareLearning();
  for (size_t i = 0; i < gradientList.size(); ++i) gradientList[i]->matchTargetSize();
  if (!criteriaList.empty()) currentCriterion = criteriaList.front();
  // The globals were sized before the criteria controls assigned their
  // error columns, so this sizing finds another block count and resets the
  // search, which drops the saved state. It is kept aside until the globals
  // have their final size and can take it over.
  SavedLmState saved = std::move(savedLmState);
  setLearning(learning);
  savedLmState = std::move(saved);
  restoreLmState();
  return 0;
}

void StaticControl::restoreLmState() {
  const SavedLmState& saved = savedLmState;
  auto* globals = dynamic_cast<LMGlobals*>(learningGlobals.get());
  const size_t n = static_cast<size_t>(std::max(saved.weightCount, 0));
  const size_t m = static_cast<size_t>(std::max(saved.blockCount, 0));
  // The arrays must have the sizes the state claims, or the hand-over
  // would read past them. Globals of another method (the weight file may
  // switch the mode without replacing them) cannot take the state either.
  const bool complete = saved.exemplarJtJ.size() == n * n && saved.hessian.size() == n * n &&
                        saved.savedHessian.size() == n * n && saved.inverse.size() == n * n &&
                        saved.jacobian.size() == m * n && saved.savedGradient.size() == m * n &&
                        saved.previousAccumulator.size() == m * n &&
                        saved.savedWeights.size() == n && saved.step.size() == n &&
                        saved.gradientSum.size() == n;
  if (saved.present() && complete && globals != nullptr &&
      learningMode == kLevenbergMarquardtMode && leastSquaresPending == 0 &&
      saved.weightCount == weightCount && saved.blockCount == weightIndex.blockCount) {
    globals->freeState();
    globals->takeSavedState(saved);
    globals->prepare(learning != 0 && trainingFlag != 0 ? 1 : 0);
  }
  freeSavedLmState();
}

void StaticControl::allocateSecondOrder() {
  SavedLmState& s = savedLmState;
  // Sizes a weight file gave: four square tables, three of blocks, three
  // vectors, each count within 32 bits and all of them checked together.
  checkedProduct(s.weightCount, s.weightCount);
  checkedProduct(s.blockCount, s.weightCount);
  sizeTogether([&s](auto&& size) { s.eachArray(size); });
}

void StaticControl::afterExemplar() {
  if (learningGlobals) learningGlobals->afterExemplar();
}

void StaticControl::endBatch() {
  if (!learningGlobals) return;
  requireCurrentIndex(*this);
  learningGlobals->endBatch();
}

void StaticControl::afterBatch() {
  if (!learningGlobals) return;
  requireCurrentIndex(*this);
  learningGlobals->afterBatch();
}

void StaticControl::afterPass(int passNumber) {
  if (!learningGlobals) return;
  requireCurrentIndex(*this);
  learningGlobals->afterPass(passNumber);
}

void StaticControl::finishTraining() {
  if (!learningGlobals) return;
  requireCurrentIndex(*this);
  learningGlobals->finishTraining();
}

void StaticControl::checkBestCost() {
  const auto* criterion = dynamic_cast<const Criterion*>(currentCriterion);
  if (earlyStopOn != 0 && criterion != nullptr && criterion->stopCheckOn != 0 &&
      earlyStopArmed != 0) {
    const double x = criterion->testCost;
    if (bestCost > x && x > 1e-40 && epoch - 1 > warmUpEpochs) {
      bestCost = x;
      bestEpoch = epoch - 1;
    }
    if (bestEpoch != 0 && epoch - 1 - bestEpoch >= patience) stopRequested = 1;
  }
  if (!learningGlobals) return;
  requireCurrentIndex(*this);
  learningGlobals->afterEpoch();
}

void StaticControl::leastSquaresInit() {
  if (leastSquaresPending != 0 && epoch == 0 && leastSquaresEnabled != 0 &&
      leastSquaresInputs != nullptr && leastSquaresDesired != nullptr) {
    const LeastSquaresChain found = chainByDepth(synapseList, axonList);
    const auto& [inputAxon, firstSynapse, hiddenAxon, secondSynapse, outputAxon] = found;
    if (isFittableChain(found, criteriaList)) {
      const int32_t inputs = checkedProduct(inputAxon->rows, inputAxon->columns);
      const int32_t outputs = checkedProduct(outputAxon->rows, outputAxon->columns);
      const int32_t hidden = checkedProduct(hiddenAxon->rows, hiddenAxon->columns);
      if (holdsFittedWeights(found, inputs, outputs, hidden)) {
        const auto slopeOf = [](const Axon& axon) {
          const int kind = axon.activationKind();
          return kind == kActivationBias || kind == kActivationNone ? 1.0 : axon.slope();
        };
        LSWeightInitializer initializer(leastSquaresExemplars, inputs, outputs, hidden);
        initializer.setDesired(leastSquaresDesired);
        initializer.setInputs(leastSquaresInputs);
        initializer.setFirstWeights(firstSynapse->weights.data());
        initializer.setHiddenBiases(hiddenAxon->weights.data());
        initializer.setSecondWeights(secondSynapse->weights.data());
        initializer.setOutputBiases(outputAxon->weights.data());
        initializer.setHiddenActivation(hiddenAxon->activationKind(), slopeOf(*hiddenAxon));
        initializer.setOutputActivation(outputAxon->activationKind(), slopeOf(*outputAxon));
        initializer.fit();
      }
    }
    leastSquaresInputs = nullptr;
    leastSquaresDesired = nullptr;
  }
  leastSquaresPending = 0;
}

}  // namespace kq

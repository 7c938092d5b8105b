// The control's learning-mode operations: the mode from the backward
// control's method name, creating and dropping the learning globals, the
// weight numbering, the hooks, the early-stop check, the saved
// Levenberg-Marquardt state and the least-squares initialisation.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../backward/backward_network.h"
#include <kqnet/control/back_static_control.h>
#include <kqnet/control/control.h>
#include <kqnet/core/soma.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/learning/cg_globals.h>
#include <kqnet/learning/gradient.h>
#include <kqnet/learning/lm_globals.h>
#include <kqnet/linalg/ls_weight_initializer.h>

namespace {

// Logs every hook and its own deletion.
class LoggingGlobals : public kq::LearningGlobals {
 public:
  explicit LoggingGlobals(std::vector<std::string>* log) : log_(log) {}
  ~LoggingGlobals() override { log_->push_back("deleted"); }
  void afterExemplar() override { log_->push_back("afterExemplar"); }
  void afterEpoch() override { log_->push_back("afterEpoch"); }
  void finishTraining() override { log_->push_back("finishTraining"); }
  void freeState() override { log_->push_back("freeState"); }
  void afterBatch() override { log_->push_back("afterBatch"); }
  void afterPass(int pass) override { log_->push_back("afterPass " + std::to_string(pass)); }
  void prepare(int flag) override { log_->push_back("prepare " + std::to_string(flag)); }
  void endBatch() override { log_->push_back("endBatch"); }

 private:
  std::vector<std::string>* log_;
};

// A gradient between two bare somas with the given weight totals and
// block count (backprop length over forward input length).
struct GradientPair {
  GradientPair(int forwardWeights, int backwardWeights, int blocks) {
    forward.ownCount = forwardWeights;
    forward.inputLength = 1;
    backprop.ownCount = backwardWeights;
    backprop.length = blocks;
    gradient.setBackprop(&backprop);
    gradient.forward = &forward;
  }
  kq::Soma forward;
  kq::Soma backprop;
  kq::Gradient gradient;
};

void fillLists(kq::StaticControl& control, kq::Soma* member, kq::Gradient* gradient) {
  control.backCriteriaList.push_back(member);
  control.criteriaList.push_back(member);
  control.synapseList.push_back(member);
  control.axonList.push_back(member);
  control.gradientList.push_back(gradient);
}

TEST(LearningModeTest, BackControlNameSetsTheModeAndEmptiesTheFiveLists) {
  kq::StaticControl control;
  kq::BackStaticControl back;
  kq::Soma member;
  kq::Gradient gradient;
  const std::vector<std::pair<std::string, int>> cases{
      {"LevenbergMarquardt", 2}, {"ConjugateGradient", 1}, {"Momentum", 0}, {"", 0}};
  for (const auto& [name, mode] : cases) {
    fillLists(control, &member, &gradient);
    back.learningMethod = name;
    control.attachBackControl(&back);
    EXPECT_EQ(control.learningMode, mode) << name;
    EXPECT_EQ(control.backControl, &back);
    EXPECT_TRUE(control.backCriteriaList.empty() && control.criteriaList.empty() &&
                control.synapseList.empty() && control.axonList.empty() &&
                control.gradientList.empty())
        << name;
  }
  // Without a backward control the mode stays, the lists are still emptied.
  control.learningMode = 2;
  fillLists(control, &member, &gradient);
  control.attachBackControl(nullptr);
  EXPECT_EQ(control.learningMode, 2);
  EXPECT_EQ(control.backControl, nullptr);
  EXPECT_TRUE(control.axonList.empty() && control.gradientList.empty());
}

TEST(LearningModeTest, OnlyAnotherModeDeletesTheGlobalsAndFreesTheIndex) {
  std::vector<std::string> log;
  kq::StaticControl control;
  control.learningMode = 1;
  control.learningGlobals = std::make_unique<LoggingGlobals>(&log);
  control.weightIndex.weightCount = 3;
  control.weightIndex.weightOwner.assign(3, nullptr);
  control.setLearningMode(1);
  EXPECT_NE(control.learningGlobals, nullptr);
  EXPECT_EQ(control.weightIndex.weightCount, 3);
  EXPECT_TRUE(log.empty());
  control.setLearningMode(2);
  EXPECT_EQ(control.learningMode, 2);
  EXPECT_EQ(control.learningGlobals, nullptr);
  EXPECT_TRUE(control.weightIndex.empty());
  EXPECT_EQ(log, (std::vector<std::string>{"freeState", "deleted"}));
}

TEST(LearningModeTest, GlobalsAreCreatedByModeAndModeZeroDropsThemAtSetLearning) {
  for (int flag : {0, 1}) {
    kq::StaticControl control;
    control.setLearningMode(0);
    control.createLearningGlobals();
    auto* lm = dynamic_cast<kq::LMGlobals*>(control.learningGlobals.get());
    ASSERT_NE(lm, nullptr);
    EXPECT_EQ(lm->control, &control);
    control.weightIndex.weightCount = 2;  // mode 0 leaves the index alone
    control.setLearning(flag);
    EXPECT_EQ(control.learning, flag);
    EXPECT_EQ(control.learningGlobals, nullptr);
    EXPECT_EQ(control.weightIndex.weightCount, 2);
  }
  kq::StaticControl control;
  control.setLearningMode(1);
  control.createLearningGlobals();
  auto* cg = dynamic_cast<kq::CGGlobals*>(control.learningGlobals.get());
  ASSERT_NE(cg, nullptr);
  EXPECT_EQ(cg->control, &control);
  EXPECT_EQ(cg->skipFlag, 0u);
  EXPECT_EQ(cg->lambda, 0.01);
  EXPECT_EQ(cg->previousError, 1e10);
}

TEST(LearningModeTest, SetLearningInModeOneCountsIndexesAndPreparesTheGlobals) {
  std::vector<std::string> log;
  GradientPair wide(10, 30, 3);  // three blocks of ten weights
  GradientPair plain(4, 4, 1);   // one block: every block maps to the same slot
  kq::StaticControl control;
  control.learningMode = 1;
  control.gradientList = {&wide.gradient, &plain.gradient};
  control.learningGlobals = std::make_unique<LoggingGlobals>(&log);
  control.setLearning(0);
  EXPECT_EQ(log, (std::vector<std::string>{"prepare 0"}));
  EXPECT_EQ(control.weightCount, 14);
  const kq::WeightIndex& index = control.weightIndex;
  ASSERT_EQ(index.weightCount, 14);
  ASSERT_EQ(index.blockCount, 3);
  EXPECT_EQ(index.weightSlot[2][4], 24);
  EXPECT_EQ(index.weightSlot[1][9], 19);
  EXPECT_EQ(index.weightSlot[0][9], 9);
  for (int l = 0; l < 3; ++l) EXPECT_EQ(index.weightSlot[l][12], 2);
  EXPECT_EQ(index.weightOwner[9], &wide.gradient);
  EXPECT_EQ(index.weightOwner[10], &plain.gradient);
  // The gradients were sized to their accumulators.
  EXPECT_EQ(wide.gradient.weightCount, 30);
  // Without weights or blocks the index stays empty.
  control.buildWeightIndex(0);
  EXPECT_TRUE(control.weightIndex.empty());
  control.gradientList.clear();
  control.setLearning(1);
  EXPECT_EQ(control.weightCount, 0);
  EXPECT_TRUE(control.weightIndex.empty());
  EXPECT_EQ(log.back(), "prepare 1");
}

TEST(LearningModeTest, HooksReachTheGlobalsOnlyWhenThereAreAny) {
  std::vector<std::string> log;  // outlives the control, which deletes the globals
  kq::StaticControl control;
  control.afterExemplar();
  control.endBatch();
  control.afterBatch();
  control.afterPass(1);
  control.finishTraining();
  control.checkBestCost();
  control.learningGlobals = std::make_unique<LoggingGlobals>(&log);
  control.afterExemplar();
  control.endBatch();
  control.afterBatch();
  control.afterPass(1);
  control.checkBestCost();  // the check is off: only the globals' hook runs
  control.finishTraining();
  EXPECT_EQ(log, (std::vector<std::string>{"afterExemplar", "endBatch", "afterBatch", "afterPass 1",
                                           "afterEpoch", "finishTraining"}));
  EXPECT_EQ(control.stopRequested, 0);
}

class EarlyStopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    control.earlyStopOn = 1;
    control.earlyStopArmed = 1;
    criterion.stopCheckOn = 1;
    control.currentCriterion = &criterion;
  }
  void checkAt(int epoch, double testCost) {
    control.epoch = epoch;
    criterion.testCost = testCost;
    control.checkBestCost();
  }
  kq::StaticControl control;
  kq::L2Criterion criterion;
};

TEST_F(EarlyStopTest, ATestCostOfExactly1eMinus40NeverBecomesTheBest) {
  checkAt(3, 1e-40);
  EXPECT_EQ(control.bestCost, 1e9);
  EXPECT_EQ(control.bestEpoch, 0);
  checkAt(4, 2e-40);
  EXPECT_EQ(control.bestCost, 2e-40);
  EXPECT_EQ(control.bestEpoch, 3);
}

TEST_F(EarlyStopTest, PatienceCountsEpochsSinceTheBest) {
  checkAt(6, 0.5);
  EXPECT_EQ(control.bestEpoch, 5);
  checkAt(105, 0.6);
  EXPECT_EQ(control.stopRequested, 0);
  checkAt(106, 0.6);
  EXPECT_EQ(control.stopRequested, 1);
  EXPECT_EQ(control.bestCost, 0.5);
}

TEST_F(EarlyStopTest, WarmUpAndEverySwitchGateTheCheck) {
  control.warmUpEpochs = 4;
  checkAt(5, 0.5);  // epoch - 1 is not above the warm-up
  EXPECT_EQ(control.bestCost, 1e9);
  checkAt(6, 0.5);
  EXPECT_EQ(control.bestEpoch, 5);
  checkAt(7, 0.5);  // not strictly better
  EXPECT_EQ(control.bestEpoch, 5);
  control.bestCost = 1e9;
  for (int32_t* flag : {&control.earlyStopOn, &control.earlyStopArmed, &criterion.stopCheckOn}) {
    *flag = 0;
    checkAt(8, 0.1);
    EXPECT_EQ(control.bestCost, 1e9);
    *flag = 1;
  }
}

kq::SavedLmState savedState(int n, int m) {
  kq::SavedLmState saved;
  saved.weightCount = n;
  saved.blockCount = m;
  return saved;
}

TEST(SavedLmStateTest, AllocationFollowsTheSavedSizesAndFreeingClearsThem) {
  kq::StaticControl control;
  control.savedLmState = savedState(3, 2);
  control.savedLmState.swapped = 1;
  control.savedLmState.swapAvailable = 1;
  control.savedLmState.resetRequested = 1;
  control.allocateSecondOrder();
  const kq::SavedLmState& s = control.savedLmState;
  EXPECT_TRUE(s.present());
  EXPECT_EQ(s.inverse, std::vector<double>(9, 0.0));
  EXPECT_EQ(s.previousAccumulator.size(), 6u);
  EXPECT_EQ(s.gradientSum.size(), 3u);
  control.freeSavedLmState();
  EXPECT_FALSE(s.present());
  EXPECT_TRUE(s.savedHessian.empty() && s.jacobian.empty() && s.step.empty());
  EXPECT_EQ(s.weightCount, 0);
  EXPECT_EQ(s.blockCount, 0);
  EXPECT_EQ(s.swapped, 0);
  EXPECT_EQ(s.swapAvailable, 0);
  EXPECT_EQ(s.resetRequested, 1);  // only the last two ints are cleared
  // Negative sizes from a file allocate nothing.
  control.savedLmState = savedState(-4, 2);
  control.allocateSecondOrder();
  EXPECT_FALSE(control.savedLmState.present());
}

// A mode-2 control with LM globals prepared for n weights in m blocks.
struct LmControl {
  LmControl() : pair(4, 8, 2) {
    control.learningMode = 2;
    control.leastSquaresPending = 0;
    control.gradientList = {&pair.gradient};
    control.setLearning(0);
  }
  GradientPair pair;
  kq::StaticControl control;
};

TEST(SavedLmStateTest, MatchingStateIsHandedToTheGlobalsAndThenFreed) {
  LmControl lm;
  ASSERT_EQ(lm.control.weightCount, 4);
  ASSERT_EQ(lm.control.weightIndex.blockCount, 2);
  lm.control.savedLmState = savedState(4, 2);
  lm.control.allocateSecondOrder();
  lm.control.savedLmState.damping = 0.375;
  lm.control.savedLmState.previousError = 2.5;
  lm.control.savedLmState.hessian[5] = 7.0;
  lm.control.savedLmState.savedWeights[3] = -1.5;
  lm.control.restoreLmState();
  auto* globals = dynamic_cast<kq::LMGlobals*>(lm.control.learningGlobals.get());
  ASSERT_NE(globals, nullptr);
  EXPECT_EQ(globals->damping, 0.375);
  EXPECT_EQ(globals->previousError, 2.5);
  EXPECT_EQ(globals->hessian[1][1], 7.0);
  EXPECT_EQ(globals->savedWeights[3], -1.5);
  EXPECT_FALSE(lm.control.savedLmState.present());
}

TEST(SavedLmStateTest, MismatchedOrUnusableStateIsDroppedSilently) {
  const auto tryRestore = [](auto&& spoil) {
    LmControl lm;
    auto* globals = dynamic_cast<kq::LMGlobals*>(lm.control.learningGlobals.get());
    const double damping = globals->damping;
    lm.control.savedLmState = savedState(4, 2);
    lm.control.allocateSecondOrder();
    lm.control.savedLmState.damping = 0.375;
    spoil(lm.control);
    lm.control.restoreLmState();
    auto* after = dynamic_cast<kq::LMGlobals*>(lm.control.learningGlobals.get());
    if (after != nullptr) {
      EXPECT_EQ(after->damping, damping);
    }
    EXPECT_FALSE(lm.control.savedLmState.present());
  };
  tryRestore([](kq::StaticControl& c) { c.savedLmState.weightCount = 5; });
  tryRestore([](kq::StaticControl& c) { c.savedLmState.blockCount = 1; });
  tryRestore([](kq::StaticControl& c) { c.leastSquaresPending = 1; });
  tryRestore([](kq::StaticControl& c) { c.learningMode = 1; });
  tryRestore([](kq::StaticControl& c) { c.savedLmState.jacobian.assign(3, 0.0); });
  tryRestore([](kq::StaticControl& c) { c.learningGlobals = std::make_unique<kq::CGGlobals>(); });
}

TEST(PrepareLearningTest, PreparesMembersTakesTheFirstCriterionAndAppliesTheFlag) {
  kqtest::BackwardNetwork network({2, 3, 1}, {{0, 1}, {1, 2}});
  kq::StaticControl& control = network.control;
  control.learningMode = 1;
  control.learning = 0;
  network.criterionTwin.criterionMark = 0;
  control.prepareLearning();
  EXPECT_EQ(control.currentCriterion, &network.criterion);
  EXPECT_EQ(network.criterionTwin.criterionMark, 1);
  EXPECT_NE(dynamic_cast<kq::CGGlobals*>(control.learningGlobals.get()), nullptr);
}

// The two-layer chain of the least-squares fit, numbered from its input.
struct LeastSquaresChain {
  LeastSquaresChain() : network({2, 3, 2}, {{0, 1}, {1, 2}}) {
    std::mt19937_64 generator(5);
    network.randomizeForward(generator, 0.5);
    inputs = kqtest::randomRecords(6, 2, generator);
    desired = kqtest::randomRecords(6, 2, generator);
    for (size_t e = 0; e < 6; ++e) {
      inputRows.push_back(inputs[e].data());
      desiredRows.push_back(desired[e].data());
    }
    kq::StaticControl& control = network.control;
    control.leastSquaresEnabled = 1;
    control.leastSquaresExemplars = 6;
    control.leastSquaresInputs = inputRows.data();
    control.leastSquaresDesired = desiredRows.data();
  }
  kqtest::BackwardNetwork network;
  std::vector<std::vector<double>> inputs, desired;
  std::vector<const double*> inputRows, desiredRows;
};

TEST(LeastSquaresInitTest, FitsTheChainFoundByDepthAndClearsItsFlags) {
  LeastSquaresChain chain;
  kqtest::BackwardNetwork& network = chain.network;
  // The same fit run directly on copies of the starting weights.
  std::vector<double> first = network.synapses[0]->weights;
  std::vector<double> hiddenBias = network.layer(1)->weights;
  std::vector<double> second = network.synapses[1]->weights;
  std::vector<double> outputBias = network.layer(2)->weights;
  kq::LSWeightInitializer direct(6, 2, 2, 3);
  direct.setDesired(chain.desiredRows.data());
  direct.setInputs(chain.inputRows.data());
  direct.setFirstWeights(first.data());
  direct.setHiddenBiases(hiddenBias.data());
  direct.setSecondWeights(second.data());
  direct.setOutputBiases(outputBias.data());
  direct.setHiddenActivation(kq::kActivationTanh, 1.0);
  direct.setOutputActivation(kq::kActivationTanh, 1.0);
  direct.fit();
  ASSERT_NE(first, network.synapses[0]->weights);

  network.control.leastSquaresInit();
  EXPECT_EQ(network.synapses[0]->weights, first);
  EXPECT_EQ(network.layer(1)->weights, hiddenBias);
  EXPECT_EQ(network.synapses[1]->weights, second);
  EXPECT_EQ(network.layer(2)->weights, outputBias);
  EXPECT_EQ(network.control.leastSquaresPending, 0);
  EXPECT_EQ(network.control.leastSquaresInputs, nullptr);
  EXPECT_EQ(network.control.leastSquaresDesired, nullptr);
}

TEST(LeastSquaresInitTest, AnIncompleteOrShortChainOnlyClearsTheFlags) {
  for (int variant = 0; variant < 2; ++variant) {
    LeastSquaresChain chain;
    kqtest::BackwardNetwork& network = chain.network;
    if (variant == 0) network.layer(2)->depth = 0;  // no output layer
    // A synapse shorter than the layers it claims to join is not overrun.
    if (variant == 1) network.synapses[1]->ownCount = 2;
    const std::vector<double> before = network.synapses[0]->weights;
    network.control.leastSquaresInit();
    EXPECT_EQ(network.synapses[0]->weights, before) << variant;
    EXPECT_EQ(network.control.leastSquaresPending, 0);
    EXPECT_EQ(network.control.leastSquaresInputs, nullptr) << variant;
  }
}

TEST(LeastSquaresInitTest, ANetworkWithTwoHiddenLayersIsLeftAlone) {
  // The second hidden layer, wider than the output, sits where the output
  // layer of a one-hidden-layer chain would: nothing may be fitted, and no
  // desired record (two values each) may be read beyond its end.
  kqtest::BackwardNetwork network({2, 3, 5, 2}, {{0, 1}, {1, 2}, {2, 3}});
  std::mt19937_64 generator(6);
  network.randomizeForward(generator, 0.5);
  const auto inputs = kqtest::randomRecords(4, 2, generator);
  const auto desired = kqtest::randomRecords(4, 2, generator);
  std::vector<const double*> inputRows, desiredRows;
  for (size_t e = 0; e < 4; ++e) {
    inputRows.push_back(inputs[e].data());
    desiredRows.push_back(desired[e].data());
  }
  kq::StaticControl& control = network.control;
  ASSERT_EQ(network.layer(2)->depth, 5);
  control.leastSquaresEnabled = 1;
  control.leastSquaresExemplars = 4;
  control.leastSquaresInputs = inputRows.data();
  control.leastSquaresDesired = desiredRows.data();
  std::vector<std::vector<double>> before;
  for (const auto& s : network.synapses) before.push_back(s->weights);
  for (const auto& a : network.layers) before.push_back(a->weights);
  control.leastSquaresInit();
  std::vector<std::vector<double>> after;
  for (const auto& s : network.synapses) after.push_back(s->weights);
  for (const auto& a : network.layers) after.push_back(a->weights);
  EXPECT_EQ(after, before);
  EXPECT_EQ(control.leastSquaresPending, 0);
  EXPECT_EQ(control.leastSquaresDesired, nullptr);
}

TEST(LeastSquaresInitTest, AChainWhoseOutputFeedsNoCriterionIsLeftAlone) {
  LeastSquaresChain chain;
  kqtest::BackwardNetwork& network = chain.network;
  network.control.criteriaList.clear();
  const std::vector<double> before = network.synapses[1]->weights;
  network.control.leastSquaresInit();
  EXPECT_EQ(network.synapses[1]->weights, before);
  EXPECT_EQ(network.control.leastSquaresPending, 0);
}

}  // namespace

#include <kqnet/criteria/criterion.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "criterion_helpers.h"
#include <kqnet/axons/axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/control.h>
#include <kqnet/core/memory.h>
#include <kqnet/core/soma.h>
#include <kqnet/learning/gradient.h>
#include <kqnet/synapses/synapse.h>

namespace {

using kq::BiasAxon;
using kq::Criterion;
using kq::Gradient;
using kq::L2Criterion;
using kq::StaticControl;
using kqtest::BlockLog;
using kqtest::CriterionBench;

TEST(CriterionClassTest, ReportsTheAxonWordAndItsOwnKind) {
  L2Criterion l2;
  Criterion base;
  EXPECT_STREQ(l2.className(), "Axon");
  EXPECT_STREQ(base.className(), "Axon");
  EXPECT_TRUE(l2.isKindOf("Criterion"));
  EXPECT_TRUE(l2.isKindOf("Axon"));
  EXPECT_TRUE(l2.isKindOf("Engine"));
  EXPECT_FALSE(l2.isKindOf("L2Criterion"));
  EXPECT_STREQ(l2.performName(), "performCriterion");
}

TEST(CriterionCostTest, HalfAgainstOneAddsAnEighthAndLeavesHalfAsTheError) {
  CriterionBench bench(1);
  bench.criterion.setCostAccess(&bench.cost);
  const double* frame = bench.criterion.currentFrame();
  bench.present({1.0}, {0.5});
  EXPECT_EQ(bench.criterion.costSum, 0.125);
  EXPECT_EQ(bench.criterion.exemplarCount, 1);
  EXPECT_EQ(bench.criterion.errorBuffer[0], 0.5);
  EXPECT_EQ(frame[0], 0.5);  // the fired frame holds the error signal
  EXPECT_EQ(bench.criterion.computeCost(1, 1), 0.125);
  ASSERT_EQ(bench.cost.records.size(), 1u);
  EXPECT_EQ(bench.cost.records[0], (std::vector<double>{0.125}));
  EXPECT_EQ(bench.criterion.costSum, 0.0);
  EXPECT_EQ(bench.criterion.exemplarCount, 0);
}

TEST(CriterionCostTest, PeriodCostIsTheMeanOverOutputsAndExemplars) {
  CriterionBench bench(3);
  bench.criterion.setCostAccess(&bench.cost);
  const std::vector<std::vector<double>> d = {{0.3, -0.7, 0.1}, {0.9, 0.2, -0.4}};
  const std::vector<std::vector<double>> y = {{0.25, -0.5, 0.6}, {-0.1, 0.15, -0.35}};
  double expectedSum = 0.0;
  for (size_t e = 0; e < d.size(); ++e) {
    bench.present(d[e], y[e]);
    double c = 0.0;
    for (size_t i = 0; i < 3; ++i) c += 0.5 * (d[e][i] - y[e][i]) * (d[e][i] - y[e][i]);
    expectedSum += c;
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(bench.criterion.errorBuffer[i], d[e][i] - y[e][i]);
  }
  EXPECT_EQ(bench.criterion.costSum, expectedSum);
  EXPECT_EQ(bench.criterion.computeCost(1, 0), expectedSum / 6);
  // Without reset the raw sum stays and is what the cost access wrote.
  EXPECT_EQ(bench.criterion.costSum, expectedSum);
  EXPECT_EQ(bench.cost.records.at(0)[0], expectedSum);
  EXPECT_EQ(bench.criterion.exemplarCount, 2);
}

TEST(CriterionCostTest, WithoutAccessesTheErrorIsFormedButNothingIsCounted) {
  CriterionBench bench(2);
  bench.present({0.5, -0.5}, {0.25, 0.25});
  EXPECT_EQ(bench.criterion.exemplarCount, 0);
  EXPECT_EQ(bench.criterion.costSum, 0.0);
  EXPECT_EQ(bench.criterion.errorBuffer, (std::vector<double>{0.25, -0.75}));

  bench.criterion.stopCheckOn = 1;
  bench.present({0.5, -0.5}, {0.25, 0.25});
  EXPECT_EQ(bench.criterion.exemplarCount, 1);
  EXPECT_EQ(bench.criterion.costSum, 0.5 * (0.25 * 0.25) + 0.5 * (0.75 * 0.75));
}

TEST(CriterionCostTest, ExemplarCostIsCappedAtTenToTheTen) {
  CriterionBench bench(1);
  bench.criterion.setCostAccess(&bench.cost);
  bench.present({1e6}, {-1e6});
  EXPECT_EQ(bench.criterion.costSum, 1e10);
  bench.present({1.0}, {0.0});
  EXPECT_EQ(bench.criterion.costSum, 1e10 + 0.5);
}

TEST(CriterionCostTest, NegativePeriodCostBecomesTenToTheTen) {
  CriterionBench bench(2);
  const std::vector<double> factors = {-1.0};
  bench.criterion.exemplarFactors = factors.data();
  bench.criterion.exemplarFactorCount = 1;
  bench.criterion.setCostAccess(&bench.cost);
  bench.present({1.0, 0.0}, {0.0, 0.0});
  EXPECT_EQ(bench.criterion.costSum, -0.5);
  EXPECT_EQ(bench.criterion.computeCost(1, 1), 1e10);
  // The reset sum took the cost before the cap, and 1e10 is no new best.
  EXPECT_EQ(bench.cost.records.at(0)[0], -0.5 / 2);
  EXPECT_EQ(bench.criterion.bestTrainingCost, 1e9);
  EXPECT_EQ(bench.criterion.trainingImproved, 0);
}

TEST(CriterionCostTest, ExemplarFactorsCycleWhileLearningOutsideTestMode) {
  StaticControl control;
  CriterionBench bench(1, 100, &control);
  bench.criterion.stopCheckOn = 1;
  const std::vector<double> factors = {2.0, 0.5, 3.0};
  bench.criterion.exemplarFactors = factors.data();
  bench.criterion.exemplarFactorCount = 3;
  for (int e = 0; e < 4; ++e) bench.present({1.0}, {0.0});
  EXPECT_EQ(bench.criterion.costSum, 0.5 * 2.0 + 0.5 * 0.5 + 0.5 * 3.0 + 0.5 * 2.0);
  EXPECT_EQ(bench.criterion.exemplarFactorIndex, 1);

  control.learning = 0;
  bench.criterion.costSum = 0.0;
  bench.present({1.0}, {0.0});
  EXPECT_EQ(bench.criterion.costSum, 0.5);
  EXPECT_EQ(bench.criterion.exemplarFactorIndex, 1);
}

class WeightDecayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    control.weightDecay = 1;
    control.weightEnergy = 2.9;
    bench.criterion.control = &control;
    bench.criterion.stopCheckOn = 1;
  }

  StaticControl control;
  CriterionBench bench{2};
};

TEST_F(WeightDecayTest, RegularisedCostMixesTheDataCostWithTheMeanSquaredWeight) {
  bench.criterion.trainableWeightCount = 3;
  bench.present({0.5, 0.1}, {-0.25, 0.3});
  const double c = 0.5 * (0.75 * 0.75) + 0.5 * ((0.1 - 0.3) * (0.1 - 0.3));
  // The weighted energy is divided by the count, in that order.
  EXPECT_EQ(bench.criterion.costSum, 0.999 * c + 0.001 * 2.9 / 3);
  EXPECT_NE(0.001 * 2.9 / 3, 0.001 * (2.9 / 3));
}

TEST_F(WeightDecayTest, NoTrainableWeightsLeaveOnlyTheScaledDataCost) {
  bench.present({0.5, 0.1}, {-0.25, 0.3});
  const double c = 0.5 * (0.75 * 0.75) + 0.5 * ((0.1 - 0.3) * (0.1 - 0.3));
  EXPECT_EQ(bench.criterion.costSum, 0.999 * c);
  EXPECT_TRUE(std::isfinite(bench.criterion.costSum));
}

TEST_F(WeightDecayTest, TestModeAndLearningOffUseThePlainCost) {
  bench.criterion.trainableWeightCount = 8;
  const double c = 0.5 * (0.75 * 0.75) + 0.5 * ((0.1 - 0.3) * (0.1 - 0.3));
  control.learning = 0;
  bench.present({0.5, 0.1}, {-0.25, 0.3});
  EXPECT_EQ(bench.criterion.costSum, c);
  control.learning = 1;
  bench.criterion.setTestMode(1);
  bench.present({0.5, 0.1}, {-0.25, 0.3});
  EXPECT_EQ(bench.criterion.costSum, c);
}

TEST(CriterionCostTest, CrossEntropyClampsTheOutputsBeforeTheLogarithms) {
  CriterionBench bench(2);
  bench.criterion.crossEntropy = 1;
  bench.criterion.stopCheckOn = 1;
  bench.present({1.0, 0.0}, {0.8, 1.5});
  const double p = 0.999999999999;
  const double expected = (-1.0 * std::log(0.8) - 0.0 * std::log(1.0 - 0.8)) +
                          (-0.0 * std::log(p) - 1.0 * std::log(1.0 - p));
  EXPECT_EQ(bench.criterion.costSum, 0.0 + expected);
  EXPECT_EQ(bench.criterion.errorBuffer[0], std::fabs(std::log(0.8 / (1.0 - 0.8))) * (1.0 - 0.8));
  EXPECT_EQ(bench.criterion.errorBuffer[1], std::fabs(std::log(p / (1.0 - p))) * (0.0 - p));
}

TEST(CriterionLifecycleTest, AllocationSizesEveryArrayAndRebindsTheAccesses) {
  CriterionBench bench(3);
  bench.attachAll();
  L2Criterion& c = bench.criterion;
  EXPECT_EQ(c.classCount, 3);
  EXPECT_EQ(c.desiredMin, std::vector<double>(3, 0.0));
  EXPECT_EQ(c.desiredMax, std::vector<double>(3, 0.1));
  EXPECT_EQ(c.rocTable.size(), 300u);
  EXPECT_EQ(c.rocCounts.size(), 400u);
  EXPECT_EQ(c.heldRocCounts.size(), 400u);
  EXPECT_EQ(c.confusionCounts.size(), 9u);
  EXPECT_EQ(c.performanceRecord.size(), 6u);
  EXPECT_EQ(bench.feed.length, 3);
  EXPECT_EQ(bench.roc.rows, 100);

  c.rocThresholdCount = 10;
  c.setRows(4);
  EXPECT_EQ(c.classCount, 4);
  EXPECT_EQ(bench.feed.data, c.desired.data());
  EXPECT_EQ(bench.feed.length, 4);
  EXPECT_EQ(bench.confusion.data, c.confusionPercent.data());
  EXPECT_EQ(bench.confusion.rows, 4);
  EXPECT_EQ(bench.confusion.columns, 4);
  EXPECT_EQ(bench.roc.data, c.rocTable.data());
  EXPECT_EQ(bench.roc.rows, 10);
  EXPECT_EQ(bench.performance.data, c.performanceRecord.data());
  EXPECT_EQ(bench.cost.data, &c.costSum);

  c.setRows(1);
  EXPECT_EQ(c.classCount, 2);
  EXPECT_EQ(c.confusionPercent.size(), 4u);
  EXPECT_EQ(bench.confusion.rows, 2);
}

// The confusion counts, their held copy and the percentages are three
// squares of doubles: a length whose three squares exceed physical memory
// (each cell count within 32 bits) ends the process before anything of the
// criterion is sized.
TEST(CriterionLifecycleDeathTest, SquareArraysBeyondPhysicalMemoryEndTheProcess) {
  const int64_t physical = int64_t{sysconf(_SC_PHYS_PAGES)} * sysconf(_SC_PAGESIZE);
  auto length = static_cast<int64_t>(std::sqrt(static_cast<double>(physical) / 24.0));
  while (24 * length * length <= physical) ++length;
  if (length * length > std::numeric_limits<int32_t>::max()) {
    GTEST_SKIP() << "no 32-bit confusion matrix exceeds this machine's memory";
  }
  L2Criterion criterion;
  EXPECT_EXIT(criterion.setRows(static_cast<int>(length)), ::testing::ExitedWithCode(1),
              "^Error: Out of memory\\.\n$");
}

// 2000 outputs, which the record allows: three squares of 32 MB fit under
// the machine's own figure and are sized; release gives their claim back.
TEST(CriterionLifecycleTest, TwoThousandOutputsStillFit) {
  const int64_t before = kq::claimedMemory();
  L2Criterion criterion;
  criterion.setRows(2000);
  EXPECT_EQ(criterion.confusionPercent.size(), 4000000u);
  EXPECT_GE(kq::claimedMemory() - before, 3 * 4000000 * 8);
  criterion.release();
  EXPECT_EQ(kq::claimedMemory(), before);
}

// Every array of the criterion is on the ledger, the desired copy made once
// it is wanted included, and release gives all of it back.
TEST(CriterionLifecycleTest, TheLedgerHoldsExactlyWhatItsArraysHold) {
  const int64_t before = kq::claimedMemory();
  L2Criterion criterion;
  criterion.setRows(3);
  criterion.desiredCopyOn = 1;
  criterion.resizeDesiredCopy();
  const L2Criterion& c = criterion;
  size_t doubles = static_cast<size_t>(c.ringLength) + c.weights.size() + c.savedWeights.size();
  for (const auto* perOutput :
       {&c.desired, &c.desiredCopy, &c.desiredMin, &c.desiredMax, &c.sumOutputSquares, &c.sumOutput,
        &c.heldSumOutput, &c.sumProduct, &c.sumDesired, &c.sumDesiredSquares, &c.heldSumProduct,
        &c.heldSumDesired, &c.heldSumDesiredSquares, &c.heldSumOutputSquares, &c.correlations,
        &c.errorBuffer}) {
    doubles += perOutput->size();
  }
  for (const auto* table : {&c.rocTable, &c.confusionCounts, &c.heldConfusionCounts,
                            &c.confusionPercent, &c.performanceRecord}) {
    doubles += table->size();
  }
  const size_t ints = c.rocCounts.size() + c.heldRocCounts.size();
  EXPECT_EQ(criterion.desiredCopy.size(), 3u);
  EXPECT_EQ(kq::claimedMemory() - before, static_cast<int64_t>(doubles * 8 + ints * 4));
  criterion.release();
  EXPECT_EQ(kq::claimedMemory(), before);
}

TEST(CriterionLifecycleTest, AccessesAttachedBeforeSizingWaitUnboundAndAreNeverStepped) {
  L2Criterion criterion;
  BlockLog performance;
  BlockLog cost;
  criterion.setPerformanceAccess(&performance);
  criterion.setCostAccess(&cost);
  EXPECT_EQ(performance.data, nullptr);
  EXPECT_EQ(performance.length, 0);
  criterion.fire();
  criterion.computeCost(1, 1);
  criterion.reset();
  EXPECT_TRUE(performance.records.empty());
  EXPECT_EQ(cost.records.size(), 1u);  // the reset steps the scalar cost
  criterion.setRows(2);
  EXPECT_EQ(performance.data, criterion.performanceRecord.data());
  EXPECT_EQ(performance.length, 6);
}

TEST(CriterionLifecycleTest, RegistersAsAxonThenCriterionAndReleaseLeavesBoth) {
  StaticControl control;
  L2Criterion criterion;
  BlockLog performance;
  criterion.control = &control;
  criterion.registerWithControl();
  criterion.setRows(2);
  criterion.setPerformanceAccess(&performance);
  ASSERT_EQ(control.axonList.size(), 1u);
  EXPECT_EQ(control.axonList[0], &criterion);
  ASSERT_EQ(control.criteriaList.size(), 1u);
  EXPECT_EQ(control.criteriaList[0], &criterion);

  const std::vector<double> reference = {0.1, 0.2};
  criterion.setPercentErrorReference(reference.data(), 2);
  criterion.release();
  EXPECT_TRUE(control.axonList.empty());
  EXPECT_TRUE(control.criteriaList.empty());
  EXPECT_TRUE(criterion.desired.empty());
  EXPECT_TRUE(criterion.rocTable.empty());
  EXPECT_TRUE(criterion.performanceRecord.empty());
  EXPECT_EQ(criterion.currentFrame(), nullptr);
  EXPECT_EQ(criterion.percentErrorReference, reference.data());
  EXPECT_EQ(reference[1], 0.2);
  // A released criterion neither computes nor steps its accesses.
  criterion.fire();
  criterion.computeCost(1, 1);
  EXPECT_TRUE(performance.records.empty());
}

TEST(CriterionLifecycleTest, StepForwardClearsTheDesiredRecord) {
  CriterionBench bench(2);
  bench.present({0.4, 0.6}, {0.0, 0.0});
  EXPECT_EQ(bench.criterion.desired, (std::vector<double>{0.0, 0.0}));
  bench.criterion.desired = {1.0, 2.0};
  bench.criterion.stepForward();
  EXPECT_EQ(bench.criterion.desired, (std::vector<double>{0.0, 0.0}));
}

TEST(CriterionLifecycleTest, DesiredCopyIsTakenOnlyWhenWantedAndOutsideTestMode) {
  CriterionBench bench(2);
  bench.criterion.stopCheckOn = 1;
  bench.criterion.resizeDesiredCopy();
  EXPECT_TRUE(bench.criterion.desiredCopy.empty());
  EXPECT_EQ(bench.criterion.desiredCopyResizePending, 0);
  bench.criterion.bindWeightAccess();
  EXPECT_EQ(bench.criterion.desiredCopyResizePending, 1);
  bench.criterion.desiredCopyOn = 1;
  bench.criterion.resizeDesiredCopy();
  ASSERT_EQ(bench.criterion.desiredCopy.size(), 2u);
  bench.present({0.4, 0.6}, {0.0, 0.0});
  EXPECT_EQ(bench.criterion.desiredCopy, (std::vector<double>{0.4, 0.6}));
  bench.criterion.setTestMode(1);
  bench.present({0.7, 0.8}, {0.0, 0.0});
  EXPECT_EQ(bench.criterion.desiredCopy, (std::vector<double>{0.4, 0.6}));
}

TEST(CriterionLifecycleTest, EpochResetClearsTheHeldCostAndSumsWeightsUnderDecay) {
  StaticControl control;
  BiasAxon target;
  target.setRows(2);
  target.weights = {0.5, -1.5};
  Gradient gradient;
  gradient.forward = &target;
  control.gradientList.push_back(&gradient);
  L2Criterion criterion;
  criterion.control = &control;
  criterion.heldCostSum = 2.0;
  criterion.heldExemplarCount = 4;
  criterion.resetEpoch();
  EXPECT_EQ(criterion.heldCostSum, 0.0);
  EXPECT_EQ(criterion.heldExemplarCount, 0);
  EXPECT_EQ(control.weightEnergy, 0.0);  // no decay: weights not summed

  control.weightDecay = 1;
  control.learningMode = 2;
  criterion.resetEpoch();
  EXPECT_EQ(control.weightEnergy, 0.0);
  control.learningMode = 1;
  criterion.resetEpoch();
  EXPECT_EQ(control.weightEnergy, 0.5 * 0.5 + 1.5 * 1.5);
}

TEST(CriterionPeriodTest, BestCostsAreTrackedAndHeldOnRequest) {
  CriterionBench bench(1);
  bench.criterion.setCostAccess(&bench.cost);
  bench.present({1.0}, {0.0});
  EXPECT_EQ(bench.criterion.computeCost(1, 1), 0.5);
  EXPECT_EQ(bench.criterion.bestTrainingCost, 0.5);
  EXPECT_EQ(bench.criterion.trainingImproved, 1);
  bench.present({1.0}, {-1.0});
  EXPECT_EQ(bench.criterion.computeCost(1, 1), 2.0);
  EXPECT_EQ(bench.criterion.bestTrainingCost, 0.5);

  // A test period after an improvement becomes the best test cost.
  bench.criterion.setTestMode(1);
  bench.present({1.0}, {0.5});
  EXPECT_EQ(bench.criterion.setTestMode(0), 0.125);
  EXPECT_EQ(bench.criterion.bestTestCost, 0.125);
  EXPECT_EQ(bench.criterion.trainingImproved, 0);

  bench.criterion.setFlag();
  bench.present({1.0}, {-1.0});
  EXPECT_EQ(bench.criterion.computeCost(1, 1), 0.5);
  EXPECT_EQ(bench.criterion.trainingCost, 0.5);
  EXPECT_EQ(bench.criterion.testCost, 0.125);
  EXPECT_EQ(bench.cost.records.back()[0], 0.5);  // the held best went out
}

TEST(CriterionPeriodTest, HeldBestCostsApplyEvenWithoutExemplars) {
  CriterionBench bench(1);
  bench.criterion.setCostAccess(&bench.cost);
  bench.criterion.trainingCost = 0.7;
  bench.criterion.bestTrainingCost = 0.4;
  bench.criterion.costSum = 3.0;
  EXPECT_EQ(bench.criterion.computeCost(1, 0), 0.7);
  EXPECT_EQ(bench.criterion.costSum, 3.0);
  bench.criterion.setFlag();
  EXPECT_EQ(bench.criterion.computeCost(1, 1), 0.4);
  EXPECT_EQ(bench.criterion.costSum, 0.0);
  EXPECT_TRUE(bench.cost.records.empty());
}

TEST(CriterionPeriodTest, ResetClearsEverythingAndStepsTheAccessesInOrderWhileFlagged) {
  StaticControl control;
  CriterionBench bench(2, 4, &control);
  std::vector<std::string> order;
  for (auto [log, name] :
       {std::pair{&bench.cost, "cost"}, std::pair{&bench.performance, "performance"},
        std::pair{&bench.roc, "roc"}, std::pair{&bench.confusion, "confusion"}}) {
    log->name = name;
    log->order = &order;
  }
  bench.attachAll();
  bench.criterion.rocLow = -0.9;
  bench.criterion.rocHigh = 0.9;
  bench.present({0.5, -0.5}, {0.1, 0.2});
  bench.criterion.desiredMin = {-0.3, -0.3};
  bench.criterion.trainingCost = 0.2;
  bench.criterion.bestTrainingCost = 0.2;
  bench.criterion.heldExemplarCount = 3;

  bench.criterion.reset();
  EXPECT_EQ(order, (std::vector<std::string>{"cost", "performance", "roc", "confusion"}));
  for (const BlockLog* log : {&bench.cost, &bench.performance, &bench.roc, &bench.confusion}) {
    EXPECT_EQ(log->resetting, (std::vector<int>{1}));
  }
  EXPECT_EQ(kq::resettingFlag, 0);
  EXPECT_EQ(bench.cost.records[0], (std::vector<double>{0.0}));
  EXPECT_EQ(bench.performance.records[0], std::vector<double>(6, 0.0));
  const double t1 = -0.9 + 1.8 / 3;
  const double t2 = t1 + 1.8 / 3;
  EXPECT_EQ(bench.roc.records[0],
            (std::vector<double>{-0.9, 0, 0, t1, 0, 0, t2, 0, 0, t2 + 1.8 / 3, 0, 0}));
  EXPECT_EQ(bench.confusion.records[0], std::vector<double>(4, 0.0));
  EXPECT_EQ(bench.criterion.trainingCost, 0.0);
  EXPECT_EQ(bench.criterion.bestTrainingCost, 1e9);
  EXPECT_EQ(bench.criterion.exemplarCount, 0);
  EXPECT_EQ(bench.criterion.heldExemplarCount, 0);
  EXPECT_EQ(bench.criterion.squaredErrorSum, 0.0);
  EXPECT_EQ(bench.criterion.sumDesired, (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(bench.criterion.desiredMin, (std::vector<double>{0.0, 0.0}));
  for (int32_t count : bench.criterion.rocCounts) EXPECT_EQ(count, 0);

  // With the training flag clear the desired range survives a reset.
  control.trainingFlag = 0;
  bench.criterion.desiredMax = {0.6, 0.7};
  bench.criterion.reset();
  EXPECT_EQ(bench.criterion.desiredMax, (std::vector<double>{0.6, 0.7}));
}

// Counting the trainable weights over the control's gradient list.

// A 2 -> 3 tanh layer, its twins and their two gradients, registered.
struct Trainable {
  Trainable() {
    input.setRows(2);
    layer.setRows(3);
    input.connectOutput(&synapse);
    synapse.connectInput(&input);
    synapse.connectOutput(&layer);
    layer.connectInput(&synapse);
    inputTwin.setDual(&input);
    layerTwin.setDual(&layer);
    synapseTwin.setDual(&synapse);
    synapseTwin.connectInput(&layerTwin);
    synapseTwin.connectOutput(&inputTwin);
    synapse.weights = {1, 2, 3, 4, 5, 6};
    layer.weights = {-1, 0.5, 2};
    synapseGradient.setBackprop(&synapseTwin);
    synapseGradient.forward = &synapse;
    layerGradient.setBackprop(&layerTwin);
    layerGradient.forward = &layer;
    inputGradient.setBackprop(&inputTwin);  // no weights: stays out of the list
    inputGradient.forward = &input;
    for (Gradient* g : {&synapseGradient, &layerGradient, &inputGradient}) {
      g->control = &control;
      g->registerWithControl();
    }
    criterion.setRows(3);
    criterion.control = &control;
  }

  StaticControl control;
  kq::Axon input;
  kq::TanhAxon layer;
  kq::FullSynapse synapse;
  kq::BackAxon inputTwin;
  kq::BackTanhAxon layerTwin;
  kq::BackFullSynapse synapseTwin;
  Gradient synapseGradient;
  Gradient layerGradient;
  Gradient inputGradient;
  kq::L2Criterion criterion;
};

TEST(TrainableWeightsTest, CountsTheForwardWeightsOfEveryListedGradient) {
  Trainable net;
  ASSERT_EQ(net.control.gradientList.size(), 2u);
  net.criterion.countTrainableWeights();
  EXPECT_EQ(net.criterion.trainableWeightCount, 9);
  EXPECT_EQ(net.control.trainableWeightTotal(), 9);
  // Without weight decay the regularisation is left alone.
  EXPECT_EQ(net.control.weightEnergy, 0.0);
  EXPECT_EQ(net.control.regularisationBeta, 0.999);
  EXPECT_EQ(net.criterion.desiredCopyResizePending, 0);
}

TEST(TrainableWeightsTest, WeightDecaySumsTheSquaredWeightsAndDerivesTheDataWeight) {
  Trainable net;
  net.control.weightDecay = 1;
  net.control.regularisationAlpha = 0.25;
  net.criterion.countTrainableWeights();
  EXPECT_EQ(net.control.weightEnergy, 1.0 + 4 + 9 + 16 + 25 + 36 + 1 + 0.25 + 4);
  EXPECT_EQ(net.control.regularisationBeta, 0.75);

  net.control.keepRegularisationBeta = 1;
  net.control.regularisationAlpha = 0.5;
  net.criterion.countTrainableWeights();
  EXPECT_EQ(net.control.regularisationBeta, 0.75);
}

TEST(TrainableWeightsTest, AllocatesTheDesiredCopyWhenItIsWanted) {
  Trainable net;
  net.criterion.desiredCopyOn = 1;
  net.criterion.countTrainableWeights();
  EXPECT_EQ(net.criterion.desiredCopy.size(), 3u);
}

TEST(TrainableWeightsTest, WithoutAControlOrForwardObjectsNothingIsCounted) {
  kq::L2Criterion lone;
  lone.setRows(2);
  lone.trainableWeightCount = 5;
  lone.countTrainableWeights();
  EXPECT_EQ(lone.trainableWeightCount, 0);

  Trainable net;
  net.layerGradient.forward = nullptr;
  net.criterion.countTrainableWeights();
  EXPECT_EQ(net.criterion.trainableWeightCount, 6);
  EXPECT_EQ(net.control.trainableWeightTotal(), 6);
}

}  // namespace

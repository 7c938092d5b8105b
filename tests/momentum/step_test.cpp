#include <kqnet/momentum/step.h>

#include <gtest/gtest.h>

#include <vector>

#include "rule_fixture.h"
#include <kqnet/core/perform.h>

namespace {

using kq::Step;
using V = std::vector<double>;

TEST(StepTest, StepSetBeforeSizingFillsTheArrayAndStepSizeAtFallsBackToEntryZero) {
  Step unsized;
  EXPECT_EQ(&unsized.stepSizeAt(3), &unsized.stepSizeScratch);
  kq::TanhAxon axon;
  kq::BackTanhAxon twin;
  axon.setRows(3);
  twin.setDual(&axon);
  Step rule;
  rule.setStepSize(0.25);
  rule.setBackprop(&twin);
  EXPECT_EQ(rule.stepSizes, V({0.25}));
  EXPECT_EQ(&rule.stepSizeAt(2), &rule.stepSizes[0]);
  rule.setPerWeightStep(1);
  EXPECT_EQ(rule.stepSizes, V(3, 0.25));
  EXPECT_EQ(&rule.stepSizeAt(2), &rule.stepSizes[2]);
  EXPECT_EQ(&rule.stepSizeAt(3), &rule.stepSizes[0]);
  EXPECT_EQ(&rule.stepSizeAt(-1), &rule.stepSizes[0]);
}

TEST(StepTest, BatchDivisorCancelsTheBatchSum) {
  Wired<Step> net(1);
  net.rule.setStepSize(0.1);
  net.rule.divisor = 13217;
  net.update({0.0}, {13217.0});
  EXPECT_EQ(net.axon.weights, V({0.1}));
  EXPECT_EQ(net.twin.weights, V({0.0}));
}

TEST(StepTest, StepsOverSeveralBatchesWithAndWithoutDecay) {
  Wired<Step> net(3);
  net.rule.setStepSize(0.5);
  net.rule.setDivisor(2);
  net.update({1.0, -2.0, 0.0}, {4.0, 1.0, -8.0});  // (0.5 / 2) g = 1, 0.25, -2
  EXPECT_EQ(net.axon.weights, V({2.0, -1.75, -2.0}));
  EXPECT_EQ(net.twin.weights, V(3, 0.0));
  net.update(net.axon.weights, {-4.0, 2.0, 0.5});
  EXPECT_EQ(net.axon.weights, V({1.0, -1.25, -1.875}));

  // Decay uses the weight before the change: w + (t - e w).
  net.rule.setWeightDecayOn(1);
  net.rule.setWeightDecay(0.25);
  net.update({1.0, 2.0, 4.0}, {8.0, -8.0, 0.0});
  EXPECT_EQ(net.axon.weights, V({1.0 + (2.0 - 0.25), 2.0 + (-2.0 - 0.5), 3.0}));

  Wired<Step> plain(1);
  plain.rule.setWeightDecayOn(1);
  plain.update({1.0}, {0.0});
  EXPECT_EQ(plain.axon.weights, V({0.99}));
}

TEST(StepTest, PerWeightStepsApplyToTheirWeightsAndSurviveAReset) {
  Wired<Step> net(3);
  net.rule.setPerWeightStep(1);
  net.rule.stepSizeAt(1) = 0.5;
  net.rule.stepSizeAt(2) = 0.25;
  net.update({0.0, 0.0, 0.0}, {1.0, 1.0, 1.0});
  EXPECT_EQ(net.axon.weights, V({1.0, 0.5, 0.25}));
  net.twin.weights = {1.0, 1.0, 1.0};
  net.rule.resetState();
  EXPECT_EQ(net.rule.stepSizes, V({1.0, 0.5, 0.25}));
  EXPECT_EQ(net.twin.weights, V(3, 0.0));
  net.rule.setPerWeightStep(0);
  net.rule.stepSizeAt(0) = 3.0;
  net.rule.resetState();  // a shared step is refilled
  EXPECT_EQ(net.rule.stepSizes, V({1.0}));
}

TEST(StepTest, EveryGradientBlockIsAppliedInTurnWithTheDecaySplit) {
  Wired<Step> net(2, 2);
  ASSERT_EQ(net.rule.gradientBlockCount(), 2);
  ASSERT_EQ(net.twin.weights.size(), 4u);
  net.rule.setWeightDecayOn(1);
  net.rule.setWeightDecay(0.5);
  net.update({1.0, 2.0}, {1.0, 2.0, 4.0, 8.0});
  // e = 0.25: pass 0 gives 1.75 and 3.5; pass 1 adds 4 - 0.4375 and 8 - 0.875.
  EXPECT_EQ(net.axon.weights, V({5.3125, 10.625}));
  EXPECT_EQ(net.twin.weights, V(4, 0.0));
}

TEST(StepTest, UpdateIsHarmlessUnsizedShortOrReleasedAndDivisorZeroCountsAsOne) {
  kq::TanhAxon axon;
  axon.setRows(2);
  axon.weights = {1.0, 2.0};
  Step unattached;
  unattached.applyUpdate(axon);
  unattached.updateWeights(axon);
  EXPECT_EQ(axon.weights, V({1.0, 2.0}));

  Wired<Step> net(3);
  net.rule.divisor = 0;
  net.twin.setWeightCount(2, 1);  // an accumulator shorter than the target
  net.axon.weights = {0.0, 0.0, 0.0};
  net.twin.weights = {1.0, -2.0};
  net.rule.updateWeights(net.axon);
  EXPECT_EQ(net.axon.weights, V({1.0, -2.0, 0.0}));

  net.rule.release();
  net.rule.setStepSize(0.3);
  net.rule.resetState();
  net.rule.updateWeights(net.axon);
  EXPECT_EQ(net.axon.weights, V({1.0, -2.0, 0.0}));
}

// Only the sizing fills the step sizes, to stepCount entries; a count that
// disagrees is a bookkeeping fault that debug builds stop.
TEST(StepDeathTest, StepSizesOutOfStepWithTheirCountStopADebugBuild) {
  Wired<Step> net(3);
  net.rule.stepCount = 5;
  EXPECT_DEBUG_DEATH(net.rule.setStepSize(0.2), "stepCount");
}

TEST(StepTest, StepObserverSeesTheStepSizesButNotTheUpdate) {
  Wired<Step> net(3);
  CountingAccess observer;
  net.rule.attachStepObserver(&observer);
  EXPECT_EQ(observer.data, net.rule.stepSizes.data());
  net.rule.setStepSize(0.2);
  EXPECT_EQ(observer.transfers, 1);
  net.rule.setPerWeightStep(1);  // rebound to the new array, then the refill notifies
  EXPECT_EQ(observer.transfers, 2);
  EXPECT_EQ(observer.data, net.rule.stepSizes.data());
  EXPECT_EQ(observer.rows, 3);
  EXPECT_EQ(observer.dataSeen, net.rule.stepSizes.data());
  EXPECT_EQ(observer.rowsSeen, 3);
  net.rule.applyUpdate(net.axon);
  EXPECT_EQ(observer.transfers, 2);
}

int createdTotal = -1;
int performedDivisor = 0;
double performedStep = 0.0;
void* createStep(void*, int total, int) {
  createdTotal = total;
  return &createdTotal;
}
void performStep(void*, double* w, int n, double* g, double* s, int, int divisor, int, double) {
  for (int i = 0; i < n; ++i) w[i] += g[i];
  performedDivisor = divisor;
  performedStep = *s;
}

TEST(StepTest, OutsideRuleGetsTheRuleStateAndTheGradientIsCleared) {
  Wired<Step> net(2);
  kq::PerformRecord record;
  record.create = reinterpret_cast<kq::GenericFunction>(&createStep);
  record.perform = reinterpret_cast<kq::GenericFunction>(&performStep);
  net.rule.setPerformRecord(&record);
  EXPECT_EQ(createdTotal, 2);
  net.rule.setStepSize(0.75);
  net.rule.divisor = 13217;
  net.update({1.0, 1.0}, {0.5, 0.25});
  EXPECT_EQ(net.axon.weights, V({1.5, 1.25}));
  EXPECT_EQ(net.twin.weights, V(2, 0.0));
  EXPECT_EQ(performedDivisor, 13217);
  EXPECT_EQ(performedStep, 0.75);
}

double readEntry(kq::Engine&) { return 4.5; }
void writeEntry(kq::Engine& e, double v) { static_cast<Step&>(e).scalarStep = v; }

TEST(StepTest, OwnParametersStartAtIndexZero) {
  Step rule;
  EXPECT_EQ(rule.firstOwnParameterIndex(), 0);
  EXPECT_EQ(rule.ownParameterCount(), 2);
  EXPECT_EQ(rule.getDouble(-1), 0.0);
  EXPECT_EQ(rule.getDouble(0), 0.0);  // no descriptor
  kq::ParameterDescriptor descriptor;
  descriptor.accessorSlot = 1;
  rule.parameters[1] = &descriptor;
  EXPECT_EQ(rule.getDouble(1), 0.0);  // entry not filled
  rule.doubleGetters.entries[1] = &readEntry;
  rule.doubleSetters.entries[1] = &writeEntry;
  EXPECT_EQ(rule.getDouble(1), 4.5);
  rule.setDouble(1, 0.125);
  EXPECT_EQ(rule.scalarStep, 0.125);
  descriptor.accessorSlot = 2;  // past the two entries
  EXPECT_EQ(rule.getDouble(1), 0.0);
}

}  // namespace

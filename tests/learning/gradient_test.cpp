#include <kqnet/learning/gradient.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include <kqnet/axons/axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/control.h>
#include <kqnet/core/perform.h>
#include <kqnet/core/spatial_access.h>
#include <kqnet/synapses/synapse.h>

namespace {

using kq::BackTanhAxon;
using kq::Gradient;
using kq::Soma;
using kq::StaticControl;
using kq::TanhAxon;

class CountingAccess : public kq::SpatialAccess {
 public:
  const char* className() const override { return "CountingAccess"; }
  void transfer() override { ++transfers; }
  int transfers = 0;
};

// A rule that adds the accumulator to the weights and clears it, and
// records which entry point ran.
class AddingRule : public Gradient {
 public:
  void updateWeights(Soma& target) override {
    ++updates;
    for (int i = 0; i < weightCount; ++i) {
      target.weights[static_cast<size_t>(i)] += backprop->weights[static_cast<size_t>(i)];
    }
    resetState();
  }
  void perform(Soma&) override { ++performs; }
  int updates = 0;
  int performs = 0;
};

// The create and destroy calls a gradient makes, with and without datum.
struct InstanceLog {
  int creates = 0;
  int destroys = 0;
  uint64_t lastDatum = 0;
  void* lastDestroyed = nullptr;
};
InstanceLog instanceLog;
int instances[4];

void* createPlain(void* old) {
  ++instanceLog.creates;
  return old == &instances[0] ? &instances[1] : &instances[0];
}
void* createWithDatum(void* old, uint64_t datum) {
  instanceLog.lastDatum = datum;
  return createPlain(old);
}
void destroyPlain(void* instance) {
  ++instanceLog.destroys;
  instanceLog.lastDestroyed = instance;
}
void performNothing() {}

// A tanh layer and its twin, the twin being the backprop object.
struct Layer {
  explicit Layer(int n) {
    axon.setRows(n);
    twin.setDual(&axon);
  }
  TanhAxon axon;
  BackTanhAxon twin;
};

TEST(GradientTest, BaseReportsItsDefaults) {
  Gradient gradient;
  EXPECT_STREQ(gradient.className(), "Gradient");
  EXPECT_TRUE(gradient.isKindOf("Engine"));
  EXPECT_EQ(gradient.performName(), nullptr);
  EXPECT_EQ(gradient.stepSize(), 1.0);
  EXPECT_EQ(gradient.momentum(), 0.5);
  EXPECT_EQ(gradient.spareParameter, 10000.0);
  EXPECT_EQ(gradient.weightCount, 0);
  EXPECT_EQ(gradient.registered, 0u);
  gradient.setSpareParameter(3.0);
  EXPECT_EQ(gradient.spareParameter, 3.0);
  // The setters of the concrete rules do nothing here.
  gradient.setStepSize(0.1);
  gradient.setMomentum(0.9);
  gradient.setWeightDecay(0.2);
  EXPECT_EQ(gradient.stepSize(), 1.0);
  EXPECT_EQ(gradient.momentum(), 0.5);
}

TEST(GradientTest, WeightCountBelowOneCountsAsOne) {
  Gradient gradient;
  gradient.setWeightCount(0);
  EXPECT_EQ(gradient.weightCount, 1);
  gradient.setWeightCount(-5);
  EXPECT_EQ(gradient.weightCount, 1);
  gradient.setWeightCount(7);
  EXPECT_EQ(gradient.weightCount, 7);
}

TEST(GradientTest, SizesItselfToTheBackpropObjectAndRecreatesOnlyOnChange) {
  instanceLog = {};
  kq::PerformRecord record;
  record.create = reinterpret_cast<kq::GenericFunction>(&createPlain);
  record.destroy = reinterpret_cast<kq::GenericFunction>(&destroyPlain);
  record.perform = &performNothing;
  Gradient gradient;
  gradient.setPerformRecord(&record);
  EXPECT_EQ(instanceLog.creates, 1);
  EXPECT_EQ(instanceLog.destroys, 1);
  EXPECT_EQ(instanceLog.lastDestroyed, nullptr);

  gradient.setBackprop(nullptr);
  EXPECT_EQ(gradient.weightCount, 1);
  const int createsBefore = instanceLog.creates;

  // 450 weights: a 9 x 50 synapse's twin.
  kq::Axon a;
  kq::Axon b;
  a.setRows(9);
  b.setRows(50);
  kq::BackFullSynapse twin;
  twin.connectInput(&b);
  twin.connectOutput(&a);
  ASSERT_EQ(twin.weightTotal(), 450);
  void* previous = record.instance;
  gradient.setBackprop(&twin);
  EXPECT_EQ(gradient.weightCount, 450);
  EXPECT_EQ(instanceLog.creates, createsBefore + 1);
  EXPECT_NE(record.instance, previous);
  EXPECT_EQ(instanceLog.lastDestroyed, previous);
  gradient.matchTargetSize();
  EXPECT_EQ(instanceLog.creates, createsBefore + 1);
}

TEST(GradientTest, PerformCallsCarryTheUserDatumWhenSet) {
  instanceLog = {};
  kq::PerformRecord record;
  record.create = reinterpret_cast<kq::GenericFunction>(&createWithDatum);
  Gradient gradient;
  gradient.userDatum = 77;
  gradient.setPerformRecord(&record);
  EXPECT_EQ(instanceLog.lastDatum, 77u);
  EXPECT_EQ(instanceLog.destroys, 0);  // no destroy function installed
}

TEST(GradientTest, JoinsTheControlsListOnlyWithWeightsAndLeavesItOnRelease) {
  StaticControl control;
  Layer layer(3);
  kq::Axon input;
  input.setRows(3);
  kq::BackAxon inputTwin;  // no accumulator
  inputTwin.setDual(&input);

  Gradient empty;
  empty.setBackprop(&inputTwin);
  empty.forward = &input;
  empty.control = &control;
  empty.registerWithControl();
  EXPECT_EQ(empty.registered, 0u);
  EXPECT_TRUE(control.gradientList.empty());

  Gradient full;
  full.setBackprop(&layer.twin);
  full.forward = &layer.axon;
  full.control = &control;
  full.registerWithControl();
  EXPECT_EQ(full.registered, 1u);
  ASSERT_EQ(control.gradientList.size(), 1u);

  empty.release();
  EXPECT_EQ(control.gradientList.size(), 1u);
  full.release();
  EXPECT_TRUE(control.gradientList.empty());
  EXPECT_EQ(full.registered, 1u);
}

TEST(GradientTest, StepSizeAtHandsOutOnePlaceForEveryIndex) {
  Gradient gradient;
  EXPECT_EQ(&gradient.stepSizeAt(0), &gradient.stepSizeAt(12345));
  EXPECT_EQ(&gradient.stepSizeAt(-1), &gradient.stepSizeScratch);
}

TEST(GradientTest, BlockCountFollowsTheErrorColumns) {
  Layer layer(4);
  Gradient gradient;
  EXPECT_EQ(gradient.gradientBlockCount(), 1);
  gradient.setBackprop(&layer.twin);
  EXPECT_EQ(gradient.gradientBlockCount(), 1);  // no forward object yet
  gradient.forward = &layer.axon;
  EXPECT_EQ(gradient.gradientBlockCount(), 1);
  layer.twin.setJacobianColumns(3);
  EXPECT_EQ(gradient.gradientBlockCount(), 3);
  TanhAxon unsized;
  gradient.forward = &unsized;
  EXPECT_EQ(gradient.gradientBlockCount(), 1);
}

TEST(GradientTest, UpdateRunsTheRuleNotifiesAndSanitises) {
  Layer layer(3);
  AddingRule rule;
  rule.setBackprop(&layer.twin);
  rule.forward = &layer.axon;
  CountingAccess observer;
  layer.twin.ownWeightAccess = &observer;
  layer.axon.weights = {1.0, 2.0, 3.0};
  layer.twin.weights = {0.5, std::numeric_limits<double>::infinity(), -1.0};
  rule.applyUpdate(layer.axon);
  EXPECT_EQ(rule.updates, 1);
  EXPECT_EQ(rule.performs, 0);
  EXPECT_EQ(layer.axon.weights, (std::vector<double>{1.5, 0.0, 2.0}));
  EXPECT_EQ(layer.twin.weights, std::vector<double>(3, 0.0));
  EXPECT_EQ(observer.transfers, 2);  // the clearing and the update's notice

  kq::PerformRecord record;
  record.perform = &performNothing;
  rule.setPerformRecord(&record);
  rule.applyUpdate(layer.axon);
  EXPECT_EQ(rule.updates, 1);
  EXPECT_EQ(rule.performs, 1);
}

TEST(GradientTest, UpdateNeedsOnlyTheBackpropObjectAndWorksOnTheTargetItIsHanded) {
  Layer layer(2);
  AddingRule rule;
  rule.applyUpdate(layer.axon);
  rule.resetState();
  EXPECT_EQ(rule.updates, 0);
  // The forward field is not assigned: the rule still updates and the
  // target handed in is still sanitised.
  rule.setBackprop(&layer.twin);
  layer.axon.weights = {std::numeric_limits<double>::quiet_NaN(), 1.0};
  layer.twin.weights = {0.5, 0.25};
  rule.applyUpdate(layer.axon);
  EXPECT_EQ(rule.updates, 1);
  EXPECT_EQ(layer.axon.weights, (std::vector<double>{0.0, 1.25}));
}

TEST(GradientTest, UpdateOfAGradientWithAnEmptyAccumulatorStillSanitisesTheTarget) {
  // The input layer's twin has no weights: the rule stays at weight count
  // 0 and out of the list, yet the program's update still reaches it.
  kq::Axon input;
  input.setRows(2);
  kq::BackAxon twin;
  twin.setDual(&input);
  AddingRule rule;
  rule.setBackprop(&twin);
  ASSERT_EQ(rule.weightCount, 0);
  rule.forward = &input;
  TanhAxon target;
  target.setRows(2);
  target.weights = {std::numeric_limits<double>::infinity(), 3.0};
  rule.applyUpdate(target);
  EXPECT_EQ(rule.updates, 1);
  EXPECT_EQ(target.weights, (std::vector<double>{0.0, 3.0}));
}

TEST(GradientTest, ResetClearsTheWholeAccumulator) {
  Layer layer(3);
  layer.twin.setJacobianColumns(2);
  Gradient gradient;
  gradient.setBackprop(&layer.twin);
  ASSERT_EQ(gradient.weightCount, 6);
  std::fill(layer.twin.weights.begin(), layer.twin.weights.end(), 4.0);
  CountingAccess observer;
  layer.twin.ownWeightAccess = &observer;
  gradient.reset();
  EXPECT_EQ(layer.twin.weights, std::vector<double>(6, 0.0));
  EXPECT_EQ(observer.transfers, 1);
}

}  // namespace

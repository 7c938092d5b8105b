#include <kqnet/backward/back_axon.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include <kqnet/control/control.h>
#include <kqnet/core/random.h>
#include <kqnet/core/spatial_access.h>

namespace {

using kq::Axon;
using kq::BackAxon;
using kq::BackBiasAxon;
using kq::BackLinearAxon;
using kq::BackTanhAxon;
using kq::BiasAxon;
using kq::StaticControl;
using kq::TanhAxon;

// Counts transfers and remembers the last shape it was bound to.
class CountingAccess : public kq::SpatialAccess {
 public:
  const char* className() const override { return "CountingAccess"; }
  void transfer() override { ++transfers; }
  int transfers = 0;
};

// A sized dual and its twin, the twin's error frame and dual activity set.
template <typename Twin>
struct Pair {
  explicit Pair(int n) {
    dual.setRows(n);
    twin.setRows(n);
    twin.setDual(&dual);
  }
  double* error() { return twin.currentFrame(); }
  double* activity() { return dual.currentFrame(); }
  TanhAxon dual;
  Twin twin;
};

TEST(BackAxonTest, ReportsTheAxonWordsAndItsPerformNames) {
  BackAxon plain;
  BackBiasAxon bias;
  BackLinearAxon linear;
  BackTanhAxon tanhTwin;
  EXPECT_STREQ(tanhTwin.className(), "Axon");
  EXPECT_TRUE(tanhTwin.isKindOf("Axon"));
  EXPECT_FALSE(tanhTwin.isKindOf("BackCriteriaControl"));
  EXPECT_EQ(tanhTwin.activationKind(), 4);
  EXPECT_EQ(tanhTwin.slope(), 1.0);
  EXPECT_STREQ(plain.performName(), "performBackAxon");
  EXPECT_STREQ(bias.performName(), "performBackBiasAxon");
  EXPECT_STREQ(linear.performName(), "performBackLinearAxon");
  EXPECT_STREQ(tanhTwin.performName(), "performBackLinearAxon");
  EXPECT_EQ(tanhTwin.firstOwnParameterIndex(), 6);
  EXPECT_EQ(tanhTwin.ownParameterCount(), 1);
  EXPECT_EQ(bias.firstOwnParameterIndex(), 3);
  // Only the linear family keeps a derivative offset.
  tanhTwin.setDerivativeOffset(0.001);
  EXPECT_EQ(tanhTwin.derivativeOffset, 0.001);
  EXPECT_EQ(linear.derivativeOffset, 0.0);
}

TEST(BackAxonTest, WithoutColumnsTakesExactlyTheDualsShape) {
  TanhAxon dual;
  dual.setRows(5);
  dual.setColumns(2);
  BackTanhAxon twin;
  twin.setDual(&dual);
  EXPECT_EQ(twin.length, 10);
  EXPECT_EQ(twin.inputLength, 10);
  EXPECT_EQ(twin.rows, 5);
  EXPECT_EQ(twin.columns, 2);
  EXPECT_EQ(twin.ownCount, 10);
  EXPECT_EQ(twin.weights, std::vector<double>(10, 0.0));

  // A plain twin holds no accumulator.
  BackAxon plain;
  plain.setDual(&dual);
  EXPECT_EQ(plain.length, 10);
  EXPECT_EQ(plain.weightTotal(), 0);
}

TEST(BackAxonTest, ErrorColumnsWidenTheTwinUnlessItCarriesTheCriterionMark) {
  TanhAxon dual;
  dual.setRows(4);
  BackTanhAxon twin;
  twin.setDual(&dual);
  twin.setJacobianColumns(3);
  EXPECT_EQ(twin.length, 12);
  EXPECT_EQ(twin.inputLength, 12);
  EXPECT_EQ(twin.ownCount, 12);
  EXPECT_EQ(twin.rows, 4);

  BackTanhAxon marked;
  marked.setDual(&dual);
  marked.criterionMark = 1;
  marked.setJacobianColumns(3);
  EXPECT_EQ(marked.length, 4);
  EXPECT_EQ(marked.inputLength, 4);

  // Registration clears the columns and brings the twin back to the dual.
  StaticControl control;
  twin.control = &control;
  twin.registerWithControl();
  EXPECT_EQ(twin.jacobianColumns, 0);
  EXPECT_EQ(twin.length, 4);
  ASSERT_EQ(control.axonList.size(), 1u);
}

TEST(BackAxonTest, TanhTwinMultipliesByTheDerivativeWithOffsetAndAccumulates) {
  Pair<BackTanhAxon> pair(1);
  pair.twin.derivativeOffset = 0.001;
  pair.activity()[0] = 0.5;
  pair.error()[0] = 1.0;
  pair.twin.compute();
  EXPECT_EQ(pair.error()[0], 1.0 * 1.0 * (1.0 - 0.5 * 0.5 + 0.001));
  EXPECT_NEAR(pair.error()[0], 0.751, 1e-15);
  EXPECT_EQ(pair.twin.weights[0], pair.error()[0]);

  // The dual's slope scales the derivative.
  pair.dual.beta = 2.0;
  pair.error()[0] = 1.0;
  pair.twin.compute();
  EXPECT_EQ(pair.error()[0], 2.0 * (1.0 - 0.25 + 0.001));
  EXPECT_EQ(pair.twin.weights[0], 0.751 + 2.0 * 0.751);
}

TEST(BackAxonTest, WeightDecayRegularisesEveryContribution) {
  StaticControl control;
  control.weightDecay = 1;
  Pair<BackBiasAxon> pair(2);
  pair.twin.control = &control;
  pair.dual.weights = {2.0, -1.0};
  pair.error()[0] = 1.0;
  pair.error()[1] = 0.5;
  pair.twin.compute();
  EXPECT_EQ(pair.twin.weights[0], 0.999 * 1.0 - 0.001 * 2.0);
  EXPECT_NEAR(pair.twin.weights[0], 0.997, 1e-15);
  EXPECT_EQ(pair.twin.weights[1], 0.999 * 0.5 - 0.001 * -1.0);
  // The bias twin passes the error on unchanged.
  EXPECT_EQ(pair.error()[0], 1.0);
}

TEST(BackAxonTest, PlainAxonDualWithoutWeightsCountsAsZeroWeights) {
  StaticControl control;
  control.weightDecay = 1;
  Axon dual;
  dual.setRows(3);
  BackBiasAxon twin;
  twin.control = &control;
  twin.setDual(&dual);
  for (int i = 0; i < 3; ++i) twin.currentFrame()[i] = 1.0;
  twin.compute();
  EXPECT_EQ(twin.weights, std::vector<double>(3, 0.999));
}

TEST(BackAxonTest, LinearTwinWithoutLearningScalesTheErrorOnceAndAccumulatesNothing) {
  kq::LinearAxon dual;
  dual.setRows(3);
  dual.beta = 3.0;
  BackLinearAxon twin;
  twin.setDual(&dual);
  twin.learningEnabled = 0;
  twin.currentFrame()[0] = 1.0;
  twin.currentFrame()[1] = -2.0;
  twin.currentFrame()[2] = 0.5;
  twin.compute();
  EXPECT_EQ(std::vector<double>(twin.currentFrame(), twin.currentFrame() + 3),
            (std::vector<double>{3.0, -6.0, 1.5}));
  EXPECT_EQ(twin.weights, std::vector<double>(3, 0.0));

  twin.learningEnabled = 1;
  twin.compute();
  EXPECT_EQ(twin.weights, (std::vector<double>{9.0, -18.0, 4.5}));
}

TEST(BackAxonTest, TanhTwinWithoutLearningOnlyPassesTheDerivedError) {
  Pair<BackTanhAxon> pair(2);
  pair.twin.learningEnabled = 0;
  pair.activity()[0] = 0.5;
  pair.activity()[1] = -0.25;
  pair.error()[0] = 2.0;
  pair.error()[1] = 1.0;
  pair.twin.compute();
  EXPECT_EQ(pair.error()[0], 2.0 * (1.0 - 0.25));
  EXPECT_EQ(pair.error()[1], 1.0 - 0.0625);
  EXPECT_EQ(pair.twin.weights, std::vector<double>(2, 0.0));
}

TEST(BackAxonTest, BlocksRestartTheDualsActivityAndWeightsButNotTheAccumulator) {
  StaticControl control;
  control.weightDecay = 1;
  TanhAxon dual;
  dual.setRows(2);
  dual.weights = {0.5, -0.5};
  dual.currentFrame()[0] = 0.5;
  dual.currentFrame()[1] = 0.25;
  BackTanhAxon twin;
  twin.control = &control;
  twin.setDual(&dual);
  twin.setJacobianColumns(2);
  ASSERT_EQ(twin.length, 4);
  const std::vector<double> e{1.0, 2.0, 3.0, 4.0};
  std::copy(e.begin(), e.end(), twin.currentFrame());
  twin.compute();
  const double y[2] = {0.5, 0.25};
  const double w[2] = {0.5, -0.5};
  for (int i = 0; i < 4; ++i) {
    const int l = i % 2;
    const double derived = e[static_cast<size_t>(i)] * 1.0 * (1.0 - y[l] * y[l] + 0.0);
    EXPECT_EQ(twin.currentFrame()[i], derived) << i;
    EXPECT_EQ(twin.weights[static_cast<size_t>(i)], 0.999 * derived - 0.001 * w[l]) << i;
  }
}

TEST(BackAxonTest, ExemplarFactorsScaleTheTermsAndCycle) {
  const double factors[2] = {2.0, 3.0};
  Pair<BackTanhAxon> pair(1);
  pair.twin.exemplarFactors = factors;
  pair.twin.exemplarFactorCount = 2;
  pair.activity()[0] = 0.0;
  double expected = 0.0;
  for (int pass = 0; pass < 3; ++pass) {
    pair.error()[0] = 1.0;
    pair.twin.compute();
    // The error passed on is not scaled; the term is.
    EXPECT_EQ(pair.error()[0], 1.0);
    expected += 1.0 * factors[pass % 2];
    EXPECT_EQ(pair.twin.weights[0], expected);
  }
  EXPECT_EQ(pair.twin.exemplarFactorIndex, 1);

  // The linear twin scales the error itself.
  const double factor[1] = {4.0};
  Pair<BackLinearAxon> linear(1);
  linear.twin.exemplarFactors = factor;
  linear.twin.exemplarFactorCount = 1;
  linear.dual.beta = 0.5;
  linear.error()[0] = 3.0;
  linear.twin.compute();
  EXPECT_EQ(linear.error()[0], 3.0 * 0.5 * 4.0);
  EXPECT_EQ(linear.twin.weights[0], 6.0);
  EXPECT_EQ(linear.twin.exemplarFactorIndex, 0);
}

TEST(BackAxonTest, RandomizingDrawsAsAnySomaButLeavesTheAccumulatorAtZero) {
  Pair<BackTanhAxon> pair(4);
  pair.twin.weights = {1.0, 2.0, 3.0, 4.0};
  std::srand(21);
  pair.twin.randomizeWeights();
  const int next = kq::randomDraw();
  EXPECT_EQ(pair.twin.weights, std::vector<double>(4, 0.0));
  std::srand(21);
  for (int i = 0; i < 4; ++i) kq::randomDraw();
  EXPECT_EQ(kq::randomDraw(), next);
}

TEST(BackAxonTest, DualFrameStepsBackForThePassAndIsRestoredAfterIt) {
  TanhAxon dual;
  dual.setRows(2);
  dual.setDelay(2);
  BackTanhAxon twin;
  twin.setRows(2);
  twin.setDual(&dual);
  dual.stepForward();
  const int64_t before = dual.currentFrameOffset();
  ASSERT_EQ(before, 2);
  twin.stepDualFrameBack();
  EXPECT_EQ(dual.currentFrameOffset(), 0);
  twin.fire();  // computes, then steps itself and the dual once more
  EXPECT_EQ(dual.currentFrameOffset(), 4);
  twin.restoreDualFramePosition();
  EXPECT_EQ(dual.currentFrameOffset(), before);
  EXPECT_EQ(dual.savedOffset, -1);
}

TEST(BackAxonTest, SteppingLeavesTheDualAloneWithoutLearning) {
  Pair<BackTanhAxon> pair(2);
  pair.twin.learningEnabled = 0;
  pair.twin.stepForward();
  EXPECT_EQ(pair.dual.currentFrameOffset(), 0);
  EXPECT_EQ(pair.twin.currentFrameOffset(), 2);
  pair.twin.learningEnabled = 1;
  pair.twin.stepForward();
  EXPECT_EQ(pair.dual.currentFrameOffset(), 2);
}

TEST(BackAxonTest, WithoutADualOrWithAnEmptyOneNothingIsComputed) {
  BackTanhAxon lone;
  lone.setRows(2);
  lone.currentFrame()[0] = 1.0;
  lone.compute();
  lone.stepDualFrameBack();
  lone.restoreDualFramePosition();
  lone.stepForward();
  EXPECT_EQ(lone.weights, std::vector<double>(2, 0.0));

  // An unsized dual has length 0, the divisor of the block count.
  TanhAxon empty;
  BackTanhAxon twin;
  twin.setDual(&empty);
  EXPECT_EQ(twin.length, 1);
  twin.currentFrame()[0] = 1.0;
  twin.compute();
  EXPECT_EQ(twin.currentFrame()[0], 1.0);
  EXPECT_EQ(twin.weights[0], 0.0);
}

TEST(BackAxonTest, ObserversSeeTheDualsShapeAndTheGradientAfterEachFiring) {
  Pair<BackTanhAxon> pair(3);
  CountingAccess activity;
  pair.twin.setOutputAccess(&activity);
  EXPECT_EQ(activity.rows, 3);
  EXPECT_EQ(activity.columns, 1);
  pair.twin.setJacobianColumns(2);
  EXPECT_EQ(activity.columns, 2);
  pair.twin.criterionMark = 1;
  pair.twin.bindActivityAccess();
  EXPECT_EQ(activity.columns, 1);

  // Without a dual its own shape stands in, still widened by the columns.
  BackTanhAxon lone;
  lone.setRows(3);
  CountingAccess loneActivity;
  lone.setOutputAccess(&loneActivity);
  EXPECT_EQ(loneActivity.rows, 3);
  EXPECT_EQ(loneActivity.columns, 1);
  lone.setJacobianColumns(2);
  EXPECT_EQ(loneActivity.rows, 3);
  EXPECT_EQ(loneActivity.columns, 2);

  CountingAccess gradient;
  pair.twin.ownWeightAccess = &gradient;
  pair.twin.fire();
  EXPECT_EQ(gradient.transfers, 1);
  pair.twin.randomizeWeights();
  EXPECT_EQ(gradient.transfers, 3);  // the Soma draw and the clearing
}

}  // namespace

#include <kqnet/backward/back_synapse.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "../synapses/network_helpers.h"
#include <kqnet/axons/axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/control/control.h>

namespace {

using kq::Axon;
using kq::BackAxon;
using kq::BackFullSynapse;
using kq::BackSynapse;
using kq::FullSynapse;
using kq::StaticControl;

// A forward full synapse from nIn to nOut elements and its twin between
// the two backward axons, wired the way the programs wire them.
struct Link {
  Link(int nIn, int nOut) {
    a.setRows(nIn);
    b.setRows(nOut);
    a.connectOutput(&s);
    s.connectInput(&a);
    s.connectOutput(&b);
    b.connectInput(&s);
    aTwin.setRows(nIn);
    bTwin.setRows(nOut);
    aTwin.setDual(&a);
    bTwin.setDual(&b);
    twin.setDual(&s);
    twin.connectInput(&bTwin);
    twin.connectOutput(&aTwin);
    aTwin.connectInput(&twin);
    bTwin.connectOutput(&twin);
  }
  // The forward input the dual reads, the error the twin reads, the
  // output error it writes.
  double* x() { return s.currentFrame(); }
  double* delta() { return twin.currentFrame(); }
  double* u() { return aTwin.currentFrame(); }

  Axon a;
  Axon b;
  FullSynapse s;
  BackAxon aTwin;
  BackAxon bTwin;
  BackFullSynapse twin;
};

TEST(BackSynapseTest, ReportsItsWordsAndKind) {
  BackSynapse plain;
  BackFullSynapse full;
  EXPECT_STREQ(plain.className(), "BackSynapse");
  EXPECT_STREQ(full.className(), "BackFullSynapse");
  EXPECT_STREQ(plain.performName(), "performBackSynapse");
  EXPECT_STREQ(full.performName(), "performBackFullSynapse");
  EXPECT_TRUE(full.isSynapse());
  EXPECT_TRUE(full.isBackSynapse());
  EXPECT_TRUE(full.isKindOf("Synapse"));
  EXPECT_EQ(full.firstOwnParameterIndex(), 3);
  EXPECT_EQ(full.delay, 0);
}

TEST(BackSynapseTest, PassesTheErrorThroughTheTransposedMatrixAndAccumulates) {
  Link link(3, 2);
  link.s.weights = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(link.twin.weights.size(), 6u);
  link.delta()[0] = 1.0;
  link.delta()[1] = -1.0;
  link.x()[0] = 1.0;
  link.x()[1] = 0.0;
  link.x()[2] = 2.0;
  link.twin.compute();
  EXPECT_EQ(std::vector<double>(link.u(), link.u() + 3), (std::vector<double>{-3, -3, -3}));
  EXPECT_EQ(link.twin.weights, (std::vector<double>{1, 0, 2, -1, 0, -2}));

  // A second pass adds onto both.
  link.twin.compute();
  EXPECT_EQ(std::vector<double>(link.u(), link.u() + 3), (std::vector<double>{-6, -6, -6}));
  EXPECT_EQ(link.twin.weights, (std::vector<double>{2, 0, 4, -2, 0, -4}));
}

TEST(BackSynapseTest, WeightDecayRegularisesEachWeightsTerm) {
  StaticControl control;
  control.weightDecay = 1;
  control.regularisationBeta = 0.75;
  control.regularisationAlpha = 0.25;
  Link link(2, 1);
  link.twin.control = &control;
  link.s.weights = {2.0, -4.0};
  link.delta()[0] = 2.0;
  link.x()[0] = 0.5;
  link.x()[1] = 1.0;
  link.twin.compute();
  EXPECT_EQ(link.twin.weights,
            (std::vector<double>{0.75 * 1.0 - 0.25 * 2.0, 0.75 * 2.0 + 0.25 * 4.0}));
}

TEST(BackSynapseTest, WithoutLearningOnlyTheErrorPasses) {
  Link link(2, 2);
  link.s.weights = {1, 2, 3, 4};
  link.twin.learningEnabled = 0;
  link.delta()[0] = 1.0;
  link.delta()[1] = 1.0;
  link.x()[0] = 1.0;
  link.twin.compute();
  EXPECT_EQ(std::vector<double>(link.u(), link.u() + 2), (std::vector<double>{4, 6}));
  EXPECT_EQ(link.twin.weights, std::vector<double>(4, 0.0));
  const int64_t dualFrame = link.s.currentFrameOffset();
  link.twin.stepForward();
  EXPECT_EQ(link.s.currentFrameOffset(), dualFrame);
}

TEST(BackSynapseTest, GroupedRowsKeepEverySumInTheWrittenOrder) {
  std::mt19937_64 generator(31);
  for (int decay = 0; decay < 2; ++decay) {
    StaticControl control;
    control.weightDecay = decay;
    Link link(7, 13);
    link.twin.control = &control;
    kqtest::fillRandom(link.s.weights, generator, -1.0, 1.0);
    std::vector<double> delta(13), x(7), u(7);
    kqtest::fillRandom(delta, generator, -1.0, 1.0);
    kqtest::fillRandom(x, generator, -1.0, 1.0);
    kqtest::fillRandom(u, generator, -1.0, 1.0);
    std::vector<double> g(91);
    kqtest::fillRandom(g, generator, -1.0, 1.0);
    std::copy(delta.begin(), delta.end(), link.delta());
    std::copy(x.begin(), x.end(), link.x());
    std::copy(u.begin(), u.end(), link.u());
    link.twin.weights = g;
    link.twin.compute();
    // One term at a time, per output element in ascending row order.
    for (int j = 0; j < 13; ++j) {
      for (int k = 0; k < 7; ++k) {
        const double w = link.s.weights[static_cast<size_t>(j * 7 + k)];
        u[static_cast<size_t>(k)] += w * delta[static_cast<size_t>(j)];
        double& gjk = g[static_cast<size_t>(j * 7 + k)];
        const double t = delta[static_cast<size_t>(j)] * x[static_cast<size_t>(k)];
        if (decay != 0) {
          gjk += 0.999 * t - 0.001 * w;
        } else {
          gjk += t;
        }
      }
    }
    EXPECT_EQ(std::vector<double>(link.u(), link.u() + 7), u) << "decay " << decay;
    EXPECT_EQ(link.twin.weights, g) << "decay " << decay;
  }
}

TEST(BackSynapseTest, EachErrorBlockUsesItsOwnMatrixAndOutputBlock) {
  Link link(2, 2);
  link.aTwin.setJacobianColumns(2);
  link.bTwin.setJacobianColumns(2);
  link.twin.reconnect();
  ASSERT_EQ(link.twin.inputLength, 4);
  ASSERT_EQ(link.twin.length, 4);
  ASSERT_GE(link.twin.weights.size(), 8u);
  link.s.weights = {1, 2, 3, 4};
  const double delta[4] = {1.0, 0.0, 0.0, 2.0};
  std::copy(delta, delta + 4, link.delta());
  link.x()[0] = 1.0;
  link.x()[1] = -1.0;
  link.twin.compute();
  // Block 0: error (1, 0); block 1: error (0, 2).
  EXPECT_EQ(std::vector<double>(link.u(), link.u() + 4), (std::vector<double>{1, 2, 6, 8}));
  EXPECT_EQ(std::vector<double>(link.twin.weights.begin(), link.twin.weights.begin() + 8),
            (std::vector<double>{1, -1, 0, 0, 0, 0, 2, -2}));
}

TEST(BackSynapseTest, ColumnShapeWritesOneErrorColumnPerOutputAndSkipsColumnsOutOfRange) {
  // Two outputs, two columns: output j writes block j and row j of matrix j.
  Link link(2, 2);
  link.aTwin.setJacobianColumns(2);
  link.twin.setJacobianColumns(2);
  link.twin.reconnect();
  ASSERT_EQ(link.twin.inputLength, 2);
  link.s.weights = {1, 2, 3, 4};
  link.delta()[0] = 1.0;
  link.delta()[1] = -1.0;
  link.x()[0] = 2.0;
  link.x()[1] = 3.0;
  link.twin.compute();
  EXPECT_EQ(std::vector<double>(link.u(), link.u() + 4), (std::vector<double>{1, 2, -3, -4}));
  std::vector<double> expected(link.twin.weights.size(), 0.0);
  expected[0] = 2.0;
  expected[1] = 3.0;
  expected[4 + 2] = -2.0;
  expected[4 + 3] = -3.0;
  EXPECT_EQ(link.twin.weights, expected);

  // Three outputs but room for two columns: the third is skipped.
  Link wide(2, 3);
  wide.aTwin.setJacobianColumns(2);
  wide.twin.setJacobianColumns(2);
  wide.twin.reconnect();
  wide.s.weights = {1, 1, 1, 1, 1, 1};
  for (int j = 0; j < 3; ++j) wide.delta()[j] = 1.0;
  wide.x()[0] = 1.0;
  wide.twin.compute();
  EXPECT_EQ(std::vector<double>(wide.u(), wide.u() + 4), (std::vector<double>{1, 1, 1, 1}));
}

TEST(BackSynapseTest, ABlockOutsideTheOutputFrameIsSkipped) {
  Link link(2, 1);
  link.s.weights = {1, 1};
  link.twin.jacobianColumnBase = 1;  // the only block would start past the frame
  link.delta()[0] = 1.0;
  link.x()[0] = 1.0;
  link.twin.compute();
  EXPECT_EQ(std::vector<double>(link.u(), link.u() + 2), (std::vector<double>{0, 0}));
  EXPECT_EQ(link.twin.weights, (std::vector<double>{0, 0}));
}

TEST(BackSynapseTest, WithoutADualOrWithAnEmptyOneNothingHappens) {
  Link link(2, 2);
  BackFullSynapse lone;
  lone.connectInput(&link.bTwin);
  lone.connectOutput(&link.aTwin);
  link.delta()[0] = 1.0;
  lone.compute();
  lone.stepDualFrameBack();
  lone.restoreDualFramePosition();
  EXPECT_EQ(link.u()[0], 0.0);

  FullSynapse empty;
  lone.setDual(&empty);
  lone.compute();
  EXPECT_EQ(link.u()[0], 0.0);
}

TEST(BackSynapseTest, ExemplarFactorsScaleTheTermsButNeverTheError) {
  const double factors[2] = {2.0, 0.5};
  Link link(1, 1);
  link.s.weights = {3.0};
  link.twin.exemplarFactors = factors;
  link.twin.exemplarFactorCount = 2;
  link.delta()[0] = 1.0;
  link.x()[0] = 4.0;
  link.twin.compute();
  EXPECT_EQ(link.u()[0], 3.0);
  EXPECT_EQ(link.twin.weights[0], 8.0);
  EXPECT_EQ(link.twin.exemplarFactorIndex, 1);
  link.twin.compute();
  EXPECT_EQ(link.twin.weights[0], 10.0);
  EXPECT_EQ(link.twin.exemplarFactorIndex, 0);
}

TEST(BackSynapseTest, TakingADelayedDualMakesTheTwinABackwardRoot) {
  Axon context;
  Axon hidden;
  context.setRows(2);
  hidden.setRows(3);
  FullSynapse contextSynapse;
  contextSynapse.setDelay(1);
  contextSynapse.connectInput(&context);
  contextSynapse.connectOutput(&hidden);
  BackAxon contextTwin;
  BackAxon hiddenTwin;
  contextTwin.setDual(&context);
  hiddenTwin.setDual(&hidden);
  BackFullSynapse twin;
  hiddenTwin.connectOutput(&twin);
  twin.connectInput(&hiddenTwin);
  twin.connectOutput(&contextTwin);
  ASSERT_EQ(hiddenTwin.firingCount(), 1);
  twin.setDual(&contextSynapse);
  EXPECT_EQ(twin.delay, 1);
  EXPECT_EQ(hiddenTwin.firingCount(), 0);
  EXPECT_EQ(hiddenTwin.allOutputsCount(), 1);
  EXPECT_EQ(hiddenTwin.delay, 2);  // the ring keeps one frame more than the reader needs
}

TEST(BackSynapseTest, RandomizingLeavesTheAccumulatorAtZero) {
  Link link(3, 2);
  std::fill(link.twin.weights.begin(), link.twin.weights.end(), 5.0);
  link.twin.randomizeWeights();
  EXPECT_EQ(link.twin.weights, std::vector<double>(6, 0.0));
}

TEST(BackSynapseTest, FiringStepsTheDualBackAndTheFrameIsRestoredAfterThePass) {
  Link link(2, 2);
  link.a.setDelay(2);
  link.s.reconnect();
  link.s.stepForward();
  const int64_t before = link.s.currentFrameOffset();
  link.twin.stepDualFrameBack();
  const int64_t read = link.s.currentFrameOffset();
  EXPECT_NE(read, before);
  link.twin.fire();
  EXPECT_NE(link.s.currentFrameOffset(), read);
  link.twin.restoreDualFramePosition();
  EXPECT_EQ(link.s.currentFrameOffset(), before);
}

}  // namespace

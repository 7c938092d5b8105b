#include <kqnet/axons/context_axon.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../synapses/network_helpers.h"
#include <kqnet/control/control.h>
#include <kqnet/synapses/synapse.h>

namespace {

using kq::Axon;
using kq::ContextAxon;
using kq::FullSynapse;
using kq::IntegratorAxon;
using kq::Soma;
using kq::StaticControl;
using kq::TanhAxon;
using kqtest::Recorder;
using kqtest::RecordSource;

using Log = std::vector<std::string>;

TEST(ContextAxonTest, ReportsItsWordsAndLinearActivation) {
  ContextAxon context;
  IntegratorAxon integrator;
  EXPECT_STREQ(context.className(), "ContextAxon");
  EXPECT_STREQ(integrator.className(), "IntegratorAxon");
  EXPECT_STREQ(integrator.performName(), "performContextAxon");
  EXPECT_EQ(integrator.activationKind(), 2);
  EXPECT_TRUE(integrator.isKindOf("Axon"));
  EXPECT_EQ(integrator.randomCentre, 0.5);
  EXPECT_EQ(integrator.memoryDelay, 1);
  ASSERT_NE(integrator.memory, nullptr);
}

TEST(ContextAxonTest, SizingWithDelayOneEndsWithThreeFrames) {
  IntegratorAxon axon;
  axon.setRows(4);
  EXPECT_EQ(axon.delay, 2);
  EXPECT_EQ(axon.frameCount(), 3);
  EXPECT_EQ(axon.ownCount, 4);
  // The memory shares the ring one frame behind.
  EXPECT_EQ(axon.memory->ringStart(), axon.ringStart());
  EXPECT_EQ(axon.memory->frameSize, 4);
  EXPECT_EQ(axon.memory->inputLength, 4);
  EXPECT_EQ(axon.memory->currentFrameOffset(), 8);
  EXPECT_EQ(axon.memory->ownsRing, 0);
  EXPECT_EQ(axon.memory->frameSource, &axon);
}

TEST(ContextAxonTest, StartingWeightsAreClampedIntoTheWindow) {
  std::srand(5);
  IntegratorAxon axon;
  axon.setRows(50);
  for (double w : axon.weights) {
    EXPECT_GE(w, 0.01);
    EXPECT_LE(w, 0.99);
  }
  axon.setRandomCentre(0.8);
  axon.setRandomRange(0.0);
  EXPECT_EQ(axon.weights, std::vector<double>(50, 0.8));
}

TEST(ContextAxonTest, SanitizeClampsMemoryWeightsAndClearsNaN) {
  IntegratorAxon axon;
  axon.setRows(6);
  const double inf = std::numeric_limits<double>::infinity();
  axon.weights = {1.5, -0.2, std::nan(""), inf, -inf, 0.4};
  axon.sanitizeWeights();
  EXPECT_EQ(axon.weights, (std::vector<double>{0.99, 0.01, 0.0, 0.99, 0.01, 0.4}));
  // The next allocation clamps again.
  axon.weights[0] = 2.0;
  axon.setDelay(4);
  EXPECT_EQ(axon.weights[0], 0.99);
}

TEST(ContextAxonTest, ComputeBlendsInputWithMemory) {
  IntegratorAxon integrator;
  integrator.setRows(1);
  integrator.weights = {0.8};
  integrator.memory->currentFrame()[0] = 0.5;
  integrator.currentFrame()[0] = 1.0;
  integrator.compute();
  EXPECT_EQ(integrator.currentFrame()[0], 1.0 * ((1.0 - 0.8) * 1.0 + 0.8 * 0.5));
  EXPECT_NEAR(integrator.currentFrame()[0], 0.6, 1e-15);

  ContextAxon context;
  context.setRows(1);
  context.weights = {0.8};
  context.memory->currentFrame()[0] = 0.5;
  context.currentFrame()[0] = 1.0;
  context.compute();
  EXPECT_EQ(context.currentFrame()[0], 1.0 * (1.0 + 0.8 * 0.5));
  EXPECT_NEAR(context.currentFrame()[0], 1.4, 1e-15);

  // The slope scales the whole blend.
  context.beta = 2.0;
  context.currentFrame()[0] = 1.0;
  context.compute();
  EXPECT_EQ(context.currentFrame()[0], 2.0 * (1.0 + 0.8 * 0.5));
}

TEST(ContextAxonTest, FirstExemplarSeesAnEmptyMemoryThenItsOwnActivity) {
  IntegratorAxon axon;
  axon.setRows(2);
  axon.weights = {0.25, 0.75};
  axon.beta = 2.0;
  RecordSource data;
  data.records = {{1.0, 2.0}, {4.0, 8.0}};
  axon.setInputAccess(&data);
  std::vector<double> out(2);
  axon.outputCopy = out.data();
  axon.fire();
  EXPECT_EQ(out, (std::vector<double>{2.0 * (0.75 * 1.0), 2.0 * (0.25 * 2.0)}));
  const std::vector<double> first = out;
  axon.fire();
  EXPECT_EQ(out, (std::vector<double>{2.0 * (0.75 * 4.0 + 0.25 * first[0]),
                                      2.0 * (0.25 * 8.0 + 0.75 * first[1])}));
}

TEST(ContextAxonTest, MemoryKeepsItsDistanceThroughEveryFrameMove) {
  IntegratorAxon axon;
  axon.setRows(2);  // three frames of two
  auto distance = [&axon] {
    const int64_t ring = axon.ringEnd() - axon.ringStart();
    return (axon.currentFrameOffset() - axon.memory->currentFrameOffset() + ring) % ring;
  };
  EXPECT_EQ(distance(), 2);
  for (int i = 0; i < 4; ++i) {
    axon.stepForward();
    EXPECT_EQ(distance(), 2);
  }
  axon.saveFramePosition();
  const int64_t memorySaved = axon.memory->currentFrameOffset();
  const int64_t saved = axon.currentFrameOffset();
  axon.stepBack();
  axon.stepBack();
  EXPECT_EQ(distance(), 2);
  axon.restoreFramePosition();
  EXPECT_EQ(axon.currentFrameOffset(), saved);
  EXPECT_EQ(axon.memory->currentFrameOffset(), memorySaved);
}

TEST(ContextAxonTest, ResetMemoryZeroesTheWholeSharedRing) {
  IntegratorAxon axon;
  axon.setRows(2);
  std::fill(axon.ringStart(), axon.ringEnd(), 3.0);
  axon.resetMemory();
  for (const double* p = axon.ringStart(); p != axon.ringEnd(); ++p) EXPECT_EQ(*p, 0.0);
}

TEST(ContextAxonTest, ReleaseFreesTheMemoryAndLaterCallsLeaveItAlone) {
  StaticControl control;
  IntegratorAxon axon;
  axon.setRows(3);
  axon.control = &control;
  axon.registerWithControl();
  axon.release();
  EXPECT_EQ(axon.memory, nullptr);
  EXPECT_TRUE(control.axonList.empty());
  EXPECT_EQ(axon.ringStart(), nullptr);
  axon.stepForward();
  axon.stepBack();
  axon.saveFramePosition();
  axon.restoreFramePosition();
  axon.resetMemory();
  axon.control = nullptr;
  axon.setRows(5);  // re-allocation works on the axon alone
  EXPECT_EQ(axon.frameCount(), 3);
  axon.currentFrame()[0] = 1.0;
  axon.fire();
  EXPECT_EQ(axon.memory, nullptr);
}

// A small context network wired with the library's own calls in the order a
// program makes them: 8 inputs, an integrator context fed by the input axon,
// and two tanh layers; the context synapse (delay 1) carries the previous
// exemplar's context into the first hidden layer.
class ContextNetworkTest : public ::testing::Test {
 protected:
  static constexpr int kInputs = 8;
  static constexpr int kHidden1 = 6;
  static constexpr int kHidden2 = 5;

  void SetUp() override {
    name(inputAxon, "inputAxon");
    name(hidden1Synapse, "hidden1Synapse");
    name(hidden1Axon, "hidden1Axon");
    name(hidden2Synapse, "hidden2Synapse");
    name(hidden2Axon, "hidden2Axon");
    name(contextAxon, "contextAxon");
    name(contextSynapse, "contextSynapse");

    // Sizing, layer by layer, then the context group.
    inputAxon.setRows(kInputs);
    hidden1Axon.setRows(kHidden1);
    hidden1Axon.setDelay(2);
    hidden2Axon.setRows(kHidden2);
    contextAxon.setRows(kInputs);
    contextAxon.setDelay(2);
    contextAxon.setRandomCentre(0.8);
    contextAxon.setRandomRange(0.0);
    contextSynapse.setDelay(1);
    inputAxon.setInputAccess(&source);

    // Topology.
    inputAxon.connectOutput(&hidden1Synapse);
    inputAxon.connectOutput(&contextAxon);
    hidden1Synapse.connectInput(&inputAxon);
    hidden1Synapse.connectOutput(&hidden1Axon);
    hidden1Axon.connectInput(&hidden1Synapse);
    hidden1Axon.connectInput(&contextSynapse);
    hidden1Axon.connectOutput(&hidden2Synapse);
    hidden2Synapse.connectInput(&hidden1Axon);
    hidden2Synapse.connectOutput(&hidden2Axon);
    hidden2Axon.connectInput(&hidden2Synapse);
    contextAxon.connectInput(&inputAxon);
    contextAxon.connectOutput(&contextSynapse);
    contextSynapse.connectInput(&contextAxon);
    contextSynapse.connectOutput(&hidden1Axon);

    // Registration in object order, then the roots.
    for (Soma* object : objectOrder()) {
      object->control = &control;
      object->registerWithControl();
    }
    control.clearRoots();
    control.addRoot(&contextSynapse, 1);
    control.addRoot(&inputAxon, 0);
    control.numberDepths();
  }

  std::vector<Soma*> objectOrder() {
    return {&inputAxon,   &hidden1Synapse, &hidden1Axon,   &hidden2Synapse,
            &hidden2Axon, &contextAxon,    &contextSynapse};
  }

  template <typename T>
  void name(T& object, const char* key) {
    object.name = key;
    object.log = &log;
  }

  // Trained values, as a weight file would supply them.
  void loadValues(std::mt19937_64& generator) {
    kqtest::fillRandom(hidden1Synapse.weights, generator, -1.0, 1.0);
    kqtest::fillRandom(hidden2Synapse.weights, generator, -1.0, 1.0);
    kqtest::fillRandom(contextSynapse.weights, generator, -1.0, 1.0);
    kqtest::fillRandom(hidden1Axon.weights, generator, -0.5, 0.5);
    kqtest::fillRandom(hidden2Axon.weights, generator, -0.5, 0.5);
    kqtest::fillRandom(contextAxon.weights, generator, 0.01, 0.99);
    hidden1Axon.beta = 1.25;
    contextAxon.beta = 0.75;
  }

  Log log;
  StaticControl control;
  RecordSource source;
  Recorder<Axon> inputAxon;
  Recorder<FullSynapse> hidden1Synapse;
  Recorder<TanhAxon> hidden1Axon;
  Recorder<FullSynapse> hidden2Synapse;
  Recorder<TanhAxon> hidden2Axon;
  Recorder<IntegratorAxon> contextAxon;
  Recorder<FullSynapse> contextSynapse;
};

TEST_F(ContextNetworkTest, WiringFillsListsFramesAndDepths) {
  EXPECT_EQ(control.axonList,
            (std::vector<Soma*>{&inputAxon, &hidden1Axon, &hidden2Axon, &contextAxon}));
  EXPECT_EQ(control.synapseList,
            (std::vector<Soma*>{&hidden1Synapse, &hidden2Synapse, &contextSynapse}));
  EXPECT_EQ(control.roots, (std::vector<Soma*>{&contextSynapse, &inputAxon}));

  EXPECT_EQ(inputAxon.firingList, (std::vector<Soma*>{&hidden1Synapse, &contextAxon}));
  EXPECT_TRUE(contextAxon.firingList.empty());
  EXPECT_EQ(contextAxon.allOutputs, (std::vector<Soma*>{&contextSynapse}));
  EXPECT_EQ(hidden1Axon.fanIn, 2);
  EXPECT_EQ(contextAxon.fanIn, 1);

  EXPECT_EQ(inputAxon.frameCount(), 2);
  EXPECT_EQ(hidden1Axon.frameCount(), 3);
  EXPECT_EQ(hidden2Axon.frameCount(), 2);
  EXPECT_EQ(contextAxon.frameCount(), 3);
  EXPECT_EQ(hidden1Synapse.ownCount, kHidden1 * kInputs);
  EXPECT_EQ(contextSynapse.ownCount, kHidden1 * kInputs);
  EXPECT_EQ(hidden2Synapse.ownCount, kHidden2 * kHidden1);

  EXPECT_EQ(inputAxon.depth, 1);
  EXPECT_EQ(hidden1Synapse.depth, 2);
  EXPECT_EQ(hidden1Axon.depth, 3);
  EXPECT_EQ(hidden2Synapse.depth, 4);
  EXPECT_EQ(hidden2Axon.depth, 5);
  EXPECT_EQ(contextSynapse.depth, 1);
  EXPECT_EQ(contextAxon.depth, 0);
}

TEST_F(ContextNetworkTest, ContextSynapseFiresFirstAndContextAxonBeforeHidden1Synapse) {
  source.records = {std::vector<double>(kInputs, 0.5)};
  control.fireRoots();
  EXPECT_EQ(log, (Log{"contextSynapse.fire", "contextSynapse.compute", "hidden1Axon.fire",
                      "inputAxon.fire", "inputAxon.compute", "contextAxon.fire",
                      "contextAxon.compute", "hidden1Synapse.fire", "hidden1Synapse.compute",
                      "hidden1Axon.fire", "hidden1Axon.compute", "hidden2Synapse.fire",
                      "hidden2Synapse.compute", "hidden2Axon.fire", "hidden2Axon.compute"}));
}

TEST_F(ContextNetworkTest, ActivitiesMatchAPlainReferenceBitForBit) {
  std::mt19937_64 generator(20240611);
  loadValues(generator);
  constexpr int kExemplars = 5;
  source.records = kqtest::randomRecords(kExemplars, kInputs, generator);

  std::vector<double> context(kInputs), hidden1(kHidden1), hidden2(kHidden2);
  contextAxon.outputCopy = context.data();
  hidden1Axon.outputCopy = hidden1.data();
  hidden2Axon.outputCopy = hidden2.data();

  // The reference: every sum starts from 0 (a freshly zeroed frame) and takes
  // its terms one at a time, the context synapse's before hidden1Synapse's.
  const std::vector<double>& wc = contextSynapse.weights;
  const std::vector<double>& w1 = hidden1Synapse.weights;
  const std::vector<double>& w2 = hidden2Synapse.weights;
  const std::vector<double>& m = contextAxon.weights;
  std::vector<double> previousContext(kInputs, 0.0);
  for (int t = 0; t < kExemplars; ++t) {
    const std::vector<double>& x = source.records[static_cast<size_t>(t)];
    std::vector<double> expectContext(kInputs), expect1(kHidden1), expect2(kHidden2);
    for (int i = 0; i < kInputs; ++i) {
      expectContext[i] = contextAxon.beta * ((1.0 - m[i]) * x[i] + m[i] * previousContext[i]);
    }
    for (int j = 0; j < kHidden1; ++j) {
      double sum = 0.0;
      for (int k = 0; k < kInputs; ++k) sum += wc[j * kInputs + k] * previousContext[k];
      for (int k = 0; k < kInputs; ++k) sum += w1[j * kInputs + k] * x[k];
      expect1[j] = std::tanh(hidden1Axon.beta * sum + hidden1Axon.weights[j]);
    }
    for (int j = 0; j < kHidden2; ++j) {
      double sum = 0.0;
      for (int k = 0; k < kHidden1; ++k) sum += w2[j * kHidden1 + k] * expect1[k];
      expect2[j] = std::tanh(1.0 * sum + hidden2Axon.weights[j]);
    }

    control.fireRoots();
    ASSERT_EQ(context, expectContext) << "exemplar " << t;
    ASSERT_EQ(hidden1, expect1) << "exemplar " << t;
    ASSERT_EQ(hidden2, expect2) << "exemplar " << t;
    previousContext = expectContext;
  }
}

TEST_F(ContextNetworkTest, DelayedSynapseReadsTheFrameBehindItsInputAxon) {
  // Before the first exemplar the context synapse points one frame behind
  // the context axon: the frame a memory load would fill, zero until then.
  const int64_t frame = contextAxon.frameSize;
  EXPECT_EQ(contextAxon.currentFrameOffset(), 0);
  EXPECT_EQ(contextSynapse.currentFrameOffset(), 2 * frame);
  EXPECT_EQ(contextSynapse.ringStart(), contextAxon.ringStart());
  source.records = {std::vector<double>(kInputs, 1.0)};
  for (int t = 1; t <= 4; ++t) {
    control.fireRoots();
    const int64_t axonFrame = (t % 3) * frame;
    EXPECT_EQ(contextAxon.currentFrameOffset(), axonFrame);
    EXPECT_EQ(contextSynapse.currentFrameOffset(), (axonFrame + 2 * frame) % (3 * frame));
    EXPECT_EQ(contextAxon.memory->currentFrameOffset(), contextSynapse.currentFrameOffset());
  }
}

TEST_F(ContextNetworkTest, ReleaseEmptiesTheControlsLists) {
  for (Soma* object : objectOrder()) object->release();
  EXPECT_TRUE(control.axonList.empty());
  EXPECT_TRUE(control.synapseList.empty());
  EXPECT_EQ(contextAxon.memory, nullptr);
  EXPECT_EQ(contextSynapse.sourceAxon, nullptr);
  EXPECT_TRUE(hidden1Synapse.weights.empty());
}

}  // namespace

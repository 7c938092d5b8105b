#include <kqnet/backward/back_context_axon.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include "../synapses/network_helpers.h"
#include <kqnet/axons/context_axon.h>
#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/control.h>
#include <kqnet/synapses/synapse.h>

namespace {

using kq::BackContextAxon;
using kq::BackIntegratorAxon;
using kq::ContextAxon;
using kq::IntegratorAxon;
using kq::StaticControl;

// A one-element context dual with memory weight w and slope 1, and its
// twin with error e and memory n.
template <typename Dual, typename Twin>
struct ContextPair {
  ContextPair(double w, double e, double n, double y) {
    dual.setRows(1);
    dual.weights = {w};
    dual.currentFrame()[0] = y;
    twin.setRows(1);
    twin.setDual(&dual);
    twin.currentFrame()[0] = e;
    twin.memory->currentFrame()[0] = n;
  }
  Dual dual;
  Twin twin;
};

TEST(BackContextAxonTest, ReportsItsPerformNameAndTheAxonWord) {
  BackIntegratorAxon twin;
  EXPECT_STREQ(twin.performName(), "performBackContextAxon");
  EXPECT_STREQ(twin.className(), "Axon");
  EXPECT_EQ(twin.activationKind(), 4);
  ASSERT_NE(twin.memory, nullptr);
}

TEST(BackContextAxonTest, AllocationRaisesTheDelayAndAttachesTheMemoryOneFrameBack) {
  IntegratorAxon dual;
  dual.setRows(4);
  BackIntegratorAxon twin;
  twin.setDual(&dual);
  EXPECT_EQ(twin.delay, 2);
  EXPECT_EQ(twin.frameCount(), 3);
  EXPECT_EQ(twin.ownCount, 4);
  EXPECT_EQ(twin.weights, std::vector<double>(4, 0.0));
  EXPECT_EQ(twin.memory->ringStart(), twin.ringStart());
  EXPECT_EQ(twin.memory->currentFrameOffset(), 8);
  EXPECT_EQ(twin.memory->frameSource, &twin);
}

TEST(BackContextAxonTest, IntegratorTwinBlendsErrorAndMemoryAndAccumulates) {
  ContextPair<IntegratorAxon, BackIntegratorAxon> pair(0.8, 1.0, 0.5, 0.3);
  pair.twin.compute();
  EXPECT_EQ(pair.twin.currentFrame()[0], 1.0 * (1.0 * (1.0 - 0.8) + 0.8 * 0.5));
  EXPECT_NEAR(pair.twin.currentFrame()[0], 0.6, 1e-15);
  EXPECT_EQ(pair.twin.weights[0], 0.5 * 1.0 * 0.3);
  EXPECT_NEAR(pair.twin.weights[0], 0.15, 1e-15);
}

TEST(BackContextAxonTest, ContextTwinAddsTheWeightedMemory) {
  ContextPair<ContextAxon, BackContextAxon> pair(0.8, 1.0, 0.5, 0.3);
  pair.dual.beta = 2.0;
  pair.twin.compute();
  EXPECT_EQ(pair.twin.currentFrame()[0], 2.0 * (1.0 + 0.8 * 0.5));
  EXPECT_EQ(pair.twin.weights[0], 0.5 * 2.0 * 0.3);
}

TEST(BackContextAxonTest, WeightDecayAndFactorsApplyToTheMemoryTerm) {
  StaticControl control;
  control.weightDecay = 1;
  const double factors[1] = {2.0};
  ContextPair<IntegratorAxon, BackIntegratorAxon> pair(0.5, 1.0, 0.5, 0.4);
  pair.twin.control = &control;
  pair.twin.exemplarFactors = factors;
  pair.twin.exemplarFactorCount = 1;
  pair.twin.compute();
  EXPECT_EQ(pair.twin.weights[0], 0.999 * (0.5 * 1.0 * 0.4 * 2.0) - 0.001 * 0.5);
  EXPECT_EQ(pair.twin.exemplarFactorIndex, 0);
}

TEST(BackContextAxonTest, FirstStepAfterAllocationReadsAnEmptyMemory) {
  IntegratorAxon dual;
  dual.setRows(2);
  dual.weights = {0.25, 0.75};
  dual.beta = 2.0;
  dual.currentFrame()[0] = 0.5;
  dual.currentFrame()[1] = 0.5;
  BackIntegratorAxon twin;
  twin.setRows(2);
  twin.setDual(&dual);
  twin.currentFrame()[0] = 1.0;
  twin.currentFrame()[1] = 1.0;
  twin.compute();
  EXPECT_EQ(twin.currentFrame()[0], 2.0 * (1.0 * (1.0 - 0.25) + 0.25 * 0.0));
  EXPECT_EQ(twin.currentFrame()[1], 2.0 * (1.0 * (1.0 - 0.75) + 0.75 * 0.0));
  EXPECT_EQ(twin.weights, (std::vector<double>{0.0, 0.0}));
}

TEST(BackContextAxonTest, WithoutLearningOnlyTheErrorChanges) {
  ContextPair<IntegratorAxon, BackIntegratorAxon> pair(0.8, 1.0, 0.5, 0.3);
  pair.twin.learningEnabled = 0;
  pair.twin.compute();
  EXPECT_NEAR(pair.twin.currentFrame()[0], 0.6, 1e-15);
  EXPECT_EQ(pair.twin.weights[0], 0.0);
}

TEST(BackContextAxonTest, SteppingMovesTheDualBackEvenWithoutLearning) {
  IntegratorAxon dual;
  dual.setRows(2);
  BackIntegratorAxon twin;
  twin.setDual(&dual);
  twin.learningEnabled = 0;
  const int64_t dualFrame = dual.currentFrameOffset();
  const int64_t memoryFrame = twin.memory->currentFrameOffset();
  twin.currentFrame()[0] = 7.0;
  twin.stepForward();
  EXPECT_NE(dual.currentFrameOffset(), dualFrame);
  // The memory keeps its distance and now reads the error just left behind.
  EXPECT_NE(twin.memory->currentFrameOffset(), memoryFrame);
  EXPECT_EQ(twin.memory->currentFrame()[0], 7.0);
  EXPECT_EQ(twin.currentFrame()[0], 0.0);
}

TEST(BackContextAxonTest, ReleaseFreesTheMemoryOnceAndLaterCallsAreHarmless) {
  IntegratorAxon dual;
  dual.setRows(2);
  BackIntegratorAxon twin;
  twin.setDual(&dual);
  twin.release();
  EXPECT_EQ(twin.memory, nullptr);
  twin.resetMemory();
  twin.compute();
  twin.release();
  EXPECT_EQ(twin.ringStart(), nullptr);
}

TEST(BackContextAxonTest, ResetMemoryClearsTheWholeRing) {
  IntegratorAxon dual;
  dual.setRows(2);
  BackContextAxon twin;
  twin.setDual(&dual);
  std::fill(twin.ringStart(), twin.ringEnd(), 3.0);
  twin.resetMemory();
  EXPECT_EQ(std::vector<double>(twin.ringStart(), twin.ringEnd()), std::vector<double>(6, 0.0));
}

// The context path as the context programs wire it: the input axon feeds
// the integrator context, whose delayed synapse carries the previous
// exemplar's context into the hidden layer; the backward twins mirror it,
// the context synapse's twin being fired first as a backward root.
template <typename Dual, typename Twin>
struct ContextPath {
  ContextPath() {
    input.setRows(2);
    hidden.setRows(3);
    hidden.setDelay(2);
    hiddenTwin.derivativeOffset = 0.0;
    hiddenTwin.setRows(3);
    hiddenTwin.setDelay(2);
    context.setRows(2);
    context.setDelay(2);
    context.setRandomCentre(0.8);
    context.setRandomRange(0.0);
    contextTwin.setRows(2);
    contextTwin.setDelay(2);
    contextSynapse.setDelay(1);
    contextSynapseTwin.setDelay(1);
    input.setInputAccess(&source);
    hiddenTwin.setDual(&hidden);
    contextTwin.setDual(&context);
    contextSynapseTwin.setDual(&contextSynapse);

    input.connectOutput(&context);
    context.connectInput(&input);
    context.connectOutput(&contextSynapse);
    contextTwin.connectInput(&contextSynapseTwin);
    contextSynapse.connectInput(&context);
    contextSynapse.connectOutput(&hidden);
    hidden.connectInput(&contextSynapse);
    contextSynapseTwin.connectInput(&hiddenTwin);
    contextSynapseTwin.connectOutput(&contextTwin);
    hiddenTwin.connectOutput(&contextSynapseTwin);

    for (kq::Engine* object :
         std::vector<kq::Engine*>{&input, &hidden, &hiddenTwin, &context, &contextTwin,
                                  &contextSynapse, &contextSynapseTwin}) {
      object->control = &control;
      object->registerWithControl();
    }
    control.addRoot(&contextSynapse, 1);
    control.addRoot(&input, 0);
    hidden.outputCopy = hiddenActivity.data();
    context.outputCopy = contextActivity.data();
    contextTwin.outputCopy = contextError.data();
  }

  // One exemplar: forward, then the backward pass with the hidden layer's
  // error given directly (it has no other backward input here).
  void exemplar(const std::vector<double>& hiddenError) {
    control.fireRoots();
    hiddenTwin.stepDualFrameBack();
    contextTwin.stepDualFrameBack();
    contextSynapseTwin.stepDualFrameBack();
    contextSynapseTwin.fire();
    std::copy(hiddenError.begin(), hiddenError.end(), hiddenTwin.currentFrame());
    hiddenTwin.fire();
    hiddenTwin.restoreDualFramePosition();
    contextTwin.restoreDualFramePosition();
    contextSynapseTwin.restoreDualFramePosition();
  }

  StaticControl control;
  kqtest::RecordSource source;
  kq::Axon input;
  kq::TanhAxon hidden;
  kq::BackTanhAxon hiddenTwin;
  Dual context;
  Twin contextTwin;
  kq::FullSynapse contextSynapse;
  kq::BackFullSynapse contextSynapseTwin;
  std::vector<double> hiddenActivity = std::vector<double>(3);
  std::vector<double> contextActivity = std::vector<double>(2);
  std::vector<double> contextError = std::vector<double>(2);
};

TEST(BackContextAxonTest, ContextTwinsReadThePreviousExemplarsFrames) {
  ContextPath<IntegratorAxon, BackIntegratorAxon> path;
  std::mt19937_64 generator(41);
  path.source.records = kqtest::randomRecords(3, 2, generator);
  kqtest::fillRandom(path.contextSynapse.weights, generator, -1.0, 1.0);
  kqtest::fillRandom(path.hidden.weights, generator, -1.0, 1.0);

  // Exemplar 1: the delayed synapses read frames nobody wrote yet.
  const std::vector<double> error1{0.5, -1.0, 2.0};
  path.exemplar(error1);
  const std::vector<double> context1 = path.contextActivity;
  const std::vector<double> contextError1 = path.contextError;
  // The hidden twin's error after its derivative, as the synapse twin will
  // read it one step later.
  std::vector<double> delta1(3);
  for (size_t j = 0; j < 3; ++j) {
    const double y = path.hiddenActivity[j];
    delta1[j] = error1[j] * 1.0 * (1.0 - y * y + 0.0);
  }
  EXPECT_EQ(path.contextSynapseTwin.weights, std::vector<double>(6, 0.0));
  const std::vector<double> g1 = path.contextTwin.weights;

  // Exemplar 2: the synapse twin pairs the hidden error of pass 1 with the
  // context of exemplar 1 and passes it into the context twin, whose memory
  // (its own error of pass 1) is still empty.
  path.exemplar({1.0, 1.0, 1.0});
  for (size_t j = 0; j < 3; ++j) {
    for (size_t k = 0; k < 2; ++k) {
      EXPECT_EQ(path.contextSynapseTwin.weights[j * 2 + k], 0.0 + delta1[j] * context1[k])
          << j << "," << k;
    }
  }
  const std::vector<double> contextError2 = path.contextError;
  for (size_t k = 0; k < 2; ++k) {
    double u = 0.0;
    for (size_t j = 0; j < 3; ++j) u += path.contextSynapse.weights[j * 2 + k] * delta1[j];
    EXPECT_EQ(contextError2[k], 1.0 * (u * (1.0 - 0.8) + 0.8 * contextError1[k])) << k;
    EXPECT_NE(contextError2[k], 0.0);
  }
  EXPECT_EQ(path.contextTwin.weights, g1);

  // Exemplar 3: the context twin's memory now holds its error of pass 2,
  // paired with the context of exemplar 3.
  path.exemplar({1.0, 1.0, 1.0});
  const std::vector<double> context3 = path.contextActivity;
  for (size_t k = 0; k < 2; ++k) {
    EXPECT_EQ(path.contextTwin.weights[k], g1[k] + contextError2[k] * 1.0 * context3[k]) << k;
    EXPECT_NE(path.contextTwin.weights[k], 0.0);
  }
}

// The context path over a sequence of exemplars against a plain
// computation of what the twins define: the synapse twin pairs the hidden
// error of the previous pass with the context it carried then and passes
// that error on; the context twin blends it with its own error of the
// previous pass and pairs that memory with this exemplar's context.
template <typename Dual, typename Twin>
void checkContextSequence(bool integrator, unsigned seed) {
  ContextPath<Dual, Twin> path;
  std::mt19937_64 generator(seed);
  const size_t exemplars = 7;
  path.source.records = kqtest::randomRecords(exemplars, 2, generator);
  kqtest::fillRandom(path.contextSynapse.weights, generator, -1.0, 1.0);
  kqtest::fillRandom(path.hidden.weights, generator, -1.0, 1.0);
  const double contextSlope = 1.3;
  const double hiddenSlope = 0.7;
  const double offset = 0.001;
  path.context.setSlope(contextSlope);
  path.hidden.setSlope(hiddenSlope);
  path.hiddenTwin.derivativeOffset = offset;
  const std::vector<double> w = path.context.weights;         // memory weights, 0.8
  const std::vector<double> W = path.contextSynapse.weights;  // 3 x 2, row per hidden unit
  const std::vector<double> bias = path.hidden.weights;

  std::vector<double> context(2, 0.0);       // context of the previous exemplar
  std::vector<double> hiddenDelta(3, 0.0);   // hidden twin's error of the previous pass
  std::vector<double> contextError(2, 0.0);  // context twin's error of the previous pass
  std::vector<double> synapseGradient(6, 0.0);
  std::vector<double> memoryGradient(2, 0.0);
  for (size_t t = 0; t < exemplars; ++t) {
    const std::vector<double>& x = path.source.records[t];
    std::vector<double> hidden(3);
    for (size_t j = 0; j < 3; ++j) {
      double net = 0.0;
      for (size_t k = 0; k < 2; ++k) net += W[j * 2 + k] * context[k];
      hidden[j] = std::tanh(hiddenSlope * net + bias[j]);
    }
    std::vector<double> contextNow(2);
    for (size_t k = 0; k < 2; ++k) {
      contextNow[k] = integrator ? contextSlope * ((1.0 - w[k]) * x[k] + w[k] * context[k])
                                 : contextSlope * (x[k] + w[k] * context[k]);
    }
    const std::vector<double> hiddenError = kqtest::randomRecords(1, 3, generator)[0];
    std::vector<double> arriving(2, 0.0);
    for (size_t j = 0; j < 3; ++j) {
      for (size_t k = 0; k < 2; ++k) {
        synapseGradient[j * 2 + k] += hiddenDelta[j] * context[k];
        arriving[k] += W[j * 2 + k] * hiddenDelta[j];
      }
    }
    std::vector<double> errorNow(2);
    for (size_t k = 0; k < 2; ++k) {
      const double e = arriving[k];
      const double n = contextError[k];
      errorNow[k] =
          integrator ? contextSlope * (e * (1.0 - w[k]) + w[k] * n) : contextSlope * (e + w[k] * n);
      memoryGradient[k] += n * contextSlope * contextNow[k];
    }
    for (size_t j = 0; j < 3; ++j) {
      hiddenDelta[j] = hiddenError[j] * hiddenSlope * (1.0 - hidden[j] * hidden[j] + offset);
    }
    context = contextNow;
    contextError = errorNow;

    path.exemplar(hiddenError);
    for (size_t j = 0; j < 3; ++j) EXPECT_DOUBLE_EQ(path.hiddenActivity[j], hidden[j]) << t;
    for (size_t k = 0; k < 2; ++k) {
      EXPECT_DOUBLE_EQ(path.contextActivity[k], contextNow[k]) << t;
      EXPECT_DOUBLE_EQ(path.contextError[k], errorNow[k]) << t;
      EXPECT_DOUBLE_EQ(path.contextTwin.weights[k], memoryGradient[k]) << t;
    }
    for (size_t i = 0; i < 6; ++i) {
      EXPECT_DOUBLE_EQ(path.contextSynapseTwin.weights[i], synapseGradient[i]) << t;
    }
  }
  EXPECT_GT(std::fabs(memoryGradient[0]) + std::fabs(synapseGradient[0]), 1e-3);
}

TEST(BackContextAxonTest, IntegratorTwinsFollowThePlainComputationOverASequence) {
  checkContextSequence<IntegratorAxon, BackIntegratorAxon>(true, 43);
}

TEST(BackContextAxonTest, ContextTwinsFollowThePlainComputationOverASequence) {
  checkContextSequence<ContextAxon, BackContextAxon>(false, 44);
}

}  // namespace

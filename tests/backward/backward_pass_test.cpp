// Whole backward passes through small tanh networks: the accumulators
// against central differences of an independent forward computation, the
// sum over exemplars, and the dual frames after each pass.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "backward_network.h"
#include "gradient_check.h"

namespace {

using kqtest::BackwardNetwork;
using kqtest::PlainNetwork;

// Runs the exemplars forward and backward, one after the other, and checks
// the accumulators against the numeric gradient of the summed cost.
void checkAgainstFiniteDifferences(BackwardNetwork& network, size_t exemplars,
                                   std::mt19937_64& generator, const char* what) {
  const int inputs = network.input.length;
  const int outputs = network.criterion.length;
  network.inputs.records = kqtest::randomRecords(exemplars, static_cast<size_t>(inputs), generator);
  network.desired.records =
      kqtest::randomRecords(exemplars, static_cast<size_t>(outputs), generator);
  for (size_t e = 0; e < exemplars; ++e) {
    network.forward();
    network.backward();
  }
  PlainNetwork plain = network.plain();
  plain.setPivots(network.inputs.records);
  const auto cost = [&](const std::vector<double>& p) {
    PlainNetwork copy = plain;
    copy.setParameters(p);
    return copy.cost(network.inputs.records, network.desired.records);
  };
  const std::vector<double> numeric = kqtest::centralDifferences(cost, plain.parameters());
  kqtest::expectNegativeGradient(network.accumulated(), numeric, what);
}

TEST(BackwardPassTest, ChainNetworkAccumulatesTheNegativeGradientOfTheSquaredError) {
  std::mt19937_64 generator(11);
  BackwardNetwork network({3, 5, 4, 2}, {{0, 1}, {1, 2}, {2, 3}});
  network.randomizeForward(generator, 0.9);
  checkAgainstFiniteDifferences(network, 1, generator, "chain network, one exemplar");
}

TEST(BackwardPassTest, SeveralExemplarsSumTheirGradients) {
  std::mt19937_64 generator(12);
  BackwardNetwork network({4, 6, 3}, {{0, 1}, {1, 2}});
  network.randomizeForward(generator, 0.8);
  checkAgainstFiniteDifferences(network, 5, generator, "chain network, five exemplars");
}

TEST(BackwardPassTest, SkipSynapsesGetTheirGradientsAndFeedTheErrorBack) {
  std::mt19937_64 generator(13);
  // Every layer feeds every later layer; the skip links are attached after
  // the chain link, so a source fires its skip synapses first.
  BackwardNetwork network(
      {3, 4, 4, 3, 2},
      {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {0, 2}, {0, 3}, {0, 4}, {1, 3}, {1, 4}, {2, 4}});
  network.randomizeForward(generator, 0.7);
  checkAgainstFiniteDifferences(network, 3, generator, "skip network, three exemplars");
}

TEST(BackwardPassTest, SlopesAndDerivativeOffsetsEnterAsTheTwinsDefineThem) {
  std::mt19937_64 generator(17);
  BackwardNetwork network({3, 4, 3, 2}, {{0, 1}, {1, 2}, {2, 3}});
  network.randomizeForward(generator, 0.8);
  network.layer(1)->setSlope(0.6);
  network.layer(2)->setSlope(1.7);
  network.layer(3)->setSlope(1.3);
  // The programs' offset on the hidden layers; a larger one at the output.
  network.layerTwin(1)->derivativeOffset = 0.001;
  network.layerTwin(2)->derivativeOffset = 0.001;
  network.layerTwin(3)->derivativeOffset = 0.05;
  checkAgainstFiniteDifferences(network, 3, generator, "slopes and derivative offsets");
}

TEST(BackwardPassTest, SecondPassAddsExactlyItsOwnTermsToTheFirst) {
  std::mt19937_64 generator(14);
  BackwardNetwork network({2, 3, 2}, {{0, 1}, {1, 2}});
  network.randomizeForward(generator, 0.8);
  network.inputs.records = kqtest::randomRecords(2, 2, generator);
  network.desired.records = kqtest::randomRecords(2, 2, generator);
  network.forward();
  network.backward();
  const std::vector<double> afterFirst = network.accumulated();

  // The second exemplar alone, in a fresh network with the same weights.
  BackwardNetwork alone({2, 3, 2}, {{0, 1}, {1, 2}});
  for (size_t i = 0; i < 2; ++i) alone.synapses[i]->weights = network.synapses[i]->weights;
  for (size_t l = 1; l <= 2; ++l) alone.layer(l)->weights = network.layer(l)->weights;
  alone.inputs.records = {network.inputs.records[1]};
  alone.desired.records = {network.desired.records[1]};
  alone.forward();
  alone.backward();
  const std::vector<double> second = alone.accumulated();

  network.forward();
  network.backward();
  const std::vector<double> afterBoth = network.accumulated();
  ASSERT_EQ(afterBoth.size(), second.size());
  for (size_t i = 0; i < afterBoth.size(); ++i) {
    EXPECT_EQ(afterBoth[i], afterFirst[i] + second[i]) << "parameter " << i;
  }
}

TEST(BackwardPassTest, DualFramesAreRestoredAfterEveryPass) {
  std::mt19937_64 generator(15);
  BackwardNetwork network({3, 4, 2}, {{0, 1}, {1, 2}, {0, 2}});
  network.randomizeForward(generator, 0.8);
  network.inputs.records = kqtest::randomRecords(4, 3, generator);
  network.desired.records = kqtest::randomRecords(4, 2, generator);
  std::vector<kq::Soma*> forwardObjects{&network.input, &network.criterion};
  for (auto& s : network.synapses) forwardObjects.push_back(s.get());
  for (auto& a : network.layers) forwardObjects.push_back(a.get());
  for (int e = 0; e < 4; ++e) {
    network.forward();
    std::vector<int64_t> before;
    for (kq::Soma* object : forwardObjects) before.push_back(object->currentFrameOffset());
    network.backward();
    for (size_t i = 0; i < forwardObjects.size(); ++i) {
      EXPECT_EQ(forwardObjects[i]->currentFrameOffset(), before[i]) << "object " << i;
      EXPECT_EQ(forwardObjects[i]->savedOffset, -1) << "object " << i;
    }
  }
}

TEST(BackwardPassTest, ErrorReachesTheInputTwinAsTheInputGradient) {
  std::mt19937_64 generator(16);
  BackwardNetwork network({3, 4, 2}, {{0, 1}, {1, 2}, {0, 2}});
  network.randomizeForward(generator, 0.8);
  network.inputs.records = kqtest::randomRecords(1, 3, generator);
  network.desired.records = kqtest::randomRecords(1, 2, generator);
  std::vector<double> inputError(3, 0.0);
  network.inputTwin.outputCopy = inputError.data();
  network.forward();
  network.backward();

  // The input twin computes nothing, so it holds minus the derivative of
  // the cost by each input value.
  PlainNetwork plain = network.plain();
  const auto cost = [&](const std::vector<double>& x) {
    return plain.cost({x}, network.desired.records);
  };
  const std::vector<double> numeric = kqtest::centralDifferences(cost, network.inputs.records[0]);
  kqtest::expectNegativeGradient(inputError, numeric, "input error");
}

}  // namespace

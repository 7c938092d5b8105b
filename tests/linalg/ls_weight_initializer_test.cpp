#include <kqnet/linalg/ls_weight_initializer.h>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using kq::LSWeightInitializer;

// A one-hidden-layer network in the components' layouts, evaluated with the
// same arithmetic as the initialiser's forward pass.
struct TinyNetwork {
  int32_t inputs = 0;
  int32_t hidden = 0;
  int32_t outputs = 0;
  std::vector<double> firstWeights;   // hidden x inputs
  std::vector<double> hiddenBiases;   // hidden
  std::vector<double> secondWeights;  // outputs x hidden
  std::vector<double> outputBiases;   // outputs
  int32_t hiddenKind = 2;
  double hiddenSlope = 1.0;
  int32_t outputKind = 2;
  double outputSlope = 1.0;

  std::vector<double> run(const std::vector<double>& x) const {
    std::vector<double> a(static_cast<size_t>(hidden));
    for (int32_t h = 0; h < hidden; ++h) {
      double sum = 0.0;
      for (int32_t k = 0; k < inputs; ++k)
        sum += firstWeights[static_cast<size_t>(h * inputs + k)] * x[static_cast<size_t>(k)];
      a[static_cast<size_t>(h)] = LSWeightInitializer::activate(
          hiddenKind, hiddenSlope, sum + hiddenBiases[static_cast<size_t>(h)]);
    }
    std::vector<double> y(static_cast<size_t>(outputs));
    for (int32_t o = 0; o < outputs; ++o) {
      double sum = 0.0;
      for (int32_t h = 0; h < hidden; ++h)
        sum += secondWeights[static_cast<size_t>(o * hidden + h)] * a[static_cast<size_t>(h)];
      y[static_cast<size_t>(o)] = LSWeightInitializer::activate(
          outputKind, outputSlope, sum + outputBiases[static_cast<size_t>(o)]);
    }
    return y;
  }
};

// Exemplar tables as row-pointer tables, the form the control hands over.
struct Tables {
  std::vector<std::vector<double>> inputs;
  std::vector<std::vector<double>> desired;
  std::vector<const double*> inputRows;
  std::vector<const double*> desiredRows;

  void index() {
    inputRows.clear();
    desiredRows.clear();
    for (const auto& row : inputs) inputRows.push_back(row.data());
    for (const auto& row : desired) desiredRows.push_back(row.data());
  }
};

Tables sample(const TinyNetwork& generator, int32_t exemplars) {
  Tables t;
  for (int32_t n = 0; n < exemplars; ++n) {
    std::vector<double> x(static_cast<size_t>(generator.inputs));
    for (int32_t k = 0; k < generator.inputs; ++k)
      x[static_cast<size_t>(k)] = std::sin(1.7 * n + 0.9 * k + 0.3);
    t.desired.push_back(generator.run(x));
    t.inputs.push_back(x);
  }
  t.index();
  return t;
}

// Feeds the initialiser through the control's interface and fits in place.
void fitInPlace(TinyNetwork& net, const Tables& t) {
  LSWeightInitializer init(static_cast<int32_t>(t.inputs.size()), net.inputs, net.outputs,
                           net.hidden);
  init.setDesired(t.desiredRows.data());
  init.setInputs(t.inputRows.data());
  init.setFirstWeights(net.firstWeights.data());
  init.setHiddenBiases(net.hiddenBiases.data());
  init.setSecondWeights(net.secondWeights.data());
  init.setOutputBiases(net.outputBiases.data());
  init.setHiddenActivation(net.hiddenKind, net.hiddenSlope);
  init.setOutputActivation(net.outputKind, net.outputSlope);
  init.fit();
}

double largestError(const TinyNetwork& net, const Tables& t) {
  double worst = 0.0;
  for (size_t n = 0; n < t.inputs.size(); ++n) {
    std::vector<double> y = net.run(t.inputs[n]);
    for (size_t o = 0; o < y.size(); ++o)
      worst = std::fmax(worst, std::fabs(y[o] - t.desired[n][o]));
  }
  return worst;
}

TEST(LayerFunctions, FollowTheActivationKindTable) {
  EXPECT_EQ(LSWeightInitializer::activate(0, 2.0, 0.5), std::tanh(1.0));
  EXPECT_EQ(LSWeightInitializer::activate(2, 3.0, 2.0), 6.0);
  EXPECT_EQ(LSWeightInitializer::activate(3, 0.5, 2.0), 2.5);
  EXPECT_EQ(LSWeightInitializer::activate(4, 9.0, 2.0), 2.0);

  EXPECT_EQ(LSWeightInitializer::inverse(0, 2.0, 0.5), 0.25 * std::log(3.0));
  EXPECT_EQ(LSWeightInitializer::inverse(2, 4.0, 2.0), 0.5);
  EXPECT_EQ(LSWeightInitializer::inverse(3, 7.0, 2.0), 2.0);
  EXPECT_EQ(LSWeightInitializer::inverse(4, 7.0, 2.0), 2.0);

  EXPECT_EQ(LSWeightInitializer::derivativeWeight(0, 2.0, 0.0), 2.0);
  EXPECT_EQ(LSWeightInitializer::derivativeWeight(0, 1.0, 0.5),
            1.0 - std::tanh(0.5) * std::tanh(0.5));
  EXPECT_EQ(LSWeightInitializer::derivativeWeight(2, 3.0, 9.0), 3.0);
  EXPECT_EQ(LSWeightInitializer::derivativeWeight(3, 3.0, 9.0), 1.0);
  EXPECT_EQ(LSWeightInitializer::derivativeWeight(4, 3.0, 9.0), 0.0);
}

TEST(LayerFunctions, InverseStaysFiniteForSaturatedValuesAndZeroSlopes) {
  const double top = LSWeightInitializer::inverse(0, 1.0, 1.0);
  EXPECT_TRUE(std::isfinite(top));
  EXPECT_NEAR(top, 18.7, 0.1);
  EXPECT_EQ(LSWeightInitializer::inverse(0, 1.0, 5.0), top);
  EXPECT_EQ(LSWeightInitializer::inverse(0, 1.0, -1.0), -top);
  EXPECT_EQ(LSWeightInitializer::inverse(0, 2.0, 1.0), top / 2.0);
  EXPECT_EQ(LSWeightInitializer::inverse(0, 0.0, 0.5), 0.0);
  EXPECT_EQ(LSWeightInitializer::inverse(2, 0.0, 0.5), 0.0);
}

TEST(LeastSquaresInit, LinearNetworkWithFewerOutputsThanHiddenUnitsFitsItsData) {
  TinyNetwork generator{2, 1, 1, {0.5, -0.25}, {0.1}, {1.0}, {0.0}};
  Tables t = sample(generator, 40);
  TinyNetwork net{2,     3, 1, {0.3, 0.1, -0.2, 0.4, 0.2, 0.2}, {0.0, 0.1, -0.1}, {0.5, -0.3, 0.2},
                  {0.05}};
  const double before = largestError(net, t);
  fitInPlace(net, t);
  EXPECT_GT(before, 0.1);
  EXPECT_LT(largestError(net, t), 1e-6);
}

TEST(LeastSquaresInit, LinearNetworkWithMoreOutputsThanHiddenUnitsFitsItsData) {
  TinyNetwork generator{2, 1, 2, {0.5, -0.25}, {0.1}, {1.0, -2.0}, {0.2, 0.3}};
  Tables t = sample(generator, 40);
  TinyNetwork net{2, 1, 2, {0.2, 0.2}, {0.0}, {1.0, -1.0}, {0.0, 0.0}};
  const double before = largestError(net, t);
  fitInPlace(net, t);
  EXPECT_GT(before, 0.1);
  EXPECT_LT(largestError(net, t), 1e-6);
}

TEST(LeastSquaresInit, KeepsTheStartingWeightsWhenNoPassDoesAsWell) {
  // The starting weights generated the data, so their error is exactly 0
  // and every regularised fit falls short of it.
  TinyNetwork net{2, 2, 1, {0.7, -0.4, 0.3, 0.9}, {0.1, -0.2}, {0.8, -0.6}, {0.05}, 0, 1.0, 0, 1.0};
  Tables t = sample(net, 25);
  const TinyNetwork original = net;
  fitInPlace(net, t);
  EXPECT_EQ(net.firstWeights, original.firstWeights);
  EXPECT_EQ(net.hiddenBiases, original.hiddenBiases);
  EXPECT_EQ(net.secondWeights, original.secondWeights);
  EXPECT_EQ(net.outputBiases, original.outputBiases);
}

TEST(LeastSquaresInit, TieTakesTheNewWeightsAndKindNoneFitsZeros) {
  // Kind 4 carries no derivative weight, so both fits solve the regularised
  // zero system; the outputs stay 0 and the error ties the starting one (1).
  TinyNetwork net{2, 2, 1, {0.5, 0.5, 0.5, 0.5}, {0.25, 0.25}, {0.0, 0.0}, {0.0}, 4, 1.0, 4, 1.0};
  Tables t = sample(TinyNetwork{2, 1, 1, {0.5, -0.25}, {0.1}, {1.0}, {0.0}}, 10);
  fitInPlace(net, t);
  for (double w : net.firstWeights) EXPECT_EQ(w, 0.0);
  for (double b : net.hiddenBiases) EXPECT_EQ(b, 0.0);
  for (double w : net.secondWeights) EXPECT_EQ(w, 0.0);
  EXPECT_EQ(net.outputBiases[0], 0.0);
}

TEST(LeastSquaresInit, SaturatedDesiredValuesGiveFiniteWeights) {
  // +-1 has no finite tanh preimage; those exemplars get the largest finite
  // target, where their derivative weight vanishes, and the others decide.
  TinyNetwork net{1, 2, 1, {0.3, -0.3}, {0.0, 0.0}, {0.4, 0.4}, {0.0}, 0, 1.0, 0, 1.0};
  Tables t;
  t.inputs = {{-1.0}, {-0.5}, {0.5}, {1.0}};
  t.desired = {{-1.0}, {-0.5}, {0.5}, {1.0}};
  t.index();
  const double before = largestError(net, t);
  fitInPlace(net, t);
  for (double w : net.firstWeights) EXPECT_TRUE(std::isfinite(w));
  for (double w : net.hiddenBiases) EXPECT_TRUE(std::isfinite(w));
  for (double w : net.secondWeights) EXPECT_TRUE(std::isfinite(w));
  EXPECT_TRUE(std::isfinite(net.outputBiases[0]));
  EXPECT_LT(largestError(net, t), before);
}

TEST(LeastSquaresInit, FitWithoutAllFourDestinationsChangesNothing) {
  TinyNetwork generator{1, 1, 1, {0.5}, {0.1}, {1.0}, {0.0}};
  Tables t = sample(generator, 10);
  std::vector<double> first = {0.3};
  std::vector<double> second = {0.7};
  LSWeightInitializer init(10, 1, 1, 1);
  init.setInputs(t.inputRows.data());
  init.setDesired(t.desiredRows.data());
  init.setFirstWeights(first.data());
  init.setSecondWeights(second.data());
  init.setHiddenActivation(2, 1.0);
  init.setOutputActivation(2, 1.0);
  init.fit();
  EXPECT_EQ(first[0], 0.3);
  EXPECT_EQ(second[0], 0.7);

  // The explicit form writes wherever it is told to.
  double hiddenBias = 0.0;
  double outputBias = 0.0;
  init.computeWeights(first.data(), second.data(), &hiddenBias, &outputBias);
  EXPECT_NEAR(second[0] * (first[0] * 2.0 + hiddenBias) + outputBias, 1.1, 1e-6);
}

}  // namespace

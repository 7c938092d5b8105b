// End-to-end runs of the Quillet program: a weight file of seeded random
// weights and short data files (which the program wraps over its 13217
// exemplars) go into a scratch folder, the built program runs there, and
// every probe line and the cost line are compared with a plain forward pass
// written here, in which each layer sums its skip synapses by source layer
// and its chain synapse last.

#include <cmath>
#include <string>
#include <vector>

#include "../limited_memory_run.h"
#include "../program_reference.h"
#include "Quillet/quillet_network.h"

namespace {

using namespace kqtest;

constexpr int kExemplars = 13217;
constexpr int kLayerCount = 8;  // input, six hidden, output
constexpr int kSizes[kLayerCount] = {8, 50, 50, 50, 50, 42, 35, 14};
constexpr int kOutputs = 14;
constexpr int kInputNumbers = 59;    // not a multiple of 8: records wrap mid-record
constexpr int kDesiredNumbers = 73;  // nor of 14

std::string axonKey(int layer) {
  if (layer == 0) return "inputAxon";
  if (layer == kLayerCount - 1) return "outputAxon";
  return "hidden" + std::to_string(layer) + "Axon";
}

std::string synapseKey(int source, int target) {
  if (target == source + 1) {
    return target == kLayerCount - 1 ? "outputSynapse"
                                     : "hidden" + std::to_string(target) + "Synapse";
  }
  std::string to = axonKey(target);
  to[0] = static_cast<char>(to[0] - 'a' + 'A');
  return axonKey(source) + "To" + to + "Synapse";
}

// Synapses in object order: the chain, then the skips by source and target.
std::vector<std::pair<int, int>> synapseOrder() {
  std::vector<std::pair<int, int>> order;
  for (int t = 1; t < kLayerCount; ++t) order.emplace_back(t - 1, t);
  for (int s = 0; s < kLayerCount; ++s) {
    for (int t = s + 2; t < kLayerCount; ++t) order.emplace_back(s, t);
  }
  return order;
}

struct QuilletWeights {
  Normalization input, desired, outputProbe, desiredProbe;
  std::vector<double> bias[kLayerCount];
  std::vector<double> matrix[kLayerCount]
                            [kLayerCount];  // [source][target], target rows x source columns
  std::vector<double> desiredMin, desiredMax;
  std::vector<double> inputNumbers, desiredNumbers;

  explicit QuilletWeights(unsigned seed) {
    ValueSource source(seed);
    input = Normalization::random(source, 8);
    desired = Normalization::random(source, kOutputs);
    outputProbe = Normalization::random(source, kOutputs);
    desiredProbe = Normalization::random(source, kOutputs);
    for (int l = 1; l < kLayerCount; ++l) bias[l] = source.draws(kSizes[l], -0.3, 0.3);
    for (auto [s, t] : synapseOrder()) {
      // Scaled so that the seven summed inputs keep the tanh away from saturation.
      const double range = 1.2 / std::sqrt(static_cast<double>(kSizes[s]) * t);
      matrix[s][t] = source.draws(kSizes[s] * kSizes[t], -range, range);
    }
    desiredMin = source.draws(kOutputs, -1.0, -0.5);
    desiredMax = source.draws(kOutputs, 0.5, 1.0);
    inputNumbers = source.draws(kInputNumbers, -1.0, 1.0);
    desiredNumbers = source.draws(kDesiredNumbers, -0.9, 0.9);
  }

  // Every section the program reads; without withSkips the skip synapses are left out.
  WeightText weightFile(bool withSkips, const char* gradientWord = "Momentum") const {
    WeightText w(247);
    w.header("inputFile", "File");
    w.normalization(input.scale, input.offset, true);
    w.header("desiredFile", "File");
    w.normalization(desired.scale, desired.offset, true);
    w.header("activeOutputProbe", "DataWriter");
    w.normalization(outputProbe.scale, outputProbe.offset, false);
    w.header("activeDesiredProbe", "DataWriter");
    w.normalization(desiredProbe.scale, desiredProbe.offset, false);
    w.header("inputAxon", "Axon");
    w.axonShape(8);
    w.values({});
    for (int l = 1; l < kLayerCount; ++l) {
      w.header(axonKey(l), "TanhAxon");
      w.axonShape(kSizes[l]);
      w.values(bias[l]);
    }
    w.header("criterion", "L2Criterion");
    w.axonShape(kOutputs);
    w.values({});
    w.text += std::to_string(kOutputs) + " ";
    for (int i = 0; i < kOutputs; ++i)
      w.text += formatValue(desiredMin[i]) + formatValue(desiredMax[i]);
    w.text += "\n";
    std::vector<std::string> gradients;
    for (int l = 1; l < kLayerCount; ++l) {
      gradients.push_back(synapseKey(l - 1, l));
      gradients.push_back(axonKey(l));
    }
    for (auto [s, t] : synapseOrder()) {
      if (!withSkips && t != s + 1) continue;
      const std::string key = synapseKey(s, t);
      w.header(key, "FullSynapse");
      w.values(matrix[s][t]);
      w.header(key + "Backprop", "BackFullSynapse");
      w.values(std::vector<double>(matrix[s][t].size(), 0.25));
      if (t != s + 1) gradients.push_back(key);
    }
    ValueSource velocities(99);
    for (const std::string& key : gradients) {
      w.header(key + "BackpropGradient", gradientWord);
      w.values(velocities.draws(3, -0.01, 0.01));
    }
    w.header("control", "StaticControl");
    w.line("0 1.0e9 0 0");
    return w;
  }

  void writeAll(const std::filesystem::path& dir, bool withSkips = true) const {
    weightFile(withSkips).write(dir / "Quillet.kqw");
    writeNumbers(dir / "inputFile.asc", inputNumbers);
    writeNumbers(dir / "desiredFile.asc", desiredNumbers);
  }

  // The plain forward pass: each layer's net input starts at zero and takes
  // the skip synapses by source layer, then the chain synapse, each as a
  // running sum per output element in ascending input order.
  std::vector<double> forward(const std::vector<double>& rawInput) const {
    std::vector<double> activity[kLayerCount];
    activity[0].resize(8);
    for (int i = 0; i < 8; ++i) activity[0][i] = input.apply(rawInput[i], i);
    for (int t = 1; t < kLayerCount; ++t) {
      std::vector<double> net(kSizes[t], 0.0);
      for (int s = 0; s < t; ++s) {
        const std::vector<double>& w = matrix[s][t];
        for (int j = 0; j < kSizes[t]; ++j) {
          for (int k = 0; k < kSizes[s]; ++k) net[j] += w[j * kSizes[s] + k] * activity[s][k];
        }
      }
      activity[t].resize(kSizes[t]);
      for (int j = 0; j < kSizes[t]; ++j) activity[t][j] = std::tanh(1.0 * net[j] + bias[t][j]);
    }
    return activity[kLayerCount - 1];
  }
};

TEST(QuilletProgram, WritesEveryProbeAndTheCostAsAPlainForwardPassWithSkipsFirst) {
  const QuilletWeights net(20240611);
  const auto dir = freshDirectory("full_run");
  net.writeAll(dir);

  const RunResult run = runProgram(KQ_PROGRAM_PATH, dir);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");

  // Input records repeat with the period of the input file's start offset.
  std::vector<std::vector<double>> outputsByStart(kInputNumbers);
  CriterionReference criterion(kOutputs, net.desiredMin, net.desiredMax, 38367);
  std::vector<std::string> outputLines, desiredLines;
  outputLines.reserve(kExemplars);
  desiredLines.reserve(kExemplars);
  for (long e = 0; e < kExemplars; ++e) {
    const long start = (e * 8) % kInputNumbers;
    if (outputsByStart[start].empty())
      outputsByStart[start] = net.forward(wrappedRecord(net.inputNumbers, e, 8));
    const std::vector<double>& y = outputsByStart[start];
    std::vector<double> d = wrappedRecord(net.desiredNumbers, e, kOutputs);
    std::vector<double> shownOutput(kOutputs), shownDesired(kOutputs);
    for (int i = 0; i < kOutputs; ++i) {
      d[i] = net.desired.apply(d[i], i);
      shownOutput[i] = net.outputProbe.invert(y[i], i);
      shownDesired[i] = net.desiredProbe.invert(d[i], i);
    }
    outputLines.push_back(formatLine(shownOutput));
    desiredLines.push_back(formatLine(shownDesired));
    criterion.add(d, y);
  }

  expectLines(dir / "activeOutputProbe.asc", outputLines);
  expectLines(dir / "activeDesiredProbe.asc", desiredLines);
  expectLines(dir / "activePerformanceProbe.asc", {formatLine(criterion.performance())});
  expectLines(dir / "activeROCProbe.asc", {formatLine(criterion.roc())});
  expectLines(dir / "activeConfusionMatrixProbe.asc", {formatLine(criterion.confusionPercent())});
  EXPECT_EQ(run.out, formatValue(criterion.cost()) + "\n");
}

TEST(QuilletProgram, MissingWeightFileIsReportedWithExitCodeOneAfterTheProbesWereCreated) {
  const QuilletWeights net(7);
  const auto dir = freshDirectory("no_weights");
  writeNumbers(dir / "inputFile.asc", net.inputNumbers);
  writeNumbers(dir / "desiredFile.asc", net.desiredNumbers);

  const RunResult run = runProgram(KQ_PROGRAM_PATH, dir);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "Could not open weight file Quillet.kqw");
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(std::filesystem::exists(dir / "activeOutputProbe.asc"));
  EXPECT_TRUE(std::filesystem::exists(dir / "activeConfusionMatrixProbe.asc"));
}

TEST(QuilletProgram, StopsAtTheFirstSkipSynapseWhenTheFileHoldsOnlyTheChain) {
  const QuilletWeights net(8);
  const auto dir = freshDirectory("chain_only");
  net.writeAll(dir, false);

  const RunResult run = runProgram(KQ_PROGRAM_PATH, dir);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(
      run.err,
      "The FullSynapse named inputAxonToHidden2AxonSynapse was not found in the weight file.");
  EXPECT_EQ(run.out, "");
}

TEST(QuilletProgram, GradientSectionsMustCarryTheMomentumClassWord) {
  const QuilletWeights net(9);
  const auto dir = freshDirectory("wrong_rule");
  net.weightFile(true, "ConjugateGradient").write(dir / "Quillet.kqw");
  writeNumbers(dir / "inputFile.asc", net.inputNumbers);
  writeNumbers(dir / "desiredFile.asc", net.desiredNumbers);

  const RunResult run = runProgram(KQ_PROGRAM_PATH, dir);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(
      run.err,
      "The Momentum named hidden1SynapseBackpropGradient does not match the ConjugateGradient "
      "found in the weight file.");
}

// Seven bytes of the example take hidden1Axon from 50 rows to 300000 (or to
// the 1000000 the record allows): the synapses at its ends would hold 1.2 GB
// (4 GB), the largest alone 240 MB (800 MB). On half a gigabyte the run ends
// out of memory before any of them is re-sized.
TEST(QuilletProgram, AHiddenLayerGrownBeyondMemoryEndsOutOfMemoryBeforeAnyProbeLine) {
  for (int rows : {300000, 1000000}) {
    expectOutOfMemoryBeforeAnyProbeLine<kq::programs::quillet::Net>(
        exampleCopy("Quillet", "hidden1Axon", rows), kq::programs::quillet::kValues, kHalfGigabyte);
  }
}

TEST(QuilletProgram, ARunGivesBackEveryByteItsArraysClaimed) {
  expectEveryClaimGivenBack<kq::programs::quillet::Net>("Quillet", kq::programs::quillet::kValues);
}

}  // namespace

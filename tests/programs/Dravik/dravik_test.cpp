// End-to-end runs of the Dravik program: seeded random weights and short
// data files in a scratch folder, the built program run there, and every
// probe line and the cost line compared with a plain forward pass written
// here, which carries the context memory from exemplar to exemplar: the
// delayed context synapse adds the previous exemplar's context into the
// first hidden layer before the input's synapse does.

#include <cmath>
#include <string>
#include <vector>

#include "../limited_memory_run.h"
#include "../program_reference.h"
#include "Dravik/dravik_network.h"

namespace {

using namespace kqtest;

constexpr int kExemplars = 13217;
constexpr int kLayerCount = 8;  // input, six hidden, output
constexpr int kSizes[kLayerCount] = {8, 50, 50, 50, 50, 42, 35, 14};
constexpr int kOutputs = 14;
constexpr int kInputNumbers = 61;
constexpr int kDesiredNumbers = 67;

std::string axonKey(int layer) {
  if (layer == kLayerCount - 1) return "outputAxon";
  return "hidden" + std::to_string(layer) + "Axon";
}

std::string synapseKey(int layer) {
  return layer == kLayerCount - 1 ? "outputSynapse" : "hidden" + std::to_string(layer) + "Synapse";
}

struct DravikWeights {
  Normalization input, desired, outputProbe, desiredProbe;
  std::vector<double> bias[kLayerCount];
  std::vector<double> matrix[kLayerCount];  // into layer l from layer l - 1
  std::vector<double> contextWeights;       // the integrator's memory weights
  std::vector<double> contextMemory;        // the memory record of the context axon
  std::vector<double> delayedActivity;      // the context synapse's delayed-activity record
  std::vector<double> contextMatrix;        // context synapse, 50 x 8
  std::vector<double> desiredMin, desiredMax;
  std::vector<double> inputNumbers, desiredNumbers;

  explicit DravikWeights(unsigned seed) {
    ValueSource source(seed);
    input = Normalization::random(source, 8);
    desired = Normalization::random(source, kOutputs);
    outputProbe = Normalization::random(source, kOutputs);
    desiredProbe = Normalization::random(source, kOutputs);
    for (int l = 1; l < kLayerCount; ++l) {
      bias[l] = source.draws(kSizes[l], -0.3, 0.3);
      const double range = 1.5 / std::sqrt(static_cast<double>(kSizes[l - 1]));
      matrix[l] = source.draws(kSizes[l] * kSizes[l - 1], -range, range);
    }
    contextWeights = source.draws(8, 0.1, 0.9);
    contextMemory = source.draws(8, -1.0, 1.0);
    delayedActivity = source.draws(50, -1.0, 1.0);
    contextMatrix = source.draws(50 * 8, -0.5, 0.5);
    desiredMin = source.draws(kOutputs, -1.0, -0.5);
    desiredMax = source.draws(kOutputs, 0.5, 1.0);
    inputNumbers = source.draws(kInputNumbers, -1.0, 1.0);
    desiredNumbers = source.draws(kDesiredNumbers, -0.9, 0.9);
  }

  WeightText weightFile(bool withContextSynapse) const {
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
    w.header("contextAxon", "IntegratorAxon");
    w.axonShape(8);
    w.values(contextWeights);
    w.values(contextMemory);
    w.header("contextAxonBackprop", "BackIntegratorAxon");
    w.axonShape(8);
    w.values(std::vector<double>(8, 0.5));
    w.values(std::vector<double>(8, 0.75));
    std::vector<std::string> gradients;
    for (int l = 1; l < kLayerCount; ++l) {
      w.header(synapseKey(l), "FullSynapse");
      w.values(matrix[l]);
      w.header(synapseKey(l) + "Backprop", "BackFullSynapse");
      w.values(std::vector<double>(matrix[l].size(), 0.25));
      gradients.push_back(synapseKey(l));
      gradients.push_back(axonKey(l));
    }
    if (withContextSynapse) {
      w.header("contextSynapse", "FullSynapse");
      w.values(contextMatrix);
      w.values(delayedActivity);
      w.header("contextSynapseBackprop", "BackFullSynapse");
      w.values(std::vector<double>(contextMatrix.size(), 0.25));
      w.values(std::vector<double>(50, 0.125));
    }
    gradients.push_back("contextSynapse");
    ValueSource velocities(98);
    for (const std::string& key : gradients) {
      w.header(key + "BackpropGradient", "Momentum");
      w.values(velocities.draws(5, -0.01, 0.01));
    }
    w.header("control", "StaticControl");
    w.line("0 1.0e9 0 0");
    return w;
  }

  void writeData(const std::filesystem::path& dir) const {
    writeNumbers(dir / "inputFile.asc", inputNumbers);
    writeNumbers(dir / "desiredFile.asc", desiredNumbers);
  }
};

// The network with its memory: the previous exemplar's context, which the
// delayed synapse reads and the integrator blends with the new input. The
// context synapse's record is read after the context axon's and lands in
// the same remembered frame, so its first 8 values are the first memory.
class DravikReference {
 public:
  explicit DravikReference(const DravikWeights& w)
      : net(w), previous(w.delayedActivity.begin(), w.delayedActivity.begin() + 8) {}

  std::vector<double> next(const std::vector<double>& rawInput) {
    std::vector<double> x(8);
    for (int i = 0; i < 8; ++i) x[i] = net.input.apply(rawInput[i], i);

    std::vector<double> hidden(kSizes[1], 0.0);
    for (int j = 0; j < kSizes[1]; ++j) {
      for (int k = 0; k < 8; ++k) hidden[j] += net.contextMatrix[j * 8 + k] * previous[k];
    }
    std::vector<double> context(8);
    for (int i = 0; i < 8; ++i) {
      const double w = net.contextWeights[i];
      context[i] = 1.0 * ((1.0 - w) * (0.0 + x[i]) + w * previous[i]);
    }
    for (int j = 0; j < kSizes[1]; ++j) {
      for (int k = 0; k < 8; ++k) hidden[j] += net.matrix[1][j * 8 + k] * x[k];
    }
    std::vector<double> activity(kSizes[1]);
    for (int j = 0; j < kSizes[1]; ++j) activity[j] = std::tanh(1.0 * hidden[j] + net.bias[1][j]);
    for (int l = 2; l < kLayerCount; ++l) {
      std::vector<double> sum(kSizes[l], 0.0);
      for (int j = 0; j < kSizes[l]; ++j) {
        for (int k = 0; k < kSizes[l - 1]; ++k)
          sum[j] += net.matrix[l][j * kSizes[l - 1] + k] * activity[k];
      }
      activity.assign(kSizes[l], 0.0);
      for (int j = 0; j < kSizes[l]; ++j) activity[j] = std::tanh(1.0 * sum[j] + net.bias[l][j]);
    }
    previous = context;
    return activity;
  }

 private:
  const DravikWeights& net;
  std::vector<double> previous;
};

TEST(DravikProgram, WritesEveryProbeAndTheCostAsAPlainForwardPassWithContextMemory) {
  const DravikWeights net(424242);
  const auto dir = freshDirectory("full_run");
  net.weightFile(true).write(dir / "Dravik.kqw");
  net.writeData(dir);

  const RunResult run = runProgram(KQ_PROGRAM_PATH, dir);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");

  DravikReference reference(net);
  CriterionReference criterion(kOutputs, net.desiredMin, net.desiredMax, 12659);
  std::vector<std::string> outputLines, desiredLines;
  for (long e = 0; e < kExemplars; ++e) {
    const std::vector<double> y = reference.next(wrappedRecord(net.inputNumbers, e, 8));
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

TEST(DravikProgram, MissingWeightFileIsReportedWithExitCodeOne) {
  const DravikWeights net(1);
  const auto dir = freshDirectory("no_weights");
  net.writeData(dir);

  const RunResult run = runProgram(KQ_PROGRAM_PATH, dir);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "Could not open weight file Dravik.kqw");
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(std::filesystem::exists(dir / "activeOutputProbe.asc"));
}

TEST(DravikProgram, MissingContextSynapseSectionEndsTheRun) {
  const DravikWeights net(2);
  const auto dir = freshDirectory("no_context_synapse");
  net.weightFile(false).write(dir / "Dravik.kqw");
  net.writeData(dir);

  const RunResult run = runProgram(KQ_PROGRAM_PATH, dir);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "The FullSynapse named contextSynapse was not found in the weight file.");
  EXPECT_EQ(run.out, "");
}

// hidden1Axon, the largest layer, at the 1000000 rows its record allows:
// about 1 GB of synapses. On half a gigabyte the run ends out of memory.
TEST(DravikProgram, TheLargestLayerGrownBeyondMemoryEndsOutOfMemoryBeforeAnyProbeLine) {
  kqtest::expectOutOfMemoryBeforeAnyProbeLine<kq::programs::dravik::Net>(
      kqtest::exampleCopy("Dravik", "hidden1Axon", 1000000), kq::programs::dravik::kValues,
      kqtest::kHalfGigabyte);
}

}  // namespace

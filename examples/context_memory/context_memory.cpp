// Trains the context network (context_network/) by gradient descent with
// momentum on a sequence whose desired outputs depend on the inputs before
// the present one, saves it to context.kqw, and loads that file into a
// fresh network. Both networks then run the sequence once more with
// learning off: the file holds the memory as well as the weights, so the
// two give the same cost.
//
// It writes its data files, the performance measures of every epoch
// (contextPerformance.asc) and the weight file into the working directory,
// and exits with 1 unless the cost fell to a tenth of the first epoch's,
// the reloaded network's cost equals the trained one's bit for bit, and it
// is the cost that the reloaded network's outputs give.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "context_network/context_network.h"

namespace {

constexpr int kExemplars = 40;
constexpr int kEpochs = 300;

const char* const kInputName = "contextInput.asc";
const char* const kDesiredName = "contextDesired.asc";
const char* const kPerformanceName = "contextPerformance.asc";
const char* const kWeightFileName = "context.kqw";

struct Sample {
  double x[context::kInputs];
  double d[context::kOutputs];
};

// Inputs from a fixed linear congruential sequence in [-1, 1]; the desired
// outputs mix the present input with m, the leaky average
// m := 0.2 x + 0.8 m of the inputs before it, which is what the context
// axon holds. The sequence repeats, so m is taken where it settles when
// the sequence is run again and again, as the network runs it.
std::vector<Sample> sequence() {
  std::vector<Sample> samples(kExemplars);
  uint32_t state = 12345;
  for (Sample& s : samples) {
    for (double& x : s.x) {
      state = state * 1103515245U + 12345U;
      x = static_cast<double>((state >> 8) % 2001) / 1000.0 - 1.0;
    }
  }
  double m[context::kInputs] = {};
  for (int round = 0; round < 50; ++round) {
    for (Sample& s : samples) {
      s.d[0] = 0.4 * s.x[0] + 0.8 * m[1];
      s.d[1] = 0.3 * s.x[2] - 0.9 * m[0];
      for (int k = 0; k < context::kInputs; ++k) m[k] = 0.2 * s.x[k] + 0.8 * m[k];
    }
  }
  return samples;
}

bool writeDataFiles(const std::vector<Sample>& samples) {
  std::FILE* inputs = std::fopen(kInputName, "w");
  std::FILE* desired = std::fopen(kDesiredName, "w");
  bool ok = inputs != nullptr && desired != nullptr;
  for (const Sample& s : samples) {
    if (!ok) break;
    std::fprintf(inputs, "%.17g %.17g %.17g\n", s.x[0], s.x[1], s.x[2]);
    std::fprintf(desired, "%.17g %.17g\n", s.d[0], s.d[1]);
  }
  if (inputs != nullptr && std::fclose(inputs) != 0) ok = false;
  if (desired != nullptr && std::fclose(desired) != 0) ok = false;
  return ok;
}

context::DesiredRange rangeOf(const std::vector<Sample>& samples) {
  context::DesiredRange range{};
  for (int i = 0; i < context::kOutputs; ++i) {
    range.min[i] = samples[0].d[i];
    range.max[i] = samples[0].d[i];
    for (const Sample& s : samples) {
      range.min[i] = std::min(range.min[i], s.d[i]);
      range.max[i] = std::max(range.max[i], s.d[i]);
    }
  }
  return range;
}

bool sameBits(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

}  // namespace

int main() {
  const std::vector<Sample> samples = sequence();
  if (!writeDataFiles(samples)) {
    std::fprintf(stderr, "Could not write the training files.\n");
    return 1;
  }
  const context::DesiredRange range = rangeOf(samples);
  std::srand(1);

  double firstCost = 0.0;
  double lastCost = 0.0;
  double trainedCost = 0.0;
  {
    context::Network network({kInputName, kDesiredName, kPerformanceName}, kExemplars, range);
    network.startRun(1);
    for (int epoch = 1; epoch <= kEpochs; ++epoch) {
      lastCost = network.runEpoch();
      if (epoch == 1) firstCost = lastCost;
      if (epoch == 1 || epoch % 50 == 0) {
        std::printf("epoch %3d  cost %.6e  normalised error %.6f\n", epoch, lastCost,
                    network.criterion.performanceRecord[kq::PerformanceRecord::kNormalizedRms]);
      }
    }
    network.finishRun();
    if (!network.save(kWeightFileName)) {
      std::fprintf(stderr, "Could not write %s.\n", kWeightFileName);
      return 1;
    }
    network.startRun(0);
    trainedCost = network.runEpoch();
  }

  // A fresh network draws other weights and starts with an empty memory;
  // the file replaces both. One pass with learning off, the outputs copied
  // out after every exemplar and compared with the desired values by hand.
  context::Network reloaded({kInputName, kDesiredName}, kExemplars, range);
  if (!reloaded.load(kWeightFileName)) {
    std::fprintf(stderr, "Could not read %s.\n", kWeightFileName);
    return 1;
  }
  std::vector<double> outputs(context::kOutputs);
  reloaded.output.outputCopy = outputs.data();
  reloaded.startRun(0);
  kq::StaticControl& control = reloaded.control;
  double squaredErrors = 0.0;
  for (control.exemplar = 0; control.exemplar < kExemplars; ++control.exemplar) {
    control.fireRoots();
    const Sample& s = samples[static_cast<size_t>(control.exemplar)];
    for (int i = 0; i < context::kOutputs; ++i) {
      const double error = s.d[i] - outputs[static_cast<size_t>(i)];
      squaredErrors += 0.5 * error * error;
    }
  }
  ++control.epoch;
  const double cost = reloaded.criterion.computeCost(1, 1);
  reloaded.output.outputCopy = nullptr;
  std::printf("learning off: trained %.17g, reloaded %.17g\n", trainedCost, cost);

  if (!(lastCost < 0.1 * firstCost)) {
    std::fprintf(stderr, "The cost did not fall.\n");
    return 1;
  }
  if (!sameBits(cost, trainedCost)) {
    std::fprintf(stderr, "The reloaded network's cost differs from the trained one's.\n");
    return 1;
  }
  // Half the mean squared error over outputs and exemplars.
  const double fromOutputs = squaredErrors / (context::kOutputs * kExemplars);
  if (!(std::fabs(cost - fromOutputs) <= 1e-12 * fromOutputs)) {
    std::fprintf(stderr, "The reported cost %.17g differs from the outputs' %.17g.\n", cost,
                 fromOutputs);
    return 1;
  }
  return 0;
}

// Runs the network that train_network trained and saved (trained.kqw, in
// the working directory) over inputs it has not seen: the 5 x 5 grid of
// points halfway between those it was trained on. A fresh network of the
// same shape loads the file and runs one pass with learning off: no
// backward pass, no weight changes.
//
// It prints every exemplar's output beside the desired value, writes the
// outputs to evaluateOutput.asc as well, prints the cost, and exits with 1
// unless the cost the network reports is the one its outputs give.

#include <cmath>
#include <cstdio>
#include <vector>

#include "small_network/small_network.h"

namespace {

constexpr int kGrid = 5;
constexpr int kExemplars = kGrid * kGrid;

const char* const kInputName = "evaluateInput.asc";
const char* const kDesiredName = "evaluateDesired.asc";
const char* const kOutputName = "evaluateOutput.asc";
const char* const kWeightFileName = "trained.kqw";

}  // namespace

int main() {
  const std::vector<example::Sample> samples = example::gridSamples(kGrid, -0.8, 0.8);
  if (!example::writeDataFiles(samples, kInputName, kDesiredName)) {
    std::fprintf(stderr, "Could not write the evaluation files.\n");
    return 1;
  }

  // Where the outputs land after each forward pass; it outlives the
  // network, which holds a pointer to it.
  std::vector<double> outputs(example::kOutputs);

  example::Network network(example::Rule::momentum,
                           {kInputName, kDesiredName, nullptr, kOutputName}, kExemplars);
  if (!network.load(kWeightFileName)) {
    std::fprintf(stderr, "Could not read %s; run train_network first.\n", kWeightFileName);
    return 1;
  }
  network.output.outputCopy = outputs.data();
  network.startRun(0);

  // One pass, learning off: each fireRoots reads the next input record and
  // runs it forward; the output axon copies its activity into outputs, its
  // probe writes it to kOutputName, and the criterion compares it with the
  // next desired record.
  kq::StaticControl& control = network.control;
  double squaredErrors = 0.0;
  for (control.exemplar = 0; control.exemplar < kExemplars; ++control.exemplar) {
    control.fireRoots();
    const example::Sample& s = samples[static_cast<size_t>(control.exemplar)];
    const double error = s.d - outputs[0];
    squaredErrors += 0.5 * error * error;
    std::printf("%6.2f %6.2f  output %9.6f  desired %9.6f\n", s.x0, s.x1, outputs[0], s.d);
  }
  // The epoch's end: the criterion completes the cost of the pass.
  ++control.epoch;
  const double cost = network.criterion.computeCost(1, 1);
  std::printf("cost over unseen inputs %.6e\n", cost);

  // Half the mean squared error over the exemplars (one output each).
  const double fromOutputs = squaredErrors / kExemplars;
  if (!(std::fabs(cost - fromOutputs) <= 1e-12 * fromOutputs)) {
    std::fprintf(stderr, "The reported cost %.17g differs from the outputs' %.17g.\n", cost,
                 fromOutputs);
    return 1;
  }
  return 0;
}

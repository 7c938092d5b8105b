// Trains the examples' network (small_network/) to d = 0.8 x0 x1 on a
// 6 x 6 grid with the two second-order rules, scaled conjugate gradient and
// Levenberg-Marquardt, from the same starting weights. Both keep one state
// over every weight of the network in the control's learning globals,
// which the control creates and drives from the hooks of the run.
//
// It writes its data files into the working directory, prints some costs
// of each run, and exits with 1 unless the control took the mode the
// method's name asks for and each run's cost fell to a tenth of its first
// epoch's.

#include <cstdio>
#include <cstdlib>

#include "small_network/small_network.h"

namespace {

constexpr int kEpochs = 30;
constexpr int kGrid = 6;
constexpr int kExemplars = kGrid * kGrid;

const char* const kInputName = "secondOrderInput.asc";
const char* const kDesiredName = "secondOrderDesired.asc";

struct Run {
  const char* name;
  example::Rule rule;
  kq::LearningMode mode;  // what the control derives from the method's name
};

}  // namespace

int main() {
  if (!example::writeDataFiles(example::gridSamples(kGrid, -1.0, 1.0), kInputName, kDesiredName)) {
    std::fprintf(stderr, "Could not write the training files.\n");
    return 1;
  }
  const Run runs[] = {
      {"conjugate gradient", example::Rule::conjugateGradient, kq::kConjugateGradientMode},
      {"Levenberg-Marquardt", example::Rule::levenbergMarquardt, kq::kLevenbergMarquardtMode},
  };
  int failures = 0;
  for (const Run& run : runs) {
    std::srand(1);  // the same starting weights for both
    example::Network network(run.rule, {kInputName, kDesiredName}, kExemplars);
    // A method name spelt otherwise leaves the control in the first-order
    // mode, where neither rule changes a weight: check what it derived.
    if (network.control.learningMode != run.mode) {
      std::fprintf(stderr, "%s: the control is in learning mode %d.\n", run.name,
                   network.control.learningMode);
      return 1;
    }
    // Learning on before prepareLearning: it numbers the weights and
    // prepares the globals for the flag it finds.
    network.startRun(1);
    double firstCost = 0.0;
    double lastCost = 0.0;
    for (int epoch = 1; epoch <= kEpochs; ++epoch) {
      lastCost = network.runEpoch();
      if (epoch == 1) firstCost = lastCost;
      if (epoch == 1 || epoch % 10 == 0) {
        std::printf("%s: epoch %2d  cost %.6e\n", run.name, epoch, lastCost);
      }
    }
    // Leaves the network at the last weights the method accepted.
    network.finishRun();
    if (!(lastCost < 0.1 * firstCost)) {
      std::fprintf(stderr, "%s: the cost did not fall.\n", run.name);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}

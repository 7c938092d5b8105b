// Trains the examples' network (small_network/) by gradient descent with
// momentum to d = 0.8 x0 x1 on a 6 x 6 grid, with a probe watching the
// output synapse's weights, saves it to trained.kqw, and loads that file
// into a fresh network of the same shape. Both networks then run the
// training data once more with learning off.
//
// It writes its data files, the cost of every epoch (trainCost.asc) and the
// watched weights (outputWeights.asc, one line per batch update) into the
// working directory, and exits with 1 unless the cost fell to a quarter of
// the first epoch's and the reloaded network's cost equals the trained
// one's bit for bit.

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <kqnet/data/data_file.h>

#include "small_network/small_network.h"

namespace {

constexpr int kEpochs = 100;
constexpr int kGrid = 6;
constexpr int kExemplars = kGrid * kGrid;

const char* const kInputName = "trainInput.asc";
const char* const kDesiredName = "trainDesired.asc";
const char* const kCostName = "trainCost.asc";
const char* const kWeightsName = "outputWeights.asc";
const char* const kWeightFileName = "trained.kqw";

int lineCount(const char* fileName) {
  std::FILE* file = std::fopen(fileName, "r");
  if (file == nullptr) return -1;
  int lines = 0;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) lines += c == '\n' ? 1 : 0;
  std::fclose(file);
  return lines;
}

}  // namespace

int main() {
  if (!example::writeDataFiles(example::gridSamples(kGrid, -1.0, 1.0), kInputName, kDesiredName)) {
    std::fprintf(stderr, "Could not write the training files.\n");
    return 1;
  }
  // A fixed seed: the weights are drawn as each component is sized, so
  // every run starts from the same point and gives the same costs.
  std::srand(1);

  // A writing data file attached as the output synapse's weight observer:
  // the synapse binds it to its weight matrix (one row per output element)
  // and steps it whenever it changes the weights itself, here after every
  // batch update, so it writes one line of six weights per batch.
  kq::DataFile weightProbe;
  weightProbe.setFileName(kWeightsName);
  weightProbe.setMode(0, kq::kTextFile);

  double firstCost = 0.0;
  double lastCost = 0.0;
  double trainedCost = 0.0;
  {
    example::Network network(example::Rule::momentum, {kInputName, kDesiredName, kCostName},
                             kExemplars);
    network.outputSynapse.ownWeightAccess = &weightProbe;

    network.startRun(1);
    for (int epoch = 1; epoch <= kEpochs; ++epoch) {
      lastCost = network.runEpoch();
      if (epoch == 1) firstCost = lastCost;
      if (epoch == 1 || epoch % 20 == 0) std::printf("epoch %3d  cost %.6e\n", epoch, lastCost);
    }
    network.finishRun();
    // Detached, the probe is unbound at once and sees nothing more.
    network.outputSynapse.ownWeightAccess = nullptr;
    weightProbe.close();

    if (!network.save(kWeightFileName)) {
      std::fprintf(stderr, "Could not write %s.\n", kWeightFileName);
      return 1;
    }
    network.startRun(0);
    trainedCost = network.runEpoch();
  }

  // A fresh network draws other weights; the file replaces them.
  example::Network reloaded(example::Rule::momentum, {kInputName, kDesiredName}, kExemplars);
  if (!reloaded.load(kWeightFileName)) {
    std::fprintf(stderr, "Could not read %s.\n", kWeightFileName);
    return 1;
  }
  reloaded.startRun(0);
  const double reloadedCost = reloaded.runEpoch();
  std::printf("learning off: trained %.17g, reloaded %.17g\n", trainedCost, reloadedCost);

  if (!(lastCost < 0.25 * firstCost)) {
    std::fprintf(stderr, "The cost did not fall.\n");
    return 1;
  }
  if (std::bit_cast<uint64_t>(reloadedCost) != std::bit_cast<uint64_t>(trainedCost)) {
    std::fprintf(stderr, "The reloaded network's cost differs from the trained one's.\n");
    return 1;
  }
  if (lineCount(kWeightsName) != kEpochs) {
    std::fprintf(stderr, "%s does not hold one line per batch update.\n", kWeightsName);
    return 1;
  }
  return 0;
}

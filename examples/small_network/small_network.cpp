#include "small_network/small_network.h"

#include <cstdio>

#include <kqnet/learning/conjugate_gradient.h>
#include <kqnet/momentum/momentum.h>
#include <kqnet/weightfile/indexed_weight_file.h>
#include <kqnet/weightfile/weight_file.h>

namespace example {

std::vector<Sample> gridSamples(int points, double low, double high) {
  std::vector<Sample> samples;
  for (int i = 0; i < points; ++i) {
    for (int j = 0; j < points; ++j) {
      const double x0 = low + (high - low) * i / (points - 1);
      const double x1 = low + (high - low) * j / (points - 1);
      samples.push_back({x0, x1, 0.8 * x0 * x1});
    }
  }
  return samples;
}

bool writeDataFiles(const std::vector<Sample>& samples, const char* inputName,
                    const char* desiredName) {
  std::FILE* inputs = std::fopen(inputName, "w");
  std::FILE* desired = std::fopen(desiredName, "w");
  bool ok = inputs != nullptr && desired != nullptr;
  for (const Sample& s : samples) {
    if (!ok) break;
    // %.17g reads back as the same double.
    std::fprintf(inputs, "%.17g %.17g\n", s.x0, s.x1);
    std::fprintf(desired, "%.17g\n", s.d);
  }
  if (inputs != nullptr && std::fclose(inputs) != 0) ok = false;
  if (desired != nullptr && std::fclose(desired) != 0) ok = false;
  return ok;
}

namespace {

// The gradient object of one trainable component. Momentum changes the
// component's weights itself at every batch end; the second-order rules
// leave that to the control's learning globals, which reach every weight at
// once: a ConjugateGradient holds the method's per-weight vectors, and
// Levenberg-Marquardt needs only the plain Gradient, which changes nothing
// (a Momentum there would move the weights a second time).
std::unique_ptr<kq::Gradient> makeGradient(Rule rule, int exemplars) {
  switch (rule) {
    case Rule::momentum: {
      auto gradient = std::make_unique<kq::Momentum>();
      gradient->setMomentum(0.7);
      gradient->setStepSize(0.5);
      // The accumulator sums a whole batch; the divisor makes the step
      // one of the batch's mean.
      gradient->setDivisor(exemplars);
      return gradient;
    }
    case Rule::conjugateGradient:
      return std::make_unique<kq::ConjugateGradient>();
    case Rule::levenbergMarquardt:
      break;
  }
  return std::make_unique<kq::Gradient>();
}

// The names from which the control derives its learning mode, spelt
// exactly so: any other name gives the first-order mode without a word.
const char* methodName(Rule rule) {
  switch (rule) {
    case Rule::momentum:
      return "Momentum";
    case Rule::conjugateGradient:
      return "ConjugateGradient";
    case Rule::levenbergMarquardt:
      break;
  }
  return "LevenbergMarquardt";
}

}  // namespace

Network::Network(Rule rule, const Files& files, int exemplars)
    : hiddenSynapseGradient(makeGradient(rule, exemplars)),
      hiddenGradient(makeGradient(rule, exemplars)),
      outputSynapseGradient(makeGradient(rule, exemplars)),
      outputGradient(makeGradient(rule, exemplars)) {
  // 1. Sizes and files, object by object. Each backward twin takes the
  //    size of its forward object; a synapse is sized by its two ends. The
  //    weights are drawn from std::rand as each component is sized.
  input.setRows(kInputs);
  inputBackprop.setRows(kInputs);
  inputFile.setFileName(files.input);
  inputFile.setMode(1, kq::kTextFile);  // read, text; opens the file now
  inputFile.setSize(kInputs, 1);
  hidden.setRows(kHidden);
  hiddenBackprop.setRows(kHidden);
  output.setRows(kOutputs);
  outputBackprop.setRows(kOutputs);
  if (files.outputs != nullptr) {
    outputProbe.setFileName(files.outputs);
    outputProbe.setMode(0, kq::kTextFile);  // write, text; empties the file
    outputProbe.setSize(kOutputs, 1);
  }
  criterion.setRows(kOutputs);
  criterionBackprop.setRows(kOutputs);
  desiredFile.setFileName(files.desired);
  desiredFile.setMode(1, kq::kTextFile);
  desiredFile.setSize(kOutputs, 1);
  // The criterion sums its cost only while a cost writer is attached; one
  // without a file name writes nothing.
  costProbe.setFileName(files.cost != nullptr ? files.cost : "");
  costProbe.setMode(0, kq::kTextFile);
  costProbe.setSize(1, 1);
  controlBackprop.setLearningMethod(methodName(rule));

  // 2. Data accesses and twins: the input file feeds the input axon, the
  //    output probe watches the output axon, the desired file and the cost
  //    writer hang on the criterion, and every backward object learns which
  //    forward object it mirrors.
  input.setInputAccess(&inputFile);
  inputBackprop.setDual(&input);
  hiddenSynapseBackprop.setDual(&hiddenSynapse);
  hiddenBackprop.setDual(&hidden);
  outputSynapseBackprop.setDual(&outputSynapse);
  if (files.outputs != nullptr) output.setOutputAccess(&outputProbe);
  outputBackprop.setDual(&output);
  criterion.setCostAccess(&costProbe);
  criterion.setDesiredAccess(&desiredFile);
  criterionBackprop.setDual(&criterion);

  // 3. Topology. Forward: input -> hiddenSynapse -> hidden -> outputSynapse
  //    -> output -> criterion; backward, the mirror. An axon counts its
  //    inputs (connectInput) and fires its outputs (connectOutput); a
  //    synapse has one axon at each end.
  input.connectOutput(&hiddenSynapse);
  inputBackprop.connectInput(&hiddenSynapseBackprop);
  hiddenSynapse.connectInput(&input);
  hiddenSynapse.connectOutput(&hidden);
  hiddenSynapseBackprop.connectInput(&hiddenBackprop);
  hiddenSynapseBackprop.connectOutput(&inputBackprop);
  hidden.connectInput(&hiddenSynapse);
  hidden.connectOutput(&outputSynapse);
  hiddenBackprop.connectInput(&outputSynapseBackprop);
  hiddenBackprop.connectOutput(&hiddenSynapseBackprop);
  outputSynapse.connectInput(&hidden);
  outputSynapse.connectOutput(&output);
  outputSynapseBackprop.connectInput(&outputBackprop);
  outputSynapseBackprop.connectOutput(&hiddenBackprop);
  output.connectInput(&outputSynapse);
  output.connectOutput(&criterion);
  outputBackprop.connectInput(&criterionBackprop);
  outputBackprop.connectOutput(&outputSynapseBackprop);
  criterion.connectInput(&output);
  criterionBackprop.connectOutput(&outputBackprop);

  // 4. Gradients: each reads the accumulator of a backward twin and
  //    updates the weights of that twin's forward object.
  for (const Trainable& t : trainables()) {
    t.gradient->setBackprop(t.backprop);
    t.gradient->forward = t.forward;
    t.gradient->setPerWeightStep(0);  // one step size for all its weights
  }

  // 5. Registration. attachBackControl derives the learning mode from the
  //    method's name and empties the control's lists, so every other object
  //    registers after it; the control files each one by kind.
  control.attachBackControl(&controlBackprop);
  for (kq::Engine* object : objects()) {
    if (object == &control) continue;
    object->control = &control;
    object->registerWithControl();
  }

  // 6. The forward pass starts at the input axon. One batch update per
  //    pass over the data. Conjugate gradient takes one step per epoch from
  //    two passes (the first measures the curvature along the search
  //    direction, the second the trial step); with one pass, the default,
  //    it never steps.
  control.clearRoots();
  control.addRoot(&input, 0);
  control.numberDepths();
  control.exemplarsPerEpoch = exemplars;
  control.batchSize = exemplars;
  control.passesPerEpoch = rule == Rule::conjugateGradient ? 2 : 1;
}

// Teardown, as the end of the driving order in control/control.h: detach
// every object from the control, empty its lists and free every object's
// arrays. The members' destructors then close the files.
Network::~Network() {
  control.finishTraining();
  for (kq::Engine* object : objects()) {
    if (object != &control) object->control = nullptr;
  }
  control.finishTraining();
  control.clearComponentLists();
  for (kq::Engine* object : objects()) object->release();
}

bool Network::save(const char* fileName) {
  std::FILE* file = std::fopen(fileName, "w");
  if (file == nullptr) return false;
  // The record writers print every field of the newest layout, so the file
  // says it is of the newest version: under an older one the readers would
  // skip fields that are there.
  std::fprintf(file, "#%s %d\n", kq::kWeightFileVersionKey, int{kq::kNewestWeightFileVersion});
  for (const Section& s : sections()) {
    std::fprintf(file, "#%s %s\n", s.key, s.classWord);
    if (s.soma != nullptr) {
      s.soma->writeWeights(file, 1);
    } else {
      s.gradient->writeWeights(file);
    }
  }
  // The record writers do not report write errors; the stream keeps them.
  const bool written = std::ferror(file) == 0;
  return std::fclose(file) == 0 && written;
}

bool Network::load(const char* fileName) {
  kq::WeightFile file;
  if (!file.open(fileName)) return false;
  // Each lookup ends the process with a message when the file lacks the
  // section or holds it under another class word.
  for (const Section& s : sections()) {
    std::FILE* record = file.section(s.classWord, s.key);
    if (s.soma != nullptr) {
      s.soma->readWeights(record, file.version());
    } else {
      s.gradient->readWeights(record, file.version());
    }
  }
  return true;
}

void Network::startRun(int learning) {
  control.learning = learning;
  control.prepareLearning();
  control.setEpoch(0);
}

// One epoch as the driving order at the top of control/control.h lays it
// out: each pass runs every exemplar forward and, with learning on,
// backward; between two passes the criterion closes the pass's cost and
// the learning globals take their step; at the end the criterion completes
// the epoch's cost (the cost probe writes it) and the control its check.
double Network::runEpoch() {
  const int passes = control.learning != 0 ? control.passesPerEpoch : 1;
  for (control.pass = 0; control.pass < passes;) {
    for (control.exemplar = 0; control.exemplar < control.exemplarsPerEpoch; ++control.exemplar) {
      control.fireRoots();
      if (control.learning != 0) backwardPass();
    }
    if (++control.pass < passes) {
      criterion.clearMeasureAccumulators(control.pass);
      criterion.computeCost(0, 1);
      control.afterPass(control.pass);
    }
  }
  ++control.epoch;
  const double cost = criterion.computeCost(1, 1);
  criterion.holdBestCosts = 0;
  criterion.resetEpoch();
  control.checkBestCost();
  return cost;
}

void Network::finishRun() { control.finishTraining(); }

// The backward objects step their duals back to the frame computed for
// this exemplar, the backward network fires from the criterion's twin, and
// the frames are restored. At the end of a batch every gradient applies
// its update between the learning globals' two hooks; each hook does
// nothing without globals (momentum), and acts for the second-order rules.
void Network::backwardPass() {
  inputBackprop.stepDualFrameBack();
  hiddenSynapseBackprop.stepDualFrameBack();
  hiddenBackprop.stepDualFrameBack();
  outputSynapseBackprop.stepDualFrameBack();
  outputBackprop.stepDualFrameBack();
  criterionBackprop.stepDualFrameBack();
  criterionBackprop.fire();
  inputBackprop.restoreDualFramePosition();
  hiddenSynapseBackprop.restoreDualFramePosition();
  hiddenBackprop.restoreDualFramePosition();
  outputSynapseBackprop.restoreDualFramePosition();
  outputBackprop.restoreDualFramePosition();
  criterionBackprop.restoreDualFramePosition();
  control.afterExemplar();
  if (++batchCount >= control.batchSize) {
    control.endBatch();
    for (const Trainable& t : trainables()) t.gradient->applyUpdate(*t.forward);
    control.afterBatch();
    batchCount = 0;
  }
}

std::vector<kq::Engine*> Network::objects() {
  return {&input,
          &inputBackprop,
          &inputFile,
          &hiddenSynapse,
          &hiddenSynapseBackprop,
          hiddenSynapseGradient.get(),
          &hidden,
          &hiddenBackprop,
          hiddenGradient.get(),
          &outputSynapse,
          &outputSynapseBackprop,
          outputSynapseGradient.get(),
          &output,
          &outputBackprop,
          outputGradient.get(),
          &outputProbe,
          &criterion,
          &criterionBackprop,
          &desiredFile,
          &costProbe,
          &control,
          &controlBackprop};
}

std::vector<Network::Trainable> Network::trainables() {
  return {
      {hiddenSynapseGradient.get(), &hiddenSynapseBackprop, &hiddenSynapse},
      {hiddenGradient.get(), &hiddenBackprop, &hidden},
      {outputSynapseGradient.get(), &outputSynapseBackprop, &outputSynapse},
      {outputGradient.get(), &outputBackprop, &output},
  };
}

// What the weight file holds: the weights of every trained component (the
// hidden and output layers' biases, the synapses' matrices), the
// criterion's record (the desired range of each output) and each
// gradient's learning state (a momentum's velocity, a conjugate gradient's
// vectors), so that training can go on from the file. The keys are free,
// the class words are the ones the readers check.
std::vector<Network::Section> Network::sections() {
  return {
      {"hidden", "TanhAxon", &hidden, nullptr},
      {"output", "TanhAxon", &output, nullptr},
      {"criterion", "L2Criterion", &criterion, nullptr},
      {"hiddenSynapse", "FullSynapse", &hiddenSynapse, nullptr},
      {"outputSynapse", "FullSynapse", &outputSynapse, nullptr},
      {"hiddenSynapseGradient", hiddenSynapseGradient->className(), nullptr,
       hiddenSynapseGradient.get()},
      {"hiddenGradient", hiddenGradient->className(), nullptr, hiddenGradient.get()},
      {"outputSynapseGradient", outputSynapseGradient->className(), nullptr,
       outputSynapseGradient.get()},
      {"outputGradient", outputGradient->className(), nullptr, outputGradient.get()},
  };
}

}  // namespace example

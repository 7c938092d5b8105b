// Trains a small network built from the library's classes: two inputs, a
// hidden layer of six tanh elements and one tanh output, fitted to
// d = 0.8 x0 x1 by gradient descent with momentum. It is the network run of
// the four programs cut down to its bones, with learning switched on: the
// same objects, the same wiring calls and the same loop of forward pass,
// backward pass and batch update.
//
// The program writes its two data files into the working directory, writes
// the cost of every epoch to a third (as the programs write theirs to the
// standard output), prints some of them, and exits with 1 unless the cost
// has fallen to a quarter of the first epoch's by the last one.

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <kqnet/axons/axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/backward/back_criteria_control.h>
#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/back_static_control.h>
#include <kqnet/control/control.h>
#include <kqnet/core/engine.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/data/data_file.h>
#include <kqnet/momentum/momentum.h>
#include <kqnet/synapses/synapse.h>

namespace {

constexpr int kInputs = 2;
constexpr int kHidden = 6;
constexpr int kOutputs = 1;
constexpr int kGrid = 6;  // the inputs run over a kGrid x kGrid grid
constexpr int kExemplars = kGrid * kGrid;
constexpr int kEpochs = 100;

const char* const kInputName = "trainInput.asc";
const char* const kDesiredName = "trainDesired.asc";
const char* const kCostName = "trainCost.asc";

// Writes the training set as two text data files: one record per line,
// numbers separated by blanks. A data file reads records of its block's
// width from white-space separated numbers, whatever the line layout.
bool writeTrainingFiles() {
  std::FILE* inputs = std::fopen(kInputName, "w");
  std::FILE* desired = std::fopen(kDesiredName, "w");
  bool ok = inputs != nullptr && desired != nullptr;
  for (int i = 0; ok && i < kGrid; ++i) {
    for (int j = 0; j < kGrid; ++j) {
      const double x0 = -1.0 + 2.0 * i / (kGrid - 1);
      const double x1 = -1.0 + 2.0 * j / (kGrid - 1);
      std::fprintf(inputs, "%.17g %.17g\n", x0, x1);
      std::fprintf(desired, "%.17g\n", 0.8 * x0 * x1);
    }
  }
  if (inputs != nullptr && std::fclose(inputs) != 0) ok = false;
  if (desired != nullptr && std::fclose(desired) != 0) ok = false;
  return ok;
}

// Every object of the network. The members are listed in the order in
// which the programs declare theirs (each forward object, then its backward
// twin, then the twin's gradient), so construction, registration and
// release all follow one order, and destruction runs in reverse.
struct Network {
  // Input layer: a plain axon that its data file fills.
  kq::Axon input;
  kq::BackAxon inputBackprop;
  kq::DataFile inputFile;
  // Hidden layer: the synapse into it, then the layer's tanh axon.
  kq::FullSynapse hiddenSynapse;
  kq::BackFullSynapse hiddenSynapseBackprop;
  kq::Momentum hiddenSynapseGradient;
  kq::TanhAxon hidden;
  kq::BackTanhAxon hiddenBackprop;
  kq::Momentum hiddenGradient;
  // Output layer, likewise.
  kq::FullSynapse outputSynapse;
  kq::BackFullSynapse outputSynapseBackprop;
  kq::Momentum outputSynapseGradient;
  kq::TanhAxon output;
  kq::BackTanhAxon outputBackprop;
  kq::Momentum outputGradient;
  // The squared-error criterion, its desired data and the cost writer.
  kq::L2Criterion criterion;
  kq::BackCriteriaControl criterionBackprop;
  kq::DataFile desiredFile;
  kq::DataFile costProbe;
  // The run control and its backward twin, which names the learning rule.
  kq::StaticControl control;
  kq::BackStaticControl controlBackprop;

  std::vector<kq::Engine*> objects() {
    return {&input,
            &inputBackprop,
            &inputFile,
            &hiddenSynapse,
            &hiddenSynapseBackprop,
            &hiddenSynapseGradient,
            &hidden,
            &hiddenBackprop,
            &hiddenGradient,
            &outputSynapse,
            &outputSynapseBackprop,
            &outputSynapseGradient,
            &output,
            &outputBackprop,
            &outputGradient,
            &criterion,
            &criterionBackprop,
            &desiredFile,
            &costProbe,
            &control,
            &controlBackprop};
  }
};

// The momentum rule of one trainable component. The accumulator gathers the
// gradient over a whole batch, so the step is divided by the batch size.
void setUpRule(kq::Momentum& gradient, double step) {
  gradient.setMomentum(0.7);
  gradient.setStepSize(step);
  gradient.setDivisor(kExemplars);
}

}  // namespace

int main() {
  if (!writeTrainingFiles()) {
    std::fprintf(stderr, "Could not write the training files.\n");
    return 1;
  }
  // A fixed seed: the weights are drawn when each component is sized, so
  // every run starts from the same point and gives the same costs.
  std::srand(1);

  Network n;
  kq::StaticControl& control = n.control;

  // 1. Sizes, rules and files, object by object. Each backward twin takes
  //    the size of its forward object; a synapse is sized by its two ends.
  n.input.setRows(kInputs);
  n.inputBackprop.setRows(kInputs);
  n.inputFile.setFileName(kInputName);
  n.inputFile.setMode(1, kq::kTextFile);  // read, text; opens the file now
  n.inputFile.setSize(kInputs, 1);
  setUpRule(n.hiddenSynapseGradient, 0.5);
  n.hidden.setRows(kHidden);
  n.hiddenBackprop.setRows(kHidden);
  setUpRule(n.hiddenGradient, 0.5);
  setUpRule(n.outputSynapseGradient, 0.5);
  n.output.setRows(kOutputs);
  n.outputBackprop.setRows(kOutputs);
  setUpRule(n.outputGradient, 0.5);
  n.criterion.setRows(kOutputs);
  n.criterionBackprop.setRows(kOutputs);
  n.desiredFile.setFileName(kDesiredName);
  n.desiredFile.setMode(1, kq::kTextFile);
  n.desiredFile.setSize(kOutputs, 1);
  // The cost probe appends one line per epoch to its file (the programs
  // send theirs to the standard output instead: kq::kStandardStreams).
  n.costProbe.setFileName(kCostName);
  n.costProbe.setMode(0, kq::kTextFile);
  n.costProbe.setSize(1, 1);
  // The learning method's name decides the control's learning mode when the
  // control is given its twin: "Momentum" is a first-order rule (mode 0),
  // in which every gradient updates its own component.
  n.controlBackprop.setLearningMethod("Momentum");

  // 2. Data accesses and twins: the input file feeds the input axon, the
  //    desired file and the cost writer hang on the criterion, and every
  //    backward object learns which forward object it mirrors.
  n.input.setInputAccess(&n.inputFile);
  n.inputBackprop.setDual(&n.input);
  n.hiddenSynapseBackprop.setDual(&n.hiddenSynapse);
  n.hiddenBackprop.setDual(&n.hidden);
  n.outputSynapseBackprop.setDual(&n.outputSynapse);
  n.outputBackprop.setDual(&n.output);
  n.criterion.setCostAccess(&n.costProbe);
  n.criterion.setDesiredAccess(&n.desiredFile);
  n.criterionBackprop.setDual(&n.criterion);

  // 3. Topology. Forward: input -> hiddenSynapse -> hidden -> outputSynapse
  //    -> output -> criterion. Backward, the mirror: criterionBackprop ->
  //    outputBackprop -> outputSynapseBackprop -> hiddenBackprop ->
  //    hiddenSynapseBackprop -> inputBackprop. An axon counts its inputs
  //    (connectInput) and fires its outputs (connectOutput); a synapse has
  //    one axon at each end.
  n.input.connectOutput(&n.hiddenSynapse);
  n.inputBackprop.connectInput(&n.hiddenSynapseBackprop);
  n.hiddenSynapse.connectInput(&n.input);
  n.hiddenSynapse.connectOutput(&n.hidden);
  n.hiddenSynapseBackprop.connectInput(&n.hiddenBackprop);
  n.hiddenSynapseBackprop.connectOutput(&n.inputBackprop);
  n.hidden.connectInput(&n.hiddenSynapse);
  n.hidden.connectOutput(&n.outputSynapse);
  n.hiddenBackprop.connectInput(&n.outputSynapseBackprop);
  n.hiddenBackprop.connectOutput(&n.hiddenSynapseBackprop);
  n.outputSynapse.connectInput(&n.hidden);
  n.outputSynapse.connectOutput(&n.output);
  n.outputSynapseBackprop.connectInput(&n.outputBackprop);
  n.outputSynapseBackprop.connectOutput(&n.hiddenBackprop);
  n.output.connectInput(&n.outputSynapse);
  n.output.connectOutput(&n.criterion);
  n.outputBackprop.connectInput(&n.criterionBackprop);
  n.outputBackprop.connectOutput(&n.outputSynapseBackprop);
  n.criterion.connectInput(&n.output);
  n.criterionBackprop.connectOutput(&n.outputBackprop);

  // 4. Gradients: each reads the accumulator of a backward twin and updates
  //    the weights of that twin's forward object. One step size for all of
  //    a component's weights.
  struct Trainable {
    kq::Momentum* gradient;
    kq::Soma* backprop;
    kq::Soma* forward;
  };
  const Trainable trainables[] = {
      {&n.hiddenSynapseGradient, &n.hiddenSynapseBackprop, &n.hiddenSynapse},
      {&n.hiddenGradient, &n.hiddenBackprop, &n.hidden},
      {&n.outputSynapseGradient, &n.outputSynapseBackprop, &n.outputSynapse},
      {&n.outputGradient, &n.outputBackprop, &n.output},
  };
  for (const Trainable& t : trainables) {
    t.gradient->setBackprop(t.backprop);
    t.gradient->forward = t.forward;
    t.gradient->setPerWeightStep(0);
  }

  // 5. Registration. attachBackControl derives the learning mode and empties
  //    the control's lists, so every other object registers after it; the
  //    control files each one by kind.
  control.attachBackControl(&n.controlBackprop);
  for (kq::Engine* object : n.objects()) {
    if (object == &control) continue;
    object->control = &control;
    object->registerWithControl();
  }

  // 6. The forward pass starts at the input axon; learning on. From here on
  //    the calls follow the driving order written at the top of
  //    control/control.h.
  control.clearRoots();
  control.addRoot(&n.input, 0);
  control.numberDepths();
  control.learning = 1;
  control.batchSize = kExemplars;
  control.prepareLearning();
  control.epochs = kEpochs;
  control.exemplarsPerEpoch = kExemplars;
  control.setEpoch(0);

  // 7. The run: one batch per epoch, each exemplar and each epoch end as
  //    control/control.h lays them out. The backward objects step their
  //    duals back to the frame computed for this exemplar, the backward
  //    network fires from the criterion's twin (there is no context twin to
  //    fire first), and the frames are restored; at the end of the batch
  //    every gradient applies its update. A first-order rule runs without
  //    learning globals, so the control's hooks (afterExemplar, endBatch,
  //    afterBatch, the end-of-epoch check) do nothing here; they keep the
  //    loop right for conjugate gradient and Levenberg-Marquardt, whose
  //    globals act in them.
  double firstCost = 0.0;
  double lastCost = 0.0;
  int batchCount = 0;
  while (control.epoch < control.epochs) {
    for (control.exemplar = 0; control.exemplar < control.exemplarsPerEpoch; ++control.exemplar) {
      control.fireRoots();
      n.inputBackprop.stepDualFrameBack();
      n.hiddenSynapseBackprop.stepDualFrameBack();
      n.hiddenBackprop.stepDualFrameBack();
      n.outputSynapseBackprop.stepDualFrameBack();
      n.outputBackprop.stepDualFrameBack();
      n.criterionBackprop.stepDualFrameBack();
      n.criterionBackprop.fire();
      n.inputBackprop.restoreDualFramePosition();
      n.hiddenSynapseBackprop.restoreDualFramePosition();
      n.hiddenBackprop.restoreDualFramePosition();
      n.outputSynapseBackprop.restoreDualFramePosition();
      n.outputBackprop.restoreDualFramePosition();
      n.criterionBackprop.restoreDualFramePosition();
      control.afterExemplar();
      if (++batchCount >= control.batchSize) {
        control.endBatch();
        for (const Trainable& t : trainables) t.gradient->applyUpdate(*t.forward);
        control.afterBatch();
        batchCount = 0;
      }
    }
    ++control.epoch;
    // Half the mean squared error of the epoch; the cost probe writes it.
    const double cost = n.criterion.computeCost(1, 1);
    n.criterion.holdBestCosts = 0;
    n.criterion.resetEpoch();
    control.checkBestCost();
    if (control.epoch == 1) firstCost = cost;
    lastCost = cost;
    if (control.epoch == 1 || control.epoch % 20 == 0) {
      std::printf("epoch %3d  cost %.6e\n", control.epoch, cost);
    }
  }

  // 8. Teardown, as the end of control/control.h's order: detach every
  //    object from the control, empty its lists and free every object's
  //    arrays. The destructors close the files.
  control.finishTraining();
  for (kq::Engine* object : n.objects()) {
    if (object != &control) object->control = nullptr;
  }
  control.finishTraining();
  control.clearComponentLists();
  for (kq::Engine* object : n.objects()) object->release();

  if (!(lastCost < 0.25 * firstCost)) {
    std::fprintf(stderr, "The cost did not fall.\n");
    return 1;
  }
  return 0;
}

#include "context_network/context_network.h"

#include <cstdio>

#include <kqnet/weightfile/indexed_weight_file.h>
#include <kqnet/weightfile/weight_file.h>

namespace context {

namespace {

// Every gradient: momentum 0.7, step 0.2, the step one of the batch's mean.
void setUpGradient(kq::Momentum& gradient, int exemplars) {
  gradient.setMomentum(0.7);
  gradient.setStepSize(0.2);
  gradient.setDivisor(exemplars);
}

}  // namespace

Network::Network(const Files& files, int exemplars, const DesiredRange& range) {
  // 1. Sizes, delays and files. The context axon holds one memory value
  //    per input element. Its memory weights w blend each new input x with
  //    the memory m as (1 - w) x + w m; drawn at 0.8 exactly (centre 0.8,
  //    range 0) they stay there, since no gradient updates them.
  input.setRows(kInputs);
  inputBackprop.setRows(kInputs);
  inputFile.setFileName(files.input);
  inputFile.setMode(1, kq::kTextFile);
  inputFile.setSize(kInputs, 1);
  hidden1.setRows(kHidden1);
  hidden1Backprop.setRows(kHidden1);
  hidden2.setRows(kHidden2);
  hidden2Backprop.setRows(kHidden2);
  output.setRows(kOutputs);
  outputBackprop.setRows(kOutputs);
  criterion.setRows(kOutputs);
  criterionBackprop.setRows(kOutputs);
  desiredFile.setFileName(files.desired);
  desiredFile.setMode(1, kq::kTextFile);
  desiredFile.setSize(kOutputs, 1);
  performanceProbe.setFileName(files.performance != nullptr ? files.performance : "");
  performanceProbe.setMode(0, kq::kTextFile);
  performanceProbe.setSize(kq::PerformanceRecord::kSize, 1);
  // Sizing the criterion set each output's desired range to 0 .. 0.1;
  // the normalised error divides by the mean range, so give the data's.
  for (int i = 0; i < kOutputs; ++i) {
    criterion.desiredMin[i] = range.min[i];
    criterion.desiredMax[i] = range.max[i];
  }
  contextAxon.setRows(kInputs);
  contextAxon.setRandomCentre(0.8);
  contextAxon.setRandomRange(0.0);
  contextAxonBackprop.setRows(kInputs);
  // One exemplar late: the synapse reads the context axon's activity of
  // the exemplar before, and its twin takes the delay from it (setDual).
  contextSynapse.setDelay(1);
  for (const Trainable& t : trainables()) setUpGradient(*t.gradient, exemplars);
  controlBackprop.setLearningMethod("Momentum");

  // 2. Data accesses and twins.
  input.setInputAccess(&inputFile);
  inputBackprop.setDual(&input);
  hidden1SynapseBackprop.setDual(&hidden1Synapse);
  hidden1Backprop.setDual(&hidden1);
  hidden2SynapseBackprop.setDual(&hidden2Synapse);
  hidden2Backprop.setDual(&hidden2);
  outputSynapseBackprop.setDual(&outputSynapse);
  outputBackprop.setDual(&output);
  criterion.setDesiredAccess(&desiredFile);
  criterion.setCostAccess(&costAccess);
  criterion.setPerformanceAccess(&performanceProbe);
  criterionBackprop.setDual(&criterion);
  contextAxonBackprop.setDual(&contextAxon);
  contextSynapseBackprop.setDual(&contextSynapse);

  // 3. Topology: each edge at both of its ends, the twins' edges the other
  //    way round. Forward: input -> hidden1Synapse -> hidden1 ->
  //    hidden2Synapse -> hidden2 -> outputSynapse -> output -> criterion,
  //    and input -> contextAxon -> contextSynapse -> hidden1.
  input.connectOutput(&hidden1Synapse);
  input.connectOutput(&contextAxon);
  inputBackprop.connectInput(&hidden1SynapseBackprop);
  inputBackprop.connectInput(&contextAxonBackprop);
  hidden1Synapse.connectInput(&input);
  hidden1Synapse.connectOutput(&hidden1);
  hidden1SynapseBackprop.connectInput(&hidden1Backprop);
  hidden1SynapseBackprop.connectOutput(&inputBackprop);
  hidden1.connectInput(&hidden1Synapse);
  hidden1.connectInput(&contextSynapse);
  hidden1.connectOutput(&hidden2Synapse);
  hidden1Backprop.connectInput(&hidden2SynapseBackprop);
  hidden1Backprop.connectOutput(&hidden1SynapseBackprop);
  hidden1Backprop.connectOutput(&contextSynapseBackprop);
  hidden2Synapse.connectInput(&hidden1);
  hidden2Synapse.connectOutput(&hidden2);
  hidden2SynapseBackprop.connectInput(&hidden2Backprop);
  hidden2SynapseBackprop.connectOutput(&hidden1Backprop);
  hidden2.connectInput(&hidden2Synapse);
  hidden2.connectOutput(&outputSynapse);
  hidden2Backprop.connectInput(&outputSynapseBackprop);
  hidden2Backprop.connectOutput(&hidden2SynapseBackprop);
  outputSynapse.connectInput(&hidden2);
  outputSynapse.connectOutput(&output);
  outputSynapseBackprop.connectInput(&outputBackprop);
  outputSynapseBackprop.connectOutput(&hidden2Backprop);
  output.connectInput(&outputSynapse);
  output.connectOutput(&criterion);
  outputBackprop.connectInput(&criterionBackprop);
  outputBackprop.connectOutput(&outputSynapseBackprop);
  criterion.connectInput(&output);
  criterionBackprop.connectOutput(&outputBackprop);
  // The memory. The input axon adds its activity into the context axon
  // (an axon feeding an axon) and fires it. The context synapse, delayed,
  // stays off the context axon's firing list; its twin off hidden1Backprop's.
  contextAxon.connectInput(&input);
  contextAxon.connectOutput(&contextSynapse);
  contextAxonBackprop.connectInput(&contextSynapseBackprop);
  contextAxonBackprop.connectOutput(&inputBackprop);
  contextSynapse.connectInput(&contextAxon);
  contextSynapse.connectOutput(&hidden1);
  contextSynapseBackprop.connectInput(&hidden1Backprop);
  contextSynapseBackprop.connectOutput(&contextAxonBackprop);

  // 4. Gradients, one per trainable component; the context axon has none.
  for (const Trainable& t : trainables()) {
    t.gradient->setBackprop(t.backprop);
    t.gradient->forward = t.forward;
    t.gradient->setPerWeightStep(0);
  }

  // 5. Registration, after attachBackControl.
  control.attachBackControl(&controlBackprop);
  for (kq::Engine* object : objects()) {
    if (object == &control) continue;
    object->control = &control;
    object->registerWithControl();
  }

  // 6. Roots: the delayed context synapse first, so that it carries the
  //    memory of the exemplars before this one into hidden1 (fired after
  //    the input axon, it would carry this exemplar's too); then the input
  //    axon, whose chain completes hidden1's two arrivals.
  control.clearRoots();
  control.addRoot(&contextSynapse, 1);
  control.addRoot(&input, 0);
  control.numberDepths();
  control.exemplarsPerEpoch = exemplars;
  control.batchSize = exemplars;
}

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
  std::fprintf(file, "#%s %d\n", kq::kWeightFileVersionKey, int{kq::kNewestWeightFileVersion});
  for (const Section& s : sections()) {
    std::fprintf(file, "#%s %s\n", s.key, s.classWord);
    // blankLine 0: no empty line after the record; the readers skip white
    // space, so either way reads back the same.
    if (s.soma != nullptr) {
      s.soma->writeWeights(file, 0);
    } else {
      s.gradient->writeWeights(file);
    }
  }
  const bool written = std::ferror(file) == 0;
  return std::fclose(file) == 0 && written;
}

bool Network::load(const char* fileName) {
  kq::WeightFile file;
  if (!file.open(fileName)) return false;
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

double Network::runEpoch() {
  for (control.exemplar = 0; control.exemplar < control.exemplarsPerEpoch; ++control.exemplar) {
    control.fireRoots();
    if (control.learning != 0) backwardPass();
  }
  ++control.epoch;
  const double cost = criterion.computeCost(1, 1);
  criterion.holdBestCosts = 0;
  criterion.resetEpoch();
  control.checkBestCost();
  return cost;
}

void Network::finishRun() { control.finishTraining(); }

// Every twin steps its dual back to this exemplar's frame; the context
// synapse's twin, delayed as its dual is, carries hidden1's error of the
// last backward pass into the context axon's twin; the criterion's twin
// starts this exemplar's backward pass; every dual returns to its frame.
void Network::backwardPass() {
  inputBackprop.stepDualFrameBack();
  hidden1SynapseBackprop.stepDualFrameBack();
  hidden1Backprop.stepDualFrameBack();
  hidden2SynapseBackprop.stepDualFrameBack();
  hidden2Backprop.stepDualFrameBack();
  outputSynapseBackprop.stepDualFrameBack();
  outputBackprop.stepDualFrameBack();
  criterionBackprop.stepDualFrameBack();
  contextAxonBackprop.stepDualFrameBack();
  contextSynapseBackprop.stepDualFrameBack();
  contextSynapseBackprop.fire();
  criterionBackprop.fire();
  inputBackprop.restoreDualFramePosition();
  hidden1SynapseBackprop.restoreDualFramePosition();
  hidden1Backprop.restoreDualFramePosition();
  hidden2SynapseBackprop.restoreDualFramePosition();
  hidden2Backprop.restoreDualFramePosition();
  outputSynapseBackprop.restoreDualFramePosition();
  outputBackprop.restoreDualFramePosition();
  criterionBackprop.restoreDualFramePosition();
  contextAxonBackprop.restoreDualFramePosition();
  contextSynapseBackprop.restoreDualFramePosition();
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
          &hidden1Synapse,
          &hidden1SynapseBackprop,
          &hidden1SynapseGradient,
          &hidden1,
          &hidden1Backprop,
          &hidden1Gradient,
          &hidden2Synapse,
          &hidden2SynapseBackprop,
          &hidden2SynapseGradient,
          &hidden2,
          &hidden2Backprop,
          &hidden2Gradient,
          &outputSynapse,
          &outputSynapseBackprop,
          &outputSynapseGradient,
          &output,
          &outputBackprop,
          &outputGradient,
          &criterion,
          &criterionBackprop,
          &desiredFile,
          &costAccess,
          &performanceProbe,
          &contextAxon,
          &contextAxonBackprop,
          &contextSynapse,
          &contextSynapseBackprop,
          &contextSynapseGradient,
          &control,
          &controlBackprop};
}

std::vector<Network::Trainable> Network::trainables() {
  return {
      {&hidden1SynapseGradient, &hidden1SynapseBackprop, &hidden1Synapse},
      {&hidden1Gradient, &hidden1Backprop, &hidden1},
      {&hidden2SynapseGradient, &hidden2SynapseBackprop, &hidden2Synapse},
      {&hidden2Gradient, &hidden2Backprop, &hidden2},
      {&outputSynapseGradient, &outputSynapseBackprop, &outputSynapse},
      {&outputGradient, &outputBackprop, &output},
      {&contextSynapseGradient, &contextSynapseBackprop, &contextSynapse},
  };
}

// Beside small_network/'s sections: the context axon's (its memory weights
// and its memory frame, the average it carries into the next exemplar) and
// the context synapse's (its weights and the delayed activity it reads,
// the same average). The twins need none, as in small_network/; the four
// programs' files carry the context twins' sections too, whose state is
// the error of the last backward step.
std::vector<Network::Section> Network::sections() {
  return {
      {"hidden1", "TanhAxon", &hidden1, nullptr},
      {"hidden2", "TanhAxon", &hidden2, nullptr},
      {"output", "TanhAxon", &output, nullptr},
      {"criterion", "L2Criterion", &criterion, nullptr},
      {"contextAxon", "IntegratorAxon", &contextAxon, nullptr},
      {"hidden1Synapse", "FullSynapse", &hidden1Synapse, nullptr},
      {"hidden2Synapse", "FullSynapse", &hidden2Synapse, nullptr},
      {"outputSynapse", "FullSynapse", &outputSynapse, nullptr},
      {"contextSynapse", "FullSynapse", &contextSynapse, nullptr},
      {"hidden1SynapseGradient", "Momentum", nullptr, &hidden1SynapseGradient},
      {"hidden1Gradient", "Momentum", nullptr, &hidden1Gradient},
      {"hidden2SynapseGradient", "Momentum", nullptr, &hidden2SynapseGradient},
      {"hidden2Gradient", "Momentum", nullptr, &hidden2Gradient},
      {"outputSynapseGradient", "Momentum", nullptr, &outputSynapseGradient},
      {"outputGradient", "Momentum", nullptr, &outputGradient},
      {"contextSynapseGradient", "Momentum", nullptr, &contextSynapseGradient},
  };
}

}  // namespace context

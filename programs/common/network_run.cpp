#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#if __has_include(<fcntl.h>) && __has_include(<unistd.h>)
#include <fcntl.h>
#include <unistd.h>
#define KQ_HAVE_STANDARD_DESCRIPTORS 1
#endif

#include "common/network_program.h"
#include <kqnet/core/claimed_array.h>
#include <kqnet/core/costs.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/messages.h>
#include <kqnet/learning/learning_globals.h>
#include <kqnet/weightfile/indexed_weight_file.h>

// The run that every network program shares. Each phase visits the objects
// in object order (the order of Network's members); only the weight-file
// sections follow an order of their own. The order of the calls is part of
// the result: it fixes which frame each component reads, the order in which
// every floating-point sum adds its terms and the random draws each weight
// takes, so another order would change the probes' numbers.

namespace kq::programs {

namespace {

// The program's own items beside the network objects. Kept at namespace
// scope so that a fatal exit during loading leaves nothing unreachable.
ClaimedArray<double> percentErrorBase;  // lent to the criterion; freed at teardown
// Set from the weight file before any section is read.
KqWeightFileVersion weightFileVersion = kNewestWeightFileVersion;
int pendingBackprop = 0;  // non-zero: the next exemplar runs the backward pass
// The weight file, open only while its sections are read.
WeightFile weightFile;

constexpr double kDerivativeOffset = 0.001;
constexpr double kContextCentre = 0.8;
constexpr int kContextRows = 8;
constexpr int kHidden1Delay = 2;
constexpr int kContextSynapseDelay = 1;
constexpr double kRocLow = -0.9;
constexpr double kRocHigh = 0.9;
constexpr double kPercentErrorBase = -0.9;

std::string backpropKey(const char* key) { return std::string(key) + "Backprop"; }
std::string gradientKey(const char* key) { return backpropKey(key) + "Gradient"; }

bool hasContext(const NetworkView& n) { return n.context.axon != nullptr; }

// Layer 0 is the input layer, layer k the k-th of the view's layers.
Axon* layerAxon(const NetworkView& n, int layer) {
  return layer == 0 ? n.inputAxon : n.layers[static_cast<size_t>(layer - 1)].axon;
}
BackAxon* layerAxonBackprop(const NetworkView& n, int layer) {
  return layer == 0 ? static_cast<BackAxon*>(n.inputAxonBackprop)
                    : n.layers[static_cast<size_t>(layer - 1)].axonBackprop;
}

void setUpRule(Gradient& gradient, const NetworkValues& values, double step) {
  if (!values.ruleSetup) return;
  gradient.setMomentum(values.momentum);
  gradient.setStepSize(step);
  gradient.setDivisor(values.divisor);
}

// Every object in object order, for registration, detaching and release.
std::vector<Engine*> objectOrder(const NetworkView& n) {
  std::vector<Engine*> order = {n.inputAxon, n.inputAxonBackprop, n.inputFile};
  for (const LayerView& l : n.layers) {
    order.insert(order.end(), {l.synapse, l.synapseBackprop, l.synapseGradient, l.axon,
                               l.axonBackprop, l.axonGradient});
  }
  order.insert(order.end(),
               {n.activeOutputProbe, n.criterion, n.criterionBackprop, n.desiredFile,
                n.activeDesiredProbe, n.activeCostProbe, n.costTransmitter,
                n.activePerformanceProbe, n.activeROCProbe, n.activeConfusionMatrixProbe});
  if (hasContext(n)) {
    const ContextView& c = n.context;
    order.insert(order.end(),
                 {c.axon, c.axonBackprop, c.synapse, c.synapseBackprop, c.synapseGradient});
  }
  order.insert(order.end(), {n.control, n.controlBackprop});
  for (const SkipView& s : n.skips) {
    order.insert(order.end(), {s.synapse, s.synapseBackprop, s.synapseGradient});
  }
  return order;
}

// Gradients in gradient order (object order), each with its backward twin.
struct GradientEntry {
  Gradient* gradient;
  Soma* backprop;
  Soma* forward;
};

std::vector<GradientEntry> gradientOrder(const NetworkView& n) {
  std::vector<GradientEntry> order;
  for (const LayerView& l : n.layers) {
    order.push_back({l.synapseGradient, l.synapseBackprop, l.synapse});
    order.push_back({l.axonGradient, l.axonBackprop, l.axon});
  }
  if (hasContext(n)) {
    order.push_back({n.context.synapseGradient, n.context.synapseBackprop, n.context.synapse});
  }
  for (const SkipView& s : n.skips)
    order.push_back({s.synapseGradient, s.synapseBackprop, s.synapse});
  return order;
}

// The backward objects whose duals step back for a backward pass.
struct BackwardEntry {
  BackAxon* axon = nullptr;
  BackSynapse* synapse = nullptr;
};

std::vector<BackwardEntry> backwardOrder(const NetworkView& n) {
  std::vector<BackwardEntry> order = {{n.inputAxonBackprop, nullptr}};
  for (const LayerView& l : n.layers) {
    order.push_back({nullptr, l.synapseBackprop});
    order.push_back({l.axonBackprop, nullptr});
  }
  order.push_back({n.criterionBackprop, nullptr});
  if (hasContext(n)) {
    order.push_back({n.context.axonBackprop, nullptr});
    order.push_back({nullptr, n.context.synapseBackprop});
  }
  for (const SkipView& s : n.skips) order.push_back({nullptr, s.synapseBackprop});
  return order;
}

std::vector<SpatialData*> writers(const NetworkView& n) {
  return {n.activeOutputProbe,         n.activeDesiredProbe,     n.activeCostProbe,
          n.costTransmitter,           n.activePerformanceProbe, n.activeROCProbe,
          n.activeConfusionMatrixProbe};
}

void setWritersActive(const NetworkView& n, uint32_t on) {
  for (SpatialData* w : writers(n)) w->active = on;
}

void openData(DataFile& file, const char* name, int reading, int rows, int columns) {
  if (name != nullptr) file.setFileName(name);
  file.setMode(reading, name != nullptr ? kTextFile : kStandardStreams);
  file.setSize(rows, columns);
}

void configureInput(const NetworkView& n, const NetworkValues& values) {
  n.inputAxon->setRows(values.inputRows);
  n.inputAxonBackprop->setRows(values.inputRows);
  openData(*n.inputFile, "inputFile.asc", 1, values.inputRows, 1);
}

void configureLayers(const NetworkView& n, const NetworkValues& values) {
  for (size_t k = 0; k < n.layers.size(); ++k) {
    const LayerView& l = n.layers[k];
    const LayerEntry& layer = values.layers[k];
    setUpRule(*l.synapseGradient, values, layer.synapseStep);
    l.axon->setRows(layer.rows);
    if (hasContext(n) && k == 0) l.axon->setDelay(kHidden1Delay);
    l.axonBackprop->derivativeOffset = kDerivativeOffset;
    l.axonBackprop->setRows(layer.rows);
    if (hasContext(n) && k == 0) l.axonBackprop->setDelay(kHidden1Delay);
    setUpRule(*l.axonGradient, values, layer.axonStep);
  }
}

void configureCriterion(const NetworkView& n, const NetworkValues& values, int outputs) {
  L2Criterion& criterion = *n.criterion;
  criterion.rocLow = kRocLow;
  criterion.rocHigh = kRocHigh;
  percentErrorBase.assign(static_cast<size_t>(std::max(outputs, 0)), kPercentErrorBase);
  // The criterion keeps the length beside the lent pointer.
  criterion.setPercentErrorReference(percentErrorBase.data(), outputs);
  criterion.freeParameterCount = values.freeParameterCount;
  criterion.setRows(outputs);
  n.criterionBackprop->setRows(outputs);
}

// The desired file, the probes after the criterion and the cost transmitter.
void configureDesiredAndProbes(const NetworkView& n, int outputs) {
  openData(*n.desiredFile, "desiredFile.asc", 1, outputs, 1);
  openData(*n.activeDesiredProbe, "activeDesiredProbe.asc", 0, outputs, 1);
  openData(*n.activeCostProbe, nullptr, 0, 1, 1);
  n.costTransmitter->setThreshold(0.01);
  n.costTransmitter->setTriggerMode(kTriggerAny);
  n.costTransmitter->setTriggerSense(1);
  n.costTransmitter->setSmoothingBuffer(nullptr);
  openData(*n.activePerformanceProbe, "activePerformanceProbe.asc", 0, PerformanceRecord::kSize, 1);
  // The criterion re-binds it to its own 100 x 3 table.
  openData(*n.activeROCProbe, "activeROCProbe.asc", 0, 37, 3);
  openData(*n.activeConfusionMatrixProbe, "activeConfusionMatrixProbe.asc", 0, outputs, outputs);
}

void configureContext(const ContextView& c, const NetworkValues& values) {
  c.axon->setRows(kContextRows);
  c.axon->setDelay(kHidden1Delay);
  // Each call re-randomises, so the weights end exactly at the centre.
  c.axon->setRandomCentre(kContextCentre);
  c.axon->setRandomRange(0.0);
  c.axonBackprop->derivativeOffset = 0.0;
  c.axonBackprop->setRows(kContextRows);
  c.axonBackprop->setDelay(kHidden1Delay);
  c.synapse->setDelay(kContextSynapseDelay);
  c.synapseBackprop->setDelay(kContextSynapseDelay);
  setUpRule(*c.synapseGradient, values, values.contextStep);
}

void configureControl(const NetworkView& n, const NetworkValues& values) {
  StaticControl& control = *n.control;
  control.bestCost = kNoBestCost;
  control.earlyStopArmed = 0;
  control.patience = 100;
  control.passesPerEpoch = 1;
  control.bestEpoch = 0;
  control.setLearningMode(values.learningMode);
  control.trainingFlag = 0;
  control.createLearningGlobals();
  control.leastSquaresEnabled = 0;
  control.leastSquaresPending = 0;
  control.setInitialDamping(0.01);
  control.regularisationAlpha = 0.001;
  control.weightDecay = 0;
  control.keepRegularisationBeta = 0;

  n.controlBackprop->setLearningMethod(values.learningMethod);
}

// Configuration: sizes, files, criterion, context, control.
void configure(const NetworkView& n, const NetworkValues& values) {
  const int outputs = values.layers.back().rows;
  configureInput(n, values);
  configureLayers(n, values);
  openData(*n.activeOutputProbe, "activeOutputProbe.asc", 0, outputs, 1);
  configureCriterion(n, values, outputs);
  configureDesiredAndProbes(n, outputs);
  if (hasContext(n)) configureContext(n.context, values);
  configureControl(n, values);
  for (size_t i = 0; i < n.skips.size(); ++i) {
    setUpRule(*n.skips[i].synapseGradient, values, values.skips[i].step);
  }
}

// Accesses and twins: data accesses and backward twins.
void attachAccesses(const NetworkView& n) {
  n.inputAxon->setInputAccess(n.inputFile);
  n.inputAxonBackprop->setDual(n.inputAxon);
  n.inputFile->normalizationOn = 1;
  for (size_t k = 0; k < n.layers.size(); ++k) {
    const LayerView& l = n.layers[k];
    l.synapseBackprop->setDual(l.synapse);
    if (k + 1 == n.layers.size()) {
      l.axon->setOutputAccess(n.activeOutputProbe);
      l.axonBackprop->setDual(l.axon);
      n.activeOutputProbe->normalizationOn = 1;
    } else {
      l.axonBackprop->setDual(l.axon);
    }
  }
  L2Criterion& criterion = *n.criterion;
  criterion.setPerformanceAccess(n.activePerformanceProbe);
  criterion.setCostAccess(n.activeCostProbe);
  criterion.setDesiredAccess(n.desiredFile);
  criterion.setRocAccess(n.activeROCProbe);
  criterion.setConfusionAccess(n.activeConfusionMatrixProbe);
  n.criterionBackprop->setDual(n.criterion);
  n.desiredFile->setNext(n.activeDesiredProbe);
  n.desiredFile->normalizationOn = 1;
  n.activeDesiredProbe->normalizationOn = 1;
  n.activeCostProbe->setNext(n.costTransmitter);
  if (hasContext(n)) {
    n.context.axonBackprop->setDual(n.context.axon);
    n.context.synapseBackprop->setDual(n.context.synapse);
  }
  for (const SkipView& s : n.skips) s.synapseBackprop->setDual(s.synapse);
}

// Calls call(skip) for each skip group leaving the layer, in object order.
template <typename Call>
void forSkipsFrom(const NetworkView& n, const NetworkValues& values, int layer, Call call) {
  for (size_t i = 0; i < n.skips.size(); ++i) {
    if (values.skips[i].source == layer) call(n.skips[i]);
  }
}

// Calls call(skip) for each skip group entering the layer, in object order.
template <typename Call>
void forSkipsInto(const NetworkView& n, const NetworkValues& values, int layer, Call call) {
  for (size_t i = 0; i < n.skips.size(); ++i) {
    if (values.skips[i].target == layer) call(n.skips[i]);
  }
}

// The input axon's outputs and its twin's inputs.
void connectInputLayer(const NetworkView& n, const NetworkValues& values) {
  n.inputAxon->connectOutput(n.layers[0].synapse);
  forSkipsFrom(n, values, 0, [&](const SkipView& s) { n.inputAxon->connectOutput(s.synapse); });
  if (hasContext(n)) n.inputAxon->connectOutput(n.context.axon);
  n.inputAxonBackprop->connectInput(n.layers[0].synapseBackprop);
  forSkipsFrom(n, values, 0,
               [&](const SkipView& s) { n.inputAxonBackprop->connectInput(s.synapseBackprop); });
  if (hasContext(n)) n.inputAxonBackprop->connectInput(n.context.axonBackprop);
}

// Layer 1..layerCount: its chain synapse from the layer before, its axon
// into the next chain synapse (the criterion after the last layer), and
// the skips and context that join it; then the twins the other way round.
void connectLayer(const NetworkView& n, const NetworkValues& values, int layer) {
  const int layerCount = static_cast<int>(n.layers.size());
  const LayerView& l = n.layers[static_cast<size_t>(layer - 1)];
  const bool last = layer == layerCount;
  Soma* next =
      last ? static_cast<Soma*>(n.criterion) : n.layers[static_cast<size_t>(layer)].synapse;
  Soma* nextBackprop = last ? static_cast<Soma*>(n.criterionBackprop)
                            : n.layers[static_cast<size_t>(layer)].synapseBackprop;
  Axon* before = layerAxon(n, layer - 1);
  BackAxon* beforeBackprop = layerAxonBackprop(n, layer - 1);

  l.synapse->connectInput(before);
  l.synapse->connectOutput(l.axon);
  l.synapseBackprop->connectInput(l.axonBackprop);
  l.synapseBackprop->connectOutput(beforeBackprop);

  l.axon->connectInput(l.synapse);
  forSkipsInto(n, values, layer, [&](const SkipView& s) { l.axon->connectInput(s.synapse); });
  if (hasContext(n) && layer == 1) l.axon->connectInput(n.context.synapse);
  l.axon->connectOutput(next);
  forSkipsFrom(n, values, layer, [&](const SkipView& s) { l.axon->connectOutput(s.synapse); });

  l.axonBackprop->connectInput(nextBackprop);
  forSkipsFrom(n, values, layer,
               [&](const SkipView& s) { l.axonBackprop->connectInput(s.synapseBackprop); });
  l.axonBackprop->connectOutput(l.synapseBackprop);
  forSkipsInto(n, values, layer,
               [&](const SkipView& s) { l.axonBackprop->connectOutput(s.synapseBackprop); });
  if (hasContext(n) && layer == 1) l.axonBackprop->connectOutput(n.context.synapseBackprop);
}

// The context memory between the input layer and the first layer.
void connectContext(const NetworkView& n) {
  const ContextView& c = n.context;
  c.axon->connectInput(n.inputAxon);
  c.axon->connectOutput(c.synapse);
  c.axonBackprop->connectInput(c.synapseBackprop);
  c.axonBackprop->connectOutput(n.inputAxonBackprop);
  c.synapse->connectInput(c.axon);
  c.synapse->connectOutput(n.layers[0].axon);
  c.synapseBackprop->connectInput(n.layers[0].axonBackprop);
  c.synapseBackprop->connectOutput(c.axonBackprop);
}

// Each skip synapse's own ends (the axons' ends were attached with their layers).
void connectSkips(const NetworkView& n, const NetworkValues& values) {
  for (size_t i = 0; i < n.skips.size(); ++i) {
    const SkipView& s = n.skips[i];
    const SkipEntry& skip = values.skips[i];
    s.synapse->connectInput(layerAxon(n, skip.source));
    s.synapse->connectOutput(layerAxon(n, skip.target));
    s.synapseBackprop->connectInput(layerAxonBackprop(n, skip.target));
    s.synapseBackprop->connectOutput(layerAxonBackprop(n, skip.source));
  }
}

// Topology: the forward and backward graphs. The order of connectOutput on
// one axon fixes its firing order (the last attached fires first).
void connect(const NetworkView& n, const NetworkValues& values) {
  connectInputLayer(n, values);
  for (int layer = 1; layer <= static_cast<int>(n.layers.size()); ++layer) {
    connectLayer(n, values, layer);
  }
  n.criterion->connectInput(n.layers.back().axon);
  n.criterionBackprop->connectOutput(n.layers.back().axonBackprop);
  if (hasContext(n)) connectContext(n);
  connectSkips(n, values);
}

// Gradients, registration and the preparation before loading.
void registerAll(const NetworkView& n, const NetworkValues& values) {
  for (const GradientEntry& g : gradientOrder(n)) {
    g.gradient->setBackprop(g.backprop);
    g.gradient->forward = g.forward;
    if (values.ruleSetup) g.gradient->setPerWeightStep(0);
  }

  StaticControl& control = *n.control;
  control.attachBackControl(n.controlBackprop);

  for (Engine* object : objectOrder(n)) {
    if (object == &control) continue;
    object->control = &control;
    object->registerWithControl();
  }

  control.setLearning(0);
  control.earlyStopOn = 0;
  control.clearRoots();
  if (hasContext(n)) control.addRoot(n.context.synapse, 1);
  control.addRoot(n.inputAxon, 0);
  control.numberDepths();
  control.leastSquaresInit();
  if (values.learningMode == kConjugateGradientMode && control.learningGlobals) {
    control.learningGlobals->passDone = 0;
  }
  if (control.passesPerEpoch > 1) setWritersActive(n, control.learning == 0 ? 1 : 0);
  n.criterion->countTrainableWeights();
}

// Loading: the weight file, section by section in its own fixed order.
void loadWeights(const NetworkView& n, const NetworkValues& values) {
  if (!weightFile.open(values.weightFileName)) {
    fatalf(messages::kCouldNotOpenWeightFile, values.weightFileName);
  }
  weightFileVersion = weightFile.version();
  const KqWeightFileVersion v = weightFileVersion;

  auto section = [&](const char* classWord, const std::string& key) {
    return weightFile.section(classWord, key.c_str());
  };
  n.inputFile->readNormalization(section("File", "inputFile"), v);
  n.desiredFile->readNormalization(section("File", "desiredFile"), v);
  n.activeOutputProbe->readNormalization(section("DataWriter", "activeOutputProbe"), v);
  n.activeDesiredProbe->readNormalization(section("DataWriter", "activeDesiredProbe"), v);
  n.inputAxon->readWeights(section("Axon", "inputAxon"), v);
  for (size_t k = 0; k < n.layers.size(); ++k) {
    n.layers[k].axon->readWeights(section("TanhAxon", values.layers[k].axonKey), v);
  }
  n.criterion->readWeights(section("L2Criterion", "criterion"), v);
  if (hasContext(n)) {
    n.context.axon->readWeights(section("IntegratorAxon", "contextAxon"), v);
    n.context.axonBackprop->readWeights(section("BackIntegratorAxon", "contextAxonBackprop"), v);
  }
  auto synapsePair = [&](Synapse* synapse, BackSynapse* backprop, const char* key) {
    synapse->readWeights(section("FullSynapse", key), v);
    backprop->readWeights(section("BackFullSynapse", backpropKey(key)), v);
  };
  for (size_t k = 0; k < n.layers.size(); ++k) {
    synapsePair(n.layers[k].synapse, n.layers[k].synapseBackprop, values.layers[k].synapseKey);
  }
  if (hasContext(n)) synapsePair(n.context.synapse, n.context.synapseBackprop, "contextSynapse");
  for (size_t i = 0; i < n.skips.size(); ++i) {
    synapsePair(n.skips[i].synapse, n.skips[i].synapseBackprop, values.skips[i].key);
  }
  auto readGradient = [&](Gradient* gradient, const std::string& key) {
    gradient->readWeights(section(gradient->className(), key), v);
  };
  for (size_t k = 0; k < n.layers.size(); ++k) {
    readGradient(n.layers[k].synapseGradient, gradientKey(values.layers[k].synapseKey));
    readGradient(n.layers[k].axonGradient, gradientKey(values.layers[k].axonKey));
  }
  if (hasContext(n)) readGradient(n.context.synapseGradient, gradientKey("contextSynapse"));
  for (size_t i = 0; i < n.skips.size(); ++i) {
    readGradient(n.skips[i].synapseGradient, gradientKey(values.skips[i].key));
  }
  n.control->readLearningState(section("StaticControl", "control"), v);
  weightFile.close();
}

// The run: the epochs, passes and exemplars, driven through the control in
// the order written at the top of control/control.h.
class EpochLoop {
 public:
  EpochLoop(const NetworkView& network, const NetworkValues& programValues)
      : n(network),
        values(programValues),
        control(*network.control),
        criterion(*network.criterion),
        batchSize(programValues.exemplarsPerEpoch),
        conjugateGradient(programValues.learningMode == kConjugateGradientMode),
        backward(backwardOrder(network)),
        gradients(gradientOrder(network)) {}

  void run() {
    prepare();
    while (control.epoch < control.epochs) {
      if (!runPasses()) break;
      endEpoch();
      if (control.stopRequested != 0) break;
    }
  }

 private:
  void prepare() {
    control.learning = 0;
    control.batchSize = batchSize;
    control.prepareLearning();
    control.warmUpEpochs = 0;
    control.epochs = 1;
    control.exemplarsPerEpoch = values.exemplarsPerEpoch;
    control.setEpoch(0);
  }

  // The epoch's passes; false when the control asked to stop.
  bool runPasses() {
    const int passes = control.learning != 0 ? control.passesPerEpoch : 1;
    control.pass = 0;
    while (control.pass < passes) {
      if (!runExemplars()) return false;
      if (++control.pass >= passes) break;
      betweenPasses();
    }
    return true;
  }

  // One pass over the exemplars; false when the control asked to stop.
  bool runExemplars() {
    control.exemplar = 0;
    while (control.exemplar < control.exemplarsPerEpoch) {
      control.fireRoots();
      if (control.learning != 0 || pendingBackprop != 0) learnFromExemplar();
      if (control.stopRequested != 0) {
        criterion.computeCost(1, 1);
        return false;
      }
      ++control.exemplar;
    }
    return true;
  }

  void learnFromExemplar() {
    backwardPass();
    control.afterExemplar();
    if (++batchCount >= batchSize) endBatch();
    pendingBackprop = 0;
  }

  // Each dual steps back to the frame of this exemplar, the backward roots
  // fire, and each dual returns to its saved frame.
  void backwardPass() {
    for (const BackwardEntry& b : backward) {
      if (b.axon != nullptr)
        b.axon->stepDualFrameBack();
      else
        b.synapse->stepDualFrameBack();
    }
    if (hasContext(n)) n.context.synapseBackprop->fire();
    n.criterionBackprop->fire();
    for (const BackwardEntry& b : backward) {
      if (b.axon != nullptr)
        b.axon->restoreDualFramePosition();
      else
        b.synapse->restoreDualFramePosition();
    }
  }

  void endBatch() {
    control.endBatch();
    for (const GradientEntry& g : gradients) g.gradient->applyUpdate(*g.gradient->forward);
    control.afterBatch();
    batchCount = 0;
  }

  void betweenPasses() {
    if (conjugateGradient) {
      criterion.clearMeasureAccumulators(control.pass);
      criterion.computeCost(0, 1);
    }
    if (control.passesPerEpoch > 1) {
      control.afterPass(control.pass);
      setWritersActive(n, 1);
    }
  }

  void endEpoch() {
    ++control.epoch;
    criterion.computeCost(1, 1);
    criterion.holdBestCosts = 0;
    criterion.resetEpoch();
    control.checkBestCost();
    if (control.passesPerEpoch > 1 && control.learning != 0) setWritersActive(n, 0);
  }

  const NetworkView& n;
  const NetworkValues& values;
  StaticControl& control;
  L2Criterion& criterion;
  const int batchSize;                         // exemplars per batch: every exemplar of a pass
  const bool conjugateGradient;                // between passes, the criterion's CG calls
  const std::vector<BackwardEntry> backward;   // the duals to step back, in object order
  const std::vector<GradientEntry> gradients;  // updated at each batch's end, in object order
  int batchCount = 0;                          // exemplars learnt from since the last batch end
};

void run(const NetworkView& n, const NetworkValues& values) { EpochLoop(n, values).run(); }

// Teardown: detach, empty the lists, release.
void tearDown(const NetworkView& n) {
  StaticControl& control = *n.control;
  const std::vector<Engine*> order = objectOrder(n);
  control.finishTraining();
  size_t i = 0;
  for (; order[i] != &control; ++i) order[i]->control = nullptr;
  control.finishTraining();
  control.clearComponentLists();
  for (; i < order.size(); ++i) order[i]->control = nullptr;
  percentErrorBase.release();
  for (Engine* object : order) object->release();
}

// Started with a standard descriptor closed, the run's first files would
// take its number: the cost line would go into a probe, a fatal message
// into another. Each closed one is held by the null device, opened against
// its stream's direction, so that using the stream still fails as on the
// closed descriptor (EBADF) while no file can take its place. Should the
// null device not open, the run goes on as it would have.
void holdClosedStandardDescriptors() {
#ifdef KQ_HAVE_STANDARD_DESCRIPTORS
  const int against[] = {O_WRONLY, O_RDONLY, O_RDONLY};
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = open("/dev/null", against[fd]);
    if (held < 0 || held == fd) continue;
    // A lower descriptor that could not be held took the number.
    dup2(held, fd);
    close(held);
  }
#endif
}

}  // namespace

void setUpNetwork(const NetworkView& network, const NetworkValues& values) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  configure(network, values);
  attachAccesses(network);
  connect(network, values);
  registerAll(network, values);
}

void loadNetworkWeights(const NetworkView& network, const NetworkValues& values) {
  loadWeights(network, values);
}

void runEpochs(const NetworkView& network, const NetworkValues& values) { run(network, values); }

void tearDownNetwork(const NetworkView& network) { tearDown(network); }

int runNetwork(const NetworkView& network, const NetworkValues& values) {
  // Before any file is opened.
  holdClosedStandardDescriptors();
  setUpNetwork(network, values);
  loadNetworkWeights(network, values);
  runEpochs(network, values);
  tearDownNetwork(network);
  return 0;
}

}  // namespace kq::programs

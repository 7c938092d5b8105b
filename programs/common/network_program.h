#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include <kqnet/axons/axon.h>
#include <kqnet/axons/context_axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/backward/back_context_axon.h>
#include <kqnet/backward/back_criteria_control.h>
#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/back_static_control.h>
#include <kqnet/control/control.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/data/data_file.h>
#include <kqnet/data/transmitter.h>
#include <kqnet/learning/gradient.h>
#include <kqnet/synapses/synapse.h>

// The shared run of every network program.
//
// How a program uses it. A program's source holds only its declarations:
//
//   constexpr kq::programs::LayerEntry kLayers[] = {
//       {"hidden1Synapse", "hidden1Axon", 50},  // hidden layers in order,
//       ...
//       {"outputSynapse", "outputAxon", 6},     // the output layer last
//   };
//   constexpr kq::programs::NetworkValues kValues = {
//       .weightFileName = "Orvane.kqw", .layers = kLayers, ...};
//   // Every object of the network, constructed in object order before main
//   // and destroyed in reverse order at exit (controlBackprop never).
//   kq::programs::Network<kq::ConjugateGradient, 9, true> network;
//   int main() { return kq::programs::runNetwork(network, kValues); }
//
// Network<G, LayerCount, HasContext, SkipCount> is one global whose members
// are the objects in object order: the input group, LayerCount layer groups
// (synapse, twin, gradient, axon, twin, gradient; the hidden layers, then the
// output layer), the output group, the context group when HasContext, the
// control, controlBackprop (a heap object that is never destroyed) and
// SkipCount skip groups (synapse, twin, gradient). G is the gradient class
// (ConjugateGradient or Momentum).
//
// Keys: the program gives each layer's synapse and axon key; a twin's key is
// its forward key + "Backprop", a gradient's the twin's key + "Gradient".
// The context keys are fixed ("contextAxon", "contextSynapse"). Skip groups
// carry their key and their source and target layers (0 = input layer,
// 1..LayerCount = the layers of kLayers in order).
//
// Rule set-up: when NetworkValues::ruleSetup is set, every gradient gets
// setMomentum(momentum), setStepSize(its step) and setDivisor(divisor) at
// its place in object order and setPerWeightStep(0) when it is attached.
// Steps: LayerEntry::synapseStep / axonStep, SkipEntry::step, contextStep.
//
// Conjugate-gradient networks (kConjugateGradientMode) additionally clear
// the learning globals' passDone before loading and run the criterion's
// between-pass calls; the momentum networks do neither.
//
// Skip groups: the template wires them as forward synapses from source to
// target in the object order given, with the connection orders of a network
// where every layer feeds every later one (the chain synapse first, then the
// skips by source / target); see network_run.cpp.
//
// Program tests: tests/programs/<Program>/<program>_test.cpp get the path
// of the built executable <Program> as the string KQ_PROGRAM_PATH.

namespace kq::programs {

// One layer fed by a chain synapse: a hidden layer or the output layer.
struct LayerEntry {
  const char* synapseKey = nullptr;  // the synapse into the layer ("hidden1Synapse")
  const char* axonKey = nullptr;     // the layer's axon ("hidden1Axon")
  int rows = 0;                      // elements of the layer
  double synapseStep = 0.0;          // step size of the synapse's gradient (rule set-up only)
  double axonStep = 0.0;             // step size of the axon's gradient (rule set-up only)
};

// A synapse from a layer to a later layer that is not its successor.
struct SkipEntry {
  const char* key = nullptr;  // "inputAxonToHidden2AxonSynapse"
  int source = 0;             // 0 the input layer, k the k-th layer of NetworkValues::layers
  int target = 0;             // as source; always above source + 1
  double step = 0.0;          // step size of its gradient (rule set-up only)
};

// Every value the run takes from the program.
struct NetworkValues {
  const char* weightFileName = nullptr;       // "Orvane.kqw"
  std::span<const LayerEntry> layers;         // hidden layers in order, the output layer last
  int inputRows = 8;                          // elements of the input layer
  int freeParameterCount = 0;                 // k of AIC and MDL
  int exemplarsPerEpoch = 0;                  // also the batch size
  int learningMode = kConjugateGradientMode;  // a LearningMode: CG or first-order rules
  const char* learningMethod = "ConjugateGradient";  // controlBackprop's method name
  bool ruleSetup = false;            // the gradients take momentum, step and divisor
  double momentum = 0.7;             // every gradient's momentum (rule set-up)
  int divisor = 1;                   // every gradient's batch divisor (rule set-up)
  double contextStep = 0.0;          // step of the context synapse's gradient (rule set-up)
  std::span<const SkipEntry> skips;  // skip groups in object order (none in most networks)
};

// One layer's six objects, in object order.
template <class G>
struct LayerObjects {
  FullSynapse synapse;
  BackFullSynapse synapseBackprop;
  G synapseGradient;
  TanhAxon axon;
  BackTanhAxon axonBackprop;
  G axonGradient;
};

// A skip synapse's three objects.
template <class G>
struct SkipObjects {
  FullSynapse synapse;
  BackFullSynapse synapseBackprop;
  G synapseGradient;
};

// The context memory's five objects.
template <class G>
struct ContextObjects {
  IntegratorAxon axon;
  BackIntegratorAxon axonBackprop;
  FullSynapse synapse;
  BackFullSynapse synapseBackprop;
  G synapseGradient;
};

struct NoContext {};

// Pointers to a network's objects, so that the run is written once for
// every shape; the gradients are reached through their virtual rule set-up.
struct LayerView {
  FullSynapse* synapse = nullptr;
  BackFullSynapse* synapseBackprop = nullptr;
  Gradient* synapseGradient = nullptr;
  TanhAxon* axon = nullptr;
  BackTanhAxon* axonBackprop = nullptr;
  Gradient* axonGradient = nullptr;
};

struct SkipView {
  FullSynapse* synapse = nullptr;
  BackFullSynapse* synapseBackprop = nullptr;
  Gradient* synapseGradient = nullptr;
};

struct ContextView {
  IntegratorAxon* axon = nullptr;  // null: the network has no context
  BackIntegratorAxon* axonBackprop = nullptr;
  FullSynapse* synapse = nullptr;
  BackFullSynapse* synapseBackprop = nullptr;
  Gradient* synapseGradient = nullptr;
};

struct NetworkView {
  Axon* inputAxon = nullptr;
  BackAxon* inputAxonBackprop = nullptr;
  DataFile* inputFile = nullptr;
  std::vector<LayerView> layers;  // hidden layers, then the output layer
  DataFile* activeOutputProbe = nullptr;
  L2Criterion* criterion = nullptr;
  BackCriteriaControl* criterionBackprop = nullptr;
  DataFile* desiredFile = nullptr;
  DataFile* activeDesiredProbe = nullptr;
  DataFile* activeCostProbe = nullptr;
  ThresholdTransmitter* costTransmitter = nullptr;
  DataFile* activePerformanceProbe = nullptr;
  DataFile* activeROCProbe = nullptr;
  DataFile* activeConfusionMatrixProbe = nullptr;
  ContextView context;
  StaticControl* control = nullptr;
  BackStaticControl* controlBackprop = nullptr;
  std::vector<SkipView> skips;
};

// Every object of a network, as members in object order: member order is
// construction order, and the reverse is the order of destruction at exit.
template <class G, int LayerCount, bool HasContext, int SkipCount = 0>
struct Network {
  static_assert(std::is_base_of_v<Gradient, G>);

  Axon inputAxon;
  BackAxon inputAxonBackprop;
  DataFile inputFile;
  std::array<LayerObjects<G>, LayerCount> layers;
  DataFile activeOutputProbe;
  L2Criterion criterion;
  BackCriteriaControl criterionBackprop;
  DataFile desiredFile;
  DataFile activeDesiredProbe;
  DataFile activeCostProbe;
  ThresholdTransmitter costTransmitter;
  DataFile activePerformanceProbe;
  DataFile activeROCProbe;
  DataFile activeConfusionMatrixProbe;
  [[no_unique_address]] std::conditional_t<HasContext, ContextObjects<G>, NoContext> context;
  StaticControl control;
  // Never destroyed: the run control's backward twin outlives every exit
  // path, so it is made on the heap and deliberately never deleted.
  BackStaticControl& controlBackprop = *new BackStaticControl;
  std::array<SkipObjects<G>, SkipCount> skips;

  NetworkView view();
};

// The whole run: set-up, wiring, loading, the loop and teardown. Returns 0
// after a complete run; every failure ends the process with exit code 1.
// Before anything else it holds each closed standard descriptor (0, 1, 2)
// with the null device, so that no file the run opens takes its number.
int runNetwork(const NetworkView& network, const NetworkValues& values);

// The four phases of runNetwork, in the order it calls them, each once per
// network; apart so that a benchmark can time them one by one.
// Sizes, files, accesses, topology, registration and the preparation
// before loading.
void setUpNetwork(const NetworkView& network, const NetworkValues& values);
// The weight file, section by section.
void loadNetworkWeights(const NetworkView& network, const NetworkValues& values);
// The run set-up and the loop over epochs, passes and exemplars.
void runEpochs(const NetworkView& network, const NetworkValues& values);
// Detaching, emptying the control's lists and releasing every object.
void tearDownNetwork(const NetworkView& network);

template <class G, int LayerCount, bool HasContext, int SkipCount>
int runNetwork(Network<G, LayerCount, HasContext, SkipCount>& network,
               const NetworkValues& values) {
  return runNetwork(network.view(), values);
}

template <class G, int LayerCount, bool HasContext, int SkipCount>
NetworkView Network<G, LayerCount, HasContext, SkipCount>::view() {
  NetworkView v;
  v.inputAxon = &inputAxon;
  v.inputAxonBackprop = &inputAxonBackprop;
  v.inputFile = &inputFile;
  for (auto& layer : layers) {
    v.layers.push_back({&layer.synapse, &layer.synapseBackprop, &layer.synapseGradient, &layer.axon,
                        &layer.axonBackprop, &layer.axonGradient});
  }
  v.activeOutputProbe = &activeOutputProbe;
  v.criterion = &criterion;
  v.criterionBackprop = &criterionBackprop;
  v.desiredFile = &desiredFile;
  v.activeDesiredProbe = &activeDesiredProbe;
  v.activeCostProbe = &activeCostProbe;
  v.costTransmitter = &costTransmitter;
  v.activePerformanceProbe = &activePerformanceProbe;
  v.activeROCProbe = &activeROCProbe;
  v.activeConfusionMatrixProbe = &activeConfusionMatrixProbe;
  if constexpr (HasContext) {
    v.context = {&context.axon, &context.axonBackprop, &context.synapse, &context.synapseBackprop,
                 &context.synapseGradient};
  }
  v.control = &control;
  v.controlBackprop = &controlBackprop;
  for (auto& skip : skips) {
    v.skips.push_back({&skip.synapse, &skip.synapseBackprop, &skip.synapseGradient});
  }
  return v;
}

}  // namespace kq::programs

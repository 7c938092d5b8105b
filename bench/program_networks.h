#pragma once

// The four programs' networks, for timing their phases inside one process.
// The tables repeat those of programs/<Program>/main.cpp; bench_programs
// checks that a run from them writes the same files as the built program,
// so a table that drifts from its program is caught on the next run.

#include <memory>
#include <string>

#include "common/network_program.h"
#include "learning/conjugate_gradient.h"
#include "momentum/momentum.h"

namespace kqbench {

using kq::programs::LayerEntry;
using kq::programs::NetworkValues;
using kq::programs::NetworkView;
using kq::programs::SkipEntry;

namespace orvane {
constexpr LayerEntry kLayers[] = {
    {"hidden1Synapse", "hidden1Axon", 50}, {"hidden2Synapse", "hidden2Axon", 50},
    {"hidden3Synapse", "hidden3Axon", 50}, {"hidden4Synapse", "hidden4Axon", 37},
    {"hidden5Synapse", "hidden5Axon", 30}, {"hidden6Synapse", "hidden6Axon", 25},
    {"hidden7Synapse", "hidden7Axon", 21}, {"hidden8Synapse", "hidden8Axon", 18},
    {"outputSynapse", "outputAxon", 6},
};
constexpr NetworkValues kValues = {
    .weightFileName = "Orvane.kqw",
    .layers = kLayers,
    .freeParameterCount = 10816,
    .exemplarsPerEpoch = 6000,
    .learningMode = 1,
    .learningMethod = "ConjugateGradient",
};
using Net = kq::programs::Network<kq::ConjugateGradient, 9, true>;
}  // namespace orvane

namespace belmot {
constexpr LayerEntry kLayers[] = {
    {"hidden1Synapse", "hidden1Axon", 50}, {"hidden2Synapse", "hidden2Axon", 50},
    {"hidden3Synapse", "hidden3Axon", 50}, {"hidden4Synapse", "hidden4Axon", 50},
    {"hidden5Synapse", "hidden5Axon", 42}, {"hidden6Synapse", "hidden6Axon", 35},
    {"hidden7Synapse", "hidden7Axon", 30}, {"hidden8Synapse", "hidden8Axon", 26},
    {"outputSynapse", "outputAxon", 14},
};
constexpr NetworkValues kValues = {
    .weightFileName = "Belmot.kqw",
    .layers = kLayers,
    .freeParameterCount = 14419,
    .exemplarsPerEpoch = 13217,
    .learningMode = 1,
    .learningMethod = "ConjugateGradient",
};
using Net = kq::programs::Network<kq::ConjugateGradient, 9, true>;
}  // namespace belmot

namespace quillet {
constexpr double kInputStep = 0.1;
constexpr double kHidden1Step = 0.001;
constexpr double kHidden2Step = 0.00001;
constexpr double kHidden3Step = 0.0;
constexpr double kHidden4Step = 0.0;
constexpr double kHidden5Step = 0.0;
constexpr double kHidden6Step = 0.000001;
constexpr LayerEntry kLayers[] = {
    {"hidden1Synapse", "hidden1Axon", 50, kInputStep, kInputStep},
    {"hidden2Synapse", "hidden2Axon", 50, kHidden1Step, kHidden1Step},
    {"hidden3Synapse", "hidden3Axon", 50, kHidden2Step, kHidden2Step},
    {"hidden4Synapse", "hidden4Axon", 50, kHidden3Step, kHidden3Step},
    {"hidden5Synapse", "hidden5Axon", 42, kHidden4Step, kHidden4Step},
    {"hidden6Synapse", "hidden6Axon", 35, kHidden5Step, kHidden5Step},
    {"outputSynapse", "outputAxon", 14, kHidden6Step, kHidden6Step},
};
constexpr SkipEntry kSkips[] = {
    {"inputAxonToHidden2AxonSynapse", 0, 2, kInputStep},
    {"inputAxonToHidden3AxonSynapse", 0, 3, kInputStep},
    {"inputAxonToHidden4AxonSynapse", 0, 4, kInputStep},
    {"inputAxonToHidden5AxonSynapse", 0, 5, kInputStep},
    {"inputAxonToHidden6AxonSynapse", 0, 6, kInputStep},
    {"inputAxonToOutputAxonSynapse", 0, 7, kInputStep},
    {"hidden1AxonToHidden3AxonSynapse", 1, 3, kHidden1Step},
    {"hidden1AxonToHidden4AxonSynapse", 1, 4, kHidden1Step},
    {"hidden1AxonToHidden5AxonSynapse", 1, 5, kHidden1Step},
    {"hidden1AxonToHidden6AxonSynapse", 1, 6, kHidden1Step},
    {"hidden1AxonToOutputAxonSynapse", 1, 7, kHidden1Step},
    {"hidden2AxonToHidden4AxonSynapse", 2, 4, kHidden2Step},
    {"hidden2AxonToHidden5AxonSynapse", 2, 5, kHidden2Step},
    {"hidden2AxonToHidden6AxonSynapse", 2, 6, kHidden2Step},
    {"hidden2AxonToOutputAxonSynapse", 2, 7, kHidden2Step},
    {"hidden3AxonToHidden5AxonSynapse", 3, 5, kHidden3Step},
    {"hidden3AxonToHidden6AxonSynapse", 3, 6, kHidden3Step},
    {"hidden3AxonToOutputAxonSynapse", 3, 7, kHidden3Step},
    {"hidden4AxonToHidden6AxonSynapse", 4, 6, kHidden4Step},
    {"hidden4AxonToOutputAxonSynapse", 4, 7, kHidden4Step},
    {"hidden5AxonToOutputAxonSynapse", 5, 7, kHidden5Step},
};
constexpr NetworkValues kValues = {
    .weightFileName = "Quillet.kqw",
    .layers = kLayers,
    .inputRows = 8,
    .freeParameterCount = 38367,
    .exemplarsPerEpoch = 13217,
    .learningMode = 0,
    .learningMethod = "Momentum",
    .ruleSetup = true,
    .momentum = 0.7,
    .divisor = 13217,
    .skips = kSkips,
};
using Net = kq::programs::Network<kq::Momentum, 7, false, 21>;
}  // namespace quillet

namespace dravik {
constexpr LayerEntry kLayers[] = {
    {"hidden1Synapse", "hidden1Axon", 50, 0.1, 0.1},
    {"hidden2Synapse", "hidden2Axon", 50, 0.01, 0.01},
    {"hidden3Synapse", "hidden3Axon", 50, 0.001, 0.001},
    {"hidden4Synapse", "hidden4Axon", 50, 0.0001, 0.0001},
    {"hidden5Synapse", "hidden5Axon", 42, 0.00001, 0.00001},
    {"hidden6Synapse", "hidden6Axon", 35, 0.000001, 0.000001},
    {"outputSynapse", "outputAxon", 14, 0.000001, 0.000001},
};
constexpr NetworkValues kValues = {
    .weightFileName = "Dravik.kqw",
    .layers = kLayers,
    .inputRows = 8,
    .freeParameterCount = 12659,
    .exemplarsPerEpoch = 13217,
    .learningMode = 0,
    .learningMethod = "Momentum",
    .ruleSetup = true,
    .momentum = 0.7,
    .divisor = 13217,
    .contextStep = 0.1,
};
using Net = kq::programs::Network<kq::Momentum, 7, true>;
}  // namespace dravik

// A network made on the heap (the programs make theirs as globals) with
// its view; destroying it closes the data files and probes.
struct ProgramNetwork {
  virtual ~ProgramNetwork() = default;
  NetworkView view;
  const NetworkValues* values = nullptr;
};

template <class N>
struct ProgramNetworkOf : ProgramNetwork {
  explicit ProgramNetworkOf(const NetworkValues& v) : network(std::make_unique<N>()) {
    view = network->view();
    values = &v;
  }
  std::unique_ptr<N> network;
};

// name is one of "Orvane", "Belmot", "Quillet", "Dravik".
inline std::unique_ptr<ProgramNetwork> makeProgramNetwork(const std::string& name) {
  if (name == "Orvane") return std::make_unique<ProgramNetworkOf<orvane::Net>>(orvane::kValues);
  if (name == "Belmot") return std::make_unique<ProgramNetworkOf<belmot::Net>>(belmot::kValues);
  if (name == "Quillet") return std::make_unique<ProgramNetworkOf<quillet::Net>>(quillet::kValues);
  if (name == "Dravik") return std::make_unique<ProgramNetworkOf<dravik::Net>>(dravik::kValues);
  return nullptr;
}

}  // namespace kqbench

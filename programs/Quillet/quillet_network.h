#pragma once

// Quillet: a feed-forward network of six hidden tanh layers without context
// memory, in which every layer also feeds every later layer beyond its
// successor through a skip synapse; trained (when learning is on) by
// gradient descent with momentum.
//
// The program's tables: its main and the whole-run benchmark both build the
// network from them.

#include "common/network_program.h"
#include <kqnet/momentum/momentum.h>

namespace kq::programs::quillet {

// Step size by the layer a synapse leaves: a synapse's gradient takes its
// source layer's entry, a layer's axon gradient the entry of the layer below.
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

// Layers: 0 input, 1..6 hidden, 7 output. By source from the input up, and
// within a source by target from the nearest up.
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
    // 11960 chain weights + 26116 skip weights + 291 biases.
    .freeParameterCount = 38367,
    .exemplarsPerEpoch = 13217,
    .learningMode = kFirstOrderMode,
    .learningMethod = "Momentum",
    .ruleSetup = true,
    .momentum = 0.7,
    .divisor = 13217,
    .skips = kSkips,
};

// Every object of the network, constructed in object order before main; the
// skip groups follow controlBackprop.
using Net = kq::programs::Network<kq::Momentum, 7, false, 21>;

}  // namespace kq::programs::quillet

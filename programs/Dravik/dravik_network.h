#pragma once

// Dravik: six hidden tanh layers with a leaky-integrator context memory of
// the input layer feeding the first hidden layer one exemplar late; trained
// (when learning is on) by gradient descent with momentum.
//
// The program's tables: its main and the whole-run benchmark both build the
// network from them.

#include "common/network_program.h"
#include <kqnet/momentum/momentum.h>

namespace kq::programs::dravik {

// Each layer's synapse and axon gradients share the layer's step size.
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
    // 12360 synapse weights + 291 biases + 8 context memory weights.
    .freeParameterCount = 12659,
    .exemplarsPerEpoch = 13217,
    .learningMode = kFirstOrderMode,
    .learningMethod = "Momentum",
    .ruleSetup = true,
    .momentum = 0.7,
    .divisor = 13217,
    .contextStep = 0.1,
};

// Every object of the network, constructed in object order before main.
using Net = kq::programs::Network<kq::Momentum, 7, true>;

}  // namespace kq::programs::dravik

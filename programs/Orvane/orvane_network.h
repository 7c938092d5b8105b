#pragma once

// Orvane: eight narrowing tanh layers over a context memory of the input,
// six outputs, conjugate-gradient learning state.
//
// The program's tables: its main and the whole-run benchmark both build the
// network from them.

#include "common/network_program.h"
#include <kqnet/learning/conjugate_gradient.h>

namespace kq::programs::orvane {

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
    // 10521 synapse weights, 287 biases and the context axon's 8 weights.
    .freeParameterCount = 10816,
    .exemplarsPerEpoch = 6000,
    .learningMode = kConjugateGradientMode,
    .learningMethod = "ConjugateGradient",
};

// Every object of the network, in object order.
using Net = kq::programs::Network<kq::ConjugateGradient, 9, true>;

}  // namespace kq::programs::orvane

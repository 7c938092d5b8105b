#pragma once

// Belmot: eight narrowing tanh layers over a context memory of the input,
// fourteen outputs, conjugate-gradient learning state.
//
// The program's tables: its main and the whole-run benchmark both build the
// network from them.

#include "common/network_program.h"
#include <kqnet/learning/conjugate_gradient.h>

namespace kq::programs::belmot {

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
    // 14064 synapse weights, 347 biases and the context axon's 8 weights.
    .freeParameterCount = 14419,
    .exemplarsPerEpoch = 13217,
    .learningMode = kConjugateGradientMode,
    .learningMethod = "ConjugateGradient",
};

// Every object of the network, in object order.
using Net = kq::programs::Network<kq::ConjugateGradient, 9, true>;

}  // namespace kq::programs::belmot

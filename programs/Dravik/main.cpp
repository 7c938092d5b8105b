// Dravik: six hidden tanh layers with a leaky-integrator context memory of
// the input layer feeding the first hidden layer one exemplar late; trained
// (when learning is on) by gradient descent with momentum.

#include "Dravik/dravik_network.h"

namespace {

// Every object of the network, constructed in object order before main.
kq::programs::dravik::Net network;

}  // namespace

int main() { return kq::programs::runNetwork(network, kq::programs::dravik::kValues); }

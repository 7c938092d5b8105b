// Orvane: eight narrowing tanh layers over a context memory of the input,
// six outputs, conjugate-gradient learning state.

#include "Orvane/orvane_network.h"

namespace {

// Every object of the network, in object order.
kq::programs::orvane::Net network;

}  // namespace

int main() { return kq::programs::runNetwork(network, kq::programs::orvane::kValues); }

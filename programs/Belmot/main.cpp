// Belmot: eight narrowing tanh layers over a context memory of the input,
// fourteen outputs, conjugate-gradient learning state.

#include "Belmot/belmot_network.h"

namespace {

// Every object of the network, in object order.
kq::programs::belmot::Net network;

}  // namespace

int main() { return kq::programs::runNetwork(network, kq::programs::belmot::kValues); }

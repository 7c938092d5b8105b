// Quillet: a feed-forward network of six hidden tanh layers without context
// memory, in which every layer also feeds every later layer beyond its
// successor through a skip synapse; trained (when learning is on) by
// gradient descent with momentum.

#include "Quillet/quillet_network.h"

namespace {

// Every object of the network, constructed in object order before main; the
// skip groups follow controlBackprop.
kq::programs::quillet::Net network;

}  // namespace

int main() { return kq::programs::runNetwork(network, kq::programs::quillet::kValues); }

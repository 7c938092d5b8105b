#pragma once

#include <string>

// The wiring check of a debug build. Every edge of a network is declared at
// both of its ends (the sender's connectOutput, the receiver's
// connectInput), and the backward twins are wired as the mirror of the
// forward network; an edge declared at one end only, or a twin's edge that
// mirrors none, still runs, but computes the wrong thing without a word.
// Debug builds look for both in prepareLearning, over the control's axons
// and synapses and whatever they are wired to.

namespace kq {

class StaticControl;

// The message that reports the first wiring fault, or empty when the
// wiring holds. Components are named by their class word and their place
// in the control's axon or synapse list; a twin also by its dual.
std::string wiringFault(const StaticControl& control);

// Ends the process with that message when there is a fault.
void checkWiring(const StaticControl& control);

}  // namespace kq

// The debug build's wiring check in prepareLearning, on the context
// example's network (examples/context_network/) with one end of an edge
// taken away again, which leaves it as if that end had never been wired.

#include <gtest/gtest.h>

#include <string>

#include "context_network/context_network.h"

namespace {

#ifndef NDEBUG
// Empty file names: the data files stay closed, and the run ends before
// any record is read.
constexpr context::Files kNoFiles = {"", "", nullptr};
constexpr context::DesiredRange kRange = {};

void prepare(void (*slip)(context::Network&)) {
  context::Network network(kNoFiles, 1, kRange);
  if (slip != nullptr) slip(network);
  network.startRun(1);
}

TEST(WiringCheckDeathTest, PrepareLearningEndsAtAnEdgeDeclaredAtOneEndOrUnmirrored) {
  prepare(nullptr);  // wired in full, it passes
  const char* const numbering =
      " \\(Axons and synapses are numbered in the order they registered with the control\\.\\)\n$";
  // hidden1.connectInput(&contextSynapse) left out.
  EXPECT_EXIT(prepare([](context::Network& n) { n.hidden1.disconnectInput(&n.contextSynapse); }),
              testing::ExitedWithCode(1),
              std::string("^Error: The network is wired wrongly: the input count of TanhAxon #3 "
                          "\\(connectInput\\) is 1, but 2 components connect their output to it "
                          "\\(connectOutput\\): FullSynapse #1, FullSynapse #7\\.") +
                  numbering);
  // hidden1Backprop.connectOutput(&contextSynapseBackprop) left out.
  EXPECT_EXIT(prepare([](context::Network& n) {
                n.hidden1Backprop.disconnectOutput(&n.contextSynapseBackprop, 1);
              }),
              testing::ExitedWithCode(1),
              std::string("^Error: The network is wired wrongly: BackFullSynapse #8 \\[twin of "
                          "FullSynapse #7\\] reads Axon #4 \\[twin of TanhAxon #3\\] "
                          "\\(connectInput\\), but that axon does not connect its output to it "
                          "\\(connectOutput\\)\\.") +
                  numbering);
  // The context synapse's twin connected to nothing, at both ends.
  EXPECT_EXIT(prepare([](context::Network& n) {
                n.contextSynapseBackprop.disconnectOutput(&n.contextAxonBackprop, 1);
                n.contextAxonBackprop.disconnectInput(&n.contextSynapseBackprop);
              }),
              testing::ExitedWithCode(1),
              std::string("^Error: The network is wired wrongly: IntegratorAxon #11 connects its "
                          "output to FullSynapse #7, but the backward twins do not mirror it: "
                          "BackFullSynapse #8 \\[twin of FullSynapse #7\\] does not connect its "
                          "output to Axon #12 \\[twin of IntegratorAxon #11\\]\\.") +
                  numbering);
}
#endif

}  // namespace

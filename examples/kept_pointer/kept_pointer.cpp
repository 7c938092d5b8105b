// What a debug build of the library catches: a weight written through a
// pointer kept across a forward sum, without telling the library. The
// synapse sums from a copy of its weights laid out for speed and remakes
// it only when it learns that the weights changed; a write through a kept
// pointer goes unseen, and the next sum uses the old weights.
//
// Linked with a debug build of the library (libkqnetd.a), the program stops
// at its second sum with a failed assertion that names
// Soma::weightsChanged; linked with an optimised one it prints the stale
// sum and exits with 0.

#include <cstdio>

#include <kqnet/axons/axon.h>
#include <kqnet/synapses/synapse.h>

int main() {
  kq::Axon input;
  kq::Axon output;
  kq::FullSynapse synapse;
  input.setRows(2);
  output.setRows(1);
  input.connectOutput(&synapse);
  synapse.connectInput(&input);
  synapse.connectOutput(&output);
  output.connectInput(&synapse);

  double* kept = synapse.weights.data();
  input.fire();    // the first sum makes the copy
  kept[0] += 1.0;  // unseen: the pointer was taken before the sum
  // Writing through synapse.weights[0] instead, or calling
  // kq::Soma::weightsChanged() after this write, would be seen.
  input.fire();  // a debug library stops here
  std::printf("summed weights that no longer hold\n");
  return 0;
}

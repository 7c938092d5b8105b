#pragma once

#include <cstdint>

#include <kqnet/core/claimed_array.h>
#include <kqnet/core/weight_vector.h>

// A full synapse's weight matrix laid out for its forward sums: panels of
// eight rows, interleaved by input element (panel p holds rows 8p..8p+7,
// W[8p + r][k] at k x 8 + r), the last panel padded with zero rows. A sum
// then reads one contiguous stretch per panel, and the eight (or more)
// independent running sums of a panel sit side by side in vector lanes. Each
// lane is one output element's own sum, started from the value already in
// the output frame and fed W[j][k] x[k] in ascending k, exactly as the
// one-term-at-a-time loop; only different rows overlap.
//
// The copy follows the weights by the three signs listed at
// Soma::weightsChanged, each for the writes only it sees: it is remade
// before a sum when the weights' write count moved since it was made (every
// write through their interface, every new storage), while a weight
// observer is attached (it writes through its own pointer whenever its chain
// transfers; detaching it counts as a write), and when the weight
// generation moved (a pointer kept across a sum was written through). The
// shape it was made for is compared too: a synapse re-wired to ends of
// another shape may keep its weights unchanged.

namespace kq {

// Instruction sets the sums can use. Every one gives the same bits (no
// fused multiply-add anywhere); the default takes the widest the processor
// has, the others let a test run each path.
enum class SumPath { widest, baseline, avx2 };

// Chooses the path for every later sum; avx2 on a processor without it
// falls back to the baseline. Returns the path in use before.
SumPath selectSumPath(SumPath path);
// Whether this processor (and its operating system) runs AVX2 code.
bool avx2Available();

class PackedWeights {
 public:
  // Makes the copy hold the first rows x columns weights as a matrix (row by
  // row) unless it already does; always while observed (a weight observer
  // is attached).
  void follow(const WeightVector& weights, int rows, int columns, bool observed);
  // y[j] += W[j][k] x[k] for j below nOut and k below nIn, each y[j] one
  // running sum in ascending k. nOut and nIn are at most the rows and
  // columns followed; x and y must not overlap.
  void addProduct(const double* x, int nIn, double* y, int nOut) const;
  // Frees the copy; the next follow remakes it.
  void release();

 private:
  ClaimedArray<double> panels;  // the interleaved panels
  int32_t rows = 0;             // rows of the matrix copied
  int32_t columns = 0;          // columns of the matrix copied
  uint64_t writes = 0;          // the weights' write count when the copy was made
  uint64_t generation = 0;      // weight generation when the copy was made
};

}  // namespace kq

#pragma once

#include <cstdint>
#include <vector>

#include <kqnet/core/fatal.h>

// A full synapse's weight matrix laid out for its forward sums: panels of
// eight rows, interleaved by input element (panel p holds rows 8p..8p+7,
// W[8p + r][k] at k x 8 + r), the last panel padded with zero rows. A sum
// then reads one contiguous stretch per panel, and the eight (or more)
// independent running sums of a panel sit side by side in vector lanes. Each
// lane is one output element's own sum, started from the value already in
// the output frame and fed W[j][k] x[k] in ascending k, exactly as the
// one-term-at-a-time loop; only different rows overlap.
//
// The copy follows the weights: it is remade before a sum when the weights
// were written through their interface (WeightVector), moved, changed shape,
// when the weight generation (Soma) moved since it was made, and while a
// weight observer is attached and on the first sum after it went (it may
// have written them on its way out).

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
  // Makes the copy hold the rows x columns matrix at w (row by row) unless
  // it already does; always when written is set (the weights were written
  // since the last call) or observed is set now or was at the last remake.
  void follow(const double* w, int rows, int columns, bool written, bool observed);
  // y[j] += W[j][k] x[k] for j below nOut and k below nIn, each y[j] one
  // running sum in ascending k. nOut and nIn are at most the rows and
  // columns followed; x and y must not overlap.
  void addProduct(const double* x, int nIn, double* y, int nOut) const;
  // Frees the copy; the next follow remakes it.
  void release();

 private:
  std::vector<double> panels;      // the interleaved panels
  const double* source = nullptr;  // the weights the copy was made from
  int32_t rows = 0;                // rows of the matrix copied
  int32_t columns = 0;             // columns of the matrix copied
  uint64_t generation = 0;         // weight generation when the copy was made
  bool madeObserved = false;       // a weight observer was attached when it was made
  MemoryClaim claim;               // what the panels hold of physical memory
};

}  // namespace kq

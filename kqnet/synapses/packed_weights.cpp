#include <kqnet/synapses/packed_weights.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <functional>

#include <kqnet/core/soma.h>

namespace kq {

namespace {

constexpr int kPanelRows = 8;
// The baseline path spreads each input value over both lanes of a pair once
// per sum, into a buffer on the stack of this many input elements; longer
// rows are summed in stretches of it (each stretch continues every running
// sum where the last one left it in the output frame).
constexpr int kStretch = 128;

typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
typedef double Quad __attribute__((vector_size(4 * sizeof(double))));

// Panels start on a 64-byte line, so that no load of a panel row splits.
constexpr uintptr_t kLineBytes = 64;
constexpr size_t kLinePad = kLineBytes / sizeof(double) - 1;

size_t lineSkip(const double* data) {
  const auto address = reinterpret_cast<uintptr_t>(data);
  return ((kLineBytes - address % kLineBytes) % kLineBytes) / sizeof(double);
}

// G panels side by side over count input elements: kSums vector sums of
// kLanes rows each. rows of the G x 8 lanes are real; the padding lanes start
// at 0 and are never stored. x is the input (kSpread: already spread, kLanes
// copies per element).
template <typename V, int G, bool kSpread>
inline __attribute__((always_inline)) void addPanels(const double* panel, int64_t panelSize,
                                                     const double* x, int count, double* y,
                                                     int rows) {
  constexpr int kLanes = sizeof(V) / sizeof(double);
  constexpr int kPerPanel = kPanelRows / kLanes;
  constexpr int kSums = G * kPerPanel;
  // Whole vectors of real rows move in one load or store; only the vector
  // that a panel's last real row ends in goes lane by lane.
  V sum[kSums];
  for (int s = 0; s < kSums; ++s) {
    const int first = s * kLanes;
    if (first + kLanes <= rows) {
      std::memcpy(&sum[s], y + first, sizeof(V));
    } else {
      V start = {};
      for (int l = 0; l < kLanes && first + l < rows; ++l) start[l] = y[first + l];
      sum[s] = start;
    }
  }
  for (int k = 0; k < count; ++k) {
    V xk;
    if constexpr (kSpread) {
      std::memcpy(&xk, x + k * kLanes, sizeof(V));
    } else {
      for (int l = 0; l < kLanes; ++l) xk[l] = x[k];
    }
    for (int g = 0; g < G; ++g) {
      const double* w = panel + g * panelSize + k * kPanelRows;
      for (int s = 0; s < kPerPanel; ++s) {
        V wv;
        std::memcpy(&wv, w + s * kLanes, sizeof(V));
        sum[g * kPerPanel + s] += wv * xk;
      }
    }
  }
  for (int s = 0; s < kSums; ++s) {
    const int first = s * kLanes;
    if (first + kLanes <= rows) {
      std::memcpy(y + first, &sum[s], sizeof(V));
    } else {
      for (int l = 0; l < kLanes && first + l < rows; ++l) y[first + l] = sum[s][l];
    }
  }
}

// Every panel that holds one of the nOut rows, up to kMaxGroup at a time (as
// many independent sums as the registers hold, to hide the additions'
// latency). The first of the panels given starts at input element 0 of x.
template <typename V, int kMaxGroup, bool kSpread>
inline __attribute__((always_inline)) void addAllPanels(const double* panels, int64_t panelSize,
                                                        const double* x, int count, double* y,
                                                        int nOut) {
  const int panelCount = (nOut + kPanelRows - 1) / kPanelRows;
  for (int p = 0; p < panelCount;) {
    const int left = panelCount - p;
    int group = std::min(left, kMaxGroup);
    // Four left as three and a lone panel would run the lone one on too few
    // sums: two and two instead.
    if (kMaxGroup == 3 && left == 4) group = 2;
    const int rows = std::min(nOut - p * kPanelRows, group * kPanelRows);
    const double* first = panels + p * panelSize;
    double* out = y + p * kPanelRows;
    if constexpr (kMaxGroup >= 3) {
      if (group == 3) {
        addPanels<V, 3, kSpread>(first, panelSize, x, count, out, rows);
        p += group;
        continue;
      }
    }
    if (group == 2) {
      addPanels<V, 2, kSpread>(first, panelSize, x, count, out, rows);
    } else {
      addPanels<V, 1, kSpread>(first, panelSize, x, count, out, rows);
    }
    p += group;
  }
}

// One stretch of the baseline path. Kept apart from the buffer it reads, so
// that the compiler holds the sums in registers.
__attribute__((noinline)) void addStretchBaseline(const double* panels, int64_t panelSize,
                                                  const double* spread, int count, double* y,
                                                  int nOut) {
  addAllPanels<Pair, 2, true>(panels, panelSize, spread, count, y, nOut);
}

// SSE2, which every x86-64 processor has (and plain vector code elsewhere).
void addProductBaseline(const double* panels, int64_t panelSize, const double* x, int nIn,
                        double* y, int nOut) {
  alignas(16) double spread[2 * kStretch];
  for (int k0 = 0; k0 < nIn; k0 += kStretch) {
    const int count = std::min(kStretch, nIn - k0);
    for (int i = 0; i < count; ++i) {
      spread[2 * i] = x[k0 + i];
      spread[2 * i + 1] = x[k0 + i];
    }
    addStretchBaseline(panels + int64_t{k0} * kPanelRows, panelSize, spread, count, y, nOut);
  }
}

#if defined(__x86_64__) || defined(__i386__)
#define KQ_HAVE_AVX2_PATH 1
// Four lanes and three panels at a time; the same multiplies and additions
// as the baseline, one rounding each.
__attribute__((target("avx2"))) void addProductAvx2(const double* panels, int64_t panelSize,
                                                    const double* x, int nIn, double* y, int nOut) {
  addAllPanels<Quad, 3, false>(panels, panelSize, x, nIn, y, nOut);
}
#endif

std::atomic<int> chosenPath{static_cast<int>(SumPath::widest)};

bool useAvx2() {
  const auto path = static_cast<SumPath>(chosenPath.load(std::memory_order_relaxed));
  return path != SumPath::baseline && avx2Available();
}

}  // namespace

bool avx2Available() {
#ifdef KQ_HAVE_AVX2_PATH
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return available;
#else
  return false;
#endif
}

SumPath selectSumPath(SumPath path) {
  return static_cast<SumPath>(
      chosenPath.exchange(static_cast<int>(path), std::memory_order_relaxed));
}

void PackedWeights::follow(const WeightVector& weights, int newRows, int newColumns,
                           bool observed) {
  const uint64_t now = Soma::weightGeneration();
  const double* w = weights.data();
  newRows = std::max(newRows, 0);
  newColumns = std::max(newColumns, 0);
  assert(int64_t{newRows} * newColumns <= static_cast<int64_t>(weights.size()));
  const int64_t panelCount = (int64_t{newRows} + kPanelRows - 1) / kPanelRows;
  const int64_t needed = panelCount * kPanelRows * newColumns;
  const bool current = !observed && weights.writeCount() == writes && now == generation &&
                       newRows == rows && newColumns == columns && !panels.empty();
#ifndef NDEBUG
  // Only a write through a pointer kept across the last sum leaves a stale
  // copy; debug builds catch it at the next sum.
  if (current) {
    const double* packed = panels.data() + lineSkip(panels.data());
    for (int j = 0; j < rows; ++j) {
      for (int k = 0; k < columns; ++k) {
        const double* copy =
            packed + ((j / kPanelRows) * int64_t{columns} + k) * kPanelRows + j % kPanelRows;
        assert(std::memcmp(copy, w + int64_t{j} * columns + k, sizeof(double)) == 0 &&
               "weights written through a pointer kept across a sum, without Soma::weightsChanged");
      }
    }
  }
#endif
  if (current) return;
  // Allocates only when the shape changed; the size is exact (plus the
  // alignment slack), so a shrunk matrix gives its memory back.
  // Padded to whole panels, a matrix of few rows takes up to eight times
  // the weights themselves.
  if (panels.size() != static_cast<size_t>(needed) + kLinePad) {
    panels.assign(static_cast<size_t>(needed) + kLinePad, 0.0);
  }
  double* packed = panels.data() + lineSkip(panels.data());
  for (int64_t p = 0; p < panelCount; ++p) {
    double* panel = packed + p * kPanelRows * newColumns;
    for (int k = 0; k < newColumns; ++k) {
      for (int r = 0; r < kPanelRows; ++r) {
        const int64_t j = p * kPanelRows + r;
        panel[k * kPanelRows + r] = j < newRows ? w[j * newColumns + k] : 0.0;
      }
    }
  }
  rows = newRows;
  columns = newColumns;
  writes = weights.writeCount();
  generation = now;
}

void PackedWeights::addProduct(const double* x, int nIn, double* y, int nOut) const {
  // The full synapse asks for no more than it had copied, and sums a
  // frame into itself one term at a time instead.
  assert(nOut <= rows && nIn <= columns);
  assert(nOut <= 0 || nIn <= 0 || std::less_equal<const double*>()(x + nIn, y) ||
         std::less_equal<const double*>()(y + nOut, x));
  nOut = std::min(nOut, rows);
  nIn = std::min(nIn, columns);
  if (nOut <= 0 || nIn <= 0 || panels.empty()) return;
  const double* packed = panels.data() + lineSkip(panels.data());
  const int64_t panelSize = int64_t{columns} * kPanelRows;
#ifdef KQ_HAVE_AVX2_PATH
  if (useAvx2()) {
    addProductAvx2(packed, panelSize, x, nIn, y, nOut);
    return;
  }
#endif
  addProductBaseline(packed, panelSize, x, nIn, y, nOut);
}

void PackedWeights::release() {
  panels.release();
  rows = 0;
  columns = 0;
  writes = 0;
  generation = 0;
}

}  // namespace kq

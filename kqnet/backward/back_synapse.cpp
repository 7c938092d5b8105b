#include <kqnet/backward/back_synapse.h>

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>

#include <kqnet/axons/axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/backward/gradient_terms.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/spatial_access.h>

namespace kq {

BackSynapse::BackSynapse() = default;

void BackSynapse::fire() {
  Synapse::fire();
  ownWeightAccess.step();
}

namespace {

const Axon* forwardSide(const Axon* end) {
  const auto* twin = dynamic_cast<const BackAxon*>(end);
  return twin != nullptr && twin->dual != nullptr ? twin->dual : end;
}

}  // namespace

int BackSynapse::endRows(const Axon* end) {
  const Axon* side = forwardSide(end);
  return side != nullptr ? side->rows : 0;
}

int BackSynapse::endColumns(const Axon* end) {
  const Axon* side = forwardSide(end);
  return side != nullptr ? side->columns : 0;
}

void BackSynapse::createInstance() {
  if (performRecord == nullptr || performRecord->create == nullptr) return;
  if (dual == nullptr || sourceAxon == nullptr || targetAxon == nullptr) return;
  const int inRows = endRows(sourceAxon);
  const int inColumns = endColumns(sourceAxon);
  const int outRows = endRows(targetAxon);
  const int outColumns = endColumns(targetAxon);
  if (inRows == 0 || inColumns == 0 || outRows == 0 || outColumns == 0) return;
  performRecord->instance = callOutside<BackSynapseCreate>(
      performRecord->create, userDatum, performRecord->instance, dual->performInstance(), inRows,
      inColumns, outRows, outColumns);
}

template <typename F, typename... Extra>
void BackSynapse::performWithDual(Extra... extra) {
  callOutside<F>(performRecord->perform, userDatum, performRecord->instance,
                 dual != nullptr ? dual->performInstance() : nullptr, currentFrame(),
                 endRows(sourceAxon), endColumns(sourceAxon),
                 targetAxon != nullptr ? targetAxon->currentFrame() : nullptr, endRows(targetAxon),
                 endColumns(targetAxon), dual != nullptr ? dual->currentFrame() : nullptr,
                 extra...);
}

void BackSynapse::perform() {
  if (!hasPerformFunction()) return;
  performWithDual<BackSynapsePerform>();
}

void BackSynapse::stepForward() {
  if (learningEnabled != 0 && dual != nullptr) dual->stepBack();
  moveForward();
}

void BackSynapse::randomizeWeights() {
  Soma::randomizeWeights();
  std::fill(weights.begin(), weights.end(), 0.0);
  stepWeightAccesses();
}

void BackSynapse::setDual(Synapse* forward) {
  dual = forward;
  if (dual != nullptr) setDelay(dual->delay);
}

void BackSynapse::stepDualFrameBack() {
  if (dual == nullptr) return;
  dual->saveFramePosition();
  dual->stepBack();
}

void BackSynapse::restoreDualFramePosition() {
  if (dual != nullptr) dual->restoreFramePosition();
}

// BackFullSynapse

int32_t BackFullSynapse::weightCountFor(int outputLength, int inputLength) const {
  return checkedProduct(outputLength, inputLength);
}

void BackFullSynapse::sizeWeights() { sizeOwnWeights(weightCountFor(length, inputLength)); }

void BackFullSynapse::perform() {
  if (!hasPerformFunction()) return;
  // Handing out the dual's weights counts as a write of them: the outside
  // function may write them.
  performWithDual<BackFullSynapsePerform>(dual != nullptr ? dual->weightData() : nullptr,
                                          weightData());
}

void BackFullSynapse::bindWeightAccess() { bindWeightAccessAs(inputLength, length); }

namespace {

// How a weight's gradient term joins its accumulator value.
struct PlainTerm {
  void operator()(double& g, double d, double x, double) const { g += d * x; }
};
struct TermsTerm {
  GradientTerms terms;
  void operator()(double& g, double d, double x, double w) const {
    terms.add(g, terms.scale(d * x), w);
  }
};
struct NoTerm {
  void operator()(double&, double, double, double) const {}
};

// R rows of the matrix at once. Each u[k] keeps one running sum, fed the
// rows in ascending order exactly as u[k] += W[j][k] d[j] one row at a time;
// working on R rows together only saves loads and stores of u. Every
// accumulator value takes one term, so fusing it in changes no order.
// The caller makes sure that u, g, w and x do not overlap (restrict).
template <int R, typename Term>
inline void transposeRows(const double* __restrict w, int64_t stride, const double* d,
                          const double* __restrict x, int n, double* __restrict u,
                          double* __restrict g, Term term) {
  constexpr bool kLearn = !std::is_same_v<Term, NoTerm>;
  double dr[R];
  for (int r = 0; r < R; ++r) dr[r] = d[r];
  for (int k = 0; k < n; ++k) {
    double s = u[k];
    for (int r = 0; r < R; ++r) s += w[r * stride + k] * dr[r];
    u[k] = s;
    if constexpr (kLearn) {
      const double xk = x[k];
      for (int r = 0; r < R; ++r) term(g[r * stride + k], dr[r], xk, w[r * stride + k]);
    }
  }
}

// One block: u (n values) += W^T d over rows rows, g gaining the terms
// (g is not touched without a term).
template <typename Term>
void transposeBlock(const double* w, int64_t stride, const double* d, const double* x, int rows,
                    int n, double* u, double* g, Term term) {
  constexpr bool kLearn = !std::is_same_v<Term, NoTerm>;
  const auto gRow = [&](int j) { return kLearn ? g + j * stride : nullptr; };
  int j = 0;
  for (; j + 4 <= rows; j += 4) {
    transposeRows<4>(w + j * stride, stride, d + j, x, n, u, gRow(j), term);
  }
  for (; j < rows; ++j) transposeRows<1>(w + j * stride, stride, d + j, x, n, u, gRow(j), term);
}

bool overlaps(const double* a, int64_t na, const double* b, int64_t nb) {
  if (a == nullptr || b == nullptr) return false;
  const auto address = [](const double* p) { return reinterpret_cast<uintptr_t>(p); };
  return address(a) < address(b + nb) && address(b) < address(a + na);
}

}  // namespace

void BackFullSynapse::compute() {
  if (dual == nullptr || targetAxon == nullptr) return;
  const int nOut = dual->length;
  const int nIn = dual->inputLength;
  // An empty dual gives no block to divide the error into.
  if (nOut <= 0 || nIn <= 0) return;
  const int m = inputLength / nOut;
  if (m <= 0) return;
  const double* w = std::as_const(dual->weights).data();
  const int64_t dualWeights =
      std::min<int64_t>(dual->weightTotal(), static_cast<int64_t>(dual->weights.size()));
  // Only whole rows that the dual's matrix holds.
  const int rows = static_cast<int>(std::min<int64_t>(nOut, dualWeights / nIn));
  if (rows <= 0) return;
  const bool learn = learningEnabled != 0;
  const double* x = dual->currentFrame();
  const int xCount = x != nullptr ? std::max(std::min(dual->inputLength, dual->frameSize), 0) : 0;
  // Input elements whose gradient term can be formed.
  const int n = learn ? std::min(nIn, xCount) : nIn;
  if (n <= 0) return;
  if (m == 1 && jacobianColumns >= 2) {
    computeColumns(rows, n, w, x);
  } else {
    computeBlocks(m, rows, n, w, x);
  }
}

void BackFullSynapse::computeBlocks(int m, int rows, int n, const double* w, const double* x) {
  const int nOut = dual->length;
  const int64_t stride = dual->inputLength;
  const bool learn = learningEnabled != 0;
  const double* delta = currentFrame();
  double* u = targetAxon->currentFrame();
  const int64_t deltaCount = inputBound();
  const int64_t uCount = outputBound();
  const int64_t gCount = std::min<int64_t>(weightTotal(), static_cast<int64_t>(weights.size()));
  const GradientTerms terms =
      gradientTerms(control, exemplarFactors, exemplarFactorCount, exemplarFactorIndex);
  for (int b = 0; b < m; ++b) {
    const int64_t deltaStart = int64_t{b} * nOut;
    const int64_t uStart = (int64_t{jacobianColumnBase} + b) * stride;
    const int64_t gStart = int64_t{b} * nOut * stride;
    // A block that reaches outside a frame or the accumulator is skipped.
    if (deltaStart + rows > deltaCount || uStart < 0 || uStart + stride > uCount) continue;
    if (learn && gStart + (rows - 1) * stride + n > gCount) continue;
    const double* d = delta + deltaStart;
    double* ub = u + uStart;
    double* g = learn ? weights.data() + gStart : nullptr;
    const bool separate =
        !overlaps(ub, stride, d, rows) && !overlaps(ub, stride, x, n) &&
        (!learn || !overlaps(g, (rows - 1) * stride + n, w, (rows - 1) * stride + n));
    if (!separate) {
      // The output frame shares memory with what it reads (or the
      // accumulator with the dual's weights): keep the one-term-at-a-time
      // order literally.
      for (int j = 0; j < rows; ++j) {
        for (int k = 0; k < n; ++k) {
          ub[k] += w[j * stride + k] * d[j];
          if (learn) {
            terms.add(g[j * stride + k], terms.scale(d[j] * x[k]), w[j * stride + k]);
          }
        }
      }
    } else if (!learn) {
      transposeBlock(w, stride, d, x, rows, n, ub, nullptr, NoTerm{});
    } else if (terms.decay == 0 && terms.scaled == 0) {
      transposeBlock(w, stride, d, x, rows, n, ub, g, PlainTerm{});
    } else {
      transposeBlock(w, stride, d, x, rows, n, ub, g, TermsTerm{terms});
    }
  }
  if (learn && terms.scaled != 0) advanceFactorIndex(exemplarFactorIndex, exemplarFactorCount);
}

void BackFullSynapse::computeColumns(int rows, int n, const double* w, const double* x) {
  const int64_t stride = dual->inputLength;
  const bool learn = learningEnabled != 0;
  const double* delta = currentFrame();
  double* u = targetAxon->currentFrame();
  const int64_t deltaCount = inputBound();
  const int64_t uCount = outputBound();
  const int64_t gCount = std::min<int64_t>(weightTotal(), static_cast<int64_t>(weights.size()));
  const int64_t matrixSize = dual->ownCount;
  const GradientTerms terms =
      gradientTerms(control, exemplarFactors, exemplarFactorCount, exemplarFactorIndex);
  for (int j = 0; j < rows && j < deltaCount; ++j) {
    // Output element j writes its own error column j.
    const int64_t uStart = (int64_t{jacobianColumnBase} + j) * stride;
    if (uStart < 0 || uStart + stride > uCount) continue;
    const int64_t gStart = int64_t{j} * matrixSize + int64_t{j} * stride;
    if (learn && gStart + n > gCount) continue;
    const double* row = w + j * stride;
    double* uj = u + uStart;
    double* g = learn ? weights.data() + gStart : nullptr;
    // Not a training hot path: kept one term at a time, as written.
    for (int k = 0; k < n; ++k) {
      uj[k] += row[k] * delta[j];
      if (learn) terms.add(g[k], terms.scale(delta[j] * x[k]), row[k]);
    }
  }
  if (learn && terms.scaled != 0) advanceFactorIndex(exemplarFactorIndex, exemplarFactorCount);
}

}  // namespace kq

// The Levenberg-Marquardt globals' arrays: sizing and freeing the n-sized
// ones (which grow with the square of the weight count and so wait for
// learning) and the m x n ones, and taking the state that the weight file
// saved into them.

#include <algorithm>
#include <cstdint>

#include <kqnet/control/control.h>
#include <kqnet/core/fatal.h>
#include <kqnet/learning/lm_globals.h>

namespace kq {

namespace {

// Row-major saved values into a table, as far as both reach.
void copyRows(const ClaimedArray<double>& from, RowMatrix& to) {
  size_t next = 0;
  for (auto& row : to) {
    for (double& value : row) {
      if (next >= from.size()) return;
      value = from[next++];
    }
  }
}

void copyVector(const ClaimedArray<double>& from, ClaimedArray<double>& to) {
  std::copy(from.begin(),
            from.begin() + static_cast<std::ptrdiff_t>(std::min(from.size(), to.size())),
            to.begin());
}

// Calls release on an entry of a sizing list.
const auto kRelease = [](auto& array, auto, const auto&) { array.release(); };

}  // namespace

template <typename Size>
void LMGlobals::eachWeightArray(Size&& size) {
  const int n = weightCount;
  for (RowMatrix* table :
       {&exemplarJtJ, &savedHessian, &hessian, &inverse, &regularisationMatrix}) {
    size(*table, n, Rows<double>{static_cast<size_t>(std::max(n, 0)), 0.0});
  }
  for (ClaimedArray<double>* vector : {&weightStep, &gradientSum, &savedWeights}) {
    size(*vector, n, 0.0);
  }
  size(marked, n, uint8_t{0});
}

template <typename Size>
void LMGlobals::eachBlockArray(Size&& size) {
  for (RowMatrix* table : {&savedGradient, &previousAccumulator, &currentAccumulator, &jacobian}) {
    size(*table, blockCount, Rows<double>{static_cast<size_t>(std::max(weightCount, 0)), 0.0});
  }
}

void LMGlobals::allocateWeightArrays() {
  // Five n x n tables and four vectors; the count comes from the network's
  // shapes, which a weight file gives.
  checkedProduct(weightCount, weightCount);
  sizeTogether([this](auto&& size) { eachWeightArray(size); });
  weightArraysAllocated = true;
  weightArraysPending = false;
}

void LMGlobals::allocatePendingArrays() {
  if (weightArraysPending) allocateWeightArrays();
}

void LMGlobals::allocateBlockArrays() {
  checkedProduct(blockCount, weightCount);
  sizeTogether([this](auto&& size) { eachBlockArray(size); });
  blockArraysAllocated = true;
}

void LMGlobals::freeWeightArrays() {
  eachWeightArray(kRelease);
  weightArraysAllocated = false;
  weightArraysPending = false;
}

void LMGlobals::freeBlockArrays() {
  eachBlockArray(kRelease);
  blockArraysAllocated = false;
}

#ifndef NDEBUG
// Only the assertions call it; release builds leave it out.
bool LMGlobals::arraysMatchCounts() const {
  const size_t n = static_cast<size_t>(weightCount);
  const size_t m = static_cast<size_t>(blockCount);
  const auto shaped = [](const RowMatrix& a, size_t rows, size_t columns) {
    return a.size() == rows &&
           std::all_of(a.begin(), a.end(), [&](const auto& row) { return row.size() == columns; });
  };
  const bool weightArrays =
      !weightArraysAllocated ||
      (shaped(exemplarJtJ, n, n) && shaped(savedHessian, n, n) && shaped(hessian, n, n) &&
       shaped(inverse, n, n) && shaped(regularisationMatrix, n, n) && weightStep.size() == n &&
       gradientSum.size() == n && savedWeights.size() == n && marked.size() == n);
  const bool blockArrays =
      !blockArraysAllocated || (shaped(savedGradient, m, n) && shaped(previousAccumulator, m, n) &&
                                shaped(currentAccumulator, m, n) && shaped(jacobian, m, n));
  return weightArrays && blockArrays;
}
#endif

void LMGlobals::allocateWorkArrays() {
  if (weightArraysAllocated) return;
  weightCount = std::max(weightCount, 0);
  blockCount = std::max(blockCount, 0);
  allocateWeightArrays();
  freeBlockArrays();
  allocateBlockArrays();
}

void LMGlobals::freeState() {
  const bool hadSavedWeights = weightArraysAllocated;
  freeWeightArrays();
  freeBlockArrays();
  weightCount = 0;
  blockCount = 0;
  if (hadSavedWeights) {
    swapped = 0;
    swapAvailable = 0;
  }
}

void LMGlobals::takeSavedState(const SavedLmState& saved) {
  initialised = saved.initialised;
  skipFlag = saved.skipFlag;
  passDone = saved.passDone;
  initialDamping = saved.initialDamping;
  damping = saved.damping;
  previousError = saved.previousError;
  weightCount = std::max(saved.weightCount, 0);
  blockCount = std::max(saved.blockCount, 0);
  resetRequested = saved.resetRequested;
  swapped = saved.swapped;
  swapAvailable = saved.swapAvailable;
  allocateWorkArrays();
  copyRows(saved.exemplarJtJ, exemplarJtJ);
  copyRows(saved.hessian, hessian);
  copyRows(saved.savedHessian, savedHessian);
  copyRows(saved.inverse, inverse);
  copyRows(saved.jacobian, jacobian);
  copyRows(saved.savedGradient, savedGradient);
  copyRows(saved.previousAccumulator, previousAccumulator);
  copyVector(saved.savedWeights, savedWeights);
  copyVector(saved.step, weightStep);
  copyVector(saved.gradientSum, gradientSum);
}

}  // namespace kq

#pragma once

#include <cstdint>

#include <kqnet/core/claimed_array.h>
#include <kqnet/learning/learning_globals.h>
#include <kqnet/linalg/lu.h>

// LMGlobals: Levenberg-Marquardt training with optional Bayesian
// regularisation (Levenberg 1944, Marquardt 1963; the regularisation after
// Foresee and Hagan 1997). The backward network carries one error column per
// output, so each backward component accumulates one gradient block per
// output. After every exemplar the change of those accumulators, divided by
// the output's error, gives the rows of the Jacobian of the outputs with
// respect to every weight, and J^T J is summed into a Gauss-Newton Hessian.
// At every batch end the point reached by the last step is accepted (less
// damping) or rejected (more damping, back to the last accepted point), the
// damped system is solved and all weights move. The gradient objects do no
// updating of their own in this mode.
//
// Every weight is reached through the control's WeightIndex; n is its
// weight count, m its block count (one block per output). It overrides
// bind, resetSearch, prepare, afterExemplar, endBatch, finishTraining and
// freeState; the other hooks are the base's.

namespace kq {

struct SavedLmState;
class Criterion;
class Soma;

class LMGlobals : public LearningGlobals {
 public:
  // The previous error before any point was accepted: a first batch whose
  // cost is at most this is accepted.
  static constexpr double kNoPreviousError = 9999.9;

  LMGlobals() = default;

  // The base bind, resetSearch, and the control's initial damping.
  void bind(StaticControl* owner) override;
  // Asks prepare for a full reset; forgets the last accepted cost and drops
  // the control's saved state.
  void resetSearch() override;
  // Sizes the arrays to the control's weight numbering (the n x n ones only
  // with learning on), applies a requested reset and undoes the swap
  // finishTraining made.
  void prepare(int learning) override;
  // One exemplar's Jacobian rows and their J^T J into the Hessian.
  void afterExemplar() override;
  // Accept or reject the last step, solve the damped system, move the
  // weights; then the base (skipFlag := 0).
  void endBatch() override;
  // The network ends with the weights of the last accepted point.
  void finishTraining() override;
  void freeState() override;

  // The arrays and the saved state (lm_arrays.cpp).
  // Allocates every array for weightCount and blockCount unless they exist.
  void allocateWorkArrays();
  // Exchanges every weight with its saved value (learning and training on).
  void swapWeights();
  // Copies a state read from the weight file: scalars and sizes, then every
  // matrix and vector entry into the array of the same role.
  void takeSavedState(const SavedLmState& saved);

  // The error-column set-up that a backward criteria control starts on each
  // component it feeds under Levenberg-Marquardt; the walk over the backward
  // components lives with them (BackCriteriaControl::assignJacobianColumns).
  static void lmAssignColumns(Soma* component, int columns, Soma* root, Soma* from);

  RowMatrix exemplarJtJ;                    // n x n: J^T J of the last exemplar
  RowMatrix savedHessian;                   // n x n: hessian at the last accepted point
  RowMatrix hessian;                        // n x n: J^T J over the batch, then damped in place
  RowMatrix inverse;                        // n x n: inverse of the damped hessian
  RowMatrix regularisationMatrix;           // n x n: beta J^T J + alpha I
  ClaimedArray<double> weightStep;          // n: the batch's weight change
  ClaimedArray<double> gradientSum;         // n: accumulated negative gradient per weight
  ClaimedArray<double> savedWeights;        // n: weights of the last accepted point
  RowMatrix savedGradient;                  // m x n: accumulators at the last accepted point
  RowMatrix previousAccumulator;            // m x n: accumulators after the previous exemplar
  RowMatrix currentAccumulator;             // m x n: accumulators after this exemplar
  RowMatrix jacobian;                       // m x n: last exemplar's J, a row per output
  double initialDamping = 0.01;             // damping a reset starts from
  double damping = 0.01;                    // mu of the current step
  double previousError = kNoPreviousError;  // training cost at the last accepted point
  int32_t weightCount = 0;                  // n the arrays are sized for
  int32_t blockCount = 0;                   // m the m x n arrays are sized for
  int32_t resetRequested = 0;               // prepare must apply a reset
  int32_t swapped = 0;                      // finishTraining swapped in the saved weights
  int32_t swapAvailable = 0;                // a point was accepted since the last swap

 private:
  // Weight i of the network and its block-b accumulator entry, or null when
  // the numbering does not reach them; the caller may write through either.
  double* weightAt(int i);
  double* accumulatorAt(int b, int i);
  // Whether weight i belongs to a component the criteria control feeds.
  bool isMarked(int i) const;
  // The criterion whose cost and error signal the method reads, or null.
  Criterion* criterion() const;
  // The sizing lists of the arrays, defined and used in lm_arrays.cpp:
  // size(array, count, value) for each n-sized array (a table: n rows of
  // n), and for each m x n table (m rows of n). One list serves the
  // sizing and the freeing.
  template <typename Size>
  void eachWeightArray(Size&& size);
  template <typename Size>
  void eachBlockArray(Size&& size);
  void allocateWeightArrays();
  // The n-sized arrays whose sizing waited for learning to start.
  void allocatePendingArrays();
  void allocateBlockArrays();
  void freeWeightArrays();
  void freeBlockArrays();
  // Whether every allocated array has the size its count says; the hooks
  // index them by the counts alone. Defined in debug builds only.
  bool arraysMatchCounts() const;
  // The steps of endBatch. First the batch's cost judges the last step: the
  // point it reached is accepted, or the batch is redone from the last accepted
  // point with more damping, or (damping run out) a gradient step is taken.
  void judgeLastStep(double cost);
  // Damping down; the cost, Hessian, weights and accumulators become the saved point.
  void acceptPoint(double cost);
  // Damping up; the weights, accumulators and Hessian return to the saved point.
  void retryWithMoreDamping();
  // From the saved weights, a small step along the batch's gradient, kept as
  // the new saved point whatever its cost.
  void takeGradientStep(double cost);
  // gradientSum: per weight, its accumulator summed over the blocks, or for an
  // output-layer bias the entry of its own output's block.
  void sumGradient();
  // Every weight moves by its weightStep.
  void applyWeightStep();
  // The Hessian, the previous accumulators and every accumulator entry to 0.
  void clearBatchSums();
  // The Bayesian update of the control's alpha and beta.
  void updateRegularisation();

  bool weightArraysAllocated = false;  // the n-sized arrays exist
  bool weightArraysPending = false;    // sized for weightCount once learning is on
  bool blockArraysAllocated = false;   // the m x n arrays exist
  ClaimedArray<uint8_t> marked;        // per weight: fed by the criteria control
};

}  // namespace kq

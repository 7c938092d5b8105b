#pragma once

#include <cstdint>

#include <kqnet/synapses/synapse.h>

// BackSynapse: the backward twin of a synapse, wired the opposite way: its
// input axon is the twin of the forward synapse's output axon, its output
// axon the twin of the forward synapse's input axon, and its dual is the
// forward synapse. It reads the error frame of its input axon through the
// shared ring like any synapse, passes the error back into its output axon
// and fires it; with learning on it steps the dual back after each firing so
// the dual's frame follows the exemplar being back-propagated. BackSynapse
// passes the error one to one; subclasses override compute (the transposed
// transfer and the weight gradient) and sizeWeights.
//
// BackFullSynapse: the twin of a full synapse. It adds W^T x error into the
// output axon's frame and accumulates error x input for every weight, in
// the dual's row-by-row layout, one matrix per error block.

namespace kq {

class BackSynapse : public Synapse {
 public:
  BackSynapse();

  const char* className() const override { return "BackSynapse"; }
  const char* performName() const override { return "performBackSynapse"; }
  bool isBackSynapse() const override { return true; }
  // create(instance, dual's instance, input rows, input columns, output
  // rows, output columns) once the dual and both ends are set and none of
  // the sizes is 0; each end's sizes are its forward twin's where it has one.
  void createInstance() override;
  // (instance, dual's instance, the error read, the input end's sizes, the
  // output axon's frame, the output end's sizes, the dual's frame).
  void perform() override;
  // The Synapse firing, then the own-part weight observer sees the gradient.
  void fire() override;
  // With learning on, the dual steps back first; then the plain Soma step
  // (nothing is zeroed: the ring belongs to the input axon).
  void stepForward() override;
  // A random draw per weight as any Soma, then every value back to 0.
  void randomizeWeights() override;

  // Attaches the forward twin and takes its delay, which re-connects the
  // input: the context synapse's twin thereby leaves its input axon's
  // firing list and becomes a backward root.
  virtual void setDual(Synapse* forward);

  // Called before the backward pass: the dual remembers its frame, then
  // steps back to the one it read for this exemplar.
  void stepDualFrameBack();
  // Called after the backward pass: the dual returns to its saved frame.
  void restoreDualFramePosition();

  int32_t learningEnabled = 1;              // 0: only pass the error on
  const double* exemplarFactors = nullptr;  // optional per-exemplar factors, not owned
  int32_t exemplarFactorCount = 0;          // entries of exemplarFactors; 0 none
  int32_t exemplarFactorIndex = 0;          // factor of the current exemplar
  Synapse* dual = nullptr;                  // the forward twin

 protected:
  // Rows and columns of an end as the outside functions see it: those of
  // its forward twin where it has one, else its own (0 without an end).
  static int endRows(const Axon* end);
  static int endColumns(const Axon* end);
  // The perform call as an F with the BackSynapse arguments, then extra.
  template <typename F, typename... Extra>
  void performWithDual(Extra... extra);
};

class BackFullSynapse : public BackSynapse {
 public:
  const char* className() const override { return "BackFullSynapse"; }
  const char* performName() const override { return "performBackFullSynapse"; }
  // length x input length accumulator values, not forced.
  void sizeWeights() override;
  int32_t weightCountFor(int outputLength, int inputLength) const override;
  // The BackSynapse arguments, then the dual's weights and the gradients.
  void perform() override;
  // u += W^T delta into the output axon's frame; with learning, the
  // accumulator gains delta x per weight.
  void compute() override;
  // The Soma binding, then the own part as the gradient matrix.
  void bindWeightAccess() override;

 private:
  // One output element per error column (the output synapse under
  // Levenberg-Marquardt).
  void computeColumns(int rows, int n, const double* w, const double* x);
  // Every block through the whole matrix.
  void computeBlocks(int m, int rows, int n, const double* w, const double* x);
};

}  // namespace kq

#pragma once

#include <cstdint>

#include <kqnet/axons/axon.h>

// BackAxon: the backward twin of an axon. It is itself an Axon and fires,
// counts arrivals and fires its successors (the backward synapses) the same
// data-flow way, but its activity is the error of its layer and its weight
// vector accumulates the gradient of its forward twin's weights. The forward
// twin is its dual: the backward axon takes the dual's shape, reads the
// dual's activity of the exemplar being back-propagated and walks the dual's
// ring back one frame per backward step. BackAxon itself computes nothing
// (the input layer's twin only receives the error). Subclasses override
// compute (the derivative and the accumulation) and allocateFrames (to size
// the accumulator); setDerivativeOffset is for the tanh twins.
//
// BackBiasAxon: accumulates the bias gradient, one value per element, in m
// blocks of the dual's length when the backward network carries m error
// columns side by side.
// BackLinearAxon: multiplies the error by the dual's slope first.
// BackTanhAxon: multiplies it by the tanh derivative beta (1 - y^2 + o),
// o the derivative offset.

namespace kq {

class BackAxon : public Axon {
 public:
  BackAxon();

  const char* performName() const override { return "performBackAxon"; }
  // create(instance, dual's instance, dual's rows, dual's columns) once the
  // dual is set.
  void createInstance() override;
  // (instance, dual's instance, dual's activity, dual's rows and columns,
  // the error); the criteria control uses it too.
  void perform() override;
  // The Axon firing, then the own-part weight observer sees the gradient.
  void fire() override;
  // With learning on, the dual steps back first; then the Axon step.
  void stepForward() override;
  // A random draw per weight as any Soma, then every value back to 0: the
  // accumulator always starts empty.
  void randomizeWeights() override;
  // The observers see the dual's shape (times the error columns).
  void bindActivityAccess() override;
  // The Soma part, then the sizes follow the new column count.
  void setJacobianColumns(int n) override;
  // Takes the dual's length, input length, rows and columns.
  void resizeToDual() override;
  bool followsDual() const override;

  // Called after the backward pass: the dual returns to its saved frame.
  virtual void restoreDualFramePosition();
  // Attaches the forward twin and takes its shape.
  virtual void setDual(Axon* forward);
  // Ignored here; the tanh twins store it.
  virtual void setDerivativeOffset(double) {}

  // Called before the backward pass: the dual remembers its frame, then
  // steps back to the one it computed for this exemplar.
  void stepDualFrameBack();

  int32_t learningEnabled = 1;              // 0: only pass the error on
  const double* exemplarFactors = nullptr;  // optional per-exemplar factors, not owned
  int32_t exemplarFactorCount = 0;          // entries of exemplarFactors; 0 none
  int32_t exemplarFactorIndex = 0;          // factor of the current exemplar
  Axon* dual = nullptr;                     // the forward twin

 protected:
  // The length and input length the dual gives at the present error
  // columns, into the two arguments; true when resizeToDual re-sizes to
  // them. Needs a dual.
  bool dualLengths(int32_t& wantLength, int32_t& wantInput) const;
  // Error blocks this axon carries (m = length / L, L the dual's length);
  // 0 without a dual or with an empty one.
  int blockCount() const;
  // Values of the dual's current frame and weight vector that may be read.
  int dualFrameCount() const;
  int dualWeightCount() const;
  // The dual's instance, frame and shape as the perform calls pass them
  // (null and 0 without a dual).
  void* dualInstance() const { return dual != nullptr ? dual->performInstance() : nullptr; }
  double* dualFrame() const { return dual != nullptr ? dual->currentFrame() : nullptr; }
  int dualRows() const { return dual != nullptr ? dual->rows : 0; }
  int dualColumns() const { return dual != nullptr ? dual->columns : 0; }
  // Values of the own current frame and accumulator that may be touched.
  int ownFrameCount() const;
  int ownWeightCount() const;
  // Values that m blocks cover within the current frame and, when asked,
  // within the accumulator; needs a dual.
  int coveredEnd(int m, bool withAccumulator) const;
  // The loop the learning twins share, over the values below end in blocks
  // of the dual's length, at most limit of each block: term(error, l,
  // terms) may change the error of block element l and gives the gradient
  // term that joins the accumulator (beside the dual's weight l under
  // decay). Needs a dual; the factor index moves on when a factor applied.
  template <typename Term>
  void accumulateBlocks(int end, int limit, Term term);
};

class BackBiasAxon : public BackAxon {
 public:
  const char* performName() const override { return "performBackBiasAxon"; }
  // The BackAxon arguments, then the bias gradients.
  void perform() override;
  // The error passes unchanged; with learning it is the bias gradient term.
  void compute() override;
  // One accumulator value per element, then the frames.
  void allocateFrames() override;
  // The ring and the accumulator.
  void eachShapeArray(const ArrayVisitor& size, ClaimedArray<double>& ring,
                      const AxonShape& shape) override;
};

class BackLinearAxon : public BackBiasAxon {
 public:
  BackLinearAxon();

  const char* performName() const override { return "performBackLinearAxon"; }
  double getDouble(int index) override;
  void setDouble(int index, double value) override;
  int ownParameterCount() const override { return 1; }
  int firstOwnParameterIndex() const override { return kFirstOwnIndex; }
  void setDerivativeOffset(double offset) override { derivativeOffset = offset; }
  // The BackBiasAxon arguments, then the dual's slope.
  void perform() override;
  // e := beta e
  void compute() override;

  static constexpr int kFirstOwnIndex = Axon::kFirstOwnIndex + 3;

  AccessorTable<DoubleGetter, 1> offsetGetters;  // the offset parameter
  AccessorTable<DoubleSetter, 1> offsetSetters;
  double derivativeOffset = 0.0;  // added to the tanh derivative
};

class BackTanhAxon : public BackLinearAxon {
 public:
  // e := e beta (1 - y y + o)
  void compute() override;
};

}  // namespace kq

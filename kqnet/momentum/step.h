#pragma once

#include <cstdint>

#include <kqnet/core/access_ref.h>
#include <kqnet/core/array_visitor.h>
#include <kqnet/core/claimed_array.h>
#include <kqnet/core/engine.h>
#include <kqnet/learning/gradient.h>

// Step: first-order gradient descent. At every batch end each weight moves
// by its step size, divided by the batch divisor, times its accumulated
// gradient, optionally pulled towards 0 by weight decay; the accumulator
// entry is then cleared. The step sizes are one shared value or one per
// weight, and an observer may be shown them. Momentum derives from it and
// overrides the sizing, the rule, the outside call and the reset; it keeps
// the step sizes, divisor and decay of this level.

namespace kq {

class Step : public Gradient, public AccessOwner {
 public:
  static constexpr int kFirstOwnIndex = 0;

  Step() = default;
  ~Step() override = default;

  const char* className() const override { return "Step"; }
  // Frees the step sizes, then leaves the control's gradient list.
  void release() override;
  // Indexed access over the two own double parameters. Nothing fills the
  // accessor tables; whoever installs a descriptor fills the entry and so
  // chooses what it stands for (an unfilled entry answers 0).
  double getDouble(int index) override;
  void setDouble(int index, double value) override;
  int ownParameterCount() const override { return 2; }
  int firstOwnParameterIndex() const override { return kFirstOwnIndex; }

  // Rebuilds the rule's per-weight arrays for the new count (below 1
  // counts as 1), all of them refused together before any of them or the
  // counts change; then the step sizes are filled with the scalar step and
  // the observers rebound.
  void setWeightCount(int n) override;
  // create(instance, accumulator size, perWeightStep[, userDatum]).
  void createInstance() override;
  double stepSize() override { return scalarStep; }
  const char* performName() const override { return "performStep"; }
  void setWeightDecay(double d) override { weightDecay = d; }
  void setWeightDecayOn(int on) override { decayOn = on; }
  // Stores the scalar and writes it into every entry, then notifies.
  void setStepSize(double s) override;
  // Rebuilds the step sizes with one entry per weight or one shared.
  void setPerWeightStep(int on) override;
  // Entry i with per-weight steps (and i in range), entry 0 otherwise; the
  // base's scratch place while the array does not exist.
  double& stepSizeAt(int i) override;
  void setDivisor(int n) override { divisor = n; }
  void attachStepObserver(SpatialAccess* access) override;
  // w += (s / d) g, or w += (s / d) g - (c / k) w with decay, per block.
  void updateWeights(Soma& target) override;
  // The outside rule, then the accumulator is cleared.
  void perform(Soma& target) override;
  // Shared step sizes are refilled (per-weight ones survive); then the
  // accumulator is cleared.
  void resetState() override;

  AccessorTable<DoubleSetter, 2> doubleSetters;  // own parameters, written
  AccessorTable<DoubleGetter, 2> doubleGetters;  // own parameters, read
  int32_t stepCount = 0;                         // entries of stepSizes (0 until built)
  double scalarStep = 0.1;                       // the shared step, refilled on every rebuild
  ClaimedArray<double> stepSizes;                // the step sizes the rule reads
  AccessRef stepObserver{*this};                 // shown stepSizes
  int32_t perWeightStep = 0;                     // one step size per weight
  int32_t decayOn = 0;                           // the rule applies weight decay
  double weightDecay = 0.01;                     // decay coefficient per update
  int32_t divisor = 1;                           // the step is divided by it (exemplars per batch)

 protected:
  // Calls size(array, count, value) for every per-weight array of the rule,
  // with the count it takes for a rule of n weights: the one list that
  // setWeightCount checks and sizes.
  virtual void eachStateArray(const ArrayVisitor& size, int32_t n);
  // After the arrays took their sizes for n: the counts, the observers'
  // binding and the refills.
  virtual void commitSizing(int32_t n);
  // A stored observer is bound to the array it is shown.
  void accessStored(AccessRef& field) override;

  // What one update walks: the target's weights, the accumulator read as
  // blocks of n, and how many accumulator entries may be touched.
  struct UpdateShape {
    double* weights = nullptr;   // the target's weight vector
    int64_t n = 0;               // weights per block (the target's weight total)
    double* gradient = nullptr;  // the backprop object's accumulator
    int64_t available = 0;       // accumulator entries the passes may reach
    int blocks = 1;              // gradient blocks, one pass each
  };

  // Fills shape for an update of target; false when there is nothing to do
  // (no accumulator, step sizes not built yet, no block).
  bool shapeUpdate(Soma& target, UpdateShape& shape);
  // Entries of pass j (of n weights) that lie inside the first available
  // accumulator entries: a short accumulator ends the walk early instead of
  // being read past its end.
  static int64_t passLength(const UpdateShape& shape, int64_t j, int64_t available);
  // The divisor the rule divides by: 0 would turn every step into inf or
  // nan, which the weight sanitising then turns into zeroed weights, so a
  // divisor of 0 counts as 1 (undivided).
  double effectiveDivisor() const { return divisor == 0 ? 1.0 : static_cast<double>(divisor); }
  // The step size of weight i as the rule reads it: the weight's own entry
  // with per-weight steps, else the shared one.
  double stepFor(int64_t i, double shared) const {
    return perWeightStep != 0 && i < static_cast<int64_t>(stepSizes.size())
               ? stepSizes[static_cast<size_t>(i)]
               : shared;
  }
  // Zeroes the first n accumulator entries (those an outside rule used).
  void clearUsedGradient(Soma& target);
};

}  // namespace kq

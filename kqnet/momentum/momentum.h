#pragma once

#include <cstdint>

#include <kqnet/core/claimed_array.h>
#include <kqnet/momentum/step.h>

// Momentum: gradient descent with momentum. Every accumulator entry keeps a
// velocity carried from batch to batch, v := mu v + (s / d) g, and the
// weight moves by the velocity (less the decay). The velocity is the rule's
// learning state: it is the record of the rule's weight-file section, read
// and written here, with a snapshot for the saved-state writers. Keeps
// Step's step sizes, divisor and decay; adds the momentums (one shared or
// one per weight, of which the rule reads the first) and two observers.

namespace kq {

class Momentum : public Step {
 public:
  static constexpr int kFirstOwnIndex = Step::kFirstOwnIndex + 2;

  Momentum() = default;
  ~Momentum() override = default;

  const char* className() const override { return "Momentum"; }
  // Frees the velocity and the momentums, then Step's release. The
  // snapshot stays until a saved-state writer consumes it.
  void release() override;
  // Indices below 2 are Step's; index 2 is the own double parameter, whose
  // accessor entry nothing fills (an unfilled entry answers 0).
  double getDouble(int index) override;
  void setDouble(int index, double value) override;
  int ownParameterCount() const override { return 1; }
  int firstOwnParameterIndex() const override { return kFirstOwnIndex; }

  double momentum() override { return scalarMomentum; }
  const char* performName() const override { return "performMomentum"; }

  // Copies the velocity into the snapshot for the saved writers.
  void saveState() override;

  // Stores the scalar and writes it into every momentum entry, then
  // notifies the momentum observer.
  void setMomentum(double mu) override;
  void attachVelocityObserver(SpatialAccess* access) override;
  void attachMomentumObserver(SpatialAccess* access) override;
  // v := mu v + (s / d) g, w += v (less the decay), per block; then the
  // velocity observer is told.
  void updateWeights(Soma& target) override;
  void perform(Soma& target) override;
  // Zeroes the velocity (observers told with resettingFlag set), refills
  // the momentums, then Step's reset.
  void resetState() override;
  // One momentum per weight or one shared; rebuilds the arrays.
  virtual void setPerWeightMomentum(int on);

  AccessorTable<DoubleSetter, 1> momentumSetters;  // own parameter, written
  AccessorTable<DoubleGetter, 1> momentumGetters;  // own parameter, read
  int32_t momentumCount = 0;                       // entries of momentums (0 until built)
  double scalarMomentum = 0.5;                     // the shared momentum mu
  ClaimedArray<double> momentums;                  // built by setWeightCount
  ClaimedArray<double> velocity;                   // one value per accumulator entry
  AccessRef velocityObserver{*this};               // shown velocity
  AccessRef momentumObserver{*this};               // shown momentums
  int32_t perWeightMomentum = 0;                   // one momentum per weight
  ClaimedArray<double> savedVelocity;              // snapshot of saveState; empty when none

 protected:
  // Step's arrays, then a zeroed velocity and the momentums; committed,
  // the momentums are refilled and each observer rebound.
  void eachStateArray(const ArrayVisitor& size, int32_t n) override;
  void commitSizing(int32_t n) override;
  void accessStored(AccessRef& field) override;

  // The velocity record: a count, then one value per accumulator entry.
  // Files from before the record existed leave the velocity alone. From
  // the snapshot when one was taken (then dropped), else the velocity.
  void readStateRecord(RecordReader& reader, KqWeightFileVersion version) override;
  void writeStateRecord(RecordWriter& writer, bool fromSnapshot) override;

 private:
  void bindVelocityObserver();
  void bindMomentumObserver();
  // N of the record: the backprop object's weight total, bounded by the
  // velocity actually held (0 without a backprop object), so that a reader
  // never stores past the velocity, a writer never reads past it, and a
  // written count always matches the values after it.
  int64_t recordCount() const;
};

}  // namespace kq

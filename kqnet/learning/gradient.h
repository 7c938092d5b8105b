#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <kqnet/core/engine.h>
#include <kqnet/core/record_numbers.h>
#include <kqnet/core/weight_file_version.h>

// A gradient object is the weight-update rule of one trainable component.
// It holds no gradient of its own: the component's backward twin (backprop)
// accumulates error x input in its own weight vector during the backward
// passes, and at every batch end the program asks the rule to change the
// forward component's weights from that accumulator (applyUpdate). The base
// holds the two attachments, sizes itself to the backprop object, joins the
// control's gradient list when there is something to update, clears the
// accumulator and carries the perform-record hooks. Its setters and
// observers do nothing: the concrete rules (conjugate gradient, step,
// momentum) override the ones they give meaning to, and override
// updateWeights (the built-in rule), perform (the outside rule) and
// resetState (their own state first, then this one).

namespace kq {

class Soma;
class SpatialAccess;
struct PerformRecord;
class RecordReader;
class RecordWriter;

class Gradient : public Engine {
 public:
  Gradient() = default;
  // Frees nothing: subclasses free their arrays in release.
  ~Gradient() override = default;
  Gradient(const Gradient&) = delete;
  Gradient& operator=(const Gradient&) = delete;

  const char* className() const override { return "Gradient"; }
  // Leaves the control's gradient list when it joined it.
  void release() override;
  // Joins the end of the control's gradient list only when the backprop
  // object has weights.
  void registerWithControl() override;

  // Sizes the rule; below 1 counts as 1. Subclasses call this first, then
  // resize their per-weight arrays.
  virtual void setWeightCount(int n);
  // Perform-record create call; replaces the record's instance.
  virtual void createInstance();
  // The rule's shared step size, for outside tools; Step answers its own.
  virtual double stepSize() { return 1.0; }
  // Perform-record destroy call for a replaced instance.
  virtual void destroyInstance(void* instance);
  // The rule's shared momentum, for outside tools; Momentum answers its own.
  virtual double momentum() { return 0.5; }
  // Follows the backprop object's weight total (1 without one). Called by
  // setBackprop and by the control's preparation.
  virtual void matchTargetSize();
  // With a record installed: create a new instance, destroy the old one.
  virtual void recreateInstance();
  // Name of the outside update function the rule expects, or null.
  virtual const char* performName() const { return nullptr; }

  // The weight-file record operations. Each file form and its text twin
  // wrap the rule's hook (readStateRecord, writeStateRecord) in a reader or
  // writer of their kind, so the twins cannot drift apart; a rule changes
  // its record by overriding the hooks and saveState, never these.
  // The program's load calls readWeights on the rule's section, after
  // setBackprop: matchTargetSize, then the rule's state record.
  virtual void readWeights(std::FILE* file, KqWeightFileVersion version);
  virtual void readWeightsFromText(WeightTextCursor& cursor, KqWeightFileVersion version);
  // The rule's state record alone (readStateRecord), for a caller that
  // holds a positioned state record.
  virtual void readState(std::FILE* file, KqWeightFileVersion version);
  virtual void readStateFromText(WeightTextCursor& cursor, KqWeightFileVersion version);
  // For a caller that saves the network (the programs only read): the
  // section's record, the state record from the snapshot taken by
  // saveWeights (the present state when there is none), then one line end.
  virtual void writeSavedWeights(std::FILE* file);
  virtual void writeSavedWeightsToText(std::string& text);
  // The same from the present state.
  virtual void writeWeights(std::FILE* file);
  virtual void writeWeightsToText(std::string& text);
  // Snapshot for the saved writers: the rule's saveState.
  virtual void saveWeights() {
    followTarget();
    saveState();
  }
  // The state record alone, from its snapshot (writeSavedState) or present.
  virtual void writeSavedState(std::FILE* file);
  virtual void writeSavedStateToText(std::string& text);
  virtual void writeState(std::FILE* file);
  virtual void writeStateToText(std::string& text);
  // Called by saveWeights: the snapshot of the rule's state; the base has
  // none. An override allocates it on the first call and overwrites it in
  // place on later ones.
  virtual void saveState() {}
  // Clears the rule's state (resetState); for callers that restart a
  // training, no pass calls it.
  virtual void reset();
  // The setters and observers below are called by the program's set-up
  // (step size, momentum, divisor, per-weight steps) or by outside tools;
  // the rules that give them meaning override them, the others ignore them.
  //
  // Decay coefficient per update (Step).
  virtual void setWeightDecay(double) {}
  // Switches weight decay on or off (Step).
  virtual void setWeightDecayOn(int) {}
  // The shared momentum; set during set-up (Momentum).
  virtual void setMomentum(double) {}
  // The shared step size; set during set-up (Step).
  virtual void setStepSize(double) {}
  // An observer shown the velocities (Momentum).
  virtual void attachVelocityObserver(SpatialAccess*) {}
  // One step size per weight or one shared; set after setBackprop (Step).
  virtual void setPerWeightStep(int) {}
  // The step size of weight i; the base hands out one scratch place for
  // every i.
  virtual double& stepSizeAt(int) { return stepSizeScratch; }
  // The batch divisor of the step size; set during set-up (Step).
  virtual void setDivisor(int) {}
  // An observer shown the momentums (Momentum).
  virtual void attachMomentumObserver(SpatialAccess*) {}
  // Stores the record, then re-creates the instance.
  virtual void setPerformRecord(PerformRecord* record);
  // An observer shown the step sizes (Step).
  virtual void attachStepObserver(SpatialAccess*) {}
  // Stores a value nothing reads; kept for outside tools that set it.
  virtual void setSpareParameter(double value) { spareParameter = value; }
  // The built-in rule, called by applyUpdate at a batch end: changes
  // forward's weights from the accumulator and clears what it used.
  virtual void updateWeights(Soma&) {}
  // The rule through the outside perform function, called by applyUpdate
  // instead of updateWeights when a record is installed.
  virtual void perform(Soma&) {}
  // Zeroes the whole accumulator and lets its observer see it; an override
  // clears its own state first and ends with this.
  virtual void resetState();

  // Attaches the backward object and sizes the rule to it.
  void setBackprop(Soma* object);
  // The end-of-batch update: the rule, the accumulator's observer, then the
  // forward object's sanitising. Called once per batch by the program. A
  // rule whose accumulator was re-sized since it was sized (a layer grown
  // after prepareLearning) first follows it, as prepareLearning would.
  void applyUpdate(Soma& target);
  // Gradient blocks the backprop object carries side by side (one per error
  // column; 1 while either attachment is missing).
  int gradientBlockCount() const;
  // Follows the accumulator when it was re-sized since the rule was sized
  // (matchTargetSize): called before each batch's update and before the
  // state is saved or written, so that neither uses the old layout.
  void followTarget();

  double spareParameter = 10000.0;         // stored by setSpareParameter, read by nobody
  Soma* backprop = nullptr;                // backward component holding the accumulator
  Soma* forward = nullptr;                 // forward component whose weights change
  PerformRecord* performRecord = nullptr;  // optional outside update, not owned
  uint64_t userDatum = 0;                  // appended to every perform call when non-zero
  double stepSizeScratch = 0.0;            // the place the base stepSizeAt hands out
  uint32_t registered = 0;                 // joined the control's gradient list
  int32_t weightCount = 0;                 // weights the rule is sized for

 protected:
  // The accumulator and the forward object both attached and the rule sized:
  // the entry points of every rule check this first.
  bool ready() const;
  // The rule's state record, the hook of the record operations (the reader
  // and writer are declared in core/records.h); the base has none. With fromSnapshot: the snapshot
  // saveState took, dropped once written, or the present state when none was taken.
  virtual void readStateRecord(RecordReader&, KqWeightFileVersion) {}
  virtual void writeStateRecord(RecordWriter&, bool /*fromSnapshot*/) {}

 private:
  // The section's record: matchTargetSize and the state record; written,
  // the state record and one line end.
  void readRecord(RecordReader& reader, KqWeightFileVersion version);
  void writeRecord(RecordWriter& writer, bool fromSnapshot);
};

}  // namespace kq

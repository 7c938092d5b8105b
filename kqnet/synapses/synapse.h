#pragma once

#include <vector>

#include <kqnet/core/soma.h>
#include <kqnet/synapses/packed_weights.h>

// Synapse: connects an input axon to an output axon. It owns no activity:
// it shares the input axon's ring through its own frame pointer, delay
// frames behind the axon's current frame, adds its product into the output
// axon's current frame and fires that axon. A synapse with a delay is not
// fired by its input axon; the control fires it as an activation root before
// the input axon's chain, so it carries an earlier exemplar forward. The
// plain Synapse adds its input one to one; subclasses override sizeWeights
// (to size their weights for the two ends) and compute (the transfer).
//
// FullSynapse: a fully connected layer. Its weights are an output-length x
// input-length matrix stored row by row: the weight from input element k to
// output element j is at j x input length + k. It sums over a copy of the
// matrix laid out for the sums (synapses/packed_weights.h), remade whenever
// the weights change.

namespace kq {

class Axon;

class Synapse : public Soma {
 public:
  Synapse();

  // Drops both ends and the borrowed ring, leaves the control's synapse
  // list, then frees the weights (never the input axon's ring).
  void release() override;
  bool isKindOf(const char* name) const override;
  // Joins the end of the control's synapse list.
  void registerWithControl() override;
  int getInt(int index) override;
  void setInt(int index, int value) override;
  int ownParameterCount() const override { return 1; }
  int firstOwnParameterIndex() const override { return kFirstOwnIndex; }
  const char* performName() const override { return "performSynapse"; }
  // create(instance, input rows, input columns, output rows, output
  // columns) once both ends are set and none of the four is 0.
  void createInstance() override;
  // Re-shares the input axon's ring after it moved; the control calls it.
  void reconnect() override;
  // A delayed synapse holds past activity of its input axon: zero the ring.
  void resetMemory() override;
  bool isSynapse() const override { return true; }
  // Transfer into the output axon, step, fire the output axon.
  void fire() override;
  int disconnectInput(Soma* source) override;
  Soma* disconnectOutput(Soma* target, int fromAll) override;
  // Takes an axon as the input end; anything else leaves no input.
  void connectInput(Soma* source) override;
  // Takes an axon as the output end; anything else (null) disconnects.
  void connectOutput(Soma* target) override;
  void setDelay(int n) override;
  // Snapshot of the delayed activity for the saved writers (nothing with
  // delay 0), allocated by the first call and freed by the writer that
  // prints it.
  void saveState() override;

  // Sizes the weights for the current ends; called when both are known.
  virtual void sizeWeights();
  // The own weight count sizeWeights gives for ends of these lengths; -1
  // for a synapse that sizes no weights (the plain one).
  virtual int32_t weightCountFor(int /*outputLength*/, int /*inputLength*/) const { return -1; }
  // Calls size(array, count, value) for the arrays reconnect re-sizes for
  // the present lengths of the two ends (nothing when the count stays): the
  // weight list of setWeightCount, which reconnect sizes. The control walks
  // it over every synapse before it re-sizes the first.
  template <typename Size>
  void eachReconnectArray(Size&& size) const {
    const int32_t count = reconnectCount();
    if (count >= 0 && count != ownCount) eachWeightArray(size, count);
  }
  // The own weight count reconnect sizes for; -1 while an end is missing.
  int32_t reconnectCount() const;
  // Hands the transfer to the installed perform function; fire calls it
  // instead of compute when one is installed.
  virtual void perform();
  // The built-in transfer: adds into the output axon's current frame.
  virtual void compute();

  static constexpr int kFirstOwnIndex = Soma::kFirstOwnIndex + 3;

  ClaimedArray<double> savedDelayedActivity;  // snapshot of the delayed activity for the writers
  AccessorTable<IntGetter, 1> intGetters;     // the integer parameter
  AccessorTable<IntSetter, 1> intSetters;
  Axon* sourceAxon = nullptr;  // the axon read
  Axon* targetAxon = nullptr;  // the axon added into and fired

 protected:
  // The delayed-activity record (from version 124, only with a delay): the
  // current frame, which holds the delayed activity read, length values.
  // With delay 0 these read and write nothing.
  void readStateRecord(RecordReader& reader, KqWeightFileVersion version) override;
  void writeStateRecord(RecordWriter& writer, bool fromSnapshot) override;
  // Elements of the output frame this synapse may write, and of its own
  // (input) frame it may read: each bounded by the current frames as well as
  // by the lengths, so an end resized since the last sizing is never overrun.
  int outputBound() const;
  int inputBound() const;
  // Re-attaches when the ring this synapse shares was replaced.
  void refreshView();
  // The sizing of the matrix synapses: count own weights (an unchanged
  // count keeps them and binds the observers again), then the Synapse step.
  void sizeOwnWeights(int32_t count);
  // The perform call as an F with the Synapse arguments, then extra.
  template <typename F, typename... Extra>
  void performWith(Extra... extra);
};

class FullSynapse : public Synapse {
 public:
  const char* className() const override { return "FullSynapse"; }
  const char* performName() const override { return "performFullSynapse"; }
  // length x input length weights, not forced: an unchanged count keeps them.
  void sizeWeights() override;
  int32_t weightCountFor(int outputLength, int inputLength) const override;
  // The Synapse arguments, then the weights.
  void perform() override;
  // y[j] += W[j][k] x[k], per output element in ascending k.
  void compute() override;
  // The own part as the matrix, one row per output element.
  void bindWeightAccess() override;
  // The Synapse release, and the packed copy goes with the weights.
  void release() override;

 private:
  PackedWeights packed;  // the matrix laid out for compute
};

}  // namespace kq

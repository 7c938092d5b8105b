#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <kqnet/core/access_ref.h>
#include <kqnet/core/claimed_array.h>
#include <kqnet/core/engine.h>
#include <kqnet/core/perform.h>
#include <kqnet/core/record_numbers.h>
#include <kqnet/core/weight_file_version.h>
#include <kqnet/core/weight_vector.h>

// Soma is the base of every data-flow component: axons, synapses and their
// backward twins. It holds the activity as a ring of frames so that a
// component can read what another wrote exemplars earlier, the weights (its
// own followed by an outside instance's), the successor that firing reaches
// next and the observers of the activity and the weights. Derived classes
// override the firing, sizing and connection operations; the base gives the
// defaults that a plain Soma (the context axons' inner memory) uses.

namespace kq {

class SpatialAccess;
class RecordReader;
class RecordWriter;

// 1 while a component resets and tells its observers; transmitters stay
// silent meanwhile.
extern thread_local int resettingFlag;

class Soma : public Engine, public AccessOwner {
 public:
  Soma();
  ~Soma() override;
  Soma(const Soma&) = delete;
  Soma& operator=(const Soma&) = delete;

  const char* className() const override { return "Soma"; }
  void release() override;
  void registerWithControl() override;
  void parametersChanged() override;
  double getDouble(int index) override;
  void setDouble(int index, double value) override;
  double getDoubleAt(int index, int element) override;
  void setDoubleAt(int index, double value, int element) override;
  int ownParameterCount() const override { return 3; }
  int firstOwnParameterIndex() const override { return kFirstOwnIndex; }

  // Called by the program's run at the end of every epoch, on its criterion
  // after that epoch's closing cost (the order at the top of control.h);
  // only the criterion overrides it.
  virtual void resetEpoch() {}
  // The weight-file record operations (soma_records.cpp). Each
  // file form and its text twin wrap one protected hook below in a reader
  // or writer of their kind, so the twins cannot drift apart; a class
  // changes its record by overriding the hooks and saveState, never these.
  // The program's load calls readWeights on each object's section: the
  // section's record (readRecord), ending with the class's state record.
  // The file forms read from a stream positioned after the section's
  // header (weightfile/), the text forms through a WeightTextCursor
  // (core/record_numbers.h); writers append the record, not the header.
  virtual void readWeights(std::FILE* file, KqWeightFileVersion version);
  virtual void readWeightsFromText(WeightTextCursor& cursor, KqWeightFileVersion version);
  // The class's state record alone (readStateRecord), for a caller that
  // holds a positioned state record; the section readers reach the hook
  // directly.
  virtual void readState(std::FILE* file, KqWeightFileVersion version);
  virtual void readStateFromText(WeightTextCursor& cursor, KqWeightFileVersion version);
  // Re-shares the rings of the input axon after they moved (synapses).
  virtual void reconnect() {}
  // For a caller that saves the network (the programs only read): the
  // record from the snapshot taken by saveWeights, or from the present
  // values when there is none; blankLine non-zero ends it with one more
  // line end.
  virtual void writeSavedWeights(std::FILE* file, int blankLine);
  virtual void writeSavedWeightsToText(std::string& text, int blankLine);
  // The record of the present values.
  virtual void writeWeights(std::FILE* file, int blankLine);
  virtual void writeWeightsToText(std::string& text, int blankLine);
  // Snapshot of the weights for the saved writers, then of the state
  // (saveState).
  virtual void saveWeights();
  // The state record alone, from its snapshot (writeSavedState) or present.
  virtual void writeSavedState(std::FILE* file);
  virtual void writeSavedStateToText(std::string& text);
  virtual void writeState(std::FILE* file);
  virtual void writeStateToText(std::string& text);
  // Called by saveWeights after the weights: the snapshot of the state
  // record; Soma has none. An override allocates it on the first call and
  // overwrites it in place on later ones.
  virtual void saveState() {}
  // Name of the outside function this class expects, or null.
  virtual const char* performName() const { return nullptr; }
  // The record's create call with the class's sizes (core/perform.h);
  // nothing without a create function or while the sizes are unknown.
  virtual void createInstance();
  // The record's destroy call for a replaced instance.
  virtual void destroyInstance(void* oldInstance);
  // Re-creates the outside instance after a change of shape, keeping the
  // leading instance parameters and their storage inside the weights; the
  // same instance handed back with its vector re-sized or moved counts as
  // a new one.
  virtual void recreateInstance();
  // Installs record (null only clears the reference); never frees one.
  virtual void setPerformRecord(PerformRecord* record);
  // Installs a new record made of the three functions and the instance.
  virtual void setPerformFunctions(GenericFunction perform, GenericFunction create,
                                   GenericFunction destroy, void* instance, uint64_t datum);
  // Turns every non-finite weight into 0 after an update.
  virtual void sanitizeWeights();
  // Forgets what earlier exemplars left behind (the context axons' inner
  // memory, a delayed synapse's frames); a caller starting a new sequence
  // asks for it, no pass does. Nothing in the base.
  virtual void resetMemory() {}
  // Zeroes every frame with resettingFlag raised and tells the activity's
  // observer; re-shares a moved source ring first. Overrides call it first.
  virtual void reset();
  // Every axon class answers true (backward axons and criteria included).
  virtual bool isAxon() const { return false; }
  // The synapse classes answer true; an axon fires no delayed synapse.
  virtual bool isSynapse() const { return false; }
  // The backward synapse classes answer true.
  virtual bool isBackSynapse() const { return false; }
  // Called on the dual by a backward twin before it steps the dual back for
  // a backward pass; context axons save their memory's position too.
  virtual void saveFramePosition();
  // Called on the dual after the backward pass; pairs with the save above.
  virtual void restoreFramePosition();
  // Sizes the weights (own count n plus the instance part), zero-filled in
  // storage of that size, and randomises them, only when n changed unless
  // force is set; called by the sizing of axons and synapses and when the
  // outside instance changes shape. Re-binds the observers and points the
  // instance's parameter vector into the storage. Weights and saved weights
  // beyond physical memory end the process before anything changes.
  virtual void setWeightCount(int n, int force);
  // One frame back, wrapping to the last; the backward pass moves the duals
  // with it. Context axons move their memory first.
  virtual void stepBack();
  // One arrival of the data-flow protocol.
  virtual void fire();
  // An arrival that carries no data (from an inactive axon); passes on to
  // the successor so that fan-in counts stay in step.
  virtual void fireEmpty();
  // One frame on, wrapping to the first: each component moves once per
  // exemplar as it fires. Backward twins also move their dual back.
  virtual void stepForward();
  // Adds a fresh draw within the random range to each own weight; no pass
  // calls it. Ends by telling the weights' observers.
  virtual void jogWeights();
  // Draws every weight within the random range around its centre (unless
  // the keep-weights flag is set); called by setWeightCount and the random
  // setters. Overrides clear their accumulators or best costs after it.
  virtual void randomizeWeights();
  // Points the activity's observer at the current frame; called when a ring
  // is allocated or shared, an observer is set or the columns change.
  virtual void bindActivityAccess();
  // Points the weights' observers at the weights; called whenever the
  // weight array is replaced or freed, the shape it is seen in changes, or
  // an observer is stored. Overrides choose the shape (bindWeightAccessAs).
  virtual void bindWeightAccess();
  // Values produced per frame; axons derive it from rows x columns.
  virtual void setLength(int n) { length = n; }
  // Undoes a connectInput: an axon counts its fan-in down and returns what
  // is left, a synapse drops its input and its weights.
  virtual int disconnectInput(Soma*) { return 0; }
  // Undoes a connectOutput: a synapse drops its output and its weights, an
  // axon the target (answering null once it has no output left).
  virtual Soma* disconnectOutput(Soma*, int) { return nullptr; }
  // Wiring during set-up: an axon counts one more input, a synapse shares
  // its input axon's ring (delayed) and sizes its weights once both ends
  // are known.
  virtual void connectInput(Soma*) {}
  // The error columns carried side by side, set by the Levenberg-Marquardt
  // column set-up; backward twins resize to their dual after it.
  virtual void setJacobianColumns(int n);
  // Wiring during set-up: an axon adds a successor to fire, a synapse fixes
  // its output axon.
  virtual void connectOutput(Soma*) {}
  // Values read per frame; set by the sizing and by sharing a ring.
  virtual void setInputLength(int n) { inputLength = n; }
  // Past frames kept (axons re-allocate their ring) or read behind the
  // input axon (synapses re-share it).
  virtual void setDelay(int n);
  // The first successor an axon fires (null for other components); the
  // depth numbering walks it before the first pass.
  virtual Soma* firstFiringEntry() const { return nullptr; }

  // Shares the ring of axon, reading d frames behind its current frame.
  void attachAxon(Soma* axon, int d);
  void setRandomCentre(double centre);
  void setRandomRange(double range);
  void setOutputAccess(SpatialAccess* access);
  void setDepth(int newDepth);
  // Frees the weights; the observers are bound to nothing and an instance
  // parameter vector that pointed into them is left without data.
  void releaseWeights();

  // Allocates a zero-filled ring of delay + 1 frames of newFrameSize doubles,
  // carrying the last frame over when the frame size is unchanged. A ring
  // beyond physical memory ends the process before anything changes.
  void allocateRing(int newFrameSize);
  // Doubles of a ring of frames of frameLength doubles (at least one) for
  // that delay.
  static int32_t ringLengthFor(int frameLength, int ringDelay);

  double* ringStart() const { return ring.get(); }
  double* ringEnd() const { return ring ? ring.get() + ringLength : nullptr; }
  double* currentFrame() const { return ring ? ring.get() + currentOffset : nullptr; }
  int64_t currentFrameOffset() const { return currentOffset; }
  int frameCount() const { return frameSize > 0 ? static_cast<int>(ringLength / frameSize) : 0; }
  // True when a record with a perform function is installed; a record
  // without one leaves the built-in computation in charge.
  bool hasPerformFunction() const {
    return performRecord != nullptr && performRecord->perform != nullptr;
  }
  // The outside instance, or null without a record.
  void* performInstance() const {
    return performRecord != nullptr ? performRecord->instance : nullptr;
  }
  // Own weights followed by the instance part.
  int weightTotal() const { return ownCount + instanceCount; }
  // Copies derived from the weights (a full synapse's packed panels) are
  // remade before their next use when one of three things says the weights
  // may have changed, each for the writes it alone can see:
  // - the weights' write count (WeightVector), for every write through
  //   their interface and every replacement of their storage: the library's
  //   own writers all go through it;
  // - an attached weight observer, which may write through the block it is
  //   bound to at any time: the copy is remade at every use while one is
  //   attached, and detaching one counts as a write (accessLeft);
  // - the weight generation, moved by weightsChanged, for writes through a
  //   pointer kept across a sum, which no count sees: a caller's, or the
  //   least-squares initialiser's (LSWeightInitializer::computeWeights).
  static void weightsChanged();
  static uint64_t weightGeneration();
  // The weights' start, null when there are none; the non-const form
  // counts a write.
  double* weightData() { return weights.empty() ? nullptr : weights.data(); }
  const double* weightData() const { return weights.empty() ? nullptr : weights.data(); }

  static constexpr int kFirstOwnIndex = 0;

  int32_t frameSize = 0;  // doubles per frame
  AccessorTable<DoubleGetter, 2> doubleGetters;
  AccessorTable<DoubleSetter, 2> doubleSetters;
  AccessorTable<DoubleElementGetter, 1> doubleElementGetters;
  AccessorTable<DoubleElementSetter, 1> doubleElementSetters;
  // The frame ring. Readers that share it hold a reference too, so a ring an
  // axon replaced is never read after it was freed; its bytes stay on the
  // memory ledger until the last of them lets go (ClaimedArray::share).
  std::shared_ptr<double[]> ring;
  int64_t ringLength = 0;     // doubles from ring start to ring end
  int64_t currentOffset = 0;  // start of the current frame within the ring
  int64_t savedOffset = -1;   // frame remembered by saveFramePosition; -1 none
  // Own weights, then the instance part: storage only setWeightCount and
  // releaseWeights replace (what points into it: core/weight_vector.h).
  // Write the values freely through this interface:
  // every writing access is seen by the next sum. A pointer, iterator or
  // reference kept across a sum and written through after it is not: take
  // it again after the sum, or call weightsChanged (debug builds catch a sum
  // on weights written that way).
  WeightVector weights;
  ClaimedArray<double> savedWeights;  // snapshot for the weight-file writers
  int32_t length = 0;                 // values produced per frame
  int32_t inputLength = 0;            // values read per frame
  int32_t ownCount = 0;               // weights the class uses
  int32_t instanceCount = 0;          // weights of the outside instance
  int32_t jacobianColumns = 0;        // error columns carried side by side
  int32_t jacobianColumnBase = 0;     // first own column in the successor's frame
  int32_t depth = 0;                  // position counted from the firing roots
  double randomRange = 0.5;           // half width of the weight randomisation
  double randomCentre = 0.0;          // centre of the weight randomisation
  int32_t delay = 1;                  // extra past frames in the ring
  int32_t keepWeights = 0;            // randomizeWeights leaves the weights alone
  int32_t ownsRing = 1;               // the ring was allocated here
  int32_t ownsWeights = 1;            // the weights were allocated here
  int32_t criterionMark = 0;          // fed by a backward criteria control
  uint64_t userDatum = 0;             // appended to every perform call when non-zero
  Soma* frameSource = nullptr;        // the axon whose ring this component shares
  std::vector<Soma*> connectionList;  // criteria controls that assigned columns here
  Soma* successor = nullptr;          // fired after this component
  // The observers of the activity and of the weights (the links:
  // core/access_ref.h).
  AccessRef outputAccess{*this};           // observer of the activity
  AccessRef ownWeightAccess{*this};        // observer of the own weights
  AccessRef instanceWeightAccess{*this};   // observer of the instance weights
  PerformRecord* performRecord = nullptr;  // outside computation
  // Records made by setPerformFunctions: kept for the component's lifetime
  // (release leaves them), so whoever still points at one never reads freed
  // memory.
  std::vector<std::unique_ptr<PerformRecord>> madeRecords;

 protected:
  // An observer stored in one of the fields above is bound at once: the
  // activity's to the current frame, the weights' when there are weights.
  void accessStored(AccessRef& field) override;
  // A weight observer that left may have written the weights since the
  // last sum.
  void accessLeft(AccessRef& field) override;

  // The hooks of the record operations, one pair per record; the reader or
  // writer handed in is of the form called (core/records.h declares both,
  // and the helpers an override reads and writes with). readRecord and writeRecord: the
  // section's record, for Soma the weights record (a count, read and
  // ignored; the weight total's values; the state record), the present
  // values or, with fromSnapshot, the saved ones. An override (Axon's shape)
  // reads what it writes and ends with the Soma record.
  virtual void readRecord(RecordReader& reader, KqWeightFileVersion version);
  virtual void writeRecord(RecordWriter& writer, int blankLine, bool fromSnapshot);
  // The class's state record; Soma has none. With fromSnapshot: the
  // snapshot saveState took, dropped once written, or the present state
  // when none was taken (and always, for a class without a snapshot).
  virtual void readStateRecord(RecordReader&, KqWeightFileVersion) {}
  virtual void writeStateRecord(RecordWriter&, bool /*fromSnapshot*/) {}
  // Moves the current frame without any of the subclasses' extra work.
  void moveForward();
  void moveBack();
  void stepWeightAccesses();
  // Binds the own-part observer to the own weights seen as rows x columns,
  // cut to the whole rows the weights hold, and the instance-part observer
  // to the instance weights after them.
  void bindWeightAccessAs(int rows, int columns);

  // Calls size(array, count, 0.0) for the weights and their saved copy as
  // setWeightCount sizes them for n own weights (the instance part after
  // them, at least one weight): the one list that setWeightCount checks and
  // sizes, and that a caller checking a re-size beforehand walks.
  template <typename Size>
  void eachWeightArray(Size&& size, int n) {
    eachWeightArrayOf(*this, size, n);
  }
  template <typename Size>
  void eachWeightArray(Size&& size, int n) const {
    eachWeightArrayOf(*this, size, n);
  }
  // Parameters the outside instance states (0 without one).
  int32_t instanceParameterCount() const;

 private:
  template <typename Self, typename Size>
  static void eachWeightArrayOf(Self& self, Size& size, int n) {
    const int64_t total =
        std::max<int64_t>(int64_t{std::max(n, 0)} + self.instanceParameterCount(), 1);
    size(self.weights, total, 0.0);
    size(self.savedWeights, total, 0.0);
  }
  // Whether p points into the weights' storage.
  bool insideWeights(const double* p) const;
  // The outside instance's parameter vector when its data lies inside the
  // weights' storage, else null.
  ParameterVector* instanceVectorInWeights();
};

}  // namespace kq

#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <kqnet/core/array_visitor.h>
#include <kqnet/core/soma.h>

// Axon: a layer of rows x columns processing elements and the node of the
// data-flow graph. It counts the firings that reach it against its number of
// input connections; when the last one of a cycle has arrived it lets its
// data source fill the activity, computes, hands the activity to its
// observer, fires its successors (the one attached last first) and steps its
// ring on to a fresh, zeroed frame. Axon itself computes nothing: the input
// layer is a plain Axon fed by its data source. Subclasses override compute
// (the transfer function), allocateFrames (to size weights with the frames)
// and, for the backward twins, resizeToDual and stepForward.
//
// BiasAxon: adds one bias per element; the bias vector is the Soma weights,
// sized with the frames.
// LinearAxon: scales the net input by the slope beta before the bias.
// TanhAxon: the hyperbolic tangent of the linear result; every hidden and
// output layer is one.

namespace kq {

class SpatialAccess;

// Codes reported by activationKind.
enum ActivationKind : int32_t {
  kActivationTanh = 0,
  kActivationLinear = 2,
  kActivationBias = 3,
  kActivationNone = 4,
};

// The sizes an axon's frames and the arrays sized with them follow.
struct AxonShape {
  int32_t length = 0;       // values produced per frame
  int32_t inputLength = 0;  // values read per frame
  int32_t delay = 1;        // extra past frames of the ring
};

class Axon : public Soma {
 public:
  Axon();

  const char* className() const override { return "Axon"; }
  // Leaves the control's axon list, then frees the weights and the ring.
  void release() override;
  bool isKindOf(const char* name) const override;
  // Joins the end of the control's axon list, then follows the dual's shape.
  void registerWithControl() override;
  int getInt(int index) override;
  void setInt(int index, int value) override;
  int getBool(int index) override;
  void setBool(int index, int value) override;
  int ownParameterCount() const override { return 3; }
  int firstOwnParameterIndex() const override { return kFirstOwnIndex; }
  const char* performName() const override { return "performAxon"; }
  // create(instance, rows, columns).
  void createInstance() override;
  void reset() override;
  bool isAxon() const override { return true; }
  // One arrival; the last arrival of a cycle computes and fires on.
  void fire() override;
  // One arrival that carries no data.
  void fireEmpty() override;
  // Moves to the next frame and zeroes it, so synapses add into a clean frame.
  void stepForward() override;
  void bindActivityAccess() override;
  // Length and input length together; re-allocates the frames. 0 is ignored.
  void setLength(int n) override;
  int disconnectInput(Soma* source) override;
  Soma* disconnectOutput(Soma* target, int fromAll) override;
  void connectInput(Soma* source) override;
  void connectOutput(Soma* target) override;
  void setDelay(int n) override;
  Soma* firstFiringEntry() const override;

  virtual int activationKind() const { return kActivationNone; }
  virtual double slope() const { return 1.0; }
  // Hands the computation of the current frame to the installed perform
  // function; fire calls it instead of compute when one is installed.
  virtual void perform();
  // Adds this axon's activity into the successor being fired (an axon).
  virtual void addInto();
  // The transfer function, in place on the current frame; called once per
  // computing cycle after the data source has filled the frame.
  virtual void compute() {}
  // Sizes the frame ring for the present length and delay.
  virtual void allocateFrames();
  virtual void setSlope(double) {}
  // Takes the shape of the forward twin; only backward axons have one.
  virtual void resizeToDual() {}
  // Whether the shape is the one the forward twin gives (always, without
  // one); prepareLearning brings a twin that no longer follows to it.
  virtual bool followsDual() const { return true; }
  // Calls size(array, count, value) for every array allocateFrames sizes
  // for shape: the new ring (ring, empty until then) and what a subclass
  // sizes with the frames (biases, statistics). An array that keeps its
  // size is left out. The one list the shape checks walk before any field
  // changes.
  virtual void eachShapeArray(const ArrayVisitor& size, ClaimedArray<double>& ring,
                              const AxonShape& shape);

  void setRows(int r);
  void setColumns(int c);
  void setInputAccess(SpatialAccess* access);

  int firingCount() const { return static_cast<int>(firingList.size()); }
  int allOutputsCount() const { return static_cast<int>(allOutputs.size()); }

  static constexpr int kFirstOwnIndex = Soma::kFirstOwnIndex + 3;

  int32_t rows = 1;                        // rows of processing elements
  int32_t columns = 1;                     // columns of processing elements
  int32_t emptyArrivals = 0;               // empty firings counted in the current cycle
  int32_t arrivals = 0;                    // firings of either kind in the current cycle
  int32_t fanIn = 0;                       // number of input connections
  int32_t active = 1;                      // 0: no computing, empty firings passed on
  int32_t initialActive = 1;               // value reset gives back to active
  int32_t dataArrived = 0;                 // a real firing arrived in the current cycle
  int32_t framesAllocated = 0;             // allocateFrames has run
  double* outputCopy = nullptr;            // receives input-length values per computing cycle
  std::vector<Soma*> firingList;           // successors fired, in order of attachment
  std::vector<Soma*> allOutputs;           // every output, delayed synapses included
  AccessorTable<IntGetter, 2> intGetters;  // the two integer parameters
  AccessorTable<IntSetter, 2> intSetters;
  AccessorTable<IntGetter, 1> boolGetters;  // the boolean parameter
  AccessorTable<IntSetter, 1> boolSetters;
  AccessRef inputAccess{*this};  // fills the activity each computing cycle

 protected:
  // The axon record (axon_records.cpp): the shape, from version 224 the
  // active flag, then the weights record. A shape outside 1..1000000 ends
  // the process before the axon is changed. The writer always prints the
  // active flag.
  void readRecord(RecordReader& reader, KqWeightFileVersion version) override;
  void writeRecord(RecordWriter& writer, int blankLine, bool fromSnapshot) override;
  // The data source is bound like the activity's observer.
  void accessStored(AccessRef& field) override;
  // The Axon step without a subclass's extra work.
  void stepAndClear();
  // Ends with "Error: Out of memory." when the arrays of shape do not fit
  // beside the other claims, before anything changes.
  void requireShape(const AxonShape& shape);
  AxonShape currentShape() const { return AxonShape{length, inputLength, delay}; }
  // The release of a memory that reads this axon's ring (the context axons
  // and their twins) and of its frame's snapshot. The view is dropped first
  // so the memory never holds on to the ring.
  static void releaseMemory(std::unique_ptr<Soma>& memory, ClaimedArray<double>& savedMemory);
};

class BiasAxon : public Axon {
 public:
  const char* className() const override { return "BiasAxon"; }
  const char* performName() const override { return "performBiasAxon"; }
  int activationKind() const override { return kActivationBias; }
  // The Axon arguments, then the biases.
  void perform() override;
  // x := x + b
  void compute() override;
  // One bias per element, then the frames.
  void allocateFrames() override;
  // The ring and the biases.
  void eachShapeArray(const ArrayVisitor& size, ClaimedArray<double>& ring,
                      const AxonShape& shape) override;

 protected:
  // Elements that the frame, the input length and the weights all cover.
  int elementCount() const;
};

class LinearAxon : public BiasAxon {
 public:
  LinearAxon();

  const char* className() const override { return "LinearAxon"; }
  const char* performName() const override { return "performLinearAxon"; }
  int activationKind() const override { return kActivationLinear; }
  double slope() const override { return beta; }
  void setSlope(double value) override { beta = value; }
  // The BiasAxon arguments, then the slope.
  void perform() override;
  double getDouble(int index) override;
  void setDouble(int index, double value) override;
  int ownParameterCount() const override { return 1; }
  int firstOwnParameterIndex() const override { return kFirstOwnIndex; }
  // x := beta x + b
  void compute() override;

  static constexpr int kFirstOwnIndex = Axon::kFirstOwnIndex + 3;

  AccessorTable<DoubleGetter, 3> slopeGetters;  // the slope parameter
  AccessorTable<DoubleSetter, 3> slopeSetters;
  double beta = 1.0;  // the slope
};

class TanhAxon : public LinearAxon {
 public:
  const char* className() const override { return "TanhAxon"; }
  int activationKind() const override { return kActivationTanh; }
  // x := tanh(beta x + b)
  void compute() override;
};

}  // namespace kq

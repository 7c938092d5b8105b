#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <kqnet/core/access_ref.h>
#include <kqnet/core/engine.h>
#include <kqnet/core/perform.h>
#include <kqnet/data/spatial_data.h>

// A transmitter watches the block it is bound to and, when its trigger
// holds, performs a transmission: it calls its transmit function once for
// each (target, source) pair. It stays silent while a component resets
// (the thread-local resettingFlag).
//
// Transmitter: the transfer (trigger, then transmit) and the outside
// perform protocol; its own trigger never fires, so only a perform function
// can make it transmit. Subclasses override testTrigger and perform.
// ThresholdTransmitter: smooths the watched values exponentially and fires
// when the smoothed values cross a threshold in one of four ways, moving
// the threshold by a fixed step after each transmission.

namespace kq {

// Called once per pair by transmit.
using TransmitFunction = void (*)(void* target, void* source);

// The perform-record signatures of the transmitters are in core/perform.h.

class Transmitter : public SpatialData {
 public:
  static constexpr int kMaxPairs = 128;

  const char* className() const override { return "Transmitter"; }

  // The trigger test and, when it fires, the transmission; nothing while
  // the access is off or a component resets.
  void transfer() override;

  // Builds the outside instance; called by recreateInstance.
  virtual void createInstance();
  // Disposes of a replaced instance.
  virtual void destroyInstance(void* oldInstance);
  // After a record is installed: a new instance replaces the old one.
  virtual void recreateInstance();
  // Calls the transmit function once per pair, in order.
  virtual void transmit();
  virtual void setPerformRecord(PerformRecord* record);
  // Installs a record made from the three functions (kept until the
  // transmitter is destroyed).
  virtual void setPerformFunctions(GenericFunction perform, GenericFunction create,
                                   GenericFunction destroy, void* instance, uint64_t datum);
  // The built-in trigger; the base never fires.
  virtual int testTrigger(double* x);
  // The trigger decided by the installed perform function.
  virtual int perform(double* x);

  // Appends a pair; the transmitter keeps its own copy of the source bytes.
  // False when all kMaxPairs pairs are in use.
  bool addPair(void* target, const void* source, size_t sourceBytes);

  // True when a record with a perform function is installed.
  bool hasPerformFunction() const {
    return performRecord != nullptr && performRecord->perform != nullptr;
  }

  PerformRecord* performRecord = nullptr;       // outside trigger and its instance
  TransmitFunction transmitFunction = nullptr;  // called once per pair
  uint64_t userDatum = 0;                       // appended to outside calls when not 0
  uint32_t pairCount = 0;                       // pairs in use
  std::array<void*, kMaxPairs> pairSources{};   // source of pair i (owned copies)
  std::array<void*, kMaxPairs> pairTargets{};   // target of pair i (not owned)

 private:
  std::vector<std::unique_ptr<unsigned char[]>> ownedSources;  // storage behind pairSources
  std::vector<std::unique_ptr<PerformRecord>> madeRecords;     // records from setPerformFunctions
};

// 0 all channels, 1 any channel, 2 the mean of the channels, 3 one channel;
// any other value never fires.
enum TriggerMode : int32_t {
  kTriggerAll = 0,
  kTriggerAny = 1,
  kTriggerMean = 2,
  kTriggerChannel = 3,
};

class ThresholdTransmitter : public Transmitter, public AccessOwner {
 public:
  static constexpr int kFirstOwnIndex = 0;

  ThresholdTransmitter() = default;
  ~ThresholdTransmitter() override;

  const char* className() const override { return "ThresholdTransmitter"; }
  // Re-binding or re-sizing reshapes the smoothing buffer and starts it
  // again from fillValue.
  void setData(double* p, int newRows, int newColumns) override;
  void setSize(int newRows, int newColumns) override;
  void createInstance() override;
  // Transmits, then moves the threshold by its step.
  void transmit() override;
  int testTrigger(double* x) override;
  int perform(double* x) override;
  double getDouble(int index) override;
  void setDouble(int index, double value) override;
  int ownParameterCount() const override { return 4; }
  int firstOwnParameterIndex() const override { return kFirstOwnIndex; }

  // Folds x into the smoothed values and steps the buffer; returns them.
  virtual double* smooth(double* x);

  void setThreshold(double t);
  void setTriggerMode(int mode);
  void setTriggerSense(int newSense);
  // Uses b as the smoothing buffer, or a buffer of its own when b is null;
  // either way sized to the transmitter and filled with fillValue.
  void setSmoothingBuffer(SpatialData* b);

  AccessorTable<DoubleSetter, 4> doubleSetters;     // own parameters, written
  AccessorTable<DoubleGetter, 4> doubleGetters;     // own parameters, read
  AccessRef thresholdObserver{*this};               // stepped after every threshold change
  AccessRefTo<SpatialData> smoothingBuffer{*this};  // the smoothed values, one per element
  double threshold = 1.0;                           // the trigger threshold
  double thresholdStep = 1.0;                       // applied to threshold after each transmission
  double smoothingFactor = 0.7;                     // weight of the previous smoothed value
  double fillValue = 1.0;                           // value the smoothed values start from
  double initialThreshold = 0.0;                    // the value last given to setThreshold
  int32_t triggerMode = kTriggerAll;                // TriggerMode
  int32_t channel = 0;                              // element tested in mode 3
  uint32_t ownsSmoothingBuffer = 0;                 // 1 when the buffer was made here
  uint32_t sense = 0;                               // 0 fires above the threshold, 1 below
  uint32_t multiplicativeStep = 1;                  // 1 threshold x step, 0 threshold + step
  uint32_t absoluteSmoothing = 1;                   // 1 smooths absolute values

 protected:
  // A smoothing buffer stored is sized to the transmitter and filled with
  // fillValue; the threshold observer watches no block, so storing it binds
  // nothing.
  void accessStored(AccessRef& field) override;

 private:
  // Elements both the block and the smoothing buffer hold.
  int32_t watchedCount() const;

  std::unique_ptr<SpatialData> ownedSmoothing;  // the buffer made by setSmoothingBuffer(null)
};

}  // namespace kq

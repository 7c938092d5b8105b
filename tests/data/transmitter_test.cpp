#include <kqnet/data/transmitter.h>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include <kqnet/core/soma.h>

namespace {

using kq::ThresholdTransmitter;
using kq::Transmitter;

// Counts the transmissions: each pair's target is a counter.
void countTransmission(void* target, void*) { ++*static_cast<int*>(target); }

// Counts the transfers that reach it (an observer or a chained access).
class CountingAccess : public kq::SpatialAccess {
 public:
  const char* className() const override { return "CountingAccess"; }
  void transfer() override { ++transfers; }
  int transfers = 0;
};

// A threshold transmitter watching block, with its own smoothing buffer and
// one counting pair.
struct Watcher {
  explicit Watcher(std::vector<double>& block) {
    transmitter.transmitFunction = countTransmission;
    transmitter.addPair(&transmissions, nullptr, 0);
    transmitter.setSmoothingBuffer(nullptr);
    transmitter.setData(block.data(), static_cast<int>(block.size()), 1);
  }
  double smoothed(int k) const { return transmitter.smoothingBuffer->data[k]; }

  ThresholdTransmitter transmitter;
  int transmissions = 0;
};

TEST(ThresholdTransmitter, CostWatcherFirstFiresAtTheFifteenthTransfer) {
  std::vector<double> cost{0.004};
  Watcher w(cost);
  ThresholdTransmitter& t = w.transmitter;
  t.setThreshold(0.01);
  t.setTriggerMode(kq::kTriggerAny);
  t.setTriggerSense(1);
  ASSERT_EQ(t.ownsSmoothingBuffer, 1u);
  ASSERT_EQ(w.smoothed(0), 1.0);

  t.step();
  EXPECT_NEAR(w.smoothed(0), 0.7012, 1e-15);
  t.step();
  EXPECT_NEAR(w.smoothed(0), 0.49204, 1e-15);
  int firstFiring = 0;
  for (int transfer = 3; transfer <= 30; ++transfer) {
    t.step();
    // s_n = 0.004 + 0.996 * 0.7^n
    EXPECT_NEAR(w.smoothed(0), 0.004 + 0.996 * std::pow(0.7, transfer), 1e-14);
    if (firstFiring == 0 && w.transmissions > 0) firstFiring = transfer;
  }
  EXPECT_EQ(firstFiring, 15);
  EXPECT_EQ(w.transmissions, 16);  // transfers 15 to 30
  EXPECT_EQ(t.threshold, 0.01);
}

// With smoothing factor 0 the smoothed values are the watched values, so
// the trigger table can be checked at, above and below the threshold.
int firesOn(int mode, int sense, std::vector<double> values, int channel = 0) {
  Watcher w(values);
  w.transmitter.smoothingFactor = 0.0;
  w.transmitter.setThreshold(0.5);
  w.transmitter.setTriggerMode(mode);
  w.transmitter.setTriggerSense(sense);
  w.transmitter.channel = channel;
  w.transmitter.step();
  return w.transmissions;
}

TEST(ThresholdTransmitter, AllChannelsIncludesTheThresholdInBothSenses) {
  EXPECT_EQ(firesOn(kq::kTriggerAll, 1, {0.5, 0.5}), 1);
  EXPECT_EQ(firesOn(kq::kTriggerAll, 1, {0.2, 0.5}), 1);
  EXPECT_EQ(firesOn(kq::kTriggerAll, 1, {0.2, 0.6}), 0);
  EXPECT_EQ(firesOn(kq::kTriggerAll, 0, {0.5, 0.5}), 1);
  EXPECT_EQ(firesOn(kq::kTriggerAll, 0, {0.9, 0.5}), 1);
  EXPECT_EQ(firesOn(kq::kTriggerAll, 0, {0.9, 0.4}), 0);
}

TEST(ThresholdTransmitter, AnyChannelExcludesTheThreshold) {
  EXPECT_EQ(firesOn(kq::kTriggerAny, 1, {0.5, 0.5}), 0);
  EXPECT_EQ(firesOn(kq::kTriggerAny, 1, {0.9, 0.4}), 1);
  EXPECT_EQ(firesOn(kq::kTriggerAny, 0, {0.5, 0.5}), 0);
  EXPECT_EQ(firesOn(kq::kTriggerAny, 0, {0.1, 0.6}), 1);
  EXPECT_EQ(firesOn(kq::kTriggerAny, 0, {0.1, 0.2}), 0);
}

TEST(ThresholdTransmitter, MeanIncludesTheThresholdOnlyAbove) {
  EXPECT_EQ(firesOn(kq::kTriggerMean, 1, {0.25, 0.75}), 0);  // mean 0.5
  EXPECT_EQ(firesOn(kq::kTriggerMean, 0, {0.25, 0.75}), 1);
  EXPECT_EQ(firesOn(kq::kTriggerMean, 1, {0.25, 0.5}), 1);
  EXPECT_EQ(firesOn(kq::kTriggerMean, 0, {0.25, 0.5}), 0);
  EXPECT_EQ(firesOn(kq::kTriggerMean, 0, {0.25, 1.0}), 1);
}

TEST(ThresholdTransmitter, OneChannelExcludesTheThresholdAndIgnoresTheOthers) {
  EXPECT_EQ(firesOn(kq::kTriggerChannel, 1, {0.9, 0.5}, 1), 0);
  EXPECT_EQ(firesOn(kq::kTriggerChannel, 1, {0.9, 0.4}, 1), 1);
  EXPECT_EQ(firesOn(kq::kTriggerChannel, 0, {0.1, 0.5}, 1), 0);
  EXPECT_EQ(firesOn(kq::kTriggerChannel, 0, {0.1, 0.6}, 1), 1);
  EXPECT_EQ(firesOn(kq::kTriggerChannel, 0, {0.9, 0.1}, 0), 1);
}

TEST(ThresholdTransmitter, UnknownModeAndOutOfRangeChannelNeverFire) {
  EXPECT_EQ(firesOn(4, 0, {0.9}), 0);
  EXPECT_EQ(firesOn(-1, 1, {0.1}), 0);
  EXPECT_EQ(firesOn(kq::kTriggerChannel, 0, {0.9, 0.9}, 2), 0);
  EXPECT_EQ(firesOn(kq::kTriggerChannel, 0, {0.9, 0.9}, -1), 0);
}

TEST(ThresholdTransmitter, EmptyBlockFiresOnlyForAllChannels) {
  std::vector<double> none;
  for (int mode : {0, 1, 2, 3}) {
    Watcher w(none);
    w.transmitter.setTriggerMode(mode);
    w.transmitter.step();
    EXPECT_EQ(w.transmissions, mode == kq::kTriggerAll ? 1 : 0) << "mode " << mode;
  }
}

TEST(ThresholdTransmitter, NegativeValuesAreSmoothedAsAbsoluteValuesUnlessSwitchedOff) {
  std::vector<double> block{-2.0};
  Watcher w(block);
  w.transmitter.smoothingFactor = 0.5;
  w.transmitter.step();
  EXPECT_EQ(w.smoothed(0), 1.5);
  w.transmitter.absoluteSmoothing = 0;
  w.transmitter.step();
  EXPECT_EQ(w.smoothed(0), -0.25);
}

TEST(ThresholdTransmitter, ThresholdMovesByItsStepAfterEachTransmission) {
  std::vector<double> block{5.0};
  Watcher w(block);
  CountingAccess observer;
  w.transmitter.thresholdObserver = &observer;
  w.transmitter.setThreshold(0.5);
  EXPECT_EQ(observer.transfers, 1);
  EXPECT_EQ(w.transmitter.initialThreshold, 0.5);
  w.transmitter.setTriggerMode(kq::kTriggerAny);  // above 0.5
  w.transmitter.thresholdStep = 2.0;
  w.transmitter.multiplicativeStep = 0;
  w.transmitter.step();
  EXPECT_EQ(w.transmissions, 1);
  EXPECT_EQ(w.transmitter.threshold, 2.5);
  EXPECT_EQ(observer.transfers, 2);
  w.transmitter.multiplicativeStep = 1;
  w.transmitter.step();
  EXPECT_EQ(w.transmitter.threshold, 5.0);
  EXPECT_EQ(w.transmitter.initialThreshold, 0.5);
}

TEST(ThresholdTransmitter, RebindingOrResizingRestartsTheSmoothedValues) {
  std::vector<double> block{0.0, 0.0};
  Watcher w(block);
  w.transmitter.fillValue = 3.0;
  w.transmitter.step();
  EXPECT_NE(w.smoothed(0), 3.0);
  std::vector<double> wider{0.0, 0.0, 0.0};
  w.transmitter.setData(wider.data(), 3, 1);
  EXPECT_EQ(w.transmitter.smoothingBuffer->length, 3);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(w.smoothed(k), 3.0);
  w.transmitter.step();
  w.transmitter.setSize(1, 4);
  EXPECT_EQ(w.transmitter.smoothingBuffer->length, 4);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(w.smoothed(k), 3.0);
}

TEST(ThresholdTransmitter, SilentWhileInactiveOrResetting) {
  std::vector<double> block{0.0};
  Watcher w(block);
  w.transmitter.setTriggerSense(1);  // 0.0 drifts below the threshold 1.0
  w.transmitter.active = 0;
  w.transmitter.step();
  EXPECT_EQ(w.smoothed(0), 1.0);
  w.transmitter.active = 1;
  kq::resettingFlag = 1;
  w.transmitter.step();
  kq::resettingFlag = 0;
  EXPECT_EQ(w.smoothed(0), 1.0);
  EXPECT_EQ(w.transmissions, 0);
  w.transmitter.setTriggerMode(kq::kTriggerAny);
  w.transmitter.step();
  EXPECT_EQ(w.transmissions, 1);
}

TEST(ThresholdTransmitter, GivenBufferIsNotOwnedAndItsChainSeesEachSmoothing) {
  std::vector<double> block{2.0, 4.0};
  kq::SpatialData buffer;
  CountingAccess chained;
  buffer.setNext(&chained);
  ThresholdTransmitter t;
  t.setData(block.data(), 2, 1);
  t.setSmoothingBuffer(&buffer);
  EXPECT_EQ(t.ownsSmoothingBuffer, 0u);
  EXPECT_EQ(t.smoothingBuffer, &buffer);
  EXPECT_EQ(buffer.length, 2);
  const int afterFill = chained.transfers;
  t.smoothingFactor = 0.5;
  t.step();
  EXPECT_EQ(buffer.data[0], 1.5);
  EXPECT_EQ(buffer.data[1], 2.5);
  EXPECT_EQ(chained.transfers, afterFill + 1);
  t.setSmoothingBuffer(nullptr);
  EXPECT_EQ(t.ownsSmoothingBuffer, 1u);
  EXPECT_NE(t.smoothingBuffer, &buffer);
}

TEST(ThresholdTransmitter, WithoutASmoothingBufferNeverFires) {
  std::vector<double> block{5.0};
  ThresholdTransmitter t;
  int transmissions = 0;
  t.transmitFunction = countTransmission;
  t.addPair(&transmissions, nullptr, 0);
  t.setData(block.data(), 1, 1);
  t.step();
  std::vector<double> none;
  t.setData(none.data(), 0, 0);
  t.step();
  EXPECT_EQ(transmissions, 0);
}

TEST(ThresholdTransmitter, ReportsItsWordAndFourOwnParameters) {
  ThresholdTransmitter t;
  EXPECT_STREQ(t.className(), "ThresholdTransmitter");
  EXPECT_STREQ(static_cast<Transmitter&>(t).Transmitter::className(), "Transmitter");
  EXPECT_EQ(t.ownParameterCount(), 4);
  EXPECT_EQ(t.firstOwnParameterIndex(), 0);
  EXPECT_EQ(t.getDouble(0), 0.0);
  t.setDouble(1, 3.0);  // no descriptor installed: nothing happens
  EXPECT_EQ(t.threshold, 1.0);
  EXPECT_FALSE(t.isKindOf("Transmitter"));
  EXPECT_TRUE(t.isKindOf("Engine"));
}

// --- Outside trigger functions -------------------------------------------------

struct Calls {
  int creates = 0;
  int destroys = 0;
  void* destroyed = nullptr;
  uint64_t datum = 0;
  int length = -1;
  double threshold = 0.0;
  int sense = -1;
  int mode = -1;
  double firstSmoothed = 0.0;
};
Calls calls;
int instances[4];

void* createPlain(void* old) {
  ++calls.creates;
  return old == &instances[0] ? &instances[1] : &instances[0];
}
void destroyPlain(void* instance) {
  ++calls.destroys;
  calls.destroyed = instance;
}
int performPlain(void*, double*, int length) {
  calls.length = length;
  return 1;
}
int performWithDatum(void*, double*, int length, uint64_t datum) {
  calls.length = length;
  calls.datum = datum;
  return 1;
}
void* createThreshold(void*, int rows, int columns) {
  ++calls.creates;
  calls.length = rows * columns;
  return &instances[2];
}
int performThreshold(void*, double* smoothed, int rows, int columns, double threshold, int sense,
                     int mode, int) {
  calls.length = rows * columns;
  calls.threshold = threshold;
  calls.sense = sense;
  calls.mode = mode;
  calls.firstSmoothed = smoothed[0];
  return 0;
}

TEST(Transmitter, PlainTransmitterFiresOnlyThroughAPerformFunction) {
  calls = Calls{};
  std::vector<double> block{1.0, 2.0};
  Transmitter t;
  int transmissions = 0;
  t.transmitFunction = countTransmission;
  t.addPair(&transmissions, nullptr, 0);
  t.setData(block.data(), 2, 1);
  t.step();
  EXPECT_EQ(transmissions, 0);

  t.setPerformFunctions(reinterpret_cast<kq::GenericFunction>(performPlain),
                        reinterpret_cast<kq::GenericFunction>(createPlain),
                        reinterpret_cast<kq::GenericFunction>(destroyPlain), &instances[0], 0);
  EXPECT_EQ(calls.creates, 1);
  EXPECT_EQ(calls.destroys, 1);
  EXPECT_EQ(calls.destroyed, &instances[0]);
  EXPECT_EQ(t.performRecord->instance, &instances[1]);
  t.step();
  EXPECT_EQ(transmissions, 1);
  EXPECT_EQ(calls.length, 2);

  kq::PerformRecord record{reinterpret_cast<kq::GenericFunction>(performWithDatum), nullptr,
                           nullptr, nullptr};
  t.userDatum = 99;
  t.setPerformRecord(&record);
  t.step();
  EXPECT_EQ(transmissions, 2);
  EXPECT_EQ(calls.datum, 99u);
}

TEST(Transmitter, ThresholdPerformFunctionGetsTheSmoothedValuesAndSettings) {
  calls = Calls{};
  std::vector<double> block{2.0};
  Watcher w(block);
  w.transmitter.setThreshold(0.25);
  w.transmitter.setTriggerSense(1);
  w.transmitter.setTriggerMode(kq::kTriggerMean);
  w.transmitter.setPerformFunctions(reinterpret_cast<kq::GenericFunction>(performThreshold),
                                    reinterpret_cast<kq::GenericFunction>(createThreshold), nullptr,
                                    nullptr, 0);
  EXPECT_EQ(calls.creates, 1);
  EXPECT_EQ(w.transmitter.performRecord->instance, &instances[2]);
  w.transmitter.step();
  EXPECT_EQ(calls.length, 1);
  EXPECT_EQ(calls.threshold, 0.25);
  EXPECT_EQ(calls.sense, 1);
  EXPECT_EQ(calls.mode, kq::kTriggerMean);
  EXPECT_NEAR(calls.firstSmoothed, 0.7 * 1.0 + 0.3 * 2.0, 1e-15);
  EXPECT_EQ(w.transmissions, 0);  // the function said no
}

TEST(Transmitter, TransmitCallsEachPairInOrderWithItsOwnCopyOfTheSource) {
  static std::vector<int> seen;
  seen.clear();
  Transmitter t;
  t.transmitFunction = [](void* target, void* source) {
    seen.push_back(*static_cast<int*>(target) * 100 + *static_cast<int*>(source));
  };
  int targets[3] = {1, 2, 3};
  for (int i = 0; i < 3; ++i) {
    int source = 10 + i;
    ASSERT_TRUE(t.addPair(&targets[i], &source, sizeof source));
  }
  t.transmit();
  EXPECT_EQ(seen, (std::vector<int>{110, 211, 312}));
  for (int i = 3; i < Transmitter::kMaxPairs; ++i) ASSERT_TRUE(t.addPair(&targets[0], nullptr, 0));
  EXPECT_FALSE(t.addPair(&targets[0], nullptr, 0));
  EXPECT_EQ(t.pairCount, 128u);
}

}  // namespace

#include <kqnet/axons/axon.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "../synapses/network_helpers.h"
#include <kqnet/control/control.h>
#include <kqnet/core/record_numbers.h>
#include <kqnet/synapses/synapse.h>

namespace {

using kq::Axon;
using kq::BiasAxon;
using kq::FullSynapse;
using kq::LinearAxon;
using kq::Soma;
using kq::StaticControl;
using kq::Synapse;
using kq::TanhAxon;
using kqtest::Recorder;
using kqtest::RecordSource;

using Log = std::vector<std::string>;

template <typename T>
void name(T& object, const char* key, Log& log) {
  object.name = key;
  object.log = &log;
}

std::vector<double> frameOf(const Soma& soma) {
  const double* frame = soma.currentFrame();
  return std::vector<double>(frame, frame + soma.frameSize);
}

TEST(AxonClassTest, ReportsClassWordsKindsAndActivation) {
  Axon axon;
  BiasAxon bias;
  LinearAxon linear;
  TanhAxon tanhAxon;
  EXPECT_STREQ(axon.className(), "Axon");
  EXPECT_STREQ(bias.className(), "BiasAxon");
  EXPECT_STREQ(linear.className(), "LinearAxon");
  EXPECT_STREQ(tanhAxon.className(), "TanhAxon");
  EXPECT_TRUE(tanhAxon.isKindOf("Axon"));
  EXPECT_TRUE(tanhAxon.isKindOf("Engine"));
  EXPECT_TRUE(tanhAxon.isKindOf("CoreObject"));
  EXPECT_FALSE(tanhAxon.isKindOf("axon"));
  EXPECT_FALSE(tanhAxon.isKindOf("TanhAxon"));
  EXPECT_FALSE(axon.isKindOf("Synapse"));
  EXPECT_TRUE(axon.isAxon());
  EXPECT_FALSE(axon.isSynapse());
  EXPECT_EQ(axon.activationKind(), 4);
  EXPECT_EQ(bias.activationKind(), 3);
  EXPECT_EQ(linear.activationKind(), 2);
  EXPECT_EQ(tanhAxon.activationKind(), 0);
  EXPECT_STREQ(axon.performName(), "performAxon");
  EXPECT_STREQ(bias.performName(), "performBiasAxon");
  EXPECT_STREQ(tanhAxon.performName(), "performLinearAxon");
}

TEST(AxonClassTest, SlopeIsStoredOnlyFromTheLinearAxonOn) {
  BiasAxon bias;
  bias.setSlope(3.0);
  EXPECT_EQ(bias.slope(), 1.0);
  TanhAxon tanhAxon;
  EXPECT_EQ(tanhAxon.slope(), 1.0);
  tanhAxon.setSlope(2.5);
  EXPECT_EQ(tanhAxon.slope(), 2.5);
  EXPECT_EQ(tanhAxon.beta, 2.5);
}

TEST(AxonClassTest, IndexedParametersUseOwnRangesAfterTheBases) {
  TanhAxon axon;
  EXPECT_EQ(axon.firstOwnParameterIndex(), 6);
  EXPECT_EQ(axon.ownParameterCount(), 1);
  Axon plain;
  EXPECT_EQ(plain.firstOwnParameterIndex(), 3);
  EXPECT_EQ(plain.ownParameterCount(), 3);

  // A slope descriptor at index 6 reaches the LinearAxon table; an integer
  // descriptor at index 4 reaches the Axon table; below 3 Engine answers 0.
  kq::ParameterDescriptor slopeDescriptor;
  slopeDescriptor.kind = kq::kDouble;
  slopeDescriptor.accessorSlot = 1;
  axon.parameters[6] = &slopeDescriptor;
  axon.slopeGetters.entries[1] = [](kq::Engine& e) { return static_cast<LinearAxon&>(e).beta; };
  axon.slopeSetters.entries[1] = [](kq::Engine& e, double v) {
    static_cast<LinearAxon&>(e).beta = v;
  };
  axon.setDouble(6, 1.75);
  EXPECT_EQ(axon.beta, 1.75);
  EXPECT_EQ(axon.getDouble(6), 1.75);

  kq::ParameterDescriptor fanInDescriptor;
  fanInDescriptor.kind = kq::kInteger;
  fanInDescriptor.accessorSlot = 0;
  axon.parameters[4] = &fanInDescriptor;
  axon.parameters[1] = &fanInDescriptor;
  axon.intGetters.entries[0] = [](kq::Engine& e) { return static_cast<Axon&>(e).fanIn; };
  axon.fanIn = 5;
  EXPECT_EQ(axon.getInt(4), 5);
  EXPECT_EQ(axon.getInt(1), 0);
}

TEST(AxonFiringTest, RootWithNoFanInComputesOnEveryFire) {
  Log log;
  Recorder<Axon> axon;
  name(axon, "a", log);
  axon.setRows(2);
  axon.fire();
  axon.fire();
  EXPECT_EQ(log, (Log{"a.fire", "a.compute", "a.fire", "a.compute"}));
  // Two cycles stepped the two-frame ring round to the start.
  EXPECT_EQ(axon.currentFrameOffset(), 0);
}

TEST(AxonFiringTest, FanInTwoComputesOnlyOnTheSecondArrival) {
  Log log;
  Recorder<Axon> axon;
  name(axon, "a", log);
  axon.setRows(3);
  axon.connectInput(nullptr);
  axon.connectInput(nullptr);
  EXPECT_EQ(axon.fanIn, 2);
  axon.fire();
  EXPECT_EQ(log, (Log{"a.fire"}));
  EXPECT_EQ(axon.arrivals, 1);
  EXPECT_EQ(axon.dataArrived, 1);
  EXPECT_EQ(axon.currentFrameOffset(), 0);
  axon.fire();
  EXPECT_EQ(log, (Log{"a.fire", "a.fire", "a.compute"}));
  EXPECT_EQ(axon.arrivals, 0);
  EXPECT_EQ(axon.dataArrived, 0);
  EXPECT_EQ(axon.currentFrameOffset(), 3);
}

TEST(AxonFiringTest, FiresSuccessorsInReverseOrderOfAttachment) {
  Log log;
  Recorder<Axon> source;
  Recorder<FullSynapse> first;
  Recorder<Axon> second;
  Recorder<Axon> firstTarget;
  name(source, "source", log);
  name(first, "first", log);
  name(second, "second", log);
  name(firstTarget, "firstTarget", log);
  source.setRows(2);
  second.setRows(2);
  firstTarget.setRows(1);
  source.connectOutput(&first);
  source.connectOutput(&second);
  first.connectInput(&source);
  first.connectOutput(&firstTarget);
  firstTarget.connectInput(&first);
  second.connectInput(&source);

  RecordSource data;
  data.records = {{1.5, -2.0}};
  source.setInputAccess(&data);
  std::vector<double> secondSeen(2);
  second.outputCopy = secondSeen.data();

  source.fire();
  EXPECT_EQ(log, (Log{"source.fire", "source.compute", "second.fire", "second.compute",
                      "first.fire", "first.compute", "firstTarget.fire", "firstTarget.compute"}));
  // The axon successor received the activity before it fired.
  EXPECT_EQ(secondSeen, (std::vector<double>{1.5, -2.0}));
  // After the pass the successor reference names the entry fired last.
  EXPECT_EQ(source.successor, &first);
}

TEST(AxonFiringTest, AddIntoAddsOverTheShorterLength) {
  Axon wide;
  Axon narrow;
  wide.setRows(8);
  narrow.setRows(5);
  for (int i = 0; i < 8; ++i) wide.currentFrame()[i] = i + 1.0;
  for (int i = 0; i < 5; ++i) narrow.currentFrame()[i] = 0.5;
  wide.successor = &narrow;
  wide.addInto();
  EXPECT_EQ(frameOf(narrow), (std::vector<double>{1.5, 2.5, 3.5, 4.5, 5.5}));

  // The other way round only five values are added too.
  narrow.successor = &wide;
  narrow.addInto();
  EXPECT_EQ(frameOf(wide), (std::vector<double>{2.5, 4.5, 6.5, 8.5, 10.5, 6, 7, 8}));
}

TEST(AxonTopologyTest, DelayedSynapseIsRecordedButNeverFired) {
  Log log;
  Recorder<Axon> axon;
  Recorder<FullSynapse> delayed;
  name(axon, "axon", log);
  name(delayed, "delayed", log);
  axon.setRows(2);
  delayed.setDelay(1);
  axon.connectOutput(&delayed);
  EXPECT_EQ(axon.firingCount(), 0);
  ASSERT_EQ(axon.allOutputsCount(), 1);
  EXPECT_EQ(axon.allOutputs[0], &delayed);
  axon.fire();
  EXPECT_EQ(log, (Log{"axon.fire", "axon.compute"}));
}

TEST(AxonTopologyTest, DisconnectOutputKeepsTheOrderOfTheRest) {
  Axon axon;
  Axon a;
  Axon b;
  Axon c;
  axon.connectOutput(&a);
  axon.connectOutput(&b);
  axon.connectOutput(&c);
  axon.connectOutput(nullptr);
  EXPECT_EQ(axon.firingCount(), 3);
  axon.successor = &a;

  EXPECT_EQ(axon.disconnectOutput(&b, 0), &axon);
  EXPECT_EQ(axon.firingList, (std::vector<Soma*>{&a, &c}));
  EXPECT_EQ(axon.allOutputsCount(), 3);
  EXPECT_EQ(axon.disconnectOutput(&b, 1), &axon);
  EXPECT_EQ(axon.allOutputs, (std::vector<Soma*>{&a, &c}));

  axon.disconnectOutput(&a, 1);
  EXPECT_EQ(axon.successor, &a);
  EXPECT_EQ(axon.disconnectOutput(&c, 0), nullptr);
  EXPECT_EQ(axon.firingCount(), 0);
  EXPECT_EQ(axon.successor, nullptr);
  EXPECT_EQ(axon.firstFiringEntry(), nullptr);
  EXPECT_EQ(axon.allOutputs, (std::vector<Soma*>{&c}));
}

TEST(AxonTopologyTest, ManyOutputsAreAllKeptAndFired) {
  Axon axon;
  std::vector<Axon> targets(200);
  for (Axon& target : targets) {
    target.setRows(1);
    axon.connectOutput(&target);
  }
  axon.setRows(1);
  axon.currentFrame()[0] = 2.0;
  EXPECT_EQ(axon.firingCount(), 200);
  std::vector<double> seen(200, 0.0);
  for (size_t i = 0; i < targets.size(); ++i) targets[i].outputCopy = &seen[i];
  axon.fire();
  EXPECT_EQ(seen, std::vector<double>(200, 2.0));
}

TEST(AxonTopologyTest, FanInNeverGoesBelowZero) {
  Axon axon;
  axon.connectInput(nullptr);
  EXPECT_EQ(axon.disconnectInput(nullptr), 0);
  EXPECT_EQ(axon.disconnectInput(nullptr), 0);
  EXPECT_EQ(axon.fanIn, 0);
  axon.connectInput(nullptr);
  axon.connectInput(nullptr);
  EXPECT_EQ(axon.disconnectInput(nullptr), 1);
}

TEST(AxonFramesTest, SetRowsZeroKeepsOneRowAndCarriesTheLastFrame) {
  Axon axon;
  axon.setRows(1);
  EXPECT_EQ(axon.frameCount(), 2);
  axon.ringStart()[1] = 7.0;  // the last frame
  const double* before = axon.ringStart();
  axon.setRows(0);
  EXPECT_EQ(axon.rows, 1);
  EXPECT_NE(axon.ringStart(), before);
  EXPECT_EQ(axon.ringStart()[0], 0.0);
  EXPECT_EQ(axon.ringStart()[1], 7.0);

  const double* sized = axon.ringStart();
  axon.setRows(1);
  EXPECT_EQ(axon.ringStart(), sized);
}

TEST(AxonFramesTest, ResizingToAnotherFrameSizeCarriesNothing) {
  Axon axon;
  axon.setRows(2);
  axon.ringStart()[2] = 4.0;
  axon.ringStart()[3] = 5.0;
  axon.setRows(3);
  EXPECT_EQ(axon.length, 3);
  EXPECT_EQ(axon.inputLength, 3);
  EXPECT_EQ(axon.frameSize, 3);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(axon.ringStart()[i], 0.0);
  axon.setColumns(2);
  EXPECT_EQ(axon.length, 6);
  EXPECT_EQ(axon.frameSize, 6);
}

TEST(AxonFramesTest, RaisingTheDelayCarriesTheLastFrameAndStartsAtTheRingStart) {
  Axon axon;
  axon.setRows(2);
  axon.stepForward();
  axon.currentFrame()[0] = 1.0;
  axon.currentFrame()[1] = 2.0;
  axon.setDelay(2);
  EXPECT_EQ(axon.frameCount(), 3);
  EXPECT_EQ(axon.currentFrameOffset(), 0);
  const std::vector<double> ring(axon.ringStart(), axon.ringEnd());
  EXPECT_EQ(ring, (std::vector<double>{0, 0, 0, 0, 1, 2}));
  // The same delay again re-allocates nothing; a negative one counts as 0.
  const double* start = axon.ringStart();
  axon.setDelay(2);
  EXPECT_EQ(axon.ringStart(), start);
  axon.setDelay(-4);
  EXPECT_EQ(axon.delay, 0);
  EXPECT_EQ(axon.frameCount(), 1);
}

TEST(AxonFramesTest, StepForwardWrapsAndZeroesTheNewFrame) {
  Axon axon;
  axon.setRows(3);  // delay 1: two frames of three
  std::fill(axon.ringStart(), axon.ringEnd(), 9.0);
  axon.stepForward();
  EXPECT_EQ(axon.currentFrameOffset(), 3);
  EXPECT_EQ(frameOf(axon), (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(axon.ringStart()[0], 9.0);
  axon.stepForward();
  EXPECT_EQ(axon.currentFrameOffset(), 0);
  EXPECT_EQ(frameOf(axon), (std::vector<double>{0, 0, 0}));
  // stepBack wraps from the ring start to the last frame and zeroes nothing.
  axon.ringStart()[3] = 6.0;
  axon.stepBack();
  EXPECT_EQ(axon.currentFrameOffset(), 3);
  EXPECT_EQ(axon.currentFrame()[0], 6.0);
}

TEST(AxonFramesTest, SaveAndRestoreTheFramePosition) {
  Axon axon;
  axon.setRows(2);
  axon.setDelay(3);
  axon.stepForward();
  axon.saveFramePosition();
  axon.stepBack();
  axon.stepBack();
  EXPECT_EQ(axon.currentFrameOffset(), 6);
  axon.restoreFramePosition();
  EXPECT_EQ(axon.currentFrameOffset(), 2);
  EXPECT_EQ(axon.savedOffset, -1);
}

// Columns that make a 1000000-row axon ask for more than physical memory
// at bytesPerElement bytes per element of its length, the length staying
// within lengthLimit; 0 when the machine is too large for such a shape.
int columnsBeyondMemory(int64_t bytesPerElement, int64_t lengthLimit) {
  constexpr int64_t kRows = 1000000;
  const int64_t physical = int64_t{sysconf(_SC_PHYS_PAGES)} * sysconf(_SC_PAGESIZE);
  const int64_t columns = physical / bytesPerElement / kRows + 1;
  return kRows * columns <= lengthLimit ? static_cast<int>(columns) : 0;
}

// A plain axon reading a record of 1000000 rows and the given columns.
void readShape(int columns) {
  const std::string text = "1000000 " + std::to_string(columns) + "\n1\n0\n";
  kq::WeightTextCursor cursor{text.c_str()};
  Axon axon;
  axon.readWeightsFromText(cursor, 247);
}

// A record's shape whose ring of two frames (16 bytes an element, within
// half the 32-bit count) would not fit in physical memory ends the process
// before the ring is allocated.
TEST(AxonFramesDeathTest, ARingBeyondPhysicalMemoryEndsTheProcessBeforeSizing) {
  const int columns = columnsBeyondMemory(16, std::numeric_limits<int32_t>::max() / 2);
  if (columns == 0) GTEST_SKIP() << "no 32-bit ring exceeds this machine's memory";
  EXPECT_EXIT(readShape(columns), ::testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");
}

TEST(AxonFiringTest, InactiveAxonReadsPassesEmptyFiringsAndZeroesWithoutStepping) {
  Log log;
  Recorder<Axon> axon;
  Recorder<Axon> next;
  name(axon, "axon", log);
  name(next, "next", log);
  axon.setRows(2);
  next.setRows(2);
  axon.connectOutput(&next);
  next.connectInput(&axon);
  RecordSource data;
  data.records = {{3.0, 4.0}, {5.0, 6.0}};
  axon.setInputAccess(&data);
  axon.active = 0;

  axon.fire();
  EXPECT_EQ(data.next, 1u);  // the record was read all the same
  EXPECT_EQ(log, (Log{"axon.fire"}));
  EXPECT_EQ(axon.currentFrameOffset(), 0);
  EXPECT_EQ(frameOf(axon), (std::vector<double>{0, 0}));
  // The successor got an empty firing: it passed nothing on and did not step.
  EXPECT_EQ(next.currentFrameOffset(), 0);
  EXPECT_EQ(next.emptyArrivals, 0);

  axon.reset();
  EXPECT_EQ(axon.active, 1);
  axon.fire();
  EXPECT_EQ(log, (Log{"axon.fire", "axon.fire", "axon.compute", "next.fire", "next.compute"}));
}

TEST(AxonFiringTest, EmptyFiringWithRealDataCompletesTheCycle) {
  Log log;
  Recorder<Axon> axon;
  name(axon, "axon", log);
  axon.setRows(1);
  axon.connectInput(nullptr);
  axon.connectInput(nullptr);
  axon.fire();
  axon.fireEmpty();
  EXPECT_EQ(log, (Log{"axon.fire", "axon.fire", "axon.compute"}));
  EXPECT_EQ(axon.arrivals, 0);
  EXPECT_EQ(axon.emptyArrivals, 0);
}

TEST(AxonFiringTest, CycleAfterEmptyCyclesNeedsEveryArrival) {
  Log log;
  Recorder<Axon> axon;
  Recorder<Axon> next;
  name(axon, "axon", log);
  name(next, "next", log);
  axon.setRows(1);
  next.setRows(1);
  axon.connectInput(nullptr);
  axon.connectInput(nullptr);
  axon.connectOutput(&next);
  next.connectInput(&axon);

  // A cycle of two empty arrivals is passed on and leaves both counters clear.
  axon.fireEmpty();
  axon.fireEmpty();
  EXPECT_EQ(axon.arrivals, 0);
  EXPECT_EQ(axon.emptyArrivals, 0);
  // An inactive cycle clears both counters too.
  axon.active = 0;
  axon.fireEmpty();
  axon.fire();
  EXPECT_EQ(axon.arrivals, 0);
  EXPECT_EQ(axon.emptyArrivals, 0);
  axon.active = 1;
  log.clear();
  axon.fire();
  EXPECT_EQ(log, (Log{"axon.fire"}));
  axon.fire();
  EXPECT_EQ(log, (Log{"axon.fire", "axon.fire", "axon.compute", "next.fire", "next.compute"}));
}

TEST(AxonFiringTest, ObserversSeeTheComputedActivity) {
  LinearAxon axon;
  axon.setRows(2);
  axon.weights = {0.5, -1.0};
  axon.beta = 2.0;
  RecordSource data;
  data.records = {{1.0, 3.0}};
  axon.setInputAccess(&data);
  RecordSource probe;  // records nothing: only its binding is checked
  axon.setOutputAccess(&probe);
  std::vector<double> copy(2);
  axon.outputCopy = copy.data();
  const double* computedFrame = axon.currentFrame();
  axon.fire();
  EXPECT_EQ(copy, (std::vector<double>{2.5, 5.0}));
  EXPECT_EQ(probe.data, computedFrame);
  EXPECT_EQ(probe.rows, 2);
  EXPECT_EQ(probe.columns, 1);
}

TEST(TransferTest, BiasLinearAndTanhComputeInPlace) {
  BiasAxon bias;
  bias.setRows(2);
  bias.weights = {0.25, -1.0};
  bias.currentFrame()[0] = 1.0;
  bias.currentFrame()[1] = 2.0;
  bias.compute();
  EXPECT_EQ(frameOf(bias), (std::vector<double>{1.25, 1.0}));

  LinearAxon linear;
  linear.setRows(1);
  linear.beta = 2.0;
  linear.weights = {1.0};
  linear.currentFrame()[0] = 3.0;
  linear.compute();
  EXPECT_EQ(linear.currentFrame()[0], 7.0);

  TanhAxon tanhAxon;
  tanhAxon.setRows(3);
  tanhAxon.weights = {0.0, 0.0, 0.1};
  tanhAxon.beta = 0.5;
  tanhAxon.currentFrame()[0] = 0.0;
  tanhAxon.currentFrame()[1] = 40.0;
  tanhAxon.currentFrame()[2] = 0.3;
  tanhAxon.compute();
  EXPECT_EQ(tanhAxon.currentFrame()[0], 0.0);
  EXPECT_LE(tanhAxon.currentFrame()[1], 1.0);
  EXPECT_GT(tanhAxon.currentFrame()[1], 0.999999);
  EXPECT_EQ(tanhAxon.currentFrame()[2], std::tanh(0.5 * 0.3 + 0.1));
}

TEST(TransferTest, BiasesFollowTheLengthOnly) {
  std::srand(11);
  TanhAxon axon;
  axon.setRows(4);
  ASSERT_EQ(axon.ownCount, 4);
  for (double b : axon.weights) {
    EXPECT_GE(b, -0.5);
    EXPECT_LE(b, 0.5);
  }
  axon.weights = {1, 2, 3, 4};
  axon.setDelay(3);  // same length: the biases stay
  EXPECT_EQ(axon.weights, (std::vector<double>{1, 2, 3, 4}));
  axon.setColumns(0);  // re-allocated frames of the same length: the biases stay
  EXPECT_EQ(axon.weights, (std::vector<double>{1, 2, 3, 4}));
  axon.setRows(5);  // another length: re-allocated and re-randomised
  ASSERT_EQ(axon.ownCount, 5);
  for (double b : axon.weights) {
    EXPECT_GE(b, -0.5);
    EXPECT_LE(b, 0.5);
  }
}

TEST(AxonControlTest, RegistrationAppendsAndReleaseRemovesEveryOccurrence) {
  StaticControl control;
  Axon first;
  TanhAxon second;
  first.setRows(2);
  second.setRows(2);
  first.control = &control;
  second.control = &control;
  first.registerWithControl();
  second.registerWithControl();
  first.registerWithControl();  // no duplicate check
  EXPECT_EQ(control.axonList, (std::vector<Soma*>{&first, &second, &first}));
  EXPECT_EQ(control.parametersChanged, 1);

  first.release();
  EXPECT_EQ(control.axonList, (std::vector<Soma*>{&second}));
  EXPECT_EQ(first.ringStart(), nullptr);
  second.release();
  EXPECT_TRUE(control.axonList.empty());
  EXPECT_TRUE(second.weights.empty());
}

TEST(AxonControlTest, ReallocationReconnectsTheControlsSynapses) {
  StaticControl control;
  Axon input;
  Axon output;
  FullSynapse synapse;
  input.setRows(2);
  output.setRows(3);
  input.connectOutput(&synapse);
  synapse.connectInput(&input);
  synapse.connectOutput(&output);
  for (Soma* object : std::vector<Soma*>{&input, &synapse, &output}) {
    object->control = &control;
    object->registerWithControl();
  }
  EXPECT_EQ(synapse.ownCount, 6);
  input.setRows(4);
  EXPECT_EQ(synapse.ringStart(), input.ringStart());
  EXPECT_EQ(synapse.inputLength, 4);
  EXPECT_EQ(synapse.ownCount, 12);
  output.setRows(5);
  EXPECT_EQ(synapse.length, 5);
  EXPECT_EQ(synapse.ownCount, 20);
}

}  // namespace

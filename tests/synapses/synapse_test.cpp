#include <kqnet/synapses/synapse.h>

#include <gtest/gtest.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "network_helpers.h"
#include <kqnet/axons/axon.h>
#include <kqnet/control/control.h>
#include <kqnet/core/memory.h>

namespace {

using kq::Axon;
using kq::FullSynapse;
using kq::Soma;
using kq::StaticControl;
using kq::Synapse;
using kq::TanhAxon;
using kqtest::Recorder;
using kqtest::RecordSource;

using Log = std::vector<std::string>;

std::vector<double> frameOf(const Soma& soma, int n) {
  const double* frame = soma.currentFrame();
  return std::vector<double>(frame, frame + n);
}

void setFrame(Soma& soma, const std::vector<double>& values) {
  std::copy(values.begin(), values.end(), soma.currentFrame());
}

// Input axon -> synapse -> output axon, wired as a program wires them.
template <typename S>
void wire(Axon& input, S& synapse, Axon& output) {
  input.connectOutput(&synapse);
  synapse.connectInput(&input);
  synapse.connectOutput(&output);
  output.connectInput(&synapse);
}

TEST(SynapseClassTest, ReportsWordsAndKinds) {
  Synapse plain;
  FullSynapse full;
  EXPECT_STREQ(plain.className(), "Soma");
  EXPECT_STREQ(full.className(), "FullSynapse");
  EXPECT_TRUE(full.isKindOf("Synapse"));
  EXPECT_TRUE(full.isKindOf("Engine"));
  EXPECT_FALSE(full.isKindOf("Axon"));
  EXPECT_TRUE(full.isSynapse());
  EXPECT_FALSE(full.isAxon());
  EXPECT_FALSE(full.isBackSynapse());
  EXPECT_STREQ(plain.performName(), "performSynapse");
  EXPECT_STREQ(full.performName(), "performFullSynapse");
  EXPECT_EQ(full.delay, 0);
  EXPECT_EQ(full.firstOwnParameterIndex(), 3);
}

TEST(FullSynapseTest, WeightsAreStoredRowByRow) {
  Axon input;
  Axon output;
  FullSynapse synapse;
  input.setRows(8);
  output.setRows(50);
  wire(input, synapse, output);
  ASSERT_EQ(synapse.ownCount, 400);
  EXPECT_EQ(synapse.length, 50);
  EXPECT_EQ(synapse.inputLength, 8);
  // Only W[3][5] (weight 29) is non-zero: input 5 reaches output 3 alone.
  std::fill(synapse.weights.begin(), synapse.weights.end(), 0.0);
  synapse.weights[29] = 2.0;
  std::vector<double> x(8, 0.0);
  x[5] = 1.5;
  setFrame(input, x);
  synapse.fire();  // the output axon computed in its first frame and moved on
  for (int j = 0; j < 50; ++j) EXPECT_EQ(output.ringStart()[j], j == 3 ? 3.0 : 0.0) << j;
}

TEST(FullSynapseTest, AddsItsProductToWhatTheFrameHolds) {
  Axon input;
  Axon output;
  FullSynapse synapse;
  input.setRows(3);
  output.setRows(2);
  wire(input, synapse, output);
  synapse.weights = {1, 2, 3, -1, 0.5, 4};
  setFrame(input, {1.0, -2.0, 0.5});
  setFrame(output, {10.0, 20.0});
  synapse.compute();
  EXPECT_EQ(frameOf(output, 2), (std::vector<double>{10 + 1 - 4 + 1.5, 20 - 1 - 1 + 2}));
}

TEST(FullSynapseTest, ManyRowsMatchTheOneTermAtATimeLoopBitForBit) {
  std::mt19937_64 generator(7);
  for (int outputs = 1; outputs <= 21; ++outputs) {
    for (int inputs : {1, 3, 8, 17}) {
      Axon input;
      Axon output;
      FullSynapse synapse;
      input.setRows(inputs);
      output.setRows(outputs);
      wire(input, synapse, output);
      // Magnitudes far apart, so any change of order changes the bits.
      std::vector<double> x(static_cast<size_t>(inputs));
      std::vector<double> y(static_cast<size_t>(outputs));
      kqtest::fillRandom(x, generator, -1.0, 1.0);
      kqtest::fillRandom(y, generator, -1.0, 1.0);
      kqtest::fillRandom(synapse.weights, generator, -1.0, 1.0);
      for (size_t i = 0; i < x.size(); i += 2) x[i] *= 1e8;
      setFrame(input, x);
      setFrame(output, y);
      for (int j = 0; j < outputs; ++j) {
        for (int k = 0; k < inputs; ++k) y[j] += synapse.weights[j * inputs + k] * x[k];
      }
      synapse.compute();
      EXPECT_EQ(frameOf(output, outputs), y) << outputs << " x " << inputs;
    }
  }
}

TEST(FullSynapseTest, SynapseIntoItsOwnInputAxonKeepsTheLiteralOrder) {
  Axon axon;
  FullSynapse synapse;
  axon.setRows(5);
  synapse.connectInput(&axon);
  synapse.connectOutput(&axon);
  std::vector<double> w = {0.5, -1, 2, 0.25, 1, 3, 1, -2,  0.5, 4,   -1,  1, 1,
                           1,   1,  2, 2,    2, 2, 2, 0.5, 0.5, 0.5, 0.5, -3};
  synapse.weights = w;
  std::vector<double> y = {1, 2, 3, 4, 5};
  setFrame(axon, y);
  for (int j = 0; j < 5; ++j) {
    for (int k = 0; k < 5; ++k) y[j] += w[j * 5 + k] * y[k];
  }
  synapse.compute();
  EXPECT_EQ(frameOf(axon, 5), y);
}

TEST(SynapseTest, PlainSynapseAddsOneToOneOverTheShorterLength) {
  Axon input;
  Axon output;
  Synapse synapse;
  input.setRows(8);
  output.setRows(5);
  wire(input, synapse, output);
  setFrame(input, {1, 2, 3, 4, 5, 6, 7, 8});
  setFrame(output, {1, 1, 1, 1, 1});
  synapse.compute();
  EXPECT_EQ(frameOf(output, 5), (std::vector<double>{2, 3, 4, 5, 6}));
}

TEST(SynapseTest, FiresObserverThenComputeThenStepsAndFiresTheOutputAxon) {
  Log log;
  Axon input;
  Recorder<FullSynapse> synapse;
  Recorder<Axon> output;
  synapse.name = "synapse";
  synapse.log = &log;
  output.name = "output";
  output.log = &log;
  input.setRows(2);
  output.setRows(1);
  wire(input, synapse, output);
  synapse.weights = {1.0, 1.0};
  setFrame(input, {2.0, 3.0});
  RecordSource observer;  // sees the frame the synapse reads
  synapse.setOutputAccess(&observer);
  const double* readFrame = synapse.currentFrame();
  std::vector<double> seen(1);
  output.outputCopy = seen.data();
  synapse.fire();
  EXPECT_EQ(log, (Log{"synapse.fire", "synapse.compute", "output.fire", "output.compute"}));
  EXPECT_EQ(observer.data, readFrame);
  EXPECT_EQ(seen[0], 5.0);
  // The synapse moved on one frame of its input axon's ring; nothing zeroed.
  EXPECT_EQ(synapse.currentFrameOffset(), 2);
  EXPECT_EQ(input.ringStart()[0], 2.0);
}

TEST(SynapseTest, TwoSynapsesIntoOneAxonComputeOnTheSum) {
  Axon a;
  Axon b;
  TanhAxon target;
  FullSynapse fromA;
  FullSynapse fromB;
  a.setRows(1);
  b.setRows(1);
  target.setRows(1);
  wire(a, fromA, target);
  wire(b, fromB, target);
  target.weights = {0.0};
  fromA.weights = {0.5};
  fromB.weights = {-2.0};
  std::vector<double> out(1);
  target.outputCopy = out.data();
  setFrame(a, {1.0});
  setFrame(b, {0.125});
  a.fire();
  EXPECT_EQ(out[0], 0.0);  // not yet computed
  b.fire();
  EXPECT_EQ(out[0], std::tanh(0.5 + -0.25));
}

TEST(SynapseDelayTest, ConnectingWithDelayOneRaisesTheAxonsDelay) {
  Axon input;
  Axon output;
  FullSynapse synapse;
  input.setRows(2);
  output.setRows(2);
  EXPECT_EQ(input.frameCount(), 2);
  synapse.setDelay(1);
  input.connectOutput(&synapse);
  synapse.connectInput(&input);
  EXPECT_EQ(input.delay, 2);
  EXPECT_EQ(input.frameCount(), 3);
  EXPECT_EQ(input.firingCount(), 0);
  EXPECT_EQ(input.allOutputs, (std::vector<Soma*>{&synapse}));
  // Delay 0 sees the axon's current frame and changes nothing.
  FullSynapse direct;
  const double* ring = input.ringStart();
  direct.connectInput(&input);
  EXPECT_EQ(input.ringStart(), ring);
  EXPECT_EQ(direct.currentFrame(), input.currentFrame());
  EXPECT_EQ(synapse.currentFrameOffset(), 4);
}

TEST(SynapseDelayTest, DelayedRootReadsZerosFirstThenThePreviousExemplar) {
  StaticControl control;
  Axon input;
  Axon output;
  FullSynapse delayed;
  input.setRows(2);
  output.setRows(2);
  delayed.setDelay(1);
  wire(input, delayed, output);
  delayed.weights = {1, 0, 0, 1};
  RecordSource data;
  data.records = {{1, 2}, {3, 4}, {5, 6}, {7, 8}};
  input.setInputAccess(&data);
  std::vector<double> seen(2);
  output.outputCopy = seen.data();
  control.addRoot(&delayed, 1);
  control.addRoot(&input, 0);
  control.fireRoots();
  EXPECT_EQ(seen, (std::vector<double>{0, 0}));
  for (size_t t = 1; t < 6; ++t) {
    control.fireRoots();
    EXPECT_EQ(seen, data.records[(t - 1) % 4]) << t;
  }
}

TEST(SynapseDelayTest, SetDelayReSharesTheRingAtTheNewDistance) {
  Axon input;
  Axon output;
  FullSynapse synapse;
  input.setRows(2);
  output.setRows(1);
  wire(input, synapse, output);
  EXPECT_EQ(input.firingCount(), 1);
  synapse.setDelay(2);
  EXPECT_EQ(input.delay, 3);
  EXPECT_EQ(input.frameCount(), 4);
  EXPECT_EQ(input.firingCount(), 0);
  EXPECT_EQ(synapse.ringStart(), input.ringStart());
  EXPECT_EQ(synapse.currentFrameOffset(), 4);
  synapse.setDelay(-1);  // counts as 0
  EXPECT_EQ(synapse.delay, 0);
  EXPECT_EQ(synapse.currentFrame(), input.currentFrame());
}

TEST(SynapseDelayTest, ResetMemoryClearsTheRingOnlyWhenDelayed) {
  Axon input;
  Axon output;
  FullSynapse direct;
  FullSynapse delayed;
  input.setRows(2);
  output.setRows(1);
  wire(input, direct, output);
  delayed.setDelay(1);
  wire(input, delayed, output);
  std::fill(input.ringStart(), input.ringEnd(), 1.0);
  direct.resetMemory();
  EXPECT_EQ(input.ringStart()[0], 1.0);
  delayed.resetMemory();
  for (const double* p = input.ringStart(); p != input.ringEnd(); ++p) EXPECT_EQ(*p, 0.0);
}

TEST(SynapseSafetyTest, ReallocatedInputRingIsReSharedBeforeReading) {
  Axon input;
  Axon output;
  FullSynapse synapse;
  input.setRows(2);
  output.setRows(1);
  wire(input, synapse, output);
  synapse.weights = {1.0, 10.0};
  // No control: nobody tells the synapse that the ring moves.
  input.setDelay(3);
  setFrame(input, {2.0, 3.0});
  synapse.fire();
  EXPECT_EQ(synapse.ringStart(), input.ringStart());
  EXPECT_EQ(output.ringStart()[0], 32.0);
}

TEST(SynapseSafetyTest, ReleasedInputAxonIsNoLongerRead) {
  Axon input;
  Axon output;
  FullSynapse synapse;
  input.setRows(2);
  output.setRows(1);
  wire(input, synapse, output);
  synapse.weights = {1.0, 1.0};
  setFrame(input, {2.0, 3.0});
  input.release();
  std::vector<double> seen(1, -1.0);
  output.outputCopy = seen.data();
  synapse.fire();
  EXPECT_EQ(synapse.currentFrame(), nullptr);
  EXPECT_EQ(seen[0], 0.0);
}

TEST(SynapseSafetyTest, ResizedEndsAreNeverOverrun) {
  Axon input;
  Axon output;
  FullSynapse synapse;
  input.setRows(6);
  output.setRows(6);
  wire(input, synapse, output);
  ASSERT_EQ(synapse.ownCount, 36);
  std::fill(synapse.weights.begin(), synapse.weights.end(), 1.0);
  // Shrink the output axon behind the synapse's back: the synapse still
  // believes in 6 outputs, the frame holds 2.
  output.setRows(2);
  setFrame(input, {1, 1, 1, 1, 1, 1});
  synapse.compute();
  EXPECT_EQ(frameOf(output, 2), (std::vector<double>{6, 6}));
  // Shrink the weights instead: only whole rows that exist are used.
  synapse.setWeightCount(12, 1);
  synapse.weights.assign(12, 1.0);
  output.setRows(6);
  synapse.length = 6;
  synapse.compute();
  EXPECT_EQ(frameOf(output, 6), (std::vector<double>{6, 6, 0, 0, 0, 0}));
}

TEST(SynapseTopologyTest, DisconnectingEitherEndReleasesTheWeights) {
  Axon input;
  Axon output;
  FullSynapse synapse;
  input.setRows(2);
  output.setRows(3);
  wire(input, synapse, output);
  ASSERT_EQ(synapse.ownCount, 6);
  synapse.connectOutput(nullptr);
  EXPECT_EQ(synapse.successor, nullptr);
  EXPECT_EQ(synapse.targetAxon, nullptr);
  EXPECT_EQ(synapse.length, 0);
  EXPECT_TRUE(synapse.weights.empty());
  synapse.fire();  // nothing to add into, nothing to fire

  synapse.connectOutput(&output);
  EXPECT_EQ(synapse.ownCount, 6);
  synapse.disconnectInput(&input);
  EXPECT_EQ(synapse.sourceAxon, nullptr);
  EXPECT_EQ(synapse.inputLength, 0);
  EXPECT_EQ(synapse.ringStart(), nullptr);
  EXPECT_TRUE(synapse.weights.empty());
}

TEST(SynapseControlTest, RegistrationAppendsAndReleaseLeavesTheInputRing) {
  StaticControl control;
  Axon input;
  Axon output;
  FullSynapse synapse;
  input.setRows(2);
  output.setRows(2);
  wire(input, synapse, output);
  setFrame(input, {4.0, 5.0});
  synapse.control = &control;
  synapse.registerWithControl();
  synapse.registerWithControl();
  EXPECT_EQ(control.synapseList, (std::vector<Soma*>{&synapse, &synapse}));
  synapse.release();
  EXPECT_TRUE(control.synapseList.empty());
  EXPECT_TRUE(synapse.weights.empty());
  EXPECT_EQ(synapse.ringStart(), nullptr);
  EXPECT_EQ(synapse.frameSize, 0);
  EXPECT_EQ(synapse.sourceAxon, nullptr);
  EXPECT_EQ(synapse.targetAxon, nullptr);
  EXPECT_EQ(frameOf(input, 2), (std::vector<double>{4.0, 5.0}));
}

// A small network in which every layer also feeds every later layer, wired
// in a program's order: chain synapses in layer order, then the skip
// synapses by source layer and, within one source, by target layer.
class SkipNetworkTest : public ::testing::Test {
 protected:
  static constexpr int kInputs = 8;
  static constexpr int kHidden1 = 5;
  static constexpr int kHidden2 = 4;
  static constexpr int kOutputs = 3;

  void SetUp() override {
    for (auto* object : {&inputToHidden2, &inputToOutput, &hidden1ToOutput, &hidden1Synapse,
                         &hidden2Synapse, &outputSynapse}) {
      object->log = &log;
    }
    hidden1Synapse.name = "hidden1Synapse";
    hidden2Synapse.name = "hidden2Synapse";
    outputSynapse.name = "outputSynapse";
    inputToHidden2.name = "inputAxonToHidden2AxonSynapse";
    inputToOutput.name = "inputAxonToOutputAxonSynapse";
    hidden1ToOutput.name = "hidden1AxonToOutputAxonSynapse";

    inputAxon.setRows(kInputs);
    hidden1Axon.setRows(kHidden1);
    hidden2Axon.setRows(kHidden2);
    outputAxon.setRows(kOutputs);
    inputAxon.setInputAccess(&source);

    inputAxon.connectOutput(&hidden1Synapse);
    inputAxon.connectOutput(&inputToHidden2);
    inputAxon.connectOutput(&inputToOutput);
    hidden1Synapse.connectInput(&inputAxon);
    hidden1Synapse.connectOutput(&hidden1Axon);
    hidden1Axon.connectInput(&hidden1Synapse);
    hidden1Axon.connectOutput(&hidden2Synapse);
    hidden1Axon.connectOutput(&hidden1ToOutput);
    hidden2Synapse.connectInput(&hidden1Axon);
    hidden2Synapse.connectOutput(&hidden2Axon);
    hidden2Axon.connectInput(&hidden2Synapse);
    hidden2Axon.connectInput(&inputToHidden2);
    hidden2Axon.connectOutput(&outputSynapse);
    outputSynapse.connectInput(&hidden2Axon);
    outputSynapse.connectOutput(&outputAxon);
    outputAxon.connectInput(&outputSynapse);
    outputAxon.connectInput(&inputToOutput);
    outputAxon.connectInput(&hidden1ToOutput);
    inputToHidden2.connectInput(&inputAxon);
    inputToHidden2.connectOutput(&hidden2Axon);
    inputToOutput.connectInput(&inputAxon);
    inputToOutput.connectOutput(&outputAxon);
    hidden1ToOutput.connectInput(&hidden1Axon);
    hidden1ToOutput.connectOutput(&outputAxon);

    control.addRoot(&inputAxon, 0);
  }

  Log log;
  StaticControl control;
  RecordSource source;
  Axon inputAxon;
  TanhAxon hidden1Axon;
  TanhAxon hidden2Axon;
  TanhAxon outputAxon;
  Recorder<FullSynapse> hidden1Synapse;
  Recorder<FullSynapse> hidden2Synapse;
  Recorder<FullSynapse> outputSynapse;
  Recorder<FullSynapse> inputToHidden2;
  Recorder<FullSynapse> inputToOutput;
  Recorder<FullSynapse> hidden1ToOutput;
};

TEST_F(SkipNetworkTest, SkipSynapsesFireBeforeTheChainSynapse) {
  source.records = {std::vector<double>(kInputs, 0.25)};
  control.fireRoots();
  std::vector<std::string> fired;
  for (const std::string& entry : log) {
    if (entry.size() > 8 && entry.compare(entry.size() - 8, 8, ".compute") == 0) {
      fired.push_back(entry.substr(0, entry.size() - 8));
    }
  }
  EXPECT_EQ(fired,
            (std::vector<std::string>{
                "inputAxonToOutputAxonSynapse", "inputAxonToHidden2AxonSynapse", "hidden1Synapse",
                "hidden1AxonToOutputAxonSynapse", "hidden2Synapse", "outputSynapse"}));
  EXPECT_EQ(outputAxon.fanIn, 3);
  EXPECT_EQ(outputAxon.arrivals, 0);
}

TEST_F(SkipNetworkTest, ActivitiesMatchAPlainReferenceBitForBit) {
  std::mt19937_64 generator(99);
  for (FullSynapse* synapse :
       std::vector<FullSynapse*>{&hidden1Synapse, &hidden2Synapse, &outputSynapse, &inputToHidden2,
                                 &inputToOutput, &hidden1ToOutput}) {
    kqtest::fillRandom(synapse->weights, generator, -1.0, 1.0);
  }
  for (TanhAxon* axon : {&hidden1Axon, &hidden2Axon, &outputAxon}) {
    kqtest::fillRandom(axon->weights, generator, -0.5, 0.5);
  }
  outputAxon.beta = 0.8;
  constexpr int kExemplars = 4;
  source.records = kqtest::randomRecords(kExemplars, kInputs, generator);
  std::vector<double> h1(kHidden1), h2(kHidden2), out(kOutputs);
  hidden1Axon.outputCopy = h1.data();
  hidden2Axon.outputCopy = h2.data();
  outputAxon.outputCopy = out.data();

  // One term at a time per output element, in ascending input order; within
  // a layer the earlier-fired synapse's terms first, the chain synapse last.
  auto addProduct = [](double& sum, const std::vector<double>& w, int j,
                       const std::vector<double>& x) {
    const int n = static_cast<int>(x.size());
    for (int k = 0; k < n; ++k) sum += w[j * n + k] * x[k];
  };
  for (int t = 0; t < kExemplars; ++t) {
    const std::vector<double>& x = source.records[static_cast<size_t>(t)];
    std::vector<double> e1(kHidden1), e2(kHidden2), eo(kOutputs);
    for (int j = 0; j < kHidden1; ++j) {
      double sum = 0.0;
      addProduct(sum, hidden1Synapse.weights, j, x);
      e1[j] = std::tanh(1.0 * sum + hidden1Axon.weights[j]);
    }
    for (int j = 0; j < kHidden2; ++j) {
      double sum = 0.0;
      addProduct(sum, inputToHidden2.weights, j, x);
      addProduct(sum, hidden2Synapse.weights, j, e1);
      e2[j] = std::tanh(1.0 * sum + hidden2Axon.weights[j]);
    }
    for (int j = 0; j < kOutputs; ++j) {
      double sum = 0.0;
      addProduct(sum, inputToOutput.weights, j, x);
      addProduct(sum, hidden1ToOutput.weights, j, e1);
      addProduct(sum, outputSynapse.weights, j, e2);
      eo[j] = std::tanh(0.8 * sum + outputAxon.weights[j]);
    }
    control.fireRoots();
    ASSERT_EQ(h1, e1) << "exemplar " << t;
    ASSERT_EQ(h2, e2) << "exemplar " << t;
    ASSERT_EQ(out, eo) << "exemplar " << t;
  }
}

// Once told to, says on standard error that its weights start to re-size.
class AnnouncedSynapse : public FullSynapse {
 public:
  void setWeightCount(int n, int force) override {
    if (announce && n != ownCount) std::fputs("re-sized\n", stderr);
    FullSynapse::setWeightCount(n, force);
  }
  bool announce = false;
};

// An input axon grown from 1 to 1000 rows re-sizes both synapses it feeds:
// the ring and each synapse's weights with their saved copy grow by 2 x 999
// doubles, while the old ring of 2 doubles stays claimed until both have
// let go of it. With room for all of it but one byte, the run ends before
// either synapse starts to re-size; with room for all of it, the growth is
// made.
TEST(SynapseMemoryDeathTest, SynapsesAnAxonReSizesAreCheckedTogetherBeforeAnyReSizes) {
  StaticControl control;
  Axon input, left, right;
  AnnouncedSynapse toLeft, toRight;
  for (Axon* axon : {&input, &left, &right}) axon->setRows(1);
  wire(input, toLeft, left);
  wire(input, toRight, right);
  input.control = &control;
  for (AnnouncedSynapse* synapse : {&toLeft, &toRight}) {
    synapse->control = &control;
    synapse->registerWithControl();
    synapse->announce = true;
  }
  const int64_t growth = 2 * 999 * 8;
  const int64_t oldRing = 2 * 8;
  kq::setPhysicalMemory(kq::claimedMemory() + 3 * growth + oldRing - 1);
  EXPECT_EXIT(input.setRows(1000), ::testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");
  kq::setPhysicalMemory(kq::claimedMemory() + 3 * growth + oldRing);
  input.setRows(1000);
  EXPECT_EQ(toLeft.ownCount + toRight.ownCount, 2000);
  kq::restorePhysicalMemory();
}

// What the arrays of a few components hold: each ring once, however many
// of them read it, and every component's weights with their saved copy.
int64_t arrayBytes(std::initializer_list<const Soma*> components) {
  std::set<const double*> rings;
  size_t doubles = 0;
  for (const Soma* component : components) {
    if (component->ring && rings.insert(component->ringStart()).second) {
      doubles += static_cast<size_t>(component->ringLength);
    }
    doubles += component->weights.size() + component->savedWeights.size();
  }
  return static_cast<int64_t>(doubles * sizeof(double));
}

// An input axon re-shaped under a delayed synapse. Without a run control
// the synapse goes on reading the ring it shares until it next fires, and
// that ring stays on the ledger until then; with one, the synapse shares
// the new ring and re-sizes its weights at once. Either way the ledger holds
// exactly what the arrays hold.
TEST(SynapseMemoryTest, TheLedgerHoldsWhatTheArraysHoldAcrossReShapes) {
  const int64_t before = kq::claimedMemory();
  {
    Axon input, output;
    Synapse delayed;  // no weights of its own, so firing makes no packed copy
    input.setRows(1000);
    output.setRows(2);
    delayed.setDelay(1);
    wire(input, delayed, output);
    const auto expectLedger = [&](const char* step) {
      EXPECT_EQ(kq::claimedMemory() - before, arrayBytes({&input, &output, &delayed})) << step;
    };
    expectLedger("wired");
    input.setRows(1);
    EXPECT_NE(delayed.ringStart(), input.ringStart());
    expectLedger("shrunk");
    input.setRows(700);
    expectLedger("grown");
    delayed.fire();
    EXPECT_EQ(delayed.ringStart(), input.ringStart());
    expectLedger("fired");
  }
  EXPECT_EQ(kq::claimedMemory(), before);
  {
    StaticControl control;
    Axon input, output;
    FullSynapse delayed;
    input.setRows(1000);
    output.setRows(2);
    delayed.setDelay(1);
    wire(input, delayed, output);
    input.control = &control;
    delayed.control = &control;
    delayed.registerWithControl();
    for (const int rows : {1, 700, 3}) {
      input.setRows(rows);
      EXPECT_EQ(delayed.ringStart(), input.ringStart());
      EXPECT_EQ(delayed.ownCount, 2 * rows);
      EXPECT_EQ(kq::claimedMemory() - before, arrayBytes({&input, &output, &delayed})) << rows;
    }
  }
  EXPECT_EQ(kq::claimedMemory(), before);
}

#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 33) && !defined(__SANITIZE_ADDRESS__)
// Bytes the allocator has handed out and not yet been given back.
int64_t heapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

// Measured on the heap itself: a delayed synapse, without a run control,
// reads a ring of 24 MB while its input axon shrinks to one row, grows
// again and the synapse fires; the ledger and the heap move together.
TEST(SynapseMemoryTest, TheHeapMovesWithTheLedgerWhileADelayedSynapseHoldsAReplacedRing) {
  Axon input, output;
  Synapse delayed;
  input.setRows(1);
  output.setRows(1);
  delayed.setDelay(1);
  wire(input, delayed, output);
  const int64_t heap = heapInUse();
  const int64_t ledger = kq::claimedMemory();
  const auto expectTogether = [&](const char* step) {
    EXPECT_NEAR(static_cast<double>(heapInUse() - heap),
                static_cast<double>(kq::claimedMemory() - ledger), 256.0 * 1024.0)
        << step;
  };
  input.setRows(1000000);
  delayed.fire();  // now reads the large ring
  expectTogether("grown");
  input.setRows(1);
  expectTogether("shrunk");
  input.setRows(1000000);
  expectTogether("grown again");
  delayed.fire();
  expectTogether("fired");
}
#endif

}  // namespace

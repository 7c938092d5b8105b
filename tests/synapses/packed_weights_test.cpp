// The forward sums over the packed copy of a full synapse's weights: bit for
// bit the one-term-at-a-time loop on every path and shape, and never a stale
// copy after any kind of weight write.

#include <kqnet/synapses/packed_weights.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "../backward/backward_network.h"
#include "network_helpers.h"
#include <kqnet/axons/axon.h>
#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/control.h>
#include <kqnet/core/record_numbers.h>
#include <kqnet/core/soma.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/data/data_file.h>
#include <kqnet/data/spatial_data.h>
#include <kqnet/learning/gradient.h>
#include <kqnet/learning/lm_globals.h>
#include <kqnet/linalg/ls_weight_initializer.h>
#include <kqnet/momentum/step.h>
#include <kqnet/synapses/synapse.h>

namespace {

using kq::Axon;
using kq::FullSynapse;
using kq::PackedWeights;
using kq::Soma;
using kq::SumPath;

// y[j] += W[j][k] x[k], one term at a time, W row by row with columns per row.
void oneTermAtATime(const double* w, int columns, const double* x, int nIn, double* y, int nOut) {
  for (int j = 0; j < nOut; ++j) {
    for (int k = 0; k < nIn; ++k) y[j] += w[j * columns + k] * x[k];
  }
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Every path this processor runs.
std::vector<SumPath> runnablePaths() {
  std::vector<SumPath> paths{SumPath::baseline};
  if (kq::avx2Available()) paths.push_back(SumPath::avx2);
  return paths;
}

// Puts the automatic choice back after a test that picked a path.
struct PathChoice {
  explicit PathChoice(SumPath path) : before(kq::selectSumPath(path)) {}
  ~PathChoice() { kq::selectSumPath(before); }
  SumPath before;
};

// Values whose magnitudes lie far apart, so that any other order of the
// additions changes the bits.
std::vector<double> spreadValues(size_t n, std::mt19937_64& generator) {
  std::vector<double> v(n);
  kqtest::fillRandom(v, generator, -1.0, 1.0);
  for (size_t i = 0; i < n; i += 3) v[i] *= 1e8;
  for (size_t i = 1; i < n; i += 5) v[i] *= 1e-7;
  return v;
}

TEST(PackedSumsTest, EveryShapeAndPathMatchesTheOneTermLoopBitForBit) {
  std::mt19937_64 generator(11);
  // Rows 1..50 leave every count of rows over whole panels of eight and
  // group one to seven panels; 131 columns run past one baseline stretch.
  for (int rows = 1; rows <= 50; ++rows) {
    for (int columns : {1, 2, 5, 8, 35, 42, 50, 131}) {
      const std::vector<double> w = spreadValues(static_cast<size_t>(rows) * columns, generator);
      const std::vector<double> x = spreadValues(static_cast<size_t>(columns), generator);
      PackedWeights packed;
      packed.follow(kq::WeightVector(w), rows, columns, false);
      // All of the matrix, and fewer rows or inputs than it holds.
      for (int nOut : {rows, rows - 1}) {
        for (int nIn : {columns, columns - 1}) {
          if (nOut == 0 || nIn == 0) continue;
          // Two guard elements past the rows summed must stay untouched.
          std::vector<double> start = spreadValues(static_cast<size_t>(nOut) + 2, generator);
          std::vector<double> expected = start;
          oneTermAtATime(w.data(), columns, x.data(), nIn, expected.data(), nOut);
          for (SumPath path : runnablePaths()) {
            PathChoice choice(path);
            std::vector<double> y = start;
            packed.addProduct(x.data(), nIn, y.data(), nOut);
            EXPECT_TRUE(sameBits(y, expected))
                << rows << " x " << columns << " summing " << nOut << " x " << nIn << " on path "
                << static_cast<int>(path);
          }
        }
      }
    }
  }
}

// Input axon -> synapse -> output axon, wired as a program wires them.
void wire(Axon& input, kq::Synapse& synapse, Axon& output) {
  input.connectOutput(&synapse);
  synapse.connectInput(&input);
  synapse.connectOutput(&output);
  output.connectInput(&synapse);
}

TEST(PackedFullSynapseTest, DelayedFramesAndSeveralSynapsesIntoOneAxonKeepTheirOrder) {
  std::mt19937_64 generator(3);
  Axon input;
  Axon output;
  FullSynapse delayed;  // reads the input axon's previous frame, fires first
  FullSynapse direct;
  input.setRows(13);
  output.setRows(19);
  delayed.setDelay(1);
  wire(input, delayed, output);
  wire(input, direct, output);
  ASSERT_NE(delayed.currentFrame(), direct.currentFrame());
  for (SumPath path : runnablePaths()) {
    PathChoice choice(path);
    for (int exemplar = 0; exemplar < 2; ++exemplar) {
      delayed.weights = spreadValues(delayed.weights.size(), generator);
      direct.weights = spreadValues(direct.weights.size(), generator);
      Soma::weightsChanged();
      const std::vector<double> before = spreadValues(13, generator);
      const std::vector<double> now = spreadValues(13, generator);
      std::copy(before.begin(), before.end(), delayed.currentFrame());
      std::copy(now.begin(), now.end(), direct.currentFrame());
      std::vector<double> y = spreadValues(19, generator);
      std::copy(y.begin(), y.end(), output.currentFrame());
      oneTermAtATime(delayed.weights.data(), 13, before.data(), 13, y.data(), 19);
      oneTermAtATime(direct.weights.data(), 13, now.data(), 13, y.data(), 19);
      delayed.compute();
      direct.compute();
      EXPECT_TRUE(
          sameBits(std::vector<double>(output.currentFrame(), output.currentFrame() + 19), y))
          << "path " << static_cast<int>(path) << ", exemplar " << exemplar;
    }
  }
}

TEST(PackedFullSynapseTest, ASynapseFromAnAxonIntoItselfReadsWhatItHasJustWritten) {
  std::mt19937_64 generator(4);
  Axon axon;
  FullSynapse synapse;
  axon.setRows(21);
  synapse.connectInput(&axon);
  synapse.connectOutput(&axon);
  for (SumPath path : runnablePaths()) {
    PathChoice choice(path);
    synapse.weights = spreadValues(synapse.weights.size(), generator);
    Soma::weightsChanged();
    std::vector<double> y = spreadValues(21, generator);
    std::copy(y.begin(), y.end(), axon.currentFrame());
    // Row j reads the elements before it as already summed.
    oneTermAtATime(synapse.weights.data(), 21, y.data(), 21, y.data(), 21);
    synapse.compute();
    EXPECT_TRUE(sameBits(std::vector<double>(axon.currentFrame(), axon.currentFrame() + 21), y));
  }
}

// The sum of a freshly built synapse of nIn x nOut holding weights.
std::vector<double> freshSum(const std::vector<double>& weights, int nIn, int nOut,
                             const double* x) {
  Axon input;
  Axon output;
  FullSynapse fresh;
  input.setRows(nIn);
  output.setRows(nOut);
  wire(input, fresh, output);
  fresh.weights = weights;
  std::copy(x, x + nIn, fresh.currentFrame());
  fresh.compute();
  return std::vector<double>(output.currentFrame(), output.currentFrame() + nOut);
}

// The sum of a wired synapse into a zeroed output frame, checked against the
// one-term loop over the weights it holds now and against a synapse built
// afresh with them. The weights are read through const access only, so that
// the check itself marks nothing.
void expectSumOfPresentWeights(FullSynapse& synapse, const std::string& after) {
  const int nIn = synapse.inputLength;
  const int nOut = synapse.length;
  double* x = synapse.currentFrame();
  double* y = synapse.targetAxon->currentFrame();
  for (int k = 0; k < nIn; ++k) x[k] = 0.25 * (k + 1) - 1.0;
  std::fill(y, y + nOut, 0.0);
  synapse.compute();
  const std::vector<double> sum(y, y + nOut);
  const kq::WeightVector& weights = synapse.weights;
  std::vector<double> expected(static_cast<size_t>(nOut), 0.0);
  oneTermAtATime(weights.data(), nIn, x, nIn, expected.data(), nOut);
  const std::vector<double> fresh = freshSum(weights, nIn, nOut, x);
  EXPECT_TRUE(sameBits(sum, expected)) << "after " << after;
  EXPECT_TRUE(sameBits(sum, fresh)) << "after " << after;
}

class StaleCopyTest : public ::testing::Test {
 protected:
  StaleCopyTest() {
    input.setRows(5);
    output.setRows(11);
    wire(input, synapse, output);
    expectSumOfPresentWeights(synapse, "sizing");  // the copy exists from here on
  }

  // The sign by which a write reaches the next sum (soma.h): the weights'
  // write count, an attached observer, or the weight generation. A write is
  // checked with the others still, so that it is seen by its own sign alone.
  enum class Sign { count, observer, generation };

  // Runs write, checks that it changed the weights, moved only its own sign
  // and that the next sum uses them.
  template <typename Write>
  void expectFollowed(const std::string& what, Write write, Sign sign = Sign::count) {
    const std::vector<double> before = synapse.weights;
    // A sum first brings the copy up to date, so that only the write below
    // can make the next sum remake it.
    synapse.compute();
    const uint64_t writes = synapse.weights.writeCount();
    const uint64_t generation = Soma::weightGeneration();
    write();
    ASSERT_FALSE(sameBits(before, synapse.weights)) << what << " changed nothing";
    EXPECT_EQ(synapse.weights.writeCount() != writes, sign == Sign::count) << what;
    EXPECT_EQ(Soma::weightGeneration() != generation, sign == Sign::generation) << what;
    expectSumOfPresentWeights(synapse, what);
  }

  Axon input;
  Axon output;
  FullSynapse synapse;
};

TEST_F(StaleCopyTest, EveryWriteOfTheComponentReachesTheNextSum) {
  expectFollowed("a weights record", [&] {
    std::string record = "55";
    for (int i = 0; i < 55; ++i) record.append(" ").append(std::to_string(i % 7 - 3));
    kq::WeightTextCursor cursor{record.c_str()};
    synapse.readWeightsFromText(cursor, 246);
  });
  expectFollowed("randomising", [&] { synapse.setRandomCentre(0.3); });
  expectFollowed("jogging", [&] { synapse.jogWeights(); });
  expectFollowed("sanitising", [&] {
    synapse.weights[7] = std::numeric_limits<double>::infinity();  // no mark of its own
    synapse.sanitizeWeights();
  });
  double* kept = synapse.weights.data();  // kept across the sums below
  expectFollowed(
      "a write through a kept pointer, marked as such",
      [&] {
        kept[3] = 42.0;
        Soma::weightsChanged();
      },
      Sign::generation);
  expectFollowed("resizing", [&] {
    output.setRows(12);
    synapse.reconnect();  // the control's step after an axon re-allocated
    ASSERT_EQ(synapse.ownCount, 60);
  });
  expectFollowed("a weight observer's write", [&] {
    kq::SpatialData observer;
    synapse.ownWeightAccess = &observer;
    synapse.bindWeightAccess();
    observer.fill(0.125);  // through the access chain, unseen by the synapse
    expectSumOfPresentWeights(synapse, "an observer's write, observer attached");
    synapse.ownWeightAccess = nullptr;
  });
}

TEST_F(StaleCopyTest, EveryWriteACallerMakesThroughTheWeightsReachesTheNextSum) {
  kq::WeightVector& w = synapse.weights;
  expectFollowed("an element write", [&] { w[6] = 42.0; });
  expectFollowed("at, front and back", [&] {
    w.at(9) = -1.5;
    w.front() = 0.625;
    w.back() = -0.375;
  });
  expectFollowed("a write through iterators", [&] { std::fill(w.begin(), w.end(), 0.0); });
  expectFollowed("writes through data()", [&] {
    double* p = w.data();
    for (int i = 0; i < 55; ++i) p[i] = 0.01 * i;
  });
  expectFollowed("assign", [&] { w.assign(55, 0.75); });
  expectFollowed("assign from a range", [&] {
    const std::vector<double> values(55, -0.125);
    w.assign(values.begin(), values.end());
  });
  expectFollowed("swap with a vector", [&] {
    std::vector<double> other(55, 0.3);
    w.swap(other);
  });
  expectFollowed("std::swap", [&] {
    std::vector<double> other(55, 1.25);
    using std::swap;
    swap(w, other);
  });
  expectFollowed("copying a vector in", [&] { w = std::vector<double>(55, 2.0); });
  expectFollowed("copying other weights in", [&] {
    kq::WeightVector other(55, -2.5);
    w = other;
  });
}

TEST_F(StaleCopyTest, AWeightObserverIsSeenAfterItGoesAndWhenItComesBack) {
  kq::SpatialData observer;
  synapse.ownWeightAccess = &observer;
  synapse.bindWeightAccess();
  expectSumOfPresentWeights(synapse, "attaching an observer");
  expectFollowed("an observer's write, then detaching it", [&] {
    observer.fill(0.5);
    synapse.ownWeightAccess = nullptr;
  });
  // Let go as it went: what it writes now reaches nothing.
  const std::vector<double> away = synapse.weights;
  observer.fill(-0.25);
  EXPECT_EQ(observer.data, nullptr);
  EXPECT_TRUE(sameBits(away, synapse.weights));
  synapse.ownWeightAccess = &observer;
  synapse.bindWeightAccess();
  expectFollowed(
      "an observer's write, attached again", [&] { observer.fill(-0.25); }, Sign::observer);
  synapse.ownWeightAccess = nullptr;
}

std::string fileBytes(const char* name) {
  std::FILE* file = std::fopen(name, "rb");
  std::string bytes;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
    bytes.push_back(static_cast<char>(c));
  std::fclose(file);
  return bytes;
}

TEST_F(StaleCopyTest, WholeWritesLeaveTheObserverOnTheLiveWeights) {
  kq::DataFile writer;
  writer.setFileName("observed.bin");
  ASSERT_EQ(writer.setMode(0, kq::kBinaryFile), 1);
  synapse.ownWeightAccess = &writer;
  synapse.bindWeightAccess();
  synapse.compute();
  // The write that freed the observer's array before: a swap with a vector
  // that then goes. The zeroing steps the writer.
  std::mt19937_64 generator(8);
  {
    std::vector<double> gone = spreadValues(55, generator);
    synapse.weights.swap(gone);
  }
  expectSumOfPresentWeights(synapse, "a swap");
  synapse.setRandomRange(0.0);
  expectSumOfPresentWeights(synapse, "a swap, then zeroing");
  synapse.weights = kq::WeightVector(spreadValues(55, generator));
  synapse.setRandomRange(0.0);
  expectSumOfPresentWeights(synapse, "assigning a temporary, then zeroing");
  synapse.ownWeightAccess = nullptr;
  writer.close();
  // One record per zeroing, each the present weights: 55 zeros.
  EXPECT_EQ(fileBytes("observed.bin"), std::string(2 * 55 * sizeof(double), '\0'));
}

TEST_F(StaleCopyTest, ADetachedObserverNeverWritesTheWeightsAgain) {
  kq::SpatialData observer;
  synapse.ownWeightAccess = &observer;
  synapse.bindWeightAccess();
  expectSumOfPresentWeights(synapse, "attaching");
  synapse.ownWeightAccess = nullptr;
  expectSumOfPresentWeights(synapse, "detaching");
  const std::vector<double> before = synapse.weights;
  observer.fill(0.5);
  expectSumOfPresentWeights(synapse, "a fill through the detached observer");
  EXPECT_EQ(synapse.weights, before);
}

TEST_F(StaleCopyTest, AnObserverIsBoundAtOnceToWhatTheWeightsHold) {
  kq::DataFile probe;  // writes what it is bound to at every step
  probe.setFileName("held.txt");
  ASSERT_EQ(probe.setMode(0, kq::kTextFile), 1);
  synapse.ownWeightAccess = &probe;  // storing it binds it: no bindWeightAccess
  EXPECT_EQ(probe.data, std::as_const(synapse.weights).data());
  expectFollowed(
      "a write through an observer only stored", [&] { probe.fill(0.5); }, Sign::observer);
  // Wired again as 11 -> 5: the same count, another matrix.
  input.setRows(11);
  output.setRows(5);
  synapse.reconnect();
  EXPECT_EQ(probe.rows, 5);
  EXPECT_EQ(probe.columns, 11);
  expectFollowed(
      "a write over the matrix wired again", [&] { probe.fill(-0.5); }, Sign::observer);
  // Counts the shape does not agree with: whole rows of what is held.
  synapse.setWeightCount(30, 1);  // the randomisation steps the probe
  ASSERT_EQ(probe.length, 22);
  probe.fill(1.0);
  synapse.setWeightCount(0, 1);
  EXPECT_EQ(probe.length, 0);
  synapse.ownWeightAccess = nullptr;
  // The gradient matrix of a backward synapse likewise.
  kq::BackFullSynapse back;
  wire(input, back, output);
  kq::SpatialData gradients;
  back.ownWeightAccess = &gradients;
  back.setWeightCount(12, 1);
  ASSERT_EQ(gradients.rows, 2);
  ASSERT_EQ(gradients.columns, 5);
  gradients.fill(1.0);
  std::vector<double> twoRows(12, 0.0);
  std::fill_n(twoRows.begin(), 10, 1.0);
  EXPECT_EQ(back.weights, twoRows);
}

TEST_F(StaleCopyTest, AnObserverCutFromTheChainIsLetGo) {
  kq::SpatialData head;
  kq::SpatialData behind;  // bound through the head
  head.setNext(&behind);
  synapse.ownWeightAccess = &head;
  ASSERT_EQ(behind.data, std::as_const(synapse.weights).data());
  head.setNext(nullptr);
  EXPECT_EQ(behind.data, nullptr);
  synapse.ownWeightAccess = nullptr;
  const std::vector<double> before = synapse.weights;
  behind.fill(0.5);  // reaches nothing now
  EXPECT_EQ(synapse.weights, before);
  expectSumOfPresentWeights(synapse, "a fill through an observer cut from the chain");
  output.setRows(12);  // the storage it was bound to goes
  synapse.reconnect();
  behind.fill(0.5);
  expectSumOfPresentWeights(synapse, "resizing, then a fill through the cut observer");
}

int performCalls = 0;

void halveEveryWeight(void*, double*, int, int, double*, int, int, double* weights) {
  ++performCalls;
  for (int i = 0; i < 55; ++i) weights[i] *= 0.5;
}

TEST_F(StaleCopyTest, APerformFunctionsWritesReachTheSumOnceItIsRemoved) {
  synapse.setPerformFunctions(reinterpret_cast<kq::GenericFunction>(&halveEveryWeight), nullptr,
                              nullptr, nullptr, 0);
  expectFollowed("a perform call", [&] {
    synapse.perform();
    synapse.setPerformRecord(nullptr);
  });
  EXPECT_EQ(performCalls, 1);
}

TEST_F(StaleCopyTest, ARulesUpdateReachesTheNextSum) {
  Soma accumulator;
  accumulator.setWeightCount(synapse.ownCount, 1);
  accumulator.length = synapse.inputLength;  // one gradient block
  kq::Step rule;
  rule.setStepSize(1.0);
  rule.setBackprop(&accumulator);
  rule.forward = &synapse;
  rule.setPerWeightStep(0);
  expectFollowed("the batch update", [&] {
    std::fill(accumulator.weights.begin(), accumulator.weights.end(), 0.5);
    rule.applyUpdate(synapse);
  });
  expectFollowed("the rule's weight step alone", [&] {
    std::fill(accumulator.weights.begin(), accumulator.weights.end(), -0.25);
    rule.updateWeights(synapse);
  });
}

TEST_F(StaleCopyTest, TheLevenbergMarquardtStepAndSwapReachTheNextSum) {
  const int n = synapse.ownCount;
  Soma accumulator;
  accumulator.setWeightCount(n, 1);
  kq::Gradient gradient;
  gradient.backprop = &accumulator;
  gradient.forward = &synapse;
  // The numbering the control would build for the synapse's weights.
  kq::StaticControl control;
  kq::L2Criterion criterion;
  control.gradientList = {&gradient};
  control.weightCount = n;
  control.weightIndex.weightCount = n;
  control.weightIndex.blockCount = 1;
  control.weightIndex.weightOwner.assign(static_cast<size_t>(n), &gradient);
  control.weightIndex.weightSlot.assign(1, kq::ClaimedArray<int32_t>(static_cast<size_t>(n)));
  for (int i = 0; i < n; ++i) control.weightIndex.weightSlot[0][static_cast<size_t>(i)] = i;
  criterion.setRows(1);
  criterion.errorBuffer = {0.3};
  control.currentCriterion = &criterion;
  kq::LMGlobals lm;
  lm.bind(&control);
  lm.prepare(1);
  expectFollowed("the batch step", [&] {
    for (int i = 0; i < n; ++i) accumulator.weights[static_cast<size_t>(i)] = 0.01 * (i % 9 - 4);
    lm.afterExemplar();
    criterion.costSum = 0.5;
    criterion.exemplarCount = 1;
    lm.endBatch();
  });
  expectFollowed("swapping in the accepted weights", [&] { lm.finishTraining(); });
}

// A 2-3-2 network with random weights and six random exemplars for the
// least-squares fit.
struct LeastSquaresCase {
  explicit LeastSquaresCase(unsigned seed) : generator(seed) {
    network.randomizeForward(generator, 0.5);
    inputs = kqtest::randomRecords(6, 2, generator);
    desired = kqtest::randomRecords(6, 2, generator);
    for (size_t e = 0; e < 6; ++e) {
      inputRows.push_back(inputs[e].data());
      desiredRows.push_back(desired[e].data());
    }
  }
  kqtest::BackwardNetwork network{{2, 3, 2}, {{0, 1}, {1, 2}}};
  std::mt19937_64 generator;
  std::vector<std::vector<double>> inputs, desired;
  std::vector<const double*> inputRows, desiredRows;
};

TEST(StaleCopyNetworkTest, TheLeastSquaresStartReachesTheNextSum) {
  LeastSquaresCase fit(5);
  kqtest::BackwardNetwork& network = fit.network;
  std::vector<const double*>& inputRows = fit.inputRows;
  std::vector<const double*>& desiredRows = fit.desiredRows;
  kq::StaticControl& control = network.control;
  control.leastSquaresEnabled = 1;
  control.leastSquaresPending = 1;
  control.leastSquaresExemplars = 6;
  control.leastSquaresInputs = inputRows.data();
  control.leastSquaresDesired = desiredRows.data();
  FullSynapse& first = *network.synapses[0];
  FullSynapse& second = *network.synapses[1];
  expectSumOfPresentWeights(first, "wiring");
  expectSumOfPresentWeights(second, "wiring");
  const std::vector<double> before = first.weights;
  control.leastSquaresInit();
  ASSERT_FALSE(sameBits(before, first.weights));
  expectSumOfPresentWeights(first, "the least-squares start");
  expectSumOfPresentWeights(second, "the least-squares start");
}

TEST(StaleCopyNetworkTest, ALeastSquaresFitThroughKeptPointersReachesTheNextSum) {
  LeastSquaresCase fit(6);
  kqtest::BackwardNetwork& network = fit.network;
  FullSynapse& first = *network.synapses[0];
  FullSynapse& second = *network.synapses[1];
  kq::LSWeightInitializer initializer(6, 2, 2, 3);
  initializer.setInputs(fit.inputRows.data());
  initializer.setDesired(fit.desiredRows.data());
  initializer.setFirstWeights(first.weights.data());
  initializer.setHiddenBiases(network.layer(1)->weights.data());
  initializer.setSecondWeights(second.weights.data());
  initializer.setOutputBiases(network.layer(2)->weights.data());
  initializer.setHiddenActivation(kq::kActivationTanh, network.layer(1)->slope());
  initializer.setOutputActivation(kq::kActivationTanh, network.layer(2)->slope());
  expectSumOfPresentWeights(first, "handing the weights over");
  expectSumOfPresentWeights(second, "handing the weights over");
  const std::vector<double> before = first.weights;
  const uint64_t writes = first.weights.writeCount();
  initializer.fit();
  ASSERT_FALSE(sameBits(before, first.weights));
  EXPECT_EQ(first.weights.writeCount(), writes);  // seen by the generation alone
  expectSumOfPresentWeights(first, "the fit");
  expectSumOfPresentWeights(second, "the fit");
}

#ifndef NDEBUG
TEST(StaleCopyDeathTest, DebugBuildsStopAtAnUnmarkedWrite) {
  Axon input;
  Axon output;
  FullSynapse synapse;
  input.setRows(2);
  output.setRows(3);
  wire(input, synapse, output);
  double* kept = synapse.weights.data();
  synapse.compute();
  kept[4] += 1.0;  // through a pointer kept across the sum, without weightsChanged
  EXPECT_DEATH(synapse.compute(), "weightsChanged");
}
#endif

}  // namespace

#include <kqnet/momentum/momentum.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "../backward/backward_network.h"
#include "rule_fixture.h"
#include <kqnet/core/memory.h>
#include <kqnet/core/record_numbers.h>

namespace {

using kq::Momentum;
using V = std::vector<double>;

std::string fileText(const char* name) {
  std::FILE* file = std::fopen(name, "rb");
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

void writeText(const char* name, const char* text) {
  std::FILE* file = std::fopen(name, "wb");
  std::fputs(text, file);
  std::fclose(file);
}

// Reads the velocity record of name into a fresh n-weight rule.
V readRecord(const char* name, int n, kq::KqWeightFileVersion version, V start = {}) {
  Wired<Momentum> net(n);
  if (!start.empty()) net.rule.velocity = start;
  std::FILE* file = std::fopen(name, "rb");
  net.rule.readState(file, version);
  std::fclose(file);
  return net.rule.velocity;
}

TEST(MomentumTest, SizingFillsMomentumsAndEveryRebuildZeroesVelocity) {
  kq::TanhAxon axon;
  kq::BackTanhAxon twin;
  axon.setRows(3);
  twin.setDual(&axon);
  Momentum rule;
  rule.setMomentum(0.7);
  rule.setBackprop(&twin);
  EXPECT_EQ(rule.momentums, V({0.7}));
  EXPECT_EQ(rule.velocity, V(3, 0.0));
  rule.setPerWeightMomentum(1);
  EXPECT_EQ(rule.momentums, V(3, 0.7));
  rule.velocity[1] = 5.0;
  rule.setPerWeightStep(0);
  EXPECT_EQ(rule.velocity, V(3, 0.0));
}

TEST(MomentumTest, VelocityCarriesOverBatches) {
  Wired<Momentum> net(1);
  net.rule.setStepSize(0.1);
  net.rule.velocity = {0.2};
  net.update({1.0}, {1.0});
  EXPECT_EQ(net.rule.velocity, V({0.5 * 0.2 + (0.1 / 1.0) * 1.0}));
  EXPECT_EQ(net.axon.weights, V({1.0 + net.rule.velocity[0]}));

  Wired<Momentum> exact(2);
  exact.rule.setStepSize(0.5);
  exact.rule.divisor = 2;
  exact.update({0.0, 1.0}, {4.0, -8.0});
  EXPECT_EQ(exact.rule.velocity, V({1.0, -2.0}));
  EXPECT_EQ(exact.axon.weights, V({1.0, -1.0}));
  EXPECT_EQ(exact.twin.weights, V(2, 0.0));
  exact.update(exact.axon.weights, {0.0, 0.0});  // the velocity halves
  EXPECT_EQ(exact.rule.velocity, V({0.5, -1.0}));
  EXPECT_EQ(exact.axon.weights, V({1.5, -2.0}));
  exact.rule.setWeightDecayOn(1);
  exact.rule.setWeightDecay(0.5);
  exact.update(exact.axon.weights, {2.0, 4.0});
  // v = 0.25 + 0.5, -0.5 + 1; w + (v - 0.5 w): 1.5 + 0, -2 + 1.5
  EXPECT_EQ(exact.rule.velocity, V({0.75, 0.5}));
  EXPECT_EQ(exact.axon.weights, V({1.5, -0.5}));

  // Only the first momentum entry is used.
  exact.rule.setPerWeightMomentum(1);
  exact.rule.momentums = {0.5, 0.25};
  exact.rule.velocity = {1.0, 1.0};
  exact.rule.setWeightDecayOn(0);
  exact.update({0.0, 0.0}, {0.0, 0.0});
  EXPECT_EQ(exact.rule.velocity, V({0.5, 0.5}));
}

TEST(MomentumTest, EachBlockKeepsItsOwnVelocity) {
  Wired<Momentum> net(2, 2);
  ASSERT_EQ(net.rule.velocity.size(), 4u);
  net.rule.velocity = {2.0, 0.0, 0.0, 4.0};
  net.update({0.0, 0.0}, {1.0, 1.0, 2.0, 2.0});
  EXPECT_EQ(net.rule.velocity, V({2.0, 1.0, 2.0, 4.0}));
  EXPECT_EQ(net.axon.weights, V({4.0, 5.0}));
  EXPECT_EQ(net.twin.weights, V(4, 0.0));
}

TEST(MomentumTest, UpdateIsHarmlessUnsizedShortOrReleased) {
  kq::TanhAxon axon;
  axon.setRows(2);
  axon.weights = {1.0, 2.0};
  Momentum unattached;
  unattached.applyUpdate(axon);
  unattached.resetState();
  EXPECT_EQ(axon.weights, V({1.0, 2.0}));

  Wired<Momentum> net(3);
  net.rule.divisor = 0;              // counts as 1
  net.rule.velocity.assign(2, 0.0);  // a velocity shorter than the accumulator
  net.update({0.0, 0.0, 0.0}, {1.0, 1.0, 1.0});
  EXPECT_EQ(net.axon.weights, V({1.0, 1.0, 0.0}));
  net.rule.release();
  net.rule.setMomentum(0.9);
  net.rule.resetState();
  net.update({0.0, 0.0, 0.0}, {1.0, 1.0, 1.0});
  EXPECT_EQ(net.axon.weights, V(3, 0.0));
}

TEST(MomentumTest, ResetClearsVelocityUnderTheFlagAndRefillsMomentums) {
  Wired<Momentum> net(2);
  CountingAccess velocityObserver;
  CountingAccess momentumObserver;
  net.rule.attachVelocityObserver(&velocityObserver);
  net.rule.attachMomentumObserver(&momentumObserver);
  net.rule.setPerWeightMomentum(1);
  EXPECT_EQ(velocityObserver.data, net.rule.velocity.data());
  EXPECT_EQ(momentumObserver.rows, 2);
  // The refill told the observer already bound to the new momentums.
  EXPECT_EQ(momentumObserver.rowsSeen, 2);
  EXPECT_EQ(momentumObserver.dataSeen, net.rule.momentums.data());
  net.rule.momentums = {0.1, 0.2};
  net.rule.velocity = {3.0, 4.0};
  net.twin.weights = {1.0, 1.0};
  net.rule.resetState();
  EXPECT_EQ(net.rule.velocity, V(2, 0.0));
  EXPECT_EQ(velocityObserver.lastFlag, 1);
  EXPECT_EQ(momentumObserver.lastFlag, 0);
  EXPECT_EQ(kq::resettingFlag, 0);
  EXPECT_EQ(net.rule.momentums, V(2, 0.5));
  EXPECT_EQ(net.twin.weights, V(2, 0.0));
  const int before = velocityObserver.transfers;
  net.rule.applyUpdate(net.axon);
  EXPECT_EQ(velocityObserver.transfers, before + 1);
}

TEST(MomentumTest, VelocityRecordRoundTripsBitForBit) {
  Wired<Momentum> net(3);
  net.rule.velocity = {0.1, -1.0 / 3.0, 6.02214076e23};
  std::string text;
  net.rule.writeStateToText(text);
  EXPECT_EQ(text, "3 1.0000000000000001e-01 -3.3333333333333331e-01 6.0221407599999999e+23 \n");
  std::FILE* out = std::fopen("v.kqw", "wb");
  net.rule.writeState(out);
  std::fclose(out);
  EXPECT_EQ(fileText("v.kqw"), text);
  out = std::fopen("w.kqw", "wb");
  net.rule.writeWeights(out);
  std::fclose(out);
  EXPECT_EQ(fileText("w.kqw"), text + "\n");

  EXPECT_EQ(readRecord("w.kqw", 3, 250), net.rule.velocity);
  Wired<Momentum> fromText(3);
  kq::WeightTextCursor cursor{text.c_str()};
  fromText.rule.readWeightsFromText(cursor, 124);
  EXPECT_EQ(fromText.rule.velocity, net.rule.velocity);
}

TEST(MomentumTest, OldFilesAndMismatchedCountsAreAbsorbed) {
  writeText("r.kqw", "2 1.5 2.5\n");
  EXPECT_EQ(readRecord("r.kqw", 3, 123), V(3, 0.0));
  EXPECT_EQ(readRecord("r.kqw", 3, 124, {9.0, 9.0, 9.0}), V({1.5, 2.5, 9.0}));

  // The surplus is consumed and dropped; the next section is unaffected.
  writeText("s.kqw", "4 1 2 3 4\n#next 7\n");
  Wired<Momentum> fewer(2);
  std::FILE* file = std::fopen("s.kqw", "rb");
  fewer.rule.readState(file, 124);
  EXPECT_EQ(fewer.rule.velocity, V({1.0, 2.0}));
  char word[16] = {};
  ASSERT_EQ(std::fscanf(file, "%15s", word), 1);
  EXPECT_STREQ(word, "#next");
  std::fclose(file);

  kq::WeightTextCursor cursor{"4 1 2 3 4 #next 7"};
  fewer.rule.readStateFromText(cursor, 124);
  EXPECT_EQ(cursor.readInt(), 7);
}

TEST(MomentumTest, HostileCountsNeitherAllocateNorOverrun) {
  for (const char* record : {"2147483647 1 2", "-5 1 2", "x 1 2", "99999999999 1", "", "3 1 # 2"}) {
    writeText("h.kqw", record);
    EXPECT_EQ(readRecord("h.kqw", 2, 300, {7.0, 7.0}).size(), 2u) << record;
    Wired<Momentum> fromText(2);
    kq::WeightTextCursor cursor{record};
    fromText.rule.readStateFromText(cursor, 300);
    EXPECT_EQ(fromText.rule.velocity.size(), 2u) << record;
  }
  writeText("h.kqw", "2147483647 1 2");
  EXPECT_EQ(readRecord("h.kqw", 2, 300), V({1.0, 2.0}));

  // Without a backprop object nothing is stored and the records are empty.
  Momentum detached;
  kq::WeightTextCursor cursor{"2 1 2"};
  detached.readStateFromText(cursor, 300);
  std::string text;
  detached.writeStateToText(text);
  detached.saveState();
  detached.writeSavedStateToText(text);
  EXPECT_EQ(text, "0 \n0 \n");
}

TEST(MomentumTest, SnapshotIsWrittenOnce) {
  Wired<Momentum> net(2);
  net.rule.velocity = {0.5, -0.25};
  net.rule.saveState();
  net.rule.velocity = {1.0, 2.0};
  std::string text;
  net.rule.writeSavedStateToText(text);
  net.rule.writeSavedStateToText(text);
  EXPECT_EQ(text,
            "2 5.0000000000000000e-01 -2.5000000000000000e-01 \n"
            "2 1.0000000000000000e+00 2.0000000000000000e+00 \n");

  net.rule.saveWeights();
  net.rule.velocity = {3.0, 4.0};
  std::FILE* out = std::fopen("saved.kqw", "wb");
  net.rule.writeSavedWeights(out);
  net.rule.writeSavedState(out);
  std::fclose(out);
  EXPECT_EQ(fileText("saved.kqw"),
            "2 1.0000000000000000e+00 2.0000000000000000e+00 \n\n"
            "2 3.0000000000000000e+00 4.0000000000000000e+00 \n");
}

// The step sizes, the velocity, the momentums and the snapshot are on the
// ledger while they are held; release gives back all but the snapshot,
// which goes when its writer consumes it.
TEST(MomentumTest, ItsArraysAndItsSnapshotAreOnTheLedgerWhileHeld) {
  Wired<Momentum> net(3);
  const int64_t before = kq::claimedMemory();
  const auto held = [before] { return kq::claimedMemory() - before; };
  Momentum rule;
  rule.setBackprop(&net.twin);
  rule.setPerWeightMomentum(1);
  rule.setPerWeightStep(1);
  EXPECT_EQ(held(), 9 * 8);
  rule.saveWeights();
  EXPECT_EQ(held(), 12 * 8);
  rule.release();
  EXPECT_EQ(held(), 3 * 8);
  std::string text;
  rule.writeSavedStateToText(text);
  EXPECT_EQ(held(), 0);
}

double readMomentum(kq::Engine& e) { return static_cast<Momentum&>(e).scalarMomentum; }
double readStep(kq::Engine& e) { return static_cast<Momentum&>(e).scalarStep; }

TEST(MomentumTest, OwnParameterFollowsStepsTwo) {
  Momentum rule;
  EXPECT_EQ(rule.firstOwnParameterIndex(), 2);
  EXPECT_EQ(rule.ownParameterCount(), 1);
  kq::ParameterDescriptor own;
  kq::ParameterDescriptor inherited;
  inherited.accessorSlot = 1;
  rule.parameters[2] = &own;
  rule.parameters[1] = &inherited;
  rule.momentumGetters.entries[0] = &readMomentum;
  rule.doubleGetters.entries[1] = &readStep;
  EXPECT_EQ(rule.getDouble(2), 0.5);
  EXPECT_EQ(rule.getDouble(1), 0.1);  // Step's table below index 2
  EXPECT_EQ(rule.getDouble(-3), 0.0);
  own.accessorSlot = 1;  // past the single own entry
  EXPECT_EQ(rule.getDouble(2), 0.0);
  rule.setDouble(2, 1.0);
  EXPECT_EQ(rule.scalarMomentum, 0.5);
}

// A 2-6-1 network with a momentum rule per trainable component and three
// exemplars, prepared for learning; its hidden layer is then grown to 8
// rows, with prepareLearning again or not, and trained for one batch. The
// twin is grown with it, or left to prepareLearning (a weight file that
// re-shapes the forward layer alone). The first rule's state record is
// written before the batch.
struct GrownAfterPreparing {
  explicit GrownAfterPreparing(bool prepareAgain, bool growTwin = true) {
    std::mt19937_64 generator(9);
    network.inputs.records = kqtest::randomRecords(3, 2, generator);
    network.desired.records = kqtest::randomRecords(3, 1, generator);
    const std::vector<std::pair<kq::Soma*, kq::Soma*>> trained{
        {network.synapseTwins[0].get(), network.synapses[0].get()},
        {network.layerTwin(1), network.layer(1)},
        {network.synapseTwins[1].get(), network.synapses[1].get()},
        {network.layerTwin(2), network.layer(2)}};
    for (const auto& [twin, forward] : trained) {
      rules.push_back(std::make_unique<Momentum>());
      Momentum& rule = *rules.back();
      rule.setMomentum(0.7);
      rule.setStepSize(0.05);
      rule.setBackprop(twin);
      rule.forward = forward;
      rule.control = &network.control;
      rule.registerWithControl();
    }
    network.control.prepareLearning();
    network.layer(1)->setRows(8);
    if (growTwin) network.layerTwin(1)->setRows(8);
    if (prepareAgain) network.control.prepareLearning();
    rules[0]->writeStateToText(savedState);
    network.randomizeForward(generator, 0.5);
    before = network.synapses[0]->weights;
    for (size_t e = 0; e < 3; ++e) {
      network.forward();
      network.backward();
    }
    for (const auto& rule : rules) rule->applyUpdate(*rule->forward);
  }
  kqtest::BackwardNetwork network{{2, 6, 1}, {{0, 1}, {1, 2}}};
  std::vector<std::unique_ptr<Momentum>> rules;
  V before;                // the first synapse's weights before the batch
  std::string savedState;  // the first rule's state record before the batch
};

TEST(MomentumTest, ALayerGrownAfterPreparingIsTrainedWhole) {
  const GrownAfterPreparing grown(false);
  const GrownAfterPreparing prepared(true);
  const kq::FullSynapse& first = *grown.network.synapses[0];
  ASSERT_EQ(first.weights.size(), 16u);
  for (size_t i = 0; i < 16; ++i) EXPECT_NE(first.weights[i], grown.before[i]) << "weight " << i;
  EXPECT_EQ(grown.network.accumulated(), V(grown.network.accumulated().size(), 0.0));
  EXPECT_EQ(grown.network.plain().parameters(), prepared.network.plain().parameters());
  EXPECT_EQ(grown.rules[0]->velocity, prepared.rules[0]->velocity);
}

// The twin of a layer re-shaped alone follows it at prepareLearning, and a
// rule written between a re-shape and its next batch writes the new layout.
TEST(MomentumTest, TwinsAndSavedStateFollowAReShapedLayer) {
  const GrownAfterPreparing prepared(true);
  const GrownAfterPreparing forwardAlone(true, false);
  EXPECT_EQ(forwardAlone.network.layerTwin(1)->rows, 8);
  EXPECT_EQ(forwardAlone.network.synapseTwins[0]->ownCount, 16);
  EXPECT_EQ(forwardAlone.network.plain().parameters(), prepared.network.plain().parameters());
  const GrownAfterPreparing grown(false);
  EXPECT_EQ(grown.savedState.substr(0, 3), "16 ");
}

}  // namespace

// Built against the library whose fatal errors throw: a sizing refused for
// want of memory leaves its owner's arrays, counts and shape, and the
// ledger, exactly as they were, and the same sizing succeeds once it fits.

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include <kqnet/axons/axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/core/claimed_array.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/memory.h>
#include <kqnet/momentum/momentum.h>

namespace {

// Sets the figure to what is claimed now plus room, and restores it.
struct Room {
  explicit Room(int64_t bytes) { kq::setPhysicalMemory(kq::claimedMemory() + bytes); }
  ~Room() { kq::restorePhysicalMemory(); }
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;
};

TEST(RefusedSizing, AGrownLayersRuleKeepsItsOldSizeUntilItFits) {
  kq::TanhAxon axon;
  axon.setRows(12);
  kq::BackTanhAxon twin;
  twin.setDual(&axon);
  kq::Momentum rule;
  rule.setPerWeightStep(1);
  rule.setBackprop(&twin);
  rule.forward = &axon;
  axon.setRows(16);
  twin.setRows(16);
  const int64_t ledger = kq::claimedMemory();
  {
    // Room for the step sizes, not for the velocity beside them.
    const Room room(4 * 8 + 4 * 8 - 1);
    EXPECT_THROW(rule.applyUpdate(axon), kq::FatalError);
  }
  EXPECT_EQ(rule.weightCount, 12);
  EXPECT_EQ(rule.stepCount, 12);
  EXPECT_EQ(rule.stepSizes.size(), 12u);
  EXPECT_EQ(rule.velocity.size(), 12u);
  EXPECT_EQ(kq::claimedMemory(), ledger);
  rule.applyUpdate(axon);
  EXPECT_EQ(rule.weightCount, 16);
  EXPECT_EQ(rule.velocity.size(), 16u);
}

TEST(RefusedSizing, AnAxonKeepsItsShapeRingAndBiases) {
  kq::TanhAxon axon;
  axon.setRows(4);
  const double* ring = axon.ringStart();
  const double* biases = std::as_const(axon.weights).data();
  const int64_t ledger = kq::claimedMemory();
  {
    // Room for the new ring of 2 x 1000 values, not for the biases too.
    const Room room(2 * 1000 * 8);
    EXPECT_THROW(axon.setRows(1000), kq::FatalError);
    EXPECT_THROW(axon.setDelay(2000), kq::FatalError);
  }
  EXPECT_EQ(axon.rows, 4);
  EXPECT_EQ(axon.length, 4);
  EXPECT_EQ(axon.delay, 1);
  EXPECT_EQ(axon.ringStart(), ring);
  EXPECT_EQ(std::as_const(axon.weights).data(), biases);
  EXPECT_EQ(kq::claimedMemory(), ledger);
}

TEST(RefusedSizing, AnArrayKeepsItsStorageAndTheLedgerItsFigure) {
  kq::ClaimedArray<double> a(10, 1.5);
  const double* storage = a.data();
  const int64_t ledger = kq::claimedMemory();
  {
    const Room room(79);
    EXPECT_THROW(a.assign(21, 0.0), kq::FatalError);
    EXPECT_THROW(kq::ClaimedArray<double> copy = a, kq::FatalError);
  }
  EXPECT_EQ(a.data(), storage);
  EXPECT_EQ(a.size(), 10u);
  EXPECT_EQ(a[9], 1.5);
  EXPECT_EQ(kq::claimedMemory(), ledger);
}

}  // namespace

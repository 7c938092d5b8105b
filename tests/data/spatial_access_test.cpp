#include <kqnet/data/spatial_data.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <kqnet/core/memory.h>

namespace {

// Logs each transfer with the block it saw.
class LoggingAccess : public kq::SpatialData {
 public:
  LoggingAccess(std::string name, std::vector<std::string>* log)
      : name_(std::move(name)), log_(log) {}
  void transfer() override { log_->push_back(name_); }

 private:
  std::string name_;
  std::vector<std::string>* log_;
};

class Chain : public ::testing::Test {
 protected:
  void SetUp() override {
    a.setNext(&b);
    b.setNext(&c);
  }
  std::vector<std::string> log;
  LoggingAccess a{"A", &log}, b{"B", &log}, c{"C", &log};
};

TEST_F(Chain, StepTransfersEachAccessInChainOrder) {
  a.step();
  EXPECT_EQ(log, (std::vector<std::string>{"A", "B", "C"}));
}

TEST_F(Chain, SetDataBindsTheWholeChainAndSetDataAndStepMovesIt) {
  double p[6] = {};
  double q[6] = {};
  a.setData(p, 6, 1);
  for (const kq::SpatialAccess* access : {&a, &b, &c}) {
    EXPECT_EQ(access->data, p);
    EXPECT_EQ(access->rows, 6);
    EXPECT_EQ(access->columns, 1);
    EXPECT_EQ(access->length, 6);
  }
  a.setDataAndStep(q);
  for (const kq::SpatialAccess* access : {&a, &b, &c}) {
    EXPECT_EQ(access->data, q);
    EXPECT_EQ(access->length, 6);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"A", "B", "C"}));
}

TEST_F(Chain, UnchainingStopsTheWalk) {
  a.setNext(nullptr);
  a.step();
  EXPECT_EQ(log, (std::vector<std::string>{"A"}));
}

TEST_F(Chain, AChainThatWouldLoopIsRefusedAndLeftAsItWas) {
  EXPECT_THROW(a.setNext(&a), std::invalid_argument);
  EXPECT_THROW(c.setNext(&a), std::invalid_argument);
  EXPECT_THROW(c.setNext(&b), std::invalid_argument);
  EXPECT_EQ(c.next, nullptr);
  a.step();
  EXPECT_EQ(log, (std::vector<std::string>{"A", "B", "C"}));
}

TEST_F(Chain, SetSizeOnTheHeadDoesNotRebindTheChain) {
  double p[4] = {};
  a.setData(p, 4, 1);
  a.setSize(2, 3);
  EXPECT_NE(a.data, p);
  EXPECT_EQ(a.length, 6);
  EXPECT_EQ(b.data, p);
  EXPECT_EQ(b.length, 4);
}

TEST_F(Chain, AnEmptyBlockStillWalksTheChain) {
  a.releaseBuffer();  // steps so that the chain sees the empty block
  EXPECT_EQ(log, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(a.data, nullptr);
  EXPECT_EQ(a.length, 0);
}

// A copy would carry a binding that no owner re-points.
static_assert(!std::is_copy_constructible_v<kq::SpatialData>);
static_assert(!std::is_copy_assignable_v<kq::SpatialData>);

TEST(ChainLinks, ADestroyedAccessIsClosedOverOrLeavesItsChainCutAndUnbound) {
  std::vector<std::string> log;
  double p[2] = {};
  LoggingAccess a("A", &log);
  LoggingAccess c("C", &log);
  auto b = std::make_unique<LoggingAccess>("B", &log);
  a.setNext(b.get());
  b->setNext(&c);
  a.setData(p, 2, 1);
  b.reset();
  ASSERT_EQ(a.next, &c);
  EXPECT_EQ(c.data, p);
  a.step();
  EXPECT_EQ(log, (std::vector<std::string>{"A", "C"}));
  // At the head there is nothing to close over: what followed is cut.
  auto head = std::make_unique<LoggingAccess>("H", &log);
  head->setNext(&a);
  head->setData(p, 2, 1);
  head.reset();
  EXPECT_EQ(a.data, nullptr);
  EXPECT_EQ(c.data, nullptr);
  EXPECT_EQ(c.length, 0);
}

TEST(Reserve, IgnoresZeroNegativeAndSizesBelowTheShape) {
  kq::SpatialData data;
  data.setSize(2, 3);
  double* buffer = data.data;
  data.ownedBuffer[0] = 4.0;
  data.reserve(0);
  data.reserve(-8);
  data.reserve(5);
  EXPECT_EQ(data.data, buffer);
  EXPECT_EQ(data.length, 6);
  data.reserve(8);
  EXPECT_EQ(data.length, 8);
  EXPECT_EQ(data.ownedBuffer.size(), 8u);
  EXPECT_EQ(data.data[0], 0.0);
}

TEST(SetSize, AZeroProductRecordsTheShapeButKeepsBufferAndNormalisation) {
  kq::InputSpatialData data;
  data.setSize(3, 1);
  data.scale[1] = 2.0;
  double* buffer = data.data;
  data.setSize(0, 5);
  EXPECT_EQ(data.rows, 0);
  EXPECT_EQ(data.columns, 5);
  EXPECT_EQ(data.data, buffer);
  EXPECT_EQ(data.length, 3);
  EXPECT_EQ(data.normalizationSize, 3);
  EXPECT_EQ(data.scale[1], 2.0);
  data.setSize(-2, 3);  // a negative product counts as zero
  EXPECT_EQ(data.data, buffer);
  EXPECT_EQ(data.normalizationSize, 3);
}

// The buffer, scale, offset and scratch of one element count are on the
// ledger, sized together: one byte short of room for the four, the shape is
// refused before anything changes. releaseBuffer gives back the buffer's
// part, the object's end the rest.
TEST(SetSizeDeathTest, TheFourArraysAreClaimedTogether) {
  const int64_t before = kq::claimedMemory();
  {
    kq::InputSpatialData data;
    data.setSize(250, 2);
    EXPECT_EQ(kq::claimedMemory() - before, 4 * 500 * 8);
    kq::setPhysicalMemory(kq::claimedMemory() + 4 * (1000 - 500) * 8 - 1);
    EXPECT_EXIT(data.setSize(1000, 1), ::testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");
    kq::setPhysicalMemory(kq::claimedMemory() + 4 * (1000 - 500) * 8);
    data.setSize(1000, 1);
    kq::restorePhysicalMemory();
    data.setSize(10, 1);
    EXPECT_EQ(kq::claimedMemory() - before, 4 * 10 * 8);
    data.releaseBuffer();
    EXPECT_EQ(kq::claimedMemory() - before, 3 * 10 * 8);
  }
  EXPECT_EQ(kq::claimedMemory(), before);
}

TEST(Normalisation, StartsAsIdentityAndMapsBothWays) {
  kq::InputSpatialData data;
  data.setSize(3, 1);
  EXPECT_EQ(data.scale, (std::vector<double>{1.0, 1.0, 1.0}));
  EXPECT_EQ(data.offset, (std::vector<double>{0.0, 0.0, 0.0}));
  EXPECT_EQ(data.scratch, (std::vector<double>{0.0, 0.0, 0.0}));
  data.scale = {2.0, 0.5, -1.0};
  data.offset = {1.0, 0.0, 0.25};
  double block[3] = {3.0, 8.0, 0.75};
  data.setData(block, 3, 1);
  data.applyNormalization();
  EXPECT_EQ(block[0], 7.0);
  EXPECT_EQ(block[1], 4.0);
  EXPECT_EQ(block[2], -0.5);
  data.normalize();
  EXPECT_EQ(data.scratch, (std::vector<double>{3.0, 8.0, 0.75}));
  EXPECT_EQ(block[0], 7.0);  // the block itself is left alone
}

TEST(Normalisation, DoesNothingWhenTheBlockShapeDiffers) {
  kq::InputSpatialData data;
  data.setSize(3, 1);
  data.scale = {2.0, 2.0, 2.0};
  double block[2] = {1.0, 1.0};
  data.setData(block, 2, 1);
  data.applyNormalization();
  data.normalize();
  EXPECT_EQ(block[0], 1.0);
  EXPECT_EQ(data.scratch[0], 0.0);
  data.setData(nullptr, 3, 1);  // an unbound block of the right shape
  data.applyNormalization();
  data.normalize();
}

TEST(FillAndCopy, WriteTheBoundBlockThenStep) {
  std::vector<std::string> log;
  LoggingAccess access("A", &log);
  access.fill(1.0);  // unbound: nothing, no step
  access.copyFrom(nullptr);
  EXPECT_TRUE(log.empty());
  double block[3] = {};
  access.setData(block, 3, 1);
  access.fill(2.5);
  EXPECT_EQ(block[2], 2.5);
  const double source[3] = {1.0, 2.0, 3.0};
  access.copyFrom(source);
  EXPECT_EQ(block[0], 1.0);
  EXPECT_EQ(block[2], 3.0);
  EXPECT_EQ(log.size(), 2u);
}

}  // namespace

#include <kqnet/core/soma.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include <kqnet/core/spatial_access.h>

namespace {

// Counts the notifications that reach it.
class CountingAccess : public kq::SpatialAccess {
 public:
  const char* className() const override { return "Counting"; }
  void transfer() override { ++transfers; }
  int transfers = 0;
};

std::vector<double> weightsOf(const kq::Soma& soma) {
  return std::vector<double>(soma.weights.begin(), soma.weights.begin() + soma.weightTotal());
}

TEST(SomaWeights, AllocateOnceForAnUnchangedCountUnlessForced) {
  std::srand(11);
  kq::Soma soma;
  soma.setWeightCount(5, 0);
  ASSERT_EQ(soma.weights.size(), 5u);
  ASSERT_EQ(soma.savedWeights.size(), 5u);
  const std::vector<double> first = weightsOf(soma);
  soma.setWeightCount(5, 0);
  EXPECT_EQ(weightsOf(soma), first);
  soma.setWeightCount(5, 1);
  EXPECT_NE(weightsOf(soma), first);
}

TEST(SomaWeights, ZeroCountStillHoldsOneDouble) {
  kq::Soma soma;
  soma.setWeightCount(0, 1);
  EXPECT_EQ(soma.ownCount, 0);
  EXPECT_EQ(soma.instanceCount, 0);
  EXPECT_EQ(soma.weights.size(), 1u);
}

TEST(SomaWeights, RandomiseWithTheDocumentedFormulaFromFifteenBitDraws) {
  kq::Soma soma;
  soma.randomRange = 0.3;
  soma.randomCentre = -0.2;
  std::srand(5);
  soma.setWeightCount(200, 0);
  std::srand(5);
  for (int i = 0; i < 200; ++i) {
    const int r = std::rand() % 32768;
    const double expected = (2.0 * 0.3 / 32767.0) * r - 0.3 + -0.2;
    ASSERT_EQ(soma.weights[i], expected) << "weight " << i;
  }
}

TEST(SomaWeights, StayWithinCentrePlusMinusRangeOverManyDraws) {
  std::srand(3);
  kq::Soma soma;
  soma.randomRange = 0.5;
  soma.randomCentre = 0.25;
  double lowest = 1e9;
  double highest = -1e9;
  for (int round = 0; round < 20; ++round) {
    soma.setWeightCount(1000, 1);
    for (double w : weightsOf(soma)) {
      lowest = std::min(lowest, w);
      highest = std::max(highest, w);
    }
  }
  EXPECT_GE(lowest, -0.25);
  EXPECT_LE(highest, 0.75);
  EXPECT_LT(lowest, -0.24);  // the draws reach both ends
  EXPECT_GT(highest, 0.74);
}

TEST(SomaWeights, ZeroRangeGivesExactlyTheCentre) {
  kq::Soma soma;
  soma.setWeightCount(7, 0);
  soma.setRandomCentre(0.8);
  soma.setRandomRange(0.0);
  for (double w : weightsOf(soma)) EXPECT_EQ(w, 0.8);
}

TEST(SomaWeights, KeepWeightsLeavesZeroFilledWeightsAlone) {
  kq::Soma soma;
  soma.keepWeights = 1;
  soma.setWeightCount(4, 0);
  for (double w : weightsOf(soma)) EXPECT_EQ(w, 0.0);
}

TEST(SomaWeights, SanitiseTurnsNonFiniteValuesIntoZeroAndNotifies) {
  kq::Soma soma;
  CountingAccess observer;
  soma.ownWeightAccess = &observer;
  soma.setWeightCount(4, 0);
  soma.weights = {1.5, std::numeric_limits<double>::quiet_NaN(),
                  -std::numeric_limits<double>::infinity(), -2.0};
  const int before = observer.transfers;
  soma.sanitizeWeights();
  EXPECT_EQ(soma.weights, (std::vector<double>{1.5, 0.0, 0.0, -2.0}));
  EXPECT_EQ(observer.transfers, before + 1);
}

TEST(SomaWeights, JogMovesEachOwnWeightByAtMostTheRange) {
  std::srand(9);
  kq::Soma soma;
  soma.setWeightCount(50, 0);
  soma.setRandomRange(0.0);  // all weights at the centre, 0.0
  soma.randomRange = 0.1;
  soma.jogWeights();
  bool moved = false;
  for (double w : weightsOf(soma)) {
    EXPECT_LE(std::fabs(w), 0.1);
    moved = moved || w != 0.0;
  }
  EXPECT_TRUE(moved);
}

TEST(SomaWeights, WeightAccessesAreBoundToTheOwnAndInstanceParts) {
  kq::Soma soma;
  CountingAccess own;
  CountingAccess instance;
  soma.ownWeightAccess = &own;
  soma.instanceWeightAccess = &instance;
  soma.setWeightCount(3, 0);
  EXPECT_EQ(own.data, soma.weights.data());
  EXPECT_EQ(own.length, 3);
  EXPECT_EQ(instance.data, soma.weights.data() + 3);
  EXPECT_EQ(instance.length, 0);
  soma.releaseWeights();
  EXPECT_EQ(own.data, nullptr);
  EXPECT_EQ(soma.ownCount, 0);
  EXPECT_TRUE(soma.weights.empty());
  EXPECT_TRUE(soma.savedWeights.empty());
}

class SomaRing : public ::testing::Test {
 protected:
  // Delay 1 and frame size 3: two frames.
  void SetUp() override {
    soma.setDelay(1);
    soma.allocateRing(3);
  }
  kq::Soma soma;
};

TEST_F(SomaRing, StepsForwardAndBackWithWrap) {
  ASSERT_EQ(soma.frameCount(), 2);
  double* first = soma.currentFrame();
  EXPECT_EQ(first, soma.ringStart());
  soma.stepForward();
  EXPECT_EQ(soma.currentFrame(), first + 3);
  soma.stepForward();
  EXPECT_EQ(soma.currentFrame(), first);
  soma.stepBack();
  EXPECT_EQ(soma.currentFrame(), first + 3);
  EXPECT_EQ(soma.ringEnd(), first + 6);
}

TEST_F(SomaRing, RestoreReturnsToTheSavedFrameOnceAndIgnoresAMissingSave) {
  soma.setDelay(2);
  soma.allocateRing(3);
  soma.stepForward();
  double* saved = soma.currentFrame();
  soma.saveFramePosition();
  soma.stepBack();
  soma.stepBack();
  soma.restoreFramePosition();
  EXPECT_EQ(soma.currentFrame(), saved);
  soma.stepForward();
  double* moved = soma.currentFrame();
  soma.restoreFramePosition();  // no save pending: stays put
  EXPECT_EQ(soma.currentFrame(), moved);
}

TEST_F(SomaRing, ReallocationCarriesTheLastFrameOnlyForAnUnchangedFrameSize) {
  double* ring = soma.ringStart();
  for (int i = 0; i < 6; ++i) ring[i] = i + 1.0;
  soma.setDelay(2);
  soma.allocateRing(3);  // three frames of three
  ASSERT_EQ(soma.frameCount(), 3);
  const std::vector<double> expected{0, 0, 0, 0, 0, 0, 4, 5, 6};
  EXPECT_EQ(std::vector<double>(soma.ringStart(), soma.ringEnd()), expected);
  EXPECT_EQ(soma.currentFrame(), soma.ringStart());

  soma.ringStart()[8] = 9.0;
  soma.allocateRing(4);  // another frame size: nothing carried
  for (double* p = soma.ringStart(); p != soma.ringEnd(); ++p) EXPECT_EQ(*p, 0.0);
}

TEST_F(SomaRing, ResetZeroesEveryFrameAndNotifiesTheObserver) {
  CountingAccess observer;
  soma.setOutputAccess(&observer);
  for (double* p = soma.ringStart(); p != soma.ringEnd(); ++p) *p = 2.0;
  soma.reset();
  for (double* p = soma.ringStart(); p != soma.ringEnd(); ++p) EXPECT_EQ(*p, 0.0);
  EXPECT_EQ(observer.transfers, 1);
  EXPECT_EQ(kq::resettingFlag, 0);
}

TEST_F(SomaRing, ASharedRingIsReadDelayFramesBehind) {
  soma.setDelay(2);
  soma.allocateRing(4);
  soma.inputLength = 4;
  soma.stepForward();  // the source is on its second frame
  kq::Soma reader;
  reader.attachAxon(&soma, 1);
  EXPECT_EQ(reader.frameSize, 4);
  EXPECT_EQ(reader.inputLength, 4);
  EXPECT_EQ(reader.ownsRing, 0);
  EXPECT_EQ(reader.frameSource, &soma);
  EXPECT_EQ(reader.currentFrame(), soma.ringStart());

  kq::Soma wrapped;
  wrapped.attachAxon(&soma, 2);  // two back from the second frame wraps to the last
  EXPECT_EQ(wrapped.currentFrame(), soma.ringStart() + 8);
  EXPECT_EQ(soma.delay, 3);  // raised so the ring can hold d + 2 frames

  kq::Soma same;
  same.attachAxon(&soma, 0);
  EXPECT_EQ(same.currentFrame(), soma.currentFrame());
  EXPECT_EQ(soma.delay, 3);  // delay 0 changes nothing
}

TEST_F(SomaRing, AttachingFurtherBackRaisesTheSourceDelay) {
  kq::Soma reader;
  reader.attachAxon(&soma, 1);
  EXPECT_EQ(soma.delay, 2);  // a plain Soma only records it
  reader.attachAxon(nullptr, 1);
  EXPECT_EQ(reader.currentFrame(), nullptr);
  EXPECT_EQ(reader.frameSize, 0);
  EXPECT_EQ(reader.frameSource, nullptr);
}

TEST_F(SomaRing, AReaderKeepsAReplacedRingAlive) {
  kq::Soma reader;
  reader.attachAxon(&soma, 0);
  double* old = reader.currentFrame();
  soma.allocateRing(3);  // the source moves its ring
  old[0] = 1.0;          // still valid memory: the reader holds it
  EXPECT_NE(reader.ringStart(), soma.ringStart());
}

TEST_F(SomaRing, ReleaseFreesAnOwnedRingButNotASharedOne) {
  kq::Soma reader;
  reader.attachAxon(&soma, 0);
  reader.setWeightCount(2, 0);
  reader.release();
  EXPECT_TRUE(reader.weights.empty());
  EXPECT_NE(soma.ringStart(), nullptr);
  soma.release();
  EXPECT_EQ(soma.ringStart(), nullptr);
  EXPECT_EQ(soma.currentFrame(), nullptr);
  soma.stepForward();  // nothing left to step
  soma.stepBack();
}

TEST_F(SomaRing, ReattachingKeepsTheSavedFrameOnlyWithinTheSameRing) {
  soma.setDelay(2);
  soma.allocateRing(3);
  kq::Soma reader;
  reader.attachAxon(&soma, 0);
  reader.stepForward();
  double* saved = reader.currentFrame();
  reader.saveFramePosition();
  reader.stepBack();
  // Another axon moved its ring: the control re-attaches every reader, this
  // one to the ring it already shares.
  reader.attachAxon(&soma, 0);
  EXPECT_EQ(reader.currentFrame(), soma.currentFrame());
  reader.restoreFramePosition();
  EXPECT_EQ(reader.currentFrame(), saved);

  reader.saveFramePosition();
  soma.allocateRing(3);  // the source itself moves: the saved frame is gone
  reader.attachAxon(&soma, 0);
  reader.restoreFramePosition();
  EXPECT_EQ(reader.currentFrame(), soma.currentFrame());
}

TEST(SomaDeathTest, AttachingBeyondThirtyTwoBitsOfFramesIsOutOfMemory) {
  kq::Soma source;
  source.allocateRing(3);
  kq::Soma reader;
  EXPECT_EXIT(reader.attachAxon(&source, std::numeric_limits<int>::max()),
              ::testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");
}

// The weights and their saved copy, 16 bytes a weight: a count whose two
// arrays exceed physical memory ends the process before either is
// allocated.
TEST(SomaDeathTest, WeightsBeyondPhysicalMemoryAreOutOfMemory) {
  const int64_t physical = int64_t{sysconf(_SC_PHYS_PAGES)} * sysconf(_SC_PAGESIZE);
  const int64_t count = physical / 16 + 1;
  if (count > std::numeric_limits<int32_t>::max()) {
    GTEST_SKIP() << "no 32-bit weight count exceeds this machine's memory";
  }
  kq::Soma soma;
  EXPECT_EXIT(soma.setWeightCount(static_cast<int>(count), 1), ::testing::ExitedWithCode(1),
              "^Error: Out of memory\\.\n$");
}

// A current frame that does not start a frame of the ring is a fault of
// the ring code; debug builds stop at the next move, release builds move on.
TEST(SomaDeathTest, AFrameOffTheRingStopsADebugBuild) {
  kq::Soma soma;
  soma.allocateRing(3);  // two frames of three
  soma.currentOffset = 1;
  EXPECT_DEBUG_DEATH(soma.stepForward(), "frameInRing");
}

TEST(SomaDelay, NegativeDelaysCountAsZero) {
  kq::Soma soma;
  soma.setDelay(-3);
  EXPECT_EQ(soma.delay, 0);
  soma.allocateRing(2);
  EXPECT_EQ(soma.frameCount(), 1);
}

TEST(SomaFiring, FiresItsSuccessorAfterStepping) {
  struct Recorder : kq::Soma {
    void fire() override { ++fired; }
    void fireEmpty() override { ++empties; }
    int fired = 0;
    int empties = 0;
  } next;
  kq::Soma soma;
  soma.allocateRing(1);
  soma.successor = &next;
  soma.fire();
  soma.fireEmpty();
  EXPECT_EQ(next.fired, 1);
  EXPECT_EQ(next.empties, 1);
}

TEST(SomaRegistration, ClearsTheJacobianBookkeeping) {
  kq::Soma soma;
  kq::Soma other;
  soma.jacobianColumns = 3;
  soma.jacobianColumnBase = 2;
  soma.connectionList.push_back(&other);
  soma.registerWithControl();
  EXPECT_EQ(soma.jacobianColumns, 0);
  EXPECT_EQ(soma.jacobianColumnBase, 0);
  EXPECT_TRUE(soma.connectionList.empty());
}

}  // namespace

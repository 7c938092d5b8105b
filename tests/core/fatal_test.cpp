#include <kqnet/core/fatal.h>
#include <kqnet/core/memory.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <utility>

#include <kqnet/core/claimed_array.h>

#include <kqnet/core/messages.h>

namespace {

TEST(CheckedCount, PassesThirtyTwoBitSizesAndTreatsNegativesAsZero) {
  EXPECT_EQ(kq::checkedCount(0), 0);
  EXPECT_EQ(kq::checkedCount(-5), 0);
  EXPECT_EQ(kq::checkedCount(std::numeric_limits<int32_t>::max()),
            std::numeric_limits<int32_t>::max());
  EXPECT_EQ(kq::checkedProduct(50, 8), 400);
  EXPECT_EQ(kq::checkedProduct(-3, 8), 0);
  EXPECT_EQ(kq::checkedProduct(0, 8), 0);
}

TEST(CheckedCountDeathTest, SizesBeyondThirtyTwoBitsEndTheProcess) {
  EXPECT_EXIT(kq::checkedCount(int64_t{1} << 31), ::testing::ExitedWithCode(1),
              "^Error: Out of memory\\.\n$");
  EXPECT_EXIT(kq::checkedProduct(65536, 65536), ::testing::ExitedWithCode(1),
              "^Error: Out of memory\\.\n$");
}

TEST(RequireMemoryDeathTest, PhysicalMemoryIsTheLimitOfARequest) {
  const int64_t physical = int64_t{sysconf(_SC_PHYS_PAGES)} * sysconf(_SC_PAGESIZE);
  EXPECT_TRUE(kq::fitsInMemory(physical));
  EXPECT_FALSE(kq::fitsInMemory(physical + 1));
  EXPECT_TRUE(kq::fitsInMemory(0));
  EXPECT_TRUE(kq::fitsInMemory(-1));
  kq::requireMemory(physical);  // returns: only the request is checked, nothing allocated
  EXPECT_EXIT(kq::requireMemory(physical + 1), ::testing::ExitedWithCode(1),
              "^Error: Out of memory\\.\n$");
}

// Re-sizing replaces a claim (its own old bytes never count twice), a move
// hands it over, a copy claims again, every claim goes with its owner, and
// one byte beyond what the others leave ends the run.
TEST(MemoryClaimDeathTest, TheLedgerHoldsWhatTheClaimsHoldNowAndRefusesMore) {
  kq::setPhysicalMemory(1000);
  {
    kq::MemoryClaim a;
    kq::MemoryClaim b;
    for (int64_t bytes : {600, 900, 400}) a.set(bytes);
    b.set(600);
    EXPECT_EQ(kq::claimedMemory(), 1000);
    EXPECT_EXIT(b.set(601), ::testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");
    EXPECT_EXIT(kq::MemoryClaim{a}, ::testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");
    const kq::MemoryClaim moved = std::move(a);
    b.release();
    EXPECT_EQ(kq::claimedMemory(), 400);
  }
  EXPECT_EQ(kq::claimedMemory(), 0);
  kq::restorePhysicalMemory();
  EXPECT_EQ(kq::physicalMemory(), int64_t{sysconf(_SC_PHYS_PAGES)} * sysconf(_SC_PAGESIZE));
}

// An array moved onto itself keeps its elements and its claim; a list is
// checked by its whole growth, so one that only moves bytes from one array
// to another fits with no room left, whichever array it lists first.
TEST(ClaimedArrayTest, ASelfMoveKeepsTheArrayAndAListFitsByItsWholeGrowth) {
  kq::ClaimedArray<double> a(100, 1.0);
  const int64_t held = kq::claimedMemory();
  kq::ClaimedArray<double>& same = a;
  a = std::move(same);
  EXPECT_EQ(a.size(), 100u);
  EXPECT_EQ(kq::claimedMemory(), held);
  kq::ClaimedArray<double> grows;
  kq::setPhysicalMemory(kq::claimedMemory());
  kq::sizeTogether([&](auto&& size) {
    size(grows, 100, 0.0);
    size(a, 0, 0.0);
  });
  kq::restorePhysicalMemory();
  EXPECT_EQ(grows.size(), 100u);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(kq::claimedMemory(), held);
}

// An array's claim is its size through every sizing, copy and move; a
// shared array gives it back with its last holder. Arrays sized together
// are refused together: of two that fit alone but not side by side, neither
// is sized.
TEST(ClaimedArrayDeathTest, TheLedgerHoldsWhatTheArraysHold) {
  const int64_t before = kq::claimedMemory();
  {
    kq::ClaimedArray<double> a(100, 1.0);
    kq::ClaimedArray<int32_t> b{1, 2, 3};
    const auto held = [before] { return kq::claimedMemory() - before; };
    EXPECT_EQ(held(), 800 + 12);
    a.assign(10, 0.0);
    EXPECT_EQ(held(), 80 + 12);
    const kq::ClaimedArray<double> copy = a;
    kq::ClaimedArray<double> moved = std::move(a);
    EXPECT_EQ(held(), 160 + 12);
    std::shared_ptr<double[]> shared = std::move(moved).share();
    std::shared_ptr<double[]> reader = shared;
    shared.reset();
    EXPECT_EQ(held(), 160 + 12);
    reader.reset();
    EXPECT_EQ(held(), 80 + 12);
    kq::ClaimedArray<char, kq::OverwrittenAllocator<char>> text;
    text.assignForOverwrite(1000);  // claimed like any other sizing
    EXPECT_EQ(held(), 80 + 12 + 1000);
    text.release();

    kq::setPhysicalMemory(kq::claimedMemory() + 40);
    kq::ClaimedArray<double> c;
    const auto both = [&](auto&& size) {
      size(b, 8, 0);  // 20 bytes more
      if (b.size() == 8) std::fputs("b sized\n", stderr);
      size(c, 3, 0.0);  // 24 bytes more
    };
    EXPECT_EQ(kq::growthOf(both), 44);
    EXPECT_EXIT(kq::sizeTogether(both), ::testing::ExitedWithCode(1),
                "^Error: Out of memory\\.\n$");
    EXPECT_EXIT(b.assign(14, 0), ::testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");
    kq::restorePhysicalMemory();
  }
  EXPECT_EQ(kq::claimedMemory(), before);
}

TEST(FatalDeathTest, WritesTheMessageUnchangedAndExitsWithOne) {
  EXPECT_EXIT(kq::fatalf(kq::messages::kSectionNotFound, "TanhAxon", "hidden1Axon"),
              ::testing::ExitedWithCode(1),
              "^The TanhAxon named hidden1Axon was not found in the weight file\\.$");
  EXPECT_EXIT(kq::fatalf(kq::messages::kUnableToOpenFile, "inputFile.asc"),
              ::testing::ExitedWithCode(1), "^Error: Unable to open file inputFile\\.asc\\.\n$");
}

#if !defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator reports oversized requests itself.
TEST(FatalDeathTest, FailedAllocationsReportOutOfMemory) {
  EXPECT_EXIT(
      {
        // Far beyond any machine, but below the allocator's own size check.
        volatile size_t huge = size_t{1} << 46;
        char* p = new char[huge];
        p[0] = 1;
        delete[] p;
      },
      ::testing::ExitedWithCode(1), "Error: Out of memory\\.\n$");
}
#endif

TEST(FormatString, FormatsLikePrintf) {
  EXPECT_EQ(kq::formatString("%22.16e ", 1.0), "1.0000000000000000e+00 ");
  EXPECT_EQ(kq::formatString("%22.16e ", -0.5), "-5.0000000000000000e-01 ");
  EXPECT_EQ(kq::formatString("%s-%d", "a", 7), "a-7");
}

}  // namespace

#include <kqnet/linalg/lu.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <kqnet/core/memory.h>

namespace {

using kq::RowMatrix;

TEST(LuTest, InvertsADiagonalMatrixExactly) {
  RowMatrix a{{2.0, 0.0}, {0.0, 4.0}};
  RowMatrix inverse = kq::squareMatrix(2);
  kq::invertMatrix(a, 2, inverse);
  EXPECT_EQ(inverse, (RowMatrix{{0.5, 0.0}, {0.0, 0.25}}));
}

TEST(LuTest, SwapsRowsForAZeroLeadingEntryAndFlipsTheSign) {
  RowMatrix a{{0.0, 1.0}, {1.0, 0.0}};
  kq::ClaimedArray<int32_t> pivots;
  double sign = 0.0;
  kq::luDecompose(a, 2, pivots, sign);
  EXPECT_EQ(sign, -1.0);
  EXPECT_EQ(pivots, (std::vector<int32_t>{1, 1}));
  EXPECT_EQ(a, (RowMatrix{{1.0, 0.0}, {0.0, 1.0}}));
}

TEST(LuTest, PivotsOnTheLargestEntryRelativeToItsRow) {
  // Row 0's 2 is its largest entry, row 1's 4 only two thirds of its 6:
  // scaled, row 0 wins although |4| is larger.
  RowMatrix a{{2.0, 1.0, 1.0}, {4.0, -6.0, 0.0}, {-2.0, 7.0, 2.0}};
  RowMatrix lu = a;
  kq::ClaimedArray<int32_t> pivots;
  double sign = 0.0;
  kq::luDecompose(lu, 3, pivots, sign);
  EXPECT_EQ(pivots[0], 0);
  // Column 0 below the diagonal: 4 / 2 and -2 / 2.
  EXPECT_EQ(lu[1][0], 2.0);
  EXPECT_EQ(lu[2][0], -1.0);
  // Column 1: row 1 holds -6 - 2 * 1 = -8 (merit 8/6), row 2 holds
  // 7 + 1 = 8 (merit 8/7): row 1 stays.
  EXPECT_EQ(pivots[1], 1);
  EXPECT_EQ(lu[1][1], -8.0);
  EXPECT_EQ(sign, 1.0);

  kq::ClaimedArray<double> b{5.0, -2.0, 9.0};  // solution (1, 1, 2)
  kq::luBackSubstitute(lu, 3, pivots, b);
  EXPECT_NEAR(b[0], 1.0, 1e-15);
  EXPECT_NEAR(b[1], 1.0, 1e-15);
  EXPECT_NEAR(b[2], 2.0, 1e-15);
}

TEST(LuTest, ASingularMatrixGetsTheTinyPivotAndNoMessage) {
  RowMatrix a{{1.0, 1.0}, {1.0, 1.0}};
  RowMatrix inverse = kq::squareMatrix(2);
  testing::internal::CaptureStdout();
  kq::invertMatrix(a, 2, inverse);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  // The later of the two equal rows became the pivot; the second pivot was
  // 1 - 1 = 0 and became 1e-16 in the factors.
  EXPECT_EQ(a[1][1], 1e-16);
  const double big = 1.0 / 1e-16;
  // Column 0: b = (0, 1) after the swap, x1 = 1/1e-16, x0 = 0 - x1.
  // Column 1: b = (1, 0 - 1), x1 = -1/1e-16, x0 = 1 + 1/1e-16.
  EXPECT_EQ(inverse, (RowMatrix{{-big, 1.0 + big}, {big, -big}}));
}

TEST(LuTest, AZeroDiagonalMetInBackSubstitutionBecomesTheTinyPivot) {
  RowMatrix lu{{1.0, 0.0}, {0.0, 0.0}};
  kq::ClaimedArray<double> b{1.0, 2.0};
  kq::luBackSubstitute(lu, 2, {0, 1}, b);
  EXPECT_EQ(lu[1][1], 1e-16);
  EXPECT_EQ(b, (std::vector<double>{1.0, 2.0 / 1e-16}));
}

TEST(LuTest, MismatchedSizesPrintTheMessageAndChangeNothing) {
  RowMatrix wide{{1.0, 2.0, 3.0}, {4.0, 5.0, 6.0}};
  const RowMatrix wideBefore = wide;
  kq::ClaimedArray<int32_t> pivots{7};
  double sign = 3.0;
  testing::internal::CaptureStdout();
  kq::luDecompose(wide, 2, pivots, sign);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "matrices sizes must match");
  EXPECT_EQ(wide, wideBefore);
  EXPECT_EQ(pivots, std::vector<int32_t>{7});
  EXPECT_EQ(sign, 3.0);

  RowMatrix square{{2.0, 0.0}, {0.0, 4.0}};
  RowMatrix smallInverse = kq::squareMatrix(1);
  testing::internal::CaptureStdout();
  kq::invertMatrix(square, 2, smallInverse);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "matrices sizes must match");
  EXPECT_EQ(square, (RowMatrix{{2.0, 0.0}, {0.0, 4.0}}));
  EXPECT_EQ(smallInverse, (RowMatrix{{0.0}}));

  kq::ClaimedArray<double> longVector{1.0, 2.0, 3.0};
  testing::internal::CaptureStdout();
  kq::luBackSubstitute(square, 2, {0, 1}, longVector);
  // A pivot row outside the matrix is as much a mismatch as a wrong length.
  kq::ClaimedArray<double> b{1.0, 2.0};
  kq::luBackSubstitute(square, 2, {0, 5}, b);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "the sizes of the matrix and of the vector must match"
            "the sizes of the matrix and of the vector must match");
  EXPECT_EQ(longVector, (std::vector<double>{1.0, 2.0, 3.0}));
  EXPECT_EQ(b, (std::vector<double>{1.0, 2.0}));
}

// A table is on the ledger with its rows; a sizing list counts the growth
// of both, and a table that does not fit is refused before it is made.
TEST(LuDeathTest, TablesAreClaimedWithTheirRows) {
  const int64_t row = sizeof(kq::ClaimedArray<double>);
  const int64_t before = kq::claimedMemory();
  RowMatrix table = kq::rowMatrix(3, 4);
  EXPECT_EQ(kq::claimedMemory() - before, 3 * row + 3 * 4 * 8);
  kq::TableSizing wider(table, 5);
  EXPECT_EQ(wider.growthTo(2), (2 * row + 2 * 5 * 8) - (3 * row + 3 * 4 * 8));
  wider.assign(2, 1.5);
  EXPECT_EQ(table, (RowMatrix{{1.5, 1.5, 1.5, 1.5, 1.5}, {1.5, 1.5, 1.5, 1.5, 1.5}}));
  EXPECT_EQ(kq::claimedMemory() - before, 2 * row + 2 * 5 * 8);
  kq::setPhysicalMemory(kq::claimedMemory() + row + 8);
  EXPECT_EXIT(kq::rowMatrix(1, 2), testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");
  kq::restorePhysicalMemory();
  table.release();
  EXPECT_EQ(kq::claimedMemory(), before);
}

TEST(LuTest, OffsetVectorsAreReachedFromTheirLowerBound) {
  kq::OffsetVector<double> v = kq::allocDoubleVector(2, 5);
  for (int i = 2; i <= 5; ++i) EXPECT_EQ(v[i], 0.0);
  v[5] = 1.5;
  EXPECT_EQ(v[5], 1.5);
  kq::freeOffsetVector(v, 2);
  EXPECT_TRUE(v.empty());
  EXPECT_TRUE(kq::allocDoubleVector(3, 2).empty());
  // Freeing through another bound than the allocation's is a bookkeeping
  // fault; debug builds stop it.
  kq::OffsetVector<double> w = kq::allocDoubleVector(0, 3);
  EXPECT_DEBUG_DEATH(kq::freeOffsetVector(w, 1), "lowerBound");
}

}  // namespace

#include <kqnet/linalg/matrix.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <kqnet/core/memory.h>

namespace {

using kq::Matrix;

Matrix fromRows(const std::vector<std::vector<double>>& rows) {
  Matrix m(static_cast<int32_t>(rows.size()), static_cast<int32_t>(rows.front().size()));
  for (int32_t i = 0; i < m.rowCount(); ++i) {
    for (int32_t j = 0; j < m.columnCount(); ++j)
      m[i][j] = rows[static_cast<size_t>(i)][static_cast<size_t>(j)];
  }
  return m;
}

void expectMatrixNear(const Matrix& m, const std::vector<std::vector<double>>& expected,
                      double tolerance) {
  for (int32_t i = 0; i < m.rowCount(); ++i) {
    for (int32_t j = 0; j < m.columnCount(); ++j) {
      EXPECT_NEAR(m[i][j], expected[static_cast<size_t>(i)][static_cast<size_t>(j)], tolerance)
          << "entry " << i << "," << j;
    }
  }
}

Matrix product(const Matrix& a, const Matrix& b) {
  Matrix c(a.rowCount(), b.columnCount());
  kq::multiply(a.rows(), a.rowCount(), a.columnCount(), b.rows(), b.rowCount(), b.columnCount(),
               c.rows());
  return c;
}

TEST(MatrixProducts, MultiplyAndTransposeGiveHandComputedValues) {
  Matrix a = fromRows({{1, 2, 3}, {4, 5, 6}});
  Matrix b = fromRows({{7, 8}, {9, 10}, {11, 12}});
  expectMatrixNear(product(a, b), {{58, 64}, {139, 154}}, 0.0);

  Matrix t(3, 2);
  kq::transpose(a.rows(), 2, 3, t.rows());
  expectMatrixNear(t, {{1, 4}, {2, 5}, {3, 6}}, 0.0);

  Matrix m = fromRows({{1, 2}, {3, 4}, {5, 6}});
  double x[2] = {1, -1};
  double y[3] = {9, 9, 9};
  kq::matrixTimesVector(x, 2, 3, m.rows(), y);
  EXPECT_EQ(y[0], -1.0);
  EXPECT_EQ(y[1], -1.0);
  EXPECT_EQ(y[2], -1.0);
}

TEST(MatrixProducts, MismatchedSizesPrintTheMessageAndLeaveTheOutput) {
  Matrix a = fromRows({{1, 2, 3}, {4, 5, 6}});
  Matrix b = fromRows({{1, 2}, {3, 4}});
  Matrix c = fromRows({{-1, -2}, {-3, -4}});
  testing::internal::CaptureStdout();
  kq::multiply(a.rows(), 2, 3, b.rows(), 2, 2, c.rows());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "matrices sizes must match");
  expectMatrixNear(c, {{-1, -2}, {-3, -4}}, 0.0);
}

TEST(VectorToMatrix, FillsColumnByColumnOrReportsAMismatch) {
  const double v[6] = {0, 1, 2, 3, 4, 5};
  Matrix m(2, 3);
  testing::internal::CaptureStdout();
  kq::vectorToMatrix(v, 6, 2, 3, m.rows());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  expectMatrixNear(m, {{0, 2, 4}, {1, 3, 5}}, 0.0);

  Matrix untouched = fromRows({{7, 7, 7}, {7, 7, 7}});
  testing::internal::CaptureStdout();
  kq::vectorToMatrix(v, 5, 2, 3, untouched.rows());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "the sizes of the matrix and of the vector must match");
  expectMatrixNear(untouched, {{7, 7, 7}, {7, 7, 7}}, 0.0);
}

TEST(QuadraticForms, QuadraticFormAndRelativeErrorMatchHandValues) {
  const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const double x[3] = {1, 2, 3};
  EXPECT_EQ(kq::quadraticForm(x, 3, identity), 14.0);
  const double metric[4] = {2, 1, 1, 3};
  const double z[2] = {1, 2};
  EXPECT_EQ(kq::quadraticForm(z, 2, metric), 18.0);

  const double flat[4] = {1, 0, 0, 1};
  Matrix b = fromRows({{2, 0}, {0, 4}});
  EXPECT_EQ(kq::relativeError(b.rows(), b.rows(), 2, 2, flat), 0.0);
  Matrix a = fromRows({{1, 0}, {0, 4}});
  // ((1 + 0) / 2) / ((4 + 16) / 2)
  EXPECT_DOUBLE_EQ(kq::relativeError(a.rows(), b.rows(), 2, 2, flat), 1.0 / 20.0);
}

TEST(QuadraticForms, RelativeErrorStaysFiniteWithZeroReferenceOrNoRows) {
  const double flat[1] = {1};
  Matrix a = fromRows({{3}, {1}});
  Matrix zero(2, 1);
  // The mean squared error itself: (9 + 1) / 2.
  EXPECT_EQ(kq::relativeError(a.rows(), zero.rows(), 1, 2, flat), 5.0);
  EXPECT_EQ(kq::relativeError(zero.rows(), zero.rows(), 1, 2, flat), 0.0);
  EXPECT_EQ(kq::relativeError(a.rows(), a.rows(), 1, 0, flat), 0.0);
}

TEST(GramSchmidt, FactorsIntoOrthonormalQAndUpperTriangularR) {
  Matrix a = fromRows({{3, 1}, {4, 2}, {0, 0}});
  Matrix r = fromRows({{0, 0}, {7, 0}});
  kq::gramSchmidtQr(a.rows(), 3, 2, r.rows());
  expectMatrixNear(a, {{0.6, -0.8}, {0.8, 0.6}, {0, 0}}, 1e-15);
  expectMatrixNear(r, {{5, 2.2}, {7, 0.4}}, 1e-15);  // below the diagonal untouched
  r[1][0] = 0.0;
  expectMatrixNear(product(a, r), {{3, 1}, {4, 2}, {0, 0}}, 1e-14);
  Matrix qt(2, 3);
  kq::transpose(a.rows(), 3, 2, qt.rows());
  expectMatrixNear(product(qt, a), {{1, 0}, {0, 1}}, 1e-15);
}

TEST(GramSchmidt, ZeroColumnStaysZeroInsteadOfNaN) {
  Matrix a = fromRows({{0, 1}, {0, 2}});
  Matrix r(2, 2);
  kq::gramSchmidtQr(a.rows(), 2, 2, r.rows());
  EXPECT_EQ(r[0][0], 0.0);
  EXPECT_EQ(r[0][1], 0.0);
  EXPECT_EQ(a[0][0], 0.0);
  EXPECT_EQ(a[1][0], 0.0);
  EXPECT_DOUBLE_EQ(r[1][1], std::sqrt(5.0));
  EXPECT_DOUBLE_EQ(a[1][1], 2.0 / std::sqrt(5.0));
}

TEST(GaussJordan, InvertsAndSolvesWithFullPivoting) {
  Matrix a = fromRows({{2, 1}, {1, 3}});
  Matrix b = fromRows({{3}, {5}});
  kq::gaussJordanSolve(a.rows(), 2, b.rows(), 1);
  expectMatrixNear(a, {{0.6, -0.2}, {-0.2, 0.4}}, 1e-15);
  expectMatrixNear(b, {{0.8}, {1.4}}, 1e-15);

  // Needs row and column interchanges: zero in the leading position.
  const Matrix original = fromRows({{0, 2, 1}, {1, 0, 0}, {3, 0, 1}});
  Matrix inverse = original;
  Matrix none(3, 0);
  kq::gaussJordanSolve(inverse.rows(), 3, none.rows(), 0);
  expectMatrixNear(product(inverse, original), {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, 1e-15);
  expectMatrixNear(product(original, inverse), {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, 1e-15);
}

TEST(GaussJordan, ZeroPivotBecomesTinyInsteadOfDividingByZero) {
  Matrix a = fromRows({{1, 1}, {1, 1}});
  Matrix none(2, 0);
  kq::gaussJordanSolve(a.rows(), 2, none.rows(), 0);
  for (int32_t i = 0; i < 2; ++i) {
    for (int32_t j = 0; j < 2; ++j) {
      EXPECT_TRUE(std::isfinite(a[i][j]));
      EXPECT_NEAR(std::fabs(a[i][j]), 1e16, 1e4);
    }
  }
}

TEST(RegularisedInverse, ShiftsTheDiagonalAndLeavesTheInput) {
  Matrix zero(2, 2);
  Matrix inverse(2, 2);
  kq::invertRegularized(zero.rows(), 2, inverse.rows());
  EXPECT_DOUBLE_EQ(inverse[0][0], 1000000.0);
  EXPECT_DOUBLE_EQ(inverse[1][1], 1000000.0);
  EXPECT_EQ(inverse[0][1], 0.0);
  EXPECT_EQ(inverse[1][0], 0.0);
  expectMatrixNear(zero, {{0, 0}, {0, 0}}, 0.0);

  Matrix a = fromRows({{4, 0}, {0, 2}});
  kq::invertRegularized(a.rows(), 2, inverse.rows());
  EXPECT_EQ(inverse[0][0], 1.0 / (4.0 + 0.000001));
  EXPECT_EQ(inverse[1][1], 1.0 / (2.0 + 0.000001));
}

TEST(LeastSquares, GivesTheLeastNormSolutionOfAnUnderdeterminedSystem) {
  // A^T s = y with A = [[1, 1], [1, -1], [2, 0]], y = (6, 2): the least-norm
  // s is A (A^T A)^-1 y = A (1, 1) = (2, 0, 2).
  Matrix a = fromRows({{1, 1}, {1, -1}, {2, 0}});
  Matrix r(2, 2);
  kq::gramSchmidtQr(a.rows(), 3, 2, r.rows());
  const double y[2] = {6, 2};
  double s[3] = {9, 9, 9};
  kq::solveLeastSquares(r.rows(), 3, 2, a.rows(), y, s);
  EXPECT_NEAR(s[0], 2.0, 1e-5);
  EXPECT_NEAR(s[1], 0.0, 1e-5);
  EXPECT_NEAR(s[2], 2.0, 1e-5);
  EXPECT_NEAR(s[0] + s[1] + 2 * s[2], 6.0, 1e-5);
  EXPECT_NEAR(s[0] - s[1], 2.0, 1e-5);
}

TEST(OffsetVectors, IntVectorCoversItsBoundsZeroed) {
  kq::OffsetVector<int32_t> v = kq::allocIntVector(0, 4);
  for (int32_t i = 0; i <= 4; ++i) EXPECT_EQ(v[i], 0);
  v[4] = 3;
  EXPECT_EQ(v[4], 3);
  kq::OffsetVector<int32_t> shifted = kq::allocIntVector(2, 3);
  shifted[2] = 5;
  shifted[3] = 6;
  EXPECT_EQ(shifted[2], 5);
  EXPECT_EQ(shifted[3], 6);
  EXPECT_TRUE(kq::allocIntVector(3, 2).empty());
}

TEST(MatrixType, CopiesOwnTheirRows) {
  Matrix a = fromRows({{1, 2}});
  Matrix b = a;
  b[0][0] = 5;
  EXPECT_EQ(a[0][0], 1.0);
  Matrix c;
  c = b;
  b[0][1] = 8;
  EXPECT_EQ(c[0][1], 2.0);
  Matrix moved = std::move(c);
  EXPECT_EQ(moved[0][0], 5.0);
  EXPECT_EQ(kq::absolute(-0.5), 0.5);
  EXPECT_EQ(kq::absolute(0.25), 0.25);
}

// The values and the row table of a matrix are on the ledger, a copy's
// too, until the matrices go.
TEST(MatrixType, HoldsItsValuesAndRowTableOnTheLedger) {
  const int64_t before = kq::claimedMemory();
  {
    const Matrix a(300, 20);
    const Matrix b = a;
    EXPECT_EQ(kq::claimedMemory() - before, 2 * (300 * 20 * 8 + 300 * int64_t{sizeof(double*)}));
  }
  EXPECT_EQ(kq::claimedMemory(), before);
}

}  // namespace

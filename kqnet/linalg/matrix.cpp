#include <kqnet/linalg/matrix.h>

#include <cmath>
#include <cstdio>
#include <utility>

#include <kqnet/core/fatal.h>
#include <kqnet/core/messages.h>
#include <kqnet/linalg/lu.h>

namespace kq {

namespace {

// Added to the diagonal of every regularised inverse.
constexpr double kDiagonalShift = 0.000001;

void printNonFatal(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

}  // namespace

Matrix::Matrix(int32_t rows, int32_t columns)
    : rowSize(checkedCount(rows)), columnSize(checkedCount(columns)) {
  const auto count = static_cast<size_t>(checkedProduct(rowSize, columnSize));
  // The values and the row table, refused together.
  sizeTogether([this, count](auto&& size) {
    size(values, count, 0.0);
    size(rowTable, rowSize, nullptr);
  });
  buildRowTable();
}

Matrix::Matrix(const Matrix& other)
    : rowSize(other.rowSize), columnSize(other.columnSize), values(other.values) {
  buildRowTable();
}

Matrix& Matrix::operator=(const Matrix& other) {
  if (this != &other) {
    rowSize = other.rowSize;
    columnSize = other.columnSize;
    values = other.values;
    buildRowTable();
  }
  return *this;
}

Matrix Matrix::identity(int32_t rows) {
  Matrix m(rows, rows);
  for (int32_t i = 0; i < m.rowSize; ++i) m[i][i] = 1.0;
  return m;
}

void Matrix::buildRowTable() {
  rowTable.assign(static_cast<size_t>(rowSize), nullptr);
  for (int32_t i = 0; i < rowSize; ++i) {
    rowTable[static_cast<size_t>(i)] =
        values.data() + static_cast<size_t>(i) * static_cast<size_t>(columnSize);
  }
}

OffsetVector<int32_t> allocIntVector(int32_t lo, int32_t hi) {
  if (hi >= lo) checkedCount(static_cast<int64_t>(hi) - lo + 1);
  return OffsetVector<int32_t>(lo, hi);
}

void transpose(const double* const* a, int32_t rows, int32_t columns, double* const* b) {
  for (int32_t i = 0; i < rows; ++i) {
    for (int32_t j = 0; j < columns; ++j) b[j][i] = a[i][j];
  }
}

void multiply(const double* const* a, int32_t aRows, int32_t aColumns, const double* const* b,
              int32_t bRows, int32_t bColumns, double* const* c) {
  if (aColumns != bRows) {
    printNonFatal(messages::kMatrixSizesMustMatch);
    return;
  }
  for (int32_t i = 0; i < aRows; ++i) {
    for (int32_t j = 0; j < bColumns; ++j) {
      double sum = 0.0;
      for (int32_t l = 0; l < aColumns; ++l) sum += a[i][l] * b[l][j];
      c[i][j] = sum;
    }
  }
}

void matrixTimesVector(const double* x, int32_t columns, int32_t rows, const double* const* a,
                       double* y) {
  for (int32_t i = 0; i < rows; ++i) {
    double sum = 0.0;
    for (int32_t j = 0; j < columns; ++j) sum += a[i][j] * x[j];
    y[i] = sum;
  }
}

void vectorToMatrix(const double* v, int32_t length, int32_t rows, int32_t columns,
                    double* const* m) {
  if (static_cast<int64_t>(rows) * columns != length) {
    printNonFatal(messages::kMatrixVectorSizesMustMatch);
    return;
  }
  for (int32_t i = 0; i < columns; ++i) {
    for (int32_t j = 0; j < rows; ++j) {
      m[j][i] = v[static_cast<int64_t>(j) + static_cast<int64_t>(rows) * i];
    }
  }
}

double quadraticForm(const double* x, int32_t n, const double* m) {
  ClaimedArray<double> t(static_cast<size_t>(checkedCount(n)), 0.0);
  for (int32_t i = 0; i < n; ++i) {
    const double* row = m + static_cast<int64_t>(i) * n;
    double sum = 0.0;
    for (int32_t j = 0; j < n; ++j) sum += row[j] * x[j];
    t[static_cast<size_t>(i)] = sum;
  }
  double result = 0.0;
  for (int32_t i = 0; i < n; ++i) result += x[i] * t[static_cast<size_t>(i)];
  return result;
}

double relativeError(const double* const* a, const double* const* b, int32_t columns, int32_t rows,
                     const double* m) {
  // No rows means no error (instead of 0 / 0).
  if (rows <= 0) return 0.0;
  ClaimedArray<double> difference(static_cast<size_t>(checkedCount(columns)), 0.0);
  double errorSum = 0.0;
  double desiredSum = 0.0;
  for (int32_t i = 0; i < rows; ++i) {
    for (int32_t j = 0; j < columns; ++j) difference[static_cast<size_t>(j)] = b[i][j] - a[i][j];
    errorSum += quadraticForm(difference.data(), columns, m);
    desiredSum += quadraticForm(b[i], columns, m);
  }
  double error = errorSum / rows;
  double desired = desiredSum / rows;
  // With all reference values zero the normaliser is 0; the mean error
  // itself then still orders fits against the same reference correctly.
  if (desired == 0.0) return error;
  return error / desired;
}

void gramSchmidtQr(double* const* a, int32_t rows, int32_t columns, double* const* r) {
  for (int32_t i = 0; i < columns; ++i) {
    double squares = 0.0;
    for (int32_t j = 0; j < rows; ++j) squares += a[j][i] * a[j][i];
    double norm = std::sqrt(squares);
    r[i][i] = norm;
    // A zero column stays zero (a zero column of Q, a zero on R's diagonal)
    // instead of filling Q with NaNs; the regularised solve copes with it.
    if (norm != 0.0) {
      for (int32_t j = 0; j < rows; ++j) a[j][i] = a[j][i] / norm;
    }
    for (int32_t k = i + 1; k < columns; ++k) {
      double dot = 0.0;
      for (int32_t j = 0; j < rows; ++j) dot += a[j][i] * a[j][k];
      r[i][k] = dot;
      for (int32_t j = 0; j < rows; ++j) a[j][k] = a[j][k] - dot * a[j][i];
    }
  }
}

void gaussJordanSolve(double* const* a, int32_t n, double* const* b, int32_t m) {
  if (n <= 0) return;
  ClaimedArray<int32_t> pivoted(static_cast<size_t>(n), 0);
  ClaimedArray<int32_t> pivotRow(static_cast<size_t>(n), 0);
  ClaimedArray<int32_t> pivotColumn(static_cast<size_t>(n), 0);
  for (int32_t step = 0; step < n; ++step) {
    double largest = 0.0;
    int32_t row = -1;
    int32_t column = -1;
    for (int32_t j = 0; j < n; ++j) {
      if (pivoted[static_cast<size_t>(j)] != 0) continue;
      for (int32_t k = 0; k < n; ++k) {
        if (pivoted[static_cast<size_t>(k)] != 0) continue;
        if (absolute(a[j][k]) >= largest) {
          largest = absolute(a[j][k]);
          row = j;
          column = k;
        }
      }
    }
    // Only NaNs left: take the first free position rather than an
    // unchosen one.
    if (row < 0) {
      for (int32_t j = 0; j < n && row < 0; ++j) {
        if (pivoted[static_cast<size_t>(j)] == 0) row = column = j;
      }
    }
    pivoted[static_cast<size_t>(column)] = 1;
    if (row != column) {
      for (int32_t l = 0; l < n; ++l) std::swap(a[row][l], a[column][l]);
      for (int32_t l = 0; l < m; ++l) std::swap(b[row][l], b[column][l]);
    }
    pivotRow[static_cast<size_t>(step)] = row;
    pivotColumn[static_cast<size_t>(step)] = column;
    double pivot = a[column][column];
    if (pivot == 0.0) pivot = kZeroPivot;
    a[column][column] = 1.0;
    for (int32_t l = 0; l < n; ++l) a[column][l] = a[column][l] / pivot;
    for (int32_t l = 0; l < m; ++l) b[column][l] = b[column][l] / pivot;
    for (int32_t other = 0; other < n; ++other) {
      if (other == column) continue;
      double factor = a[other][column];
      a[other][column] = 0.0;
      for (int32_t l = 0; l < n; ++l) a[other][l] = a[other][l] - a[column][l] * factor;
      for (int32_t l = 0; l < m; ++l) b[other][l] = b[other][l] - b[column][l] * factor;
    }
  }
  for (int32_t step = n - 1; step >= 0; --step) {
    int32_t from = pivotRow[static_cast<size_t>(step)];
    int32_t to = pivotColumn[static_cast<size_t>(step)];
    if (from == to) continue;
    for (int32_t k = 0; k < n; ++k) std::swap(a[k][from], a[k][to]);
  }
}

void invertRegularized(const double* const* a, int32_t n, double* const* inverse) {
  Matrix work(n, n);
  for (int32_t i = 0; i < work.rowCount(); ++i) {
    for (int32_t j = 0; j < n; ++j) work[i][j] = a[i][j];
    work[i][i] = a[i][i] + kDiagonalShift;
  }
  Matrix unit = Matrix::identity(n);
  gaussJordanSolve(work.rows(), work.rowCount(), unit.rows(), unit.rowCount());
  for (int32_t i = 0; i < work.rowCount(); ++i) {
    for (int32_t j = 0; j < n; ++j) inverse[i][j] = work[i][j];
  }
}

void solveLeastSquares(const double* const* p, int32_t rows, int32_t n, const double* const* q,
                       const double* y, double* s) {
  Matrix inverse(n, n);
  invertRegularized(p, inverse.rowCount(), inverse.rows());
  Matrix qTransposed(n, rows);
  transpose(q, qTransposed.columnCount(), qTransposed.rowCount(), qTransposed.rows());
  Matrix product(n, rows);
  multiply(inverse.rows(), inverse.rowCount(), inverse.columnCount(), qTransposed.rows(),
           qTransposed.rowCount(), qTransposed.columnCount(), product.rows());
  Matrix productTransposed(rows, n);
  transpose(product.rows(), product.rowCount(), product.columnCount(), productTransposed.rows());
  matrixTimesVector(y, productTransposed.columnCount(), productTransposed.rowCount(),
                    productTransposed.rows(), s);
}

}  // namespace kq

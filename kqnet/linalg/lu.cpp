#include <kqnet/linalg/lu.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <utility>

#include <kqnet/core/fatal.h>
#include <kqnet/core/messages.h>

namespace kq {

namespace {

void report(const char* message) {
  std::fputs(message, stdout);
  std::fflush(stdout);
}

bool pivotsFit(const ClaimedArray<int32_t>& pivotRows, int n) {
  if (pivotRows.size() != static_cast<size_t>(n)) return false;
  for (int32_t row : pivotRows) {
    if (row < 0 || row >= n) return false;
  }
  return true;
}

}  // namespace

OffsetVector<double> allocDoubleVector(int lo, int hi) {
  if (hi >= lo) checkedCount(int64_t{hi} - lo + 1);
  return OffsetVector<double>(lo, hi);
}

void freeOffsetVector(OffsetVector<double>& vector, [[maybe_unused]] int lo) {
  // Freeing through another bound than the one allocated with would, with
  // the pointers these vectors stand for, free the wrong address.
  assert(lo == vector.lowerBound());
  vector.release();
}

TableSizing::TableSizing(RowMatrix& table, int columns)
    : table(table), columns(static_cast<size_t>(std::max(columns, 0))) {}

RowMatrix squareMatrix(int n) { return rowMatrix(n, n); }

RowMatrix rowMatrix(int rows, int columns) {
  checkedProduct(std::max(rows, 0), std::max(columns, 0));
  RowMatrix table;
  sizeTogether([&table, rows, columns](auto&& size) {
    size(table, rows, Rows<double>{static_cast<size_t>(std::max(columns, 0)), 0.0});
  });
  return table;
}

bool hasShape(const RowMatrix& m, int rows, int columns) {
  if (rows < 0 || columns < 0 || m.size() != static_cast<size_t>(rows)) return false;
  for (const auto& row : m) {
    if (row.size() != static_cast<size_t>(columns)) return false;
  }
  return true;
}

void luDecompose(RowMatrix& a, int n, ClaimedArray<int32_t>& pivotRows, double& sign) {
  if (!hasShape(a, n, n)) {
    report(messages::kMatrixSizesMustMatch);
    return;
  }
  pivotRows.assign(static_cast<size_t>(n), 0);
  OffsetVector<double> scale = allocDoubleVector(0, n - 1);
  // Implicit scaling: each row is judged as if its largest entry were 1.
  // An all-zero row gets an infinite scale, as documented.
  for (int i = 0; i < n; ++i) {
    double largest = 0.0;
    for (int j = 0; j < n; ++j) largest = std::max(largest, std::fabs(a[i][j]));
    scale[i] = 1.0 / largest;
  }
  sign = 1.0;
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < j; ++i) {
      double& entry = a[i][j];
      for (int k = 0; k < i; ++k) entry -= a[i][k] * a[k][j];
    }
    double largest = 0.0;
    // A column whose every candidate is not a number keeps its own row.
    int pivot = j;
    for (int i = j; i < n; ++i) {
      double& entry = a[i][j];
      for (int k = 0; k < j; ++k) entry -= a[i][k] * a[k][j];
      const double merit = scale[i] * std::fabs(entry);
      if (merit >= largest) {
        largest = merit;
        pivot = i;
      }
    }
    if (pivot != j) {
      std::swap(a[pivot], a[j]);
      sign = -sign;
      scale[pivot] = scale[j];
    }
    pivotRows[static_cast<size_t>(j)] = pivot;
    if (a[j][j] == 0.0) a[j][j] = kZeroPivot;
    if (j != n - 1) {
      const double diagonal = a[j][j];
      for (int i = j + 1; i < n; ++i) a[i][j] /= diagonal;
    }
  }
  freeOffsetVector(scale, 0);
}

void luBackSubstitute(RowMatrix& lu, int n, const ClaimedArray<int32_t>& pivotRows,
                      ClaimedArray<double>& b) {
  if (!hasShape(lu, n, n)) {
    report(messages::kMatrixSizesMustMatch);
    return;
  }
  if (b.size() != static_cast<size_t>(n) || !pivotsFit(pivotRows, n)) {
    report(messages::kMatrixVectorSizesMustMatch);
    return;
  }
  // Forward substitution in pivot order; leading zeros of b need no work.
  int firstNonZero = -1;
  for (int i = 0; i < n; ++i) {
    const int p = pivotRows[static_cast<size_t>(i)];
    double sum = b[static_cast<size_t>(p)];
    b[static_cast<size_t>(p)] = b[static_cast<size_t>(i)];
    if (firstNonZero >= 0) {
      for (int j = firstNonZero; j < i; ++j) sum -= lu[i][j] * b[static_cast<size_t>(j)];
    } else if (sum != 0.0) {
      firstNonZero = i;
    }
    b[static_cast<size_t>(i)] = sum;
  }
  for (int i = n - 1; i >= 0; --i) {
    double sum = b[static_cast<size_t>(i)];
    for (int j = i + 1; j < n; ++j) sum -= lu[i][j] * b[static_cast<size_t>(j)];
    if (lu[i][i] == 0.0) lu[i][i] = kZeroPivot;
    b[static_cast<size_t>(i)] = sum / lu[i][i];
  }
}

void invertMatrix(RowMatrix& a, int n, RowMatrix& inverse) {
  if (!hasShape(a, n, n) || !hasShape(inverse, n, n)) {
    report(messages::kMatrixSizesMustMatch);
    return;
  }
  ClaimedArray<int32_t> pivotRows(static_cast<size_t>(n));
  double sign = 1.0;
  luDecompose(a, n, pivotRows, sign);
  ClaimedArray<double> column(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    std::fill(column.begin(), column.end(), 0.0);
    column[static_cast<size_t>(i)] = 1.0;
    luBackSubstitute(a, n, pivotRows, column);
    for (int j = 0; j < n; ++j) inverse[j][i] = column[static_cast<size_t>(j)];
  }
}

}  // namespace kq

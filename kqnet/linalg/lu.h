#pragma once

#include <cstddef>
#include <cstdint>

#include <kqnet/core/claimed_array.h>

// Dense LU factorisation, solve and inversion for the Levenberg-Marquardt
// learner (Crout's method with implicit row scaling, as in Press et al.,
// "Numerical Recipes", section 2.3). The routines keep no state. A matrix
// is a table of rows; every routine checks the table against the size it is
// handed and, on a mismatch, prints one of the two size messages on the
// standard output (no line end) and leaves its outputs unchanged. A singular
// matrix is never reported: zero pivots become 1e-16.

namespace kq {

// Replaces an exactly zero pivot, here and in Matrix's Gauss-Jordan solve,
// so that a singular matrix gives huge finite entries instead of infinities
// and NaNs.
inline constexpr double kZeroPivot = 1e-16;

// Rows of doubles, each row its own array, each claimed with its size.
using RowMatrix = ClaimedArray<ClaimedArray<double>>;

// A table sized to a count of rows of columns values each: the table's
// own sizing with Rows (core/claimed_array.h), which counts the rows' bytes
// with the table's and refuses the whole table before anything changes. A
// table that keeps its row count keeps its rows and refills them. In a
// sizing list, the table itself is the entry, with Rows as its value.
class TableSizing {
 public:
  TableSizing(RowMatrix& table, int columns);
  int64_t growthTo(std::size_t rows) const { return table.growthTo(rows, Rows<double>{columns}); }
  void assign(std::size_t rows, double value) { table.assign(rows, Rows<double>{columns, value}); }
  // Frees the table and its rows.
  void release() { table.release(); }

 private:
  RowMatrix& table;
  std::size_t columns;
};

// A vector addressed from lo to hi inclusive (element lo at index lo),
// zero-filled. Kept as storage plus the lower bound, so that no pointer
// ever points outside its array.
template <typename T>
class OffsetVector {
 public:
  OffsetVector() = default;
  OffsetVector(int lo, int hi)
      : values(hi >= lo ? static_cast<std::size_t>(int64_t{hi} - lo + 1) : 0), lower(lo) {}

  T& operator[](int i) { return values[static_cast<std::size_t>(i - lower)]; }
  const T& operator[](int i) const { return values[static_cast<std::size_t>(i - lower)]; }
  bool empty() const { return values.empty(); }
  int lowerBound() const { return lower; }
  // Gives the storage back.
  void release() { values.release(); }

 private:
  ClaimedArray<T> values;
  int lower = 0;
};

// hi - lo + 1 doubles reached from index lo (none when hi < lo).
OffsetVector<double> allocDoubleVector(int lo, int hi);
// Frees a vector from allocDoubleVector; lo is the bound it was made with.
void freeOffsetVector(OffsetVector<double>& vector, int lo);

// Overwrites the n x n matrix a with its LU factors of a row permutation:
// pivotRows[j] is the row swapped into row j at step j, sign is +1 or -1 by
// the parity of the swaps. pivotRows is resized to n.
void luDecompose(RowMatrix& a, int n, ClaimedArray<int32_t>& pivotRows, double& sign);

// Solves LU x = b in place for the factors and pivots from luDecompose. A
// diagonal entry of exactly 0 becomes 1e-16 in lu before it divides.
void luBackSubstitute(RowMatrix& lu, int n, const ClaimedArray<int32_t>& pivotRows,
                      ClaimedArray<double>& b);

// inverse := a^-1, column by column; a is overwritten by its LU factors.
// inverse must already be n x n.
void invertMatrix(RowMatrix& a, int n, RowMatrix& inverse);

// n x n zero-filled rows (none for n below 1).
RowMatrix squareMatrix(int n);
// rows x columns zero-filled.
RowMatrix rowMatrix(int rows, int columns);
// Whether m has exactly rows rows of columns values each.
bool hasShape(const RowMatrix& m, int rows, int columns);

}  // namespace kq

#pragma once

#include <cstddef>
#include <cstdint>

#include <kqnet/core/claimed_array.h>
#include <kqnet/linalg/lu.h>

// Dense double-precision linear algebra for the least-squares initialiser:
// products, transposes, modified Gram-Schmidt QR, Gauss-Jordan inversion
// with full pivoting, a regularised least-norm solve and quadratic forms.
//
// A matrix is passed as a table of row pointers with its sizes beside it, so
// that callers can hand over rows they own in any layout; Matrix below is the
// owning form. The routines keep no state. Every sum is a running sum in
// ascending index order, so results are reproducible bit for bit.
//
// Numerical failure is never reported: size mismatches print one of two
// messages on standard output (no line end) and skip the operation; the only
// tolerances are the 1e-16 zero-pivot replacement and the 0.000001 diagonal
// shift of regularised inverses.

namespace kq {

// Owning rows x columns matrix of doubles, zero-filled, with a row-pointer
// table into one contiguous block.
class Matrix {
 public:
  Matrix() = default;
  // Negative sizes count as 0; a size beyond 32 bits is fatal.
  Matrix(int32_t rows, int32_t columns);
  Matrix(const Matrix& other);
  Matrix& operator=(const Matrix& other);
  // Moving the values keeps their storage, so the row table stays valid.
  Matrix(Matrix&&) noexcept = default;
  Matrix& operator=(Matrix&&) noexcept = default;
  ~Matrix() = default;

  // rows x rows identity.
  static Matrix identity(int32_t rows);

  double* operator[](int32_t row) { return rowTable[static_cast<std::size_t>(row)]; }
  const double* operator[](int32_t row) const { return rowTable[static_cast<std::size_t>(row)]; }
  double* const* rows() { return rowTable.data(); }
  const double* const* rows() const { return rowTable.data(); }
  int32_t rowCount() const { return rowSize; }
  int32_t columnCount() const { return columnSize; }

 private:
  void buildRowTable();

  int32_t rowSize = 0;             // number of rows
  int32_t columnSize = 0;          // doubles per row
  ClaimedArray<double> values;     // rows one after the other
  ClaimedArray<double*> rowTable;  // start of each row in values
};

// hi - lo + 1 zeroed ints reached at indices lo..hi (empty when hi < lo);
// OffsetVector and the double form live with the LU routines.
OffsetVector<int32_t> allocIntVector(int32_t lo, int32_t hi);

// b[j][i] := a[i][j]; a is rows x columns, b columns x rows.
void transpose(const double* const* a, int32_t rows, int32_t columns, double* const* b);

// c := a x b for a (aRows x aColumns) and b (bRows x bColumns); c must be
// aRows x bColumns and must not share rows with a or b. When aColumns and
// bRows differ: prints "matrices sizes must match" and leaves c unchanged.
void multiply(const double* const* a, int32_t aRows, int32_t aColumns, const double* const* b,
              int32_t bRows, int32_t bColumns, double* const* c);

// y[i] := sum over j < columns of a[i][j] x[j], for i < rows.
void matrixTimesVector(const double* x, int32_t columns, int32_t rows, const double* const* a,
                       double* y);

// Fills the rows x columns matrix m column by column from v: m[j][i] :=
// v[j + rows i]. When length is not rows x columns: prints "the sizes of the
// matrix and of the vector must match" and leaves m unchanged.
void vectorToMatrix(const double* v, int32_t length, int32_t rows, int32_t columns,
                    double* const* m);

// x^T m x for the flat n x n metric m (row after row).
double quadraticForm(const double* x, int32_t n, const double* m);

// Mean of (b_i - a_i)^T m (b_i - a_i) over the rows divided by the mean of
// b_i^T m b_i; a and b are rows x columns, m flat columns x columns.
double relativeError(const double* const* a, const double* const* b, int32_t columns, int32_t rows,
                     const double* m);

// Modified Gram-Schmidt: a (rows x columns) becomes Q with orthonormal
// columns, r (columns x columns) receives the upper triangle of R (entries
// below the diagonal are not written), so that the old a = Q R.
void gramSchmidtQr(double* const* a, int32_t rows, int32_t columns, double* const* r);

// Gauss-Jordan elimination with full pivoting: a (n x n) becomes its inverse
// and b (n x m) the solution of a x = b.
void gaussJordanSolve(double* const* a, int32_t n, double* const* b, int32_t m);

// inverse := (a + 0.000001 I)^-1; a (n x n) is unchanged.
void invertRegularized(const double* const* a, int32_t n, double* const* inverse);

// s := q ((p + 0.000001 I)^-1)^T y, for p (n x n), q (rows x n), y of n and
// s of rows values. With q, p the QR factors of a rows x n matrix A, s is the
// regularised least-norm solution of A^T s = y.
void solveLeastSquares(const double* const* p, int32_t rows, int32_t n, const double* const* q,
                       const double* y, double* s);

// x when x > 0, else -x.
inline double absolute(double x) { return x > 0 ? x : -x; }

}  // namespace kq

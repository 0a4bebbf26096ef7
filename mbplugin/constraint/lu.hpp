#pragma once
// Dense linear algebra on n x n row-major f64 arrays: LU decomposition (Crout's method with
// implicit partial pivoting), back substitution, solve, inversion with closed forms for small
// orders. Failures are results (-1), never messages or exceptions.

namespace rzMath {

// Decomposes a in place (unit-diagonal L below, U on and above the diagonal) into the row
// permutation index[0..n) and parity (+1/-1). scale is caller storage of n elements.
// Returns -1 when a row's largest magnitude is below 1e-14 (a is then partly overwritten).
// A zero pivot that survives pivoting is replaced by 1e-20 and the result is still 0.
int luDecompose(double* a, int n, int* index, double* parity, double* scale);

// Solves LU x = b in place, with a and index from luDecompose.
void luBackSubstitute(const double* a, int n, const int* index, double* b);

// x = A^-1 b; a is overwritten by its decomposition. Returns -1, leaving x untouched, when
// the decomposition reports a singular matrix.
int luSolve(double* x, double* a, const double* b, int n);

// In-place inverse. Orders 1 to 4 use closed forms and return -1 on an exactly zero
// determinant, leaving a unchanged; larger orders use LU and return -1 when it fails, also
// leaving a unchanged.
int invert(double* a, int n);
// The same with caller storage of 5n + n^2 f64 (no allocation).
int invertWithWorkspace(double* a, int n, double* work);

double det3(const double* m);
double det4(const double* m);
// out = m^-1 (out may be m). -1 on an exactly zero determinant, out unchanged.
int invert3(const double* m, double* out);
int invert4(const double* m, double* out);

}  // namespace rzMath

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
// leaving a unchanged. The closed forms are inline: they run in tight loops over many small
// matrices.
inline int invert(double* a, int n);
// The same with caller storage of 5n + n^2 f64 (no allocation).
int invertWithWorkspace(double* a, int n, double* work);

inline double det3(const double* m) {
    return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
           m[2] * (m[3] * m[7] - m[4] * m[6]);
}

inline double det4(const double* m) {
    // Laplace expansion with the 2x2 minors of the upper (s) and lower (c) row pairs.
    const double s0 = m[0] * m[5] - m[4] * m[1];
    const double s1 = m[0] * m[6] - m[4] * m[2];
    const double s2 = m[0] * m[7] - m[4] * m[3];
    const double s3 = m[1] * m[6] - m[5] * m[2];
    const double s4 = m[1] * m[7] - m[5] * m[3];
    const double s5 = m[2] * m[7] - m[6] * m[3];
    const double c5 = m[10] * m[15] - m[14] * m[11];
    const double c4 = m[9] * m[15] - m[13] * m[11];
    const double c3 = m[9] * m[14] - m[13] * m[10];
    const double c2 = m[8] * m[15] - m[12] * m[11];
    const double c1 = m[8] * m[14] - m[12] * m[10];
    const double c0 = m[8] * m[13] - m[12] * m[9];
    return s0 * c5 - s1 * c4 + s2 * c3 + s3 * c2 - s4 * c1 + s5 * c0;
}

// out = m^-1 (out may be m). -1 on an exactly zero determinant, out unchanged.
inline int invert3(const double* m, double* out) {
    const double c0 = m[4] * m[8] - m[5] * m[7];
    const double c1 = m[5] * m[6] - m[3] * m[8];
    const double c2 = m[3] * m[7] - m[4] * m[6];
    const double det = m[0] * c0 + m[1] * c1 + m[2] * c2;
    if (det == 0.0) {
        return -1;
    }
    const double inv = 1.0 / det;
    const double r1 = (m[2] * m[7] - m[1] * m[8]) * inv;
    const double r2 = (m[1] * m[5] - m[2] * m[4]) * inv;
    const double r4 = (m[0] * m[8] - m[2] * m[6]) * inv;
    const double r5 = (m[2] * m[3] - m[0] * m[5]) * inv;
    const double r7 = (m[1] * m[6] - m[0] * m[7]) * inv;
    const double r8 = (m[0] * m[4] - m[1] * m[3]) * inv;
    out[0] = c0 * inv;
    out[1] = r1;
    out[2] = r2;
    out[3] = c1 * inv;
    out[4] = r4;
    out[5] = r5;
    out[6] = c2 * inv;
    out[7] = r7;
    out[8] = r8;
    return 0;
}

inline int invert4(const double* m, double* out) {
    const double s0 = m[0] * m[5] - m[4] * m[1];
    const double s1 = m[0] * m[6] - m[4] * m[2];
    const double s2 = m[0] * m[7] - m[4] * m[3];
    const double s3 = m[1] * m[6] - m[5] * m[2];
    const double s4 = m[1] * m[7] - m[5] * m[3];
    const double s5 = m[2] * m[7] - m[6] * m[3];
    const double c5 = m[10] * m[15] - m[14] * m[11];
    const double c4 = m[9] * m[15] - m[13] * m[11];
    const double c3 = m[9] * m[14] - m[13] * m[10];
    const double c2 = m[8] * m[15] - m[12] * m[11];
    const double c1 = m[8] * m[14] - m[12] * m[10];
    const double c0 = m[8] * m[13] - m[12] * m[9];
    const double det = s0 * c5 - s1 * c4 + s2 * c3 + s3 * c2 - s4 * c1 + s5 * c0;
    if (det == 0.0) {
        return -1;
    }
    const double inv = 1.0 / det;
    double r[16];
    r[0] = (m[5] * c5 - m[6] * c4 + m[7] * c3) * inv;
    r[1] = (-m[1] * c5 + m[2] * c4 - m[3] * c3) * inv;
    r[2] = (m[13] * s5 - m[14] * s4 + m[15] * s3) * inv;
    r[3] = (-m[9] * s5 + m[10] * s4 - m[11] * s3) * inv;
    r[4] = (-m[4] * c5 + m[6] * c2 - m[7] * c1) * inv;
    r[5] = (m[0] * c5 - m[2] * c2 + m[3] * c1) * inv;
    r[6] = (-m[12] * s5 + m[14] * s2 - m[15] * s1) * inv;
    r[7] = (m[8] * s5 - m[10] * s2 + m[11] * s1) * inv;
    r[8] = (m[4] * c4 - m[5] * c2 + m[7] * c0) * inv;
    r[9] = (-m[0] * c4 + m[1] * c2 - m[3] * c0) * inv;
    r[10] = (m[12] * s4 - m[13] * s2 + m[15] * s0) * inv;
    r[11] = (-m[8] * s4 + m[9] * s2 - m[11] * s0) * inv;
    r[12] = (-m[4] * c3 + m[5] * c1 - m[6] * c0) * inv;
    r[13] = (m[0] * c3 - m[1] * c1 + m[2] * c0) * inv;
    r[14] = (-m[12] * s3 + m[13] * s1 - m[14] * s0) * inv;
    r[15] = (m[8] * s3 - m[9] * s1 + m[10] * s0) * inv;
    for (int i = 0; i < 16; ++i) {
        out[i] = r[i];
    }
    return 0;
}

// Closed forms for n <= 4 (n <= 0: nothing to do).
inline int invertSmall(double* a, int n) {
    switch (n) {
        case 1:
            if (a[0] == 0.0) {
                return -1;
            }
            a[0] = 1.0 / a[0];
            return 0;
        case 2: {
            const double det = a[0] * a[3] - a[1] * a[2];
            if (det == 0.0) {
                return -1;
            }
            const double inv = 1.0 / det;
            const double a00 = a[0];
            a[0] = a[3] * inv;
            a[1] = -a[1] * inv;
            a[2] = -a[2] * inv;
            a[3] = a00 * inv;
            return 0;
        }
        case 3:
            return invert3(a, a);
        case 4:
            return invert4(a, a);
        default:
            return 0;
    }
}

// LU-based inverse for n >= 5 with work storage of its own.
int invertLarge(double* a, int n);

inline int invert(double* a, int n) {
    return n <= 4 ? invertSmall(a, n) : invertLarge(a, n);
}

}  // namespace rzMath

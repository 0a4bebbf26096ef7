#include "constraint/lu.hpp"

#include <cmath>
#include <memory>
#include <new>
#include <vector>

namespace rzMath {

namespace {

constexpr double kSingularRow = 1e-14;
constexpr double kTinyPivot = 1e-20;
// luSolve and invert keep their work storage on the stack up to this order.
constexpr int kStackOrder = 32;

}  // namespace

int luDecompose(double* a, int n, int* index, double* parity, double* scale) {
    *parity = 1.0;
    for (int i = 0; i < n; ++i) {
        const double* row = a + static_cast<long>(i) * n;
        double big = 0.0;
        for (int j = 0; j < n; ++j) {
            const double v = std::fabs(row[j]);
            if (v > big) {
                big = v;
            }
        }
        if (big < kSingularRow) {
            return -1;
        }
        scale[i] = 1.0 / big;
    }
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < j; ++i) {
            double* ri = a + static_cast<long>(i) * n;
            double sum = ri[j];
            for (int k = 0; k < i; ++k) {
                sum -= ri[k] * a[static_cast<long>(k) * n + j];
            }
            ri[j] = sum;
        }
        double big = 0.0;
        int pivot = j;
        for (int i = j; i < n; ++i) {
            double* ri = a + static_cast<long>(i) * n;
            double sum = ri[j];
            for (int k = 0; k < j; ++k) {
                sum -= ri[k] * a[static_cast<long>(k) * n + j];
            }
            ri[j] = sum;
            const double weight = scale[i] * std::fabs(sum);
            // Ties go to the later row.
            if (weight >= big) {
                big = weight;
                pivot = i;
            }
        }
        if (pivot != j) {
            double* rp = a + static_cast<long>(pivot) * n;
            double* rj = a + static_cast<long>(j) * n;
            for (int k = 0; k < n; ++k) {
                const double t = rp[k];
                rp[k] = rj[k];
                rj[k] = t;
            }
            *parity = -*parity;
            scale[pivot] = scale[j];
        }
        index[j] = pivot;
        double& diag = a[static_cast<long>(j) * n + j];
        if (diag == 0.0) {
            diag = kTinyPivot;
        }
        if (j != n - 1) {
            const double inv = 1.0 / diag;
            for (int i = j + 1; i < n; ++i) {
                a[static_cast<long>(i) * n + j] *= inv;
            }
        }
    }
    return 0;
}

void luBackSubstitute(const double* a, int n, const int* index, double* b) {
    int first = -1;  // first non-zero right-hand entry seen
    for (int i = 0; i < n; ++i) {
        const int p = index[i];
        double sum = b[p];
        b[p] = b[i];
        if (first >= 0) {
            const double* ri = a + static_cast<long>(i) * n;
            for (int j = first; j < i; ++j) {
                sum -= ri[j] * b[j];
            }
        } else if (sum != 0.0) {
            first = i;
        }
        b[i] = sum;
    }
    for (int i = n - 1; i >= 0; --i) {
        const double* ri = a + static_cast<long>(i) * n;
        double sum = b[i];
        for (int j = i + 1; j < n; ++j) {
            sum -= ri[j] * b[j];
        }
        b[i] = sum / ri[i];
    }
}

int luSolve(double* x, double* a, const double* b, int n) {
    if (n <= 0) {
        return 0;
    }
    int stackIndex[kStackOrder];
    double stackScale[kStackOrder];
    double stackWork[kStackOrder];
    std::vector<int> heapIndex;
    std::vector<double> heapScale;
    int* index = stackIndex;
    double* scale = stackScale;
    double* work = stackWork;
    if (n > kStackOrder) {
        heapIndex.resize(n);
        heapScale.resize(2 * static_cast<size_t>(n));
        index = heapIndex.data();
        scale = heapScale.data();
        work = heapScale.data() + n;
    }
    double parity = 1.0;
    if (luDecompose(a, n, index, &parity, scale) != 0) {
        return -1;
    }
    for (int i = 0; i < n; ++i) {
        work[i] = b[i];
    }
    luBackSubstitute(a, n, index, work);
    for (int i = 0; i < n; ++i) {
        x[i] = work[i];
    }
    return 0;
}

double det3(const double* m) {
    return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
           m[2] * (m[3] * m[7] - m[4] * m[6]);
}

double det4(const double* m) {
    // Laplace expansion along the first row with 2x2 minors of the lower rows.
    const double s0 = m[8] * m[13] - m[9] * m[12];
    const double s1 = m[8] * m[14] - m[10] * m[12];
    const double s2 = m[8] * m[15] - m[11] * m[12];
    const double s3 = m[9] * m[14] - m[10] * m[13];
    const double s4 = m[9] * m[15] - m[11] * m[13];
    const double s5 = m[10] * m[15] - m[11] * m[14];
    return m[0] * (m[5] * s5 - m[6] * s4 + m[7] * s3) - m[1] * (m[4] * s5 - m[6] * s2 + m[7] * s1) +
           m[2] * (m[4] * s4 - m[5] * s2 + m[7] * s0) - m[3] * (m[4] * s3 - m[5] * s1 + m[6] * s0);
}

int invert3(const double* m, double* out) {
    const double det = det3(m);
    if (det == 0.0) {
        return -1;
    }
    const double inv = 1.0 / det;
    double r[9];
    r[0] = (m[4] * m[8] - m[5] * m[7]) * inv;
    r[1] = (m[2] * m[7] - m[1] * m[8]) * inv;
    r[2] = (m[1] * m[5] - m[2] * m[4]) * inv;
    r[3] = (m[5] * m[6] - m[3] * m[8]) * inv;
    r[4] = (m[0] * m[8] - m[2] * m[6]) * inv;
    r[5] = (m[2] * m[3] - m[0] * m[5]) * inv;
    r[6] = (m[3] * m[7] - m[4] * m[6]) * inv;
    r[7] = (m[1] * m[6] - m[0] * m[7]) * inv;
    r[8] = (m[0] * m[4] - m[1] * m[3]) * inv;
    for (int i = 0; i < 9; ++i) {
        out[i] = r[i];
    }
    return 0;
}

int invert4(const double* m, double* out) {
    // Adjugate from the 2x2 minors of the upper (s) and lower (c) row pairs.
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

int invertWithWorkspace(double* a, int n, double* work) {
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
            break;
    }
    if (n <= 0) {
        return 0;
    }
    // Workspace: LU copy (n^2), scale (n), column (n), index (n ints placed in n doubles);
    // the remaining 2n are spare. a stays untouched until the decomposition has succeeded.
    const long nn = static_cast<long>(n) * n;
    double* lu = work;
    double* scale = work + nn;
    double* column = scale + n;
    int* index = reinterpret_cast<int*>(column + n);
    for (long i = 0; i < nn; ++i) {
        lu[i] = a[i];
    }
    for (int i = 0; i < n; ++i) {
        ::new (static_cast<void*>(index + i)) int(0);
    }
    double parity = 1.0;
    if (luDecompose(lu, n, index, &parity, scale) != 0) {
        return -1;
    }
    // The decomposition is complete, so a may be overwritten column by column.
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            column[i] = i == j ? 1.0 : 0.0;
        }
        luBackSubstitute(lu, n, index, column);
        for (int i = 0; i < n; ++i) {
            a[static_cast<long>(i) * n + j] = column[i];
        }
    }
    return 0;
}

int invert(double* a, int n) {
    if (n <= 4) {
        return invertWithWorkspace(a, n, nullptr);
    }
    const size_t need = 5 * static_cast<size_t>(n) + static_cast<size_t>(n) * n;
    if (n <= kStackOrder) {
        double stack[5 * kStackOrder + kStackOrder * kStackOrder];
        return invertWithWorkspace(a, n, stack);
    }
    std::unique_ptr<double[]> heap(new double[need]);
    return invertWithWorkspace(a, n, heap.get());
}

}  // namespace rzMath

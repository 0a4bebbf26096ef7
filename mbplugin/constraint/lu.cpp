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

namespace {

// Crout's column step on a contiguous copy of column j (identical arithmetic to working on
// the matrix in place: every sum runs over k in increasing order). Rows are taken two or four
// at a time only so that independent sums overlap in the pipeline.
void croutColumn(const double* a, int n, int j, double* col) {
    int i = 0;
    // Above the diagonal: row i needs the finished entries of the rows before it.
    for (; i + 1 < j; i += 2) {
        const double* r0 = a + static_cast<long>(i) * n;
        const double* r1 = r0 + n;
        double s0 = col[i], s1 = col[i + 1];
        for (int k = 0; k < i; ++k) {
            s0 -= r0[k] * col[k];
            s1 -= r1[k] * col[k];
        }
        col[i] = s0;
        col[i + 1] = s1 - r1[i] * s0;
    }
    for (; i < j; ++i) {
        const double* r = a + static_cast<long>(i) * n;
        double s = col[i];
        for (int k = 0; k < i; ++k) {
            s -= r[k] * col[k];
        }
        col[i] = s;
    }
    // On and below the diagonal: sums over the finished part of the column only.
    for (; i + 3 < n; i += 4) {
        const double* r0 = a + static_cast<long>(i) * n;
        const double* r1 = r0 + n;
        const double* r2 = r1 + n;
        const double* r3 = r2 + n;
        double s0 = col[i], s1 = col[i + 1], s2 = col[i + 2], s3 = col[i + 3];
        for (int k = 0; k < j; ++k) {
            const double c = col[k];
            s0 -= r0[k] * c;
            s1 -= r1[k] * c;
            s2 -= r2[k] * c;
            s3 -= r3[k] * c;
        }
        col[i] = s0;
        col[i + 1] = s1;
        col[i + 2] = s2;
        col[i + 3] = s3;
    }
    for (; i < n; ++i) {
        const double* r = a + static_cast<long>(i) * n;
        double s = col[i];
        for (int k = 0; k < j; ++k) {
            s -= r[k] * col[k];
        }
        col[i] = s;
    }
}

constexpr int kColumnBuffer = 256;

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
    double stackColumn[kColumnBuffer];
    std::vector<double> heapColumn;
    double* col = stackColumn;
    if (n > kColumnBuffer) {
        heapColumn.resize(n);
        col = heapColumn.data();
    }
    for (int j = 0; j < n; ++j) {
        for (int k = 0; k < n; ++k) {
            col[k] = a[static_cast<long>(k) * n + j];
        }
        croutColumn(a, n, j, col);
        double big = 0.0;
        int pivot = j;
        for (int i = j; i < n; ++i) {
            const double weight = scale[i] * std::fabs(col[i]);
            // Ties go to the later row.
            if (weight >= big) {
                big = weight;
                pivot = i;
            }
        }
        for (int k = 0; k < n; ++k) {
            a[static_cast<long>(k) * n + j] = col[k];
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

int invertWithWorkspace(double* a, int n, double* work) {
    if (n <= 4) {
        return invertSmall(a, n);
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

int invertLarge(double* a, int n) {
    const size_t need = 5 * static_cast<size_t>(n) + static_cast<size_t>(n) * n;
    if (n <= kStackOrder) {
        double stack[5 * kStackOrder + kStackOrder * kStackOrder];
        return invertWithWorkspace(a, n, stack);
    }
    std::unique_ptr<double[]> heap(new double[need]);
    return invertWithWorkspace(a, n, heap.get());
}

}  // namespace rzMath

#include "constraint/sparsenormalsolver.hpp"

#include <algorithm>
#include <cmath>

namespace rzMath {

void SparseNormalSolver::analyse(const BlockSparseMatrix& jt) {
    order_ = jt.cols();
    groups_.assign(jt.blockCols(), Group{});
    std::vector<std::vector<std::uint32_t>> byPart(jt.blockRows());
    for (std::uint64_t e = 0; e < jt.count(); ++e) {
        if (!jt.active(e)) {
            continue;
        }
        Group& g = groups_[jt.blockCol(e)];
        const std::uint64_t first = jt.firstCol(e);
        const std::uint64_t last = first + jt.block(e)->cols();
        g.start = g.used ? std::min(g.start, first) : first;
        g.end = g.used ? std::max(g.end, last) : last;
        g.minPart = std::min(g.minPart, jt.blockRow(e));
        g.used = true;
        byPart[jt.blockRow(e)].push_back(static_cast<std::uint32_t>(e));
    }

    sequence_.clear();
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        if (groups_[g].used) {
            sequence_.push_back(static_cast<int>(g));
        }
    }
    std::stable_sort(sequence_.begin(), sequence_.end(),
                     [this](int a, int b) { return groups_[a].minPart < groups_[b].minPart; });
    const int n = static_cast<int>(sequence_.size());
    std::vector<int> position(groups_.size(), -1);
    width_.resize(n);
    start_.resize(n);
    std::vector<char> covered(order_, 0);
    for (int j = 0; j < n; ++j) {
        const Group& g = groups_[sequence_[j]];
        position[sequence_[j]] = j;
        width_[j] = static_cast<int>(g.end - g.start);
        start_[j] = g.start;
        std::fill(covered.begin() + g.start, covered.begin() + g.end, 1);
    }
    uncovered_.clear();
    for (std::uint64_t c = 0; c < order_; ++c) {
        if (!covered[c]) {
            uncovered_.push_back(c);
        }
    }

    // Pattern of A (lower triangle by elimination position).
    std::vector<std::vector<int>> pattern(n);
    for (int j = 0; j < n; ++j) {
        pattern[j].push_back(j);
    }
    for (const auto& entries : byPart) {
        for (std::uint32_t e1 : entries) {
            for (std::uint32_t e2 : entries) {
                const int p1 = position[jt.blockCol(e1)];
                const int p2 = position[jt.blockCol(e2)];
                if (p1 > p2) {
                    pattern[p2].push_back(p1);
                }
            }
        }
    }
    // Symbolic elimination: a column's structure is its own plus that of its children in the
    // elimination tree, minus the children themselves.
    std::vector<std::vector<int>> structure(n);
    std::vector<std::vector<int>> children(n);
    std::vector<int> marker(n, -1);
    for (int j = 0; j < n; ++j) {
        std::vector<int>& s = structure[j];
        for (int i : pattern[j]) {
            if (marker[i] != j) {
                marker[i] = j;
                s.push_back(i);
            }
        }
        for (int c : children[j]) {
            for (int i : structure[c]) {
                if (i != c && marker[i] != j) {
                    marker[i] = j;
                    s.push_back(i);
                }
            }
        }
        std::sort(s.begin(), s.end());
        if (s.size() > 1) {
            children[s[1]].push_back(j);
        }
    }

    colPtr_.assign(n + 1, 0);
    rowIdx_.clear();
    valOff_.clear();
    std::size_t values = 0;
    std::vector<int> rowCount(n, 0);
    for (int j = 0; j < n; ++j) {
        colPtr_[j] = static_cast<int>(rowIdx_.size());
        for (int i : structure[j]) {
            rowIdx_.push_back(i);
            valOff_.push_back(values);
            values += static_cast<std::size_t>(width_[i]) * width_[j];
            if (i != j) {
                ++rowCount[i];
            }
        }
    }
    colPtr_[n] = static_cast<int>(rowIdx_.size());
    rowPtr_.assign(n + 1, 0);
    for (int i = 0; i < n; ++i) {
        rowPtr_[i + 1] = rowPtr_[i] + rowCount[i];
    }
    rowCol_.resize(rowPtr_[n]);
    rowSlot_.resize(rowPtr_[n]);
    std::vector<int> fillPos(rowPtr_.begin(), rowPtr_.end() - 1);
    for (int k = 0; k < n; ++k) {
        for (int s = colPtr_[k] + 1; s < colPtr_[k + 1]; ++s) {
            const int i = rowIdx_[s];
            rowCol_[fillPos[i]] = k;
            rowSlot_[fillPos[i]] = s;
            ++fillPos[i];
        }
    }
    diagonal_.clear();
    for (int j = 0; j < n; ++j) {
        for (int c = 0; c < width_[j]; ++c) {
            diagonal_.push_back(valOff_[colPtr_[j]] + static_cast<std::size_t>(c) * width_[j] + c);
        }
    }

    products_.clear();
    for (const auto& entries : byPart) {
        for (std::uint32_t e1 : entries) {
            for (std::uint32_t e2 : entries) {
                const int p1 = position[jt.blockCol(e1)];
                const int p2 = position[jt.blockCol(e2)];
                if (p1 < p2) {
                    continue;
                }
                const std::uint64_t f1 = jt.firstRow(e1), f2 = jt.firstRow(e2);
                const std::uint64_t lo = std::max(f1, f2);
                const std::uint64_t hi =
                    std::min(f1 + jt.block(e1)->rows(), f2 + jt.block(e2)->rows());
                if (lo >= hi) {
                    continue;
                }
                Product p;
                p.e1 = e1;
                p.e2 = e2;
                p.r1 = static_cast<std::uint32_t>(lo - f1);
                p.r2 = static_cast<std::uint32_t>(lo - f2);
                p.rows = static_cast<std::uint32_t>(hi - lo);
                p.c1 = static_cast<std::uint32_t>(jt.firstCol(e1) - start_[p1]);
                p.c2 = static_cast<std::uint32_t>(jt.firstCol(e2) - start_[p2]);
                p.target = valOff_[findBlock(p2, p1)];
                p.stride = static_cast<std::uint32_t>(width_[p2]);
                products_.push_back(p);
            }
        }
    }
    a_.assign(values, 0.0);
    l_.assign(values, 0.0);
    where_.assign(n, 0);
    analysed_ = true;
}

std::size_t SparseNormalSolver::findBlock(int col, int row) const {
    const auto first = rowIdx_.begin() + colPtr_[col];
    const auto last = rowIdx_.begin() + colPtr_[col + 1];
    return static_cast<std::size_t>(std::lower_bound(first, last, row) - rowIdx_.begin());
}

void SparseNormalSolver::formNormalMatrix(const BlockSparseMatrix& jt) {
    pattern_.clear();
    for (std::uint64_t e = 0; e < jt.count(); ++e) {
        if (jt.active(e)) {
            pattern_.push_back({jt.firstRow(e), jt.firstCol(e), jt.blockRow(e), jt.blockCol(e),
                                jt.block(e)->rows(), jt.block(e)->cols()});
        }
    }
    if (!analysed_ || order_ != jt.cols() || groups_.size() != jt.blockCols() ||
        pattern_ != signature_) {
        signature_.swap(pattern_);
        analyse(jt);
    }
    jt_ = &jt;

    std::fill(a_.begin(), a_.end(), 0.0);
    for (const Product& p : products_) {
        const MatrixNM& b1 = *jt.block(p.e1);
        const MatrixNM& b2 = *jt.block(p.e2);
        const std::uint64_t w1 = b1.cols(), w2 = b2.cols();
        for (std::uint32_t r = 0; r < p.rows; ++r) {
            const double* row1 = b1.data() + (p.r1 + r) * w1;
            const double* row2 = b2.data() + (p.r2 + r) * w2;
            for (std::uint64_t a = 0; a < w1; ++a) {
                const double v = row1[a];
                if (v == 0.0) {
                    continue;
                }
                double* t = a_.data() + p.target + (p.c1 + a) * p.stride + p.c2;
                for (std::uint64_t b = 0; b < w2; ++b) {
                    t[b] += v * row2[b];
                }
            }
        }
    }
    for (std::size_t d : diagonal_) {
        a_[d] += kRegularisation;
    }
}

void SparseNormalSolver::factorize() {
    std::copy(a_.begin(), a_.end(), l_.begin());
    double* l = l_.data();
    const int n = static_cast<int>(sequence_.size());
    for (int j = 0; j < n; ++j) {
        const int wj = width_[j];
        for (int s = colPtr_[j]; s < colPtr_[j + 1]; ++s) {
            where_[rowIdx_[s]] = valOff_[s];
        }
        // Contributions of earlier block columns k with a block in row j.
        for (int t = rowPtr_[j]; t < rowPtr_[j + 1]; ++t) {
            const int k = rowCol_[t];
            const int wk = width_[k];
            const double* ljk = l + valOff_[rowSlot_[t]];
            for (int s = rowSlot_[t]; s < colPtr_[k + 1]; ++s) {
                const int i = rowIdx_[s];
                const int wi = width_[i];
                const double* lik = l + valOff_[s];
                double* target = l + where_[i];
                for (int a = 0; a < wi; ++a) {
                    const double* ra = lik + a * wk;
                    double* ta = target + a * wj;
                    for (int b = 0; b < wj; ++b) {
                        const double* rb = ljk + b * wk;
                        double sum = 0.0;
                        for (int c = 0; c < wk; ++c) {
                            sum += ra[c] * rb[c];
                        }
                        ta[b] -= sum;
                    }
                }
            }
        }
        // Diagonal block, column by column.
        double* d = l + valOff_[colPtr_[j]];
        for (int c = 0; c < wj; ++c) {
            const double pivot = std::sqrt(d[c * wj + c]);
            d[c * wj + c] = pivot;
            for (int r = c + 1; r < wj; ++r) {
                d[r * wj + c] /= pivot;
            }
            for (int r = c + 1; r < wj; ++r) {
                for (int s = c + 1; s <= r; ++s) {
                    d[r * wj + s] -= d[r * wj + c] * d[s * wj + c];
                }
            }
        }
        for (int r = 0; r < wj; ++r) {
            for (int s = r + 1; s < wj; ++s) {
                d[r * wj + s] = 0.0;
            }
        }
        // Blocks below: B = B L_jj^-T.
        for (int s = colPtr_[j] + 1; s < colPtr_[j + 1]; ++s) {
            const int wi = width_[rowIdx_[s]];
            double* b = l + valOff_[s];
            for (int a = 0; a < wi; ++a) {
                double* ra = b + a * wj;
                for (int c = 0; c < wj; ++c) {
                    double sum = ra[c];
                    for (int t = 0; t < c; ++t) {
                        sum -= ra[t] * d[c * wj + t];
                    }
                    ra[c] = sum / d[c * wj + c];
                }
            }
        }
    }
}

void SparseNormalSolver::solve(const double* rhs, double* out) {
    std::copy_n(rhs, order_, out);
    const double* l = l_.data();
    const int n = static_cast<int>(sequence_.size());
    for (int j = 0; j < n; ++j) {
        const int wj = width_[j];
        double* xj = out + start_[j];
        const double* d = l + valOff_[colPtr_[j]];
        for (int c = 0; c < wj; ++c) {
            double sum = xj[c];
            for (int t = 0; t < c; ++t) {
                sum -= d[c * wj + t] * xj[t];
            }
            xj[c] = sum / d[c * wj + c];
        }
        for (int s = colPtr_[j] + 1; s < colPtr_[j + 1]; ++s) {
            const int wi = width_[rowIdx_[s]];
            const double* b = l + valOff_[s];
            double* xi = out + start_[rowIdx_[s]];
            for (int a = 0; a < wi; ++a) {
                double sum = 0.0;
                for (int c = 0; c < wj; ++c) {
                    sum += b[a * wj + c] * xj[c];
                }
                xi[a] -= sum;
            }
        }
    }
    for (int j = n - 1; j >= 0; --j) {
        const int wj = width_[j];
        double* xj = out + start_[j];
        for (int s = colPtr_[j] + 1; s < colPtr_[j + 1]; ++s) {
            const int wi = width_[rowIdx_[s]];
            const double* b = l + valOff_[s];
            const double* xi = out + start_[rowIdx_[s]];
            for (int a = 0; a < wi; ++a) {
                for (int c = 0; c < wj; ++c) {
                    xj[c] -= b[a * wj + c] * xi[a];
                }
            }
        }
        const double* d = l + valOff_[colPtr_[j]];
        for (int c = wj - 1; c >= 0; --c) {
            double sum = xj[c];
            for (int t = c + 1; t < wj; ++t) {
                sum -= d[t * wj + c] * xj[t];
            }
            xj[c] = sum / d[c * wj + c];
        }
    }
    for (std::uint64_t c : uncovered_) {
        out[c] = rhs[c] / kRegularisation;
    }
}

void SparseNormalSolver::solve(const BlockSparseMatrix& jt, const double* rhs, double* out) {
    formNormalMatrix(jt);
    factorize();
    solve(rhs, out);
}

double SparseNormalSolver::normalElement(std::uint64_t r, std::uint64_t c) const {
    auto locate = [this](std::uint64_t x, int* pos, int* offset) {
        for (std::size_t j = 0; j < start_.size(); ++j) {
            if (x >= start_[j] && x < start_[j] + static_cast<std::uint64_t>(width_[j])) {
                *pos = static_cast<int>(j);
                *offset = static_cast<int>(x - start_[j]);
                return true;
            }
        }
        return false;
    };
    int pr, or_, pc, oc;
    if (!locate(r, &pr, &or_) || !locate(c, &pc, &oc)) {
        return r == c ? kRegularisation : 0.0;
    }
    if (pr < pc) {
        std::swap(pr, pc);
        std::swap(or_, oc);
    }
    const std::size_t slot = findBlock(pc, pr);
    if (slot >= static_cast<std::size_t>(colPtr_[pc + 1]) || rowIdx_[slot] != pr) {
        return 0.0;
    }
    return a_[valOff_[slot] + static_cast<std::size_t>(or_) * width_[pc] + oc];
}

}  // namespace rzMath

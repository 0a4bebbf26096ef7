#pragma once
// Normal-equation solve of the constraint engine: given J^T as a block-sparse matrix (block
// row = part, block column = constraint group), solves (J J^T + 1e-6 I) x = b in constraint
// space with a left-looking block Cholesky.
//
// Only the lower triangle of A = J J^T is stored, blocks appear where two constraint groups
// share a part, and fill-in blocks are created by a symbolic pass. The symbolic structure is
// kept while the block pattern of J^T repeats (the solver rebuilds J every iteration with the
// same pattern). Groups are eliminated ordered by the lowest part they touch, which keeps the
// fill of chains and trees numbered along the bodies small whatever order the groups arrive in.
// There is no pivoting: a non-positive pivot yields NaN for the caller to catch.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "constraint/blocksparsematrix.hpp"

namespace rzMath {

class SparseNormalSolver {
  public:
    static constexpr double kRegularisation = 1e-6;

    // Forms A = J J^T + 1e-6 I from jt (J^T). jt must stay unchanged until the next call.
    void formNormalMatrix(const BlockSparseMatrix& jt);
    // A = L L^T.
    void factorize();
    // out = A^-1 rhs; both have order() entries (the columns of jt).
    void solve(const double* rhs, double* out);
    // The three steps in one.
    void solve(const BlockSparseMatrix& jt, const double* rhs, double* out);

    std::uint64_t order() const { return order_; }
    // Element (r, c) of the formed A (either triangle), 0 where no block is stored; for checks.
    double normalElement(std::uint64_t r, std::uint64_t c) const;
    // Blocks of the factor, fill-in included; for checks of the ordering.
    std::size_t factorBlocks() const { return rowIdx_.size(); }

  private:
    struct Group {
        std::uint64_t start = 0;  // first scalar column
        std::uint64_t end = 0;    // one past the last
        std::uint64_t minPart = UINT64_MAX;
        bool used = false;
    };
    // One product B1^T B2 of two blocks of one part, added into a block of A.
    struct Product {
        std::uint32_t e1, e2;        // jt entries
        std::uint32_t r1, r2, rows;  // overlapping scalar rows inside each block
        std::uint32_t c1, c2;        // column offsets inside the target block
        std::size_t target;          // offset of the target block in the value pools
        std::uint32_t stride;        // columns of the target block
    };
    struct Signature {
        std::uint64_t firstRow, firstCol, blockRow, blockCol, rows, cols;
        bool operator==(const Signature&) const = default;
    };

    void analyse(const BlockSparseMatrix& jt);
    std::size_t findBlock(int col, int row) const;

    const BlockSparseMatrix* jt_ = nullptr;
    std::vector<Signature> signature_;  // pattern the structure was analysed for
    std::vector<Signature> pattern_;    // scratch: pattern of the current call
    bool analysed_ = false;

    std::uint64_t order_ = 0;
    std::vector<Group> groups_;
    std::vector<int> sequence_;  // elimination position -> group
    std::vector<int> width_;     // per position
    std::vector<std::uint64_t> start_;
    std::vector<std::uint64_t> uncovered_;  // scalar columns of no group: A = 1e-6 there

    // Factor structure in elimination positions: column j holds rows rowIdx_[colPtr_[j]..]
    // ascending, first j itself; each block is width(row) x width(j), row-major, at valOff_.
    std::vector<int> colPtr_;
    std::vector<int> rowIdx_;
    std::vector<std::size_t> valOff_;
    // Row lists: for row i, the earlier columns k with a block L(i, k) and its slot in column k.
    std::vector<int> rowPtr_;
    std::vector<int> rowCol_;
    std::vector<int> rowSlot_;

    std::vector<Product> products_;
    std::vector<std::size_t> diagonal_;  // scalar diagonal offsets in the value pools
    std::vector<double> a_;
    std::vector<double> l_;
    std::vector<std::size_t> where_;  // scratch: offset of L(i, j) for the current column
    std::vector<double> work_;
};

}  // namespace rzMath

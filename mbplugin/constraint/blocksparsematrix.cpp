#include "constraint/blocksparsematrix.hpp"

#include <algorithm>

namespace rzMath {

BlockSparseMatrix::BlockSparseMatrix()
    : blocks_(kCapacityStep),
      firstRows_(kCapacityStep),
      firstCols_(kCapacityStep),
      blockRowIndex_(kCapacityStep),
      blockColIndex_(kCapacityStep),
      active_(kCapacityStep) {}

void BlockSparseMatrix::addBlock(MatrixNM* block, std::uint64_t firstRow, std::uint64_t firstCol,
                                 std::uint64_t blockRow, std::uint64_t blockCol) {
    if (count_ == blocks_.size()) {
        const std::uint64_t grown = blocks_.size() + kCapacityStep;
        blocks_.resize(grown);
        firstRows_.resize(grown);
        firstCols_.resize(grown);
        blockRowIndex_.resize(grown);
        blockColIndex_.resize(grown);
        active_.resize(grown);
    }
    blocks_[count_] = block;
    firstRows_[count_] = firstRow;
    firstCols_[count_] = firstCol;
    blockRowIndex_[count_] = blockRow;
    blockColIndex_[count_] = blockCol;
    active_[count_] = 1;
    rows_ = std::max(rows_, firstRow + block->rows());
    cols_ = std::max(cols_, firstCol + block->cols());
    blockRows_ = std::max(blockRows_, blockRow + 1);
    blockCols_ = std::max(blockCols_, blockCol + 1);
    ++count_;
}

void BlockSparseMatrix::clear() {
    count_ = 0;
    rows_ = 0;
    cols_ = 0;
    blockRows_ = 0;
    blockCols_ = 0;
}

void BlockSparseMatrix::reserveDense(std::uint64_t order) {
    denseRows_.assign(order, std::vector<double>(order, 0.0));
}

void BlockSparseMatrix::multiply(const double* x, double* y) const {
    std::fill_n(y, rows_, 0.0);
    for (std::uint64_t e = 0; e < count_; ++e) {
        if (active_[e] == 0) {
            continue;
        }
        const MatrixNM& b = *blocks_[e];
        const double* xs = x + firstCols_[e];
        double* ys = y + firstRows_[e];
        for (std::uint64_t r = 0; r < b.rows(); ++r) {
            double sum = 0.0;
            const double* row = b.data() + r * b.cols();
            for (std::uint64_t c = 0; c < b.cols(); ++c) {
                sum += row[c] * xs[c];
            }
            ys[r] += sum;
        }
    }
}

void BlockSparseMatrix::multiplyTransposed(const double* x, double* y) const {
    std::fill_n(y, cols_, 0.0);
    for (std::uint64_t e = 0; e < count_; ++e) {
        if (active_[e] == 0) {
            continue;
        }
        const MatrixNM& b = *blocks_[e];
        const double* xs = x + firstRows_[e];
        double* ys = y + firstCols_[e];
        for (std::uint64_t r = 0; r < b.rows(); ++r) {
            const double* row = b.data() + r * b.cols();
            for (std::uint64_t c = 0; c < b.cols(); ++c) {
                ys[c] += row[c] * xs[r];
            }
        }
    }
}

}  // namespace rzMath

#pragma once
// Sparse matrix assembled from small dense blocks. The constraint engine stores its
// transposed constraint matrix here: block row = part (7 pose coordinates), block column =
// one constraint group. Blocks are not owned; their owner keeps them alive while placed.

#include <cstdint>
#include <vector>

#include "constraint/matrixnm.hpp"

namespace rzMath {

class BlockSparseMatrix {
  public:
    static constexpr std::uint64_t kCapacityStep = 500;

    BlockSparseMatrix();

    // Places a block with its top-left element at (firstRow, firstCol); blockRow/blockCol
    // index the block grid. Capacity grows by 500 entries when full.
    void addBlock(MatrixNM* block, std::uint64_t firstRow, std::uint64_t firstCol,
                  std::uint64_t blockRow, std::uint64_t blockCol);
    // Forgets every entry and extent; capacity and the dense working rows stay.
    void clear();
    // Square working matrix of the given order, one row buffer per row, zeroed.
    void reserveDense(std::uint64_t order);

    std::uint64_t count() const { return count_; }
    std::uint64_t capacity() const { return blocks_.size(); }
    std::uint64_t rows() const { return rows_; }
    std::uint64_t cols() const { return cols_; }
    std::uint64_t blockRows() const { return blockRows_; }
    std::uint64_t blockCols() const { return blockCols_; }

    MatrixNM* block(std::uint64_t i) const { return blocks_[i]; }
    std::uint64_t firstRow(std::uint64_t i) const { return firstRows_[i]; }
    std::uint64_t firstCol(std::uint64_t i) const { return firstCols_[i]; }
    std::uint64_t blockRow(std::uint64_t i) const { return blockRowIndex_[i]; }
    std::uint64_t blockCol(std::uint64_t i) const { return blockColIndex_[i]; }
    bool active(std::uint64_t i) const { return active_[i] != 0; }
    void setActive(std::uint64_t i, bool on) { active_[i] = on ? 1 : 0; }

    std::uint64_t denseOrder() const { return denseRows_.size(); }
    double* denseRow(std::uint64_t r) { return denseRows_[r].data(); }

    // y (rows() entries) = M x; x has cols() entries. Active blocks only.
    void multiply(const double* x, double* y) const;
    // y (cols() entries) = M^T x; x has rows() entries. Active blocks only.
    void multiplyTransposed(const double* x, double* y) const;

  private:
    std::vector<MatrixNM*> blocks_;
    std::vector<std::uint64_t> firstRows_;
    std::vector<std::uint64_t> firstCols_;
    std::vector<std::uint64_t> blockRowIndex_;
    std::vector<std::uint64_t> blockColIndex_;
    std::vector<std::uint8_t> active_;
    std::uint64_t count_ = 0;
    std::uint64_t rows_ = 0;
    std::uint64_t cols_ = 0;
    std::uint64_t blockRows_ = 0;
    std::uint64_t blockCols_ = 0;
    std::vector<std::vector<double>> denseRows_;
};

}  // namespace rzMath

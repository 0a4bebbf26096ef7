#pragma once
// Dynamic row-major f64 matrix: element (r, c) at r * cols + c.

#include <cstdint>

namespace rzMath {

class ArrayNM {
  public:
    ArrayNM() = default;
    ArrayNM(const ArrayNM& other);
    ArrayNM& operator=(const ArrayNM& other);
    virtual ~ArrayNM();

    std::uint64_t rows() const { return rows_; }
    std::uint64_t cols() const { return cols_; }
    double* data() { return data_; }
    const double* data() const { return data_; }

  protected:
    double* data_ = nullptr;  // owned, rows_ * cols_ elements
    std::uint64_t rows_ = 0;
    std::uint64_t cols_ = 0;
};

class MatrixNM : public ArrayNM {
  public:
    MatrixNM() = default;
    MatrixNM(std::uint64_t rows, std::uint64_t cols) { resize(rows, cols); }

    // Zeroed storage of rows x cols; nothing of the old contents is kept. Storage of the same
    // element count is reused, so blocks refilled every solver iteration do not allocate.
    void resize(std::uint64_t rows, std::uint64_t cols);
    void setZero();

    double& operator()(std::uint64_t r, std::uint64_t c) { return data_[r * cols_ + c]; }
    double operator()(std::uint64_t r, std::uint64_t c) const { return data_[r * cols_ + c]; }
};

}  // namespace rzMath

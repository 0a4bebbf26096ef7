#include "constraint/matrixnm.hpp"

#include <algorithm>

namespace rzMath {

ArrayNM::ArrayNM(const ArrayNM& other) : rows_(other.rows_), cols_(other.cols_) {
    const std::uint64_t n = rows_ * cols_;
    if (n > 0) {
        data_ = new double[n];
        std::copy_n(other.data_, n, data_);
    }
}

ArrayNM& ArrayNM::operator=(const ArrayNM& other) {
    if (this != &other) {
        const std::uint64_t n = other.rows_ * other.cols_;
        double* fresh = n > 0 ? new double[n] : nullptr;
        std::copy_n(other.data_, n, fresh);
        delete[] data_;
        data_ = fresh;
        rows_ = other.rows_;
        cols_ = other.cols_;
    }
    return *this;
}

ArrayNM::~ArrayNM() {
    delete[] data_;
}

void MatrixNM::resize(std::uint64_t rows, std::uint64_t cols) {
    const std::uint64_t n = rows * cols;
    if (n != rows_ * cols_) {
        delete[] data_;
        data_ = n > 0 ? new double[n] : nullptr;
    }
    rows_ = rows;
    cols_ = cols;
    setZero();
}

void MatrixNM::setZero() {
    std::fill_n(data_, rows_ * cols_, 0.0);
}

}  // namespace rzMath

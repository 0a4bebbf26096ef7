#include "constraint/vectorn.hpp"

#include <algorithm>

namespace rzMath {

VectorN::VectorN() {
    array_.data = new double[kInitialCapacity]();
    array_.capacity = kInitialCapacity;
}

VectorN::VectorN(const VectorN& other) {
    if (other.array_.size > 0) {
        array_.data = new double[other.array_.size];
        std::copy_n(other.array_.data, other.array_.size, array_.data);
    }
    array_.capacity = other.array_.size;
    array_.size = other.array_.size;
}

VectorN& VectorN::operator=(const VectorN& other) {
    if (this != &other) {
        resize(other.array_.size);
        std::copy_n(other.array_.data, other.array_.size, array_.data);
    }
    return *this;
}

VectorN::~VectorN() {
    release();
}

void VectorN::release() {
    if (!array_.borrowed) {
        delete[] array_.data;
    }
    array_.data = nullptr;
    array_.capacity = 0;
}

void VectorN::resize(std::uint64_t n) {
    if (!array_.borrowed && n > array_.capacity) {
        double* fresh = new double[n];
        std::copy_n(array_.data, array_.size, fresh);
        std::fill(fresh + array_.size, fresh + n, 0.0);
        delete[] array_.data;
        array_.data = fresh;
        array_.capacity = n;
    }
    array_.size = n;
}

void VectorN::attach(double* buffer, std::uint64_t offset) {
    release();
    array_.data = buffer + offset;
    array_.borrowed = true;
}

void VectorN::fill(double x) {
    std::fill_n(array_.data, array_.size, x);
}

void VectorN::negate() {
    for (std::uint64_t i = 0; i < array_.size; ++i) {
        array_.data[i] = -array_.data[i];
    }
}

void VectorN::subtract(const VectorN& other) {
    for (std::uint64_t i = 0; i < array_.size; ++i) {
        array_.data[i] -= other.array_.data[i];
    }
}

VectorN VectorN::difference(const VectorN& a, const VectorN& b) {
    VectorN out(a);
    out.subtract(b);
    return out;
}

void VectorN::assign(const VectorN& other) {
    if (array_.size < other.array_.size) {
        resize(other.array_.size);
    }
    std::copy_n(other.array_.data, array_.size, array_.data);
}

}  // namespace rzMath

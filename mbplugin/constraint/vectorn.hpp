#pragma once
// Dynamic f64 vector of the solver. A default vector starts with 1000 zeroed elements so that
// the solver's state vectors (7 per body) rarely reallocate; attach() lets a vector view a
// slice of a larger buffer without copying (it then never frees or reallocates it).

#include <cstdint>

namespace rzMath {

struct ArrayN {
    double* data = nullptr;
    std::uint64_t capacity = 0;  // allocated elements (0 while borrowed: unknown)
    std::uint64_t size = 0;      // elements in use
    bool borrowed = false;       // data belongs to somebody else
};

class VectorN {
  public:
    static constexpr std::uint64_t kInitialCapacity = 1000;

    VectorN();
    // Owns exactly other.size() elements, even when other is borrowed.
    VectorN(const VectorN& other);
    // Keeps this vector's storage mode: a borrowed vector copies into its view.
    VectorN& operator=(const VectorN& other);
    virtual ~VectorN();

    // Beyond the capacity: new storage of exactly n elements, old values kept, the rest 0.0.
    // A borrowed vector only changes its size; its user keeps n within the borrowed storage.
    void resize(std::uint64_t n);
    // Releases owned storage and views buffer + offset elements.
    void attach(double* buffer, std::uint64_t offset);

    void fill(double x);
    void negate();
    // Element-wise this -= other over this vector's size.
    void subtract(const VectorN& other);
    // a - b over a's size.
    static VectorN difference(const VectorN& a, const VectorN& b);
    // Grows to other's size when smaller, then copies this vector's size of elements; the
    // source must be at least as long as the target.
    void assign(const VectorN& other);

    double& operator[](std::uint64_t i) { return array_.data[i]; }
    double operator[](std::uint64_t i) const { return array_.data[i]; }
    double* data() { return array_.data; }
    const double* data() const { return array_.data; }
    std::uint64_t size() const { return array_.size; }
    std::uint64_t capacity() const { return array_.capacity; }
    bool borrowed() const { return array_.borrowed; }

  private:
    void release();

    ArrayN array_;
};

}  // namespace rzMath

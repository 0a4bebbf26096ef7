#pragma once
// The library's plain growable pointer array: no lock, elements not owned. Storage comes
// from malloc, so the array can hold pointers across C code; capacity rules are fixed
// (see setCapacity and set) so growth is predictable.

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace Devices {

template <class T>
class DArray;

template <class T>
class DArray<T*> {
  public:
    DArray() = default;
    ~DArray() {
        clear();
        std::free(m_data);
    }
    DArray(const DArray&) = delete;
    DArray& operator=(const DArray&) = delete;

    std::int32_t count() const { return m_count; }
    std::int32_t capacity() const { return m_capacity; }

    // Below the current capacity: nothing. Without storage: exactly n slots. With storage:
    // max(n, 12) slots, the used ones copied. Slots from the count up are zero.
    void setCapacity(std::int32_t n) {
        if (n < m_capacity)
            return;
        if (!m_data) {
            m_data = allocate(n);
            m_capacity = n;
        } else {
            std::int32_t size = n < 12 ? 12 : n;
            T** fresh = allocate(size);
            std::memcpy(fresh, m_data, sizeof(T*) * static_cast<std::size_t>(m_count));
            std::free(m_data);
            m_data = fresh;
            m_capacity = size;
        }
        for (std::int32_t i = m_count; i < m_capacity; ++i)
            m_data[i] = nullptr;
    }

    // Stores p at index, growing to capacity + capacity/2 (or index + 1 if more) when the
    // index is past the storage; the count becomes index + 1 when the index is past it.
    void set(std::int32_t index, T* p) {
        if (index < 0 || index == INT32_MAX)
            throw std::out_of_range("DArray index");
        if (index >= m_capacity) {
            std::int64_t grown = static_cast<std::int64_t>(m_capacity) + m_capacity / 2;
            if (grown < index + 1)
                grown = index + 1;
            if (grown > INT32_MAX)
                grown = INT32_MAX;
            setCapacity(static_cast<std::int32_t>(grown));
        }
        m_data[index] = p;
        if (index >= m_count)
            m_count = index + 1;
    }

    void append(T* p) { set(m_count, p); }

    // Null for an index outside the slots in use.
    T* get(std::int32_t index) const {
        if (index < 0 || index >= m_count)
            return nullptr;
        return m_data[index];
    }
    T* operator[](std::int32_t index) const { return get(index); }

    // Zeroes the slots in use; the storage stays.
    void clear() {
        for (std::int32_t i = 0; i < m_count; ++i)
            m_data[i] = nullptr;
        m_count = 0;
    }

  private:
    static T** allocate(std::int32_t n) {
        if (n <= 0)
            n = 1;  // malloc(0) may give null; keep a real block
        void* p = std::malloc(sizeof(T*) * static_cast<std::size_t>(n));
        if (!p)
            throw std::bad_alloc();
        return static_cast<T**>(p);
    }

    std::int32_t m_count = 0;
    std::int32_t m_capacity = 0;
    T** m_data = nullptr;
};

}  // namespace Devices

#pragma once
// Growable pointer array with optional reader/writer guarding. Elements are not owned:
// destroying the array frees its storage, never the pointed-to objects.
// Every array of the system is built unshared, so its owner serialises access.

#include <cstdint>
#include <vector>

#include "containers/storageobject.hpp"

namespace rziDataNamespace {

template <class T>
class Array;

template <class T>
class Array<T*> : public StorageObject {
  public:
    Array() : storage_(new std::vector<T*>) {}
    ~Array() override { delete storage_; }

    std::uint64_t count() const override {
        ReadScope scope(*this);
        return storage_->size();
    }

    bool isEmpty() const override {
        ReadScope scope(*this);
        return storage_->empty();
    }

    // i < count() is the caller's responsibility.
    T*& at(std::uint64_t i) {
        ReadScope scope(*this);
        return (*storage_)[i];
    }
    T* const& at(std::uint64_t i) const {
        ReadScope scope(*this);
        return (*storage_)[i];
    }

    void append(T* p) {
        WriteScope scope(*this);
        storage_->push_back(p);
    }

    bool shared() const { return shared_; }
    void setShared(bool on) { shared_ = on; }

  private:
    // Scopes release in their destructors; a failed release during unwinding must not
    // terminate, so it is only raised when no other exception is in flight.
    class ReadScope {
      public:
        explicit ReadScope(const Array& a) : a_(a) { a_.beginRead(a_.shared_); }
        ~ReadScope() noexcept(false) {
            if (std::uncaught_exceptions() == 0) {
                a_.endRead(a_.shared_);
            } else {
                try {
                    a_.endRead(a_.shared_);
                } catch (...) {
                }
            }
        }

      private:
        const Array& a_;
    };
    class WriteScope {
      public:
        explicit WriteScope(const Array& a) : a_(a) { a_.beginWrite(a_.shared_); }
        ~WriteScope() noexcept(false) {
            if (std::uncaught_exceptions() == 0) {
                a_.endWrite(a_.shared_);
            } else {
                try {
                    a_.endWrite(a_.shared_);
                } catch (...) {
                }
            }
        }

      private:
        const Array& a_;
    };

    std::vector<T*>* storage_;  // owned; elements in insertion order
    bool shared_ = false;
};

}  // namespace rziDataNamespace

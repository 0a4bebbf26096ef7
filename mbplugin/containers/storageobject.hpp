#pragma once
// Base of the guarded containers: owns a reader/writer lock and the rules for taking it.
// A guarded access either waits for the lock (blocking) or tries once and raises.

#include <cstdint>
#include <exception>

#include "lattix/rwlock.hpp"

namespace rziDataNamespace {

class X_CannotReadLock : public std::exception {
  public:
    const char* what() const noexcept override { return "Cannot read lock."; }
};

class X_CannotWriteLock : public std::exception {
  public:
    const char* what() const noexcept override { return "Cannot write lock."; }
};

class StorageObject {
  public:
    StorageObject();
    virtual ~StorageObject();
    StorageObject(const StorageObject&) = delete;
    StorageObject& operator=(const StorageObject&) = delete;

    virtual std::uint64_t count() const = 0;
    virtual bool isEmpty() const = 0;

    bool locking() const { return locking_; }
    bool blocking() const { return blocking_; }
    void setLocking(bool on) { locking_ = on; }
    void setBlocking(bool on) { blocking_ = on; }
    Lattix::RWLock* rwLock() const { return lock_; }

  protected:
    // `guarded` is the container's own switch (for arrays, `shared`); the lock is taken only
    // when it and `locking` are both on. Raise X_CannotReadLock / X_CannotWriteLock on failure.
    void beginRead(bool guarded) const;
    void endRead(bool guarded) const;
    void beginWrite(bool guarded) const;
    void endWrite(bool guarded) const;

  private:
    Lattix::RWLock* lock_;  // owned
    bool locking_ = true;
    bool blocking_ = true;
};

}  // namespace rziDataNamespace

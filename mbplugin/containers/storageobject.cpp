#include "containers/storageobject.hpp"

namespace rziDataNamespace {

StorageObject::StorageObject() : lock_(new Lattix::RWLock) {}

StorageObject::~StorageObject() {
    delete lock_;
}

void StorageObject::beginRead(bool guarded) const {
    if (!guarded || !locking_) {
        return;
    }
    if (blocking_) {
        lock_->acquire(Lattix::RWLock::Read);
    } else if (!lock_->tryAcquire(Lattix::RWLock::Read)) {
        throw X_CannotReadLock();
    }
}

void StorageObject::endRead(bool guarded) const {
    if (guarded && locking_ && !lock_->release(Lattix::RWLock::Read)) {
        throw X_CannotReadLock();
    }
}

void StorageObject::beginWrite(bool guarded) const {
    if (!guarded || !locking_) {
        return;
    }
    if (blocking_) {
        // Refused at once, not waited for, when this thread holds only the read lock.
        if (!lock_->acquire(Lattix::RWLock::Write)) {
            throw X_CannotWriteLock();
        }
    } else if (!lock_->tryAcquire(Lattix::RWLock::Write)) {
        throw X_CannotWriteLock();
    }
}

void StorageObject::endWrite(bool guarded) const {
    if (guarded && locking_ && !lock_->release(Lattix::RWLock::Write)) {
        throw X_CannotWriteLock();
    }
}

}  // namespace rziDataNamespace

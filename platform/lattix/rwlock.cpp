#include "lattix/rwlock.hpp"

namespace Lattix {

bool RWLock::acquire(AccessType access) {
    std::unique_lock lock(mutex_);
    if (access == Read) {
        changed_.wait(lock, [this] { return !writer_ && waitingWriters_ == 0; });
        ++readers_;
    } else {
        ++waitingWriters_;
        changed_.wait(lock, [this] { return !writer_ && readers_ == 0; });
        --waitingWriters_;
        writer_ = true;
    }
    return true;
}

bool RWLock::tryAcquire(AccessType access) {
    std::lock_guard lock(mutex_);
    if (access == Read) {
        if (writer_ || waitingWriters_ > 0) {
            return false;
        }
        ++readers_;
        return true;
    }
    if (writer_ || readers_ > 0) {
        return false;
    }
    writer_ = true;
    return true;
}

bool RWLock::release(AccessType access) {
    {
        std::lock_guard lock(mutex_);
        if (access == Read) {
            if (readers_ == 0) {
                return false;
            }
            --readers_;
        } else {
            if (!writer_) {
                return false;
            }
            writer_ = false;
        }
    }
    changed_.notify_all();
    return true;
}

}  // namespace Lattix

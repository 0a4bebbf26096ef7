#include "lattix/rwlock.hpp"

#include <algorithm>

namespace Lattix {

RWLock::Holder* RWLock::holderLocked(std::thread::id thread) {
    auto it = std::find_if(holders_.begin(), holders_.end(),
                           [thread](const Holder& h) { return h.thread == thread; });
    return it == holders_.end() ? nullptr : &*it;
}

// Records a granted take for the calling thread; the caller has checked that it may have it.
void RWLock::takeLocked(AccessType access) {
    const std::thread::id self = std::this_thread::get_id();
    Holder* h = holderLocked(self);
    if (h == nullptr) {
        holders_.push_back(Holder{self, 0, 0});
        h = &holders_.back();
    }
    if (access == Read) {
        ++h->reads;
        ++readers_;
    } else {
        ++h->writes;
        writer_ = true;
    }
}

bool RWLock::acquire(AccessType access) {
    std::unique_lock lock(mutex_);
    const Holder* h = holderLocked(std::this_thread::get_id());
    if (h != nullptr) {
        if (access == Write && h->writes == 0) {
            return false;
        }
        takeLocked(access);
        return true;
    }
    if (access == Read) {
        changed_.wait(lock, [this] { return !writer_ && waitingWriters_ == 0; });
    } else {
        ++waitingWriters_;
        changed_.wait(lock, [this] { return !writer_ && readers_ == 0; });
        --waitingWriters_;
    }
    takeLocked(access);
    return true;
}

bool RWLock::tryAcquire(AccessType access) {
    std::lock_guard lock(mutex_);
    const Holder* h = holderLocked(std::this_thread::get_id());
    if (h != nullptr) {
        if (access == Write && h->writes == 0) {
            return false;
        }
    } else if (access == Read ? writer_ || waitingWriters_ > 0 : writer_ || readers_ > 0) {
        return false;
    }
    takeLocked(access);
    return true;
}

bool RWLock::release(AccessType access) {
    {
        std::lock_guard lock(mutex_);
        Holder* h = holderLocked(std::this_thread::get_id());
        int* takes = h == nullptr ? nullptr : access == Read ? &h->reads : &h->writes;
        if (takes == nullptr || *takes == 0) {
            return false;
        }
        --*takes;
        if (access == Read) {
            --readers_;
        } else if (h->writes == 0) {
            writer_ = false;
        }
        if (h->reads == 0 && h->writes == 0) {
            holders_.erase(holders_.begin() + (h - holders_.data()));
        }
    }
    changed_.notify_all();
    return true;
}

}  // namespace Lattix

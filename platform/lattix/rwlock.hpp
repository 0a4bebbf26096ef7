#pragma once
// Reader/writer lock of the threading layer: readers share, a writer excludes everyone.
// Any thread may take the lock; release must come from the thread that acquired it in that mode.

#include <condition_variable>
#include <mutex>

namespace Lattix {

class RWLock {
  public:
    enum AccessType { Read, Write };

    RWLock() = default;
    RWLock(const RWLock&) = delete;
    RWLock& operator=(const RWLock&) = delete;

    // Blocks until the lock is held in the given mode. Always true.
    bool acquire(AccessType access);
    // Single attempt; true when the lock is now held in the given mode.
    bool tryAcquire(AccessType access);
    // False when the lock is not held in that mode (nothing changes then).
    bool release(AccessType access);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int readers_ = 0;         // current shared holders
    bool writer_ = false;     // an exclusive holder exists
    int waitingWriters_ = 0;  // writers queued; new readers wait for them so writers never starve
};

}  // namespace Lattix

#pragma once
// Reader/writer lock of the threading layer: readers share, a writer excludes everyone.
// Any thread may take the lock; release must come from the thread that acquired it in that mode.
//
// Queued writers go first: a thread that does not hold the lock waits behind them for a read.
// A thread that already holds the lock may take it again (read under read, read or write under
// write) without waiting, since a writer queued behind its first hold would otherwise wait for
// it forever. Each take is given back with its own release. Asking for write while holding only
// read would wait on itself, so it is refused at once.

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace Lattix {

class RWLock {
  public:
    enum AccessType { Read, Write };

    RWLock() = default;
    RWLock(const RWLock&) = delete;
    RWLock& operator=(const RWLock&) = delete;

    // Blocks until the lock is held in the given mode. False only for write asked by a thread
    // that holds read but not write (nothing changes then).
    bool acquire(AccessType access);
    // Single attempt; true when the lock is now held in the given mode.
    bool tryAcquire(AccessType access);
    // False when the calling thread does not hold the lock in that mode (nothing changes then).
    bool release(AccessType access);

  private:
    // A thread holding the lock, with how many takes of each mode it has not given back.
    struct Holder {
        std::thread::id thread;
        int reads = 0;
        int writes = 0;
    };

    Holder* holderLocked(std::thread::id thread);
    void takeLocked(AccessType access);

    std::mutex mutex_;
    std::condition_variable changed_;
    int readers_ = 0;         // read takes not given back, all threads together
    bool writer_ = false;     // an exclusive holder exists
    int waitingWriters_ = 0;  // writers queued; new readers wait for them so writers never starve
    std::vector<Holder> holders_;  // one entry per holding thread; few, so searched linearly
};

}  // namespace Lattix

#include "containers/array.hpp"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

using rziDataNamespace::Array;
using rziDataNamespace::X_CannotReadLock;
using rziDataNamespace::X_CannotWriteLock;

TEST(Array, NewArrayIsEmptyAndUnshared) {
    Array<int*> a;
    EXPECT_EQ(a.count(), 0u);
    EXPECT_TRUE(a.isEmpty());
    EXPECT_FALSE(a.shared());
    EXPECT_TRUE(a.locking());
    EXPECT_TRUE(a.blocking());
}

TEST(Array, KeepsInsertionOrderAndDoesNotOwnElements) {
    int values[3] = {7, 8, 9};
    {
        Array<int*> a;
        for (int& v : values) {
            a.append(&v);
        }
        ASSERT_EQ(a.count(), 3u);
        EXPECT_FALSE(a.isEmpty());
        EXPECT_EQ(a.at(0), &values[0]);
        EXPECT_EQ(a.at(2), &values[2]);
        a.at(1) = &values[0];
        EXPECT_EQ(a.at(1), &values[0]);
    }
    EXPECT_EQ(values[0] + values[1] + values[2], 24);
}

TEST(Array, UnsharedArrayIgnoresAHeldLock) {
    Array<int*> a;
    a.setBlocking(false);
    ASSERT_TRUE(a.rwLock()->tryAcquire(Lattix::RWLock::Write));
    int v = 1;
    EXPECT_NO_THROW(a.append(&v));
    EXPECT_EQ(a.count(), 1u);
    a.rwLock()->release(Lattix::RWLock::Write);
}

TEST(Array, NonBlockingReadUnderWriterRaisesAndChangesNothing) {
    Array<int*> a;
    int v = 1;
    a.append(&v);
    a.setShared(true);
    a.setBlocking(false);
    // Another thread is the writer: the holding thread itself may take the lock again.
    std::promise<bool> held;
    std::promise<void> done;
    std::thread writer([&, finished = done.get_future()] {
        held.set_value(a.rwLock()->tryAcquire(Lattix::RWLock::Write));
        finished.wait();
        a.rwLock()->release(Lattix::RWLock::Write);
    });
    EXPECT_TRUE(held.get_future().get());
    try {
        a.count();
        ADD_FAILURE() << "read under a held write lock must raise";
    } catch (const X_CannotReadLock& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot read lock.");
    }
    EXPECT_THROW(a.append(&v), X_CannotWriteLock);
    done.set_value();
    writer.join();
    EXPECT_EQ(a.count(), 1u);
}

TEST(Array, NonBlockingWriteUnderReaderRaises) {
    Array<int*> a;
    a.setShared(true);
    a.setBlocking(false);
    ASSERT_TRUE(a.rwLock()->tryAcquire(Lattix::RWLock::Read));
    int v = 2;
    try {
        a.append(&v);
        FAIL() << "write under a held read lock must raise";
    } catch (const X_CannotWriteLock& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot write lock.");
    }
    EXPECT_EQ(a.count(), 0u);  // readers share, so this read succeeds
    a.rwLock()->release(Lattix::RWLock::Read);
}

TEST(Array, GuardedAccessReleasesTheLock) {
    Array<int*> a;
    a.setShared(true);
    int v = 3;
    a.append(&v);
    EXPECT_EQ(a.at(0), &v);
    EXPECT_TRUE(a.rwLock()->tryAcquire(Lattix::RWLock::Write));
    a.rwLock()->release(Lattix::RWLock::Write);
}

#include "lattix/rwlock.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using Lattix::RWLock;

TEST(RWLock, ReadersShareWritersExclude) {
    RWLock lock;
    ASSERT_TRUE(lock.tryAcquire(RWLock::Read));
    EXPECT_TRUE(lock.tryAcquire(RWLock::Read));
    EXPECT_FALSE(lock.tryAcquire(RWLock::Write));
    EXPECT_TRUE(lock.release(RWLock::Read));
    EXPECT_TRUE(lock.release(RWLock::Read));
    ASSERT_TRUE(lock.tryAcquire(RWLock::Write));
    EXPECT_FALSE(lock.tryAcquire(RWLock::Read));
    EXPECT_FALSE(lock.tryAcquire(RWLock::Write));
    EXPECT_TRUE(lock.release(RWLock::Write));
}

TEST(RWLock, ReleaseWithoutHoldingIsRefused) {
    RWLock lock;
    EXPECT_FALSE(lock.release(RWLock::Read));
    EXPECT_FALSE(lock.release(RWLock::Write));
    ASSERT_TRUE(lock.acquire(RWLock::Read));
    EXPECT_FALSE(lock.release(RWLock::Write));
    EXPECT_TRUE(lock.release(RWLock::Read));
}

// Writers must see and leave a consistent pair; readers must never see it torn.
TEST(RWLock, BlockingAcquireSerialisesWriters) {
    RWLock lock;
    long a = 0;
    long b = 0;
    std::atomic<bool> torn{false};
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                lock.acquire(RWLock::Write);
                ++a;
                ++b;
                lock.release(RWLock::Write);
            }
        });
    }
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                lock.acquire(RWLock::Read);
                if (a != b) {
                    torn = true;
                }
                lock.release(RWLock::Read);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_FALSE(torn);
    EXPECT_EQ(a, 2 * kRounds);
    EXPECT_EQ(b, 2 * kRounds);
}

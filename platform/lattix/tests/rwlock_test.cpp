#include "lattix/rwlock.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

using Lattix::RWLock;
using namespace std::chrono_literals;

namespace {

// Whether another thread gets the lock in that mode right now (given back at once).
bool grantedElsewhere(RWLock& lock, RWLock::AccessType access) {
    return std::async(std::launch::async,
                      [&lock, access] {
                          const bool got = lock.tryAcquire(access);
                          if (got) {
                              lock.release(access);
                          }
                          return got;
                      })
        .get();
}

}  // namespace

TEST(RWLock, ReadersShareWritersExclude) {
    RWLock lock;
    ASSERT_TRUE(lock.tryAcquire(RWLock::Read));
    EXPECT_TRUE(grantedElsewhere(lock, RWLock::Read));
    EXPECT_FALSE(grantedElsewhere(lock, RWLock::Write));
    EXPECT_TRUE(lock.release(RWLock::Read));
    ASSERT_TRUE(lock.tryAcquire(RWLock::Write));
    EXPECT_FALSE(grantedElsewhere(lock, RWLock::Read));
    EXPECT_FALSE(grantedElsewhere(lock, RWLock::Write));
    EXPECT_TRUE(lock.release(RWLock::Write));
    EXPECT_TRUE(grantedElsewhere(lock, RWLock::Write));
}

TEST(RWLock, ReleaseWithoutHoldingIsRefused) {
    RWLock lock;
    EXPECT_FALSE(lock.release(RWLock::Read));
    EXPECT_FALSE(lock.release(RWLock::Write));
    ASSERT_TRUE(lock.acquire(RWLock::Read));
    EXPECT_FALSE(lock.release(RWLock::Write));
    EXPECT_TRUE(lock.release(RWLock::Read));

    // Each take is released once, and only by the thread that holds it.
    ASSERT_TRUE(lock.acquire(RWLock::Read));
    ASSERT_TRUE(lock.acquire(RWLock::Read));
    EXPECT_FALSE(
        std::async(std::launch::async, [&lock] { return lock.release(RWLock::Read); }).get());
    EXPECT_TRUE(lock.release(RWLock::Read));
    EXPECT_TRUE(lock.release(RWLock::Read));
    EXPECT_FALSE(lock.release(RWLock::Read));
    EXPECT_TRUE(grantedElsewhere(lock, RWLock::Write));
}

// The holding thread takes the lock again while another thread's writer is queued behind its
// first hold: granted at once, or refused at once where it would wait on itself. Other
// threads are still refused a read while the writer is queued.
TEST(RWLock, SecondTakeOnTheHoldingThreadNeverWaitsForAQueuedWriter) {
    constexpr auto kWait = 20s;  // a deadlock shows as a wait that runs out
    struct Case {
        RWLock::AccessType first, second;
        bool single;  // tryAcquire rather than acquire
        bool granted;
    };
    const Case cases[] = {
        {RWLock::Read, RWLock::Read, false, true},   {RWLock::Read, RWLock::Read, true, true},
        {RWLock::Read, RWLock::Write, false, false}, {RWLock::Read, RWLock::Write, true, false},
        {RWLock::Write, RWLock::Write, false, true}, {RWLock::Write, RWLock::Read, false, true},
        {RWLock::Write, RWLock::Read, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "first " << c.first << ", second " << c.second
                                        << (c.single ? " (single try)" : ""));
        // Threads still blocked when the test gives up are detached, not joined, so a deadlock
        // fails the test instead of hanging it; what they use is shared with them.
        auto lock = std::make_shared<RWLock>();
        auto held = std::make_shared<std::promise<void>>();
        auto go = std::make_shared<std::promise<void>>();
        auto granted = std::make_shared<std::promise<bool>>();
        auto wrote = std::make_shared<std::promise<void>>();
        auto isHeld = held->get_future();
        auto result = granted->get_future();
        auto written = wrote->get_future();
        std::thread([=, goFuture = go->get_future()] {
            lock->acquire(c.first);
            held->set_value();
            goFuture.wait();
            const bool got = c.single ? lock->tryAcquire(c.second) : lock->acquire(c.second);
            if (got) {
                lock->release(c.second);
            }
            lock->release(c.first);
            granted->set_value(got);
        }).detach();
        ASSERT_EQ(isHeld.wait_for(kWait), std::future_status::ready);
        std::thread([=] {
            lock->acquire(RWLock::Write);
            lock->release(RWLock::Write);
            wrote->set_value();
        }).detach();
        // Under a read hold the queued writer shows as reads refused elsewhere.
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (c.first == RWLock::Read && grantedElsewhere(*lock, RWLock::Read)) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no writer queued";
            std::this_thread::yield();
        }
        go->set_value();
        ASSERT_EQ(result.wait_for(kWait), std::future_status::ready)
            << "the second take waited for the queued writer";
        EXPECT_EQ(result.get(), c.granted);
        ASSERT_EQ(written.wait_for(kWait), std::future_status::ready);
        EXPECT_TRUE(grantedElsewhere(*lock, RWLock::Write)) << "a take was not given back";
    }
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

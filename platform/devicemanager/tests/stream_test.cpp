// Data streams: ring, records, reasons, delivery threads and destruction.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "devicemanager/rzcore.h"

namespace {

using namespace std::chrono_literals;

struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> reasons;
    std::vector<std::thread::id> threads;
    int result = 0;

    void add(int reason) {
        std::lock_guard<std::mutex> lock(mutex);
        reasons.push_back(reason);
        threads.push_back(std::this_thread::get_id());
        changed.notify_all();
    }
    bool waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return reasons.size() >= count; });
    }
};

int recordReason(RzDataStream* s, int reason) {
    auto* r = static_cast<Recorder*>(RZ_DataStreamUser(s));
    r->add(reason);
    return r->result;
}

struct Source {
    std::vector<uint8_t> bytes;
    size_t offset = 0;
};
int readSource(void* device, void* buffer, int count) {
    auto* src = static_cast<Source*>(device);
    int n = std::min<int>(count, static_cast<int>(src->bytes.size() - src->offset));
    std::memcpy(buffer, src->bytes.data() + src->offset, static_cast<size_t>(n));
    src->offset += static_cast<size_t>(n);
    return n;
}
int failingRead(void*, void*, int) {
    return RZERR_SERIAL_READ;
}

TEST(RzDataStream, RecordsEndAtTheTerminatorAcrossTheRingEdge) {
    RzDataStream* s = RZ_DataStreamNew(16, nullptr, nullptr);
    ASSERT_NE(s, nullptr);
    uint8_t scratch[16];
    EXPECT_EQ(RZ_DataStreamWrite(s, "0123456789", 10), 10);
    EXPECT_EQ(RZ_DataStreamRead(s, scratch, 10), 10);  // positions now near the edge
    const char rec[] = "S\x01\x02\x03\x81";            // 6 bytes with the NUL
    EXPECT_EQ(RZ_DataStreamScan(s, 0, 1000000), -1);
    EXPECT_EQ(RZ_DataStreamWrite(s, rec, sizeof(rec)), 6);
    EXPECT_EQ(RZ_DataStreamWrite(s, "ab", 2), 2);
    EXPECT_EQ(RZ_DataStreamScan(s, 0, 1000000), 6);
    EXPECT_EQ(RZ_DataStreamScan(s, 0, 5), -1);  // not within the limit
    EXPECT_EQ(RZ_DataStreamRead(s, scratch, 6), 6);
    EXPECT_EQ(std::memcmp(scratch, rec, 6), 0);
    EXPECT_EQ(RZ_DataStreamScan(s, 0, 1000000), -1);  // "ab" has no terminator yet
    EXPECT_EQ(RZ_DataStreamAvailable(s), 2);
    EXPECT_EQ(RZ_DataStreamDestroy(s), 0);
    EXPECT_EQ(RZ_DataStreamWrite(s, "x", 1), RZERR_INVALID_DATASTREAM);
    EXPECT_EQ(RZ_DataStreamDestroy(s), RZERR_INVALID_DATASTREAM);
}

TEST(RzDataStream, InPullsBytesAndGivesTheReadersResult) {
    Recorder rec;
    rec.result = RZERR_DATASTREAM_IN_PROGRESS;
    RzDataStream* s = RZ_DataStreamNew(2048, recordReason, &rec);
    Source src{{'G', 1, 2, 0}};
    EXPECT_EQ(RZ_DataStreamIn(s, readSource, &src), RZERR_DATASTREAM_IN_PROGRESS);
    EXPECT_EQ(RZ_DataStreamAvailable(s), 4);
    ASSERT_EQ(rec.reasons.size(), 1u);
    EXPECT_EQ(rec.reasons[0], RZ_STREAM_DATA);
    EXPECT_EQ(rec.threads[0], std::this_thread::get_id());
    rec.result = 0;
    EXPECT_EQ(RZ_DataStreamIn(s, readSource, &src), 0);  // nothing left to pull
    EXPECT_EQ(RZ_DataStreamIn(s, failingRead, nullptr), RZERR_SERIAL_READ);
    EXPECT_EQ(RZ_DataStreamAnnounce(s, RZERR_SERIAL_READ_TIMEOUT), 0);
    EXPECT_EQ(rec.reasons.back(), RZERR_SERIAL_READ_TIMEOUT);
    RZ_DataStreamDestroy(s);
}

int purgeWhenFull(RzDataStream* s, int reason) {
    static_cast<Recorder*>(RZ_DataStreamUser(s))->add(reason);
    if (reason == RZ_STREAM_FULL) {
        RZ_DataStreamPurge(s);
    }
    return 0;
}

TEST(RzDataStream, FullRingAnnouncesReasonFourAndTheReaderCanEmptyIt) {
    Recorder rec;
    RzDataStream* s = RZ_DataStreamNew(32, purgeWhenFull, &rec);
    uint8_t block[24] = {};
    EXPECT_EQ(RZ_DataStreamWrite(s, block, 24), 24);
    EXPECT_EQ(RZ_DataStreamWrite(s, block, 24), 24);  // reason 4, purged, then written
    EXPECT_NE(std::find(rec.reasons.begin(), rec.reasons.end(), RZ_STREAM_FULL), rec.reasons.end());
    EXPECT_EQ(RZ_DataStreamAvailable(s), 24);
    RZ_DataStreamDestroy(s);

    // Nobody empties it: the write is refused whole, never split.
    RzDataStream* dead = RZ_DataStreamNew(32, nullptr, nullptr);
    EXPECT_EQ(RZ_DataStreamWrite(dead, block, 24), 24);
    EXPECT_EQ(RZ_DataStreamWrite(dead, block, 24), 0);
    EXPECT_EQ(RZ_DataStreamAvailable(dead), 24);
    Source src{std::vector<uint8_t>(16, 1)};
    EXPECT_EQ(RZ_DataStreamWrite(dead, block, 8), 8);
    EXPECT_EQ(RZ_DataStreamIn(dead, readSource, &src), RZERR_DATASTREAM_IN_PROGRESS);
    RZ_DataStreamDestroy(dead);
}

TEST(RzDataStream, OwnThreadDeliversInOrderOnAnotherThread) {
    Recorder rec;
    RzDataStream* s = RZ_DataStreamNewEx(2048, recordReason, &rec, RZ_STREAM_OWN_THREAD);
    ASSERT_NE(s, nullptr);
    RZ_DataStreamAnnounce(s, RZERR_SERIAL_READ_TIMEOUT);
    RZ_DataStreamWrite(s, "x", 1);
    RZ_DataStreamAnnounce(s, RZ_STREAM_QUIT);
    ASSERT_TRUE(rec.waitFor(3));
    std::lock_guard<std::mutex> lock(rec.mutex);
    EXPECT_EQ(rec.reasons[0], RZERR_SERIAL_READ_TIMEOUT);
    EXPECT_EQ(rec.reasons[1], RZ_STREAM_DATA);
    EXPECT_EQ(rec.reasons[2], RZ_STREAM_QUIT);
    EXPECT_NE(rec.threads[0], std::this_thread::get_id());
    RZ_DataStreamDestroy(s);
}

// The glove driver's case: the reader waits for a reply that only the next feed brings.
struct WaitingReader {
    std::atomic<int> calls{0};
    std::atomic<bool> gotReply{false};
};
int waitForReply(RzDataStream* s, int reason) {
    auto* w = static_cast<WaitingReader*>(RZ_DataStreamUser(s));
    if (reason != RZERR_SERIAL_READ_TIMEOUT) {
        return 0;
    }
    ++w->calls;
    for (int i = 0; i < 1000 && !w->gotReply; ++i) {
        if (RZ_DataStreamScan(s, 0, 1000000) > 0) {
            w->gotReply = true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return 0;
}

TEST(RzDataStream, AReaderOnItsOwnThreadMayWaitForTheNextFeed) {
    WaitingReader w;
    RzDataStream* s = RZ_DataStreamNewEx(2048, waitForReply, &w, RZ_STREAM_OWN_THREAD);
    RZ_DataStreamAnnounce(s, RZERR_SERIAL_READ_TIMEOUT);
    while (w.calls == 0) {
        std::this_thread::sleep_for(1ms);
    }
    Source reply{{'?', 'p', 0}};
    EXPECT_GT(RZ_DataStreamIn(s, readSource, &reply), 0);  // not blocked by the reader
    for (int i = 0; i < 2000 && !w.gotReply; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(w.gotReply);
    RZ_DataStreamDestroy(s);
}

// A client that prints slowly (dmctl with a stalled stdout): the reader blocks until opened.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    std::atomic<bool> entered{false};
    std::atomic<int> bytes{0};
};
int gatedReader(RzDataStream* s, int reason) {
    auto* g = static_cast<Gate*>(RZ_DataStreamUser(s));
    if (reason != RZ_STREAM_DATA) {
        return 0;
    }
    g->entered = true;
    {
        std::unique_lock<std::mutex> lock(g->mutex);
        g->cv.wait(lock, [g] { return g->open; });
    }
    char buf[256];
    for (int n; (n = RZ_DataStreamRead(s, buf, sizeof(buf))) > 0;) {
        g->bytes += n;
    }
    return 0;
}

TEST(RzDataStream, ABlockedReaderOnItsOwnThreadNeverStallsTheWriter) {
    Gate g;
    RzDataStream* s = RZ_DataStreamNewEx(4096, gatedReader, &g, RZ_STREAM_OWN_THREAD);
    constexpr int kTotal = 50 * 64;
    // The writer has a thread of its own so that a stall fails the test instead of hanging it.
    std::atomic<int> written{0};
    std::thread writer([&] {
        uint8_t record[64] = {};
        for (int i = 0; i < kTotal / 64; ++i) {
            written += RZ_DataStreamWrite(s, record, sizeof(record));
        }
    });
    for (int i = 0; i < 10000 && (!g.entered || written < kTotal); ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(g.entered);
    EXPECT_EQ(written, kTotal);
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.open = true;
    }
    g.cv.notify_all();
    writer.join();
    for (int i = 0; i < 10000 && g.bytes < kTotal; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(g.bytes, kTotal);  // nothing lost while the reader was stuck
    RZ_DataStreamDestroy(s);
}

// The recovery pattern: an announcement's handler sends a command and waits for the data
// delivery that decodes the reply to clear a flag.
struct Recovery {
    std::atomic<bool> awaiting{false};
    std::atomic<bool> waiting{false};
    std::atomic<bool> answered{false};
};
int recoveryReader(RzDataStream* s, int reason) {
    auto* r = static_cast<Recovery*>(RZ_DataStreamUser(s));
    if (reason == RZ_STREAM_DATA) {
        char buf[64];
        while (RZ_DataStreamRead(s, buf, sizeof(buf)) > 0) {
            r->awaiting = false;  // the reply was decoded
        }
    } else if (reason == RZERR_SERIAL_READ_TIMEOUT) {
        r->awaiting = true;
        r->waiting = true;
        for (int i = 0; i < 500 && r->awaiting; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        r->answered = !r->awaiting;
    }
    return RZERR_DATASTREAM_IN_PROGRESS;
}

TEST(RzDataStream, AnAnnouncementMayWaitForADataDelivery) {
    Recovery r;
    RzDataStream* s = RZ_DataStreamNewEx(2048, recoveryReader, &r, RZ_STREAM_ANNOUNCE_THREAD);
    ASSERT_NE(s, nullptr);
    RZ_DataStreamAnnounce(s, RZERR_SERIAL_READ_TIMEOUT);
    while (!r.waiting) {
        std::this_thread::sleep_for(1ms);
    }
    Source reply{{'U', 0}};
    EXPECT_EQ(RZ_DataStreamIn(s, readSource, &reply), 2);
    for (int i = 0; i < 1000 && !r.answered; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(RZ_DataStreamDestroy(s), 0);
}

struct SlowReader {
    std::atomic<bool> inside{false};
    std::atomic<bool> finished{false};
};
int slowReader(RzDataStream* s, int) {
    auto* r = static_cast<SlowReader*>(RZ_DataStreamUser(s));
    r->inside = true;
    std::this_thread::sleep_for(100ms);
    // Destroy has begun meanwhile: the reader still finds its user.
    r->finished = RZ_DataStreamUser(s) == r;
    return 0;
}

TEST(RzDataStream, DestroyWaitsForADeliveryInFlight) {
    for (int flags : {RZ_STREAM_SYNCHRONOUS, RZ_STREAM_OWN_THREAD, RZ_STREAM_ANNOUNCE_THREAD}) {
        SlowReader r;
        RzDataStream* s = RZ_DataStreamNewEx(64, slowReader, &r, flags);
        std::thread feeder([s] { RZ_DataStreamAnnounce(s, 1); });
        while (!r.inside) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(RZ_DataStreamDestroy(s), 0);
        EXPECT_TRUE(r.finished) << "flags " << flags;
        feeder.join();
    }
}

int destroyItself(RzDataStream* s, int reason) {
    if (reason == 1) {
        EXPECT_EQ(RZ_DataStreamDestroy(s), 0);
    }
    return 0;
}

TEST(RzDataStream, ReaderMayDestroyItsOwnStream) {
    RzDataStream* a = RZ_DataStreamNew(64, destroyItself, nullptr);
    RZ_DataStreamAnnounce(a, 1);
    EXPECT_EQ(RZ_DataStreamIsValid(a), 0);
    RzDataStream* b = RZ_DataStreamNewEx(64, destroyItself, nullptr, RZ_STREAM_OWN_THREAD);
    RZ_DataStreamAnnounce(b, 1);
    for (int i = 0; i < 2000 && RZ_DataStreamIsValid(b); ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(RZ_DataStreamIsValid(b), 0);
}

TEST(RzDataStream, StreamInAClientListLeavesItWhenDestroyed) {
    RzList* list = RZ_ListNew();
    RzDataStream* s = RZ_DataStreamNew(64, nullptr, nullptr);
    EXPECT_EQ(RZ_ListAddItem(list, s), 0);
    EXPECT_EQ(RZ_ListItemIsOfList(list, s), 1);
    RZ_DataStreamDestroy(s);
    EXPECT_EQ(RZ_ListCount(list), 0);
    RzDataStream* kept = RZ_DataStreamNew(64, nullptr, nullptr);
    RZ_ListAddItem(list, kept);
    RZ_ListDestroy(list);  // unlinks, never frees a stream
    EXPECT_EQ(RZ_DataStreamIsValid(kept), 1);
    EXPECT_EQ(RZ_DataStreamDestroy(kept), 0);
}

TEST(RzDataStream, ConcurrentFeedersAndReaderLoseNothing) {
    RzDataStream* s = RZ_DataStreamNew(256, nullptr, nullptr);
    constexpr int kRecords = 2000;
    std::atomic<int> written{0};
    std::thread writer([&] {
        const char rec[4] = {'a', 'b', 'c', 0};
        for (int i = 0; i < kRecords;) {
            if (RZ_DataStreamWrite(s, rec, 4) == 4) {
                ++i;
                ++written;
            } else {
                std::this_thread::yield();
            }
        }
    });
    int records = 0;
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (records < kRecords && std::chrono::steady_clock::now() < deadline) {
        int len = RZ_DataStreamScan(s, 0, 1000000);
        if (len < 0) {
            std::this_thread::yield();
            continue;
        }
        char buf[4];
        ASSERT_EQ(len, 4);
        ASSERT_EQ(RZ_DataStreamRead(s, buf, 4), 4);
        ASSERT_EQ(std::memcmp(buf, "abc", 4), 0);
        ++records;
    }
    writer.join();
    EXPECT_EQ(records, kRecords);
    RZ_DataStreamDestroy(s);
}

}  // namespace

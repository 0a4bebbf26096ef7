// Data streams: a ring buffer with a reader callback.
//
// Lifetime: every call pins the stream (a counter under gMutex) for as long as it uses it, so
// RZ_DataStreamDestroy can wait for calls and deliveries in flight on other threads. A thread
// that destroys a stream it has pinned itself (from inside the reader callback) cannot wait
// for itself: the stream is then freed by the last unpin.
//
// Delivery: synchronous streams call the reader on the thread that feeds or announces, one
// delivery at a time (a recursive lock lets the reader feed or announce on its own stream).
// Streams with their own thread queue reasons (merging repeated reason 0) and deliver them in
// order on that thread. With RZ_STREAM_ANNOUNCE_THREAD, announcements (every reason but data
// and full) have a second thread, so a reader handling an announcement may wait for data
// that the first thread delivers meanwhile.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "devicemanager/rzcore.h"
#include "rzinternal.hpp"

struct RzDataStream {
    RzListItem item{};  // first: a stream can be a member of one list (a client-stream list)

    std::mutex ring;
    std::condition_variable space;  // signalled when bytes are read or purged
    std::vector<uint8_t> buffer;
    size_t head = 0;  // read position
    size_t count = 0;

    RzStreamReader reader = nullptr;
    void* user = nullptr;
    std::atomic<void*> owner{nullptr};
    int flags = 0;

    // Guarded by gMutex.
    int pins = 0;
    bool freeOnLastUnpin = false;
    std::atomic<bool> dead{false};

    std::recursive_mutex delivery;  // synchronous deliveries, one at a time

    // Own-thread delivery: lane 0 for data and full, lane 1 for announcements when they
    // have their own thread.
    struct Lane {
        std::mutex mutex;
        std::condition_variable cv;
        std::deque<int> queue;
        bool dataQueued = false;
        bool stop = false;
        std::thread worker;
    };
    Lane lanes[2];
    int laneCount = 0;
};

namespace {

constexpr size_t kMaxQueuedReasons = 1024;
constexpr int kMaxSize = 1 << 20;

std::mutex gMutex;
std::condition_variable gUnpinned;
std::unordered_set<const void*>& live() {  // usable streams
    static auto* s = new std::unordered_set<const void*>;
    return *s;
}
std::unordered_set<const void*>& existing() {  // not yet freed (live or being destroyed)
    static auto* s = new std::unordered_set<const void*>;
    return *s;
}
thread_local std::vector<RzDataStream*> tPins;
// Streams whose reader runs on this thread, innermost last (each pinned meanwhile). Plain
// storage, usable from exit handlers; readers nest only as deep as streams feed each other.
constexpr int kMaxNestedReaders = 16;
thread_local RzDataStream* tDelivering[kMaxNestedReaders];
thread_local int tDeliveringDepth = 0;

int callReader(RzDataStream* s, int reason) {
    struct Mark {
        explicit Mark(RzDataStream* stream) {
            if (tDeliveringDepth < kMaxNestedReaders) {
                tDelivering[tDeliveringDepth] = stream;
            }
            ++tDeliveringDepth;
        }
        ~Mark() { --tDeliveringDepth; }
    } mark(s);
    return s->reader(s, reason);
}

void unpin(RzDataStream* s) {
    bool free = false;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        auto it = std::find(tPins.begin(), tPins.end(), s);
        if (it != tPins.end()) {
            tPins.erase(it);
        }
        --s->pins;
        if (s->dead.load()) {
            if (s->freeOnLastUnpin && s->pins == 0) {
                existing().erase(s);
                free = true;
            }
            gUnpinned.notify_all();
        }
    }
    if (free) {
        s->item.magic = 0;
        delete s;
    }
}

class Pin {
  public:
    explicit Pin(const void* p) {
        std::lock_guard<std::mutex> lock(gMutex);
        if (p != nullptr && live().count(p) != 0) {
            s_ = static_cast<RzDataStream*>(const_cast<void*>(p));
            ++s_->pins;
            tPins.push_back(s_);
        }
    }
    ~Pin() {
        if (s_ != nullptr) {
            unpin(s_);
        }
    }
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    RzDataStream* get() const { return s_; }

  private:
    RzDataStream* s_ = nullptr;
};

bool ownThread(const RzDataStream* s) {
    return (s->flags & RZ_STREAM_OWN_THREAD) != 0;
}

int deliverSync(RzDataStream* s, int reason) {
    if (s->reader == nullptr || s->dead.load()) {
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(s->delivery);
    return callReader(s, reason);
}

void enqueue(RzDataStream* s, int reason) {
    bool announcement = reason != RZ_STREAM_DATA && reason != RZ_STREAM_FULL;
    RzDataStream::Lane& lane = s->lanes[announcement && s->laneCount > 1 ? 1 : 0];
    {
        std::lock_guard<std::mutex> lock(lane.mutex);
        if (lane.stop) {
            return;
        }
        if (reason == RZ_STREAM_DATA) {
            if (lane.dataQueued) {
                return;
            }
            lane.dataQueued = true;
        }
        // A reader that never returns must not make the queue grow without bound; repeated
        // announcements (a silent line) are what would be dropped.
        if (lane.queue.size() >= kMaxQueuedReasons) {
            return;
        }
        lane.queue.push_back(reason);
    }
    lane.cv.notify_one();
}

int deliver(RzDataStream* s, int reason) {
    if (ownThread(s)) {
        enqueue(s, reason);
        return 0;
    }
    return deliverSync(s, reason);
}

void deliveryLoop(RzDataStream* s, int index) {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        tPins.push_back(s);  // the creator counted this pin
    }
    RzDataStream::Lane& lane = s->lanes[index];
    for (;;) {
        int reason;
        {
            std::unique_lock<std::mutex> lock(lane.mutex);
            lane.cv.wait(lock, [&lane] { return lane.stop || !lane.queue.empty(); });
            if (lane.stop) {
                break;
            }
            reason = lane.queue.front();
            lane.queue.pop_front();
            if (reason == RZ_STREAM_DATA) {
                lane.dataQueued = false;
            }
        }
        // As for synchronous delivery: nothing more once the stream is being destroyed.
        if (s->reader != nullptr && !s->dead.load()) {
            callReader(s, reason);
        }
    }
    unpin(s);  // last touch of the stream: it may be freed here
}

size_t capacity(const RzDataStream* s) {
    return s->buffer.size();
}

// Appends all of `data` or nothing (records are never split).
bool tryAppend(RzDataStream* s, const uint8_t* data, size_t n) {
    std::lock_guard<std::mutex> lock(s->ring);
    if (capacity(s) - s->count < n) {
        return false;
    }
    size_t tail = (s->head + s->count) % capacity(s);
    size_t first = std::min(n, capacity(s) - tail);
    std::memcpy(s->buffer.data() + tail, data, first);
    std::memcpy(s->buffer.data(), data + first, n - first);
    s->count += n;
    return true;
}

size_t freeSpace(RzDataStream* s) {
    std::lock_guard<std::mutex> lock(s->ring);
    return capacity(s) - s->count;
}

}  // namespace

bool rzcore::inReaderOf(const void* instance) {
    int recorded = std::min(tDeliveringDepth, kMaxNestedReaders);
    return instance != nullptr &&
           std::any_of(tDelivering, tDelivering + recorded,
                       [instance](const RzDataStream* s) { return s->owner.load() == instance; });
}

bool rzcore::isStream(const void* p) {
    std::lock_guard<std::mutex> lock(gMutex);
    return p != nullptr && existing().count(p) != 0;
}

extern "C" {

RzDataStream* RZ_DataStreamNew(int size, RzStreamReader reader, void* user) {
    return RZ_DataStreamNewEx(size, reader, user, RZ_STREAM_SYNCHRONOUS);
}

RzDataStream* RZ_DataStreamNewEx(int size, RzStreamReader reader, void* user, int flags) {
    if (size <= 0 || size > kMaxSize ||
        (flags & ~(RZ_STREAM_OWN_THREAD | RZ_STREAM_ANNOUNCE_THREAD)) != 0) {
        return nullptr;
    }
    auto* s = new (std::nothrow) RzDataStream;
    if (s == nullptr) {
        return nullptr;
    }
    s->buffer.assign(static_cast<size_t>(size), 0);
    s->item.magic = RZ_LIST_MAGIC;
    s->item.id = rzcore::nextItemId();
    s->reader = reader;
    s->user = user;
    if (flags & RZ_STREAM_ANNOUNCE_THREAD) {
        flags |= RZ_STREAM_OWN_THREAD;
    }
    s->flags = flags;
    s->laneCount = (flags & RZ_STREAM_ANNOUNCE_THREAD) ? 2 : (flags & RZ_STREAM_OWN_THREAD) ? 1 : 0;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        live().insert(s);
        existing().insert(s);
        s->pins += s->laneCount;  // one held by each delivery thread for its whole life
    }
    for (int i = 0; i < s->laneCount; ++i) {
        try {
            s->lanes[i].worker = std::thread(deliveryLoop, s, i);
        } catch (...) {
            // Threads already started see the stop and give their pins back.
            {
                std::lock_guard<std::mutex> lock(gMutex);
                s->pins -= s->laneCount - i;
            }
            RZ_DataStreamDestroy(s);
            return nullptr;
        }
    }
    return s;
}

int RZ_DataStreamDestroy(RzDataStream* s) {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (s == nullptr || live().count(s) == 0) {
            return RZERR_INVALID_DATASTREAM;
        }
    }
    if (void* list = std::atomic_ref<void*>(s->item.list).load()) {
        RZ_ListDeleteItem(static_cast<RzList*>(list), s);
    }
    int mine = 0;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (live().erase(s) == 0) {
            return RZERR_INVALID_DATASTREAM;  // destroyed meanwhile by another thread
        }
        s->dead.store(true);
        mine = static_cast<int>(std::count(tPins.begin(), tPins.end(), s));
    }
    bool self = false;
    for (int i = 0; i < s->laneCount; ++i) {
        RzDataStream::Lane& lane = s->lanes[i];
        {
            std::lock_guard<std::mutex> lock(lane.mutex);
            lane.stop = true;
        }
        lane.cv.notify_all();
        if (!lane.worker.joinable()) {
            continue;
        }
        if (lane.worker.get_id() == std::this_thread::get_id()) {
            lane.worker.detach();
            self = true;
        } else {
            lane.worker.join();
        }
    }
    s->space.notify_all();
    {
        std::unique_lock<std::mutex> lock(gMutex);
        if (mine > 0 || self) {
            s->freeOnLastUnpin = true;
            return RZERR_NO_ERROR;
        }
        gUnpinned.wait(lock, [s] { return s->pins == 0; });
        existing().erase(s);
    }
    s->item.magic = 0;
    delete s;
    return RZERR_NO_ERROR;
}

void* RZ_DataStreamUser(RzDataStream* stream) {
    // A reader still running while its stream is destroyed asks for its user too: any stream
    // not yet freed answers, not only a live one.
    std::lock_guard<std::mutex> lock(gMutex);
    return stream != nullptr && existing().count(stream) != 0 ? stream->user : nullptr;
}

int RZ_DataStreamSetOwner(RzDataStream* stream, void* owner) {
    Pin pin(stream);
    if (!pin.get()) {
        return RZERR_INVALID_DATASTREAM;
    }
    pin.get()->owner.store(owner);
    return RZERR_NO_ERROR;
}

void* RZ_DataStreamOwner(RzDataStream* stream) {
    Pin pin(stream);
    return pin.get() ? pin.get()->owner.load() : nullptr;
}

int RZ_DataStreamIsValid(const void* stream) {
    std::lock_guard<std::mutex> lock(gMutex);
    return stream != nullptr && live().count(stream) != 0 ? 1 : 0;
}

int RZ_DataStreamIn(RzDataStream* stream, RzReadFunction readfn, void* device) {
    Pin pin(stream);
    RzDataStream* s = pin.get();
    if (s == nullptr) {
        return RZERR_INVALID_DATASTREAM;
    }
    if (readfn == nullptr) {
        return RZERR_INVALID_PARAM;
    }
    size_t room = freeSpace(s);
    if (room == 0) {
        deliver(s, RZ_STREAM_FULL);
        if (ownThread(s)) {
            // Give the reader's thread a moment to empty the ring before giving up.
            std::unique_lock<std::mutex> lock(s->ring);
            s->space.wait_for(lock, std::chrono::milliseconds(50),
                              [s] { return s->count < capacity(s) || s->dead.load(); });
        }
        room = freeSpace(s);
        if (room == 0) {
            return RZERR_DATASTREAM_IN_PROGRESS;
        }
    }
    uint8_t chunk[4096];
    int want = static_cast<int>(std::min(room, sizeof(chunk)));
    int n = readfn(device, chunk, want);
    if (n <= 0) {
        return n;
    }
    n = std::min(n, want);
    if (!tryAppend(s, chunk, static_cast<size_t>(n))) {
        return RZERR_DATASTREAM_IN_PROGRESS;  // another feeder took the room meanwhile
    }
    if (ownThread(s)) {
        enqueue(s, RZ_STREAM_DATA);
        return n;
    }
    int r = deliverSync(s, RZ_STREAM_DATA);
    return r < 0 ? r : n;
}

int RZ_DataStreamScan(RzDataStream* stream, int terminator, int maxLength) {
    Pin pin(stream);
    RzDataStream* s = pin.get();
    if (s == nullptr) {
        return RZERR_INVALID_DATASTREAM;
    }
    if (terminator < 0 || terminator > 255 || maxLength <= 0) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(s->ring);
    size_t limit = std::min(s->count, static_cast<size_t>(maxLength));
    for (size_t i = 0; i < limit; ++i) {
        if (s->buffer[(s->head + i) % capacity(s)] == static_cast<uint8_t>(terminator)) {
            return static_cast<int>(i + 1);
        }
    }
    return -1;
}

int RZ_DataStreamRead(RzDataStream* stream, void* buffer, int length) {
    Pin pin(stream);
    RzDataStream* s = pin.get();
    if (s == nullptr) {
        return RZERR_INVALID_DATASTREAM;
    }
    if (length < 0 || (buffer == nullptr && length > 0)) {
        return RZERR_INVALID_PARAM;
    }
    size_t n;
    {
        std::lock_guard<std::mutex> lock(s->ring);
        n = std::min(s->count, static_cast<size_t>(length));
        if (n == 0) {
            return 0;
        }
        size_t first = std::min(n, capacity(s) - s->head);
        auto* out = static_cast<uint8_t*>(buffer);
        std::memcpy(out, s->buffer.data() + s->head, first);
        std::memcpy(out + first, s->buffer.data(), n - first);
        s->head = (s->head + n) % capacity(s);
        s->count -= n;
    }
    s->space.notify_all();
    return static_cast<int>(n);
}

int RZ_DataStreamWrite(RzDataStream* stream, const void* buffer, int length) {
    Pin pin(stream);
    RzDataStream* s = pin.get();
    if (s == nullptr) {
        return RZERR_INVALID_DATASTREAM;
    }
    if (length < 0 || (buffer == nullptr && length > 0)) {
        return RZERR_INVALID_PARAM;
    }
    if (length == 0) {
        return 0;
    }
    const auto* data = static_cast<const uint8_t*>(buffer);
    if (!tryAppend(s, data, static_cast<size_t>(length))) {
        deliver(s, RZ_STREAM_FULL);
        if (!tryAppend(s, data, static_cast<size_t>(length))) {
            return 0;
        }
    }
    deliver(s, RZ_STREAM_DATA);
    return length;
}

int RZ_DataStreamAvailable(RzDataStream* stream) {
    Pin pin(stream);
    RzDataStream* s = pin.get();
    if (s == nullptr) {
        return RZERR_INVALID_DATASTREAM;
    }
    std::lock_guard<std::mutex> lock(s->ring);
    return static_cast<int>(s->count);
}

int RZ_DataStreamPurge(RzDataStream* stream) {
    Pin pin(stream);
    RzDataStream* s = pin.get();
    if (s == nullptr) {
        return RZERR_INVALID_DATASTREAM;
    }
    {
        std::lock_guard<std::mutex> lock(s->ring);
        s->head = 0;
        s->count = 0;
    }
    s->space.notify_all();
    return RZERR_NO_ERROR;
}

int RZ_DataStreamAnnounce(RzDataStream* stream, int reason) {
    Pin pin(stream);
    RzDataStream* s = pin.get();
    if (s == nullptr) {
        return RZERR_INVALID_DATASTREAM;
    }
    deliver(s, reason);
    return RZERR_NO_ERROR;
}

}  // extern "C"

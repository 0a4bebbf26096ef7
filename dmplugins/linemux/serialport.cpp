// Serial ports on POSIX: the line through platform/tty, poll() with a wake-up descriptor for
// the watcher, so stopping a watcher never needs to kill its thread.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>

#include "common/dpframe.hpp"
#include "linemux/rzserial.h"
#include "tty/tty.hpp"

struct RzSerialPort {
    uint32_t magic = RZ_SERIAL_MAGIC;
    // Replaced by the watcher when a hung-up line is opened again: writers and flushes take
    // it under writeMutex, which the watcher holds while it swaps.
    std::atomic<int> fd{-1};
    std::string path;  // as opened; fixed after RZ_SerialOpen
    int baud = 0;
    int wakeFd = -1;  // eventfd: a write wakes the watcher's poll()
    // The running watcher, and one that ended by itself and still has to be awaited. A
    // watcher that ends by itself moves its handle from `watcher` to `finished`, so the port
    // can be watched again; the next watch, unwatch or close awaits it (never the thread
    // itself). Both guarded by handleMutex, which is never held while waiting.
    RzThread* watcher = nullptr;
    RzThread* finished = nullptr;
    std::mutex handleMutex;
    std::atomic<RzDataStream*> stream{nullptr};
    uint16_t eventChar = 0;  // high byte 1 = event-character mode, low byte the char
    std::atomic<bool> running{false};
    int watchTimeoutMs = 1000;
    int secondTimeoutMs = 1000;
    int writeMultiplierMs = 1;
    std::mutex writeMutex;    // writes come from several core threads
    std::mutex controlMutex;  // watch, unwatch, close (held while awaiting a watcher)

    // Watcher thread only.
    int lastRead = 0;
    bool sawEventChar = false;   // the last read brought the event character
    uint8_t pending[1024] = {};  // event-character mode: bytes held until the character
    int pendingLength = 0;
};

namespace {

constexpr int kInputQueue = 1024;

// The port whose watcher runs on this thread (a reader called back on the watcher thread
// must not wait for that thread, nor for the lock its stopper holds while waiting).
thread_local const RzSerialPort* tWatching = nullptr;

std::mutex gPortsMutex;
// A plain static: the library may be unloaded, which would strand a heap copy.
std::unordered_set<const RzSerialPort*>& ports() {
    static std::unordered_set<const RzSerialPort*> s;
    return s;
}

bool valid(const RzSerialPort* port) {
    std::lock_guard<std::mutex> lock(gPortsMutex);
    return port != nullptr && ports().count(port) != 0 && port->magic == RZ_SERIAL_MAGIC &&
           port->fd >= 0;
}

// The port manager's speeds: multiples of 9600 up to 115200.
bool allowedBaud(int baud) {
    switch (baud) {
        case 9600:
        case 19200:
        case 38400:
        case 57600:
        case 115200:
            return true;
        default:
            return false;
    }
}

int configureLine(RzSerialPort* port, int baud) {
    if (!allowedBaud(baud)) {
        return RZERR_SERIAL_INVALID_BAUDRATE;
    }
    // DTR and RTS off.
    if (tty::configure(port->fd, static_cast<uint32_t>(baud), tty::Lines::kOff) !=
        tty::Setup::kOk) {
        return RZERR_GENERIC_ERROR;
    }
    port->writeMultiplierMs = std::max(1, static_cast<int>(100.0 / baud));
    return RZERR_NO_ERROR;
}

int readAdapter(void* device, void* buffer, int count) {
    auto* port = static_cast<RzSerialPort*>(device);
    int n = RZ_SerialRead(port, buffer, count);
    port->lastRead = n > 0 ? n : 0;
    return n;
}

int takePending(void* device, void* buffer, int count) {
    auto* port = static_cast<RzSerialPort*>(device);
    int n = std::min(count, port->pendingLength);
    std::memcpy(buffer, port->pending, static_cast<size_t>(n));
    std::memmove(port->pending, port->pending + n, static_cast<size_t>(port->pendingLength - n));
    port->pendingLength -= n;
    return n;
}

// Event-character mode: bytes are held until the event character (or a full input queue)
// arrives, then everything held goes to the stream, as a port event on the character would.
int feedOnEventChar(RzSerialPort* port, RzDataStream* stream) {
    int room = kInputQueue - port->pendingLength;
    int n = RZ_SerialRead(port, port->pending + port->pendingLength, room);
    if (n < 0) {
        return n;
    }
    port->lastRead = n;
    uint8_t c = static_cast<uint8_t>(port->eventChar & 0xFF);
    bool flagged = n > 0 && std::memchr(port->pending + port->pendingLength, c,
                                        static_cast<size_t>(n)) != nullptr;
    port->pendingLength += n;
    port->sawEventChar = flagged;
    if (!flagged && port->pendingLength < kInputQueue) {
        return n;
    }
    int r = n;
    while (port->pendingLength > 0) {
        int before = port->pendingLength;
        r = RZ_DataStreamIn(stream, takePending, port);
        if ((r < 0 && r != RZERR_DATASTREAM_IN_PROGRESS) || port->pendingLength == before) {
            break;
        }
    }
    return r;
}

void sleepOnWake(RzSerialPort* port, int ms) {
    pollfd p{port->wakeFd, POLLIN, 0};
    poll(&p, 1, ms);
}

// A pseudo-terminal's slave name dies with its master and may be given to an unrelated
// terminal next; any other path (a device node, a link a simulator re-points) names the same
// line again when it comes back.
bool reopenable(const RzSerialPort* port) {
    return port->path.rfind("/dev/pts/", 0) != 0;
}

// The far end hung up (a cable pulled, a unit or simulator restarted): the line is silent to
// the stream, as an unplugged cable is, and the path is opened again once a second until it
// answers. False when the watcher is being stopped meanwhile.
bool awaitLine(RzSerialPort* port, RzDataStream* stream) {
    DP_LOG(0, "[seriald] RZ_SerialWatch: %s hung up, waiting for it to come back.\n",
           port->path.c_str());
    port->pendingLength = 0;  // a partial record of the lost line
    while (port->running.load()) {
        sleepOnWake(port, port->watchTimeoutMs);
        if (!port->running.load()) {
            return false;
        }
        int fd = tty::openExclusive(port->path);
        if (fd >= 0 && tty::configure(fd, static_cast<uint32_t>(port->baud), tty::Lines::kOff) !=
                           tty::Setup::kOk) {
            tty::closeExclusive(fd);
            fd = -1;
        }
        if (fd < 0) {
            RZ_DataStreamAnnounce(stream, RZERR_SERIAL_READ_TIMEOUT);
            continue;
        }
        tty::flush(fd, true, true);
        int old;
        {
            std::lock_guard<std::mutex> lock(port->writeMutex);
            old = port->fd.exchange(fd);
        }
        tty::closeExclusive(old);
        DP_LOG(0, "[seriald] RZ_SerialWatch: %s is back.\n", port->path.c_str());
        return true;
    }
    return false;
}

int watcherMain(void* arg) {
    auto* port = static_cast<RzSerialPort*>(arg);
    tWatching = port;
    RzDataStream* stream = port->stream.load();
    bool eventMode = (port->eventChar >> 8) != 0;
    auto lastActivity = std::chrono::steady_clock::now();
    while (port->running.load()) {
        auto silentFor = std::chrono::steady_clock::now() - lastActivity;
        int waitMs = port->watchTimeoutMs -
                     static_cast<int>(
                         std::chrono::duration_cast<std::chrono::milliseconds>(silentFor).count());
        pollfd fds[2] = {{port->fd, POLLIN, 0}, {port->wakeFd, POLLIN, 0}};
        int r = poll(fds, 2, std::max(0, waitMs));
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            DP_LOG(0, "serial_watcher: error: %d\n", errno);
            break;
        }
        if (fds[1].revents != 0) {
            uint64_t drained;
            ssize_t ignored = read(port->wakeFd, &drained, sizeof(drained));
            (void)ignored;
            continue;
        }
        // Counted from the last activity, not from poll(): in event-character mode a line
        // that keeps sending bytes without the character is as silent as an idle one.
        if (r == 0 || std::chrono::steady_clock::now() - lastActivity >=
                          std::chrono::milliseconds(port->watchTimeoutMs)) {
            RZ_DataStreamAnnounce(stream, RZERR_SERIAL_READ_TIMEOUT);
            lastActivity = std::chrono::steady_clock::now();
            if (r == 0) {
                continue;
            }
        }
        short ev = fds[0].revents;
        if ((ev & (POLLERR | POLLNVAL)) != 0 || ((ev & POLLHUP) != 0 && (ev & POLLIN) == 0)) {
            DP_LOG(0, "RZ_SerialWatch: waitcommevent error %d\n", ev);
            RZ_DataStreamAnnounce(stream, RZERR_SERIAL_SELECT);
            if ((ev & POLLHUP) != 0 && reopenable(port)) {
                if (!awaitLine(port, stream)) {
                    break;
                }
                lastActivity = std::chrono::steady_clock::now();
                continue;
            }
            break;
        }
        port->lastRead = 0;
        port->sawEventChar = false;
        int n =
            eventMode ? feedOnEventChar(port, stream) : RZ_DataStreamIn(stream, readAdapter, port);
        // Activity is what would end the port-event wait: any byte, or in event-character
        // mode only the character itself.
        if (eventMode ? port->sawEventChar : port->lastRead > 0) {
            lastActivity = std::chrono::steady_clock::now();
        }
        if (n < 0 && n != RZERR_DATASTREAM_IN_PROGRESS) {
            if (dp::verbose(0)) {
                RZ_ErrorPrint(n, "[seriald] RZ_SerialWatch");
            }
            RZ_DataStreamAnnounce(stream, RZERR_SERIAL_READ);
            if (tty::hungUp(port->fd) && reopenable(port)) {
                if (!awaitLine(port, stream)) {
                    break;
                }
                lastActivity = std::chrono::steady_clock::now();
                continue;
            }
            break;
        }
        if (port->lastRead == 0) {
            // Readable but nothing taken: the stream is full (let its reader catch up) or the
            // device reports readiness without data; never spin at the watcher's priority.
            sleepOnWake(port, n == RZERR_DATASTREAM_IN_PROGRESS ? 10 : 5);
        }
    }
    {
        // Ended by itself (a hang-up, a read error) unless a stopper took the handle first.
        std::lock_guard<std::mutex> lock(port->handleMutex);
        if (port->watcher != nullptr) {
            port->finished = port->watcher;
            port->watcher = nullptr;
            port->running.store(false);
        }
    }
    DP_LOG(2, "[seriald] RZ_SerialWatch: announce quit.\n");
    RZ_DataStreamAnnounce(stream, RZ_STREAM_QUIT);
    DP_LOG(1, "[seriald] RZ_SerialWatch: Watcher exit.\n");
    tWatching = nullptr;
    return 0;
}

void awaitWatcher(RzThread* thread, const char* who) {
    while (RZ_AwaitThread(thread, 1000) == RZERR_THREAD_TIMEOUT) {
        DP_LOG(0, "[seriald] %s: worker thread still running, waiting.\n", who);
    }
}

// Awaits a watcher that ended by itself (it is past its loop: the wait is short). Call with
// controlMutex held.
void reapFinished(RzSerialPort* port, const char* who) {
    RzThread* done;
    {
        std::lock_guard<std::mutex> lock(port->handleMutex);
        done = std::exchange(port->finished, nullptr);
    }
    if (done != nullptr) {
        awaitWatcher(done, who);
    }
}

// Wakes the watcher and waits for it for as long as it takes (never killed: it may be
// inside the stream's reader). Call with controlMutex held.
void stopWatcher(RzSerialPort* port, const char* who) {
    RzThread* running;
    {
        std::lock_guard<std::mutex> lock(port->handleMutex);
        running = std::exchange(port->watcher, nullptr);
        port->running.store(false);
    }
    if (running != nullptr) {
        uint64_t one = 1;
        ssize_t ignored = write(port->wakeFd, &one, sizeof(one));
        (void)ignored;
        DP_LOG(2, "[seriald] %s: wait for worker to quit...\n", who);
        awaitWatcher(running, who);
        DP_LOG(1, "[seriald] %s: worker thread closed.\n", who);
    }
    reapFinished(port, who);
}

}  // namespace

extern "C" {

RZ_PLUGIN_EXPORT RzSerialPort* RZ_SerialOpen(const char* path, const char* settings) {
    int baud = 0, eventChar = 0;
    unsigned char eventValue = 0;
    RzKeyValue table[] = {
        {RZ_KV_INT, "baudrate", &baud, "115200"},
        {RZ_KV_BOOL, "eventchar", &eventChar, "false"},
        {RZ_KV_BYTE, "eventcharval", &eventValue, ""},
        {RZ_KV_END, nullptr, nullptr, nullptr},
    };
    if (!RZ_GetKeyValue(settings, table, 1)) {
        DP_LOG(0, "[seriald] RZ_SerialOpen: invalid settings %s\n", settings);
        RZ_SetLastError(RZERR_INVALID_URL);
        return nullptr;
    }
    if (path == nullptr || *path == '\0') {
        RZ_SetLastError(RZERR_INVALID_DEVICE);
        return nullptr;
    }
    auto* port = new (std::nothrow) RzSerialPort;
    if (port == nullptr) {
        DP_LOG(0, "RZ_SerialOpen: Ran out of memory.\n");
        RZ_SetLastError(RZERR_OUT_OF_MEMORY);
        return nullptr;
    }
    port->eventChar = static_cast<uint16_t>((eventChar ? 1 : 0) << 8 | eventValue);
    port->path = path;
    port->baud = baud;
    port->fd = tty::openExclusive(path);
    if (port->fd < 0) {
        int code = errno == EBUSY ? RZERR_DEVICE_IN_USE : RZERR_INVALID_DEVICE;
        DP_LOG(0, "[seriald] RZ_SerialOpen: %s: %s\n", path, std::strerror(errno));
        delete port;
        RZ_SetLastError(code);
        return nullptr;
    }
    port->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (port->wakeFd < 0) {
        tty::closeExclusive(port->fd);
        delete port;
        RZ_SetLastError(RZERR_GENERIC_ERROR);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(gPortsMutex);
        ports().insert(port);
    }
    int r = configureLine(port, baud);
    if (r != RZERR_NO_ERROR) {
        DP_LOG(0, "[seriald] RZ_SerialOpen: %s: line settings refused: %s\n", path,
               RZ_ErrorName(r));
        RZ_SerialClose(port);
        RZ_SetLastError(r);
        return nullptr;
    }
    tty::flush(port->fd, true, true);
    port->watchTimeoutMs = 1000;
    port->secondTimeoutMs = 1000;
    return port;
}

RZ_PLUGIN_EXPORT int RZ_SerialClose(RzSerialPort* port) {
    if (!valid(port)) {
        return RZERR_NO_ERROR;
    }
    if (tWatching == port) {
        DP_LOG(0, "[seriald] RZ_SerialClose: called on the watcher's own thread.\n");
        return RZERR_GENERIC_ERROR;
    }
    {
        std::lock_guard<std::mutex> lock(port->controlMutex);
        stopWatcher(port, "RZ_SerialClose");
    }
    {
        std::lock_guard<std::mutex> lock(gPortsMutex);
        ports().erase(port);
    }
    // Input is discarded; output already written is left to go out (on a pseudo-terminal
    // an output flush would discard what the far end has not read yet).
    tty::flush(port->fd, true, false);
    close(port->wakeFd);
    const bool closed = tty::closeExclusive(port->fd);
    port->magic = 0;
    delete port;
    return closed ? RZERR_NO_ERROR : RZERR_GENERIC_ERROR;
}

RZ_PLUGIN_EXPORT int RZ_SerialFlush(RzSerialPort* port, int clearInput, int clearOutput) {
    if (!valid(port)) {
        DP_LOG(0, "[seriald] RZ_SerialFlush: invalid port.\n");
        return RZERR_INVALID_DEVICE;
    }
    std::lock_guard<std::mutex> lock(port->writeMutex);
    tty::flush(port->fd, clearInput != 0, clearOutput != 0);
    return RZERR_NO_ERROR;
}

RZ_PLUGIN_EXPORT int RZ_SerialRead(RzSerialPort* port, void* buffer, int count) {
    if (!valid(port)) {
        return RZERR_INVALID_DEVICE;
    }
    if (buffer == nullptr || count <= 0) {
        return 0;
    }
    ssize_t n = tty::readFor(port->fd, buffer, static_cast<size_t>(count),
                             std::chrono::milliseconds(port->secondTimeoutMs));
    if (n < 0) {
        DP_LOG(0, "RZ_SerialRead: error %d\n", errno);
        return RZERR_SERIAL_READ;
    }
    return static_cast<int>(n);
}

RZ_PLUGIN_EXPORT int RZ_SerialWrite(RzSerialPort* port, const void* buffer, int count) {
    if (!valid(port)) {
        return RZERR_INVALID_DEVICE;
    }
    if (buffer == nullptr || count <= 0) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(port->writeMutex);
    const auto sent =
        tty::writeFor(port->fd, buffer, static_cast<size_t>(count),
                      std::chrono::milliseconds(1000 + port->writeMultiplierMs * count));
    if (sent.error != 0) {
        DP_LOG(0, "RZ_SerialWrite: error %d\n", sent.error);
        return sent.error == ETIMEDOUT ? RZERR_SERIAL_WRITE_TIMEOUT : RZERR_SERIAL_WRITE;
    }
    return count;
}

RZ_PLUGIN_EXPORT int RZ_SerialWatch(RzSerialPort* port, RzDataStream* stream) {
    if (!valid(port)) {
        return RZERR_INVALID_DEVICE;
    }
    if (!RZ_DataStreamIsValid(stream)) {
        return RZERR_INVALID_DATASTREAM;
    }
    if (tWatching == port) {
        return RZERR_DEVICE_IN_USE;
    }
    std::lock_guard<std::mutex> control(port->controlMutex);
    RzThread* done;
    {
        std::lock_guard<std::mutex> lock(port->handleMutex);
        if (port->watcher != nullptr) {
            return RZERR_DEVICE_IN_USE;
        }
        done = std::exchange(port->finished, nullptr);
    }
    // The previous watcher (ended by itself) is gone, its last announcements made, before a
    // new one starts; none can start meanwhile, as only a holder of controlMutex starts one.
    if (done != nullptr) {
        awaitWatcher(done, "RZ_SerialWatch");
    }
    RzThread* started;
    {
        // Held until the handle is stored: a watcher that ends at once finds it there.
        std::lock_guard<std::mutex> lock(port->handleMutex);
        port->stream.store(stream);
        port->running.store(true);
        DP_LOG(1, "[seriald] RZ_SerialWatch: start watching %x %d\n", RZ_ListItemId(stream),
               port->fd.load());
        started = RZ_CreateThread(watcherMain, port);
        if (started == nullptr) {
            port->running.store(false);
            port->stream.store(nullptr);
            return RZERR_GENERIC_ERROR;
        }
        port->watcher = started;
    }
    // Still awaitable even if it has ended: only a holder of controlMutex awaits it.
    if (RZ_SetThreadPriorityHighest(started) != 0) {
        DP_LOG(1, "[seriald] RZ_SerialWatch: watcher keeps its priority.\n");
    }
    return RZERR_NO_ERROR;
}

RZ_PLUGIN_EXPORT int RZ_SerialUnwatch(RzSerialPort* port, RzDataStream* stream) {
    if (!valid(port)) {
        return RZERR_INVALID_DEVICE;
    }
    if (tWatching == port) {
        return RZERR_DEVICE_IN_USE;
    }
    std::lock_guard<std::mutex> lock(port->controlMutex);
    if (stream == nullptr || port->stream.load() != stream) {
        return RZERR_INVALID_DATASTREAM;
    }
    stopWatcher(port, "RZ_SerialUnwatch");
    port->stream.store(nullptr);
    return RZERR_NO_ERROR;
}

}  // extern "C"

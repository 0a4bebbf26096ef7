// linemux loaded by the real core, talking to real pseudo-terminals. The device manager's
// configuration file maps serial1 and serial2 to the terminals.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"
#include "linemux/rzserial.h"
#include "tty/tty.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The far end of a port: the master side of a pseudo-terminal.
class Pty {
  public:
    Pty() {
        pair_.open({.nonBlocking = false, .raw = false});
        master_ = pair_.master();
        path_ = pair_.path();
    }
    ~Pty() { closeMaster(); }
    const std::string& path() const { return path_; }
    int master() const { return master_; }
    bool ok() const { return master_ >= 0 && !path_.empty(); }
    void send(const void* bytes, size_t n) { ASSERT_EQ(write(master_, bytes, n), ssize_t(n)); }
    // Bytes the port wrote, collected until `n` arrived or the time-out.
    std::string receive(size_t n, std::chrono::milliseconds timeout = 5000ms) {
        std::string out;
        auto end = Clock::now() + timeout;
        while (out.size() < n && Clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0 && (p.revents & POLLIN)) {
                char buf[256];
                ssize_t got = read(master_, buf, sizeof(buf));
                if (got > 0) {
                    out.append(buf, static_cast<size_t>(got));
                }
            }
        }
        return out;
    }
    void closeMaster() {
        pair_.close();
        master_ = -1;
    }

  private:
    tty::Pty pair_;
    int master_ = -1;
    std::string path_;
};

struct Reader {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> reasons;
    std::string bytes;
    std::vector<size_t> chunkEnds;  // byte count after each reason-0 delivery

    template <class Pred>
    bool waitUntil(Pred pred, std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return pred(*this); });
    }
    int count(int reason) {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<int>(std::count(reasons.begin(), reasons.end(), reason));
    }
};

int readerCallback(RzDataStream* s, int reason) {
    auto* r = static_cast<Reader*>(RZ_DataStreamUser(s));
    std::lock_guard<std::mutex> lock(r->mutex);
    r->reasons.push_back(reason);
    if (reason == RZ_STREAM_DATA) {
        char buf[2048];
        int n = RZ_DataStreamRead(s, buf, sizeof(buf));
        r->bytes.append(buf, static_cast<size_t>(std::max(n, 0)));
        r->chunkEnds.push_back(r->bytes.size());
    }
    r->changed.notify_all();
    return RZERR_DATASTREAM_IN_PROGRESS;
}

class Linemux : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(a_.ok() && b_.ok());
        char dir[] = "/tmp/linemux-conf-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        confDir_ = dir;
        // Any name of the port table names its port; blanks around either side are dropped.
        std::ofstream(confDir_ + "/dm.conf")
            << "[item=devicepaths:device=linemux]\nserial1=" << a_.path()
            << "\n  COM2 = " << b_.path() << "\n[device=linemux:item=other]\nserial3=" << a_.path()
            << "\n";
        setenv("RZ_CONFIG_FILE", (confDir_ + "/dm.conf").c_str(), 1);
        ASSERT_GE(RZ_LoadPlugins(nullptr), 1);
        module_ = dlopen(LINEMUX_PATH, RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(module_, nullptr);
        auto get =
            reinterpret_cast<RzPluginGetEntryPointsFn>(dlsym(module_, "RZ_Plugin_GetEntryPoints"));
        ASSERT_EQ(get(&entry_), 0);
    }
    void TearDown() override {
        RZ_UnloadPlugins();
        unsetenv("RZ_CONFIG_FILE");
        if (!confDir_.empty()) {
            unlink((confDir_ + "/dm.conf").c_str());
            rmdir(confDir_.c_str());
        }
        if (module_) {
            dlclose(module_);
        }
    }
    template <class F>
    F symbol(const char* name) {
        return reinterpret_cast<F>(dlsym(module_, name));
    }
    int send(RzInstance* inst, int message, void* payload, int size, int length,
             RzMessageInfo* reply = nullptr) {
        RzMessageHeader h;
        RZ_MessagePrepare(&h, message, 0, RZ_KIND_GLOVE, 0x33, RZ_KIND_LINEMUX,
                          inst ? inst->item.id : 0xdead, 9, 1, length);
        int r = RZ_MessageDeliver(&h, payload, size);
        if (reply) {
            RZ_MessageDecode(&h, reply);
        }
        return r;
    }

    Pty a_, b_;
    std::string confDir_;
    void* module_ = nullptr;
    RzPluginEntry entry_{};
};

TEST_F(Linemux, EntryRecordAndNameTable) {
    EXPECT_EQ(entry_.kind, RZ_KIND_LINEMUX);
    EXPECT_STREQ(entry_.name, "Serial V1.20");
    EXPECT_EQ(entry_.versionA, 96);
    EXPECT_EQ(entry_.versionB, 256);
    struct {
        const char* name;
        int index;
    } cases[] = {{"serial1", 0},    {"serial", 0},        {"SERIAL12", 11},  {"serial16", 15},
                 {"COM3", 2},       {"\\\\.\\COM12", 11}, {"/dev/ttyS3", 3}, {"/dev/ttyd2", 1},
                 {"/dev/pts/7", 0}, {"/dev/ttyUSB0", 0},  {"serial17", -1},  {"usb", -1}};
    for (auto& c : cases) {
        EXPECT_EQ(entry_.MatchName(c.name), c.index) << c.name;
    }
}

TEST_F(Linemux, SerialAndSerial1ShareOneInstanceReleasedByTheLast) {
    RzInstance* one = RZ_InstanceOpen("serial1:device=ioman");
    RzInstance* alias = RZ_InstanceOpen("serial:eventchar=on\ndevice=ioman\n");
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one, alias);
    EXPECT_STREQ(one->name, "serial1");
    EXPECT_EQ(one->clientCount, 2);
    RzInstance* two = RZ_InstanceOpen("serial2:device=ioman");
    ASSERT_NE(two, nullptr);
    EXPECT_NE(two, one);
    uint8_t none[4];
    RzMessageInfo reply{};
    EXPECT_EQ(send(one, 2, none, 4, 0, &reply), 0);  // release while shared answers 0
    EXPECT_EQ(reply.result, 0);
    EXPECT_EQ(one->clientCount, 1);
    EXPECT_EQ(one->lastResult, RZERR_INSTANCE_SHARED_BY_OTHERS);
    EXPECT_EQ(entry_.Destroy(one), 0);
    EXPECT_EQ(entry_.Destroy(two), 0);
    // The port was closed: it opens again.
    RzInstance* again = RZ_InstanceOpen("serial1:device=ioman");
    EXPECT_NE(again, nullptr);
    RZ_InstanceClose(again);
}

TEST_F(Linemux, PortsBeyondTheDevicePathSectionAreRefused) {
    // Only the configuration redirects ports: not the environment, nor another entry.
    setenv("LINEMUX_TEST_DEVICE_PATHS", (a_.path() + "," + a_.path() + "," + a_.path()).c_str(), 1);
    EXPECT_EQ(RZ_InstanceOpen("serial3:device=ioman"), nullptr);
    unsetenv("LINEMUX_TEST_DEVICE_PATHS");
    EXPECT_EQ(RZ_InstanceOpen("serial12:device=ioman"), nullptr);
    EXPECT_EQ(RZ_GetLastError(), RZERR_INVALID_DEVICE);
    EXPECT_EQ(RZ_InstanceOpen("serial9:device=ioman"), nullptr);
}

TEST_F(Linemux, DevicePathsAndPathsOutsideDevOpenLiterally) {
    RzInstance* pts = RZ_InstanceOpen((b_.path() + ":device=ioman").c_str());
    ASSERT_NE(pts, nullptr);
    EXPECT_EQ(std::string(pts->name), b_.path());
    char dir[] = "/tmp/linemuxXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string link = std::string(dir) + "/port";
    ASSERT_EQ(symlink(a_.path().c_str(), link.c_str()), 0);
    RzInstance* literal = RZ_InstanceOpen((link + ":device=ioman").c_str());
    ASSERT_NE(literal, nullptr);
    EXPECT_EQ(std::string(literal->name), link);
    uint8_t cmd[3] = {'?', 'p', 0};
    EXPECT_EQ(send(literal, 16, cmd, sizeof(cmd), 3), 0);
    EXPECT_EQ(a_.receive(3), std::string("?p\0", 3));
    RZ_InstanceClose(literal);
    RZ_InstanceClose(pts);
    unlink(link.c_str());
    rmdir(dir);
    EXPECT_EQ(RZ_InstanceOpen("/dev/nonexistent-port:device=ioman"), nullptr);
    EXPECT_EQ(RZ_GetLastError(), RZERR_INVALID_DEVICE);
}

TEST_F(Linemux, OnlySupportedBaudRatesOpen) {
    for (const char* bad : {"28800", "230400", "4800", "abc"}) {
        std::string text = std::string("serial1:device=ioman:baudrate=") + bad;
        EXPECT_EQ(RZ_InstanceOpen(text.c_str()), nullptr) << bad;
        EXPECT_EQ(RZ_GetLastError(),
                  std::string(bad) == "abc" ? RZERR_INVALID_URL : RZERR_SERIAL_INVALID_BAUDRATE)
            << bad;
    }
    auto open = symbol<RzSerialOpenFn>("RZ_SerialOpen");
    auto close = symbol<RzSerialCloseFn>("RZ_SerialClose");
    EXPECT_EQ(open(a_.path().c_str(), "baudrate=28800"), nullptr);
    EXPECT_EQ(RZ_GetLastError(), RZERR_SERIAL_INVALID_BAUDRATE);
    for (int ok : {9600, 19200, 38400, 57600, 115200}) {
        RzSerialPort* port = open(a_.path().c_str(), ("baudrate=" + std::to_string(ok)).c_str());
        EXPECT_NE(port, nullptr) << ok;  // a pty refuses DTR/RTS control; still opens
        EXPECT_EQ(close(port), 0);
    }
}

TEST_F(Linemux, MessageSixteenBytesArriveAtTheFarEnd) {
    RzInstance* port = RZ_InstanceOpen("serial1:device=ioman");
    ASSERT_NE(port, nullptr);
    uint8_t frame[14] = {'A', 6, 0, 10, 1, 20, 2, 30, 3, 40, 4, 50, 5, 60};
    RzMessageInfo reply{};
    EXPECT_EQ(send(port, 16, frame, 32, sizeof(frame), &reply), 0);
    EXPECT_EQ(reply.result, 0);
    EXPECT_EQ(reply.length, 0);
    EXPECT_EQ(reply.senderKind, RZ_KIND_LINEMUX);
    EXPECT_EQ(reply.receiverHandle, 0x33u);
    EXPECT_EQ(a_.receive(sizeof(frame)), std::string(reinterpret_cast<char*>(frame), 14));
    // A length beyond the buffer it came with: refused, nothing sent.
    EXPECT_EQ(send(port, 16, frame, 4, 14, &reply), RZERR_MESSAGE_INVALID_BODY);
    EXPECT_EQ(reply.result, RZERR_MESSAGE_INVALID_BODY);
    EXPECT_EQ(a_.receive(1, 300ms), "");
    RZ_InstanceClose(port);
}

TEST_F(Linemux, ClientsReachAPortByItsPath) {
    RzDeviceHandle h = RZ_DeviceOpen("", (a_.path() + ":baudrate=9600").c_str(), "linemux");
    ASSERT_NE(h, 0u);
    EXPECT_EQ(RZ_DeviceControlSet(h, 16, 0, "xyz", 3), 0);
    EXPECT_EQ(a_.receive(3), "xyz");
    uint8_t last[8];
    EXPECT_EQ(RZ_DeviceControlGet(h, 4, 0, last, sizeof(last)), 4);
    EXPECT_EQ(RZ_DeviceControlGet(h, 15, 0, last, sizeof(last)), -1);
    EXPECT_EQ(RZ_DeviceClose(h), 0);
    EXPECT_EQ(RZ_DeviceControlGet(h, 4, 0, last, sizeof(last)), RZERR_INVALID_DID);
}

TEST_F(Linemux, OtherMessagesAnswerAsTheTableSays) {
    RzInstance* port = RZ_InstanceOpen("serial2:device=ioman");
    ASSERT_NE(port, nullptr);
    uint8_t buf[16] = {};
    RzMessageInfo reply{};
    for (int m : {3, 5, 6}) {
        EXPECT_EQ(send(port, m, buf, sizeof(buf), 0, &reply), 0) << m;
        EXPECT_EQ(reply.replyWanted, 1) << m;  // accepted, no reply
    }
    for (int m : {9, 10, 15}) {
        EXPECT_EQ(send(port, m, buf, sizeof(buf), 0, &reply), -1) << m;
        EXPECT_EQ(reply.result, -1);
        EXPECT_EQ(reply.length, 0);
    }
    EXPECT_EQ(send(port, 4, buf, sizeof(buf), 0, &reply), 0);
    EXPECT_EQ(reply.length, 4);
    EXPECT_EQ(send(port, 77, buf, sizeof(buf), 0, &reply), RZERR_MESSAGE_NOT_IMPLEMENTED);
    EXPECT_EQ(reply.senderKind, RZ_KIND_LINEMUX);
    EXPECT_EQ(reply.receiverKind, RZ_KIND_GLOVE);
    EXPECT_EQ(send(nullptr, 16, buf, sizeof(buf), 0, &reply), RZERR_INVALID_INSTANCE);
    EXPECT_EQ(reply.result, RZERR_INVALID_INSTANCE);
    RZ_InstanceClose(port);
}

TEST_F(Linemux, ArrivingBytesFeedTheAttachedStream) {
    RzInstance* port = RZ_InstanceOpen("serial1:device=ioman");
    ASSERT_NE(port, nullptr);
    Reader r;
    RzDataStream* s = RZ_DataStreamNew(2048, readerCallback, &r);
    ASSERT_EQ(RZ_InstanceAttach(port, s), 0);
    EXPECT_EQ(RZ_DataStreamOwner(s), port);
    RzDataStream* second = RZ_DataStreamNew(2048, nullptr, nullptr);
    EXPECT_EQ(RZ_InstanceAttach(port, second), RZERR_DEVICE_IN_USE);
    a_.send("S\x10\x20\x81", 5);
    EXPECT_TRUE(r.waitUntil([](Reader& x) { return x.bytes.size() >= 5; }));
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        EXPECT_EQ(r.bytes, std::string("S\x10\x20\x81", 5));
    }
    // Unwatch wakes the watcher at once rather than at its next time-out.
    auto start = Clock::now();
    RZ_InstanceDetach(port, s);
    EXPECT_LT(Clock::now() - start, 1000ms);
    EXPECT_EQ(r.count(RZ_STREAM_QUIT), 1);
    EXPECT_EQ(RZ_DataStreamOwner(s), nullptr);
    uint8_t last[4];
    RzMessageInfo reply{};
    send(port, 4, last, sizeof(last), 0, &reply);
    EXPECT_EQ(std::memcmp(last, "\0\0\0\0", 4), 0);  // the detach's result
    RZ_InstanceClose(port);
    RZ_DataStreamDestroy(s);
    RZ_DataStreamDestroy(second);
}

struct SelfDetach {
    RzdpDetachDataStream detach = nullptr;
    RzInstance* port = nullptr;
    std::atomic<int> result{1};
};
int detachFromReader(RzDataStream* s, int reason) {
    auto* d = static_cast<SelfDetach*>(RZ_DataStreamUser(s));
    if (reason == RZ_STREAM_DATA && d->result == 1) {
        char buf[64];
        RZ_DataStreamRead(s, buf, sizeof(buf));
        d->result = d->detach(d->port, s);  // on the watcher's own thread
    }
    return 0;
}

TEST_F(Linemux, ReaderOnTheWatcherThreadCannotStopItsOwnWatcher) {
    SelfDetach d;
    d.detach = entry_.DetachDataStream;
    d.port = RZ_InstanceOpen("serial1:device=ioman");
    ASSERT_NE(d.port, nullptr);
    RzDataStream* s = RZ_DataStreamNew(2048, detachFromReader, &d);
    ASSERT_EQ(RZ_InstanceAttach(d.port, s), 0);
    a_.send("x", 1);
    for (int i = 0; i < 1000 && d.result == 1; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(d.result, RZERR_DEVICE_IN_USE);  // refused instead of waiting for itself
    EXPECT_EQ(entry_.DetachDataStream(d.port, s), 0);
    RZ_InstanceClose(d.port);
    RZ_DataStreamDestroy(s);
}

TEST_F(Linemux, EventCharacterModeDeliversUpToTheCharacter) {
    RzInstance* port = RZ_InstanceOpen("serial1:eventchar=on\ndevice=ioman\n");
    ASSERT_NE(port, nullptr);
    Reader r;
    RzDataStream* s = RZ_DataStreamNew(2048, readerCallback, &r);
    ASSERT_EQ(RZ_InstanceAttach(port, s), 0);
    a_.send("?p 1", 4);
    EXPECT_FALSE(r.waitUntil([](Reader& x) { return !x.bytes.empty(); }, 300ms));
    a_.send(" 2 3\0G", 6);
    EXPECT_TRUE(r.waitUntil([](Reader& x) { return x.bytes.size() >= 10; }));
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        EXPECT_EQ(r.bytes, std::string("?p 1 2 3\0G", 10));
        EXPECT_EQ(r.chunkEnds.front(), 10u);  // delivered together once the NUL came
    }
    RZ_InstanceDetach(port, s);
    RZ_InstanceClose(port);
    RZ_DataStreamDestroy(s);
}

TEST_F(Linemux, SilentLineIsAnnouncedOncePerSecond) {
    RzInstance* port = RZ_InstanceOpen("serial1:device=ioman");
    ASSERT_NE(port, nullptr);
    Reader r;
    RzDataStream* s = RZ_DataStreamNew(2048, readerCallback, &r);
    ASSERT_EQ(RZ_InstanceAttach(port, s), 0);
    auto start = Clock::now();
    EXPECT_TRUE(r.waitUntil(
        [](Reader& x) {
            return std::count(x.reasons.begin(), x.reasons.end(), RZERR_SERIAL_READ_TIMEOUT) >= 2;
        },
        10000ms));
    auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 1900ms);  // not more often than once a second
    // Bytes reset the count: the watcher keeps running and still delivers.
    a_.send("G\0", 2);
    EXPECT_TRUE(r.waitUntil([](Reader& x) { return x.bytes.size() >= 2; }));
    RZ_InstanceDetach(port, s);
    RZ_InstanceClose(port);
    RZ_DataStreamDestroy(s);
}

TEST_F(Linemux, HangUpEndsTheWatcherButKeepsThePort) {
    RzInstance* port = RZ_InstanceOpen("serial2:device=ioman");
    ASSERT_NE(port, nullptr);
    Reader r;
    RzDataStream* s = RZ_DataStreamNew(2048, readerCallback, &r);
    ASSERT_EQ(RZ_InstanceAttach(port, s), 0);
    b_.closeMaster();
    EXPECT_TRUE(r.waitUntil([](Reader& x) { return !x.reasons.empty() && x.reasons.back() == 3; }));
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        ASSERT_GE(r.reasons.size(), 2u);
        int fatal = r.reasons[r.reasons.size() - 2];
        EXPECT_TRUE(fatal == RZERR_SERIAL_SELECT || fatal == RZERR_SERIAL_READ) << fatal;
    }
    RZ_InstanceDetach(port, s);
    RZ_InstanceClose(port);
    RZ_DataStreamDestroy(s);
}

// A line reached through a link (as a simulator or a device node that comes back gives it)
// is silent while its far end is gone and is opened again once the link names a live one.
TEST_F(Linemux, LinkedLineThatHangsUpComesBack) {
    const std::string link = "/tmp/linemux-test-" + std::to_string(getpid());
    auto far = std::make_unique<Pty>();
    ASSERT_TRUE(tty::placeLink(link, far->path(), nullptr));
    RzInstance* port = RZ_InstanceOpen((link + ":device=ioman").c_str());
    ASSERT_NE(port, nullptr);
    Reader r;
    RzDataStream* s = RZ_DataStreamNew(2048, readerCallback, &r);
    ASSERT_EQ(RZ_InstanceAttach(port, s), 0);
    far.reset();  // hang-up: the link now names nothing
    EXPECT_TRUE(r.waitUntil(
        [](Reader& x) {
            return std::count(x.reasons.begin(), x.reasons.end(), RZERR_SERIAL_READ_TIMEOUT) >= 2;
        },
        10000ms))
        << "silence is announced while the line is away";
    EXPECT_EQ(r.count(RZ_STREAM_QUIT), 0) << "the watcher keeps going";
    auto back = std::make_unique<Pty>();
    ASSERT_TRUE(tty::placeLink(link, back->path(), nullptr));
    // Input that reaches the terminal before the port reopens it is flushed: repeat.
    EXPECT_TRUE(r.waitUntil(
        [&](Reader& x) {
            if (x.bytes.find('G') == std::string::npos) {
                (void)!write(back->master(), "G\0", 2);
            }
            return x.bytes.find('G') != std::string::npos;
        },
        10000ms));
    uint8_t probe = 'S';
    EXPECT_EQ(send(port, 16, &probe, 1, 1), 0);
    // Echoes of the repeated input (the terminal was not raw before the port took it) may
    // come first.
    std::string got;
    for (auto end = Clock::now() + 5000ms;
         got.find('S') == std::string::npos && Clock::now() < end;) {
        got += back->receive(1, 200ms);
    }
    EXPECT_NE(got.find('S'), std::string::npos) << "writes go to the new line";
    RZ_InstanceDetach(port, s);
    RZ_InstanceClose(port);
    RZ_DataStreamDestroy(s);
    tty::removeLink(link);
}

TEST_F(Linemux, AfterAHangUpThePortCanBeWatchedAgain) {
    RzInstance* port = RZ_InstanceOpen("serial2:device=ioman");
    ASSERT_NE(port, nullptr);
    auto ended = [](Reader& x) { return !x.reasons.empty() && x.reasons.back() == 3; };
    Reader first, second;
    RzDataStream* s1 = RZ_DataStreamNew(2048, readerCallback, &first);
    RzDataStream* s2 = RZ_DataStreamNewEx(2048, readerCallback, &second, RZ_STREAM_OWN_THREAD);
    ASSERT_EQ(RZ_InstanceAttach(port, s1), 0);
    b_.closeMaster();
    ASSERT_TRUE(first.waitUntil(ended));
    // The watcher that ended by itself no longer holds the port (the line is still down, so
    // the new watcher ends the same way).
    ASSERT_EQ(RZ_InstanceAttach(port, s2), 0);
    EXPECT_EQ(RZ_DataStreamOwner(s1), nullptr);
    EXPECT_TRUE(second.waitUntil(ended));
    RZ_InstanceClose(port);
    RZ_DataStreamDestroy(s1);
    RZ_DataStreamDestroy(s2);
}

TEST_F(Linemux, PortFunctionsCheckTheirArguments) {
    auto open = symbol<RzSerialOpenFn>("RZ_SerialOpen");
    auto close = symbol<RzSerialCloseFn>("RZ_SerialClose");
    auto read = symbol<RzSerialReadFn>("RZ_SerialRead");
    auto write = symbol<RzSerialWriteFn>("RZ_SerialWrite");
    auto watch = symbol<RzSerialWatchFn>("RZ_SerialWatch");
    auto unwatch = symbol<RzSerialWatchFn>("RZ_SerialUnwatch");
    ASSERT_TRUE(open && close && read && write && watch && unwatch);
    char buf[16];
    EXPECT_EQ(read(nullptr, buf, 4), RZERR_INVALID_DEVICE);
    EXPECT_EQ(write(nullptr, buf, 4), RZERR_INVALID_DEVICE);
    EXPECT_EQ(close(nullptr), 0);
    RzSerialPort* port = open(a_.path().c_str(), "baudrate=57600");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(write(port, "ping", 4), 4);
    EXPECT_EQ(a_.receive(4), "ping");
    a_.send("pong", 4);
    std::string got;
    for (int i = 0; i < 20 && got.size() < 4; ++i) {
        int n = read(port, buf, sizeof(buf));  // waits up to 1000 ms for the first byte
        ASSERT_GE(n, 0);
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, "pong");
    RzDataStream* s = RZ_DataStreamNew(64, nullptr, nullptr);
    RzDataStream* other = RZ_DataStreamNew(64, nullptr, nullptr);
    EXPECT_EQ(watch(port, nullptr), RZERR_INVALID_DATASTREAM);
    EXPECT_EQ(watch(port, s), 0);
    EXPECT_EQ(watch(port, other), RZERR_DEVICE_IN_USE);
    EXPECT_EQ(unwatch(port, other), RZERR_INVALID_DATASTREAM);
    EXPECT_EQ(close(port), 0);  // stops the watcher first
    EXPECT_EQ(read(port, buf, 4), RZERR_INVALID_DEVICE);
    RZ_DataStreamDestroy(s);
    RZ_DataStreamDestroy(other);
}

TEST_F(Linemux, WritesFromManyThreadsWhileTheWatcherFeeds) {
    RzInstance* port = RZ_InstanceOpen("serial1:device=ioman");
    ASSERT_NE(port, nullptr);
    Reader r;
    RzDataStream* s = RZ_DataStreamNewEx(2048, readerCallback, &r, RZ_STREAM_OWN_THREAD);
    ASSERT_EQ(RZ_InstanceAttach(port, s), 0);
    std::atomic<bool> stop{false};
    std::thread drain([&] {
        while (!stop) {
            a_.receive(4096, 20ms);
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                uint8_t cmd[4] = {'G', 0, 0, 0};
                EXPECT_EQ(send(port, 16, cmd, sizeof(cmd), 1), 0);
            }
        });
    }
    for (int i = 0; i < 50; ++i) {
        a_.send("S\x01\x02\0", 4);
    }
    for (auto& w : writers) {
        w.join();
    }
    EXPECT_TRUE(r.waitUntil([](Reader& x) { return x.bytes.size() >= 200; }));
    stop = true;
    drain.join();
    RZ_InstanceClose(port);  // last client: unwatches, then closes
    EXPECT_TRUE(r.waitUntil([](Reader& x) { return !x.reasons.empty() && x.reasons.back() == 3; }));
    RZ_DataStreamDestroy(s);
}

}  // namespace

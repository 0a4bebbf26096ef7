// dmserver started as a real process with the real plug-ins, reached through the core's
// remote path, through client sessions and through raw sockets. Every socket is on
// 127.0.0.1 with ports the server picks; every wait is bounded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"
#include "dmserver_process.hpp"
#include "remotesession.hpp"

namespace {

using namespace std::chrono_literals;
using namespace dmservertest;

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

// Reader callback state of a client stream: bytes and reasons seen.
struct Sink {
    std::mutex mutex;
    std::condition_variable changed;
    size_t bytes = 0;
    std::vector<int> reasons;
    static int read(RzDataStream* s, int reason) {
        auto* sink = static_cast<Sink*>(RZ_DataStreamUser(s));
        uint8_t buf[4096];
        int n = reason == RZ_STREAM_DATA ? RZ_DataStreamRead(s, buf, sizeof(buf)) : 0;
        std::lock_guard<std::mutex> lock(sink->mutex);
        sink->bytes += static_cast<size_t>(std::max(n, 0));
        sink->reasons.push_back(reason);
        sink->changed.notify_all();
        return 0;
    }
};

// A frame built in place equals the encoded one, and a record decoded into again carries
// exactly the new frame's fields, whatever it held before.
TEST(DmWire, DataFramesRoundTripIntoAReusedRecord) {
    rzwire::DataRecord reused;
    const rzwire::DataRecord records[] = {
        {rzwire::DataKind::Data, 7, 123456789012345ull, 0, rzwire::Bytes(192, 0xAB)},
        {rzwire::DataKind::Announce, 0xFFFFFFFF, 1, -27, {}},
        {rzwire::DataKind::Data, 8, 2, 0, {1, 2, 3}},
    };
    for (const auto& r : records) {
        rzwire::Bytes frame = rzwire::encodeData(r);
        rzwire::Bytes inPlace(rzwire::kDataHeaderSize + r.payload.size());
        rzwire::encodeDataHeader(r, r.payload.size(), inPlace.data());
        std::copy(r.payload.begin(), r.payload.end(), inPlace.begin() + rzwire::kDataHeaderSize);
        EXPECT_EQ(inPlace, frame);
        ASSERT_EQ(rzwire::decodeData(frame.data(), frame.size(), reused), 0);
        EXPECT_EQ(reused.kind, r.kind);
        EXPECT_EQ(reused.sequence, r.sequence);
        EXPECT_EQ(reused.stampNs, r.stampNs);
        EXPECT_EQ(reused.reason, r.reason);
        EXPECT_EQ(reused.payload, r.payload);
    }
    rzwire::Bytes cut = rzwire::encodeData(records[0]);
    cut.pop_back();
    EXPECT_EQ(rzwire::decodeData(cut.data(), cut.size(), reused), RZERR_MESSAGE_INVALID_BODY);
}

TEST(DmServer, RemoteRepliesEqualInProcessOnes) {
    Server server;
    ASSERT_NE(server.port(), 0);
    const char* device = "dummy:nsensors=5:freq=0:upper=3:lower=1";
    RzDeviceHandle local = RZ_DeviceOpen("server=localhost:port=", device, "dummy");
    RzDeviceHandle remote = RZ_DeviceOpen(server.text().c_str(), device, "dummy");
    ASSERT_NE(local, 0u);
    ASSERT_NE(remote, 0u) << RZ_ErrorName(RZ_GetLastError());
    EXPECT_NE(remote, local);
    EXPECT_NE(RZ_DeviceInstanceId(remote), 0u);
    const struct {
        int message, argcode, length, capacity;
    } cases[] = {
        {15, 2, 0, 1024},  // the five values
        {15, 2, 0, 16},    // reply larger than the buffer
        {99, 0, 0, 64},    // no handler
        {15, 2, 4, 1024},  // request payload travels too
        {15, 2, 0, 0},     // no buffer at all
    };
    for (const auto& c : cases) {
        uint8_t a[1024] = {1, 2, 3, 4}, b[1024] = {1, 2, 3, 4};
        int la = c.length, lb = c.length;
        int ra = RZ_DeviceControl(local, c.message, c.argcode, c.capacity ? a : nullptr, &la,
                                  c.capacity);
        int rb = RZ_DeviceControl(remote, c.message, c.argcode, c.capacity ? b : nullptr, &lb,
                                  c.capacity);
        SCOPED_TRACE(c.message * 1000 + c.capacity);
        EXPECT_EQ(rb, ra);
        ASSERT_EQ(lb, la);
        EXPECT_EQ(std::memcmp(a, b, static_cast<size_t>(la)), 0);
    }
    uint8_t v[64];
    ASSERT_EQ(RZ_DeviceControlGet(remote, 15, 2, v, sizeof v), 40);
    EXPECT_DOUBLE_EQ(RZ_GetDouble(v + 32), 2.0);
    EXPECT_EQ(RZ_DeviceControlSet(remote, 99, 0, v, 8), RZ_DeviceControlSet(local, 99, 0, v, 8));
    EXPECT_EQ(RZ_DeviceClose(remote), 0);
    EXPECT_EQ(RZ_DeviceClose(remote), RZERR_INVALID_DID);
    EXPECT_EQ(RZ_DeviceControlGet(remote, 15, 2, v, sizeof v), RZERR_INVALID_DID);
    EXPECT_EQ(RZ_DeviceClose(local), 0);
    EXPECT_EQ(RZ_DeviceOpen(server.text().c_str(), "dummy", "nosuchtype"), 0u);
    EXPECT_EQ(RZ_GetLastError(), RZERR_INVALID_DEVICE);
}

TEST(DmServer, ClientStreamFeedsTheReaderAndDetachAnnouncesQuit) {
    Server server;
    RzDeviceHandle h = RZ_DeviceOpen(server.text().c_str(), "dummy:nsensors=3", "dummy");
    ASSERT_NE(h, 0u);
    Sink sink;
    RzDataStream* stream = RZ_DataStreamNew(4096, Sink::read, &sink);
    ASSERT_EQ(RZ_DeviceAttachDataStream(h, stream), 0);
    EXPECT_EQ(RZ_DeviceAttachDataStream(h, stream), RZERR_DEVICE_IN_USE);
    {
        std::unique_lock<std::mutex> lock(sink.mutex);
        ASSERT_TRUE(sink.changed.wait_for(lock, 10s, [&] { return sink.bytes >= 24 * 50; }));
        EXPECT_EQ(sink.bytes % 24, 0u) << "records arrive whole";
    }
    EXPECT_EQ(server.status().streams, 1u);
    ASSERT_EQ(RZ_DeviceDetachDataStream(h, stream), 0);
    EXPECT_EQ(RZ_DeviceDetachDataStream(h, stream), RZERR_INVALID_DATASTREAM);
    {
        std::lock_guard<std::mutex> lock(sink.mutex);
        EXPECT_EQ(sink.reasons.back(), RZ_STREAM_QUIT);
    }
    EXPECT_TRUE(eventually([&] { return server.status().streams == 0; }));
    RZ_DataStreamDestroy(stream);
    RZ_DeviceClose(h);
}

TEST(DmServer, ThirtyTwoClientsShareOneInstanceAndAllReceive) {
    Server server;
    constexpr int kClients = 32;
    std::atomic<int> fed[kClients] = {};
    std::vector<std::unique_ptr<rzremote::Session>> clients;
    std::vector<uint32_t> handles(kClients), instances(kClients);
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(server.session(
            [&fed, i](uint32_t, const rzwire::DataRecord& r) { fed[i] += !r.payload.empty(); }));
        ASSERT_TRUE(clients.back());
        ASSERT_EQ(clients[i]->open("dummy", "dummy:nsensors=4", handles[i], instances[i]), 0);
        uint32_t topic = 0;
        ASSERT_EQ(clients[i]->attach(handles[i], topic), 0);
        EXPECT_EQ(topic, instances[0]) << "same device text, same instance";
    }
    uint32_t other = 0, otherInstance = 0;
    ASSERT_EQ(clients[0]->open("dummy", "other:nsensors=2", other, otherInstance), 0);
    EXPECT_NE(otherInstance, instances[0]);
    ASSERT_TRUE(eventually([&] {
        for (auto& f : fed) {
            if (f.load() < 20) {
                return false;
            }
        }
        return true;
    }));
    rzwire::Bytes reply;
    EXPECT_EQ(clients[1]->control(handles[0], 15, 2, nullptr, 0, 64, reply), RZERR_INVALID_DID)
        << "a client cannot use another client's handle";
    rzremote::ServerStatus st;
    ASSERT_EQ(clients[0]->status(st), 0);
    EXPECT_EQ(st.handles, kClients + 1u);
    EXPECT_EQ(st.streams, 1u) << "one published stream per instance";
    clients.clear();  // goodbyes release everything
    EXPECT_TRUE(eventually([&] { return server.status().handles == 0; }));
}

TEST(DmServer, StalledSubscriberDoesNotSlowAnother) {
    Server server;
    std::mutex gate;
    gate.lock();  // the stalled client's receive thread blocks on it
    std::atomic<int> stalledSeen{0}, liveSeen{0};
    auto stalled = server.session([&](uint32_t, const rzwire::DataRecord&) {
        if (stalledSeen++ == 0) {
            std::lock_guard<std::mutex> wait(gate);
        }
    });
    auto live = server.session([&](uint32_t, const rzwire::DataRecord&) { liveSeen.fetch_add(1); });
    uint32_t hs = 0, hl = 0, inst = 0, topic = 0;
    ASSERT_EQ(stalled->open("dummy", "dummy:nsensors=24", hs, inst), 0);
    ASSERT_EQ(stalled->attach(hs, topic), 0);
    ASSERT_TRUE(eventually([&] { return stalledSeen.load() > 0; }));
    ASSERT_EQ(live->open("dummy", "dummy:nsensors=24", hl, inst), 0);
    ASSERT_EQ(live->attach(hl, topic), 0);
    // The dummy writes about every millisecond; the live client keeps up while the other's
    // queue overflows, and its requests are answered meanwhile.
    ASSERT_TRUE(eventually([&] { return liveSeen.load() >= 3000; }, 30s)) << liveSeen.load();
    rzwire::Bytes reply;
    EXPECT_EQ(live->control(hl, 15, 2, nullptr, 0, 1024, reply), 0);
    EXPECT_EQ(reply.size(), 24u * 8);
    gate.unlock();
}

TEST(DmServer, KilledClientLosesItsDevicesAfterTheLease) {
    Server server;
    int devnull = open("/dev/null", O_WRONLY);
    pid_t client = spawn({DMCTL_PATH, "--server", server.address(), "read", "dummy", "dummy",
                          "--settings", "nsensors=2", "--count", "1000000", "--stream"},
                         devnull, devnull);
    close(devnull);
    ASSERT_TRUE(eventually([&] {
        auto st = server.status();
        return st.handles == 1 && st.streams == 1;
    }));
    kill(client, SIGKILL);
    EXPECT_EQ(reap(client), 128 + SIGKILL);
    ASSERT_TRUE(eventually([&] { return server.status().handles == 0; }));
    EXPECT_EQ(server.status().streams, 0u);
    EXPECT_NE(server.log().find("silent for 600 ms"), std::string::npos) << server.log();
    EXPECT_TRUE(eventually([&] { return count(server.log(), "Thread exited") == 1; }));
}

TEST(DmServer, MalformedRequestsGetErrorsAndServiceGoesOn) {
    Server server;
    auto request = [](rzwire::Op op, rzwire::Bytes body) {
        rzwire::Request r;
        r.op = op;
        r.session = 42;
        r.id = 7;
        r.body = std::move(body);
        return rzwire::encodeRequest(r);
    };
    rzwire::Bytes good = request(rzwire::Op::Status, {});
    auto patched = [&](size_t at, std::vector<uint8_t> bytes) {
        rzwire::Bytes b = good;
        std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(at));
        return b;
    };
    rzwire::Bytes random(200);
    for (size_t i = 0; i < random.size(); ++i) {
        random[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    const struct {
        const char* name;
        std::vector<rzwire::Bytes> frames;
        int result;
    } cases[] = {
        {"truncated magic", {{'R', 'Z'}}, RZERR_INVALID_MESSAGE},
        {"truncated header",
         {rzwire::Bytes(good.begin(), good.begin() + 10)},
         RZERR_MESSAGE_INCOMPLETE},
        {"wrong version", {patched(4, {2})}, RZERR_PLUGIN_INCOMPATIBLE_VERSION},
        {"huge length", {patched(20, {0xFF, 0xFF, 0xFF, 0xF0})}, RZERR_MESSAGE_TOO_LARGE},
        {"length beyond frame", {patched(20, {0, 0, 0, 9})}, RZERR_MESSAGE_INVALID_BODY},
        {"random bytes", {random}, RZERR_INVALID_MESSAGE},
        {"two frames", {good, good}, RZERR_INVALID_MESSAGE},
        {"unknown op", {patched(5, {200})}, RZERR_MESSAGE_NOT_IMPLEMENTED},
        {"session 0", {patched(8, {0, 0, 0, 0, 0, 0, 0, 0})}, RZERR_INVALID_PARAM},
        {"open text too long",
         {request(rzwire::Op::Open, {0xFF, 0xFF, 'd', 'u', 'm', 'm', 'y'})},
         RZERR_MESSAGE_INVALID_BODY},
        {"control capacity 1 GB",
         {request(rzwire::Op::Control,
                  rzwire::Writer().u32(1).u8(15).u8(2).u32(1u << 30).blob(nullptr, 0).take())},
         RZERR_MESSAGE_INVALID_BODY},
        {"control unknown handle",
         {request(rzwire::Op::Control,
                  rzwire::Writer().u32(9999).u8(15).u8(2).u32(64).blob(nullptr, 0).take())},
         RZERR_INVALID_DID},
        {"close trailing bytes",
         {request(rzwire::Op::Close, {0, 0, 0, 1, 0})},
         RZERR_MESSAGE_INVALID_BODY},
    };
    zmq::socket_t raw(rzremote::context(), zmq::socket_type::dealer);
    raw.set(zmq::sockopt::linger, 0);
    raw.set(zmq::sockopt::rcvtimeo, 10000);
    raw.connect("tcp://" + server.address());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t i = 0; i < c.frames.size(); ++i) {
            raw.send(zmq::buffer(c.frames[i]),
                     i + 1 < c.frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
        }
        zmq::message_t msg;
        ASSERT_TRUE(raw.recv(msg));
        rzwire::Reply reply;
        ASSERT_EQ(rzwire::decodeReply(msg.data<uint8_t>(), msg.size(), reply), 0);
        EXPECT_EQ(reply.result, c.result) << RZ_ErrorName(reply.result);
        EXPECT_TRUE(reply.body.empty());
    }
    // A frame past the size limit costs the sender its connection, nobody else anything.
    raw.send(zmq::buffer(rzwire::Bytes(2u << 20, 0x55)));
    auto st = server.status();
    EXPECT_GE(st.sessions, 1u);
    RzDeviceHandle h = RZ_DeviceOpen(server.text().c_str(), "dummy", "dummy");
    EXPECT_NE(h, 0u);
    RZ_DeviceClose(h);
}

TEST(DmServer, SigtermReleasesEveryDeviceAndExitsZero) {
    Server server;
    auto client = server.session();
    uint32_t h = 0, inst = 0, topic = 0;
    ASSERT_EQ(client->open("dummy", "dummy:nsensors=1", h, inst), 0);
    ASSERT_EQ(client->open("dummy", "second:nsensors=2", h, inst), 0);
    ASSERT_EQ(client->attach(h, topic), 0);
    EXPECT_EQ(server.stop(), 0);
    std::string log = server.log();
    EXPECT_NE(log.find("released 2 device(s)"), std::string::npos) << log;
    EXPECT_EQ(count(log, "Thread exited"), 2u) << log;
}

TEST(DmServer, CommandLineAndConfigFile) {
    const struct {
        std::vector<std::string> args;
        int status;
        const char* output;
    } cases[] = {
        {{"--version"}, 0, "dmserver "},
        {{"--help"}, 0, "--bind"},
        {{"--bind", "nohost"}, 2, "bad value for --bind"},
        {{"--log-level", "loud"}, 2, "log-level"},
        {{"--config", "/nonexistent/dmserver.conf"}, 2, "nonexistent"},
    };
    for (const auto& c : cases) {
        char path[] = "/tmp/dmserver-cli-XXXXXX";
        int fd = mkstemp(path);
        std::vector<std::string> args = {DMSERVER_PATH};
        args.insert(args.end(), c.args.begin(), c.args.end());
        pid_t pid = spawn(args, fd, fd);
        EXPECT_EQ(reap(pid), c.status) << c.args[0];
        std::ifstream in(path);
        std::string out((std::istreambuf_iterator<char>(in)), {});
        EXPECT_NE(out.find(c.output), std::string::npos) << out;
        close(fd);
        std::remove(path);
    }
}

}  // namespace

// The dummy plug-in loaded by the real core: frame behaviour shared by every plug-in, and
// the dummy's channels, worker and streams.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"

namespace {

using namespace std::chrono_literals;

class Dummy : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(RZ_LoadPlugins(nullptr), 1);
        module_ = dlopen(DUMMY_PATH, RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(module_, nullptr) << "the core did not load " << DUMMY_PATH;
        auto get =
            reinterpret_cast<RzPluginGetEntryPointsFn>(dlsym(module_, "RZ_Plugin_GetEntryPoints"));
        ASSERT_NE(get, nullptr);
        ASSERT_EQ(get(&entry_), 0);
    }
    void TearDown() override {
        RZ_UnloadPlugins();
        if (module_ != nullptr) {
            dlclose(module_);
        }
    }

    // Sends a request straight to the plug-in's RZDP_Control.
    int control(RzMessageHeader& h, int message, uint32_t handle, void* payload, int size,
                int length = 0, uint16_t sequence = 7) {
        RZ_MessagePrepare(&h, message, 0, RZ_KIND_CLIENT, 0x55, RZ_KIND_DUMMY, handle, sequence, 1,
                          length);
        return entry_.Control(&h, payload, size);
    }

    static std::vector<double> values(const uint8_t* buf, int len) {
        std::vector<double> v;
        for (int i = 0; i + 8 <= len; i += 8) {
            v.push_back(RZ_GetDouble(buf + i));
        }
        return v;
    }

    void* module_ = nullptr;
    RzPluginEntry entry_{};
};

TEST_F(Dummy, EntryRecord) {
    EXPECT_EQ(entry_.versionA, 96);
    EXPECT_EQ(entry_.versionB, 256);
    EXPECT_EQ(entry_.kind, RZ_KIND_DUMMY);
    EXPECT_STREQ(entry_.name, "dummy V1.00");
    EXPECT_EQ(entry_.verbosity, 0);
    EXPECT_EQ(entry_.reserved, 0);
    EXPECT_EQ(entry_.MatchName("dummy"), 0);
    EXPECT_EQ(entry_.MatchName("VexaDummy"), 0);
    EXPECT_EQ(entry_.MatchName("glove"), -1);
    auto get =
        reinterpret_cast<RzPluginGetEntryPointsFn>(dlsym(module_, "RZ_Plugin_GetEntryPoints"));
    EXPECT_EQ(get(nullptr), RZERR_INVALID_FUNCTABLE);
    auto init = reinterpret_cast<RzPluginInitializeFn>(dlsym(module_, "RZ_Plugin_Initialize"));
    EXPECT_EQ(init(nullptr, &entry_), RZERR_INVALID_FUNCTABLE);
    bool found = false;
    for (int i = 0; i < RZ_PluginCount(); ++i) {
        RzPluginInfo info{};
        RZ_GetPluginInfo(i, &info);
        if (std::string(info.module) == "dummy") {
            found = true;
            EXPECT_EQ(info.kind, 128);
            EXPECT_STREQ(info.name, "dummy V1.00");
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(Dummy, SharedInstanceIsReleasedByItsLastClient) {
    RzInstance* a = RZ_InstanceOpen("dummy:device=dummy:nsensors=3");
    RzInstance* b = RZ_InstanceOpen("dummy:device=dummy");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_STREQ(a->name, "dummy:device=dummy\n");
    EXPECT_EQ(a->clientCount, 2);
    EXPECT_EQ(a->kind, RZ_KIND_DUMMY);
    EXPECT_EQ(entry_.Destroy(a), RZERR_INSTANCE_SHARED_BY_OTHERS);
    uint8_t buf[256];
    RzMessageHeader h;
    EXPECT_EQ(control(h, 15, a->item.id, buf, sizeof(buf)), 0);  // still alive
    EXPECT_EQ(entry_.Destroy(a), 0);
    EXPECT_EQ(control(h, 15, RZ_ListItemId(a), buf, sizeof(buf)), RZERR_INVALID_INSTANCE);
    EXPECT_EQ(entry_.Destroy(a), RZERR_INVALID_INSTANCE);
}

TEST_F(Dummy, ReleaseMessageAnswersMinusOneWhileShared) {
    RzDeviceHandle h1 = RZ_DeviceOpen("", "shared", "dummy");
    RzDeviceHandle h2 = RZ_DeviceOpen("", "shared", "dummy");
    ASSERT_NE(h1, 0u);
    ASSERT_NE(h2, 0u);
    uint8_t buf[64];
    int len = 0;
    EXPECT_EQ(RZ_DeviceControl(h1, 2, 0, buf, &len, sizeof(buf)), -1);  // shared: -1
    len = 0;
    ASSERT_EQ(RZ_DeviceControl(h2, 15, 0, buf, &len, sizeof(buf)), 0);  // worker still runs
    std::vector<double> before = values(buf, len);
    std::this_thread::sleep_for(20ms);
    len = 0;
    ASSERT_EQ(RZ_DeviceControl(h2, 15, 0, buf, &len, sizeof(buf)), 0);
    EXPECT_NE(values(buf, len), before);
    len = 0;
    EXPECT_EQ(RZ_DeviceControl(h2, 2, 0, buf, &len, sizeof(buf)), 0);  // last client
    len = 0;
    EXPECT_EQ(RZ_DeviceControl(h2, 15, 0, buf, &len, sizeof(buf)), RZERR_INVALID_INSTANCE);
}

TEST_F(Dummy, UnknownHandleAndUnknownMessageAreAnsweredWithSwappedHeaders) {
    RzDeviceHandle dev = RZ_DeviceOpen("", "hdr", "dummy");
    ASSERT_NE(dev, 0u);
    RzInstance* inst = RZ_InstanceOpen("hdr:device=dummy");
    uint8_t buf[64];
    RzMessageHeader h;
    EXPECT_EQ(control(h, 99, inst->item.id, buf, sizeof(buf), 0, 0x4242),
              RZERR_MESSAGE_NOT_IMPLEMENTED);
    RzMessageInfo info{};
    RZ_MessageDecode(&h, &info);
    EXPECT_EQ(info.result, RZERR_MESSAGE_NOT_IMPLEMENTED);
    EXPECT_EQ(info.senderKind, RZ_KIND_DUMMY);
    EXPECT_EQ(info.receiverKind, RZ_KIND_CLIENT);
    EXPECT_EQ(info.senderHandle, inst->item.id);
    EXPECT_EQ(info.receiverHandle, 0x55u);
    EXPECT_EQ(info.answered, 0x4242);
    EXPECT_EQ(info.replyWanted, 0);
    EXPECT_EQ(info.length, 0);
    uint16_t firstSequence = info.sequence;

    EXPECT_EQ(control(h, 15, 0xdeadbeef, buf, sizeof(buf)), RZERR_INVALID_INSTANCE);
    RZ_MessageDecode(&h, &info);
    EXPECT_EQ(info.result, RZERR_INVALID_INSTANCE);
    EXPECT_EQ(info.senderHandle, 0xdeadbeefu);
    EXPECT_EQ(static_cast<uint16_t>(firstSequence + 1), info.sequence);  // per plug-in counter
    RZ_InstanceClose(inst);
    RZ_DeviceClose(dev);
}

TEST_F(Dummy, PayloadLongerThanItsBufferIsRefusedUntouched) {
    RzInstance* inst = RZ_InstanceOpen("long:device=dummy:nsensors=4");
    ASSERT_NE(inst, nullptr);
    uint8_t buf[48];
    std::memset(buf, 0xAB, sizeof(buf));
    RzMessageHeader h;
    // Header claims 100 bytes in a buffer of 16: nothing may be read or written past it.
    EXPECT_EQ(control(h, 15, inst->item.id, buf, 16, 100), RZERR_MESSAGE_INVALID_BODY);
    EXPECT_TRUE(std::all_of(buf, buf + sizeof(buf), [](uint8_t b) { return b == 0xAB; }));
    RzMessageInfo info{};
    RZ_MessageDecode(&h, &info);
    EXPECT_EQ(info.result, RZERR_MESSAGE_INVALID_BODY);
    EXPECT_EQ(info.length, 0);
    // A reply that does not fit (4 channels, 32 bytes) is refused too.
    EXPECT_EQ(control(h, 15, inst->item.id, buf, 16), RZERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(buf[16], 0xAB);
    RZ_InstanceClose(inst);
}

TEST_F(Dummy, ChannelCountIsClampedAndEachChannelIs8Bytes) {
    struct Case {
        const char* settings;
        int bytes;
    } cases[] = {{"a", 16}, {"b:nsensors=3", 24}, {"c:nsensors=30", 192}, {"d:nsensors=-4", 0}};
    for (const Case& c : cases) {
        RzDeviceHandle dev = RZ_DeviceOpen("", c.settings, "dummy");
        ASSERT_NE(dev, 0u) << c.settings;
        uint8_t buf[512];
        EXPECT_EQ(RZ_DeviceControlGet(dev, 15, 0, buf, sizeof(buf)), c.bytes) << c.settings;
        RZ_DeviceClose(dev);
    }
}

TEST_F(Dummy, ChannelsStayWithinTheirBounds) {
    struct Case {
        const char* settings;
        double lower, upper;
    } cases[] = {{"b1", -1, 1}, {"b2:upper=10:lower=0", 0, 10}, {"b3:upper=-2:lower=-3", -3, -2}};
    for (const Case& c : cases) {
        std::string device = std::string(c.settings) + ":nsensors=5:freq=7";
        RzDeviceHandle dev = RZ_DeviceOpen("", device.c_str(), "dummy");
        ASSERT_NE(dev, 0u);
        double lo = 1e9, hi = -1e9;
        for (int i = 0; i < 150; ++i) {
            uint8_t buf[64];
            int len = RZ_DeviceControlGet(dev, 15, 0, buf, sizeof(buf));
            ASSERT_EQ(len, 40);
            for (double v : values(buf, len)) {
                EXPECT_GE(v, c.lower - 1e-9) << c.settings;
                EXPECT_LE(v, c.upper + 1e-9) << c.settings;
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            std::this_thread::sleep_for(1ms);
        }
        // A sine, not a constant: it covers most of the range.
        EXPECT_LT(lo, c.lower + 0.25 * (c.upper - c.lower)) << c.settings;
        EXPECT_GT(hi, c.upper - 0.25 * (c.upper - c.lower)) << c.settings;
        RZ_DeviceClose(dev);
    }
}

TEST_F(Dummy, InvalidSettingsAndOverlongNamesAreRefused) {
    EXPECT_EQ(RZ_DeviceOpen("", "x:freq=fast", "dummy"), 0u);
    EXPECT_EQ(RZ_GetLastError(), RZERR_INVALID_URL);
    std::string longName(120, 'n');  // with ":device=dummy\n" past 127 characters
    EXPECT_EQ(RZ_DeviceOpen("", (longName + "1").c_str(), "dummy"), 0u);
    EXPECT_EQ(RZ_GetLastError(), RZERR_INVALID_PARAM);
}

struct Client {
    std::mutex mutex;
    std::vector<double> samples;
    std::atomic<int> quits{0};
    std::atomic<int> records{0};
    int width = 0;
};

int clientReader(RzDataStream* s, int reason) {
    auto* c = static_cast<Client*>(RZ_DataStreamUser(s));
    if (reason == RZ_STREAM_QUIT) {
        ++c->quits;
        return 0;
    }
    uint8_t rec[512];
    while (RZ_DataStreamAvailable(s) >= c->width && c->width > 0) {
        RZ_DataStreamRead(s, rec, c->width);
        std::lock_guard<std::mutex> lock(c->mutex);
        for (int i = 0; i < c->width; i += 8) {
            c->samples.push_back(RZ_GetDouble(rec + i));
        }
        ++c->records;
    }
    return 0;
}

TEST_F(Dummy, WorkerFeedsAttachedStreamsAndDropsDeadOnes) {
    RzDeviceHandle dev = RZ_DeviceOpen("", "streams:nsensors=4:upper=2:lower=1", "dummy");
    ASSERT_NE(dev, 0u);
    Client live;
    live.width = 32;
    RzDataStream* s = RZ_DataStreamNew(2048, clientReader, &live);
    RzDataStream* dead = RZ_DataStreamNew(256, nullptr, nullptr);  // never read
    ASSERT_EQ(RZ_DeviceAttachDataStream(dev, s), 0);
    ASSERT_EQ(RZ_DeviceAttachDataStream(dev, dead), 0);
    EXPECT_EQ(RZ_DeviceAttachDataStream(dev, s), RZERR_DEVICE_IN_USE);
    EXPECT_EQ(RZ_DeviceAttachDataStream(dev, nullptr), RZERR_INVALID_DATASTREAM);
    for (int i = 0; i < 1000 && (live.records < 20 || RZ_DataStreamOwner(dead) != nullptr); ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_GE(live.records, 20);
    EXPECT_EQ(RZ_DataStreamOwner(dead), nullptr);  // full, so detached by the worker
    EXPECT_EQ(RZ_DeviceDetachDataStream(dev, dead), RZERR_INVALID_DATASTREAM);
    EXPECT_EQ(RZ_DeviceDetachDataStream(dev, s), 0);
    EXPECT_EQ(live.quits, 1);
    {
        std::lock_guard<std::mutex> lock(live.mutex);
        for (double v : live.samples) {
            ASSERT_GE(v, 1.0 - 1e-9);
            ASSERT_LE(v, 2.0 + 1e-9);
        }
    }
    RZ_DeviceClose(dev);
    RZ_DataStreamDestroy(s);
    RZ_DataStreamDestroy(dead);
}

TEST_F(Dummy, ReleaseWhileStreamsAndMessagesAreInFlight) {
    for (int round = 0; round < 5; ++round) {
        RzDeviceHandle h1 = RZ_DeviceOpen("", "race:nsensors=24", "dummy");
        RzDeviceHandle h2 = RZ_DeviceOpen("", "race:nsensors=24", "dummy");
        ASSERT_NE(h1, 0u);
        Client c;
        c.width = 192;
        RzDataStream* s = RZ_DataStreamNew(4096, clientReader, &c);
        ASSERT_EQ(RZ_DeviceAttachDataStream(h1, s), 0);
        std::atomic<bool> stop{false};
        std::thread reader([&] {
            uint8_t buf[256];
            while (!stop) {
                int r = RZ_DeviceControlGet(h2, 15, 0, buf, sizeof(buf));
                if (r < 0) {
                    EXPECT_TRUE(r == RZERR_INVALID_DID || r == RZERR_INVALID_INSTANCE) << r;
                    break;
                }
            }
        });
        std::this_thread::sleep_for(20ms);
        RZ_DeviceClose(h1);
        std::this_thread::sleep_for(5ms);
        RZ_DeviceClose(h2);  // last client: the worker is stopped while messages arrive
        stop = true;
        reader.join();
        EXPECT_EQ(c.quits, 1);  // told the device went away
        RZ_DataStreamDestroy(s);
    }
}

TEST_F(Dummy, InitialiseTwiceKeepsInstancesAndHandlers) {
    RzInstance* inst = RZ_InstanceOpen("twice:device=dummy:nsensors=2");
    ASSERT_NE(inst, nullptr);
    static RzCoreServices services = {
        nullptr,
        [](int n) -> void* { return n > 0 ? calloc(1, static_cast<size_t>(n)) : nullptr; },
        [](void* p) { free(p); },
        RZ_InstanceOpen,
        RZ_InstanceClose,
        RZ_InstanceAttach,
        RZ_InstanceDetach,
        RZ_MessageDeliver,
        RZ_ConfigQuery,
    };
    auto init = reinterpret_cast<RzPluginInitializeFn>(dlsym(module_, "RZ_Plugin_Initialize"));
    ASSERT_EQ(init(&services, &entry_), 0);
    uint8_t buf[64];
    RzMessageHeader h;
    EXPECT_EQ(control(h, 15, inst->item.id, buf, sizeof(buf)), 0);  // handlers and instance kept
    RzInstance* again = RZ_InstanceOpen("twice:device=dummy");
    EXPECT_EQ(again, inst);  // the instance list survived
    RZ_InstanceClose(again);
    RZ_InstanceClose(inst);
}

}  // namespace

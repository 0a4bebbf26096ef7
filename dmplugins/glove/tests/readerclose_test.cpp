// A client closing its device from inside its own stream reader, for each plug-in that feeds
// client streams from a thread of its own (dummy's worker, linemux's serial watcher, the
// glove through its port's watcher): refused there, the device stays open, and closed later
// it is released for good.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <ostream>
#include <string>

#include "glovetest_support.hpp"

using namespace glovetest;

namespace {

struct Closer {
    RzDeviceHandle handle = 0;
    std::atomic<int> result{1};  // of the reader's close; deliveries come on one thread
};

int closeFromReader(RzDataStream* s, int reason) {
    auto* c = static_cast<Closer*>(RZ_DataStreamUser(s));
    RZ_DataStreamPurge(s);
    if (reason != RZ_STREAM_QUIT && c->result.load() == 1) {
        c->result.store(RZ_DeviceClose(c->handle));
    }
    return 0;
}

struct Row {
    const char* type;
    const char* settings;
    bool onKelbsim;  // the device is kelbsim's terminal (a silent line is announced anyway)
    friend void PrintTo(const Row& row, std::ostream* out) { *out << row.type; }
};

class ReaderClose : public ::testing::TestWithParam<Row> {};

TEST_P(ReaderClose, IsRefusedAndTheDeviceStaysOpen) {
    TempDir dir;
    std::unique_ptr<Kelbsim> kelb;
    if (GetParam().onKelbsim) {
        kelb = std::make_unique<Kelbsim>(dir);
    }
    std::string device = (kelb ? kelb->pty() : "readerclose") + GetParam().settings;
    Closer closer;
    closer.handle = RZ_DeviceOpen("", device.c_str(), GetParam().type);
    ASSERT_NE(closer.handle, 0u) << RZ_ErrorName(RZ_GetLastError());
    RzDataStream* stream = RZ_DataStreamNew(4096, closeFromReader, &closer);
    ASSERT_EQ(RZ_DeviceAttachDataStream(closer.handle, stream), 0);
    ASSERT_TRUE(waitFor([&] { return closer.result.load() != 1; }));
    EXPECT_EQ(closer.result.load(), RZERR_DATASTREAM_IN_PROGRESS);

    EXPECT_EQ(RZ_DeviceClose(closer.handle), 0) << "the handle was kept";
    EXPECT_EQ(RZ_DataStreamDestroy(stream), 0);
    RzDeviceHandle again = RZ_DeviceOpen("", device.c_str(), GetParam().type);
    EXPECT_NE(again, 0u) << "nothing of it holds the line: " << RZ_ErrorName(RZ_GetLastError());
    RZ_DeviceClose(again);
}

INSTANTIATE_TEST_SUITE_P(Plugins, ReaderClose,
                         ::testing::Values(Row{"dummy", ":nsensors=4", false},
                                           Row{"linemux", "", true}, Row{"glove", "", true}),
                         [](const auto& info) { return std::string(info.param.type); });

}  // namespace

// A client that closes its device from inside its own stream reader, for each plug-in that
// feeds client streams from a thread of its own: dummy (its worker), linemux (the serial
// watcher) and glove (the watcher of its port, through its input stream). The close is
// refused there and the device stays usable; closed from the test's thread it is released
// and, for the serial ones, the line opens again.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "glovetest_support.hpp"

using namespace glovetest;

namespace {

struct Closer {
    RzDeviceHandle handle = 0;
    std::atomic<bool> tried{false};
    std::atomic<int> result{1};  // of the close made by the reader
};

int closeFromReader(RzDataStream* s, int reason) {
    auto* c = static_cast<Closer*>(RZ_DataStreamUser(s));
    if (reason == RZ_STREAM_DATA || reason == RZ_STREAM_FULL) {
        RZ_DataStreamPurge(s);
    }
    if (reason != RZ_STREAM_QUIT && !c->tried.exchange(true)) {
        c->result.store(RZ_DeviceClose(c->handle));
    }
    return 0;
}

struct Row {
    const char* type;
    const char* settings;  // after the device name
    bool onKelbsim;        // the device name is kelbsim's terminal
    int message, item;     // a request the open device answers with 0
    friend void PrintTo(const Row& row, std::ostream* out) { *out << row.type; }
};

class ReaderClose : public ::testing::TestWithParam<Row> {
  protected:
    void SetUp() override { setenv("RZ_CONFIG_FILE", dir.file("devicemanager.conf").c_str(), 1); }
    void TearDown() override { unsetenv("RZ_CONFIG_FILE"); }
    TempDir dir;
};

TEST_P(ReaderClose, IsRefusedAndTheDeviceStaysOpen) {
    const Row& row = GetParam();
    std::unique_ptr<Kelbsim> kelb;
    std::string name = "readerclose";
    if (row.onKelbsim) {
        kelb = std::make_unique<Kelbsim>(dir);
        name = kelb->pty();
    }
    std::string device = name + row.settings;
    Closer closer;
    closer.handle = RZ_DeviceOpen("", device.c_str(), row.type);
    ASSERT_NE(closer.handle, 0u) << RZ_ErrorName(RZ_GetLastError());
    RzDataStream* stream = RZ_DataStreamNew(4096, closeFromReader, &closer);
    ASSERT_EQ(RZ_DeviceAttachDataStream(closer.handle, stream), 0);
    if (std::string(row.type) == "linemux") {
        // A query kelbsim answers; a silent line would be announced within a second anyway.
        EXPECT_EQ(RZ_DeviceControlSet(closer.handle, 16, 0, "?p", 2), 0);
    }
    ASSERT_TRUE(waitFor([&] { return closer.result.load() != 1; }));
    EXPECT_EQ(closer.result.load(), RZERR_DATASTREAM_IN_PROGRESS);
    std::vector<uint8_t> io;
    EXPECT_EQ(control(closer.handle, row.message, row.item, io), 0) << "still open";

    EXPECT_EQ(RZ_DeviceClose(closer.handle), 0);
    EXPECT_EQ(RZ_DeviceClose(closer.handle), RZERR_INVALID_DID);
    EXPECT_EQ(RZ_DataStreamDestroy(stream), 0);
    // Released for good: nothing of it holds the line.
    RzDeviceHandle again = RZ_DeviceOpen("", device.c_str(), row.type);
    EXPECT_NE(again, 0u) << RZ_ErrorName(RZ_GetLastError());
    RZ_DeviceClose(again);
}

INSTANTIATE_TEST_SUITE_P(Plugins, ReaderClose,
                         ::testing::Values(Row{"dummy", ":nsensors=4", false, 15, 2},
                                           Row{"linemux", "", true, 4, 0},
                                           Row{"glove", "", true, 15, 2}),
                         [](const auto& info) { return std::string(info.param.type); });

}  // namespace

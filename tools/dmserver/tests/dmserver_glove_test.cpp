// The wired glove served by dmserver: the server runs the real glove and linemux plug-ins on
// kelbsim behind a pseudo-terminal, and this process reads it through the core's remote path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

#include "devicemanager/rzclient.h"
#include "dmserver_process.hpp"
#include "glovetest_support.hpp"

namespace {

using namespace std::chrono_literals;
using dmservertest::eventually;
using dmservertest::Server;

// One scripted record: 24 sensor bytes, repeated for as long as the unit streams.
std::string script(const glovetest::TempDir& dir, int base) {
    std::string line;
    for (int k = 0; k < 24; ++k) {
        line += std::to_string(base + 5 * k) + " ";
    }
    return dir.write("script-" + std::to_string(base) + ".txt", line + "\n");
}

bool near(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == 24 && b.size() == 24 &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](double x, double y) { return std::fabs(x - y) < 1e-12; });
}

// A client stream's records of 24 joint values, as the glove publishes them.
struct Values {
    std::mutex mutex;
    int records = 0;
    std::vector<double> last;
    static int read(RzDataStream* s, int reason) {
        auto* v = static_cast<Values*>(RZ_DataStreamUser(s));
        uint8_t buf[192];
        while (reason == RZ_STREAM_DATA && RZ_DataStreamRead(s, buf, sizeof buf) == 192) {
            std::lock_guard<std::mutex> lock(v->mutex);
            ++v->records;
            v->last.clear();
            for (int k = 0; k < 24; ++k) {
                v->last.push_back(RZ_GetDouble(buf + 8 * k));
            }
        }
        return 0;
    }
    int count() {
        std::lock_guard<std::mutex> lock(mutex);
        return records;
    }
    std::vector<double> values() {
        std::lock_guard<std::mutex> lock(mutex);
        return last;
    }
};

TEST(DmServerGlove, RemoteClientReadsWhatAnInProcessClientReads) {
    glovetest::TempDir served, local;
    const std::string link = served.file("kelb");
    glovetest::Kelbsim unit(served, {"--link", link, "--script", script(served, 60)});
    glovetest::Kelbsim twin(local, {"--script", script(local, 60)});
    Server server;
    RzDeviceHandle remote = RZ_DeviceOpen(server.text().c_str(), link.c_str(), "glove");
    ASSERT_NE(remote, 0u) << RZ_ErrorName(RZ_GetLastError()) << server.log();
    glovetest::Device inProcess(twin.pty());
    ASSERT_TRUE(inProcess);
    EXPECT_TRUE(eventually(
        [&] {
            return near(glovetest::jointValues(remote), glovetest::jointValues(inProcess.get()));
        },
        20s))
        << server.log();
    EXPECT_EQ(glovetest::rawBytes(remote), glovetest::rawBytes(inProcess.get()));
    Values streamed;
    RzDataStream* stream = RZ_DataStreamNew(4096, Values::read, &streamed);
    ASSERT_EQ(RZ_DeviceAttachDataStream(remote, stream), 0);
    ASSERT_TRUE(eventually([&] { return streamed.count() >= 10; }, 20s));
    EXPECT_TRUE(near(streamed.values(), glovetest::jointValues(inProcess.get())));
    EXPECT_EQ(RZ_DeviceDetachDataStream(remote, stream), 0);
    RZ_DataStreamDestroy(stream);
    EXPECT_EQ(RZ_DeviceClose(remote), 0);
}

TEST(DmServerGlove, StreamResumesWhenTheUnitComesBackOnItsLink) {
    glovetest::TempDir dir;
    const std::string link = dir.file("kelb");
    auto unit = std::make_unique<glovetest::Kelbsim>(
        dir, std::vector<std::string>{"--link", link, "--script", script(dir, 60)});
    Server server;
    RzDeviceHandle remote = RZ_DeviceOpen(server.text().c_str(), link.c_str(), "glove");
    ASSERT_NE(remote, 0u) << RZ_ErrorName(RZ_GetLastError()) << server.log();
    Values streamed;
    RzDataStream* stream = RZ_DataStreamNew(4096, Values::read, &streamed);
    ASSERT_EQ(RZ_DeviceAttachDataStream(remote, stream), 0);
    ASSERT_TRUE(eventually([&] { return streamed.count() >= 20; }, 20s));
    const std::vector<double> before = streamed.values();

    unit.reset();  // the unit goes away mid-stream, and with it the far end of the line
    ASSERT_TRUE(
        eventually([&] { return server.log().find("silent for") != std::string::npos; }, 20s))
        << server.log();
    // Another unit, other sensor values, the same link name.
    unit = std::make_unique<glovetest::Kelbsim>(
        dir, std::vector<std::string>{"--link", link, "--script", script(dir, 90)});
    const int atRestart = streamed.count();
    EXPECT_TRUE(eventually(
        [&] { return streamed.count() >= atRestart + 50 && !near(streamed.values(), before); },
        60s))
        << streamed.count() << "\n"
        << server.log();
    EXPECT_TRUE(near(streamed.values(), glovetest::jointValues(remote)));
    EXPECT_NE(server.log().find("streaming again"), std::string::npos) << server.log();
    EXPECT_EQ(RZ_DeviceDetachDataStream(remote, stream), 0);
    RZ_DataStreamDestroy(stream);
    EXPECT_EQ(RZ_DeviceClose(remote), 0);
}

}  // namespace

// dmserver with the glove plug-in on kelbsim (each hand) and --osc to a receiver on
// 127.0.0.1: a glove a client opens streams under its instance's name while it is open.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "devicemanager/rzclient.h"
#include "oscreceiver.hpp"
#include "testsupport/simulator.hpp"

namespace {

class DmserverStream : public ::testing::TestWithParam<bool> {};

TEST_P(DmserverStream, OpenGloveStreamsUntilClosed) {
    const bool left = GetParam();
    Receiver receiver;
    testsupport::Simulator sim(
        KELBSIM_PATH, "", left ? std::vector<std::string>{"--left"} : std::vector<std::string>{});
    ASSERT_EQ(sim.terminal().rfind("/dev/", 0), 0u) << sim.terminal();
    testsupport::ChildOptions firstLine;
    firstLine.waitFirstLine = true;
    testsupport::ChildProcess server(DMSERVER_PATH,
                                     {"--bind", "127.0.0.1:0", "--plugins", PLUGIN_DIR, "--osc",
                                      "127.0.0.1:" + receiver.port(), "--rate", "1000"},
                                     firstLine);
    int port = 0;
    ASSERT_EQ(std::sscanf(server.firstLine().c_str(), "dmserver listening on 127.0.0.1:%d", &port),
              1)
        << server.firstLine();
    const std::string where = "server=127.0.0.1:port=" + std::to_string(port);

    RzDeviceHandle glove = RZ_DeviceOpen(where.c_str(), sim.terminal().c_str(), "glove");
    ASSERT_NE(glove, 0u) << RZ_ErrorName(RZ_GetLastError());
    const std::string name = "glove" + std::to_string(RZ_DeviceInstanceId(glove));
    constexpr size_t kFrames = 10;
    const auto got = receiver.take(kFrames);
    ASSERT_GE(got.size(), kFrames);
    bool moved = false;
    for (const Received& r : got) {
        ASSERT_EQ(r.path, "/manuvia/glove");
        ASSERT_EQ(r.strings, (std::vector<std::string>{name, left ? "left" : "right"}));
        ASSERT_EQ(r.numbers.size(), 24u);
        for (double a : r.numbers) {
            EXPECT_TRUE(std::isfinite(a) && std::fabs(a) < 2 * M_PI) << a;
            moved = moved || a != 0.0;
        }
    }
    EXPECT_TRUE(moved) << "every joint value was zero";

    ASSERT_EQ(RZ_DeviceClose(glove), 0);
    // Frames in flight at the close may still land; then nothing more comes.
    std::this_thread::sleep_for(300ms);
    const size_t settled = receiver.take(0).size();
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(receiver.take(0).size(), settled);
}

INSTANTIATE_TEST_SUITE_P(Hands, DmserverStream, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Left" : "Right"; });

TEST(DmserverStreamOptions, BadTargetsAreRefusedAtStart) {
    for (const char* bad : {"--osc=nohost", "--vmc=127.0.0.1:70000", "--rate=0"}) {
        testsupport::ChildProcess server(DMSERVER_PATH,
                                         {"--bind", "127.0.0.1:0", "--plugins", PLUGIN_DIR, bad});
        EXPECT_EQ(server.finish(), 2) << bad << "\n" << server.errorOutput();
    }
}

}  // namespace

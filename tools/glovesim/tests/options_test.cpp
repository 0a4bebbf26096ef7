// Command-line parsing of glovesim: values, faults and clear refusals.
#include <gtest/gtest.h>

#include "glovesim/options.hpp"

namespace glovesim {
namespace {

TEST(GlovesimOptions, ValuesAreTaken) {
    std::string err;
    auto o = parseOptions(
        {"--tcp", "127.0.0.1:5003", "--sensors", "18", "--left", "--serial-number", "42",
         "--battery-mv", "6900", "--sdcard", "/tmp", "--record", "r.bin", "--once", "--verbose"},
        &err);
    ASSERT_TRUE(o) << err;
    EXPECT_TRUE(o->tcp);
    EXPECT_EQ(o->tcpHost, "127.0.0.1");
    EXPECT_EQ(o->tcpPort, "5003");
    EXPECT_EQ(o->glove.transport, Transport::Tcp);
    EXPECT_EQ(o->glove.sensors, 18);
    EXPECT_TRUE(o->glove.leftHand);
    EXPECT_EQ(o->glove.serialNumber, 42);
    EXPECT_EQ(o->glove.batteryMv, 6900);
    EXPECT_EQ(o->recordPath, "r.bin");
    EXPECT_TRUE(o->once);

    auto v6 = parseOptions({"--tcp", "[::1]:7000"}, &err);
    ASSERT_TRUE(v6) << err;
    EXPECT_EQ(v6->tcpHost, "::1");
    auto serial = parseOptions({"--link", "/tmp/glove"}, &err);
    ASSERT_TRUE(serial) << err;
    EXPECT_EQ(serial->glove.transport, Transport::Serial);
    EXPECT_EQ(serial->glove.sensors, 22);
}

TEST(GlovesimOptions, FaultsWithAndWithoutArguments) {
    std::string err;
    auto o = parseOptions(
        {"--fault", "silence=5", "--fault",    "garbage=3,7", "--fault",      "drop-download",
         "--fault", "oversize",  "--fault",    "chunk=4,20",  "--fault",      "burst=2",
         "--fault", "slow=100",  "--fault",    "bad-frame",   "--fault",      "no-start-echo",
         "--fault", "flat=4",    "--fault",    "saturate=22", "--fault",      "noise=0",
         "--fault", "flip=7",    "--fault",    "insert",      "--fault",      "delete=3",
         "--fault", "flood=50",  "--delay-ms", "80",          "--stamp-file", "/tmp/s"},
        &err);
    ASSERT_TRUE(o) << err;
    const Faults& f = o->glove.faults;
    EXPECT_EQ(f.silenceAfterFrames, 5);
    EXPECT_EQ(f.garbageAfterFrame, 3);
    EXPECT_EQ(f.garbageCount, 7);
    EXPECT_EQ(f.dropDownloadAfter, -2);
    EXPECT_EQ(f.oversize, 1100);
    EXPECT_EQ(f.chunkBytes, 4);
    EXPECT_EQ(f.chunkPauseMs, 20);
    EXPECT_EQ(f.burstFrames, 2);
    EXPECT_EQ(f.slowMs, 100);
    EXPECT_EQ(f.badFrame, 3);
    EXPECT_TRUE(f.noStartEcho);
    EXPECT_EQ(f.sensor[4], SensorFault::Flat);
    EXPECT_EQ(f.sensor[22], SensorFault::Saturate);
    EXPECT_EQ(f.sensor[0], SensorFault::Noise);
    EXPECT_EQ(f.sensor[5], SensorFault::None);
    EXPECT_EQ(o->glove.outputDelay, Millis(80));
    EXPECT_EQ(o->stampPath, "/tmp/s");
    EXPECT_EQ(f.silenceMs, -1);
    EXPECT_EQ(f.flipEvery, 7);
    EXPECT_EQ(f.insertEvery, 10);
    EXPECT_EQ(f.deleteEvery, 3);
    EXPECT_EQ(f.flood, 50);
    auto timed = parseOptions({"--fault", "silence=4,20,1500"}, &err);
    ASSERT_TRUE(timed) << err;
    EXPECT_EQ(timed->glove.faults.silenceAfterFrames, 4);
    EXPECT_EQ(timed->glove.faults.silenceBytes, 20);
    EXPECT_EQ(timed->glove.faults.silenceMs, 1500);
}

TEST(GlovesimOptions, BadInputIsRefusedWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {"--sensors", "20"},
        {"--tcp", "localhost"},
        {"--tcp", "h:0"},
        {"--tcp", "h:99999"},
        {"--battery-mv", "-1"},
        {"--battery-mv", "12x"},
        {"--serial-number"},
        {"--fault", "explode"},
        {"--fault", "silence=x"},
        {"--fault", "silence=3,61"},
        {"--fault", "silence=3,1,x"},
        {"--fault", "flip=0"},
        {"--fault", "flood=1001"},
        {"--fault", "garbage=1,0"},
        {"--fault", "no-start-echo=1"},
        {"--fault", "flat"},
        {"--fault", "noise=7"},  // no sensor there
        {"--fault", "saturate=23"},
        {"--delay-ms", "-5"},
        {"--link", "/tmp/a", "--tcp", "h:1"},
        {"--bogus"},
    };
    for (const auto& args : bad) {
        std::string err;
        EXPECT_FALSE(parseOptions(args, &err)) << args[0];
        EXPECT_FALSE(err.empty()) << args[0];
    }
}

}  // namespace
}  // namespace glovesim

// Command exchanges against the simulated glove over a real pty and a real TCP socket.

#include "simglove.hpp"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <algorithm>
#include <string>
#include <vector>

using namespace glove;

namespace {

enum class Wire { Serial, Tcp };

std::string wireName(const testing::TestParamInfo<Wire>& info) {
    return info.param == Wire::Serial ? "Serial" : "Tcp";
}

class SimExchange : public testing::TestWithParam<Wire> {
  protected:
    // Starts glovesim with extra arguments and connects link to it.
    void connect(GloveLink& link, const QStringList& extra) {
        const bool ok =
            GetParam() == Wire::Serial ? sim.connectSerial(link, extra) : sim.startTcp(link, extra);
        ASSERT_TRUE(ok) << sim.log().toStdString();
        ASSERT_TRUE(link.connected());
    }
    SimGlove sim;
};

QByteArray bytes(const char* data, int size) {
    return QByteArray(data, size);
}

// A card file with every byte value, but no run of carriage returns.
QByteArray cardFile(int size) {
    QByteArray data;
    for (int i = 0; i < size; ++i) {
        char c = static_cast<char>((i * 37 + i / 251) & 0xFF);
        data.append(c == '\r' ? 'r' : c);
    }
    return data;
}

const QByteArray kTerminator(GloveLink::kTerminatorLength, '\r');

}  // namespace

TEST_P(SimExchange, EveryCommandArrivesByteForByte) {
    GloveLink link;
    QDir().mkpath(sim.scratch("card"));
    sim.writeFile("card/A.TXT", "a");
    connect(link, {"--sdcard", sim.scratch("card"), "--serial-number", "7"});

    EXPECT_EQ(link.querySensorCount(), 22);
    EXPECT_EQ(link.sensorCount(), 22);
    EXPECT_TRUE(link.queryRightHand());
    link.writeSerialNumber(42);
    EXPECT_EQ(link.lastMessage(), QString("Serial Number set to 42\n"));
    EXPECT_EQ(link.readSerialNumber(), 42);  // "  42" read back
    EXPECT_FLOAT_EQ(link.batteryVoltage(), 7.4f);
    EXPECT_EQ(link.batteryLevel(), 1);
    link.setTime(1, 2, 3);
    int t[5] = {-1, -1, -1, -1, 99};
    link.getTime(t);
    EXPECT_EQ(t[0], 1);
    EXPECT_EQ(t[1], 2);
    EXPECT_GE(t[2], 3);
    EXPECT_LE(t[2], 30);
    EXPECT_EQ(t[4], 99);  // the glove's time reply has no fifth field
    std::vector<char> list(GloveLink::kFileListSize);
    const int n = link.getFileList(list.data(), static_cast<int>(list.size()));
    const std::vector<std::string> names = parseFileList(list.data(), n);
    EXPECT_NE(std::find(names.begin(), names.end(), "A.TXT"), names.end());
    EXPECT_EQ(link.setJamSync(true), 4);  // "1o" 0x01 and the NUL
    link.setJamSync(false);
    link.configureOutputs(true, 5, false, 0, true, 1);
    link.setFrameRateMultiplier(0);
    link.setFrameRateMultiplier(9);
    link.applyDefaultStreamConfig();
    link.setActiveFile("LOG1.TXT", "HDR");
    link.setActiveFile("LOG2.TXT", nullptr);
    std::array<uint8_t, kHardwareBlockWriteSize> block{};
    for (int p = 0; p < kHardwareSensorCount; ++p) {
        block[p] = static_cast<uint8_t>(p + 1);
        block[kHardwareSensorCount + p] = static_cast<uint8_t>(100 + p);
    }
    link.writeHardwareCalibration(block.data());
    EXPECT_EQ(link.lastMessage(), QString("WRITE TO GLOVE\n"));
    uint8_t read[kHardwareBlockReadSize];
    std::memset(read, 0xEE, sizeof read);
    ASSERT_TRUE(link.readHardwareCalibration(read));
    for (int i = 0; i < kSensorIndexCount; ++i) {
        const int p = kHardwarePosition[i];
        EXPECT_EQ(read[i], p < 0 ? 0 : p + 1) << i;
        EXPECT_EQ(read[kSensorIndexCount + i], p < 0 ? 0 : 100 + p) << i;
    }
    EXPECT_TRUE(link.lastMessage().startsWith("READ FROM GLOVE\t  1   2   3 "));
    link.commitEEPROM();
    link.setLowPower(true);
    EXPECT_TRUE(link.lowPower());
    link.setLowPower(false);
    EXPECT_FALSE(link.lowPower());
    link.pollSample();
    link.startStreaming();
    EXPECT_TRUE(link.streaming());
    link.stopStreaming();
    EXPECT_FALSE(link.streaming());
    link.reboot();
    EXPECT_EQ(link.errorState(), 0);

    QByteArray expected;
    expected += bytes("?S\0", 3);
    expected += "?R";
    expected += bytes(
        "E\0 E\1 E\2"
        "4E\3"
        "2",
        12);
    expected += bytes("?E\0?E\1?E\2?E\3", 12);
    expected += "VV";
    expected += "1ts01:02:03";
    expected += "1tg";
    expected += "?l";
    expected += bytes(
        "1o\1"
        "1o\0",
        6);
    expected += bytes(
        "1ew1w\5"
        "1du1es1s\1",
        15);
    expected += bytes(
        "1m\1"
        "1m\4",
        6);
    expected += bytes(
        "1m\3"
        "1ew1w\3"
        "1eu1u\3"
        "1es1s\1",
        21);
    expected += bytes("1ALOG1.TXT\1HDR\1", 15);
    expected += bytes("1ALOG2.TXT\1DEFAULT HEADER\1", 26);
    expected += "CA";
    expected += QByteArray(reinterpret_cast<const char*>(block.data()), 36);
    expected += "?C^WZ1Z0G1S\3";
    expected += bytes("\x12\0", 2);
    const QByteArray got = sim.recorded(expected.size());
    EXPECT_EQ(got.toHex(' ').toStdString(), expected.toHex(' ').toStdString());
}

TEST_P(SimExchange, BatteryLevelsFromTheGlovesMillivolts) {
    // (millivolts, volts, level); 0000 is an unknown reading, level 3.
    const struct {
        const char* mv;
        float volts;
        int level;
    } cases[] = {{"7400", 7.4f, 1}, {"7800", 7.8f, 2}, {"6000", 6.0f, 0}, {"0", 0.0f, 3}};
    for (const auto& c : cases) {
        SimGlove glove;
        GloveLink link(nullptr, fastTiming());
        const bool ok = GetParam() == Wire::Serial
                            ? glove.connectSerial(link, {"--battery-mv", c.mv})
                            : glove.startTcp(link, {"--battery-mv", c.mv});
        ASSERT_TRUE(ok);
        EXPECT_FLOAT_EQ(link.batteryVoltage(), c.volts) << c.mv;
        EXPECT_EQ(link.batteryLevel(), c.level) << c.mv;
    }
}

TEST_P(SimExchange, DownloadIsTheCardFileAndTheTerminator) {
    QDir().mkpath(sim.scratch("card"));
    const QByteArray file = cardFile(30000);
    sim.writeFile("card/RUN7.DAT", file);
    GloveLink link(nullptr, fastTiming());
    connect(link, {"--sdcard", sim.scratch("card")});
    qint64 progress = 0;
    QObject::connect(&link, &GloveLink::downloadProgress, [&](qint64 total) { progress = total; });
    link.setActiveFile("RUN7.DAT", nullptr);
    std::vector<uint8_t> data{1, 2, 3};
    link.downloadActiveFile(data);
    const QByteArray got(reinterpret_cast<const char*>(data.data()),
                         static_cast<qsizetype>(data.size()));
    EXPECT_EQ(got.size(), file.size() + kTerminator.size());
    EXPECT_TRUE(got == file + kTerminator);
    EXPECT_EQ(progress, got.size());
    EXPECT_EQ(link.lastMessage(), QString("Termination Sequence"));
    // The link is still in step afterwards.
    EXPECT_EQ(link.querySensorCount(), 22);
}

TEST_P(SimExchange, DownloadStopsAtATerminatorInsideTheData) {
    QDir().mkpath(sim.scratch("card"));
    const QByteArray head = cardFile(700);
    const QByteArray tail = cardFile(20000);
    sim.writeFile("card/CUT.DAT", head + kTerminator + tail);
    GloveLink link(nullptr, fastTiming());
    connect(link, {"--sdcard", sim.scratch("card")});
    link.setActiveFile("CUT.DAT", nullptr);
    std::vector<uint8_t> data;
    link.downloadActiveFile(data);
    const QByteArray got(reinterpret_cast<const char*>(data.data()),
                         static_cast<qsizetype>(data.size()));
    const QByteArray whole = head + kTerminator + tail + kTerminator;
    ASSERT_GE(got.size(), head.size() + kTerminator.size());
    EXPECT_LT(got.size(), whole.size());
    EXPECT_TRUE(got == whole.left(got.size()));  // what came with the terminator is kept
}

TEST_P(SimExchange, DroppedDownloadEndsWithWhatArrived) {
    QDir().mkpath(sim.scratch("card"));
    const QByteArray file = cardFile(20000);
    sim.writeFile("card/DROP.DAT", file);
    GloveLink link;
    connect(link, {"--sdcard", sim.scratch("card"), "--fault", "drop-download=5000"});
    link.setActiveFile("DROP.DAT", nullptr);
    std::vector<uint8_t> data;
    const auto start = std::chrono::steady_clock::now();
    link.downloadActiveFile(data);
    const auto took = std::chrono::steady_clock::now() - start;
    const QByteArray got(reinterpret_cast<const char*>(data.data()),
                         static_cast<qsizetype>(data.size()));
    EXPECT_GT(got.size(), 0);
    EXPECT_LE(got.size(), 5000);
    EXPECT_TRUE(got == file.left(got.size()));
    EXPECT_GE(took, std::chrono::milliseconds(5500));  // six quiet seconds end it
    EXPECT_LT(took, std::chrono::seconds(60));
}

TEST_P(SimExchange, OversizeRepliesAreCutAndTheLinkStaysInStep) {
    GloveLink link(nullptr, fastTiming());
    connect(link, {"--fault", "oversize=3000", "--battery-mv", "7800"});
    EXPECT_EQ(link.querySensorCount(), 22);
    EXPECT_EQ(link.sensorCount(), 22);
    EXPECT_FLOAT_EQ(link.batteryVoltage(), 7.8f);
    EXPECT_TRUE(link.queryRightHand());
    std::vector<char> list(GloveLink::kFileListSize + 8, '#');
    const int n = link.getFileList(list.data(), GloveLink::kFileListSize);
    EXPECT_LE(n, GloveLink::kFileListSize);
    EXPECT_EQ(list[GloveLink::kFileListSize], '#');  // nothing written past the buffer
    EXPECT_EQ(link.querySensorCount(), 22);
    EXPECT_EQ(link.errorState(), 0);
}

TEST_P(SimExchange, SilentGloveGivesUpWithTheReadError) {
    GloveLink link(nullptr, impatientTiming());
    connect(link, {"--fault", "silence=2"});
    link.querySensorCount();
    link.startStreaming();
    EXPECT_TRUE(link.readFrame());
    EXPECT_TRUE(link.readFrame());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(link.readFrame());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(link.errorState(), -1);
    EXPECT_EQ(link.lastMessage(), QString("Glove Read Error, reboot and reconnect"));
    // Commands after that fail cleanly and keep their defaults.
    EXPECT_EQ(link.readSerialNumber(), 0);
    EXPECT_FLOAT_EQ(link.batteryVoltage(), 0.0f);
    EXPECT_EQ(link.batteryLevel(), 3);
}

INSTANTIATE_TEST_SUITE_P(Wires, SimExchange, testing::Values(Wire::Serial, Wire::Tcp), wireName);

TEST(SimSerial, SecondOpenOfTheGlovesPortFails) {
    SimGlove sim;
    GloveLink first;
    ASSERT_TRUE(sim.connectSerial(first, {}));
    GloveLink second;
    EXPECT_FALSE(second.openSerial(sim.ptyPath()));
    EXPECT_EQ(second.lastMessage(), QString("ERROR: Could not open com port"));
    EXPECT_FALSE(second.connected());
    first.close();
    EXPECT_FALSE(first.connected());
    EXPECT_TRUE(second.openSerial(sim.ptyPath()));
    EXPECT_EQ(second.querySensorCount(), 22);
}

TEST(SimTcp, ListenAcceptAndCloseStopListening) {
    SimGlove sim;
    GloveLink link(nullptr, fastTiming());
    EXPECT_FALSE(link.acceptConnection());  // nothing pending
    ASSERT_TRUE(sim.startTcp(link, {}));
    EXPECT_EQ(link.transport(), 0);
    EXPECT_TRUE(link.isListening());
    link.close();
    EXPECT_FALSE(link.isListening());
    EXPECT_FALSE(link.connected());
    EXPECT_EQ(link.querySensorCount(), 22);  // no socket: nothing sent, default answer
}

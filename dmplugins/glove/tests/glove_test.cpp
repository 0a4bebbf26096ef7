// The glove plug-in loaded by the real device-manager core, on a real linemux port, against
// kelbsim on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "glovetest_support.hpp"

using namespace glovetest;

// The plug-ins carry thread-local state and are loaded with dlopen. AddressSanitizer's
// tracking of such dynamic TLS blocks misreads this glibc's layout, and LeakSanitizer's exit
// scan then faults on the bogus range; the interception only feeds that tracking.
extern "C" const char* __asan_default_options() {
    return "intercept_tls_get_addr=0";
}

namespace {

constexpr double kOffset[24] = {56, 114, 109, 69,  89, 64, 65,  125, 81, 74,  91, 151,
                                78, 63,  81,  162, 70, 73, 101, 131, 71, 143, 89, 60};
constexpr double kGain[24] = {0.01584, 0.01459, 0.01427, 0.00502, 0.01616, 0.01459,
                              0.00753, 0.00449, 0.01725, 0.01804, 0.01051, 0.248,
                              0.01757, 0.01788, 0.01051, 0.00612, 0.01663, 0.0182,
                              0.00988, 0.00596, 0.0091,  0.00863, 0.00392, 0.00781};

class Environment : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_GE(RZ_LoadPlugins(nullptr), 2); }
    void TearDown() override { RZ_UnloadPlugins(); }
};
const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

// Every test gets its own folder and configuration file (no calibration unless written).
class GlovePlugin : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("RZ_CONFIG_FILE", dir.file("devicemanager.conf").c_str(), 1);
        RZ_SetVerbosity(0);
    }
    void TearDown() override {
        unsetenv("RZ_CONFIG_FILE");
        RZ_SetVerbosity(0);
    }
    // A configuration entry with the given numbers for the unit behind `pty`.
    void writeCalibration(const std::string& pty, const std::vector<double>& numbers,
                          int serial = 1234) {
        std::string text =
            "[device=glove:item=offsetgain:id=" + std::to_string(serial) + ":port=" + pty + "]\n";
        for (double n : numbers) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.10g ", n);
            text += buf;
        }
        dir.write("devicemanager.conf", text + "\n");
    }
    std::string script(const std::vector<std::string>& lines) {
        std::string text;
        for (const auto& l : lines) {
            text += l + "\n";
        }
        return dir.write("script.txt", text);
    }
    TempDir dir;
};

std::vector<double> defaultCalibrationNumbers() {
    std::vector<double> n;
    for (int k = 0; k < 24; ++k) {
        n.push_back(kOffset[k]);
        n.push_back(kGain[k]);
    }
    return n;
}

std::vector<uint8_t> calibrationRecord(int g, int i, int w, double value) {
    std::vector<uint8_t> r{static_cast<uint8_t>(g),
                           static_cast<uint8_t>(i),
                           static_cast<uint8_t>(w),
                           0,
                           0,
                           0,
                           0,
                           0,
                           0,
                           0,
                           0};
    RZ_PutDouble(r.data() + 3, value);
    return r;
}

}  // namespace

TEST_F(GlovePlugin, InitialisesTheUnitAndReportsItsParameters) {
    Kelbsim kelb(dir, {"--serial-number", "4321"});
    Device glove(kelb.pty());
    ASSERT_TRUE(glove) << RZ_ErrorName(RZ_GetLastError());
    const std::vector<uint8_t> init{0x03, 'U', 0x01, '?', 'p', '?', 'i', '?', 'M', 'S'};
    EXPECT_EQ(find(kelb.hostBytes(), init).size(), 1u);

    std::vector<uint8_t> info;
    ASSERT_EQ(control(glove.get(), 0, 0, info), 0);
    ASSERT_EQ(info.size(), 3u);
    EXPECT_EQ(info[0], 1) << "right hand";
    EXPECT_EQ(info[1], 1) << "actuators allowed after the parameter reply";
    EXPECT_EQ(info[2], 0) << "wrist switch off";

    std::vector<uint8_t> mask;
    ASSERT_EQ(control(glove.get(), 9, 1, mask), 0);
    EXPECT_EQ(mask, (std::vector<uint8_t>{0, 0xff, 0xff, 0xff}));
    EXPECT_EQ(control(glove.get(), 9, 0), 0) << "flag C";
    for (int m : {11, 12, 13, 14, 23, 24}) {
        EXPECT_EQ(control(glove.get(), m, 0), -1) << "message " << m;
    }
    EXPECT_EQ(control(glove.get(), 3, 0), 0) << "reload";
}

TEST_F(GlovePlugin, LeftHandWithWristSwitchAndTheUnitsOwnMask) {
    Kelbsim kelb(dir, {"--left", "--wrist", "--mask", "0x7fffbf"});
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    std::vector<uint8_t> info;
    ASSERT_EQ(control(glove.get(), 0, 0, info), 0);
    ASSERT_EQ(info.size(), 3u);
    EXPECT_EQ(info[0], 0) << "left hand";
    EXPECT_EQ(info[2], 1) << "wrist switch from the parameter reply";
    std::vector<uint8_t> mask;
    ASSERT_EQ(control(glove.get(), 9, 1, mask), 0);
    EXPECT_EQ(mask, (std::vector<uint8_t>{0, 0x7f, 0xff, 0xbf})) << "the glove's mask wins";
    // Records carry 22 sensors; they decode, and the unsent ones read 0.
    ASSERT_TRUE(waitFor([&] {
        auto raw = rawBytes(glove.get());
        return raw.size() == 24 && raw[0] != 0;
    }));
    auto raw = rawBytes(glove.get());
    EXPECT_EQ(raw[6], 0);
    EXPECT_EQ(raw[23], 0);
}

TEST_F(GlovePlugin, ValuesFollowTheRecordsWithTheDefaultCalibration) {
    // Sensor k at 60 + 5k; the last line repeats.
    std::string line;
    for (int k = 0; k < 24; ++k) {
        line += std::to_string(60 + 5 * k) + " ";
    }
    Kelbsim kelb(dir, {"--script", script({line}), "--rate", "50"});
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    std::vector<double> v;
    ASSERT_TRUE(waitFor([&] {
        v = jointValues(glove.get());
        return !v.empty() && v[1] != 0;
    }));
    auto raw = rawBytes(glove.get());
    ASSERT_EQ(raw.size(), 24u);
    for (int k = 0; k < 24; ++k) {
        EXPECT_EQ(raw[k], 60 + 5 * k);
    }
    for (int k : {1, 2, 4, 5, 8, 12, 20, 21}) {
        EXPECT_NEAR(v[k], -((60 + 5 * k) - kOffset[k]) * kGain[k], 1e-9) << "sensor " << k;
    }
    EXPECT_NEAR(v[0], std::min(0.5, -(60 - kOffset[0]) * kGain[0]), 1e-9);
    EXPECT_TRUE(std::isfinite(v[23]));
    EXPECT_NE(v[23], 0.0) << "thumb roll";
}

TEST_F(GlovePlugin, MovesOfThreeCountsAreHeldAndFourAreTaken) {
    for (int step : {3, 4}) {
        TempDir own;
        std::string path = own.write("script.txt", "100\n" + std::to_string(100 + step) + "\n");
        Kelbsim kelb(own, {"--script", path, "--rate", "50"});
        Device glove(kelb.pty());
        ASSERT_TRUE(glove);
        // Let several records of the second line arrive.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto raw = rawBytes(glove.get());
        ASSERT_EQ(raw.size(), 24u);
        for (int k = 0; k < 24; ++k) {
            EXPECT_EQ(raw[k], step == 3 ? 100 : 104) << "step " << step << " sensor " << k;
        }
    }
}

TEST_F(GlovePlugin, RecordsOfTheWrongLengthAreDropped) {
    Kelbsim kelb(dir, {"--fault", "truncate=1", "--rate", "50"});
    Device glove(kelb.pty());
    ASSERT_TRUE(glove) << "the start-streaming reply arrives even when it is short";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto raw = rawBytes(glove.get());
    ASSERT_EQ(raw.size(), 24u);
    for (uint8_t b : raw) {
        EXPECT_EQ(b, 0);
    }
    auto v = jointValues(glove.get());
    ASSERT_EQ(v.size(), 24u);
    for (double x : v) {
        EXPECT_EQ(x, 0.0) << "no value was computed from a short record";
    }
}

TEST_F(GlovePlugin, GarbageAndAnOversizeRecordDoNotStopTheStream) {
    Kelbsim kelb(dir, {"--fault", "garbage=3", "--fault", "oversize=5", "--rate", "100"});
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    std::vector<double> first = jointValues(glove.get());
    ASSERT_EQ(first.size(), 24u);
    // kelbsim's motion keeps moving: values change after the faults.
    EXPECT_TRUE(waitFor([&] {
        auto v = jointValues(glove.get());
        return v.size() == 24 && v[1] != first[1];
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto later = jointValues(glove.get());
    ASSERT_EQ(later.size(), 24u);
}

TEST_F(GlovePlugin, UnsensedOuterJointFollowsTheMiddleJoint) {
    auto cal = defaultCalibrationNumbers();
    cal[10] = 150;   // offset of sensor 5
    cal[11] = 0.01;  // gain of sensor 5
    Kelbsim kelb(dir, {"--mask", "0xffffbf", "--script", script({"50"}), "--rate", "50"});
    writeCalibration(kelb.pty(), cal);
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    std::vector<double> v;
    ASSERT_TRUE(waitFor([&] {
        v = jointValues(glove.get());
        return v.size() == 24 && std::fabs(v[5] - 1.0) < 1e-9;
    })) << "calibration from the configuration: v[5] = "
        << (v.size() == 24 ? v[5] : -99);
    EXPECT_NEAR(v[6], 0.49, 1e-9);

    // Offset -50 turns the same raw 50 into v[5] = -1.
    std::vector<uint8_t> rec = calibrationRecord(1, 1, 0, -50);
    ASSERT_EQ(control(glove.get(), 20, 1, rec), 0);
    ASSERT_TRUE(waitFor([&] {
        v = jointValues(glove.get());
        return v.size() == 24 && std::fabs(v[5] + 1.0) < 1e-9;
    }));
    EXPECT_NEAR(v[6], -0.15, 1e-9);
}

TEST_F(GlovePlugin, CalibrationOfFortySevenNumbersFallsBackToTheDefault) {
    Kelbsim kelb(dir);
    auto cal = defaultCalibrationNumbers();
    for (auto& n : cal) {
        n += 1;
    }
    cal.pop_back();
    writeCalibration(kelb.pty(), cal);
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    std::vector<uint8_t> table;
    ASSERT_EQ(control(glove.get(), 19, 1, table), 0);
    ASSERT_EQ(table.size(), 528u);
    for (int k = 0; k < 24; ++k) {
        EXPECT_EQ(RZ_GetDouble(table.data() + 22 * k + 3), kOffset[k]) << k;
        EXPECT_EQ(RZ_GetDouble(table.data() + 22 * k + 14), kGain[k]) << k;
    }

    // With all 48 the configured table is used (reloaded by message 3).
    writeCalibration(kelb.pty(), [] {
        auto c = defaultCalibrationNumbers();
        c[0] = 42;
        return c;
    }());
    ASSERT_EQ(control(glove.get(), 3, 0), 0);
    table.clear();
    ASSERT_EQ(control(glove.get(), 19, 0, table), 0) << "item 0 runs item 1";
    ASSERT_EQ(table.size(), 528u);
    EXPECT_EQ(RZ_GetDouble(table.data() + 3), 42);
}

TEST_F(GlovePlugin, CalibrationWritesAreParsedWithinTheirPayload) {
    Kelbsim kelb(dir);
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    std::string text = "00150.5\n23137.25\n";
    std::vector<uint8_t> io(text.begin(), text.end());
    ASSERT_EQ(control(glove.get(), 20, 0x81, io), 0);

    std::vector<uint8_t> table;
    ASSERT_EQ(control(glove.get(), 19, 0x81, table), 0);
    std::string got(table.begin(), table.end());
    EXPECT_NE(got.find("00150.500000\n"), std::string::npos) << got.substr(0, 60);
    EXPECT_NE(got.find("23137.250000\n"), std::string::npos);
    EXPECT_EQ(got.substr(0, 13), "00056.000000\n");

    std::string bad = "00112.0\n9990\n";
    io.assign(bad.begin(), bad.end());
    EXPECT_EQ(control(glove.get(), 20, 0x81, io), -1);
    std::string outOfRange = "5400.0\n";
    io.assign(outOfRange.begin(), outOfRange.end());
    EXPECT_EQ(control(glove.get(), 20, 0x81, io), -1);
    io = calibrationRecord(0, 0, 0, 1);
    io.pop_back();
    EXPECT_EQ(control(glove.get(), 20, 1, io), -15) << "half a record";
    EXPECT_EQ(control(glove.get(), 20, 4), -16);
    EXPECT_EQ(control(glove.get(), 20, 2), 0);

    table.clear();
    ASSERT_EQ(control(glove.get(), 19, 1, table), 0);
    EXPECT_EQ(RZ_GetDouble(table.data() + 11 + 3), 12.0) << "the line before the bad one";
    EXPECT_EQ(RZ_GetDouble(table.data() + 3), 56.0);
}

TEST_F(GlovePlugin, TextFormsOfTheReadItems) {
    Kelbsim kelb(dir, {"--script", script({"100 120 140"}), "--rate", "50"});
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    ASSERT_TRUE(waitFor([&] {
        auto raw = rawBytes(glove.get());
        return raw.size() == 24 && raw[0] == 100;
    }));
    std::vector<uint8_t> io;
    ASSERT_EQ(control(glove.get(), 15, 0x81, io), 0);
    ASSERT_EQ(io.size(), 97u);
    EXPECT_EQ(std::string(io.begin(), io.begin() + 12), "100\n120\n140\n");
    EXPECT_EQ(io.back(), 0);

    io.clear();
    ASSERT_EQ(control(glove.get(), 15, 0x82, io), 0);
    ASSERT_EQ(io.size(), 265u);
    auto v = jointValues(glove.get());
    double first = 0;
    ASSERT_EQ(std::sscanf(reinterpret_cast<const char*>(io.data()), "%lf", &first), 1);
    EXPECT_NEAR(first, v[0], 1e-6);

    io.clear();
    ASSERT_EQ(control(glove.get(), 15, 0x80, io), 0) << "item 0: the enabled items (item 2)";
    EXPECT_EQ(io.size(), 265u);
    io.clear();
    ASSERT_EQ(control(glove.get(), 15, 7, io), 0);
    EXPECT_EQ(io.size(), 1u);
    io.clear();
    ASSERT_EQ(control(glove.get(), 15, 8, io), 0);
    EXPECT_EQ(io.size(), 6u);
    io.clear();
    ASSERT_EQ(control(glove.get(), 15, 4, io), 0);
    EXPECT_TRUE(io.empty());
}

TEST_F(GlovePlugin, UnknownReadItemLeavesItsCode) {
    Kelbsim kelb(dir);
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    EXPECT_EQ(control(glove.get(), 15, 9), -1);
    std::vector<uint8_t> last;
    ASSERT_EQ(control(glove.get(), 4, 0, last), 0);
    ASSERT_EQ(last.size(), 4u);
    int32_t code = static_cast<int32_t>(static_cast<uint32_t>(last[0]) << 24 | last[1] << 16 |
                                        last[2] << 8 | last[3]);
    EXPECT_EQ(code, -16);
}

TEST_F(GlovePlugin, RepliesThatDoNotFitTheCallersBufferAreRefused) {
    Kelbsim kelb(dir);
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    std::vector<uint8_t> io;
    EXPECT_EQ(control(glove.get(), 15, 2, io, 191), -4);
    io.clear();
    EXPECT_EQ(control(glove.get(), 15, 0x82, io, 264), -4);
    io.clear();
    EXPECT_EQ(control(glove.get(), 19, 1, io, 527), -4);
    io.clear();
    EXPECT_EQ(control(glove.get(), 0, 0, io, 2), -4);
    // A huge calibrated value makes a longer text than its usual 265 bytes.
    io = calibrationRecord(0, 1, 1, 1e12);
    ASSERT_EQ(control(glove.get(), 20, 1, io), 0);
    ASSERT_TRUE(waitFor([&] {
        auto v = jointValues(glove.get());
        return v.size() == 24 && std::fabs(v[1]) > 1e9;
    }));
    io.clear();
    EXPECT_EQ(control(glove.get(), 15, 0x82, io, 265), -4);
    io.clear();
    EXPECT_EQ(control(glove.get(), 15, 0x82, io, 4096), 0);
    EXPECT_GT(io.size(), 265u);
}

TEST_F(GlovePlugin, HostilePayloadsAreRefused) {
    Kelbsim kelb(dir);
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    std::vector<uint8_t> io{0xff, 0xff, 0xff};
    EXPECT_EQ(control(glove.get(), 10, 1, io), -15) << "mask needs 4 bytes";
    io = {1, 2, 3};
    EXPECT_EQ(control(glove.get(), 16, 1, io), -15) << "half a pair";
    io = {1, 2};
    EXPECT_EQ(control(glove.get(), 16, 2, io), -15) << "light flag is one byte";
    io.assign(1000, 1);
    EXPECT_EQ(control(glove.get(), 16, 1, io), -15) << "too many pairs";
    EXPECT_EQ(control(glove.get(), 16, 5), -16);
    // The instance still works.
    EXPECT_EQ(jointValues(glove.get()).size(), 24u);
}

TEST_F(GlovePlugin, SetMaskAndParametersReachTheUnit) {
    Kelbsim kelb(dir);
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    std::vector<uint8_t> io{0, 0x7f, 0xff, 0xfe};
    EXPECT_EQ(control(glove.get(), 10, 1, io), 0);
    EXPECT_EQ(find(kelb.hostBytes(), {'M', 0xfe, 0xff, 0x7f}).size(), 1u);
    EXPECT_EQ(control(glove.get(), 10, 0), 0);
    EXPECT_EQ(kelb.countNotes("set parameters"), 1);
    // Records now carry 22 sensors, as the driver's mask says.
    ASSERT_TRUE(waitFor([&] {
        auto raw = rawBytes(glove.get());
        return raw.size() == 24 && raw[0] == 0 && raw[1] != 0;
    }));
}

TEST_F(GlovePlugin, LightFlagIsSentWithTheParameters) {
    Kelbsim kelb(dir);
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    std::vector<uint8_t> io{1};
    ASSERT_EQ(control(glove.get(), 16, 2, io), 0);
    EXPECT_EQ(find(kelb.hostBytes(), {'P', 0x04}).size(), 1u);
    io = {0};
    ASSERT_EQ(control(glove.get(), 16, 2, io), 0);
    EXPECT_EQ(find(kelb.hostBytes(), {'P', 0x00}).size(), 1u);
}

TEST_F(GlovePlugin, SixActuatorCommandAtMostOncePerBatch) {
    Kelbsim kelb(dir, {"--rate", "2"});
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    std::vector<uint8_t> six{0, 10, 1, 20, 2, 30, 3, 40, 4, 50, 5, 60};
    auto start = Clock::now();
    for (int i = 0; i < 5; ++i) {
        std::vector<uint8_t> io = six;
        EXPECT_EQ(control(glove.get(), 16, 1, io), 0);
    }
    double took = seconds(start);
    ASSERT_TRUE(waitFor([&] { return kelb.countNotes("six actuators") >= 1; }, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int sent = kelb.countNotes("six actuators");
    // At two records a second, the five commands span at most a few batches.
    EXPECT_LE(sent, 1 + static_cast<int>(took * 2) + 1);
    EXPECT_LT(sent, 5);

    std::vector<uint8_t> pairs{7, 70, 8, 80};
    ASSERT_EQ(control(glove.get(), 16, 1, pairs), 0);
    std::string text = "9 90\n";
    std::vector<uint8_t> io(text.begin(), text.end());
    ASSERT_EQ(control(glove.get(), 16, 0x81, io), 0);
    EXPECT_TRUE(waitFor([&] { return kelb.countNotes("one actuator") == 3; }, 5));
    EXPECT_EQ(find(kelb.hostBytes(), {'A', 1, 8, 80}).size(), 1u);
    EXPECT_EQ(find(kelb.hostBytes(), {'A', 1, 9, 90}).size(), 1u);
}

TEST_F(GlovePlugin, ClientStreamsReceiveEveryPublishedSet) {
    Kelbsim kelb(dir, {"--rate", "100"});
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    struct Sink {
        std::atomic<int> sets{0};
        std::atomic<int> quits{0};
        std::atomic<double> last{0};
    } sink;
    auto reader = [](RzDataStream* s, int reason) -> int {
        auto* k = static_cast<Sink*>(RZ_DataStreamUser(s));
        if (reason == RZ_STREAM_QUIT) {
            k->quits.fetch_add(1);
        }
        uint8_t buf[192];
        while (RZ_DataStreamAvailable(s) >= 192) {
            if (RZ_DataStreamRead(s, buf, 192) == 192) {
                k->last.store(RZ_GetDouble(buf + 8));
                k->sets.fetch_add(1);
            }
        }
        return 0;
    };
    RzDataStream* stream = RZ_DataStreamNew(192 * 16, reader, &sink);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(RZ_DeviceAttachDataStream(glove.get(), stream), 0);
    EXPECT_TRUE(waitFor([&] { return sink.sets.load() >= 20; }));
    EXPECT_EQ(RZ_DeviceDetachDataStream(glove.get(), stream), 0);
    EXPECT_EQ(sink.quits.load(), 1);
    int after = sink.sets.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(sink.sets.load(), after) << "nothing after the detach";
    EXPECT_NE(sink.last.load(), 0.0);
    RZ_DataStreamDestroy(stream);
}

TEST_F(GlovePlugin, SecondOpenSharesAndAnotherDeviceIsRefused) {
    Kelbsim kelb(dir);
    Device first(kelb.pty());
    ASSERT_TRUE(first);
    Device second(kelb.pty(), "vg");
    ASSERT_TRUE(second) << "same port, same instance";
    EXPECT_EQ(find(kelb.hostBytes(), {0x03, 'U'}).size(), 1u) << "initialised once";
    EXPECT_EQ(first.close(), 0);
    EXPECT_EQ(jointValues(second.get()).size(), 24u) << "the other client still reads";
    EXPECT_EQ(second.close(), 0);

    // A port that another device holds already: the glove is refused and lets it go.
    Device port(kelb.pty(), kelb.pty().c_str());
    ASSERT_TRUE(port) << "linemux instance of the port";
    Device refused(kelb.pty());
    EXPECT_FALSE(refused);
    EXPECT_EQ(port.close(), 0);
    Device again(kelb.pty());
    EXPECT_TRUE(again) << "the refused open did not keep the port";
}

TEST_F(GlovePlugin, UnpluggedGloveIsRefusedAndEverythingUndone) {
    Kelbsim kelb(dir, {"--unplugged"});
    for (int attempt = 0; attempt < 2; ++attempt) {
        Device glove(kelb.pty());
        EXPECT_FALSE(glove);
        EXPECT_EQ(RZ_GetLastError(), -21) << "attempt " << attempt;
    }
    // Both attempts reached the unit: the first one left no port or instance behind.
    EXPECT_EQ(find(kelb.hostBytes(), {0x03, 'U', 0x01, '?', 'p', '?', 'i'}).size(), 2u);
    EXPECT_EQ(kelb.countNotes("start streaming"), 0);
}

TEST_F(GlovePlugin, ReleaseWaitsForMessagesInFlight) {
    Kelbsim kelb(dir, {"--rate", "200"});
    for (int round = 0; round < 3; ++round) {
        Device owner(kelb.pty());
        ASSERT_TRUE(owner);
        RzDeviceHandle h = owner.get();
        std::atomic<bool> stop{false};
        std::atomic<int> reads{0};
        std::thread reader([&] {
            while (!stop.load()) {
                std::vector<uint8_t> io;
                if (control(h, 15, 2, io) == 0) {
                    reads.fetch_add(1);
                }
                std::vector<uint8_t> six{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
                control(h, 16, 1, six);
            }
        });
        ASSERT_TRUE(waitFor([&] { return reads.load() >= 5; }));
        EXPECT_EQ(owner.close(), 0);
        stop.store(true);
        reader.join();
        EXPECT_EQ(control(h, 15, 2), -46) << "the handle is gone";
    }
}

// The timed recovery after a silent line, with the real windows: measured from the reference
// time set when the instance was created, silence found after 3 s and up to 6 s reboots the
// unit, after 6 s and up to 7 s restarts streaming, and after 7 s the reference moves on.
TEST_F(GlovePlugin, TimedRecoveryAfterSilence) {
    Kelbsim kelb(dir, {"--fault", "silence=0:30"});
    // Errors only; the recovery's waiting commands must not time out.
    std::string log = dir.file("stderr.txt");
    std::fflush(stderr);
    int saved = dup(2);
    int logFd = open(log.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(logFd, 0);
    dup2(logFd, 2);
    close(logFd);
    RZ_SetVerbosity(1);

    auto t0 = Clock::now();
    Device glove(kelb.pty());
    auto t1 = Clock::now();
    const std::vector<uint8_t> reboot{0x12, 'U', 0x01, '?', 'p', 'M'};
    const std::vector<uint8_t> restream{'S', 'U', 0x01, '?', 'p', 'M'};
    struct Seen {
        double at;
        bool stream;
    };
    std::vector<Seen> seen;
    std::size_t reboots = 0, restreams = 0;
    bool ok = static_cast<bool>(glove);
    while (ok && seconds(t0) < 14.0) {
        auto bytes = kelb.hostBytes();
        auto r = find(bytes, reboot).size();
        auto s = find(bytes, restream).size();
        for (; reboots < r; ++reboots) {
            seen.push_back({seconds(t0), false});
        }
        for (; restreams < s; ++restreams) {
            seen.push_back({seconds(t0), true});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    glove.close();
    RZ_SetVerbosity(0);
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    ASSERT_TRUE(ok);

    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("[gloved] GloveWorker: serial timeout"), std::string::npos);
    EXPECT_EQ(text.find("timeout before read reply"), std::string::npos)
        << "recovery replies were not received:\n"
        << text;

    const double slack = 0.6;  // polling the record and a loaded machine
    const double created = seconds(t0, t1);
    ASSERT_FALSE(seen.empty());
    std::size_t i = 0;
    ASSERT_FALSE(seen[0].stream);
    for (; i < seen.size() && !seen[i].stream; ++i) {
        EXPECT_GE(seen[i].at, 3.0) << "reboot " << i;
        EXPECT_LE(seen[i].at, created + 6.0 + slack) << "reboot " << i;
    }
    ASSERT_LT(i, seen.size()) << "no restart of streaming after 6 s";
    EXPECT_GE(seen[i].at, 6.0);
    EXPECT_LE(seen[i].at, created + 7.0 + slack);
    double restreamAt = seen[i].at;
    ++i;
    ASSERT_LT(i, seen.size()) << "the reference never moved: no recovery after 7 s";
    EXPECT_FALSE(seen[i].stream);
    EXPECT_GE(seen[i].at, 10.0) << "the moved reference starts a new 3 s wait";
    EXPECT_GE(seen[i].at - restreamAt, 3.0 - slack);
    EXPECT_GE(kelb.countNotes("reboot"), 2);
}

TEST_F(GlovePlugin, ReadingAPolledGloveAsksForOneRecordThenStreams) {
    Kelbsim kelb(dir, {"--fault", "silence=0:30"});
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    // The first recovery reboots the unit, which leaves it polled.
    ASSERT_TRUE(waitFor([&] { return kelb.countNotes("set mask") >= 1; }, 15));
    EXPECT_EQ(kelb.countNotes("get record"), 0);
    EXPECT_EQ(jointValues(glove.get()).size(), 24u);
    auto notes = kelb.notes();
    auto get = std::find(notes.begin(), notes.end(), "get record");
    ASSERT_NE(get, notes.end());
    EXPECT_NE(std::find(get, notes.end(), "start streaming"), notes.end());
}

TEST_F(GlovePlugin, DmctlPrintsLiveJointValues) {
    Kelbsim kelb(dir, {"--rate", "100"});
    testsupport::ChildProcess dmctl(
        {DMCTL_PATH, "read", "glove", kelb.pty(), "--count", "5", "--interval", "100"});
    std::vector<std::vector<double>> rows;
    std::string line;
    while (dmctl.readLine(line)) {
        if (line.empty() || line[0] == 't') {
            continue;
        }
        std::vector<double> row;
        std::istringstream in(line);
        std::string cell;
        while (std::getline(in, cell, ',')) {
            row.push_back(std::stod(cell));
        }
        rows.push_back(row);
    }
    EXPECT_EQ(dmctl.waitExit(std::chrono::seconds(60)), 0);
    ASSERT_EQ(rows.size(), 5u);
    for (const auto& r : rows) {
        EXPECT_EQ(r.size(), 25u) << "time and 24 values";
    }
    bool moved = false;
    for (std::size_t k = 1; k < 25; ++k) {
        moved = moved || rows.front()[k] != rows.back()[k];
    }
    EXPECT_TRUE(moved) << "the values are live";
}

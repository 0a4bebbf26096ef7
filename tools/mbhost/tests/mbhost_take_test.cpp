// mbhost on a recorded take: the registry's glove names a take in its serial port, the device
// manager replays it through the dummy plug-in, and the exported BVH follows the take.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bvhreader.hpp"
#include "take.hpp"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace {

using testsupport::readFile;

constexpr int kTakeFrames = 180;  // six seconds at the glove's 30 Hz
constexpr int kSwing = 60;        // frames from open to bent and back
constexpr int kIndexMiddleJoint = 5;

// The index finger's middle joint bends to 0.8 rad and opens again once every two seconds.
double bend(int frame) {
    int at = frame % kSwing;
    return -0.8 * (at < kSwing / 2 ? at : kSwing - at) / (kSwing / 2.0);
}

void writeTake(const std::string& path) {
    std::ofstream out(path);
    take::Recorder recorder(out, true, 1.0 / 30.0);
    const std::int32_t raw[take::kValues] = {};
    for (int f = 0; f < kTakeFrames; ++f) {
        const int time[5] = {12, f / 1800, (f / 30) % 60, 0, f % 30};
        double angles[take::kValues] = {};
        angles[kIndexMiddleJoint] = bend(f);
        recorder.add(f / 30.0, time, raw, angles);
    }
    recorder.finish(kTakeFrames / 30.0);
}

// Frames at which a channel turns from rising to falling or back; steps of a held value are
// skipped.
std::vector<int> turns(const std::vector<double>& values) {
    std::vector<int> at;
    int direction = 0;
    for (std::size_t f = 1; f < values.size(); ++f) {
        double step = values[f] - values[f - 1];
        if (std::fabs(step) < 1e-6)
            continue;
        int d = step > 0 ? 1 : -1;
        if (direction != 0 && d != direction)
            at.push_back(static_cast<int>(f) - 1);
        direction = d;
    }
    return at;
}

}  // namespace

TEST(MbhostOnATake, ExportedFramesFollowTheTake) {
    // The take's path goes into the device text, which the device manager keeps short.
    testsupport::TempDir scratch("mbt");
    const std::string takePath = scratch.file("t.csv");
    const std::string registry = scratch.file("devices.json");
    const std::string dir = MBHOST_TAKES;
    std::filesystem::create_directories(dir);
    const std::string bvh = dir + "/take-" + std::to_string(::getpid()) + ".bvh";
    writeTake(takePath);
    std::string devices = readFile(SAMPLE_REGISTRY);
    const std::string port = "/tmp/manuvia-kelb0";
    ASSERT_NE(devices.find(port), std::string::npos);
    devices.replace(devices.find(port), port.size(), "replay:take=" + takePath);
    std::ofstream(registry) << devices;

    testsupport::ChildOptions options;
    options.mergeStderr = true;
    testsupport::ChildProcess host(MBHOST_PATH,
                                   {"--registry", registry, "--glove", "RightGlove", "--duration",
                                    "6", "--rate", "30", "--quiet", "--bvh", bvh, PLUGIN_PATH},
                                   options);
    ASSERT_EQ(host.finish(std::chrono::seconds(120)), 0) << host.output();
    bvhtest::Motion m = bvhtest::readBvh(readFile(bvh));

    EXPECT_LE(std::abs(static_cast<int>(m.frames.size()) - kTakeFrames), 1)
        << "six seconds at the take's own rate";
    std::size_t index = 0, ring = 0;
    for (std::size_t j = 0; j < m.joints.size(); ++j) {
        if (m.joints[j].name == "indexB")
            index = j;
        if (m.joints[j].name == "ringB")
            ring = j;
    }
    ASSERT_TRUE(index > 0 && ring > 0);
    // The index joint's rotation channel that moves most; the ring finger holds still.
    std::vector<double> best;
    double range = 0.0;
    for (std::size_t k = 0; k < 3; ++k) {
        std::vector<double> values, still;
        for (const std::vector<double>& f : m.frames) {
            values.push_back(f[6 + 3 * (index - 1) + k]);
            still.push_back(f[6 + 3 * (ring - 1) + k]);
        }
        auto [lo, hi] = std::minmax_element(values.begin(), values.end());
        if (*hi - *lo > range) {
            range = *hi - *lo;
            best = values;
        }
        auto [slo, shi] = std::minmax_element(still.begin(), still.end());
        EXPECT_LT(*shi - *slo, 1e-6) << "only the take's joint moves";
    }
    EXPECT_NEAR(range, 0.8 * 180.0 / M_PI, 3.0) << "the take's bend, in degrees";
    std::vector<int> at = turns(best);
    ASSERT_GE(at.size(), 4u) << "bent and opened every second";
    for (std::size_t i = 1; i < at.size(); ++i)
        EXPECT_NEAR(at[i] - at[i - 1], kSwing / 2, 2) << "turns at the take's pace";
}

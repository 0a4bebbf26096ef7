// graspdemo and ghostdemo as a user runs them: child processes on the simulated devices of
// the demo fixture (kelbsim behind a pseudo-terminal, the forcesim plug-in) with a virtual
// display, closed after a number of frames, one frame saved as a screenshot.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace {

using testsupport::readFile;

// The fixture's variables (lines "export NAME='value'").
std::map<std::string, std::string> fixtureEnv() {
    return testsupport::readExports(std::string(DEMO_STATE_DIR) + "/env");
}

struct Outcome {
    int status = -1;  // exit status; -1: still running at the limit (then killed)
    std::string output;
};

// Runs a demo with `env` added to ours, standard output and error into one stream (kept in
// a log file beside the fixture), calling `watch` every 20 ms while it runs.
Outcome runDemo(const std::string& program, const std::map<std::string, std::string>& env,
                const std::function<void()>& watch = {}) {
    testsupport::ChildProcess demo(std::string(DEMO_BIN_DIR) + "/" + program, {},
                                   {.env = testsupport::assignments(env), .mergeStderr = true});
    Outcome out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(150);
    const auto never = [](const std::string&) { return false; };
    while (demo.ready() && (out.status = demo.waitExit(std::chrono::milliseconds(0))) == -1 &&
           std::chrono::steady_clock::now() < deadline) {
        if (watch) {
            watch();
        }
        demo.readUntil(never, std::chrono::milliseconds(20));
    }
    if (out.status == -1) {
        demo.stop();
    }
    out.output = demo.readUntil(never, std::chrono::seconds(5));
    std::ofstream(std::string(DEMO_STATE_DIR) + "/" + program + ".log") << out.output;
    return out;
}

// Pixels of a binary PPM (P6, 255) that look like the hand (skin: red over blue) and like
// the scene's objects (blue over red).
bool countColours(const std::string& ppm, long& out_hand, long& out_scene) {
    std::istringstream in(ppm);
    std::string magic;
    int w = 0, h = 0, max = 0;
    in >> magic >> w >> h >> max;
    in.get();
    if (magic != "P6" || w <= 0 || h <= 0 || max != 255) {
        return false;
    }
    const size_t start = static_cast<size_t>(in.tellg());
    if (ppm.size() < start + 3u * static_cast<size_t>(w * h)) {
        return false;
    }
    out_hand = out_scene = 0;
    for (size_t i = start; i + 2 < ppm.size(); i += 3) {
        const int r = static_cast<unsigned char>(ppm[i]);
        const int b = static_cast<unsigned char>(ppm[i + 2]);
        out_hand += r > b + 40 ? 1 : 0;
        out_scene += b > r + 40 ? 1 : 0;
    }
    return true;
}

struct Patch {
    int flags;
    double stiffness;
    double damping;
};

// The 16 patch records at the head of a grasp force packet: index, flags (2 in contact, 6
// released, +8 not sliding), then stiffness and damping as big-endian doubles.
std::vector<Patch> patchesOf(const std::string& packet) {
    std::vector<Patch> patches;
    constexpr size_t kRecord = 74;
    auto getDouble = [&](size_t at) {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) {
            bits = bits << 8 | static_cast<unsigned char>(packet[at + static_cast<size_t>(i)]);
        }
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    };
    for (size_t k = 0; k < 16 && (k + 1) * kRecord <= packet.size(); ++k) {
        const size_t rec = k * kRecord;
        patches.push_back(
            {static_cast<unsigned char>(packet[rec + 1]), getDouble(rec + 2), getDouble(rec + 10)});
    }
    return patches;
}

const char* const kDemos[] = {"graspdemo", "ghostdemo"};

TEST(DemoRun, StartsStepsDrawsAndClosesCleanly) {
    for (const char* demo : kDemos) {
        SCOPED_TRACE(demo);
        const std::string shot = std::string(SCREENSHOT_DIR) + "/" + demo + ".ppm";
        std::remove(shot.c_str());
        auto env = fixtureEnv();
        ASSERT_FALSE(env.empty()) << "no fixture environment in " << DEMO_STATE_DIR;
        env["MANUVIA_MESSAGES"] = "stderr";
        env["MANUVIA_DEMO_FRAMES"] = "90";
        env["MANUVIA_DEMO_SCREENSHOT"] = shot;
        env["MANUVIA_DEMO_SCREENSHOT_FRAME"] = "80";
        // The grasp demo's arm sweeps the fingers into the sphere: some packet on the way must
        // push on a finger, and the last one, sent on closing, must let go of all of them.
        const std::string forces = std::string(DEMO_STATE_DIR) + "/forces.bin";
        std::remove(forces.c_str());
        bool pushed = false;
        const Outcome run = runDemo(demo, env, [&] {
            for (const Patch& p : patchesOf(readFile(forces))) {
                pushed = pushed || ((p.flags & 4) == 0 && p.stiffness == 0.45 && p.damping == 1.0);
            }
        });
        EXPECT_EQ(run.status, 0) << run.output;
        if (std::string(demo) == "graspdemo") {
            EXPECT_TRUE(pushed);
            const auto last = patchesOf(readFile(forces));
            ASSERT_EQ(last.size(), 16u);
            for (const Patch& p : last) {
                EXPECT_EQ(p.flags & 4, 4);
                EXPECT_EQ(p.stiffness, 0.0);
            }
        }
        EXPECT_EQ(run.output.find("Message:"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("simulation stopped"), std::string::npos) << run.output;
        long hand = 0, scene = 0;
        ASSERT_TRUE(countColours(readFile(shot), hand, scene)) << shot;
        EXPECT_GT(hand, 200) << "hand pixels in " << shot;
        EXPECT_GT(scene, 200) << "sphere or box pixels in " << shot;
    }
}

TEST(DemoRun, MissingGloveEndsWithItsMessage) {
    for (const char* demo : kDemos) {
        SCOPED_TRACE(demo);
        auto env = fixtureEnv();
        env["MANUVIA_MESSAGES"] = "stderr";
        env["MANUVIA_REGISTRY"] = std::string(DEMO_STATE_DIR) + "/no-such-registry.json";
        const Outcome run = runDemo(demo, env);
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find("Message:  Error with glove. If glove connects in KCU rename "
                                  "as RightGlove or LeftGlove accordingly. "),
                  std::string::npos)
            << run.output;
    }
}

}  // namespace

// graspdemo and ghostdemo as a user runs them: child processes on the simulated devices of
// the demo fixture (kelbsim behind a pseudo-terminal, the forcesim plug-in) with a virtual
// display, closed after a number of frames, one frame saved as a screenshot.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
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

extern char** environ;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The fixture's variables (lines "export NAME='value'").
std::map<std::string, std::string> fixtureEnv() {
    std::map<std::string, std::string> env;
    std::istringstream lines(readFile(std::string(DEMO_STATE_DIR) + "/env"));
    const std::string prefix = "export ";
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find("='");
        if (line.rfind(prefix, 0) == 0 && eq != std::string::npos && line.back() == '\'') {
            env[line.substr(prefix.size(), eq - prefix.size())] =
                line.substr(eq + 2, line.size() - eq - 3);
        }
    }
    return env;
}

struct Outcome {
    int status = -1;  // exit status; -1: still running at the limit (then killed)
    std::string output;
};

// Runs a demo with `env` added to ours, standard output and error into one file, calling
// `watch` every 20 ms while it runs.
Outcome runDemo(const std::string& program, const std::map<std::string, std::string>& env,
                const std::function<void()>& watch = {}) {
    const std::string log = std::string(DEMO_STATE_DIR) + "/" + program + ".log";
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string s = *e;
        if (env.count(s.substr(0, s.find('='))) == 0) {
            envText.push_back(s);
        }
    }
    for (const auto& [k, v] : env) {
        envText.push_back(k + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& e : envText) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::string path = std::string(DEMO_BIN_DIR) + "/" + program;
    char* argv[] = {path.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    Outcome out;
    if (rc != 0) {
        out.output = "cannot start " + path;
        return out;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(150);
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            out.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            break;
        }
        if (watch) {
            watch();
        }
        ::usleep(20000);
    }
    out.output = readFile(log);
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

// mbhost end to end: the real plug-in library, the device manager with its glove plug-ins and
// kelbsim behind pseudo-terminals; takes written into the build folder and read back.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "bvhreader.hpp"
#include "dmserver_process.hpp"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace {

using Clock = std::chrono::steady_clock;

using testsupport::readFile;

// mbhost with its standard output and error in one stream.
struct Child : testsupport::ChildProcess {
    explicit Child(const std::vector<std::string>& argv)
        : ChildProcess(argv, {.mergeStderr = true}) {}
};

const char* kRegistry = R"({"Configurations": {
  "Simulated": {"DefaultFlag": 1, "RightGlove": {"Type": "vexaglove",
      "DeviceManager": {"ServerAddress": "localhost", "SerialPort": "RIGHT", "BaudRate": 115200}}},
  "Bench": {"Tracker": {"Type": "vicon", "ViconTransport": {"ServerAddress": "127.0.0.1"}},
      "LeftGlove": {"Type": "vexaglove",
      "DeviceManager": {"ServerAddress": "localhost", "SerialPort": "LEFT", "BaudRate": 115200}}}}})";

class Mbhost : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::filesystem::create_directories(kDir);
        std::ofstream out(script());
        // Every sensor sweeps 20..230 once a second (100 records), each a little out of phase.
        for (int r = 0; r < 1000; ++r) {
            for (int s = 0; s < 24; ++s)
                out << 20 + (r * 21 / 10 + 7 * s) % 211 << ' ';
            out << '\n';
        }
    }
    void SetUp() override {
        std::string registry = kRegistry;
        registry.replace(registry.find("RIGHT"), 5, m_right);
        registry.replace(registry.find("LEFT"), 4, m_left);
        std::ofstream(m_registry) << registry;
    }
    void TearDown() override { std::filesystem::remove(m_registry); }

    std::vector<std::string> host(std::vector<std::string> extra) {
        std::vector<std::string> args = {MBHOST_PATH, "--registry", m_registry};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(PLUGIN_PATH);
        return args;
    }

    static inline const std::string kDir = MBHOST_TAKES;
    // One per test process: ctest runs the tests of this suite side by side.
    static std::string script() { return kDir + "/fingers-" + std::to_string(::getpid()) + ".txt"; }
    static void TearDownTestSuite() { std::filesystem::remove(script()); }
    // Serial ports are registry fields of at most 20 characters.
    std::string m_right = "/tmp/mbr-" + std::to_string(::getpid());
    std::string m_left = "/tmp/mbl-" + std::to_string(::getpid());
    std::string m_registry = kDir + "/devices-" + std::to_string(::getpid()) + ".json";
};

bvhtest::Motion record(Child& child, const std::string& bvh) {
    EXPECT_EQ(child.finish(), 0) << child.output();
    return bvhtest::readBvh(readFile(bvh));
}

std::size_t jointIndex(const bvhtest::Motion& m, const std::string& name) {
    for (std::size_t j = 0; j < m.joints.size(); ++j)
        if (m.joints[j].name == name)
            return j;
    return 0;
}

// Channel index of a joint's first rotation value: joints before it in file order.
std::size_t channel(std::size_t joint) {
    return 6 + 3 * (joint - 1);
}

// How far (degrees) the ring finger's base turned from the first frame.
double ringTurn(const bvhtest::Motion& m) {
    const std::size_t ring = jointIndex(m, "ringA");
    double moved = 0.0;
    for (const std::vector<double>& f : m.frames)
        for (std::size_t k = 0; k < 3; ++k)
            moved =
                std::max(moved, std::fabs(f[channel(ring) + k] - m.frames[0][channel(ring) + k]));
    return moved;
}

}  // namespace

TEST_F(Mbhost, RecordsMovingFingersOfEitherHandIntoBvh) {
    testsupport::Simulator right(KELBSIM_PATH, m_right, {"--script", script()});
    testsupport::Simulator left(KELBSIM_PATH, m_left, {"--script", script(), "--left"});
    ASSERT_TRUE(right.ready() && left.ready()) << "kelbsim did not start";
    const std::string rightTake = kDir + "/right-hand.bvh", leftTake = kDir + "/left-hand.bvh";
    Child a(host({"--duration", "2", "--rate", "60", "--bvh", rightTake}));
    Child b(host({"--duration", "1", "--config", "Bench", "--glove", "LeftGlove", "--quiet",
                  "--bvh", leftTake}));
    bvhtest::Motion r = record(a, rightTake);
    bvhtest::Motion l = record(b, leftTake);

    ASSERT_EQ(r.joints.size(), 21u);
    EXPECT_EQ(r.channelCount, 6 + 20 * 3);
    EXPECT_EQ(r.frames.size(), 120u) << "two seconds at 60 Hz";
    EXPECT_DOUBLE_EQ(r.frameTime, 1.0 / 60.0);
    EXPECT_EQ(l.frames.size(), 60u);
    const std::size_t row = a.output().find("Ring MCJ");
    ASSERT_NE(row, std::string::npos) << "the joint spreadsheet: " << a.output();
    EXPECT_EQ(a.output().substr(row, a.output().find('\n', row) - row).find(" - "),
              std::string::npos)
        << "the spreadsheet shows the ring base's last rotation: " << a.output();
    EXPECT_NE(a.output().find("Ok RightGlove"), std::string::npos) << a.output();
    std::set<std::string> tips;
    for (const bvhtest::Joint& j : r.joints)
        if (j.endSite)
            tips.insert(j.name);
    EXPECT_EQ(tips, (std::set<std::string>{"thumbD", "indexD", "middleD", "ringD", "littleD"}));
    EXPECT_EQ(r.joints[0].name, "palm");
    EXPECT_EQ(r.joints[0].channels.size(), 6u);
    EXPECT_EQ(r.joints[1].channels[0], "Zrotation");

    const std::size_t ring = jointIndex(r, "ringA"), ringTip = jointIndex(r, "ringD");
    EXPECT_NEAR(r.joints[ring].offset[2], -2.2, 1e-9);
    EXPECT_NEAR(l.joints[ring].offset[2], 2.2, 1e-9) << "Z mirrored for the left hand";
    EXPECT_NEAR(l.joints[ring].offset[0], 9.8, 1e-9);
    for (const std::vector<double>& f : r.frames)
        for (std::size_t k = 0; k < 3; ++k)
            EXPECT_EQ(f[channel(ringTip) + k], 0.0) << "finger tips stay at rest";
    EXPECT_GT(ringTurn(r), 5.0) << "the ring finger's base turns by degrees";
}

// The glove served by a dmserver in another process: the registry names its address and port.
TEST_F(Mbhost, RecordsTheGloveOfADeviceServer) {
    testsupport::Simulator right(KELBSIM_PATH, m_right, {"--script", script()});
    ASSERT_TRUE(right.ready());
    dmservertest::Server server({"--log-level", "debug"});
    ASSERT_NE(server.port(), 0);
    std::string registry = readFile(m_registry);
    registry.replace(registry.find("\"localhost\""), 11,
                     "\"127.0.0.1\", \"ServerPort\": " + std::to_string(server.port()));
    std::ofstream(m_registry) << registry;
    const std::string take = kDir + "/served.bvh";
    Child run(host({"--duration", "1", "--rate", "60", "--quiet", "--bvh", take}));
    bvhtest::Motion m = record(run, take);
    EXPECT_EQ(m.frames.size(), 60u);
    EXPECT_GT(ringTurn(m), 5.0) << "the glove's values reach the take";
    EXPECT_NE(server.log().find("opened vexaglove \"" + m_right), std::string::npos)
        << server.log();
}

TEST_F(Mbhost, SceneKeepsTheChosenGloveAndRefusesBrokenFiles) {
    testsupport::Simulator left(KELBSIM_PATH, m_left, {"--script", script(), "--left"});
    ASSERT_TRUE(left.ready());
    const std::string scene = kDir + "/scene.txt";
    Child save(host({"--duration", "0.2", "--quiet", "--config", "Bench", "--save-scene", scene}));
    ASSERT_EQ(save.finish(), 0) << save.output();
    const std::string stored = readFile(scene);
    EXPECT_NE(stored.find("\"Bench\""), std::string::npos) << stored;
    EXPECT_NE(stored.find("\"LeftGlove\""), std::string::npos) << stored;
    Child reload(host({"--duration", "0.2", "--quiet", "--scene", scene}));
    ASSERT_EQ(reload.finish(), 0) << reload.output();
    EXPECT_NE(reload.output().find("Ok LeftGlove"), std::string::npos) << reload.output();

    const std::string cut = kDir + "/cut-scene.txt";
    std::ofstream(cut) << stored.substr(0, stored.size() - 5);
    Child broken(host({"--scene", cut}));
    EXPECT_EQ(broken.finish(), 1);
    EXPECT_NE(broken.output().find("truncated"), std::string::npos) << broken.output();
    EXPECT_EQ(broken.output().find("Ok"), std::string::npos) << "no device started";
}

TEST_F(Mbhost, BadInvocationsAndAStopSignal) {
    const struct {
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {{MBHOST_PATH}, 2, "no plug-in library given"},
        {{MBHOST_PATH, "--duration", "-1", PLUGIN_PATH}, 2, "bad duration '-1'"},
        {{MBHOST_PATH, "--frobnicate", PLUGIN_PATH}, 2, "unknown option '--frobnicate'"},
        {{MBHOST_PATH, "/nonexistent/plugin.so"}, 1, "cannot load plug-in library"},
        {{MBHOST_PATH, "--registry", "/nonexistent.json", PLUGIN_PATH}, 1, "cannot read device"},
        {host({"--glove", "NoSuchGlove"}), 1, "no glove 'NoSuchGlove'"},
        {host({"--config", "Bench"}), 1, "the device did not start: Could not Initialize"},
    };
    for (const auto& c : cases) {
        Child child(c.args);
        EXPECT_EQ(child.finish(), c.status) << child.output();
        EXPECT_NE(child.output().find(c.message), std::string::npos) << child.output();
    }

    testsupport::Simulator right(KELBSIM_PATH, m_right, {"--script", script()});
    ASSERT_TRUE(right.ready());
    Child run(host({"--duration", "600", "--quiet", "--bvh", kDir + "/stopped.bvh"}));
    ASSERT_TRUE(run.waitForOutput(": Ok")) << run.output();
    auto asked = Clock::now();
    run.signal(SIGINT);
    EXPECT_EQ(run.finish(), 0) << run.output();
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(30)) << "threads woken, not waited out";
    EXPECT_NE(run.output().find("(interrupted)"), std::string::npos) << run.output();
    EXPECT_NO_THROW(bvhtest::readBvh(readFile(kDir + "/stopped.bvh")));
}

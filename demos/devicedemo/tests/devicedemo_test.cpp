// devicedemo as a user runs it: a child process on the simulated devices of the demo
// fixture (kelbsim behind a pseudo-terminal, the forcesim plug-in), read through a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dmserver_process.hpp"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace {

using Clock = std::chrono::steady_clock;

using testsupport::readFile;

// The fixture's variables (lines "export NAME='value'").
std::map<std::string, std::string> fixtureEnv() {
    return testsupport::readExports(std::string(DEMO_STATE_DIR) + "/env");
}

// devicedemo with its standard input and output on pipes.
class Demo : public testsupport::ChildProcess {
  public:
    Demo(const std::vector<std::string>& args, const std::map<std::string, std::string>& env)
        : ChildProcess(std::string(DEMO_BIN_DIR) + "/devicedemo", args,
                       {.env = testsupport::assignments(env), .withStdin = true}) {}
    void type(const std::string& text) { write(text); }
    bool started() const { return ready(); }
};

struct Block {
    double delta;
    double t[3];
    double axis[3];
    double angle;
};

// The numbers of a line "<prefix><n> <n> ...", exactly `count` of them with one blank
// between; false for any other line.
bool numbersOf(const std::string& line, const std::string& prefix, size_t count,
               std::vector<double>& out) {
    if (line.rfind(prefix, 0) != 0 || line.find("  ") != std::string::npos ||
        (!line.empty() && line.back() == ' '))
        return false;
    std::istringstream in(line.substr(prefix.size()));
    out.clear();
    for (double v; in >> v;)
        out.push_back(v);
    return in.eof() && out.size() == count;
}

// Every complete read-out block, exactly as printed:
//   deltaTime: D / Glove:  / 0..4 and four joints / 5 and three palm values / Tracker:  /
//   x y z / axis x y z and angle / an empty line.
std::vector<Block> blocksOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    if (!text.empty() && text.back() != '\n')
        lines.pop_back();  // still being written
    std::vector<Block> blocks;
    std::vector<double> v;
    for (size_t i = 0; i + 12 <= lines.size(); ++i) {
        if (!numbersOf(lines[i], "deltaTime: ", 1, v))
            continue;
        Block b{};
        b.delta = v[0];
        bool ok = lines[i + 1] == "Glove: ";
        for (int f = 0; f < 5 && ok; ++f)
            ok = numbersOf(lines[i + 2 + f], std::to_string(f) + " ", 4, v);
        ok = ok && numbersOf(lines[i + 7], "5 ", 3, v) && lines[i + 8] == "Tracker: " &&
             numbersOf(lines[i + 9], "", 3, v);
        if (ok)
            std::copy(v.begin(), v.end(), b.t);
        ok = ok && numbersOf(lines[i + 10], "", 4, v) && lines[i + 11].empty();
        if (!ok)
            continue;
        std::copy(v.begin(), v.begin() + 3, b.axis);
        b.angle = v[3];
        blocks.push_back(b);
        i += 11;
    }
    return blocks;
}

auto hasBlocks(size_t n) {
    return [n](const std::string& text) { return blocksOf(text).size() >= n; };
}

std::string fixtureLink() {
    std::string link = readFile(std::string(DEMO_STATE_DIR) + "/kelbsim.link");
    return link.substr(0, link.find('\n'));
}

// A registry whose default configuration holds the fixture's glove and arm, or fewer; the
// glove served by the device manager at `serverPort` when one is given.
std::string registryWith(bool glove, bool tracker, int serverPort = 0) {
    std::string server;
    if (serverPort != 0)
        server =
            R"("ServerAddress": "127.0.0.1", "ServerPort": )" + std::to_string(serverPort) + ", ";
    std::string devices;
    if (glove)
        devices += R"(, "RightGlove": {"Type": "vexaglove", "DeviceManager": {)" + server +
                   R"("SerialPort": ")" + fixtureLink() + R"(", "BaudRate": 115200}})";
    if (tracker)
        devices += R"(, "RightForce": {"Type": "kortavel",
                        "DeviceManager": {"SerialPort": "forcesim0"}})";
    return R"({"Configurations": {"Test": {"DefaultFlag": 1)" + devices + "}}}";
}

class DeviceDemo : public ::testing::Test {
  protected:
    void SetUp() override {
        env = fixtureEnv();
        ASSERT_FALSE(env["MANUVIA_REGISTRY"].empty()) << "the demo fixture did not run";
    }
    // env with the registry replaced by `text`.
    std::map<std::string, std::string> envWithRegistry(const std::string& text) {
        registry = std::string(DEMO_STATE_DIR) + "/devicedemo-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".json";
        std::ofstream(registry) << text;
        auto e = env;
        e["MANUVIA_REGISTRY"] = registry;
        return e;
    }
    void TearDown() override {
        if (!registry.empty())
            ::unlink(registry.c_str());
    }
    std::map<std::string, std::string> env;
    std::string registry;
};

TEST_F(DeviceDemo, PrintsBlocksAtThePauseGiven) {
    const struct {
        std::vector<std::string> args;
        double pauseMs;
    } rows[] = {{{}, 100}, {{"250"}, 250}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pauseMs);
        Demo demo(row.args, env);
        ASSERT_TRUE(demo.started());
        const size_t n = 8;
        std::string text = demo.readUntil(hasBlocks(n));
        std::vector<Block> blocks = blocksOf(text);
        ASSERT_GE(blocks.size(), n) << text;
        EXPECT_EQ(text.rfind("deltaTime: ", 0), 0u) << "nothing before the first block";
        // Steps between read-outs: at least the pause, plus the devices' time (generous).
        std::vector<double> steps;
        for (size_t i = 1; i < blocks.size(); ++i)
            steps.push_back((blocks[i].delta - blocks[i - 1].delta) * 1000.0);
        std::sort(steps.begin(), steps.end());
        EXPECT_GE(steps.front(), row.pauseMs * 0.95);
        EXPECT_LE(steps[steps.size() / 2], row.pauseMs + 300.0);
        // The scripted arm: beside the scene on the x axis, turned -90 degrees about z.
        const Block& b = blocks.back();
        EXPECT_GE(b.t[0], -27.01);
        EXPECT_LE(b.t[0], -16.99);
        EXPECT_NEAR(std::fabs(b.axis[2]), 1.0, 1e-4);
        EXPECT_NEAR(b.angle, M_PI / 2, 1e-4);
    }
}

TEST_F(DeviceDemo, WithoutTrackerTheEmulatorFillsTheTrackerBlock) {
    Demo demo({"20"}, envWithRegistry(registryWith(true, false)));
    std::string text = demo.readUntil(hasBlocks(2));
    EXPECT_EQ(text.rfind("Could not connect to tracker, using emulator instead\ndeltaTime: ", 0),
              0u)
        << text;
    std::vector<Block> blocks = blocksOf(text);
    ASSERT_GE(blocks.size(), 2u) << text;
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(blocks[1].t[k], 0.0);
    EXPECT_EQ(blocks[1].angle, 0.0);
}

// The glove read through a dmserver in another process, named by the registry.
TEST_F(DeviceDemo, ReadsTheGloveThroughADeviceServer) {
    dmservertest::Server server({"--log-level", "debug"});
    ASSERT_NE(server.port(), 0);
    Demo demo({"20"}, envWithRegistry(registryWith(true, false, server.port())));
    std::string text = demo.readUntil(hasBlocks(3));
    EXPECT_EQ(text.rfind("Could not connect to tracker, using emulator instead\ndeltaTime: ", 0),
              0u)
        << text;
    ASSERT_GE(blocksOf(text).size(), 3u) << text;
    // The thumb line of the last complete block carries the glove's joint values.
    size_t thumb = text.rfind("Glove: \n0 ", text.rfind("deltaTime: ") - 1);
    ASSERT_NE(thumb, std::string::npos) << text;
    std::vector<double> v;
    ASSERT_TRUE(
        numbersOf(text.substr(thumb + 8, text.find('\n', thumb + 8) - thumb - 8), "0 ", 4, v))
        << text;
    EXPECT_TRUE(std::any_of(v.begin(), v.end(), [](double x) { return x != 0.0; })) << text;
    EXPECT_NE(server.log().find("opened vexaglove \"" + fixtureLink()), std::string::npos)
        << server.log();
}

TEST_F(DeviceDemo, WithoutGloveWaitsForEnterAndEndsWell) {
    Demo demo({}, envWithRegistry(registryWith(false, true)));
    const std::string end = "\nPress <enter> to exit.\n";
    std::string text = demo.readUntil([&](const std::string& t) { return t.find(end) != t.npos; });
    EXPECT_EQ(text.rfind("Could not connect to any VexaGlove: kpxVexaGlove: no connection", 0), 0u)
        << text;
    EXPECT_TRUE(text.ends_with(end)) << text;
    EXPECT_EQ(demo.waitExit(std::chrono::seconds(1)), -1) << "it waits for enter";
    demo.type("\n");
    EXPECT_EQ(demo.waitExit(std::chrono::seconds(30)), 0);
}

}  // namespace

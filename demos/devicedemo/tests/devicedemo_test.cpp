// devicedemo as a user runs it: a child process on the simulated devices of the demo
// fixture (kelbsim behind a pseudo-terminal, the forcesim plug-in), read through a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
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

#ifdef DMSERVER_PATH
#include "dmserver_process.hpp"
#endif

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The fixture's variables (lines "export NAME='value'").
std::map<std::string, std::string> fixtureEnv() {
    std::map<std::string, std::string> env;
    std::istringstream lines(readFile(std::string(DEMO_STATE_DIR) + "/env"));
    for (std::string line; std::getline(lines, line);) {
        size_t eq = line.find("='");
        if (line.rfind("export ", 0) == 0 && eq != std::string::npos && line.back() == '\'')
            env[line.substr(7, eq - 7)] = line.substr(eq + 2, line.size() - eq - 3);
    }
    return env;
}

// devicedemo in a child process with stdin and stdout on pipes; killed and reaped at the end.
class Demo {
  public:
    Demo(std::vector<std::string> args, std::map<std::string, std::string> env) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> envText;
        for (char** e = environ; *e; ++e) {
            std::string s = *e;
            if (!env.count(s.substr(0, s.find('='))))
                envText.push_back(s);
        }
        for (auto& [k, v] : env)
            envText.push_back(k + "=" + v);
        args.insert(args.begin(), std::string(DEMO_BIN_DIR) + "/devicedemo");
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : envText)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~Demo() {
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_in);
        ::close(m_out);
    }
    // Reads until `done` holds for what was read, the pipe ends or the time runs out.
    template <typename Done>
    const std::string& readUntil(Done done, std::chrono::seconds limit = std::chrono::seconds(60)) {
        auto deadline = Clock::now() + limit;
        while (!done(m_text) && Clock::now() < deadline) {
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buf[4096];
            ssize_t n = ::read(m_out, buf, sizeof buf);
            if (n <= 0)
                break;
            m_text.append(buf, static_cast<size_t>(n));
        }
        return m_text;
    }
    void type(const std::string& text) { (void)!::write(m_in, text.data(), text.size()); }
    // Exit status, or -1 when it has not ended within the limit.
    int waitExit(std::chrono::seconds limit) {
        auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_reaped = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(20000);
        }
        return -1;
    }
    bool started() const { return m_pid > 0; }

  private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_in = -1, m_out = -1;
    std::string m_text;
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

#ifdef DMSERVER_PATH
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
#endif

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

// dmserver with the glove plug-in on kelbsim (each hand) and --osc to a receiver on
// 127.0.0.1: a glove a client opens streams under its instance's name while it is open.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "devicemanager/rzclient.h"
#include "oscreceiver.hpp"

namespace {

// A child whose first output line is read; stopped by its pid when the test ends.
struct Child {
    pid_t pid = -1;
    std::string line;
    explicit Child(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0)
            return;
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        FILE* f = fdopen(out[0], "r");
        char text[512] = {};
        if (f && std::fgets(text, sizeof text, f))
            line = std::string(text, std::strcspn(text, "\r\n"));
        // The rest of the output is not read: a closed pipe only costs the child SIGPIPE
        // on a later print, and both print one line.
        if (f)
            std::fclose(f);
    }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

class DmserverStream : public ::testing::TestWithParam<bool> {};

TEST_P(DmserverStream, OpenGloveStreamsUntilClosed) {
    const bool left = GetParam();
    Receiver receiver;
    Child sim(left ? std::vector<std::string>{KELBSIM_PATH, "--left"}
                   : std::vector<std::string>{KELBSIM_PATH});
    ASSERT_EQ(sim.line.rfind("/dev/", 0), 0u) << sim.line;
    Child server({DMSERVER_PATH, "--bind", "127.0.0.1:0", "--plugins", PLUGIN_DIR, "--osc",
                  "127.0.0.1:" + receiver.port(), "--rate", "1000"});
    int port = 0;
    ASSERT_EQ(std::sscanf(server.line.c_str(), "dmserver listening on 127.0.0.1:%d", &port), 1)
        << server.line;
    const std::string where = "server=127.0.0.1:port=" + std::to_string(port);

    RzDeviceHandle glove = RZ_DeviceOpen(where.c_str(), sim.line.c_str(), "glove");
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
        const std::string command = std::string(DMSERVER_PATH) +
                                    " --bind 127.0.0.1:0 --plugins " PLUGIN_DIR " " + bad +
                                    " >/dev/null 2>&1";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << bad;
        EXPECT_EQ(WEXITSTATUS(status), 2) << bad;
    }
}

}  // namespace

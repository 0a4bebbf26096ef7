// glovectl streaming a glovesim glove over a pty to an OSC receiver on 127.0.0.1: every frame
// printed is also received, in order, with the same angles.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "oscreceiver.hpp"

namespace {

struct Sim {
    pid_t pid = -1;
    std::string pty;
    Sim() {
        int out[2];
        if (pipe(out) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            execl(GLOVESIM_PATH, "glovesim", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        FILE* f = fdopen(out[0], "r");
        char line[512] = {};
        if (f && std::fgets(line, sizeof line, f))
            pty = std::string(line, std::strcspn(line, "\r\n"));
        if (f)
            std::fclose(f);
    }
    ~Sim() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

TEST(GlovectlStream, OscReceivesEveryPrintedFrame) {
    Receiver receiver;
    Sim sim;
    ASSERT_FALSE(sim.pty.empty());
    constexpr int kFrames = 20;
    const std::string command = std::string(GLOVECTL_PATH) + " --serial " + sim.pty +
                                " stream --frames " + std::to_string(kFrames) +
                                " --name left_7 --osc 127.0.0.1:" + receiver.port();
    FILE* ctl = popen(command.c_str(), "r");
    ASSERT_NE(ctl, nullptr);
    std::vector<std::vector<double>> printed;
    char line[4096];
    bool header = true;
    while (std::fgets(line, sizeof line, ctl)) {
        if (header) {
            header = false;
            continue;
        }
        std::vector<double> fields;
        std::stringstream in(line);
        std::string field;
        while (std::getline(in, field, ','))
            fields.push_back(std::stod(field));
        printed.push_back(fields);
    }
    ASSERT_EQ(pclose(ctl), 0);
    ASSERT_EQ(printed.size(), size_t{kFrames});
    const auto got = receiver.take(kFrames);
    ASSERT_EQ(got.size(), size_t{kFrames});
    for (int k = 0; k < kFrames; ++k) {
        ASSERT_EQ(got[k].strings.size(), 2u);
        EXPECT_EQ(got[k].strings[0], "left_7");
        ASSERT_EQ(got[k].numbers.size(), 24u);
        ASSERT_EQ(printed[k].size(), 29u);
        // The CSV has degrees to three places after five time fields.
        for (int s = 0; s < 24; ++s)
            EXPECT_NEAR(got[k].numbers[s] * 180.0 / M_PI, printed[k][5 + s], 2e-3) << k << "/" << s;
    }
}

}  // namespace

// dmctl's stream latency against kelbsim, which delays and stamps what it sends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "dmctlrun.hpp"

namespace {

using dmctltest::dmctl;
using dmctltest::Outcome;

// kelbsim on its own pseudo-terminal, stopped with SIGTERM when the test ends.
class Kelbsim {
  public:
    explicit Kelbsim(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv{const_cast<char*>(KELBSIM_PATH)};
            for (const auto& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        FILE* f = fdopen(out[0], "r");
        char line[256] = {};
        if (f && std::fgets(line, sizeof line, f)) {
            path_ = line;
            path_.erase(path_.find_last_not_of("\r\n") + 1);
        }
        if (f) {
            std::fclose(f);
        }
    }
    ~Kelbsim() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& path() const { return path_; }

  private:
    pid_t pid_ = -1;
    std::string path_;
};

TEST(Dmctl, StreamLatencyReportsTheDelayTheGloveAdds) {
    for (int delayMs : {0, 80}) {
        std::string stamps =
            std::filesystem::temp_directory_path() /
            ("dmctl-stamps-" + std::to_string(getpid()) + "-" + std::to_string(delayMs));
        std::filesystem::remove(stamps);
        Kelbsim kelb({"--delay-ms", std::to_string(delayMs), "--stamp-file", stamps});
        ASSERT_FALSE(kelb.path().empty());
        Outcome r =
            dmctl("read glove " + kelb.path() + " --stream --count 150 --latency " + stamps);
        ASSERT_EQ(r.status, 0) << r.out;
        auto at = r.out.find("dmctl: latency ");
        ASSERT_NE(at, std::string::npos) << r.out;
        double latency = std::strtod(r.out.c_str() + at + 15, nullptr);
        // The machine may be loaded: 50 % or 20 ms, whichever is wider.
        double margin = std::max(0.5 * delayMs, 20.0);
        EXPECT_NEAR(latency, delayMs, margin) << r.out.substr(at);
        EXPECT_NE(r.out.find("rate "), std::string::npos);
        std::filesystem::remove(stamps);
    }
    EXPECT_EQ(dmctl("read glove /dev/null --latency x").status, 2);  // needs --stream
}

}  // namespace

// The glove plug-in's failure paths against a misbehaving unit: kelbsim's faults on a real
// pseudo-terminal, the real core loading the real glove and linemux plug-ins.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "glovetest_support.hpp"

using namespace glovetest;

// See glove_test.cpp: dlopen'ed thread-local state and AddressSanitizer's TLS tracking.
extern "C" const char* __asan_default_options() {
    return "intercept_tls_get_addr=0";
}

namespace {

class Environment : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_GE(RZ_LoadPlugins(nullptr), 2); }
    void TearDown() override { RZ_UnloadPlugins(); }
};
const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

class GloveFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("RZ_CONFIG_FILE", dir.file("devicemanager.conf").c_str(), 1);
        RZ_SetVerbosity(0);
    }
    void TearDown() override {
        unsetenv("RZ_CONFIG_FILE");
        RZ_SetVerbosity(0);
    }
    TempDir dir;
};

// Standard error (where the plug-ins log) goes to a file while the object lives.
class CapturedStderr {
  public:
    explicit CapturedStderr(std::string path) : path_(std::move(path)) {
        std::fflush(stderr);
        saved_ = dup(2);
        int fd = open(path_.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
        if (saved_ < 0 || fd < 0) {
            throw std::runtime_error("cannot capture standard error");
        }
        dup2(fd, 2);
        close(fd);
    }
    ~CapturedStderr() {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
    }
    std::string text() const {
        std::fflush(stderr);
        std::ifstream in(path_);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

  private:
    std::string path_;
    int saved_ = -1;
};

std::size_t entries(const char* folder) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) {
        ++n;
    }
    return n;
}

std::vector<uint8_t> bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

}  // namespace

// The line stays busy with bytes that never carry the framing NUL: to the driver that is a
// silent line, so the timed recovery reboots the unit (3 s after the instance was made).
TEST_F(GloveFaults, UnframedNoiseIsSilenceToTheRecovery) {
    Kelbsim kelb(dir, {"--fault", "noise=20:30", "--rate", "100"});
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    ASSERT_TRUE(waitFor([&] { return kelb.countNotes("noise") == 1; }));
    const std::vector<uint8_t> reboot{0x12, 'U', 0x01, '?', 'p', 'M'};
    EXPECT_TRUE(waitFor([&] { return !find(kelb.hostBytes(), reboot).empty(); }, 15))
        << "no recovery while the line carried unframed noise";
    EXPECT_EQ(jointValues(glove.get()).size(), 24u) << "the instance survives";
}

// Opening against a slow, mute or failing unit: the replies that come within their waits
// (500 ms, 1000 ms for the identity) make an instance; any other fails with -21 and leaves
// nothing behind: no thread, no descriptor, and the port opens again.
TEST_F(GloveFaults, OpeningAgainstAFaultyUnit) {
    struct Case {
        const char* name;
        std::vector<std::string> faults;
        bool opens;
        std::string lastSent;  // the last command that reached the unit
        std::string notSent;   // one that must not have
    };
    const std::string abort(1, '\x03');
    const std::vector<Case> cases = {
        {"every reply late within its wait", {"slow=250"}, true, "S", ""},
        {"identity late within its longer wait", {"slow=700:?i"}, true, "S", ""},
        {"identity past its wait", {"slow=2500:?i"}, false, "?i", "?M"},
        {"parameters past the ordinary wait", {"slow=850:?p"}, false, "?p", "?i"},
        {"mute unit", {"mute"}, false, abort, "U"},
        {"unit error from the first query", {"error=0:600"}, false, "?p", "?i"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir own;
        std::vector<std::string> args;
        for (const auto& f : c.faults) {
            args.insert(args.end(), {"--fault", f});
        }
        Kelbsim kelb(own, args);
        const std::size_t threads = entries("/proc/self/task");
        const std::size_t fds = entries("/proc/self/fd");
        {
            Device glove(kelb.pty());
            EXPECT_EQ(static_cast<bool>(glove), c.opens);
            if (!c.opens) {
                EXPECT_EQ(RZ_GetLastError(), -21);
            } else {
                EXPECT_EQ(jointValues(glove.get()).size(), 24u);
            }
        }
        auto sent = kelb.hostBytes();
        EXPECT_FALSE(find(sent, bytes(c.lastSent)).empty());
        if (!c.notSent.empty()) {
            EXPECT_TRUE(find(sent, bytes(c.notSent)).empty());
        }
        EXPECT_EQ(entries("/proc/self/task"), threads);
        EXPECT_EQ(entries("/proc/self/fd"), fds);
        Device port(kelb.pty(), kelb.pty().c_str());
        EXPECT_TRUE(port) << "the port is free again";
    }
}

// A command whose reply does not come within the wait answers -21; the instance carries on.
TEST_F(GloveFaults, CommandPastItsWaitAnswersNotReady) {
    Kelbsim kelb(dir, {"--fault", "slow=1200:M"});
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    std::vector<uint8_t> mask{0, 0x7f, 0xff, 0xfe};
    EXPECT_EQ(control(glove.get(), 10, 1, mask), -21);
    ASSERT_TRUE(waitFor([&] { return kelb.countNotes("set mask") == 1; }));
    EXPECT_EQ(control(glove.get(), 10, 0), 0) << "set parameters, answered at once";
    EXPECT_EQ(jointValues(glove.get()).size(), 24u);
}

// An interface-unit error in the records refuses reads and commands with -21 and is logged;
// the first record of a ready unit ends it.
TEST_F(GloveFaults, UnitErrorIsReportedUntilTheUnitIsReady) {
    Kelbsim kelb(dir, {"--fault", "error=50:4", "--rate", "100"});
    CapturedStderr log(dir.file("stderr.txt"));
    RZ_SetVerbosity(1);
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    ASSERT_EQ(control(glove.get(), 15, 2), 0);
    ASSERT_TRUE(waitFor([&] { return control(glove.get(), 15, 2) == -21; }));
    std::vector<uint8_t> mask{0, 0x7f, 0xff, 0xfe};
    EXPECT_EQ(control(glove.get(), 10, 1, mask), -21);
    EXPECT_TRUE(find(kelb.hostBytes(), {'M', 0xfe}).empty()) << "nothing sent while in error";
    EXPECT_NE(log.text().find("[gloved] KELB error or not plugged in.\n"), std::string::npos);
    EXPECT_TRUE(waitFor([&] { return control(glove.get(), 15, 2) == 0; }, 15));
    // The refused mask did not stay: the unit's records still decode.
    const auto before = jointValues(glove.get());
    EXPECT_TRUE(waitFor([&] {
        auto v = jointValues(glove.get());
        return v.size() == 24 && before.size() == 24 && v[1] != before[1];
    }));
    EXPECT_EQ(log.text().find("incomplete"), std::string::npos);
    mask = {0, 0x7f, 0xff, 0xfe};
    EXPECT_EQ(control(glove.get(), 10, 1, mask), 0);
}

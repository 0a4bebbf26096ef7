// The glove plug-in against a misbehaving unit: kelbsim's faults on a real pseudo-terminal,
// the real core loading the real glove and linemux plug-ins (environment in glove_test.cpp).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "glovetest_support.hpp"

using namespace glovetest;

namespace {

std::size_t entries(const char* folder) {
    std::filesystem::directory_iterator it(folder);
    return static_cast<std::size_t>(std::distance(begin(it), end(it)));
}

std::vector<uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

}  // namespace

// Bytes that never carry the framing NUL are silence to the driver: the timed recovery
// reboots the unit (3 s after the instance was made).
TEST(GloveFaults, UnframedNoiseIsSilenceToTheRecovery) {
    TempDir dir;
    Kelbsim kelb(dir, {"--fault", "noise=20:30", "--rate", "100"});
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    ASSERT_TRUE(waitFor([&] { return kelb.countNotes("noise") == 1; }));
    EXPECT_TRUE(
        waitFor([&] { return !find(kelb.hostBytes(), bytes("\x12U\x01?pM")).empty(); }, 15));
    EXPECT_EQ(jointValues(glove.get()).size(), 24u) << "the instance survives";
}

// Replies within their waits (500 ms, 1000 ms for the identity) make an instance; otherwise
// the open fails with -21 and leaves no thread or descriptor, and the port opens again.
TEST(GloveFaults, OpeningAgainstAFaultyUnit) {
    struct Case {
        std::string fault;
        bool opens;
        std::string lastSent, notSent;  // the last command the unit saw, and one it must not
    };
    for (const Case& c : std::vector<Case>{{"slow=250", true, "S", "\x12"},
                                           {"slow=700:?i", true, "S", "\x12"},
                                           {"slow=2500:?i", false, "?i", "?M"},
                                           {"slow=850:?p", false, "?p", "?i"},
                                           {"mute", false, "\x03", "U"},
                                           {"error=0:600", false, "?p", "?i"}}) {
        // A sanitizer starts a helper thread of its own with the program's first thread: let
        // that happen before threads are counted.
        std::thread([] {}).join();
        SCOPED_TRACE(c.fault);
        TempDir dir;
        Kelbsim kelb(dir, {"--fault", c.fault});
        const std::size_t threads = entries("/proc/self/task"), fds = entries("/proc/self/fd");
        {
            Device glove(kelb.pty());
            ASSERT_EQ(static_cast<bool>(glove), c.opens);
            if (c.opens) {
                EXPECT_EQ(jointValues(glove.get()).size(), 24u);
            } else {
                EXPECT_EQ(RZ_GetLastError(), -21);
            }
        }
        auto sent = kelb.hostBytes();
        EXPECT_FALSE(find(sent, bytes(c.lastSent)).empty());
        EXPECT_TRUE(find(sent, bytes(c.notSent)).empty());
        EXPECT_EQ(entries("/proc/self/task"), threads);
        EXPECT_EQ(entries("/proc/self/fd"), fds);
        EXPECT_TRUE(Device(kelb.pty(), kelb.pty().c_str())) << "the port is free again";
    }
}

// An interface-unit error refuses reads and commands with -21 until the unit is ready again;
// the refused mask is not kept, so the unit's records still decode afterwards.
TEST(GloveFaults, UnitErrorIsReportedUntilTheUnitIsReady) {
    TempDir dir;
    Kelbsim kelb(dir, {"--fault", "error=50:4", "--rate", "100"});
    Device glove(kelb.pty());
    ASSERT_TRUE(glove);
    ASSERT_TRUE(waitFor([&] { return control(glove.get(), 15, 2) == -21; }));
    std::vector<uint8_t> mask{0, 0x7f, 0xff, 0xfe};
    EXPECT_EQ(control(glove.get(), 10, 1, mask), -21);
    EXPECT_TRUE(find(kelb.hostBytes(), {'M', 0xfe}).empty()) << "nothing sent while in error";
    ASSERT_TRUE(waitFor([&] { return control(glove.get(), 15, 2) == 0; }, 15));
    const auto before = jointValues(glove.get());
    EXPECT_TRUE(waitFor([&] { return jointValues(glove.get()).at(1) != before.at(1); }));
}

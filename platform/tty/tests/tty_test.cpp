// The serial layer against real pseudo-terminals and files.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testsupport/tempdir.hpp"
#include "tty/tty.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TtyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(pty_.open({}, &error)) << error;
    }
    void TearDown() override {
        if (line_ >= 0) {
            tty::closeExclusive(line_);
        }
    }
    void openLine() {
        line_ = tty::openExclusive(pty_.path());
        ASSERT_GE(line_, 0) << std::strerror(errno);
        ASSERT_EQ(tty::configure(line_, 115200, tty::Lines::kOn), tty::Setup::kOk);
    }

    tty::Pty pty_;
    int line_ = -1;
    testsupport::TempDir temp_{"ttytest"};
    fs::path dir_ = temp_.path();
};

TEST_F(TtyTest, ConfigureSortsOutWhatIsNoTerminalOrNoSpeed) {
    const fs::path file = dir_ / "plain";
    std::ofstream(file) << "x";
    const int fd = tty::openExclusive(file);
    ASSERT_GE(fd, 0);  // a plain file takes the lock, and has no flag to take
    EXPECT_EQ(tty::configure(fd, 115200, tty::Lines::kOn), tty::Setup::kNotTerminal);
    tty::closeExclusive(fd);
    openLine();
    EXPECT_EQ(tty::configure(line_, 12345, tty::Lines::kOff), tty::Setup::kBadBaud);
}

TEST_F(TtyTest, RawLinePassesControlBytesBothWays) {
    openLine();
    const std::string bytes("\x03\x11\x13\r\n\x7f\0A", 8);
    ASSERT_EQ(tty::writeFor(pty_.master(), bytes.data(), bytes.size(), 1s).error, 0);
    std::string got(16, '\0');
    got.resize(static_cast<size_t>(tty::readFor(line_, got.data(), got.size(), 5s)));
    EXPECT_EQ(got, bytes);
    ASSERT_EQ(tty::writeFor(line_, bytes.data(), bytes.size(), 1s).error, 0);
    got.assign(16, '\0');
    got.resize(static_cast<size_t>(tty::readFor(pty_.master(), got.data(), got.size(), 5s)));
    EXPECT_EQ(got, bytes);
}

TEST_F(TtyTest, ExclusiveUntilClosedThenFree) {
    openLine();
    EXPECT_EQ(tty::openExclusive(pty_.path()), -1);  // refused even for root, by the lock
    EXPECT_EQ(errno, EBUSY);
    const int probe = open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(probe, 0);  // root passes the flag; others would not
    int flag = 0;
    ASSERT_EQ(ioctl(probe, TIOCGEXCL, &flag), 0);
    EXPECT_EQ(flag, 1);
    tty::closeExclusive(line_);
    line_ = -1;
    ASSERT_EQ(ioctl(probe, TIOCGEXCL, &flag), 0);
    EXPECT_EQ(flag, 0);  // dropped before close, or every later opener would be locked out
    close(probe);
    openLine();
}

TEST_F(TtyTest, ReadWaitsForTheFirstByteOnly) {
    openLine();
    char buf[8];
    auto start = Clock::now();
    EXPECT_EQ(tty::readFor(line_, buf, sizeof buf, 150ms), 0);
    EXPECT_GE(Clock::now() - start, 150ms);
    ASSERT_EQ(write(pty_.master(), "ab", 2), 2);
    EXPECT_EQ(tty::readFor(line_, buf, sizeof buf, 60s), 2);  // at once, not after 60 s
}

TEST_F(TtyTest, WriteToAFullLineEndsAtItsTimeOut) {
    openLine();
    const std::vector<char> block(1 << 20, 'x');  // far more than the pty buffers
    const auto start = Clock::now();
    const tty::WriteResult r = tty::writeFor(line_, block.data(), block.size(), 300ms);
    EXPECT_EQ(r.error, ETIMEDOUT);
    EXPECT_GT(r.written, 0u);
    EXPECT_LT(r.written, block.size());
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_EQ(tty::drain(pty_.master(), 100ms, 10s), r.written);
}

TEST_F(TtyTest, HangUpSeenFromBothEnds) {
    EXPECT_TRUE(tty::hungUp(pty_.master()));  // no client yet
    openLine();
    EXPECT_FALSE(tty::hungUp(pty_.master()));
    EXPECT_FALSE(tty::hungUp(line_));
    pty_.close();
    EXPECT_TRUE(tty::hungUp(line_));
    char c;
    const auto start = Clock::now();
    EXPECT_LE(tty::readFor(line_, &c, 1, 30s), 0);
    EXPECT_EQ(tty::writeFor(line_, "x", 1, 30s).error, EIO);
    EXPECT_LT(Clock::now() - start, 20s);  // neither waits out its time-out on a dead line
}

TEST_F(TtyTest, HeldSlaveKeepsTheMasterUpAndReopeningMovesOn) {
    tty::Pty held;
    ASSERT_TRUE(held.open({.holdSlave = true}));
    EXPECT_GE(held.slave(), 0);
    EXPECT_FALSE(tty::hungUp(held.master()));
    const std::string first = held.path();
    ASSERT_TRUE(held.open({}));
    EXPECT_NE(held.path(), first);  // never the old name, which a stale client may still use
    EXPECT_EQ(held.slave(), -1);
}

TEST_F(TtyTest, LinkIsSwappedAndNeverReplacesAFile) {
    const std::string link = dir_ / "glove";
    ASSERT_TRUE(tty::placeLink(link, "/dev/first", nullptr));
    ASSERT_TRUE(tty::placeLink(link, pty_.path(), nullptr));
    EXPECT_EQ(fs::read_symlink(link), pty_.path());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
    tty::removeLink(link);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

    std::ofstream(link) << "keep";
    std::string error;
    EXPECT_FALSE(tty::linkReplaceable(link));
    EXPECT_FALSE(tty::placeLink(link, pty_.path(), &error));
    EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
    tty::removeLink(link);
    std::ifstream in(link);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
}

}  // namespace

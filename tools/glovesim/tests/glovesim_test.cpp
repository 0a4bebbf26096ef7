// The real glovesim program, started as a process and spoken to with raw bytes over the
// pseudo-terminal it creates and over a TCP listener on 127.0.0.1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"
#include "tty/tty.hpp"

namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;
namespace fs = std::filesystem;

const std::string kTerminator(15, '\r');

using testsupport::TempDir;

// One glovesim process; a serial one has printed its terminal's path.
class Sim : public testsupport::ChildProcess {
  public:
    enum class User { Same, Unprivileged };

    explicit Sim(const std::vector<std::string>& args, bool serial = true, User user = User::Same)
        : ChildProcess(GLOVESIM_PATH, args, {.unprivileged = user == User::Unprivileged}) {
        if (serial) {
            path = readLine(10s);
        }
    }

    std::string path;
};

// A raw byte link to the glove: the pty or an accepted socket.
class Link {
  public:
    explicit Link(int fd = -1) : fd_(fd) {}
    ~Link() { closeFd(); }
    Link(Link&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }

    static Link openPty(const std::string& path) {
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            tty::makeRaw(fd);
        }
        return Link(fd);
    }

    bool valid() const { return fd_ >= 0; }
    void closeFd() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    void send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                ADD_FAILURE() << "write failed: " << std::strerror(errno);
                return;
            } else {
                pollfd p{fd_, POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
    }
    // One read, waiting up to timeout for data; "" on time-out. Sets closed on EOF.
    std::string readSome(Millis timeout, size_t max = 65536) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
            return "";
        }
        char buf[65536];
        ssize_t n = read(fd_, buf, std::min(sizeof buf, max));
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            closed = true;
            return "";
        }
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    std::string readExactly(size_t count, Millis timeout = 10s) {
        std::string out;
        auto deadline = Clock::now() + timeout;
        while (out.size() < count && Clock::now() < deadline && !closed) {
            out += readSome(50ms, count - out.size());  // what follows stays for the next read
        }
        return out;
    }
    // Everything that arrives until the line has been quiet for `quiet`.
    std::string readUntilQuiet(Millis quiet, Millis limit = 20s) {
        std::string out;
        auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline && !closed) {
            std::string got = readSome(quiet);
            if (got.empty()) {
                break;
            }
            out += got;
        }
        return out;
    }
    std::string readUntilSuffix(const std::string& suffix, Millis timeout = 20s) {
        std::string out;
        auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline && !closed &&
               (out.size() < suffix.size() ||
                out.compare(out.size() - suffix.size(), suffix.size(), suffix) != 0)) {
            out += readSome(50ms);
        }
        return out;
    }
    std::string ask(const std::string& cmd, size_t replyLength) {
        send(cmd);
        return readExactly(replyLength);
    }

    bool closed = false;

  private:
    int fd_;
};

class Listener {
  public:
    Listener(uint16_t port = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        ok = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 4) == 0;
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        this->port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd_); }
    Link accept(Millis timeout = 15s) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
            return Link();
        }
        return Link(::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port); }
    bool ok = false;
    uint16_t port = 0;

  private:
    int fd_;
};

std::vector<std::string> splitFrames(const std::string& bytes) {
    std::vector<std::string> frames;
    for (size_t i = 0; i + 61 <= bytes.size(); i += 61) {
        frames.push_back(bytes.substr(i, 61));
    }
    return frames;
}

int slotValue(const std::string& frame, int s) {
    return static_cast<int8_t>(frame[14 + 2 * static_cast<size_t>(s)]) * 256 +
           static_cast<uint8_t>(frame[15 + 2 * static_cast<size_t>(s)]);
}

bool wellFormed(const std::string& f) {
    return f.size() == 61 && f[2] == ':' && f[5] == ':' && f[8] == ':' && f[60] == '\0';
}

// Starts streaming and returns after the echo; frames follow.
void startStreaming(Link& link) {
    ASSERT_EQ(link.ask("1S", 3), "1S\0"s);
}

void stopStreaming(Link& link) {
    link.send("\x03");
    std::string tail = link.readUntilSuffix("\x03\0"s);
    ASSERT_GE(tail.size(), 2u);
    EXPECT_EQ(link.readUntilQuiet(300ms), "") << "nothing after the stop reply";
}

// ---------------------------------------------------------------- serial

TEST(GlovesimSerial, EveryReplyIsFramedAsTheConsoleReadsIt) {
    TempDir dir;
    fs::create_directory(dir.file("card"));
    std::string data = "12:00:00 start\r\n\x01\x02\0binary\r\n"s;
    dir.write("card/RUN7.DAT", data);
    Sim sim({"--sdcard", dir.file("card"), "--serial-number", "42", "--battery-mv", "7800",
             "--record", dir.file("rec.bin")});
    ASSERT_FALSE(sim.path.empty());
    Link link = Link::openPty(sim.path);
    ASSERT_TRUE(link.valid());

    std::string sent;
    auto ask = [&](const std::string& cmd, size_t n) {
        sent += cmd;
        return link.ask(cmd, n);
    };
    EXPECT_EQ(ask("?S\0"s, 4), "?S\x16\0"s);
    EXPECT_EQ(ask("?R", 4), "?R\x01\0"s);
    EXPECT_EQ(ask("V", 6), "V7800\0"s);
    EXPECT_EQ(ask("?E\0"s, 4), "?E \0"s);
    EXPECT_EQ(ask("?E\x01", 4), "?E \0"s);
    EXPECT_EQ(ask("?E\x02", 4), "?E4\0"s);
    EXPECT_EQ(ask("?E\x03", 4), "?E2\0"s);
    EXPECT_EQ(ask("E\x03"
                  "7",
                  2),
              "E\0"s);
    EXPECT_EQ(ask("?E\x03", 4), "?E7\0"s);
    EXPECT_EQ(ask("1ts07:08:09", 12), "1ts07:08:09\0"s);
    std::string t = ask("1tg", 15);
    ASSERT_EQ(t.size(), 15u);
    EXPECT_EQ(t.substr(0, 9), "1tg07:08:") << t;
    EXPECT_EQ(t[11], ':');
    EXPECT_EQ(t.back(), '\0');
    EXPECT_EQ(ask("1o\x01", 4), "1o\x01\0"s);
    EXPECT_EQ(ask("1o\0"s, 3), "1o\0"s);
    EXPECT_EQ(ask("1m\x03", 4), "1m\x03\0"s);
    EXPECT_EQ(ask("1ew", 4), "1ew\0"s);
    EXPECT_EQ(ask("1w\x03", 4), "1w\x03\0"s);
    EXPECT_EQ(ask("?l", 13), "?lRUN7.DAT\r\n\0"s);
    std::string poll = ask("G", 24);
    EXPECT_EQ(poll.size(), 24u);
    EXPECT_EQ(poll.find('\0'), 23u);

    sent += "Z1";
    link.send("Z1");
    EXPECT_EQ(link.readUntilQuiet(300ms), "") << "low power is not answered over serial";

    // split exchange: the letters first, the name once they are echoed
    EXPECT_EQ(ask("1A", 2), "1A");
    EXPECT_EQ(ask("RUN7.DAT\x01", 10), "RUN7.DAT\x01\0"s);
    EXPECT_EQ(ask("DEFAULT HEADER\x01", 16), "DEFAULT HEADER\x01\0"s);
    sent += "1D";
    link.send("1D");
    EXPECT_EQ(link.readUntilSuffix(kTerminator), "1D" + data + kTerminator);
    EXPECT_EQ(link.readUntilQuiet(200ms), "");
    EXPECT_EQ(ask("\x12\0"s, 2), "\x12\0"s);

    EXPECT_EQ(dir.read("rec.bin"), sent) << "the record holds exactly the bytes sent";
    EXPECT_EQ(dir.read("card/RUN7.DAT"), data);
}

TEST(GlovesimSerial, StreamsAlignedFramesAtTheConfiguredRate) {
    Sim sim({});
    Link link = Link::openPty(sim.path);
    ASSERT_TRUE(link.valid());
    EXPECT_EQ(link.ask("1m\x04", 4), "1m\x04\0"s);
    EXPECT_EQ(link.ask("1u\x01", 4), "1u\x01\0"s);
    startStreaming(link);
    auto t0 = Clock::now();
    std::string fast = link.readExactly(61 * 60);
    double fastSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    ASSERT_EQ(fast.size(), 61u * 60);
    for (const auto& f : splitFrames(fast)) {
        ASSERT_TRUE(wellFormed(f)) << "frames stay aligned";
        EXPECT_EQ(f[13], '\0');
        EXPECT_EQ(slotValue(f, 22), 0);
    }
    stopStreaming(link);

    EXPECT_EQ(link.ask("1m\x01", 4), "1m\x01\0"s);
    EXPECT_EQ(link.ask("1u\x0f", 4), "1u\x0f\0"s);
    startStreaming(link);
    t0 = Clock::now();
    std::string slow = link.readExactly(61 * 3);
    double slowSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    ASSERT_EQ(slow.size(), 61u * 3);
    stopStreaming(link);
    // 60 frames at 120 Hz against 3 frames at 2 Hz: the slow stream is far slower per frame
    EXPECT_GT(slowSeconds / 3, 4 * fastSeconds / 60) << fastSeconds << " s vs " << slowSeconds;
    EXPECT_GT(slowSeconds, 0.8);
}

TEST(GlovesimSerial, EighteenSensorLeftHandGlove) {
    Sim sim({"--sensors", "18", "--left"});
    Link link = Link::openPty(sim.path);
    ASSERT_TRUE(link.valid());
    EXPECT_EQ(link.ask("?S\0"s, 4), "?S\x12\0"s);
    EXPECT_EQ(link.ask("?R", 3), "?R\0"s);
    EXPECT_EQ(link.readUntilQuiet(200ms), "") << "a left hand answers with three bytes";
    std::string poll = link.ask("G", 20);
    EXPECT_EQ(poll.size(), 20u);
    EXPECT_EQ(poll.find('\0'), 19u);
    startStreaming(link);
    auto frames = splitFrames(link.readExactly(61 * 5));
    ASSERT_EQ(frames.size(), 5u);
    for (const auto& f : frames) {
        for (int s = 0; s < 23; ++s) {
            if (s < 18) {
                EXPECT_GT(slotValue(f, s), 0);
            } else {
                EXPECT_EQ(slotValue(f, s), 0) << "slot " << s;
            }
        }
    }
    stopStreaming(link);
}

TEST(GlovesimSerial, ScriptGivesExactFramesAndPolls) {
    TempDir dir;
    dir.write("s.txt",
              "# hysteresis check\n"
              "frame time=01:02:03:0:04 2032 2096 2097 -1\n"
              "frame 100 200\n"
              "poll 127 64 1\n"
              "end hold\n");
    Sim sim({"--script", dir.file("s.txt")});
    Link link = Link::openPty(sim.path);
    ASSERT_TRUE(link.valid());
    EXPECT_EQ(link.ask("G", 5), "G\x7f\x40\x01\0"s);
    EXPECT_EQ(link.ask("G", 5), "G\x7f\x40\x01\0"s) << "held";
    startStreaming(link);
    auto frames = splitFrames(link.readExactly(61 * 3));
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].substr(0, 14), "01:02:03:0:04\0"s);
    EXPECT_EQ(slotValue(frames[0], 0), 2032);
    EXPECT_EQ(slotValue(frames[0], 1), 2096);
    EXPECT_EQ(slotValue(frames[0], 2), 2097);
    EXPECT_EQ(slotValue(frames[0], 3), -1);
    EXPECT_EQ(slotValue(frames[1], 1), 200);
    EXPECT_EQ(slotValue(frames[2], 0), 100) << "held on the last frame";
    stopStreaming(link);
}

TEST(GlovesimSerial, BadScriptIsRefusedWithItsLine) {
    TempDir dir;
    dir.write("bad.txt", "frame 1\npoll 300\n");
    Sim sim({"--script", dir.file("bad.txt")});
    EXPECT_EQ(sim.waitExit(10s), 2);
}

TEST(GlovesimSerial, SurvivesTheClientClosingAndReopening) {
    TempDir dir;
    std::string linkPath = dir.file("glove");
    Sim sim({"--link", linkPath});
    ASSERT_FALSE(sim.path.empty());
    ASSERT_TRUE(fs::is_symlink(linkPath));
    EXPECT_EQ(fs::read_symlink(linkPath).string(), sim.path);
    for (int round = 0; round < 3; ++round) {
        Link link = Link::openPty(linkPath);
        ASSERT_TRUE(link.valid());
        EXPECT_EQ(link.ask("V", 6), "V7400\0"s) << "round " << round;
        startStreaming(link);
        ASSERT_EQ(link.readExactly(61).size(), 61u);
        link.closeFd();  // mid-stream
        std::this_thread::sleep_for(300ms);
    }
    Link link = Link::openPty(linkPath);
    EXPECT_EQ(link.readUntilQuiet(700ms), "") << "no stale frames greet the next client";
    EXPECT_EQ(link.ask("V", 6), "V7400\0"s);
    link.closeFd();
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(linkPath))) << "the link is removed at exit";
}

// True when glovesim can be run without privileges (as nobody when the tests run as root).
bool unprivilegedCanRun() {
    if (geteuid() != 0) {
        return true;
    }
    testsupport::ChildOptions options;
    options.unprivileged = true;
    testsupport::ChildProcess probe("/usr/bin/test", {"-x", GLOVESIM_PATH}, options);
    return probe.finish(30s) == 0;
}

TEST(GlovesimSerial, ExclusiveClientLeavesAFreshTerminalBehind) {
    if (!unprivilegedCanRun()) {
        GTEST_SKIP() << "the build folder is not reachable for an unprivileged user";
    }
    // A pseudo-terminal keeps its exclusive flag after its client closes; an unprivileged glove
    // cannot open it again and moves to a new one, announced on standard output and by the link.
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    std::string linkPath = dir.file("glove");
    Sim sim({"--link", linkPath}, true, Sim::User::Unprivileged);
    ASSERT_FALSE(sim.path.empty());
    {
        Link link = Link::openPty(linkPath);
        ASSERT_TRUE(link.valid());
        int extra = open(sim.path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(extra, 0);
        EXPECT_TRUE(tty::setExclusive(extra, true));
        close(extra);
        EXPECT_EQ(link.ask("V", 6), "V7400\0"s);
    }
    std::string fresh = sim.readLine(10s);
    ASSERT_FALSE(fresh.empty());
    EXPECT_NE(fresh, sim.path);
    EXPECT_EQ(fs::read_symlink(linkPath).string(), fresh);
    Link again = Link::openPty(linkPath);
    ASSERT_TRUE(again.valid());
    EXPECT_EQ(again.ask("V", 6), "V7400\0"s);
}

TEST(GlovesimSerial, GarbageAndBrokenSeparatorsInTheStream) {
    Sim sim({"--fault", "bad-frame=2", "--fault", "garbage=3,5"});
    Link link = Link::openPty(sim.path);
    startStreaming(link);
    std::string bytes = link.readExactly(61 * 5 + 5);
    ASSERT_EQ(bytes.size(), 61u * 5 + 5);
    EXPECT_TRUE(wellFormed(bytes.substr(0, 61)));
    std::string second = bytes.substr(61, 61);
    EXPECT_EQ(second[2], ';');
    EXPECT_EQ(second[60], '\0');
    EXPECT_TRUE(wellFormed(bytes.substr(122, 61)));
    std::string junk = bytes.substr(183, 5);
    EXPECT_EQ(junk.find('\0'), std::string::npos);
    EXPECT_TRUE(wellFormed(bytes.substr(188, 61))) << "frames go on after the junk";
    stopStreaming(link);
}

TEST(GlovesimSerial, SilenceAfterFrames) {
    Sim sim({"--fault", "silence=3,20"});
    Link link = Link::openPty(sim.path);
    startStreaming(link);
    EXPECT_EQ(link.readExactly(61 * 3 + 20).size(), 61u * 3 + 20) << "three frames and a piece";
    EXPECT_EQ(link.readUntilQuiet(800ms), "");
    link.send("V");
    EXPECT_EQ(link.readUntilQuiet(500ms), "") << "no answer either";
}

TEST(GlovesimSerial, OversizeAndSlowReplies) {
    Sim big({"--fault", "oversize=1500"});
    Link a = Link::openPty(big.path);
    std::string r = a.ask("V", 1506);
    ASSERT_EQ(r.size(), 1506u);
    EXPECT_EQ(r.substr(0, 5), "V7400");
    EXPECT_EQ(r.back(), '\0');
    EXPECT_EQ(r.find('\0'), r.size() - 1);

    Sim slow({"--fault", "slow=600"});
    Link b = Link::openPty(slow.path);
    b.send("V");
    auto t0 = Clock::now();
    EXPECT_EQ(b.readExactly(6), "V7400\0"s);
    EXPECT_GE(Clock::now() - t0, 500ms);
}

// ---------------------------------------------------------------- TCP

TEST(GlovesimTcp, ConnectsOnceTheConsoleListensAndReconnects) {
    uint16_t port;
    {
        Listener probe;
        port = probe.port;
    }
    Sim sim({"--tcp", "127.0.0.1:" + std::to_string(port)}, false);
    std::this_thread::sleep_for(700ms);  // it retries while nobody listens
    Listener console(port);
    ASSERT_TRUE(console.ok);
    Link link = console.accept();
    ASSERT_TRUE(link.valid());
    EXPECT_EQ(link.ask("V", 6), "V7400\0"s);
    EXPECT_EQ(link.ask("Z1", 1), "\0"s) << "over TCP low power ends with a NUL";
    EXPECT_EQ(link.ask("Z\0"s, 1), "\0"s);
    EXPECT_EQ(link.ask("?S\0"s, 4), "?S\x16\0"s);
    link.closeFd();
    Link again = console.accept();
    ASSERT_TRUE(again.valid()) << "the glove connects again";
    EXPECT_EQ(again.ask("?R", 4), "?R\x01\0"s);
}

TEST(GlovesimTcp, HardwareCalibrationWriteReadCommit) {
    Listener console;
    Sim sim({"--tcp", console.address()}, false);
    Link link = console.accept();
    ASSERT_TRUE(link.valid());
    std::string block(36, '\0');
    for (size_t p = 0; p < 18; ++p) {
        block[p] = static_cast<char>(20 + p);
        block[18 + p] = static_cast<char>(200 + p);
    }
    EXPECT_EQ(link.ask("CA" + block, 1), "\0"s);
    std::string r = link.ask("?C", 51);
    ASSERT_EQ(r.size(), 51u);
    EXPECT_EQ(r.substr(0, 2), "?C");
    EXPECT_EQ(static_cast<uint8_t>(r[2 + 0]), 20);
    EXPECT_EQ(static_cast<uint8_t>(r[2 + 9]), 27) << "index 9 has hardware position 7";
    EXPECT_EQ(static_cast<uint8_t>(r[2 + 24 + 21]), 216) << "index 21 has position 16";
    EXPECT_EQ(r[2 + 10], 0) << "index 10 has no position";
    EXPECT_EQ(r.back(), '\0');
    EXPECT_EQ(link.ask("^W", 2), "^W");
    EXPECT_EQ(link.readUntilQuiet(300ms), "") << "commit has no NUL";
    EXPECT_EQ(link.ask("\x12\0"s, 2), "\x12\0"s);
    EXPECT_EQ(link.ask("?C", 51), r) << "the committed block survives a reboot";
}

TEST(GlovesimTcp, FileListAndByteExactDownload) {
    TempDir dir;
    fs::create_directory(dir.file("card"));
    std::string data;
    for (int i = 0; i < 200000; ++i) {
        data.push_back(static_cast<char>((i * 7919) % 251));  // all byte values, NULs and CRs
    }
    dir.write("card/BIG.BIN", data);
    dir.write("card/A.TXT", "a");
    Listener console;
    Sim sim({"--tcp", console.address(), "--sdcard", dir.file("card")}, false);
    Link link = console.accept();
    ASSERT_TRUE(link.valid());
    EXPECT_EQ(link.ask("?l", 19), "?lA.TXT\r\nBIG.BIN\r\n\0"s);
    EXPECT_EQ(link.ask("1A", 2), "1A");
    EXPECT_EQ(link.ask("BIG.BIN\x01", 9), "BIG.BIN\x01\0"s);
    EXPECT_EQ(link.ask("\x01", 2), "\x01\0"s);
    link.send("1D");
    std::string got = link.readUntilSuffix(kTerminator, 30s);
    EXPECT_EQ(got.size(), 2 + data.size() + 15);
    EXPECT_TRUE(got == "1D" + data + kTerminator) << "download differs";
    EXPECT_EQ(link.ask("V", 6), "V7400\0"s);
}

TEST(GlovesimTcp, ConnectionDroppedMidDownload) {
    TempDir dir;
    fs::create_directory(dir.file("card"));
    dir.write("card/F.DAT", std::string(10000, 'q'));
    Listener console;
    Sim sim(
        {"--tcp", console.address(), "--sdcard", dir.file("card"), "--fault", "drop-download=3000"},
        false);
    Link link = console.accept();
    ASSERT_TRUE(link.valid());
    link.ask("1A", 2);
    link.ask("F.DAT\x01", 7);
    link.ask("\x01", 2);
    link.send("1D");
    std::string got = link.readUntilQuiet(2s);
    EXPECT_EQ(got, "1D" + std::string(3000, 'q'));
    EXPECT_TRUE(link.closed) << "the glove closed the connection";
    Link again = console.accept();
    ASSERT_TRUE(again.valid()) << "and connects again";
    EXPECT_EQ(again.ask("V", 6), "V7400\0"s);
}

TEST(GlovesimTcp, StreamingUsesTheWifiDividerAndStopsCleanly) {
    Listener console;
    Sim sim({"--tcp", console.address()}, false);
    Link link = console.accept();
    ASSERT_TRUE(link.valid());
    EXPECT_EQ(link.ask("1dw", 4), "1dw\0"s);
    startStreaming(link);
    EXPECT_EQ(link.readUntilQuiet(800ms), "") << "WiFi output off: nothing over TCP";
    stopStreaming(link);
    EXPECT_EQ(link.ask("1ew", 4), "1ew\0"s);
    startStreaming(link);
    auto frames = splitFrames(link.readExactly(61 * 10));
    ASSERT_EQ(frames.size(), 10u);
    for (const auto& f : frames) {
        EXPECT_TRUE(wellFormed(f));
    }
    stopStreaming(link);
}

TEST(GlovesimTcp, PiecesAndBursts) {
    Listener c1;
    Sim pieces({"--tcp", c1.address(), "--fault", "chunk=5,200"}, false);
    Link a = c1.accept();
    ASSERT_TRUE(a.valid());
    a.send("1tg");
    std::string reply;
    int reads = 0;
    while (reply.size() < 15 && reads < 100) {
        std::string part = a.readSome(2s);
        ASSERT_FALSE(part.empty());
        EXPECT_LE(part.size(), 5u);
        reply += part;
        ++reads;
    }
    EXPECT_EQ(reply.size(), 15u);
    EXPECT_GE(reads, 3);

    Listener c2;
    Sim burst({"--tcp", c2.address(), "--fault", "burst=2"}, false);
    Link b = c2.accept();
    ASSERT_TRUE(b.valid());
    b.send("1S");
    std::string first = b.readSome(5s, 3 + 2 * 61);
    EXPECT_EQ(first.size(), 3u + 2 * 61) << "the echo arrives together with two frames";
    EXPECT_EQ(first.substr(0, 3), "1S\0"s);
}

TEST(GlovesimTcp, GloveDropsAfterFramesAndOnceExitsWhenTheConsoleCloses) {
    Listener c1;
    Sim dropper({"--tcp", c1.address(), "--fault", "drop-after-frames=2"}, false);
    Link a = c1.accept();
    ASSERT_TRUE(a.valid());
    startStreaming(a);
    EXPECT_EQ(a.readUntilQuiet(2s).size(), 2u * 61);
    EXPECT_TRUE(a.closed);

    Listener c2;
    Sim once({"--tcp", c2.address(), "--once"}, false);
    Link b = c2.accept();
    ASSERT_TRUE(b.valid());
    EXPECT_EQ(b.ask("V", 6), "V7400\0"s);
    b.closeFd();
    EXPECT_EQ(once.waitExit(10s), 0);
}

}  // namespace

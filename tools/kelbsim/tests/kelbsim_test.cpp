// The simulated wired glove, started as a real program and driven over its pseudo-terminal.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kelbunit.hpp"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"
#include "tty/tty.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// One running kelbsim and the host end of its line.
class Sim {
  public:
    explicit Sim(std::vector<std::string> args) : process_(KELBSIM_PATH, "", args) {
        path_ = process_.terminal();
        fd_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ >= 0) {
            tty::makeRaw(fd_);
        }
    }
    ~Sim() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    // Stops the program with `sig`; its exit status (128 + a signal that ended it, -1 while
    // it still runs).
    int stop(int sig) {
        process_.signal(sig);
        return process_.waitExit(std::chrono::seconds(20));
    }

    bool ok() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

    void send(const Bytes& b) { ASSERT_EQ(write(fd_, b.data(), b.size()), (ssize_t)b.size()); }
    void send(const std::string& s) { send(Bytes(s.begin(), s.end())); }

    // Next NUL-terminated record (without the NUL), or empty after the time-out.
    Bytes next(int timeoutMs = 5000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            for (std::size_t i = 0; i < buffer_.size(); ++i) {
                if (buffer_[i] == 0) {
                    Bytes rec(buffer_.begin(), buffer_.begin() + i);
                    buffer_.erase(buffer_.begin(), buffer_.begin() + i + 1);
                    return rec;
                }
            }
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return {};
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) > 0) {
                std::uint8_t buf[4096];
                ssize_t n = read(fd_, buf, sizeof buf);
                if (n > 0) {
                    buffer_.insert(buffer_.end(), buf, buf + n);
                }
            }
        }
    }

    // Skips streamed records until one starting with `kind` arrives.
    Bytes nextOfKind(std::uint8_t kind, int timeoutMs = 5000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            Bytes r = next(timeoutMs);
            if (!r.empty() && r[0] == kind) {
                return r;
            }
        }
        return {};
    }

  private:
    testsupport::Simulator process_;
    int fd_ = -1;
    std::string path_;
    Bytes buffer_;
};

std::string text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

std::string tempPath(const char* stem) {
    return std::string(::testing::TempDir()) + stem + std::to_string(getpid());
}

}  // namespace

TEST(KelbsimQueries, AnswersIdentityParametersAndMask) {
    Sim sim({"--serial-number", "4711", "--mask", "0x7f3fff"});
    ASSERT_TRUE(sim.ok()) << sim.path();
    sim.send(Bytes{0x03});
    EXPECT_EQ(sim.next(), Bytes{0x03});
    sim.send(Bytes{0x55, 0x01});
    EXPECT_EQ(sim.next().at(0), 'U');
    sim.send("?i");
    EXPECT_NE(text(sim.next()).find("S/N 4711"), std::string::npos);
    sim.send("?M");
    EXPECT_EQ(sim.next(), (Bytes{'?', 'M', 0xff, 0x3f, 0x7f}));
    sim.send("?p");
    int p0 = -1, p1 = -1, p2 = -1;
    ASSERT_EQ(std::sscanf(text(sim.next()).c_str(), "?p %d %d %d", &p0, &p1, &p2), 3);
    EXPECT_EQ(p0 & 1, 1);
    EXPECT_EQ(p1 & 0xc0, 0xc0);  // ready and right hand
    sim.send("?P");
    Bytes bin = sim.next();
    ASSERT_EQ(bin.size(), 5u);
    EXPECT_EQ(bin[3], p1);
}

TEST(KelbsimQueries, LeftAndUnpluggedGlovesReportThemselves) {
    Sim sim({"--left", "--unplugged"});
    ASSERT_TRUE(sim.ok());
    sim.send("?i");
    EXPECT_EQ(text(sim.next()).find("S/N"), std::string::npos);
    sim.send("?P");
    Bytes bin = sim.next();
    ASSERT_EQ(bin.size(), 5u);
    EXPECT_EQ(bin[3] & 0x40, 0);
    EXPECT_EQ(bin[3] & 0x80, 0x80);
}

TEST(KelbsimRecords, SingleRecordCarriesOneBytePerMaskedSensor) {
    Sim sim({"--mask", "0x01ff0f"});
    ASSERT_TRUE(sim.ok());
    sim.send("G");
    Bytes r = sim.next();
    // Kind, 13 sensors, status; the NUL terminator makes sensors + 3.
    ASSERT_EQ(r.size(), 15u);
    EXPECT_EQ(r[0], 'G');
    EXPECT_EQ(r.back() & 0x81, 0x81);
    sim.send(Bytes{'M', 0xff, 0xff, 0xff});
    EXPECT_EQ(sim.next(), Bytes{'M'});
    sim.send("G");
    EXPECT_EQ(sim.next().size(), 26u);
}

TEST(KelbsimRecords, ScriptGivesExactSensorBytes) {
    std::string script = tempPath("kelbscript");
    {
        std::ofstream out(script);
        out << "# first record\n";
        for (int k = 1; k <= 24; ++k) {
            out << k << ' ';
        }
        out << "\n";
        for (int k = 1; k <= 24; ++k) {
            out << 200 + (k % 50) << ' ';
        }
        out << "\n";
    }
    Sim sim({"--script", script});
    ASSERT_TRUE(sim.ok());
    sim.send("G");
    Bytes a = sim.next();
    ASSERT_EQ(a.size(), 26u);
    for (int k = 0; k < 24; ++k) {
        EXPECT_EQ(a[1 + k], k + 1);
    }
    sim.send("G");
    Bytes b = sim.next();
    sim.send("G");
    Bytes c = sim.next();
    EXPECT_EQ(b, c);  // the last line repeats
    EXPECT_EQ(b[1], 201);
    std::remove(script.c_str());
}

TEST(KelbsimRecords, StreamsUntilAbortedWithoutNulInside) {
    Sim sim({"--rate", "200"});
    ASSERT_TRUE(sim.ok());
    sim.send("S");
    int streamed = 0;
    for (int i = 0; i < 40; ++i) {
        Bytes r = sim.next();
        ASSERT_FALSE(r.empty()) << "stream stalled after " << streamed;
        ASSERT_EQ(r.size(), 26u);
        EXPECT_EQ(r[0], 'S');
        ++streamed;
    }
    sim.send(Bytes{0x03});
    EXPECT_FALSE(sim.nextOfKind(0x03).empty());
    // Drain what was in flight, then the line must stay quiet.
    while (!sim.next(300).empty()) {
    }
    EXPECT_TRUE(sim.next(500).empty());
}

TEST(KelbsimRecords, RecordsHostBytesAndActuatorCommands) {
    std::string rec = tempPath("kelbrecord");
    std::remove(rec.c_str());
    {
        Sim sim({"--record", rec});
        ASSERT_TRUE(sim.ok());
        sim.send(Bytes{'A', 1, 3, 0x40});
        sim.send(Bytes{'P', 0x04, 0x00, 0x00});
        EXPECT_EQ(sim.next(), Bytes{'P'});
        sim.send("G");
        EXPECT_EQ(sim.next().back() & 0x04, 0x04);  // light flag echoed in status
    }
    std::ifstream in(rec);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("41 01 03 40"), std::string::npos) << all;
    EXPECT_NE(all.find("# one actuator"), std::string::npos);
    std::remove(rec.c_str());
}

TEST(KelbsimFaults, SilenceTruncationGarbageAndOversize) {
    {
        Sim sim({"--rate", "200", "--fault", "silence=5:1.5"});
        ASSERT_TRUE(sim.ok());
        sim.send("S");
        for (int i = 0; i < 5; ++i) {
            ASSERT_FALSE(sim.next().empty());
        }
        auto start = Clock::now();
        ASSERT_FALSE(sim.next(6000).empty());
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000));
    }
    {
        Sim sim({"--fault", "truncate=2"});
        ASSERT_TRUE(sim.ok());
        sim.send("G");
        EXPECT_EQ(sim.next().size(), 26u);
        sim.send("G");
        EXPECT_EQ(sim.next().size(), 25u);
    }
    {
        Sim sim({"--fault", "oversize=0"});
        ASSERT_TRUE(sim.ok());
        sim.send("G");
        EXPECT_GT(sim.next().size(), 2048u);
    }
    {
        Sim sim({"--fault", "garbage=1"});
        ASSERT_TRUE(sim.ok());
        sim.send("G");
        Bytes r = sim.next();
        ASSERT_FALSE(r.empty());
        EXPECT_NE(r.size(), 26u);
    }
}

TEST(KelbsimProgram, RefusesBadArguments) {
    auto exitCode = [](std::vector<std::string> args) {
        testsupport::ChildProcess kelbsim(KELBSIM_PATH, args);
        return kelbsim.waitExit(std::chrono::seconds(30));
    };
    EXPECT_EQ(exitCode({"--mask", "0xff00ff"}), 2);  // a zero byte cannot travel
    EXPECT_EQ(exitCode({"--bogus"}), 2);
    EXPECT_EQ(exitCode({"--script", "/nonexistent/kelb"}), 2);
    EXPECT_EQ(exitCode({"--fault", "silence=3"}), 2);
    for (const char* fault :
         {"slow=0", "slow=fast", "slow=100:X", "slow=100:", "noise=5", "error=-1:2", "mute=1"}) {
        EXPECT_EQ(exitCode({"--fault", fault}), 2) << fault;
    }

    // A failed start takes its link away again, and a file that is no link is never replaced.
    testsupport::TempDir dir("kelbsim");
    const std::filesystem::path link = dir.file("glove");
    EXPECT_EQ(exitCode({"--link", link, "--record", dir.file("none/record")}), 2);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    std::ofstream(link) << "keep";
    EXPECT_EQ(exitCode({"--link", link}), 2);
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(link)));
}

TEST(KelbsimProgram, EveryWayOfStoppingRemovesTheLink) {
    testsupport::TempDir dir("kelbsim");
    const std::filesystem::path link = dir.file("glove");
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        Sim sim({"--link", link, "--fault", "slow=100", "--fault", "mute"});
        ASSERT_TRUE(sim.ok());
        EXPECT_EQ(std::filesystem::read_symlink(link), sim.path());
        EXPECT_EQ(sim.stop(sig), 0) << "signal " << sig;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)))
            << "signal " << sig;
    }
}

TEST(KelbUnit, CommandsSplitAcrossReadsAndOverlongJunkAreHandled) {
    std::vector<Bytes> out;
    kelbsim::KelbUnit unit({}, {}, [&](const Bytes& b) { out.push_back(b); });
    const std::uint8_t part1[] = {'?'};
    const std::uint8_t part2[] = {'M', 'A'};
    const std::uint8_t part3[] = {6, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    const std::uint8_t part4[] = {12};
    unit.feed(part1, 1);
    EXPECT_TRUE(out.empty());
    unit.feed(part2, 2);
    ASSERT_EQ(out.size(), 1u);
    unit.feed(part3, sizeof part3);
    EXPECT_TRUE(unit.actuators().empty());
    unit.feed(part4, 1);
    ASSERT_EQ(unit.actuators().size(), 6u);
    EXPECT_EQ(unit.actuators()[5], std::make_pair(11, 12));
    EXPECT_THROW(kelbsim::parseScriptLine("1 0 3"), std::invalid_argument);
    EXPECT_THROW(kelbsim::parseScriptLine("1 x"), std::invalid_argument);
    EXPECT_EQ(kelbsim::parseScriptLine(" 7 0x10 ").size(), 2u);
}

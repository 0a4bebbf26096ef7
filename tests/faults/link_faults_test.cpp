// The wireless glove's link against glovesim misbehaving on purpose, over a real
// pseudo-terminal and a real TCP connection on 127.0.0.1. Every fault is struck several
// times at offsets drawn from a fixed seed; every frame the link accepts must be one the
// simulator sent, every wait must end, and descriptors and memory must come back.

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QString>
#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "link/glovelink.hpp"
#include "strike.hpp"
#include "testsupport/checks.hpp"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;

constexpr int kScriptFrames = 20;
constexpr int kRuns = 3;

// Frame k of the script: its second field is k and every slot is a function of k, far
// enough from the other frames' values that the link's hysteresis takes each frame whole.
int slotValue(int k, int slot) {
    return 300 + 150 * k + 7 * slot;
}

std::string script() {
    std::string text;
    char time[32];
    for (int k = 0; k < kScriptFrames; ++k) {
        std::snprintf(time, sizeof time, "00:00:%02d:0:00", k);
        text += std::string("frame time=") + time;
        for (int s = 0; s < glove::kFrameSlotCount; ++s) {
            text += ' ' + std::to_string(slotValue(k, s));
        }
        text += '\n';
    }
    return text;
}

// True when the link's last frame is script frame k, whole.
bool frameIsFromScript(const GloveLink& link) {
    const int k = link.decoder().frameTimeField(2);
    if (k < 0 || k >= kScriptFrames || link.decoder().frameTimeField(0) != 0) {
        return false;
    }
    for (int s = 0; s < glove::kFrameSlotCount; ++s) {
        const int idx = glove::kSlotMap22[s];
        if (idx >= 0 && link.rawValue(idx) != static_cast<uint32_t>(slotValue(k, s))) {
            return false;
        }
    }
    return true;
}

enum class Wire { Serial, Tcp };
enum class Fault { Unplug, UnplugDownload, Silence, Flip, Insert, Delete, Flood };

struct Scenario {
    const char* name;
    Fault fault;
    Wire wire;
    long lo, hi;  // offset range: milliseconds, silence lengths, or frames between faults
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

const Scenario kScenarios[] = {
    {"UnplugMidFrameSerial", Fault::Unplug, Wire::Serial, 50, 1500},
    {"ResetMidFrameTcp", Fault::Unplug, Wire::Tcp, 50, 1500},
    {"UnplugMidDownloadSerial", Fault::UnplugDownload, Wire::Serial, 5, 150},
    {"ResetMidDownloadTcp", Fault::UnplugDownload, Wire::Tcp, 5, 150},
    {"ShortSilenceSerial", Fault::Silence, Wire::Serial, 10, 300},
    {"ShortSilenceTcp", Fault::Silence, Wire::Tcp, 10, 300},
    {"SilenceSerial", Fault::Silence, Wire::Serial, 300, 2500},
    {"SilenceTcp", Fault::Silence, Wire::Tcp, 300, 2500},
    {"LongSilenceSerial", Fault::Silence, Wire::Serial, 3000, 10000},
    {"LongSilenceTcp", Fault::Silence, Wire::Tcp, 3000, 10000},
    {"BitFlipsSerial", Fault::Flip, Wire::Serial, 2, 6},
    {"BitFlipsTcp", Fault::Flip, Wire::Tcp, 2, 6},
    {"InsertedBytesSerial", Fault::Insert, Wire::Serial, 2, 6},
    {"InsertedBytesTcp", Fault::Insert, Wire::Tcp, 2, 6},
    {"DeletedBytesSerial", Fault::Delete, Wire::Serial, 2, 6},
    {"DeletedBytesTcp", Fault::Delete, Wire::Tcp, 2, 6},
    {"FloodSerial", Fault::Flood, Wire::Serial, 20, 60},
    {"FloodTcp", Fault::Flood, Wire::Tcp, 20, 60},
};

GloveTiming impatient() {
    GloveTiming t;
    t.tcpEchoTimeout = 1500ms;
    t.readGiveUp = 1500ms;
    t.downloadIdleLimit = 2s;
    return t;
}

// glovesim and the link joined over the scenario's wire.
struct Rig {
    Rig(Wire wire, std::vector<std::string> args) : link(nullptr, impatient()) {
        args.insert(args.end(),
                    {"--script", dir.write("script.txt", script()), "--sdcard", dir.mkdir("card")});
        if (wire == Wire::Serial) {
            sim = std::make_unique<testsupport::ChildProcess>(
                GLOVESIM_PATH, args, testsupport::ChildOptions{.waitFirstLine = true});
            ok = sim->ready() && link.openSerial(QString::fromStdString(sim->firstLine()));
            return;
        }
        if (!link.listen(0, QHostAddress::LocalHost)) {
            return;
        }
        args.insert(args.end(), {"--tcp", "127.0.0.1:" + std::to_string(link.serverPort())});
        sim = std::make_unique<testsupport::ChildProcess>(GLOVESIM_PATH, args);
        ok = sim->ready() && link.waitForNewConnection(20000) && link.acceptConnection();
    }
    ~Rig() { link.close(); }

    testsupport::TempDir dir{"manuvia-faults"};
    GloveLink link;
    std::unique_ptr<testsupport::ChildProcess> sim;
    bool ok = false;
};

struct Tally {
    int good = 0;
    int foreign = 0;  // accepted, but not a frame the simulator sent
    int refused = 0;
    ms longestRead{0};
};

// Reads frames for `span`, stopping early after `stopAfterRefused` refusals in a row.
Tally readFor(GloveLink& link, ms span, int stopAfterRefused = 1000000) {
    Tally t;
    const auto end = Clock::now() + span;
    int refusedInARow = 0;
    for (int i = 0; i < 100000 && Clock::now() < end && refusedInARow < stopAfterRefused; ++i) {
        const auto start = Clock::now();
        const bool accepted = link.readFrame();
        t.longestRead =
            std::max(t.longestRead, std::chrono::duration_cast<ms>(Clock::now() - start));
        if (!accepted) {
            ++t.refused;
            ++refusedInARow;
            continue;
        }
        refusedInARow = 0;
        ++(frameIsFromScript(link) ? t.good : t.foreign);
    }
    return t;
}

std::string cardFile(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>((i * 37 + i / 251) & 0xFF);
        data[i] = c == '\r' ? 'r' : c;
    }
    return data;
}

class LinkFaults : public testing::TestWithParam<Scenario> {
  protected:
    void runOnce(long offset);
};

void LinkFaults::runOnce(long offset) {
    const Scenario& s = GetParam();
    const ms give = testsupport::scaled(ms(impatient().readGiveUp)) + testsupport::scaled(3s);
    std::vector<std::string> args;
    switch (s.fault) {
        case Fault::Unplug:
            // Silent in the middle of a frame shortly before the kill (frames at 30 Hz from
            // about half a second on), so the link holds part of a frame when the line goes.
            args = {"--fault", "silence=" + std::to_string(std::max(1L, (offset - 700) / 34)) +
                                   "," + std::to_string(offset % 59 + 1)};
            break;
        case Fault::Silence:
            args = {"--fault", "silence=" + std::to_string(5 + offset % 7) + "," +
                                   std::to_string(offset % 61) + "," + std::to_string(offset)};
            break;
        case Fault::Flip:
            args = {"--fault", "flip=" + std::to_string(offset)};
            break;
        case Fault::Insert:
            args = {"--fault", "insert=" + std::to_string(offset)};
            break;
        case Fault::Delete:
            args = {"--fault", "delete=" + std::to_string(offset)};
            break;
        case Fault::Flood:
            args = {"--fault", "flood=" + std::to_string(offset)};
            break;
        case Fault::UnplugDownload:
            break;
    }
    Rig rig(s.wire, args);
    ASSERT_TRUE(rig.ok) << (rig.sim ? rig.sim->errorOutput() : "");
    GloveLink& link = rig.link;
    ASSERT_EQ(link.querySensorCount(), 22);

    if (s.fault == Fault::UnplugDownload) {
        // Large enough that the kill lands inside the download on either wire.
        const std::string file = cardFile((s.wire == Wire::Tcp ? 6 : 1) * 1024 * 1024);
        rig.dir.write("card/BIG.DAT", file);
        link.setActiveFile("BIG.DAT", nullptr);
        std::vector<uint8_t> data;
        std::thread unplug([&] {
            std::this_thread::sleep_for(ms(offset));
            rig.sim->signal(SIGKILL);
        });
        const auto start = Clock::now();
        link.downloadActiveFile(data);
        const auto took = Clock::now() - start;
        unplug.join();
        EXPECT_LT(took, testsupport::scaled(30s)) << "the download ends once the line is gone";
        const std::size_t n = std::min(data.size(), file.size());
        const auto differ =
            std::mismatch(data.begin(), data.begin() + static_cast<long>(n), file.begin(),
                          [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
        EXPECT_EQ(differ.first - data.begin(), static_cast<long>(n))
            << "what arrived is the file's beginning; " << data.size() << " bytes arrived";
        return;
    }

    link.startStreaming();
    if (s.fault == Fault::Unplug) {
        // Gone while the link waits inside a frame: the wait ends, refused.
        std::thread unplug([&] {
            std::this_thread::sleep_for(ms(offset));
            rig.sim->signal(SIGKILL);
        });
        const Tally t = readFor(link, ms(offset) + 5s, 1);
        unplug.join();
        EXPECT_EQ(rig.sim->waitExit(10s), 128 + SIGKILL);
        EXPECT_EQ(t.foreign, 0);
        EXPECT_EQ(t.refused, 1) << "the lost line is reported";
        EXPECT_LT(t.longestRead, give);
        return;
    }
    if (s.fault == Fault::Silence) {
        // Through the silence and past it: frames come back, none made of two.
        const Tally t = readFor(link, ms(offset) + 1500ms);
        const Tally later = readFor(link, 800ms);
        EXPECT_EQ(t.foreign + later.foreign, 0);
        EXPECT_GT(later.good, 5) << "streaming resumed";
        EXPECT_LT(std::max(t.longestRead, later.longestRead), give);
        return;
    }
    const Tally t = readFor(link, 1000ms);
    const Tally later = readFor(link, 500ms);
    EXPECT_LT(std::max(t.longestRead, later.longestRead), give);
    EXPECT_GT(t.good + later.good, 10);
    const int foreign = t.foreign + later.foreign;
    if (s.fault == Fault::Flip) {
        // A flipped value bit is beyond what the protocol can see: it spoils that frame and,
        // through the hysteresis, at most the next; never more than two per flip.
        const int reads =
            t.good + t.foreign + t.refused + later.good + later.foreign + later.refused;
        EXPECT_LE(foreign, 2 * ((reads + 2) / static_cast<int>(offset) + 1));
    } else {
        // A frame a byte short or long is out of step: refused, never taken in two parts.
        EXPECT_EQ(foreign, 0) << t.good + later.good << " whole frames";
    }
    if (s.fault != Fault::Flood) {
        EXPECT_GT(later.good, 0) << "the link is back in step after the last fault";
    }
}

TEST_P(LinkFaults, NoCrashNoHangNoSplicedFrameNothingKept) {
    const Scenario& s = GetParam();
    static bool warm[2] = {false, false};
    if (!std::exchange(warm[static_cast<int>(s.wire)], true)) {
        // Qt sets up its own state on first use; measure from after that.
        Rig rig(s.wire, {});
        ASSERT_TRUE(rig.ok) << (rig.sim ? rig.sim->errorOutput() : "");
    }
    faults::strikeSeeded(s.name, s.lo, s.hi, kRuns, [this](long offset) { runOnce(offset); });
}

INSTANTIATE_TEST_SUITE_P(, LinkFaults, testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

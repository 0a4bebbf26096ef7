// The unit's faults on a clock the test sets: late, mute, erring and noisy units.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kelbunit.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Rig {
    explicit Rig(kelbsim::Faults faults, double rateHz = 100.0)
        : unit(
              {.rateHz = rateHz}, faults, [this](const Bytes& b) { out.push_back(b); },
              [this](const std::string& n) { notes.push_back(n); }) {}
    void send(double at, const std::string& cmd) {
        unit.tick(at);
        unit.feed(reinterpret_cast<const std::uint8_t*>(cmd.data()), cmd.size());
    }
    std::vector<Bytes> out;
    std::vector<std::string> notes;
    kelbsim::KelbUnit unit;
};

bool framed(const Bytes& b) {
    return !b.empty() && b.back() == 0 && std::count(b.begin(), b.end(), 0) == 1;
}

}  // namespace

TEST(KelbUnitFaults, SlowCommandsAreAnsweredLateInArrivalOrder) {
    struct Case {
        const char* slowCommand;
        double firstAt;   // when the "?i" reply is due
        double secondAt;  // when the "?M" reply behind it is due
    };
    for (const Case& c : {Case{"", 0.5, 0.5}, Case{"?i", 0.5, 0.5}, Case{"?M", 0.0, 0.5}}) {
        SCOPED_TRACE(c.slowCommand);
        Rig rig({.slowSeconds = 0.5, .slowCommand = c.slowCommand});
        rig.send(0.0, "?i?M");
        EXPECT_EQ(rig.out.size(), c.firstAt == 0.0 ? 1u : 0u);
        EXPECT_NEAR(rig.unit.secondsUntilDue(0.0), 0.5, 1e-9);
        rig.unit.tick(0.49);
        EXPECT_EQ(rig.out.size(), c.firstAt == 0.0 ? 1u : 0u);
        rig.unit.tick(0.5);
        ASSERT_EQ(rig.out.size(), 2u);
        EXPECT_EQ(rig.out[0][1], 'i');
        EXPECT_EQ(rig.out[1][1], 'M');
        EXPECT_LT(rig.unit.secondsUntilDue(0.5), 0) << "idle again";
    }
    // Only the named command is late: the others are answered at once.
    Rig rig({.slowSeconds = 0.5, .slowCommand = "?i"});
    rig.send(0.0, "U\x01");
    EXPECT_EQ(rig.out.size(), 1u);
}

TEST(KelbUnitFaults, MuteUnitTakesCommandsButSendsNothing) {
    Rig rig({.mute = true});
    rig.send(0.0, "\x03?iGS");
    rig.unit.tick(1.0);
    EXPECT_TRUE(rig.out.empty());
    EXPECT_EQ(rig.notes.front(), "abort");
    EXPECT_TRUE(rig.unit.streaming());
}

TEST(KelbUnitFaults, ErrorClearsTheReadyBitForItsWindow) {
    Rig rig({.errorAfter = 1, .errorSeconds = 1.0});
    auto status = [&](double at) {
        rig.send(at, "G");
        return rig.out.back().at(rig.out.back().size() - 2);
    };
    auto p1 = [&](double at) {
        rig.send(at, "?P");
        return rig.out.back().at(3);
    };
    EXPECT_EQ(status(0.0), 0x81) << "before AFTER records";
    EXPECT_EQ(status(0.1), 0x01);
    EXPECT_EQ(p1(0.5) & 0x80, 0);
    EXPECT_EQ(status(1.2), 0x81) << "after the window";
    EXPECT_EQ(p1(1.3) & 0x80, 0x80);
    EXPECT_EQ(std::count(rig.notes.begin(), rig.notes.end(), "unit error"), 1);
}

TEST(KelbUnitFaults, NoiseReplacesStreamedRecordsWithoutFraming) {
    Rig rig({.noiseAfter = 2, .noiseSeconds = 1.0}, 10.0);
    rig.send(0.0, "S");
    for (double t = 0.1; t < 2.0; t += 0.1) {
        rig.unit.tick(t);
    }
    std::vector<bool> isFramed;
    for (const Bytes& b : rig.out) {
        isFramed.push_back(framed(b));
        if (!isFramed.back()) {
            EXPECT_EQ(std::count(b.begin(), b.end(), 0), 0) << "noise never carries a NUL";
        }
    }
    // Two records, about a second of noise, then records again.
    ASSERT_GE(isFramed.size(), 15u);
    EXPECT_TRUE(isFramed[0] && isFramed[1]);
    EXPECT_NEAR(std::count(isFramed.begin(), isFramed.end(), false), 10, 1);
    EXPECT_TRUE(isFramed.back());
}

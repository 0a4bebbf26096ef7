// Streaming frames and poll samples from the simulated glove, with exact scripted counts.

#include "simglove.hpp"

#include <gtest/gtest.h>

#include <QStringList>
#include <map>

using namespace glove;

namespace {

enum class Wire { Serial, Tcp };

std::string wireName(const testing::TestParamInfo<Wire>& info) {
    return info.param == Wire::Serial ? "Serial" : "Tcp";
}

// One script frame line: a time text and 23 slot values (12-bit scale).
QByteArray frameLine(const QString& time, const std::array<int, kFrameSlotCount>& v) {
    QStringList words{"frame", "time=" + time};
    for (int x : v) {
        words << QString::number(x);
    }
    return (words.join(' ') + "\n").toLatin1();
}

// Distinct per frame: consecutive frames differ by far more than the hysteresis.
std::array<int, kFrameSlotCount> valuesOf(int frame) {
    std::array<int, kFrameSlotCount> v{};
    for (int s = 0; s < kFrameSlotCount; ++s) {
        v[s] = 300 + 150 * (frame % 20) + 7 * s;
    }
    return v;
}

class SimStream : public testing::TestWithParam<Wire> {
  protected:
    void connect(GloveLink& link, const QStringList& extra) {
        const bool ok =
            GetParam() == Wire::Serial ? sim.connectSerial(link, extra) : sim.startTcp(link, extra);
        ASSERT_TRUE(ok) << sim.log().toStdString();
    }
    SimGlove sim;
};

}  // namespace

TEST_P(SimStream, HysteresisTakesSixtyFiveCountsButNotSixtyFour) {
    std::array<int, kFrameSlotCount> first{};
    first.fill(1000);
    auto second = first;
    second[0] = 1064;
    second[1] = 1065;
    second[2] = 936;
    second[3] = 935;
    const QString script =
        sim.writeFile("hyst.txt", frameLine("10:20:30:1:05", first) +
                                      frameLine("10:20:31:2:06", second) + "end stop\n");
    GloveLink link(nullptr, impatientTiming());
    connect(link, {"--script", script});
    ASSERT_EQ(link.querySensorCount(), 22);
    link.startStreaming();
    ASSERT_TRUE(link.readFrame());
    int t[5];
    link.frameTime(t);
    EXPECT_EQ(std::vector<int>(t, t + 5), (std::vector<int>{10, 20, 30, 1, 5}));
    ASSERT_TRUE(link.readFrame());
    link.frameTime(t);
    EXPECT_EQ(std::vector<int>(t, t + 5), (std::vector<int>{10, 20, 31, 2, 6}));
    EXPECT_EQ(link.rawValue(0), 1000u);
    EXPECT_EQ(link.rawValue(1), 1065u);
    EXPECT_EQ(link.rawValue(2), 1000u);
    EXPECT_EQ(link.rawValue(3), 935u);
    // While streaming, the time comes from the last frame without asking the glove.
    int g[5] = {};
    link.getTime(g);
    EXPECT_EQ(std::vector<int>(g, g + 5), (std::vector<int>{10, 20, 31, 2, 6}));
    link.stopStreaming();
}

TEST_P(SimStream, EighteenAndTwentyTwoSensorMaps) {
    for (const char* sensors : {"18", "22"}) {
        SimGlove glove;
        const QString script =
            glove.writeFile("maps.txt", frameLine("00:00:01:0:00", valuesOf(3)) + "end hold\n");
        GloveLink link(nullptr, fastTiming());
        const bool ok = GetParam() == Wire::Serial
                            ? glove.connectSerial(link, {"--sensors", sensors, "--script", script})
                            : glove.startTcp(link, {"--sensors", sensors, "--script", script});
        ASSERT_TRUE(ok);
        const int count = std::atoi(sensors);
        EXPECT_EQ(link.querySensorCount(), count);
        link.startStreaming();
        ASSERT_TRUE(link.readFrame());
        link.stopStreaming();
        const SlotMap& map = count == 22 ? kSlotMap22 : kSlotMap18;
        for (int s = 0; s < kFrameSlotCount; ++s) {
            if (map[s] >= 0) {
                EXPECT_EQ(link.rawValue(map[s]), static_cast<uint32_t>(valuesOf(3)[s]))
                    << sensors << " slot " << s;
            }
        }
        if (count == 18) {
            for (int idx : {6, 10, 14, 18}) {
                EXPECT_EQ(link.rawValue(idx), kRawInitial) << idx;
            }
        }
        EXPECT_EQ(link.rawValue(7), kRawInitial);
        EXPECT_EQ(link.rawValue(23), kRawInitial);
    }
}

TEST_P(SimStream, PollOnAFreshLinkTakesEveryValue) {
    // 18 counts per reply: first a fresh link's values (some close to 127), then steps of
    // exactly 4 and 5 counts (64 and 65 on the 12-bit scale).
    QStringList first{"poll"};
    QStringList second{"poll"};
    for (int s = 0; s < 18; ++s) {
        first << QString::number(120 + s % 10);
        second << QString::number(120 + s % 10 + (s % 2 == 0 ? 4 : 5));
    }
    const QString script =
        sim.writeFile("poll.txt", (first.join(' ') + "\n" + second.join(' ') + "\n").toLatin1());
    GloveLink link(nullptr, fastTiming());
    connect(link, {"--sensors", "18", "--script", script});
    ASSERT_EQ(link.querySensorCount(), 18);
    link.pollSample();
    for (int s = 0; s < 18; ++s) {
        EXPECT_EQ(link.rawValue(kSlotMap18[s]), static_cast<uint32_t>(120 + s % 10) * 16) << s;
    }
    link.pollSample();
    for (int s = 0; s < 18; ++s) {
        const uint32_t expected = s % 2 == 0 ? 120 + s % 10 : 120 + s % 10 + 5;
        EXPECT_EQ(link.rawValue(kSlotMap18[s]), expected * 16) << s;
    }
    EXPECT_TRUE(link.lastMessage().endsWith("\n"));
}

TEST_P(SimStream, GarbageInTheStreamIsSkippedAndFramingRecovers) {
    QByteArray text;
    for (int f = 1; f <= 12; ++f) {
        text += frameLine(QString("00:00:%1:0:00").arg(f, 2, 10, QChar('0')), valuesOf(f));
    }
    text += "end stop\n";
    const QString script = sim.writeFile("garbage.txt", text);
    GloveLink link(nullptr, impatientTiming());
    connect(link, {"--script", script, "--fault", "garbage=3,5"});
    ASSERT_EQ(link.querySensorCount(), 22);
    link.startStreaming();
    std::map<int, bool> decoded;
    for (int i = 0; i < 40 && link.errorState() == 0; ++i) {
        if (!link.readFrame()) {
            continue;
        }
        int t[5];
        link.frameTime(t);
        const int f = t[2];
        bool exact = true;
        for (int s = 0; s < 22; ++s) {
            exact = exact && link.rawValue(kSlotMap22[s]) == static_cast<uint32_t>(valuesOf(f)[s]);
        }
        decoded[f] = exact;
        if (f == 12) {
            break;
        }
    }
    // Frames before the garbage, and every frame from the second after it on, arrive whole.
    for (int f : {1, 2, 3, 6, 7, 8, 9, 10, 11, 12}) {
        ASSERT_TRUE(decoded.count(f)) << "frame " << f << " lost";
        EXPECT_TRUE(decoded[f]) << "frame " << f << " decoded with wrong values";
    }
    EXPECT_EQ(link.errorState(), 0);
}

TEST_P(SimStream, FrameWithBrokenSeparatorsIsIgnored) {
    QByteArray text;
    for (int f = 1; f <= 4; ++f) {
        text += frameLine(QString("00:00:%1:0:00").arg(f, 2, 10, QChar('0')), valuesOf(f));
    }
    text += "end stop\n";
    const QString script = sim.writeFile("bad.txt", text);
    GloveLink link(nullptr, impatientTiming());
    connect(link, {"--script", script, "--fault", "bad-frame=2"});
    ASSERT_EQ(link.querySensorCount(), 22);
    link.startStreaming();
    ASSERT_TRUE(link.readFrame());
    EXPECT_FALSE(link.readFrame());  // frame 2: separators broken
    EXPECT_EQ(link.rawValue(0), static_cast<uint32_t>(valuesOf(1)[0]));
    int t[5];
    link.frameTime(t);
    EXPECT_EQ(t[2], 1);
    bool third = false;
    for (int i = 0; i < 3 && !third; ++i) {
        third = link.readFrame();
    }
    ASSERT_TRUE(third);
    link.frameTime(t);
    EXPECT_EQ(t[2], 3);
    EXPECT_EQ(link.rawValue(0), static_cast<uint32_t>(valuesOf(3)[0]));
}

TEST_P(SimStream, LeftHandFlipsTheAbductions) {
    const QByteArray text = frameLine("00:00:01:0:00", valuesOf(5)) + "end hold\n";
    SimGlove other;
    const QString leftScript = sim.writeFile("left.txt", text);
    const QString rightScript = other.writeFile("right.txt", text);
    GloveLink left;
    connect(left, {"--left", "--script", leftScript});
    GloveLink right;
    const bool ok = GetParam() == Wire::Serial
                        ? other.connectSerial(right, {"--script", rightScript})
                        : other.startTcp(right, {"--script", rightScript});
    ASSERT_TRUE(ok);
    for (GloveLink* link : {&left, &right}) {
        link->querySensorCount();
        link->queryRightHand();
        link->startStreaming();
        ASSERT_TRUE(link->readFrame());
        link->stopStreaming();
        link->computeAngles();
    }
    EXPECT_FALSE(left.rightHand());
    EXPECT_TRUE(right.rightHand());
    for (int r = 0; r < 6; ++r) {
        for (int k = 0; k < 4; ++k) {
            const bool flipped = (k == 3 && r <= 4) || (r == 5 && k == 2);
            EXPECT_DOUBLE_EQ(left.angle(r, k), flipped ? -right.angle(r, k) : right.angle(r, k))
                << r << "," << k;
        }
    }
}

TEST_P(SimStream, RepliesInPiecesAndFramesInBursts) {
    for (const char* fault : {"chunk=7,20", "burst=3"}) {
        SimGlove glove;
        QByteArray text;
        for (int f = 1; f <= 9; ++f) {
            text += frameLine(QString("00:00:%1:0:00").arg(f, 2, 10, QChar('0')), valuesOf(f));
        }
        const QString script = glove.writeFile("pieces.txt", text + "end loop\n");
        GloveLink link(nullptr, impatientTiming());
        const bool ok = GetParam() == Wire::Serial
                            ? glove.connectSerial(link, {"--script", script, "--fault", fault})
                            : glove.startTcp(link, {"--script", script, "--fault", fault});
        ASSERT_TRUE(ok);
        EXPECT_EQ(link.querySensorCount(), 22) << fault;
        EXPECT_FLOAT_EQ(link.batteryVoltage(), 7.4f) << fault;
        link.startStreaming();
        int decoded = 0;
        for (int i = 0; i < 12 && decoded < 4; ++i) {
            if (link.readFrame()) {
                int t[5];
                link.frameTime(t);
                ASSERT_GE(t[2], 1);
                ASSERT_LE(t[2], 9);
                EXPECT_EQ(link.rawValue(kSlotMap22[5]), static_cast<uint32_t>(valuesOf(t[2])[5]))
                    << fault;
                ++decoded;
            }
        }
        EXPECT_EQ(decoded, 4) << fault;
        EXPECT_EQ(link.errorState(), 0) << fault;
    }
}

INSTANTIATE_TEST_SUITE_P(Wires, SimStream, testing::Values(Wire::Serial, Wire::Tcp), wireName);

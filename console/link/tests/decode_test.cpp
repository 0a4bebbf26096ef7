#include "link/glovelink.hpp"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

using namespace glove;

namespace {

std::string makeFrame(const char* time, const std::array<int, kFrameSlotCount>& values) {
    std::string f(kFrameSize, '\0');
    std::memcpy(f.data(), time, std::min<size_t>(14, std::strlen(time)));
    for (int s = 0; s < kFrameSlotCount; ++s) {
        f[14 + 2 * s] = static_cast<char>((values[s] >> 8) & 0xFF);
        f[15 + 2 * s] = static_cast<char>(values[s] & 0xFF);
    }
    return f;
}

std::array<int, kFrameSlotCount> filled(int v) {
    std::array<int, kFrameSlotCount> a{};
    a.fill(v);
    return a;
}

// A link whose calibration is offset 0, gain 1 so angles read back counts.
void unitCalibration(GloveLink& link) {
    for (int i = 0; i < kSensorIndexCount; ++i) {
        link.setCalibration(i, {0.0, 1.0});
    }
}

}  // namespace

TEST(FrameDecode, FieldsAndSlotsOfAWellFormedFrame) {
    GloveLink link;
    link.setSensorCount(22);
    std::array<int, kFrameSlotCount> v{};
    for (int s = 0; s < kFrameSlotCount; ++s) {
        v[s] = 150 * (s + 1);  // none within 64 of the start value 2032
    }
    ASSERT_TRUE(link.decodeFrame(makeFrame("12:34:56:07123", v).data()));
    int t[5];
    link.frameTime(t);
    EXPECT_EQ(t[0], 12);
    EXPECT_EQ(t[1], 34);
    EXPECT_EQ(t[2], 56);
    EXPECT_EQ(t[3], 7);
    EXPECT_EQ(t[4], 123);
    for (int s = 0; s < 22; ++s) {
        EXPECT_EQ(link.rawValue(kSlotMap22[s]), static_cast<uint32_t>(v[s])) << s;
    }
    EXPECT_EQ(link.rawValue(7), kRawInitial);
    EXPECT_EQ(link.rawValue(23), kRawInitial);
    EXPECT_EQ(link.lastMessage(), QString("12:34:56:07:123\t"));
}

TEST(FrameDecode, EighteenSensorMapLeavesOuterJointsAlone) {
    GloveLink link;  // sensor count 0 -> 18-sensor map
    ASSERT_TRUE(link.decodeFrame(makeFrame("00:00:01:00000", filled(3000)).data()));
    for (int idx : {6, 7, 10, 14, 18, 23}) {
        EXPECT_EQ(link.rawValue(idx), kRawInitial) << idx;
    }
    for (int idx : {0, 5, 8, 9, 11, 22}) {
        EXPECT_EQ(link.rawValue(idx), 3000u) << idx;
    }
}

TEST(FrameDecode, HysteresisTakesSixtyFiveButNotSixtyFour) {
    GloveLink link;
    link.setSensorCount(22);
    auto v = filled(1000);
    ASSERT_TRUE(link.decodeFrame(makeFrame("00:00:00:00000", v).data()));
    v[0] = 1064;  // +64: ignored
    v[1] = 1065;  // +65: taken
    v[2] = 936;   // -64: ignored
    v[3] = 935;   // -65: taken
    ASSERT_TRUE(link.decodeFrame(makeFrame("00:00:00:00001", v).data()));
    EXPECT_EQ(link.rawValue(0), 1000u);
    EXPECT_EQ(link.rawValue(1), 1065u);
    EXPECT_EQ(link.rawValue(2), 1000u);
    EXPECT_EQ(link.rawValue(3), 935u);
}

TEST(FrameDecode, BrokenSeparatorsLeaveEverythingAsItWas) {
    GloveLink link;
    link.setSensorCount(22);
    ASSERT_TRUE(link.decodeFrame(makeFrame("01:02:03:04005", filled(500)).data()));
    for (const char* bad : {"01-02:03:04005", "01:02-03:04005", "01:02:03-04005"}) {
        EXPECT_FALSE(link.decodeFrame(makeFrame(bad, filled(3000)).data())) << bad;
    }
    EXPECT_EQ(link.rawValue(0), 500u);
    int t[5];
    link.frameTime(t);
    EXPECT_EQ(t[4], 5);
}

TEST(FrameDecode, HighByteIsSigned) {
    GloveLink link;
    link.setSensorCount(22);
    std::string f = makeFrame("00:00:00:00000", filled(2032));
    f[14] = static_cast<char>(0xFF);  // -1 * 256 + 0x10
    f[15] = 0x10;
    ASSERT_TRUE(link.decodeFrame(f.data()));
    EXPECT_EQ(static_cast<int32_t>(link.rawValue(0)), -240);
}

TEST(PollDecode, FreshLinkTakesEverySlot) {
    GloveLink link;
    link.setSensorCount(18);
    // 'G', 18 counts, NUL; a count of 127 gives 2032, equal to the start value.
    std::string reply = "G";
    for (int s = 0; s < 18; ++s) {
        reply += static_cast<char>(s == 0 ? 127 : 126);
    }
    reply += '\0';
    link.decodePollReply(reply.data(), static_cast<int>(reply.size()));
    EXPECT_EQ(link.rawValue(0), 2032u);
    EXPECT_EQ(link.rawValue(1), 126u * 16);  // a step of 16 is taken while still 2032
    EXPECT_EQ(link.rawValue(22), 126u * 16);
    EXPECT_EQ(link.rawValue(6), kRawInitial);
    // Now the hysteresis holds: 4 counts (64) ignored, 5 taken.
    reply[2] = static_cast<char>(130);
    reply[3] = static_cast<char>(131);
    link.decodePollReply(reply.data(), static_cast<int>(reply.size()));
    EXPECT_EQ(link.rawValue(1), 126u * 16);
    EXPECT_EQ(link.rawValue(2), 131u * 16);
    EXPECT_TRUE(link.lastMessage().startsWith("127 126 131 "));
    EXPECT_TRUE(link.lastMessage().endsWith("\n"));
}

TEST(PollDecode, TooShortRepliesChangeNothing) {
    GloveLink link;
    link.decodePollReply("G", 1);
    link.decodePollReply("", 0);
    EXPECT_EQ(link.rawValue(0), kRawInitial);
    link.setSensorCount(22);
    const char two[] = {'G', 10};
    link.decodePollReply(two, 2);
    EXPECT_EQ(link.rawValue(0), 160u);
    EXPECT_EQ(link.rawValue(1), 0u);  // one past the reply reads as 0 on a fresh link
    EXPECT_EQ(link.rawValue(2), kRawInitial);
}

TEST(Angles, CalibratedRestIsZeroExceptTheSpreadCoupling) {
    GloveLink link;
    link.setSensorCount(22);
    for (int i = 0; i < kSensorIndexCount; ++i) {
        link.setRawValue(i, static_cast<uint32_t>(kDefaultCalibration[i].offset) * 16);
    }
    link.computeAngles();
    double a[kSensorIndexCount];
    link.copyAngles(a);
    for (int i = 0; i < kSensorIndexCount; ++i) {
        EXPECT_NEAR(a[i], 0.0, 1e-12) << i;
    }
}

TEST(Angles, FlexionIsNegativeAndThumbRollCapped) {
    GloveLink link;
    link.setSensorCount(22);
    unitCalibration(link);
    link.setRawValue(0, 0);        // count 0 -> 0 * -1 = 0 (no cap needed)
    link.setRawValue(1, 10 * 16);  // count 10 -> -10
    link.computeAngles();
    EXPECT_DOUBLE_EQ(link.angle(0, 1), -10.0);
    link.setCalibrationOffset(0, 200);  // (0 - 200) * -1 = 200 -> capped at 0.5
    link.computeAngles();
    EXPECT_DOUBLE_EQ(link.angle(0, 0), 0.5);
}

TEST(Angles, SpreadIsSharedBetweenTheFingers) {
    GloveLink link;
    link.setSensorCount(22);
    unitCalibration(link);
    for (int i = 0; i < kSensorIndexCount; ++i) {
        link.setRawValue(i, 0);
    }
    link.setCalibrationGain(7, 0.5);    // scales the index-middle spread
    link.setCalibrationGain(11, 0.25);  // middle finger's share
    link.setRawValue(11, 8 * 16);       // t = 8 * 0.5 = 4
    link.setRawValue(15, 2 * 16);       // A[3][3] = -2 ... (index 15 is row 3, column 3)
    link.setRawValue(19, 6 * 16);       // A[4][3] = -6
    link.computeAngles();
    const double t = 4.0;
    const double u = -(-2.0 + t) * 0.25;  // -0.5
    EXPECT_DOUBLE_EQ(link.angle(1, 3), t + u);
    EXPECT_DOUBLE_EQ(link.angle(2, 3), u);
    EXPECT_DOUBLE_EQ(link.angle(3, 3), -2.0 + u);
    EXPECT_DOUBLE_EQ(link.angle(4, 3), -6.0 + (-2.0 + u));
}

TEST(Angles, EighteenSensorOuterJointsFollowTheMiddleJoints) {
    GloveLink link;
    link.setSensorCount(18);
    unitCalibration(link);
    for (int r = 1; r <= 4; ++r) {
        link.setRawValue(4 * r + 1, 2 * 16);                 // p = -2
        link.setRawValue(4 * r + 2, r % 2 == 0 ? 4000 : 0);  // sign source only
    }
    link.computeAngles();
    const double p = -2.0;
    for (int r = 1; r <= 4; ++r) {
        // raw 4000 -> A[r][2] < 0 -> -p(0.32p + 0.17); raw 0 -> A[r][2] = 0 -> same branch
        EXPECT_DOUBLE_EQ(link.angle(r, 2), -p * (0.32 * p + 0.17)) << r;
    }
    link.setCalibrationOffset(6, 500);  // makes A[1][2] positive
    link.computeAngles();
    EXPECT_DOUBLE_EQ(link.angle(1, 2), (0.32 * p + 0.17) * p);
    // 22 sensors: the outer joint is measured.
    link.setSensorCount(22);
    link.computeAngles();
    EXPECT_DOUBLE_EQ(link.angle(1, 2), 500.0);
}

TEST(Angles, LeftHandFlipsOnlyTheAbductions) {
    GloveLink right;
    GloveLink left;
    left.setRightHand(false);
    for (GloveLink* l : {&right, &left}) {
        l->setSensorCount(22);
        for (int i = 0; i < kSensorIndexCount; ++i) {
            l->setRawValue(i, static_cast<uint32_t>(40 + 7 * i) * 16);
        }
        l->computeAngles();
    }
    for (int r = 0; r < 6; ++r) {
        for (int k = 0; k < 4; ++k) {
            const bool flipped = (k == 3 && r <= 4) || (r == 5 && k == 2);
            const double expected = flipped ? -right.angle(r, k) : right.angle(r, k);
            EXPECT_DOUBLE_EQ(left.angle(r, k), expected) << r << "," << k;
            if (flipped) {
                EXPECT_NE(right.angle(r, k), 0.0);
            }
        }
    }
}

TEST(Angles, AutoZeroRunsOnceWhenEnabled) {
    GloveLink link;
    EXPECT_TRUE(link.autoZeroPending());
    link.computeAngles();
    EXPECT_TRUE(link.autoZeroPending());  // off by default: nothing happens
    link.setSensorCount(22);
    for (int i = 0; i < kSensorIndexCount; ++i) {
        link.setRawValue(i, 77 * 16 + 5);
    }
    link.setAutoZeroEnabled(true);
    link.computeAngles();
    EXPECT_FALSE(link.autoZeroPending());
    EXPECT_DOUBLE_EQ(link.calibration(4).offset, 77);
    EXPECT_NEAR(link.angle(1, 1), 0.0, 1e-12);
    link.setRawValue(5, 90 * 16);
    link.computeAngles();
    EXPECT_DOUBLE_EQ(link.calibration(5).offset, 77);  // not zeroed again
}

TEST(Angles, ConstructorComputesFromTheDefaults) {
    GloveLink link;
    // raw 2032 -> count 127; thumb roll (127 - 56) * -0.01584.
    EXPECT_DOUBLE_EQ(link.angle(0, 0), (127 - 56) * -0.01584);
    EXPECT_DOUBLE_EQ(link.calibration(11).gain, 0.248);
}

TEST(Log, KeepsTheLast255Characters) {
    GloveLink link;
    link.log(std::string(400, 'x').c_str());
    EXPECT_EQ(link.lastMessage().size(), 255);
    link.log("second");
    link.log("third");
    EXPECT_EQ(link.lastMessage(), QString("third"));
    link.clearLog();
    EXPECT_TRUE(link.lastMessage().isEmpty());
}

TEST(SoftwareCalibration, LinkRoundTrip) {
    QTemporaryDir dir;
    GloveLink a;
    a.setCalibration(0, {12.4, 0.012344});
    const QString path = dir.filePath("a.swcal");
    ASSERT_TRUE(a.saveSoftwareCalibration(path));
    GloveLink b;
    ASSERT_TRUE(b.loadSoftwareCalibration(path));
    EXPECT_DOUBLE_EQ(b.calibration(0).offset, 12);
    EXPECT_DOUBLE_EQ(b.calibration(0).gain, 0.01234);
    EXPECT_DOUBLE_EQ(b.calibration(23).gain, 0.00781);
    EXPECT_FALSE(b.loadSoftwareCalibration(dir.filePath("none.swcal")));
}

// The window thread reads the display values while the worker decodes; run under the thread
// sanitizer this catches unsynchronised read-outs.
TEST(ReadOuts, SafeToReadWhileTheOwnerDecodes) {
    GloveLink link;
    link.setSensorCount(22);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        uint32_t raw[kSensorIndexCount];
        double angles[kSensorIndexCount];
        int t[5];
        while (!done.load()) {
            link.copyRaw(raw);
            link.copyAngles(angles);
            link.frameTime(t);
            (void)link.lastMessage();
            (void)link.streaming();
            (void)link.errorState();
            (void)link.lowPower();
            link.clearLog();
        }
    });
    for (int f = 0; f < 2000; ++f) {
        ASSERT_TRUE(
            link.decodeFrame(makeFrame("01:02:03:1:02", filled(f % 2 ? 500 : 3000)).data()));
        link.computeAngles();
        link.log("tick");
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(link.rawValue(0), 500u);  // the last frame (odd) carried 500
}

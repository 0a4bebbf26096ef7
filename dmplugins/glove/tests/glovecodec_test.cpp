// Wire formats and joint maths of the wired glove, without the plug-in around them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "devicemanager/rzcore.h"
#include "glove/glovecodec.hpp"

using namespace gloved;

namespace {

std::vector<uint8_t> bytes(const std::string& s, bool nul = true) {
    std::vector<uint8_t> v(s.begin(), s.end());
    if (nul) {
        v.push_back(0);
    }
    return v;
}

// 'S' record for `mask` with every masked sensor at `value`.
std::vector<uint8_t> sensorRecord(uint32_t mask, uint8_t value, uint8_t status = 0x81) {
    std::vector<uint8_t> r{'S'};
    for (int k = 0; k < kSensors; ++k) {
        if ((mask >> k) & 1u) {
            r.push_back(value);
        }
    }
    r.push_back(status);
    r.push_back(0);
    return r;
}

int len(const std::vector<uint8_t>& v) {
    return static_cast<int>(v.size());
}

}  // namespace

TEST(CalibrationAnswer, ExactlyFortyEightNumbersReplaceTheTable) {
    std::string text;
    for (int k = 0; k < kSensors; ++k) {
        text += std::to_string(100 + k) + " 0.5\n";
    }
    Calibration cal;
    defaultCalibration(cal);
    EXPECT_EQ(parseCalibrationAnswer(text.c_str(), cal), 48);
    EXPECT_DOUBLE_EQ(cal.offset[23], 123);
    EXPECT_DOUBLE_EQ(cal.gain[0], 0.5);
}

TEST(CalibrationAnswer, FortySevenNumbersLeaveTheTableAlone) {
    std::string text;
    for (int i = 0; i < 47; ++i) {
        text += "7 ";
    }
    Calibration cal;
    defaultCalibration(cal);
    EXPECT_EQ(parseCalibrationAnswer(text.c_str(), cal), 47);
    EXPECT_DOUBLE_EQ(cal.offset[0], 56);
    EXPECT_DOUBLE_EQ(cal.gain[11], 0.248);
    EXPECT_EQ(parseCalibrationAnswer("", cal), 0);
    EXPECT_EQ(parseCalibrationAnswer(nullptr, cal), 0);
}

TEST(SensorRecord, HysteresisOfFourCounts) {
    uint8_t raw[kSensors] = {};
    uint32_t mask = 0x00ffffff;
    ASSERT_TRUE(decodeSensorRecord(sensorRecord(mask, 100).data(), 27, mask, raw).complete);
    EXPECT_EQ(raw[0], 100);
    decodeSensorRecord(sensorRecord(mask, 103).data(), 27, mask, raw);
    EXPECT_EQ(raw[5], 100) << "a move of 3 counts is noise";
    decodeSensorRecord(sensorRecord(mask, 97).data(), 27, mask, raw);
    EXPECT_EQ(raw[5], 100);
    decodeSensorRecord(sensorRecord(mask, 104).data(), 27, mask, raw);
    EXPECT_EQ(raw[5], 104) << "a move of 4 counts is taken";
    decodeSensorRecord(sensorRecord(mask, 100).data(), 27, mask, raw);
    EXPECT_EQ(raw[5], 100);
}

TEST(SensorRecord, CountsCompareAsSignedBytes) {
    uint8_t raw[kSensors] = {};
    uint32_t mask = 0x1;
    raw[0] = 126;
    decodeSensorRecord(sensorRecord(mask, 129).data(), 4, mask, raw);
    EXPECT_EQ(raw[0], 129) << "126 and -127 are far apart as signed bytes";
}

TEST(SensorRecord, WrongLengthChangesNothing) {
    uint8_t raw[kSensors];
    std::memset(raw, 50, sizeof raw);
    uint32_t mask = 0x00ffffff;
    auto rec = sensorRecord(mask, 200);
    EXPECT_FALSE(decodeSensorRecord(rec.data(), len(rec) - 1, mask, raw).complete);
    rec.insert(rec.begin() + 3, 200);
    EXPECT_FALSE(decodeSensorRecord(rec.data(), len(rec), mask, raw).complete);
    uint8_t shortRec[] = {'S', 200, 0};
    EXPECT_FALSE(decodeSensorRecord(shortRec, 3, mask, raw).complete);
    for (uint8_t b : raw) {
        EXPECT_EQ(b, 50);
    }
}

TEST(SensorRecord, UnmaskedSensorsReadZeroAndStatusBitsDecode) {
    uint8_t raw[kSensors];
    std::memset(raw, 50, sizeof raw);
    uint32_t mask = 0x00ffffbf;  // no sensor 6
    auto rec = sensorRecord(mask, 120, 0x87);
    SensorStatus s = decodeSensorRecord(rec.data(), len(rec), mask, raw);
    ASSERT_TRUE(s.complete);
    EXPECT_EQ(raw[6], 0);
    EXPECT_EQ(raw[7], 120);
    EXPECT_TRUE(s.ready);
    EXPECT_TRUE(s.wrist);
    EXPECT_TRUE(s.light);
    rec = sensorRecord(mask, 120, 0x01);
    EXPECT_FALSE(decodeSensorRecord(rec.data(), len(rec), mask, raw).ready);
    rec = sensorRecord(mask, 120, 0x80);
    EXPECT_FALSE(decodeSensorRecord(rec.data(), len(rec), mask, raw).ready);
}

class JointValues : public ::testing::Test {
  protected:
    void SetUp() override {
        defaultCalibration(cal);
        resetThumb(thumb);
        deriveThumbBase(thumb, true);
    }
    // Raw bytes all at their offsets except the ones given.
    void rawAtOffsets() {
        for (int k = 0; k < kSensors; ++k) {
            raw[k] = static_cast<uint8_t>(cal.offset[k]);
        }
    }
    Calibration cal;
    Thumb thumb;
    uint8_t raw[kSensors] = {};
    double prev[kSensors] = {};
    double v[kSensors] = {};
};

TEST_F(JointValues, OuterJointFollowsMiddleJointWhenUnsensed) {
    rawAtOffsets();
    cal.offset[5] = 101;
    cal.gain[5] = 0.01;
    raw[5] = 1;  // v[5] = 1
    uint32_t mask = 0x00ffffff & ~(1u << 6);
    computeJointValues(raw, cal, mask, true, thumb, prev, v);
    EXPECT_NEAR(v[5], 1.0, 1e-12);
    EXPECT_NEAR(v[6], 0.49, 1e-12);
    raw[5] = 201;  // v[5] = -1
    computeJointValues(raw, cal, mask, true, thumb, prev, v);
    EXPECT_NEAR(v[6], -0.15, 1e-12);
    raw[5] = 101;  // v[5] = 0: the sign of 0 is negative, the size 0
    computeJointValues(raw, cal, mask, true, thumb, prev, v);
    EXPECT_EQ(v[6], 0.0);
    // With its own sensor the outer joint keeps its reading.
    raw[6] = static_cast<uint8_t>(cal.offset[6] - 20);
    computeJointValues(raw, cal, 0x00ffffff, true, thumb, prev, v);
    EXPECT_NEAR(v[6], 20 * cal.gain[6], 1e-12);
}

TEST_F(JointValues, ThumbRotationIsLimitedAndPalmArchIsShared) {
    rawAtOffsets();
    raw[0] = 1;  // far past the offset: would be 0.87 rad
    raw[11] = static_cast<uint8_t>(cal.offset[11] + 10);
    raw[15] = static_cast<uint8_t>(cal.offset[15] - 10);
    computeJointValues(raw, cal, 0x00ffffff, true, thumb, prev, v);
    EXPECT_EQ(v[0], 0.5);
    double t = 10 * cal.gain[7];
    double v15 = 10 * cal.gain[15];
    double u = -((v15 + t) * cal.gain[11]);
    EXPECT_NEAR(v[11], u, 1e-12);
    EXPECT_NEAR(v[7], u + t, 1e-12);
    EXPECT_NEAR(v[15], v15 + u, 1e-12);
    EXPECT_NEAR(v[19], v15 + u, 1e-12) << "sensor 19 at its offset adds nothing";
}

TEST_F(JointValues, LeftHandMirrorsTheAbductions) {
    for (int k = 0; k < kSensors; ++k) {
        raw[k] = static_cast<uint8_t>(cal.offset[k] - 10);
    }
    double right[kSensors], left[kSensors];
    computeJointValues(raw, cal, 0x00ffffff, true, thumb, prev, right);
    Thumb thumbLeft;
    resetThumb(thumbLeft);
    deriveThumbBase(thumbLeft, false);
    computeJointValues(raw, cal, 0x00ffffff, false, thumbLeft, prev, left);
    for (int k = 0; k < 23; ++k) {
        bool mirrored = k == 3 || k == 7 || k == 11 || k == 15 || k == 19 || k == 22;
        EXPECT_NEAR(left[k], mirrored ? -right[k] : right[k], 1e-12) << "sensor " << k;
    }
}

TEST(Thumb, BaseTransformIsARotationPlacedAtTheFirstJoint) {
    Thumb t;
    resetThumb(t);
    deriveThumbBase(t, true);
    for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) {
            double d = 0;
            for (int i = 0; i < 3; ++i) {
                d += t.base[4 * a + i] * t.base[4 * b + i];
            }
            EXPECT_NEAR(d, a == b ? 1.0 : 0.0, 1e-12) << a << "," << b;
        }
    }
    EXPECT_NEAR(t.base[12], 2.5, 1e-12);
    EXPECT_NEAR(t.base[13], 3.4, 1e-12);
    EXPECT_NEAR(t.base[14], -1, 1e-12);
    EXPECT_NEAR(t.base[15], 1, 1e-12);
    // Row 0 is the normalised axis.
    double n = std::sqrt(0.01 + 49 + 1);
    EXPECT_NEAR(t.base[0], -0.1 / n, 1e-12);
    EXPECT_NEAR(t.axis[1], 7 / n, 1e-12);
    // Offset angle: the first phalanx direction against the axis.
    double d[3] = {4.1, 2.4, 0.5};
    double dl = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    double cosine = (d[0] * -0.1 + d[1] * 7 + d[2] * 1) / (dl * n);
    EXPECT_NEAR(t.offsetAngle, -(M_PI / 2 - std::acos(cosine)), 1e-12);

    Thumb left;
    resetThumb(left);
    deriveThumbBase(left, false);
    EXPECT_NEAR(left.axis[1], -7 / n, 1e-12) << "the left hand's axis points the other way";
}

TEST(Thumb, RollStaysAnAngleAndKeepsTheReferenceNormalised) {
    Thumb t;
    resetThumb(t);
    deriveThumbBase(t, true);
    for (double v0 : {-1.0, 0.0, 0.5}) {
        for (double v3 : {-0.8, 0.0, 0.8}) {
            double r = thumbRoll(t, v0, v3);
            EXPECT_TRUE(std::isfinite(r));
            EXPECT_LE(std::fabs(r), M_PI);
        }
    }
    double len = std::sqrt(t.reference[0] * t.reference[0] + t.reference[1] * t.reference[1] +
                           t.reference[2] * t.reference[2]);
    EXPECT_NEAR(len, 1.0, 1e-12);
    // The roll moves with the thumb's rotation.
    EXPECT_NE(thumbRoll(t, 0.0, 0.0), thumbRoll(t, 0.0, 0.6));
}

TEST(Thumb, DegenerateReferenceGivesZeroNotNaN) {
    Thumb t;
    resetThumb(t);
    deriveThumbBase(t, true);
    t.reference[0] = t.reference[1] = t.reference[2] = 0;
    EXPECT_EQ(thumbRoll(t, 0.1, 0.2), 0.0);
}

TEST(Replies, ParameterRepliesInBothForms) {
    Params p;
    auto bin = std::vector<uint8_t>{'?', 'P', 0x07, 0xC5, 1, 0};
    ASSERT_TRUE(parseParamReply(bin.data(), len(bin), p));
    EXPECT_EQ(p.p0, 7);
    EXPECT_EQ(p.p1, 0xC5);
    auto text = bytes("?p 5 192 1");
    ASSERT_TRUE(parseParamReply(text.data(), len(text), p));
    EXPECT_EQ(p.p0, 5);
    EXPECT_EQ(p.p1, 192);
    EXPECT_EQ(p.p2, 1);
}

TEST(Replies, ShortRepliesAreIgnored) {
    Params p;
    p.p0 = 42;
    auto bin = std::vector<uint8_t>{'?', 'P', 0x07, 0xC5, 0};  // p2 missing
    EXPECT_FALSE(parseParamReply(bin.data(), len(bin), p));
    auto text = bytes("?p 5 192");
    EXPECT_FALSE(parseParamReply(text.data(), len(text), p));
    EXPECT_EQ(p.p0, 42);
    uint32_t mask = 7;
    auto m = std::vector<uint8_t>{'?', 'M', 0xff, 0xff, 0};
    EXPECT_FALSE(parseMaskReply(m.data(), len(m), mask));
    EXPECT_EQ(mask, 7u);
    m = {'?', 'M', 0xbf, 0xff, 0x7f, 0};
    ASSERT_TRUE(parseMaskReply(m.data(), len(m), mask));
    EXPECT_EQ(mask, 0x7fffbfu);
}

TEST(Replies, IdentityCarriesTheSerialNumber) {
    int sn = 0;
    auto id = bytes("?iKELB sim 1.0 S/N 4711");
    ASSERT_TRUE(parseSerialNumber(id.data(), len(id), sn));
    EXPECT_EQ(sn, 4711);
    auto unplugged = bytes("?iKELB sim 1.0");
    EXPECT_FALSE(parseSerialNumber(unplugged.data(), len(unplugged), sn));
    auto noNumber = bytes("?iKELB S/N");
    EXPECT_FALSE(parseSerialNumber(noNumber.data(), len(noNumber), sn));
    // The text "S/N" must be found inside the record, never past its length.
    auto cut = bytes("?iKELB S/N 99");
    EXPECT_FALSE(parseSerialNumber(cut.data(), 8, sn));
}

TEST(Replies, OnlyAQueryReplyAnswersAQuery) {
    uint8_t code = 'p' | 0x80;
    auto reply = bytes("?p 1 128 1");
    EXPECT_TRUE(isAwaitedReply(reply.data(), len(reply), code));
    std::vector<uint8_t> record{'S', 'p', 0x81, 0};
    EXPECT_FALSE(isAwaitedReply(record.data(), len(record), code));
    std::vector<uint8_t> u{'U', 1, 0};
    EXPECT_TRUE(isAwaitedReply(u.data(), len(u), 'U'));
    EXPECT_FALSE(isAwaitedReply(u.data(), len(u), 'S'));
}

TEST(CalibrationForms, BinaryRoundTrip) {
    Calibration a;
    defaultCalibration(a);
    a.offset[17] = 3.25;
    a.gain[22] = -0.125;
    std::string bin = calibrationBinary(a);
    ASSERT_EQ(bin.size(), 528u);
    Calibration b;
    std::memset(&b, 0, sizeof b);
    ASSERT_EQ(applyCalibrationBinary(reinterpret_cast<const uint8_t*>(bin.data()), 528, b), 0);
    for (int k = 0; k < kSensors; ++k) {
        EXPECT_EQ(a.offset[k], b.offset[k]);
        EXPECT_EQ(a.gain[k], b.gain[k]);
    }
}

TEST(CalibrationForms, BinaryWriteLimits) {
    Calibration cal;
    defaultCalibration(cal);
    auto record = [](int g, int i, int w, double v) {
        std::vector<uint8_t> r{static_cast<uint8_t>(g),
                               static_cast<uint8_t>(i),
                               static_cast<uint8_t>(w),
                               0,
                               0,
                               0,
                               0,
                               0,
                               0,
                               0,
                               0};
        RZ_PutDouble(r.data() + 3, v);
        return r;
    };
    auto ok = record(1, 2, 1, 0.5);
    auto pairTooHigh = record(5, 4, 0, 1);  // 4 * 5 + 4 = 24
    std::vector<uint8_t> run = ok;
    run.insert(run.end(), pairTooHigh.begin(), pairTooHigh.end());
    EXPECT_EQ(applyCalibrationBinary(run.data(), len(run), cal), -1);
    EXPECT_EQ(cal.gain[6], 0.5) << "records before the bad one stay applied";
    EXPECT_EQ(applyCalibrationBinary(record(0, 0, 2, 1).data(), 11, cal), -1);
    EXPECT_EQ(applyCalibrationBinary(record(7, 0, 0, 1).data(), 11, cal), -1);
    EXPECT_EQ(applyCalibrationBinary(ok.data(), 10, cal), -15) << "half a record";
    EXPECT_EQ(applyCalibrationBinary(record(0, 0, 0, NAN).data(), 11, cal), -1);
    EXPECT_EQ(cal.offset[0], 56);
}

TEST(CalibrationForms, TextRoundTripAndParseLimits) {
    Calibration a;
    defaultCalibration(a);
    a.offset[9] = 12.5;
    std::string text = calibrationText(a);
    EXPECT_EQ(text.substr(0, 13), "00056.000000\n");
    Calibration b;
    std::memset(&b, 0, sizeof b);
    ASSERT_EQ(applyCalibrationText(reinterpret_cast<const uint8_t*>(text.data()),
                                   len(bytes(text, false)), b),
              0);
    EXPECT_EQ(b.offset[9], 12.5);
    EXPECT_NEAR(b.gain[11], 0.248, 1e-6);

    Calibration c;
    defaultCalibration(c);
    auto write = [&c](const std::string& s, int n = -1) {
        return applyCalibrationText(reinterpret_cast<const uint8_t*>(s.data()),
                                    n < 0 ? static_cast<int>(s.size()) : n, c);
    };
    EXPECT_EQ(write("2117.5\n"), 0);
    EXPECT_EQ(c.gain[9], 7.5);
    EXPECT_EQ(write("5400.0\n"), -1) << "pair 24";
    EXPECT_EQ(write("71 0 3\n"), -1);
    EXPECT_EQ(write("000abc\n"), -1);
    EXPECT_EQ(write("000\n"), -1);
    // Only the payload's length counts: the rest of the buffer is not read.
    EXPECT_EQ(write("00099.0\nzzz", 8), 0);
    EXPECT_EQ(c.offset[0], 99.0);
    std::string withNul("00188.0\n", 8);
    withNul += std::string("\0zz", 3);
    EXPECT_EQ(write(withNul), 0);
    EXPECT_EQ(c.gain[0], 88.0);
}

TEST(ReadItems, SizesOfBothForms) {
    ReadSnapshot s;
    for (int k = 0; k < kSensors; ++k) {
        s.raw[k] = static_cast<uint8_t>(10 * k);
        s.values[k] = -0.5 + k * 0.03;
    }
    s.wrist = 1;
    std::string out;
    appendReadItem(1, false, s, out);
    EXPECT_EQ(out.size(), 24u);
    out.clear();
    appendReadItem(1, true, s, out);
    EXPECT_EQ(out.size(), 97u);
    EXPECT_EQ(out.substr(0, 8), "  0\n 10\n");
    out.clear();
    appendReadItem(2, false, s, out);
    ASSERT_EQ(out.size(), 192u);
    EXPECT_DOUBLE_EQ(RZ_GetDouble(out.data() + 8 * 23), s.values[23]);
    out.clear();
    appendReadItem(2, true, s, out);
    EXPECT_EQ(out.size(), 265u);
    EXPECT_EQ(out.substr(0, 11), " -0.500000\n");
    out.clear();
    for (int item = 3; item <= 6; ++item) {
        appendReadItem(item, false, s, out);
    }
    EXPECT_TRUE(out.empty());
    appendReadItem(7, false, s, out);
    EXPECT_EQ(out, std::string(1, '\1'));
}

TEST(ReadItems, HugeValuesMakeLongerText) {
    ReadSnapshot s;
    s.values[0] = -1e12;
    std::string out;
    appendReadItem(2, true, s, out);
    EXPECT_GT(out.size(), 265u) << "the reply must be checked against the caller's buffer";
}

TEST(Actuators, TextPairs) {
    uint8_t pairs[8];
    std::string t = "1 200\n2 0\n";
    EXPECT_EQ(parseActuatorText(reinterpret_cast<const uint8_t*>(t.data()), len(bytes(t, false)),
                                pairs, 4),
              2);
    EXPECT_EQ(pairs[1], 200);
    std::string bad = "1 300\n";
    EXPECT_EQ(parseActuatorText(reinterpret_cast<const uint8_t*>(bad.data()), 6, pairs, 4), -15);
    std::string many = "1 1\n1 1\n1 1\n";
    EXPECT_EQ(parseActuatorText(reinterpret_cast<const uint8_t*>(many.data()), 12, pairs, 2), -15);
}

TEST(Recovery, WindowsAfterTheReferenceTime) {
    EXPECT_EQ(recoveryAfterSilence(1000), Recovery::None);
    EXPECT_EQ(recoveryAfterSilence(3000), Recovery::None);
    EXPECT_EQ(recoveryAfterSilence(3001), Recovery::Reboot);
    EXPECT_EQ(recoveryAfterSilence(6000), Recovery::Reboot);
    EXPECT_EQ(recoveryAfterSilence(6001), Recovery::Restream);
    EXPECT_EQ(recoveryAfterSilence(7000), Recovery::Restream);
    EXPECT_EQ(recoveryAfterSilence(7001), Recovery::MoveReference);
    EXPECT_EQ(recoveryAfterSilence(3600000), Recovery::MoveReference);
}

TEST(Commands, ParameterAndMaskBytes) {
    uint8_t c[4];
    setParametersCommand(true, true, true, false, true, true, c);
    EXPECT_EQ(c[0], 'P');
    EXPECT_EQ(c[1], 6);
    EXPECT_EQ(c[2], 1 + 8 + 16);
    EXPECT_EQ(c[3], 0);
    setMaskCommand(0x00abcdef, c);
    EXPECT_EQ(c[0], 'M');
    EXPECT_EQ(c[1], 0xef);
    EXPECT_EQ(c[3], 0xab);
}

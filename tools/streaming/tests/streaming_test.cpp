// The streaming targets, received by real liblo servers on 127.0.0.1.

#include <gtest/gtest.h>
#include <lo/lo.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "handbinding.hpp"
#include "oscreceiver.hpp"
#include "streaming/handstream.hpp"
#include "streaming/vmc.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

streaming::Frame frameFor(int k, bool right, Clock::time_point t) {
    streaming::Frame f;
    f.name = "glove7";
    f.rightHand = right;
    f.received = t;
    for (int s = 0; s < streaming::kSensorCount; ++s)
        f.angles[s] = -0.01 * (k + 1) * (s + 1) / 4.0;
    return f;
}

TEST(StreamingOptions, TargetsAndNamesAreCheckedAndMadeSafe) {
    EXPECT_EQ(streaming::parseTarget("127.0.0.1:9000").port, "9000");
    EXPECT_EQ(streaming::parseTarget("[::1]:39539").host, "::1");
    for (const char* bad : {"", "9000", "host:", ":9000", "host:0", "host:70000", "host:9x", "[:1"})
        EXPECT_THROW(streaming::parseTarget(bad), std::invalid_argument) << bad;
    const std::pair<const char*, const char*> names[] = {
        {"left-glove 2", "left_glove_2"}, {"7up", "_7up"}, {"", "glove"}, {"ok_1", "ok_1"}};
    for (auto [in, out] : names)
        EXPECT_EQ(streaming::topicName(in), out);
}

TEST(StreamingOptions, RateKeepsToItsGridAndHoldsBackTheRest) {
    // 100 Hz input decimated to 30 Hz: 30 frames in a second, none closer than the period.
    streaming::Decimator d(30.0);
    const Clock::time_point t0{};
    int passed = 0;
    for (int k = 0; k < 100; ++k)
        passed += d.pass(t0 + k * 10ms) ? 1 : 0;
    EXPECT_EQ(passed, 30);
    streaming::Decimator all(0.0);
    EXPECT_TRUE(all.pass(t0) && all.pass(t0));
}

TEST(OscStream, EveryFrameArrivesInOrderWithItsValues) {
    Receiver receiver;
    streaming::StreamOptions options;
    options.osc = streaming::OscTarget{"127.0.0.1", receiver.port()};
    streaming::HandStream stream(options);
    constexpr int kFrames = 50;
    const auto t0 = Clock::now();
    for (int k = 0; k < kFrames; ++k)
        stream.send(frameFor(k, k % 2 == 0, t0 + k * 1ms));
    const auto got = receiver.take(kFrames);
    ASSERT_EQ(got.size(), size_t{kFrames});
    for (int k = 0; k < kFrames; ++k) {
        const auto want = frameFor(k, k % 2 == 0, t0);
        EXPECT_EQ(got[k].path, "/manuvia/glove");
        EXPECT_EQ(got[k].types, "ss" + std::string(streaming::kSensorCount, 'f'));
        ASSERT_EQ(got[k].strings.size(), 2u);
        EXPECT_EQ(got[k].strings[0], "glove7");
        EXPECT_EQ(got[k].strings[1], k % 2 == 0 ? "right" : "left");
        ASSERT_EQ(got[k].numbers.size(), size_t{streaming::kSensorCount});
        for (int s = 0; s < streaming::kSensorCount; ++s)
            EXPECT_FLOAT_EQ(got[k].numbers[s], want.angles[s]) << k << "/" << s;
    }
}

TEST(OscStream, GoesOnWhileTheReceiverComesAndGoes) {
    std::string port;
    {
        Receiver first;
        port = first.port();
    }
    streaming::StreamOptions options;
    options.osc = streaming::OscTarget{"127.0.0.1", port};
    options.rateHz = 1000.0;
    streaming::HandStream stream(options);
    const auto t0 = Clock::now();
    // Nobody listens: the frames are lost, the stream is not.
    for (int k = 0; k < 5; ++k)
        stream.send(frameFor(k, true, t0 + k * 2ms));
    Receiver back;
    streaming::StreamOptions again = options;
    again.osc->port = back.port();
    streaming::HandStream resumed(again);
    for (int k = 5; k < 10; ++k) {
        stream.send(frameFor(k, true, t0 + k * 2ms));
        resumed.send(frameFor(k, true, t0 + k * 2ms));
    }
    EXPECT_EQ(stream.sent(), 10);
    EXPECT_EQ(back.take(5).size(), 5u);
}

TEST(VmcStream, BonesCarryTheBindingsRotationsInUnityAxes) {
    Receiver receiver;
    streaming::StreamOptions options;
    options.vmc = streaming::OscTarget{"127.0.0.1", receiver.port()};
    streaming::HandStream stream(options);
    for (bool right : {true, false}) {
        const auto frame = frameFor(3, right, Clock::now() + (right ? 0s : 1s));
        stream.send(frame);
        // 16 bones and the OK message per frame.
        const auto got = receiver.take(right ? 17 : 34);
        ASSERT_EQ(got.size(), right ? 17u : 34u);
        Manuvia::HandBinding binding(right);
        double rotations[Manuvia::kJointCount][3];
        binding.evaluate(frame.angles, rotations);
        const std::string side = right ? "Right" : "Left";
        const std::pair<std::string, int> expected[] = {
            {side + "Hand", 0},          {side + "ThumbProximal", 1},
            {side + "ThumbDistal", 3},   {side + "IndexIntermediate", 6},
            {side + "MiddleDistal", 11}, {side + "RingProximal", 13},
            {side + "LittleDistal", 19}};
        const size_t base = right ? 0 : 17;
        for (const auto& [bone, row] : expected) {
            const Received* m = nullptr;
            for (size_t i = base; i < base + 16; ++i)
                if (got[i].strings.size() == 1 && got[i].strings[0] == bone)
                    m = &got[i];
            ASSERT_NE(m, nullptr) << bone;
            EXPECT_EQ(m->path, "/VMC/Ext/Bone/Pos");
            EXPECT_EQ(m->types, "sfffffff");
            const FBQuaternion q = Manuvia::eulerToQuaternion(rotations[row]);
            const auto& t = binding.restTranslation(row);
            // Back from Unity: X mirrored, metres to centimetres.
            EXPECT_NEAR(-m->numbers[0] * 100.0, t[0], 1e-4) << bone;
            EXPECT_NEAR(m->numbers[2] * 100.0, t[2], 1e-4) << bone;
            const double sign = (m->numbers[6] * q[3] < 0.0) ? -1.0 : 1.0;
            EXPECT_NEAR(m->numbers[3], sign * q[0], 1e-6) << bone;
            EXPECT_NEAR(-m->numbers[4], sign * q[1], 1e-6) << bone;
            EXPECT_NEAR(-m->numbers[5], sign * q[2], 1e-6) << bone;
            EXPECT_NEAR(m->numbers[6], sign * q[3], 1e-6) << bone;
        }
        EXPECT_EQ(got[base + 16].path, "/VMC/Ext/OK");
    }
}

TEST(HandBindingForTools, FollowsTheGloveOnlyWhereASensorIsBound) {
    // The mapping itself is checked against the plug-in's table in the device tests; here
    // that tools get the same hand: rest pose at zero angles, tips never move.
    for (bool right : {true, false}) {
        Manuvia::HandBinding binding(right);
        double zero[streaming::kSensorCount] = {};
        double bent[streaming::kSensorCount];
        for (double& a : bent)
            a = -0.5;
        double atRest[Manuvia::kJointCount][3];
        double moved[Manuvia::kJointCount][3];
        binding.evaluate(zero, atRest);
        binding.evaluate(bent, moved);
        for (int row = 0; row < Manuvia::kJointCount; ++row) {
            const bool tip = std::strstr(Manuvia::kJointTable[row].joint, "_NA") != nullptr;
            const bool same = std::memcmp(atRest[row], moved[row], sizeof atRest[row]) == 0;
            EXPECT_EQ(same, tip) << Manuvia::kJointTable[row].joint << (right ? " R" : " L");
        }
        EXPECT_NEAR(binding.restTranslation(13)[2], right ? -2.2 : 2.2, 1e-12);
    }
}

}  // namespace

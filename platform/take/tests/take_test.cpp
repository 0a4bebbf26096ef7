#include <gtest/gtest.h>

#include <sstream>

#include "takebvh.hpp"

namespace {

struct Sent {
    double host;
    int time[5];
};

// Records frames at the given times; angles and raw values follow the frame number.
std::string record(const std::vector<Sent>& frames, bool lostBeforeLast = false,
                   double finishAt = -1) {
    std::ostringstream out;
    take::Recorder r(out, false);
    for (std::size_t n = 0; n < frames.size(); ++n) {
        std::int32_t raw[take::kValues];
        double angles[take::kValues];
        for (int i = 0; i < take::kValues; ++i) {
            raw[i] = static_cast<std::int32_t>(16 * (n + i));
            angles[i] = -0.01 * static_cast<double>(n) - 1e-7 * i;
        }
        if (lostBeforeLast && n + 1 == frames.size())
            r.connectionLost();
        r.add(frames[n].host, frames[n].time, raw, angles);
    }
    r.finish(finishAt >= 0 ? finishAt : frames.back().host);
    return out.str();
}

TEST(Take, RoundTripKeepsEveryValueAndMarksHoles) {
    // 30 Hz: the fifth field steps by one; frame 3 comes 4 frames late.
    const std::string text = record({{0.00, {12, 0, 0, 0, 1}},
                                     {0.03, {12, 0, 0, 0, 2}},
                                     {0.20, {12, 0, 0, 0, 6}},
                                     {0.23, {12, 0, 0, 0, 7}}});
    std::istringstream in(text);
    take::Take t = take::readTake(in);
    ASSERT_EQ(t.frames.size(), 4u);
    EXPECT_FALSE(t.rightHand);
    EXPECT_EQ(t.frames[1].gapSeconds, 0.0);
    EXPECT_NEAR(t.frames[2].gapSeconds, 4.0 / 30.0, 1e-9);
    EXPECT_EQ(t.frames[3].gapSeconds, 0.0);
    EXPECT_EQ(t.endGapSeconds, 0.0);
    EXPECT_EQ(t.frames[3].raw[23], 16 * (3 + 23));
    EXPECT_EQ(t.frames[3].angles[5], -0.03 - 5e-7);  // exact: shortest round-trip text
    EXPECT_EQ(t.frames[2].time[4], 6);
    EXPECT_NE(text.find(take::columnLine()), std::string::npos);
}

TEST(Take, DroppedConnectionAndTrailingSilenceAreGaps) {
    // The glove's clock steps normally across the drop; the host waited 2 s for it.
    std::istringstream dropped(
        record({{0.0, {1, 2, 3, 0, 0}}, {0.033, {1, 2, 3, 0, 1}}, {2.1, {1, 2, 3, 0, 2}}}, true));
    take::Take t = take::readTake(dropped);
    EXPECT_NEAR(t.frames[2].gapSeconds, 2.1 - 0.033, 1e-9);

    std::istringstream silent(record({{0.0, {1, 2, 3, 0, 0}}}, false, 3.0));
    EXPECT_NEAR(take::readTake(silent).endGapSeconds, 3.0, 1e-9);
}

TEST(Take, BrokenFilesAreClearErrors) {
    const std::string good = record({{0.0, {1, 2, 3, 0, 0}}});
    const std::string header = good.substr(0, good.find(take::columnLine()));
    const std::string row = good.substr(good.find('\n', good.find(take::columnLine())) + 1);
    const struct {
        const char* name;
        std::string text;
        const char* message;
    } cases[] = {
        {"empty", "", "not a take file"},
        {"other csv", "a,b\n1,2\n", "not a take file"},
        {"no columns", header, "no column line"},
        {"wrong columns", header + "host_s,glove_s\n", "column names"},
        {"short row", header + take::columnLine() + "\n1,2,3\n", "expected 56 columns"},
        {"long row", header + take::columnLine() + "\n" + row.substr(0, row.size() - 1) + ",9\n",
         "expected 56 columns"},
        {"not a number", header + take::columnLine() + "\nx" + row, "is not a number"},
        {"endless line", header + std::string(10000, '1'), "too long"},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        try {
            take::readTake(in);
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const take::TakeError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << c.name << ": " << e.what();
        }
    }
    std::istringstream two(good + row);
    EXPECT_THROW(take::readTake(two, 1), take::TakeError);
    EXPECT_THROW(take::readTakeFile("/nonexistent/take.csv"), take::TakeError);
}

TEST(Take, BvhHasTheHandAndOneLinePerFrame) {
    std::istringstream in(
        record({{0.0, {1, 2, 3, 0, 0}}, {0.03, {1, 2, 3, 0, 1}}, {0.5, {1, 2, 3, 0, 16}}}));
    take::Take t = take::readTake(in);
    std::istringstream bvh(take::takeToBvh(t));
    take::BvhSummary b = take::readBvh(bvh);
    ASSERT_EQ(b.joints.size(), 21u);
    EXPECT_EQ(b.joints.front(), "palm");
    EXPECT_EQ(b.joints[1], "thumbA");
    EXPECT_EQ(b.joints.back(), "littleD");
    EXPECT_EQ(b.channels.front(), 6);
    for (std::size_t j = 1; j < b.channels.size(); ++j)
        EXPECT_EQ(b.channels[j], 3) << b.joints[j];
    // Received frames only: the hole before the third is not padded.
    EXPECT_EQ(b.framesDeclared, 3);
    EXPECT_EQ(b.frameLines, 3);
    EXPECT_NEAR(b.frameTime, 1.0 / 30.0, 1e-12);
}

}  // namespace

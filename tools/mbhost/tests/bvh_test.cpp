// The take file of mbhost: what other tools read back, and takes it refuses to write.

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "bvh.hpp"
#include "bvhreader.hpp"

using namespace mbhost;

namespace {

// palm -> a -> tip, and palm -> b.
BvhTake smallTake() {
    BvhTake take;
    take.joints = {{"palm", -1, {0, 0, 0}, false},
                   {"a", 0, {3.4, 1, -2.5}, false},
                   {"tip", 1, {2, 0, 0}, true},
                   {"b", 0, {10, 0, 0}, true}};
    take.frameTime = 1.0 / 60.0;
    for (int f = 0; f < 3; ++f) {
        std::vector<double> v = {0.5, -1, 2};
        for (int j = 0; j < 4; ++j)
            for (int axis = 0; axis < 3; ++axis)
                v.push_back(100 * f + 10 * j + axis);  // x ends in 0, y in 1, z in 2
        take.frames.push_back(v);
    }
    return take;
}

}  // namespace

TEST(Bvh, ChannelsListTheLastAppliedAxisFirstAndValuesFollowThem) {
    struct Case {
        const char* applied;
        const char* channels[3];
        int axis[3];
    } cases[] = {{"XYZ", {"Zrotation", "Yrotation", "Xrotation"}, {2, 1, 0}},
                 {"ZXY", {"Yrotation", "Xrotation", "Zrotation"}, {1, 0, 2}}};
    for (const Case& c : cases) {
        bvhtest::Motion m = bvhtest::readBvh(writeBvh(smallTake(), c.applied));
        ASSERT_EQ(m.joints.size(), 4u);
        EXPECT_EQ(m.channelCount, 6 + 3 * 3);
        EXPECT_EQ(m.joints[0].channels.size(), 6u);
        EXPECT_EQ(m.joints[0].channels[0], "Xposition");
        EXPECT_EQ(m.joints[2].parent, 1);
        EXPECT_EQ(m.joints[3].parent, 0);
        EXPECT_TRUE(m.joints[2].endSite);
        EXPECT_EQ(m.joints[2].endOffset[0], 0.0);
        EXPECT_FALSE(m.joints[1].endSite);
        EXPECT_DOUBLE_EQ(m.joints[1].offset[2], -2.5);
        EXPECT_DOUBLE_EQ(m.frameTime, 1.0 / 60.0) << "the frame time reads back exactly";
        ASSERT_EQ(m.frames.size(), 3u);
        EXPECT_DOUBLE_EQ(m.frames[2][0], 0.5);
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(m.joints[1].channels[static_cast<std::size_t>(k)], c.channels[k]);
            // Frame 2, joint 1 ("a"), written after the root's six channels.
            EXPECT_DOUBLE_EQ(m.frames[2][static_cast<std::size_t>(6 + k)], 210 + c.axis[k])
                << c.applied;
        }
    }
}

TEST(Bvh, RefusesWhatIsNotOneTreeOrNotFinite) {
    auto broken = [](auto change) {
        BvhTake take = smallTake();
        change(take);
        return take;
    };
    const BvhTake cases[] = {
        broken([](BvhTake& t) { t.joints[3].parent = -1; }),  // two roots
        broken([](BvhTake& t) { t.joints[1].parent = 2; }),   // a cycle off the root
        broken([](BvhTake& t) { t.joints[2].parent = 9; }),
        broken([](BvhTake& t) { t.joints[1].name = "Thumb MCJ"; }),
        broken([](BvhTake& t) { t.frames[1].pop_back(); }),
        broken([](BvhTake& t) { t.frames[0][4] = std::numeric_limits<double>::quiet_NaN(); }),
        broken([](BvhTake& t) { t.frameTime = 0; }),
    };
    for (const BvhTake& take : cases)
        EXPECT_THROW(writeBvh(take), std::invalid_argument);
    EXPECT_THROW(writeBvh(smallTake(), "XYX"), std::invalid_argument);
}

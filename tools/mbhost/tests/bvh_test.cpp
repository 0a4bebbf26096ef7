// The take and scene files of mbhost: what other tools read back, and hostile scene files.

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "bvh.hpp"
#include "bvhreader.hpp"
#include "scenefile.hpp"

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

std::string manyValues(int n) {
    std::string text = "1";
    for (int i = 1; i < n; ++i)
        text += ", 1";
    return text;
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

TEST(SceneFile, FieldsRoundTripThroughAFile) {
    std::vector<SceneField> fields = {
        {"Version", {100}},
        {"Configuration", {std::string("Simulated"), std::string("Right \"Glove\"\\\n")}},
        {"Mixed", {-7, 0.25, std::string()}},
        {"Empty", {}}};
    std::string path = ::testing::TempDir() + "mbhost-scene-roundtrip.txt";
    saveSceneFile(path, fields);
    std::vector<SceneField> back = loadSceneFile(path);
    ASSERT_EQ(back.size(), fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        EXPECT_EQ(back[i].name, fields[i].name);
        EXPECT_EQ(back[i].values, fields[i].values) << fields[i].name;
    }
}

TEST(SceneFile, MalformedOrTruncatedScenesAreRefusedWithTheLine) {
    const struct {
        std::string text;
        const char* message;
    } cases[] = {
        {"", "empty file"},
        {"ManuviaScene: 2\n", "line 1: not a scene file"},
        {"\x7f"
         "ELF\n",
         "line 1: not a scene file"},
        {"ManuviaScene: 1\nVersion: 100", "line 2: truncated"},
        {"ManuviaScene: 1\nVersion 100\n", "line 2: expected a field name and ':'"},
        {"ManuviaScene: 1\nVersion: 100\nConfiguration: \"Sim\n", "line 3: a text is not closed"},
        {"ManuviaScene: 1\nConfiguration: \"Sim\" \"Glove\"\n", "line 2: expected ','"},
        {"ManuviaScene: 1\nConfiguration: \"Sim\",\n", "line 2: a value is missing"},
        {"ManuviaScene: 1\nVersion: 99999999999\n", "line 2: '99999999999' is not an integer"},
        {"ManuviaScene: 1\nVersion: 1e999\n", "line 2: '1e999' is not a finite real"},
        {"ManuviaScene: 1\nC: \"a\\q\"\n", "line 2: unknown escape"},
        {"ManuviaScene: 1\nC: \"" + std::string(5000, 'x') + "\"\n", "line 2: a text is longer"},
        {"ManuviaScene: 1\nC: " + manyValues(300) + "\n", "line 2: more than 256 values"},
        {"ManuviaScene: 1\n" + std::string(2u << 20, '\n'), "larger than"},
    };
    for (const auto& c : cases) {
        try {
            readScene(c.text);
            ADD_FAILURE() << "accepted: " << c.text.substr(0, 60);
        } catch (const SceneError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u)
                << e.what() << " / wanted " << c.message;
        }
    }
    EXPECT_THROW(loadSceneFile("/nonexistent/scene.txt"), SceneError);
}

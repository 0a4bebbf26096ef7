// The forcesim plug-in loaded by the real core, opened as the device library opens it: the
// arm follows its pose script, the exoskeleton keeps its force packets.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "devicemanager/rzclient.h"
#include "forcesim/posescript.hpp"
#include "testsupport/tempdir.hpp"

namespace {

using forcesim::PoseScript;

struct ScriptCase {
    const char* text;
    bool valid;
};

TEST(PoseScript, AcceptsOnlyWellFormedScripts) {
    const ScriptCase cases[] = {
        {"", true},
        {"# rest\n\n0 1 2 3 4 5 6\n", true},
        {"0 0 0 0 0 0 0\n1.5 1 1 1 0 0 0 # comment\n", true},
        {"0 1 2 3 4 5\n", false},                   // six numbers
        {"0 1 2 3 4 5 6 7\n", false},               // eight
        {"0 1 2 x 4 5 6\n", false},                 // not a number
        {"1 0 0 0 0 0 0\n", false},                 // first key not at 0
        {"0 0 0 0 0 0 0\n0 1 1 1 1 1 1\n", false},  // time not increasing
        {"0 nan 0 0 0 0 0\n", false},
    };
    for (const ScriptCase& c : cases) {
        PoseScript s;
        std::string error;
        EXPECT_EQ(s.parse(c.text, error), c.valid) << c.text;
        EXPECT_EQ(error.empty(), c.valid) << c.text;
    }
}

TEST(PoseScript, InterpolatesAndRepeats) {
    PoseScript s;
    std::string error;
    ASSERT_TRUE(s.parse("0 0 0 0 0 0 0\n2 10 -4 2 90 0 30\n4 0 0 0 0 0 0\n", error));
    const struct {
        double t, x, azimuth;
    } rows[] = {{0, 0, 0}, {1, 5, 45}, {2, 10, 90}, {3, 5, 45}, {5, 5, 45}, {6, 10, 90}};
    for (const auto& r : rows) {
        double pose[6];
        s.poseAt(r.t, pose);
        EXPECT_NEAR(pose[0], r.x, 1e-9) << r.t;
        EXPECT_NEAR(pose[3], r.azimuth, 1e-9) << r.t;
    }
}

class ForceSim : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_GE(RZ_LoadPlugins(nullptr), 1); }
    void TearDown() override {
        for (RzDeviceHandle h : handles)
            RZ_DeviceClose(h);
    }
    RzDeviceHandle open(const std::string& device, const char* type) {
        RzDeviceHandle h = RZ_DeviceOpen("server=localhost:port=", device.c_str(), type);
        if (h != 0)
            handles.push_back(h);
        return h;
    }
    std::string write(const char* name, const std::string& text) {
        std::string path = dir + name;
        std::ofstream(path) << text;
        return path;
    }
    testsupport::TempDir temp{"manuvia-forcesim"};
    std::string dir = temp.path();
    std::vector<RzDeviceHandle> handles;
};

TEST_F(ForceSim, ArmFollowsItsScriptAndTakesAnOffset) {
    // Held still, so the read-out does not depend on when it happens.
    std::string script = write("/pose.txt", "0 4 5 6 10 20 30\n");
    RzDeviceHandle arm = open("fsimA:baudrate=0:script=" + script, "kortavel");
    ASSERT_NE(arm, 0u) << RZ_ErrorName(RZ_GetLastError());
    unsigned char buf[1024];
    int len = 0;
    ASSERT_EQ(RZ_DeviceControl(arm, 15, 1, buf, &len, sizeof buf), 0);
    ASSERT_EQ(len, 49);
    EXPECT_EQ(buf[0], 1);
    const double raw[6] = {4, 5, 6, 10, 20, 30};
    for (int k = 0; k < 6; ++k)
        EXPECT_DOUBLE_EQ(RZ_GetDouble(buf + 1 + 8 * k), raw[k]);

    const char offset[] = "1 1.000000 2.000000 3.000000\n";
    EXPECT_EQ(RZ_DeviceControlSet(arm, 20, 129, offset, sizeof offset - 1), 0);
    len = 0;
    ASSERT_EQ(RZ_DeviceControl(arm, 15, 2, buf, &len, sizeof buf), 0);
    EXPECT_DOUBLE_EQ(RZ_GetDouble(buf + 1), 3.0);
    EXPECT_DOUBLE_EQ(RZ_GetDouble(buf + 17), 3.0);
    EXPECT_DOUBLE_EQ(RZ_GetDouble(buf + 25), 10.0) << "angles are not offset";

    len = 0;
    ASSERT_EQ(RZ_DeviceControl(arm, 19, 1, buf, &len, sizeof buf), 0);
    EXPECT_EQ(len, 25);
    const char* bad[] = {"1 1 2\n", "7 1 2 3\n", "1 1 2 3 junk\n"};
    for (const char* text : bad)
        EXPECT_EQ(RZ_DeviceControlSet(arm, 20, 129, text, static_cast<int>(strlen(text))), -15)
            << text;
}

TEST_F(ForceSim, GraspKeepsTheLastPacketSharedWithTheArm) {
    std::string dump = dir + "/forces.bin";
    RzDeviceHandle arm = open("fsimB:baudrate=0:dump=" + dump, "kortavel");
    RzDeviceHandle grasp = open("fsimB:baudrate=0", "vexagrasp");
    ASSERT_NE(arm, 0u);
    ASSERT_NE(grasp, 0u);
    std::vector<unsigned char> packet(3953);
    for (size_t i = 0; i < packet.size(); ++i)
        packet[i] = static_cast<unsigned char>(i * 7);
    int len = static_cast<int>(packet.size());
    ASSERT_EQ(RZ_DeviceControl(grasp, 16, 2, packet.data(), &len, len), 0);
    len = 100;
    EXPECT_EQ(RZ_DeviceControl(grasp, 16, 2, packet.data(), &len, 3953), -15) << "short packet";

    std::vector<unsigned char> back(4096);
    len = 0;
    ASSERT_EQ(RZ_DeviceControl(arm, 15, 16, back.data(), &len, 4096), 0) << "one shared unit";
    ASSERT_EQ(len, 3953);
    back.resize(3953);
    EXPECT_EQ(back, packet);
    std::ifstream in(dump, std::ios::binary);
    std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(file, packet);
}

TEST_F(ForceSim, BadOrMissingScriptRefusesTheDevice) {
    std::string script = write("/pose.txt", "0 1 2 3\n");
    EXPECT_EQ(open("fsimC:script=" + script, "kortavel"), 0u);
    EXPECT_EQ(RZ_GetLastError(), -52);
    EXPECT_EQ(open("fsimD:script=" + dir + "/none.txt", "kortavel"), 0u);
    EXPECT_EQ(RZ_GetLastError(), -48);
}

}  // namespace

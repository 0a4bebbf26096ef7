#include "devices/rzidmconnection.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devicemanager/rzcore.h"
#include "devices/exceptions.hpp"
#include "devices/vexaglove.hpp"
#include "devices/vexagrasp.hpp"
#include "devices/vexatouch.hpp"

using namespace Devices;

TEST(RzidmSettings, NumbersAsUnsignedDecimalAndZeroAsEmpty) {
    char text[RzidmConnection::kFieldSize];
    RzidmConnection::numberText(0, text);
    EXPECT_STREQ(text, "");
    RzidmConnection::numberText(115200, text);
    EXPECT_STREQ(text, "115200");
    RzidmConnection::numberText(7, text);
    EXPECT_STREQ(text, "7");
    RzidmConnection::numberText(-1, text);
    EXPECT_STREQ(text, "4294967295");
    RzidmConnection::numberText(-2147483647 - 1, text);
    EXPECT_STREQ(text, "2147483648");
}

TEST(RzidmSettings, UrlsAndTheTouchGloveType) {
    RzidmConnection c;
    c.setServerAddress("localhost");
    c.setServerPort(0);
    c.setSerialPort("/dev/ttyUSB0");
    c.setBaudRate(0);
    c.setTypeName("vexatouch");
    EXPECT_EQ(c.serverUrl(), "server=localhost:port=");
    EXPECT_EQ(c.deviceUrl(), "/dev/ttyUSB0:baudrate=");
    EXPECT_EQ(c.openTypeName(), "vexaglove");
    c.setServerPort(3884);
    c.setBaudRate(57600);
    c.setTypeName("flock");
    EXPECT_EQ(c.serverUrl(), "server=localhost:port=3884");
    EXPECT_EQ(c.deviceUrl(), "/dev/ttyUSB0:baudrate=57600");
    EXPECT_EQ(c.openTypeName(), "flock");
    EXPECT_STREQ(c.getAddress(), "localhost");
    EXPECT_EQ(c.getType(), kDeviceManagerConnection);
}

TEST(RzidmSettings, TextsBeyondTheirFieldAreRefusedNotCut) {
    RzidmConnection c;
    const std::string path(255, 'p');  // device paths: exactly 255 fit
    c.setSerialPort(path.c_str());
    EXPECT_EQ(c.getSerialPort(), path);
    EXPECT_THROW(c.setSerialPort((path + "q").c_str()), X_FailedConnection);
    EXPECT_EQ(c.getSerialPort(), path) << "the field is untouched";
    EXPECT_THROW(c.setServerAddress(std::string(256, 'h').c_str()), X_FailedConnection);
    c.setDeviceName("12345678901234567890");  // names: exactly 20 fit
    EXPECT_THROW(c.setDeviceName("DeviceNameThatIsTooLong"), X_FailedConnection);
    EXPECT_THROW(c.setTypeName("vexaglovevexaglovevexa"), X_FailedConnection);
    c.setTypeName(nullptr);
    EXPECT_STREQ(c.getTypeName(), "") << "null is ignored";
}

TEST(RzidmSettings, UnconnectedCallsDoNothing) {
    RzidmConnection c;
    VexaTouch touch(&c);
    EXPECT_NO_THROW(c.update(false));
    EXPECT_NO_THROW(c.update(true));
    EXPECT_NO_THROW(c.sendSettings());
    EXPECT_NO_THROW(c.sendVibration(0, 1.0));
    EXPECT_NO_THROW(touch.vibrate(0, 1.0));
    EXPECT_FALSE(c.isLeftHand());
    EXPECT_DOUBLE_EQ(touch.getLastSent(0), 0.0);
    EXPECT_NO_THROW(c.disconnect());
    EXPECT_EQ(c.getHandle(), 0u);
}

namespace {

double at(const std::vector<unsigned char>& p, int offset) {
    return RZ_GetDouble(p.data() + offset);
}

}  // namespace

TEST(GraspPacket, LayoutByteByByte) {
    VexaGrasp grasp(nullptr);
    kpxContactPatch patches[VexaGrasp::kPatchCount];
    for (int k = 0; k < VexaGrasp::kPatchCount; ++k) {
        patches[k].setStiffness(100.0 + k);
        patches[k].setDamping(0.5 * k);
        patches[k].setDepth(-0.001 * k);
        patches[k].setPoint(k, k + 0.25, k + 0.5);
        patches[k].setNormal(0, 0, k % 2 ? 1 : -1);
    }
    patches[1].setFlag(0, 1);  // in contact: 2
    patches[1].setFlag(1, 1);
    patches[2].setFlag(0, 1);  // second flag clear: 2 + 8
    patches[3].setFlag(1, 1);  // first clear: 6
    grasp.setContactPatches(patches);

    VexaGrasp::ForceRecord& r0 = grasp.forceRecord(0);
    r0.entryCount = 2;
    r0.entries[0].first[0] = 0.1;
    r0.entries[0].first[1] = 0.2;
    r0.entries[0].first[2] = 0.3;
    r0.entries[0].second[0] = 4;
    r0.entries[0].second[1] = 5;
    r0.entries[0].second[2] = 6;
    r0.entries[0].force = 9.5;
    r0.entries[1].flags[0] = 1;
    r0.entries[1].flags[1] = 1;
    r0.summary = 3.0;
    grasp.forceRecord(5).summary = 7.25;
    grasp.forceRecord(6).entryCount = 1;
    grasp.forceRecord(6).entries[0].flags[1] = 1;

    std::vector<unsigned char> p(RzidmConnection::kGraspPacketSize + 16, 0xEE);
    RzidmConnection::buildGraspPacket(grasp, p.data());
    for (int i = RzidmConnection::kGraspPacketSize; i < static_cast<int>(p.size()); ++i)
        ASSERT_EQ(p[i], 0xEE) << "written past the packet at " << i;

    // Contact patches, 74 bytes each from 0.
    for (int k = 0; k < 16; ++k) {
        int b = 74 * k;
        EXPECT_EQ(p[b], k);
        EXPECT_DOUBLE_EQ(at(p, b + 2), 100.0 + k);
        EXPECT_DOUBLE_EQ(at(p, b + 10), 0.5 * k);
        EXPECT_DOUBLE_EQ(at(p, b + 18), -0.001 * k);
        EXPECT_DOUBLE_EQ(at(p, b + 26), k);
        EXPECT_DOUBLE_EQ(at(p, b + 34), k + 0.25);
        EXPECT_DOUBLE_EQ(at(p, b + 42), k + 0.5);
        EXPECT_DOUBLE_EQ(at(p, b + 50), 0);
        EXPECT_DOUBLE_EQ(at(p, b + 66), k % 2 ? 1 : -1);
    }
    EXPECT_EQ(p[1], 14) << "both flags clear: 2 + 4 + 8";
    EXPECT_EQ(p[74 + 1], 2);
    EXPECT_EQ(p[148 + 1], 10);
    EXPECT_EQ(p[222 + 1], 6);

    EXPECT_EQ(p[1184], 10);
    EXPECT_DOUBLE_EQ(at(p, 1185), 7.25) << "largest summary";
    EXPECT_DOUBLE_EQ(at(p, 1193), 1.0);

    // Force records, 172 bytes each from 1201; entries of 57 bytes after the index.
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(p[1201 + 172 * k], k);
    int e0 = 1201 + 1;
    EXPECT_EQ(p[e0], 1);
    EXPECT_DOUBLE_EQ(at(p, e0 + 1), 0.1);
    EXPECT_DOUBLE_EQ(at(p, e0 + 17), 0.3);
    EXPECT_DOUBLE_EQ(at(p, e0 + 25), 4);
    EXPECT_DOUBLE_EQ(at(p, e0 + 41), 6);
    EXPECT_DOUBLE_EQ(at(p, e0 + 49), 9.5);
    int e1 = e0 + 57;
    EXPECT_EQ(p[e1], 7) << "3 for the first flag, plus 4 for the second";
    EXPECT_DOUBLE_EQ(at(p, e1 + 1), 1.0) << "default first vector (1, 0, 0)";
    EXPECT_DOUBLE_EQ(at(p, e1 + 25), 1e8);
    int e2 = e1 + 57;
    EXPECT_EQ(p[e2], 0) << "beyond the entry count: unused";
    const double unused[7] = {-1, 0, 0, 1e8, 1e8, 1e8, 1e8};
    for (int c = 0; c < 7; ++c)
        EXPECT_DOUBLE_EQ(at(p, e2 + 1 + 8 * c), unused[c]);
    EXPECT_EQ(p[1201 + 172 * 6 + 1], 5) << "1 plus 4 for the second flag";
    EXPECT_EQ(p[1201 + 172 * 1 + 1], 0) << "entry count -1: nothing used";
}

TEST(GraspPacket, NoPatchesAndNegativeSummaries) {
    VexaGrasp grasp(nullptr);
    for (int k = 0; k < 16; ++k)
        grasp.forceRecord(k).summary = -5.0 - k;
    std::vector<unsigned char> p(RzidmConnection::kGraspPacketSize);
    RzidmConnection::buildGraspPacket(grasp, p.data());
    EXPECT_DOUBLE_EQ(at(p, 1185), 0.0) << "all below 0 gives 0";
    EXPECT_EQ(p[74 * 3], 3);
    EXPECT_EQ(p[74 * 3 + 1], 14);
    EXPECT_DOUBLE_EQ(at(p, 74 * 3 + 2), 0.0);
}

TEST(DevicePairing, EitherSideMayGoFirst) {
    auto* c = new RzidmConnection();
    VexaTouch touch(c);
    EXPECT_EQ(c->getDevice(), &touch);
    delete c;
    EXPECT_EQ(touch.getConnection(), nullptr);
    EXPECT_FALSE(touch.isConnected());
    EXPECT_NO_THROW(touch.update(false));
    EXPECT_EQ(touch.getAddress(), nullptr);

    RzidmConnection c2;
    {
        VexaGlove glove(&c2);
        EXPECT_EQ(c2.getDevice(), &glove);
    }
    EXPECT_EQ(c2.getDevice(), nullptr);
    EXPECT_NO_THROW(c2.update(false));
}

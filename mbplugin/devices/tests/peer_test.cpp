// The device-manager connection against devicepeer, a plug-in of the tests that answers
// with complete, short, cut and garbled replies and logs what it is sent.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "devicemanager/rzclient.h"
#include "devices/exceptions.hpp"
#include "devices/rzidmconnection.hpp"
#include "devices/tracker.hpp"
#include "devices/vexaglove.hpp"
#include "devices/vexagrasp.hpp"
#include "devices/vexatouch.hpp"
#include "registry/registry.hpp"
#include "testsupport.hpp"

using namespace Devices;
using testsupport::readFile;
using testsupport::TempDir;

namespace {

#ifdef DEVICEPEER_PATH
// Loads the project's plug-ins and devicepeer from one folder of links, before any test
// makes the core load its default folder.
class PeerPlugins : public ::testing::Environment {
  public:
    void SetUp() override {
        char folder[1024];
        if (RZ_GetPluginFolder(folder, sizeof folder) < 0)
            return;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
            if (entry.path().extension() == ".so")
                std::filesystem::create_symlink(
                    entry.path(), m_dir.path() + "/" + entry.path().filename().string(), ec);
        std::filesystem::create_symlink(DEVICEPEER_PATH, m_dir.path() + "/devicepeer.so", ec);
        RZ_LoadPlugins(m_dir.path().c_str());
    }

  private:
    TempDir m_dir;
};

[[maybe_unused]] auto* const g_plugins = ::testing::AddGlobalTestEnvironment(new PeerPlugins);
#endif

std::string what(auto&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

struct Logged {
    int message;
    int argcode;
    int length;
    std::string payload;  // up to 64 bytes
};

// What the peer instance behind the connection was sent since the last call.
std::vector<Logged> sentLog(RzidmConnection& c) {
    std::vector<unsigned char> buf(60000);
    int len = 0;
    int r = RZ_DeviceControl(c.getHandle(), 21, 0, buf.data(), &len, static_cast<int>(buf.size()));
    std::vector<Logged> out;
    if (r < 0)
        return out;
    int at = 0;
    while (at + 4 <= len) {
        Logged l{buf[at], buf[at + 1], buf[at + 2] << 8 | buf[at + 3], {}};
        int kept = l.length < 64 ? l.length : 64;
        l.payload.assign(reinterpret_cast<char*>(buf.data()) + at + 4,
                         static_cast<std::size_t>(kept));
        out.push_back(l);
        at += 4 + kept;
    }
    return out;
}

RzidmConnection* peer(const char* name) {
    auto* c = new RzidmConnection();
    c->setSerialPort(name);
    c->setTypeName("devicepeer");
    return c;
}

class Peer : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef DEVICEPEER_PATH
        GTEST_SKIP() << "the devicepeer test plug-in needs the plug-in frame in this build";
#else
        ASSERT_TRUE(testsupport::pluginLoaded("devicepeer"));
#endif
    }
};

}  // namespace

TEST_F(Peer, CompleteCalibrationIsReadAndSavedOnConnect) {
    TempDir dir;
    std::string path = dir.write("reg.json", R"({"Glove": {}})");
    rziRegistry reg;
    reg.load(path.c_str());
    for (const char* name : {"full", "minus12"}) {
        RzidmConnection* c = peer(name);
        {
            VexaGlove glove(c);
            glove.setRegistryKey(reg.getRoot()->getKey("Glove"));
            glove.connect();
            ASSERT_TRUE(glove.isConnected());
            EXPECT_TRUE(glove.isCalibrated()) << name;
            EXPECT_DOUBLE_EQ(glove.getOffset(7), 57.0)
                << "sensor 7 has an offset from the hardware";
            EXPECT_DOUBLE_EQ(glove.getGain(22), 0.023);
            glove.disconnect();
        }
        delete c;
    }
    rziRegistry saved;
    saved.load(path.c_str());
    rziRegistryKey* calib = saved.getRoot()->getKey("Glove")->getKey("Calibration");
    ASSERT_NE(calib, nullptr);
    ASSERT_EQ(calib->getValueCount(), 46);
    EXPECT_DOUBLE_EQ(calib->getValue(3)->getDouble(), 53.0);
    EXPECT_DOUBLE_EQ(calib->getValue(23 + 3)->getDouble(), 0.004);
}

TEST_F(Peer, ShortCutGarbledOrRefusedCalibrationLeavesTheGloveUncalibrated) {
    TempDir dir;
    std::string path = dir.write("reg.json", R"({"Glove": {}})");
    rziRegistry reg;
    reg.load(path.c_str());
    for (const char* name : {"short", "cutmid", "garbled", "negative"}) {
        RzidmConnection* c = peer(name);
        {
            VexaGlove glove(c);
            glove.setRegistryKey(reg.getRoot()->getKey("Glove"));
            if (std::string(name) == "negative") {
                // A refused read fails the connect and closes the glove again.
                EXPECT_EQ(what([&] { glove.connect(); }), "RZERR_DEVICE_NOT_READY");
                EXPECT_FALSE(glove.isConnected());
                EXPECT_EQ(c->getHandle(), 0u);
                EXPECT_FALSE(glove.isCalibrated());
                EXPECT_DOUBLE_EQ(glove.getGain(0), 0.01);
                delete c;
                continue;
            }
            glove.connect();
            ASSERT_TRUE(glove.isConnected()) << name;
            EXPECT_FALSE(glove.isCalibrated()) << name;
            EXPECT_DOUBLE_EQ(glove.getOffset(0), 0.0)
                << name << ": nothing taken from a partial reply";
            EXPECT_DOUBLE_EQ(glove.getGain(0), 0.01) << name;
            std::string err = what([&] { glove.calibrateFromHardware(); });
            EXPECT_EQ(err, std::string(name) == "negative"
                               ? "RZERR_DEVICE_NOT_READY"
                               : "Incomplete calibration from the hardware");
            EXPECT_FALSE(glove.isCalibrated());
            glove.disconnect();
        }
        delete c;
    }
    EXPECT_EQ(readFile(path), R"({"Glove": {}})") << "nothing saved to the registry";
}

TEST_F(Peer, GloveKeepsTwentyFourValuesAndReadsItsSwitch) {
    RzidmConnection* c = peer("full");
    {
        VexaGlove glove(c);
        glove.setHasSwitch(true);
        glove.connect();
        glove.update(false);
        for (int s = 0; s < 24; ++s)
            EXPECT_DOUBLE_EQ(glove.getSensorValue(s), 0.01 * s);
        EXPECT_TRUE(glove.getSwitch());
        EXPECT_FALSE(glove.isLeftHand());
        glove.disconnect();
    }
    delete c;
    RzidmConnection* l = peer("left");
    {
        VexaGlove glove(l);
        glove.connect();
        EXPECT_TRUE(glove.isLeftHand());
        glove.disconnect();
    }
    delete l;
    RzidmConnection* n = peer("negative");
    {
        VexaGlove glove(n);
        double zero[23] = {};
        glove.setCalibration(zero, zero);  // calibrated: connect reads no calibration
        glove.connect();
        EXPECT_EQ(what([&] { glove.update(false); }), "RZERR_DEVICE_NOT_READY");
        glove.disconnect();
    }
    delete n;
}

TEST_F(Peer, GloveCalibrationIsSentAsFortyFiveTextLines) {
    RzidmConnection* c = peer("full");
    {
        VexaGlove glove(c);
        glove.connect();
        sentLog(*c);
        glove.sendSettings();
        std::vector<Logged> log = sentLog(*c);
        ASSERT_EQ(log.size(), 45u) << "23 gains, 22 offsets";
        for (const Logged& l : log) {
            EXPECT_EQ(l.message, 20);
            EXPECT_EQ(l.argcode, 129);
            EXPECT_EQ(l.length, static_cast<int>(l.payload.size()));
        }
        EXPECT_EQ(log[0].payload, "001" + std::to_string(0.001).substr(0, 8) + "\n");
        EXPECT_EQ(log[1].payload, "00050.000000\n");
        // Sensor 7 (finger 1, joint 3): a gain, no offset; sensor 23 (5, 3): nothing.
        EXPECT_EQ(log[14].payload.substr(0, 3), "131");
        EXPECT_EQ(log[15].payload.substr(0, 3), "201");
        EXPECT_EQ(log[16].payload.substr(0, 3), "200");
        EXPECT_EQ(log.back().payload.substr(0, 3), "520");
        for (const Logged& l : log)
            EXPECT_NE(l.payload.substr(0, 2), "53");
        glove.disconnect();
    }
    delete c;
}

TEST_F(Peer, VibrationPairsAndTheGraspPacket) {
    RzidmConnection* c = peer("full");
    {
        VexaTouch touch(c);
        touch.connect();
        sentLog(*c);
        for (int a = 0; a < 6; ++a)
            touch.setLevel(a, a / 5.0);
        touch.setLevel(5, 7.0);  // held to full
        touch.update(true);
        touch.vibrate(3, 0.5);
        touch.vibrate(9, 1.0);  // no such actuator
        std::vector<Logged> log = sentLog(*c);
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].message, 16);
        EXPECT_EQ(log[0].argcode, 1);
        ASSERT_EQ(log[0].length, 12);
        const unsigned char expected[12] = {0, 0, 1, 51, 2, 102, 3, 153, 4, 204, 5, 255};
        EXPECT_EQ(0, std::memcmp(log[0].payload.data(), expected, 12));
        ASSERT_EQ(log[1].length, 2);
        EXPECT_EQ(static_cast<unsigned char>(log[1].payload[0]), 3);
        EXPECT_EQ(static_cast<unsigned char>(log[1].payload[1]), 127);
        EXPECT_DOUBLE_EQ(touch.getLastSent(3), 0.6);
        touch.update(false);
    }
    // The touch glove stopped its six actuators on the way out.
    std::vector<Logged> stop = sentLog(*c);
    ASSERT_EQ(stop.size(), 6u);
    for (int a = 0; a < 6; ++a) {
        EXPECT_EQ(static_cast<unsigned char>(stop[a].payload[0]), a);
        EXPECT_EQ(static_cast<unsigned char>(stop[a].payload[1]), 0);
    }
    c->disconnect();
    delete c;

    RzidmConnection* g = peer("full");
    {
        VexaGrasp grasp(g);
        grasp.connect();
        sentLog(*g);
        grasp.update(true);  // nothing
        grasp.update(false);
        std::vector<Logged> log = sentLog(*g);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].message, 16);
        EXPECT_EQ(log[0].argcode, 2);
        EXPECT_EQ(log[0].length, 3953);
        grasp.disconnect();
    }
    delete g;
}

TEST_F(Peer, OversizedVibrationReplyIsAnErrorWithinTheBuffer) {
    // The plug-in fills whatever capacity it is given: the core must be told the real one.
    RzidmConnection* c = peer("oversize");
    {
        VexaTouch touch(c);
        touch.connect();
        EXPECT_EQ(what([&] { touch.vibrate(3, 0.5); }), "RZERR_MESSAGE_TOO_LARGE");
        EXPECT_EQ(what([&] { touch.update(true); }), "RZERR_MESSAGE_TOO_LARGE");
    }
    c->disconnect();
    delete c;
}

TEST_F(Peer, TrackerRecordsOffsetsAndSetUp) {
    RzidmConnection* c = peer("trk");
    {
        Tracker tracker(c, kFlock);
        tracker.connect();
        tracker.update(false);
        EXPECT_DOUBLE_EQ(tracker.data().corrected[0][0], 10.0);
        EXPECT_DOUBLE_EQ(tracker.data().corrected[1][5], 25.0);
        EXPECT_DOUBLE_EQ(tracker.data().corrected[2][0], 0.0) << "receiver 3 sent only half";
        EXPECT_EQ(tracker.data().form, Tracker::Euler);

        // Cord +X, plate -Y: u = -X, m = -Y, w = m x u = -Z.
        tracker.setup().cordDirection = 0;
        tracker.setup().mountingPlate = 4;
        tracker.setup().receiverCount = 2;
        tracker.setup().receivers[1].active = 0;
        tracker.setup().receivers[0].hemisphere = 2;
        sentLog(*c);
        tracker.sendSettings();  // not calibrated: nothing
        EXPECT_TRUE(sentLog(*c).empty());
        tracker.setCalibrated(true);
        tracker.sendSettings();
        std::vector<Logged> log = sentLog(*c);
        ASSERT_EQ(log.size(), 5u);
        EXPECT_EQ(log[0].message, 10);
        EXPECT_EQ(log[0].argcode, 8);
        EXPECT_EQ(log[0].payload, std::string("\x00\x04", 2));
        EXPECT_EQ(log[1].argcode, 4);
        EXPECT_EQ(log[1].payload, std::string("\x01\x01", 2));
        EXPECT_EQ(log[2].argcode, 0);
        EXPECT_EQ(log[2].payload, std::string("\x01\x02", 2));
        // Raw receiver 1 is (10.5, 11.5, 12.5): p = -10.5 u... = (-10.5, -12.5, -11.5).
        EXPECT_EQ(log[3].message, 20);
        EXPECT_EQ(log[3].payload, "1 -10.500000 -12.500000 -11.500000\n");
        EXPECT_EQ(log[4].payload, std::string("\x02\x00", 2)) << "inactive receiver 2";

        tracker.setup().mountingPlate = 9;
        EXPECT_EQ(what([&] { tracker.sendSettings(); }),
                  "Invalid cord direction or mounting plate code");
        tracker.setup().mountingPlate = 4;
        sentLog(*c);
        auto* rzidm = dynamic_cast<RzidmConnection*>(tracker.getConnection());
        rzidm->sendReceiverOffset(0, true);
        EXPECT_DOUBLE_EQ(tracker.setup().receivers[0].offset[0], 10.5);
        EXPECT_EQ(sentLog(*c).back().payload, "1 0.000000 0.000000 0.000000\n");
        rzidm->sendReceiverOffset(4, true);  // no such receiver
        EXPECT_TRUE(sentLog(*c).empty());
        tracker.disconnect();
    }
    delete c;

    RzidmConnection* a = peer("trk");
    {
        VexaForce arm(a);
        arm.connect();
        arm.setup().receivers[0].offset[0] = 100.0;
        sentLog(*a);
        arm.sendSettings();
        std::vector<Logged> log = sentLog(*a);
        ASSERT_EQ(log.size(), 1u);
        // Raw receiver 1 minus the hardware offset of receiver 0 (0.25, 0.5, 0.75), plus the
        // stored offset, which the hardware read did not replace.
        EXPECT_EQ(log[0].payload, "1 110.250000 11.000000 11.750000\n");
        EXPECT_DOUBLE_EQ(arm.setup().receivers[0].offset[0], 100.0);
        EXPECT_DOUBLE_EQ(arm.setup().receivers[1].offset[0], 0.0);
        arm.disconnect();
    }
    delete a;
}

// The device-manager connection against the real core and the real `dummy` plug-in.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include "devices/configmanager.hpp"
#include "devices/exceptions.hpp"
#include "devices/rzidmconnection.hpp"
#include "devices/tracker.hpp"
#include "devices/vexaglove.hpp"
#include "devices/vexatouch.hpp"
#include "testsupport.hpp"

using namespace Devices;
using testsupport::readFile;
using testsupport::TempDir;

namespace {

// A glove entry that the device manager opens with the dummy plug-in: 24 sine channels.
const char* kDummyGlove = R"({"Configurations": {"Bench": {"DefaultFlag": 1,
    "Sim": {"Type": "vexaglove", "DeviceManager": {"ServerAddress": "localhost",
            "SerialPort": "sim:nsensors=24"}}}}})";

std::string what(auto&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

RzidmConnection* dummyConnection(const char* serial, const char* type = "dummy") {
    auto* c = new RzidmConnection();
    c->setServerAddress("localhost");
    c->setSerialPort(serial);
    c->setTypeName(type);
    return c;
}

class DeviceManagerConnection : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testsupport::pluginLoaded("dummy")) << "the dummy plug-in is part of the build";
    }
};

}  // namespace

TEST_F(DeviceManagerConnection, GloveReadsChangingValuesThroughTheCore) {
    TempDir dir;
    std::string path = dir.write("devices.json", kDummyGlove);
    testsupport::Manager manager;
    manager->loadRegistry(path.c_str());
    manager->createAllDevices();
    ConfigManager* config = manager->getDefaultConfig();
    ASSERT_NE(config, nullptr);
    auto* glove = dynamic_cast<VexaGlove*>(config->getDevice(0));
    ASSERT_NE(glove, nullptr);
    // The registry names the glove type; open it as the dummy device instead.
    auto* rzidm = dynamic_cast<RzidmConnection*>(glove->getConnection());
    rzidm->setTypeName("dummy");
    std::string before = readFile(path);

    // The dummy refuses the calibration message: the connect fails, the glove stays
    // uncalibrated and closed, and the registry keeps no stale calibration.
    EXPECT_EQ(what([&] { glove->connect(); }), "RZERR_MESSAGE_NOT_IMPLEMENTED");
    EXPECT_FALSE(glove->isConnected());
    EXPECT_EQ(rzidm->getHandle(), 0u);
    EXPECT_FALSE(glove->isCalibrated());
    EXPECT_EQ(readFile(path), before);

    // A calibrated glove reads no calibration on connect.
    double zero[23] = {};
    glove->setCalibration(zero, zero);
    glove->connect();
    ASSERT_TRUE(glove->isConnected());
    EXPECT_NE(rzidm->getHandle(), 0u);
    EXPECT_FALSE(glove->isLeftHand()) << "a failed hand test counts as right hand";

    glove->update(false);
    double first[24];
    for (int s = 0; s < 24; ++s) {
        first[s] = glove->getSensorValue(s);
        EXPECT_TRUE(std::isfinite(first[s]));
        EXPECT_LE(std::fabs(first[s]), 1.0 + 1e-9) << s;
    }
    bool changed = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!changed && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        glove->update(false);
        for (int s = 0; s < 24; ++s)
            changed = changed || glove->getSensorValue(s) != first[s];
    }
    EXPECT_TRUE(changed) << "values follow the device";

    glove->connect();  // already connected: nothing
    glove->disconnect();
    EXPECT_FALSE(glove->isConnected());
    EXPECT_EQ(rzidm->getHandle(), 0u);
    double after = glove->getSensorValue(0);
    glove->update(false);
    EXPECT_EQ(glove->getSensorValue(0), after) << "no reads while disconnected";
    glove->connect();
    EXPECT_TRUE(glove->isConnected()) << "reconnects";
    glove->disconnect();
}

TEST_F(DeviceManagerConnection, FailedCalibrationReadLeavesTheGloveAsItWas) {
    RzidmConnection* c = dummyConnection("cal:nsensors=3");
    VexaGlove glove(c);
    EXPECT_EQ(what([&] { glove.connect(); }), "RZERR_MESSAGE_NOT_IMPLEMENTED");
    EXPECT_FALSE(glove.isCalibrated());
    double offsets[23] = {}, gains[23] = {};
    gains[4] = 0.5;
    glove.setCalibration(offsets, gains);
    glove.connect();
    ASSERT_TRUE(glove.isConnected());
    EXPECT_EQ(what([&] { glove.calibrateFromHardware(); }), "RZERR_MESSAGE_NOT_IMPLEMENTED");
    EXPECT_DOUBLE_EQ(glove.getGain(4), 0.5) << "the failed read changes nothing";
    // The dummy refuses settings with its code.
    EXPECT_EQ(what([&] { glove.sendSettings(); }), "RZERR_MESSAGE_NOT_IMPLEMENTED");
    // Three channels: only three values arrive, the rest stay.
    double marked[6] = {0, 0, 0, 0, 0, 123.0};
    glove.setSensorValues(marked, 6);
    glove.update(false);
    EXPECT_EQ(glove.getSensorValue(5), 123.0);
    glove.disconnect();
    delete c;
}

TEST_F(DeviceManagerConnection, RefusedOpenAndRefusedMessages) {
    RzidmConnection* c = dummyConnection("x", "no-such-device");
    VexaGlove glove(c);
    EXPECT_EQ(what([&] { glove.connect(); }), "Unable to connect using the device manager");
    EXPECT_FALSE(glove.isConnected());
    delete c;

    RzidmConnection* t = dummyConnection("touch:nsensors=2");
    {
        VexaTouch touch(t);
        double zero[23] = {};
        touch.setCalibration(zero, zero);  // the dummy refuses calibration reads
        touch.connect();
        ASSERT_TRUE(touch.isConnected());
        touch.setLevel(2, 0.5);
        EXPECT_EQ(what([&] { touch.vibrate(2, 1.0); }), "RZERR_MESSAGE_NOT_IMPLEMENTED");
        EXPECT_DOUBLE_EQ(touch.getLastSent(2), 0.5);
        EXPECT_EQ(what([&] { touch.update(true); }), "RZERR_MESSAGE_NOT_IMPLEMENTED");
        touch.update(false);
        // The destructor stops the actuators; a refusal must not escape it.
    }
    t->disconnect();
    delete t;
}

TEST_F(DeviceManagerConnection, TrackerRecordsFromAForeignReplyStayInBounds) {
    // The dummy's doubles are no tracker records: whatever receiver bytes they hold, only
    // receivers 1..4 may be written and nothing outside the reply is read.
    RzidmConnection* c = dummyConnection("trk:nsensors=24");
    Tracker tracker(c, kFlock);
    tracker.connect();
    ASSERT_TRUE(tracker.isConnected());
    for (int i = 0; i < 50; ++i)
        tracker.update(false);
    tracker.disconnect();
    delete c;
}

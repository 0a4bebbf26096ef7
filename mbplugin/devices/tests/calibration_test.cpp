#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "devices/exceptions.hpp"
#include "devices/tracker.hpp"
#include "devices/vexaglove.hpp"
#include "devices/vexagrasp.hpp"
#include "devices/vexatouch.hpp"
#include "registry/registry.hpp"
#include "testsupport.hpp"

using namespace Devices;
using testsupport::TempDir;

namespace {

std::string what(auto&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

std::string calibrationJson(int values) {
    std::string text = R"({"Glove": {"Calibration": {)";
    for (int i = 0; i < values; ++i) {
        if (i)
            text += ", ";
        text += "\"v" + std::to_string(i) + "\": " + std::to_string(i) + ".5";
    }
    return text + "}}}";
}

}  // namespace

TEST(GloveCalibration, FreshGloveHasDefaultGainsAndOffsets) {
    VexaGlove glove(nullptr);
    EXPECT_EQ(glove.getType(), kVexaGlove);
    EXPECT_FALSE(glove.isCalibrated());
    for (int s = 0; s < 23; ++s) {
        EXPECT_DOUBLE_EQ(glove.getGain(s), 0.01);
        EXPECT_DOUBLE_EQ(glove.getOffset(s), 0.0);
    }
    VexaTouch touch(nullptr);
    EXPECT_EQ(touch.getType(), kVexaTouch);
    EXPECT_DOUBLE_EQ(touch.getGain(22), 0.01);
    EXPECT_FALSE(glove.isConnected());
    EXPECT_EQ(glove.getName(), nullptr);
    EXPECT_FALSE(glove.isLeftHand());
}

TEST(GloveValues, ReaderOnAnotherThreadSeesWholeSamples) {
    VexaGlove glove(nullptr);
    std::atomic<bool> done = false;
    std::thread writer([&] {
        double sample[VexaGlove::kSensorCount];
        for (int k = 1; k <= 20000; ++k) {
            for (double& v : sample)
                v = k;
            glove.setSensorValues(sample, VexaGlove::kSensorCount);
        }
        done = true;
    });
    int torn = 0;
    double seen[VexaGlove::kSensorCount];
    while (!done) {
        glove.getSensorValues(seen);
        for (double v : seen)
            torn += v != seen[0];
    }
    writer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(glove.getSensorValue(23), 20000.0);
    double three[3] = {-1, -2, -3};
    glove.setSensorValues(three, 3);
    EXPECT_EQ(glove.getSensorValue(2), -3.0);
    EXPECT_EQ(glove.getSensorValue(3), 20000.0) << "values past the count stay";
}

TEST(GloveCalibration, LoadsFortySixValuesByIndex) {
    rziRegistry reg;
    reg.loadText(calibrationJson(46));
    VexaGlove glove(nullptr);
    glove.setRegistryKey(reg.getRoot()->getKey("Glove"));
    glove.loadCalibration();
    EXPECT_TRUE(glove.isCalibrated());
    EXPECT_DOUBLE_EQ(glove.getOffset(0), 0.5);
    EXPECT_DOUBLE_EQ(glove.getOffset(22), 22.5);
    EXPECT_DOUBLE_EQ(glove.getGain(0), 23.5);
    EXPECT_DOUBLE_EQ(glove.getGain(22), 45.5);
}

TEST(GloveCalibration, FortyFiveValuesFailToLoadAndSavingRewritesAllNames) {
    TempDir dir;
    std::string path = dir.write("reg.json", calibrationJson(45));
    rziRegistry reg;
    reg.load(path.c_str());
    VexaGlove glove(nullptr);
    glove.setRegistryKey(reg.getRoot()->getKey("Glove"));
    EXPECT_THROW(glove.loadCalibration(), X_CalibNotFound);
    EXPECT_EQ(what([&] { glove.loadCalibration(); }),
              "Unable to find all the glove's calibration values");
    EXPECT_FALSE(glove.isCalibrated());
    EXPECT_DOUBLE_EQ(glove.getGain(3), 0.01) << "nothing taken from a refused key";

    EXPECT_EQ(what([&] { glove.saveCalibration(); }), "Device is not yet calibrated");

    double offsets[23], gains[23];
    for (int s = 0; s < 23; ++s) {
        offsets[s] = 100 + s;
        gains[s] = 0.001 * (s + 1);
    }
    glove.setCalibration(offsets, gains);
    glove.saveCalibration();

    rziRegistry again;
    again.load(path.c_str());
    rziRegistryKey* calib = again.getRoot()->getKey("Glove")->getKey("Calibration");
    ASSERT_EQ(calib->getValueCount(), 46);
    EXPECT_STREQ(calib->getValue(0)->getName(), "ThumbrollsensorOffset");
    EXPECT_STREQ(calib->getValue(7)->getName(), "N/AOffset");
    EXPECT_STREQ(calib->getValue(22)->getName(), "WristabductionsensorOffset");
    EXPECT_STREQ(calib->getValue(23)->getName(), "ThumbrollsensorGain");
    EXPECT_STREQ(calib->getValue(30)->getName(), "N/AGain");
    EXPECT_STREQ(calib->getValue(45)->getName(), "WristabductionsensorGain");
    EXPECT_DOUBLE_EQ(calib->getValue(5)->getDouble(), 105);
    EXPECT_DOUBLE_EQ(calib->getValue(23 + 5)->getDouble(), 0.006);

    VexaGlove reloaded(nullptr);
    reloaded.setRegistryKey(again.getRoot()->getKey("Glove"));
    reloaded.loadCalibration();
    for (int s = 0; s < 23; ++s) {
        EXPECT_DOUBLE_EQ(reloaded.getOffset(s), offsets[s]);
        EXPECT_DOUBLE_EQ(reloaded.getGain(s), gains[s]);
    }
}

TEST(GloveCalibration, MissingKeyAndKeylessDevice) {
    rziRegistry reg;
    reg.loadText(R"({"Glove": {}})");
    VexaGlove glove(nullptr);
    glove.loadCalibration();  // no key: silently nothing
    glove.setRegistryKey(reg.getRoot()->getKey("Glove"));
    EXPECT_EQ(what([&] { glove.loadCalibration(); }), "Unable to find the glove's calibration key");
}

TEST(TrackerCalibration, FiveReceiversFailToLoadAndChangeNothing) {
    rziRegistry reg;
    reg.loadText(R"({"T": {"Calibration": {"CordDirection": 2,
        "Receiver0": {}, "Receiver1": {}, "Receiver2": {}, "Receiver3": {}, "Receiver4": {}}}})");
    Tracker tracker(nullptr, kFlock);
    tracker.setRegistryKey(reg.getRoot()->getKey("T"));
    EXPECT_EQ(what([&] { tracker.loadCalibration(); }), "Too many receivers in registry");
    EXPECT_FALSE(tracker.isCalibrated());
    EXPECT_EQ(tracker.setup().cordDirection, 0);
    EXPECT_EQ(tracker.getReceiverCount(), 1);
}

TEST(TrackerCalibration, SaveAndLoadRoundTrip) {
    TempDir dir;
    std::string path = dir.write("reg.json", R"({"T": {"Calibration": {"Stale": {}, "Old": {}}}})");
    rziRegistry reg;
    reg.load(path.c_str());
    Tracker tracker(nullptr, kFastrak);
    tracker.setRegistryKey(reg.getRoot()->getKey("T"));
    EXPECT_EQ(what([&] { tracker.saveCalibration(); }), "Device is not yet calibrated");
    Tracker::Setup& s = tracker.setup();
    s.cordDirection = 5;
    s.mountingPlate = 1;
    s.xmitterOffsetEnabled = 1;
    s.xmitterOffset[2] = -3.25;
    s.receivers[2].active = 1;
    s.receivers[2].hemisphere = 1;
    s.receivers[2].offset[1] = 7.5;
    tracker.setCalibrated(true);
    tracker.saveCalibration();

    rziRegistry again;
    again.load(path.c_str());
    rziRegistryKey* calib = again.getRoot()->getKey("T")->getKey("Calibration");
    ASSERT_EQ(calib->getKeyCount(), 4) << "old sub-keys replaced by Receiver0..3";
    EXPECT_STREQ(calib->getKey(0)->getName(), "Receiver0");
    EXPECT_STREQ(calib->getKey(3)->getName(), "Receiver3");
    EXPECT_EQ(calib->getValue("MountingPlate")->getInteger(), 1);

    Tracker loaded(nullptr, kFastrak);
    loaded.setRegistryKey(again.getRoot()->getKey("T"));
    loaded.loadCalibration();
    EXPECT_TRUE(loaded.isCalibrated());
    EXPECT_EQ(loaded.setup().cordDirection, 5);
    EXPECT_EQ(loaded.setup().xmitterOffsetEnabled, 1);
    EXPECT_DOUBLE_EQ(loaded.setup().xmitterOffset[2], -3.25);
    EXPECT_EQ(loaded.getReceiverCount(), 4);
    EXPECT_EQ(loaded.setup().receivers[2].active, 1);
    EXPECT_EQ(loaded.setup().receivers[2].hemisphere, 1);
    EXPECT_DOUBLE_EQ(loaded.setup().receivers[2].offset[1], 7.5);
    EXPECT_EQ(loaded.setup().receivers[1].active, 0);
}

TEST(TrackerCalibration, MissingKeyAndPartialValues) {
    rziRegistry reg;
    reg.loadText(
        R"({"T": {}, "U": {"Calibration": {"MountingPlate": 2, "Receiver0": {"Active": 0}}}})");
    Tracker tracker(nullptr, kVicon);
    tracker.setRegistryKey(reg.getRoot()->getKey("T"));
    EXPECT_EQ(what([&] { tracker.loadCalibration(); }),
              "Unable to find the tracker's calibration key");
    tracker.setRegistryKey(reg.getRoot()->getKey("U"));
    tracker.loadCalibration();
    EXPECT_EQ(tracker.setup().mountingPlate, 2);
    EXPECT_EQ(tracker.setup().cordDirection, 0) << "absent values keep their defaults";
    EXPECT_EQ(tracker.setup().receivers[0].active, 0);
    EXPECT_EQ(tracker.setup().receivers[0].hemisphere, 3);
}

TEST(GraspCalibration, GraspHasNothingToLoadOrSave) {
    rziRegistry reg;
    reg.loadText(R"({"G": {}})");
    VexaGrasp grasp(nullptr);
    grasp.setRegistryKey(reg.getRoot()->getKey("G"));
    EXPECT_NO_THROW(grasp.loadCalibration());
    EXPECT_NO_THROW(grasp.saveCalibration());
    EXPECT_EQ(reg.getRoot()->getKey("G")->getKeyCount(), 0);
    EXPECT_EQ(grasp.forceRecord(0).entryCount, -1);
}

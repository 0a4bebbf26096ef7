#include "devices/registrymanager.hpp"

#include <gtest/gtest.h>

#include <string>

#include "devices/darray.hpp"
#include "devices/exceptions.hpp"
#include "devices/rzidmconnection.hpp"
#include "devices/trackdconnection.hpp"
#include "devices/tracker.hpp"
#include "devices/vexaglove.hpp"
#include "devices/vexatouch.hpp"
#include "devices/viconconnection.hpp"
#include "testsupport.hpp"

using namespace Devices;
using testsupport::Manager;
using testsupport::readFile;
using testsupport::ReportCatcher;
using testsupport::TempDir;

namespace {

std::string loadInto(Manager& manager, TempDir& dir, const std::string& text) {
    std::string path = dir.write("devices.json", text);
    manager->loadRegistry(path.c_str());
    return path;
}

}  // namespace

TEST(RegistryManager, EmptyConfigurationsGiveNoDefault) {
    TempDir dir;
    Manager manager;
    loadInto(manager, dir, R"({"Configurations": {}})");
    EXPECT_EQ(manager->getConfigCount(), 0);
    EXPECT_EQ(manager->getDefaultConfig(), nullptr);
    EXPECT_EQ(manager->findConfig(nullptr), nullptr);
    EXPECT_EQ(manager->findConfig("Simulated"), nullptr);
    manager->createAllDevices();
}

TEST(RegistryManager, MissingConfigurationsKeyIsCreatedAndWritten) {
    TempDir dir;
    Manager manager;
    std::string path = loadInto(manager, dir, R"({"Other": {}})");
    EXPECT_EQ(manager->getConfigCount(), 0);
    ASSERT_NE(manager->registry().getRoot()->getKey("Configurations"), nullptr);
    EXPECT_NE(readFile(path).find("\"Configurations\""), std::string::npos);
}

TEST(RegistryManager, LaterDefaultFlagWinsAndNamesMatchExactly) {
    TempDir dir;
    Manager manager;
    loadInto(manager, dir, R"({"Configurations": {
        "First": {"DefaultFlag": 1},
        "Plain": {},
        "Second": {"DefaultFlag": 0}
    }})");
    ASSERT_EQ(manager->getConfigCount(), 3);
    EXPECT_STREQ(manager->getConfig(0)->getName(), "First");
    EXPECT_STREQ(manager->getConfig(2)->getName(), "Second");
    EXPECT_EQ(manager->getDefaultConfig(), manager->getConfig(2)) << "presence counts, not value";
    EXPECT_EQ(manager->findConfig(nullptr), manager->getConfig(2));
    EXPECT_EQ(manager->findConfig("Plain"), manager->getConfig(1));
    EXPECT_EQ(manager->findConfig("plain"), nullptr);
    EXPECT_EQ(manager->findConfig("Plai"), nullptr);
    EXPECT_TRUE(manager->getConfig(0)->isDefault());
    EXPECT_FALSE(manager->getConfig(1)->isDefault());
}

TEST(RegistryManager, LoadErrorsPassToTheCaller) {
    TempDir dir;
    Manager manager;
    std::string path = dir.write("broken.json", "{\"Configurations\": ");
    EXPECT_THROW(manager->loadRegistry(path.c_str()), rziRegistryError);
    EXPECT_EQ(manager->getConfigCount(), 0);
}

TEST(RegistryManager, SampleRegistryHasASimulatedDefaultGlove) {
    TempDir dir;
    std::string copy = dir.write("devices.json", readFile(SAMPLE_REGISTRY));
    Manager manager;
    manager->loadRegistry(copy.c_str());
    ConfigManager* config = manager->findConfig(nullptr);
    ASSERT_NE(config, nullptr);
    EXPECT_STREQ(config->getName(), "Simulated");
    ASSERT_EQ(config->getVexaGloveCount(), 1);
    ReportCatcher::clear();
    ReportCatcher catcher;
    manager->createAllDevices();
    EXPECT_TRUE(catcher.reports().empty());
    auto* glove = dynamic_cast<VexaGlove*>(config->getDevice(config->getVexaGloveIndex(0)));
    ASSERT_NE(glove, nullptr);
    EXPECT_STREQ(glove->getName(), "RightGlove");
    auto* rzidm = dynamic_cast<RzidmConnection*>(glove->getConnection());
    ASSERT_NE(rzidm, nullptr);
    EXPECT_EQ(rzidm->deviceUrl(), "/tmp/manuvia-kelb0:baudrate=115200");
    EXPECT_EQ(rzidm->openTypeName(), "vexaglove");
    ConfigManager* studio = manager->findConfig("Studio");
    ASSERT_NE(studio, nullptr);
    ASSERT_EQ(studio->getDeviceObjectCount(), 2);
    EXPECT_NE(dynamic_cast<ViconConnection*>(studio->getConnection(1)), nullptr);
    EXPECT_STREQ(studio->getDevice(1)->getAddress(), "127.0.0.1");
}

TEST(ConfigManagerTypes, TypeNamesAreExactAndConnectionsFollowSubKeyOrder) {
    rziRegistry reg;
    reg.loadText(R"({"Configurations": {"C": {
        "g": {"Type": "vexaglove", "Trackd": {}, "DeviceManager": {}},
        "t": {"Type": "vexatouch", "ViconTransport": {}, "Trackd": {}},
        "x": {"Type": "vexagrasp", "ViconTransport": {}},
        "f": {"Type": "flock", "DeviceManager": {}},
        "k": {"Type": "fastrak", "DeviceManager": {}},
        "a": {"Type": "kortavel", "DeviceManager": {}},
        "v": {"Type": "vicon", "ViconTransport": {}},
        "bad": {"Type": "VexaGlove", "DeviceManager": {}},
        "long": {"Type": "vexaglove ", "DeviceManager": {}},
        "none": {"DeviceManager": {}},
        "noconn": {"Type": "vexaglove", "Other": {}},
        "numtype": {"Type": 3, "DeviceManager": {}}
    }}})");
    ConfigManager config;
    config.m_configKey = reg.getRoot()->getKey("Configurations")->getKey("C");
    const int expected[] = {kVexaGlove, kVexaTouch, kVexaGrasp, kFlock,
                            kFastrak,   kVexaForce, kVicon};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(config.getDeviceType(i), expected[i]) << i;
    EXPECT_EQ(config.getConnectionType(0), kDeviceManagerConnection) << "both sub-keys";
    EXPECT_EQ(config.getConnectionType(1), kTrackdConnection);
    EXPECT_EQ(config.getConnectionType(2), kViconConnection);

    auto message = [](auto&& call) -> std::string {
        try {
            call();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_THROW(config.getDeviceType(7), X_IllegalDeviceType);
    EXPECT_EQ(message([&] { config.getDeviceType(7); }), "Unrecognized Model Name");
    EXPECT_THROW(config.getDeviceType(8), X_IllegalDeviceType);
    EXPECT_THROW(config.getDeviceType(9), X_RegistryFileError);
    EXPECT_EQ(message([&] { config.getDeviceType(9); }), "Couldn't get device type from registry");
    EXPECT_THROW(config.getDeviceType(11), X_RegistryFileError) << "a number is no type name";
    EXPECT_THROW(config.getConnectionType(10), X_UnresolvedConnection);
    EXPECT_EQ(message([&] { config.getConnectionType(10); }),
              "Unable to determine connection type from the registry.");
    EXPECT_EQ(message([&] { config.getConnectionType(99); }), "Unable to find the device key");
    EXPECT_EQ(config.getTrackdKey(1), 0);
}

TEST(ConfigManagerCreate, FailuresAreReportedAndSkipped) {
    TempDir dir;
    Manager manager;
    loadInto(manager, dir, R"({"Configurations": {"C": {
        "Glove": {"Type": "vexaglove", "DeviceManager": {"ServerAddress": "localhost",
                  "ServerPort": 3001, "SerialPort": "/dev/ttyS0", "BaudRate": 115200}},
        "Wrong": {"Type": "VexaGlove", "DeviceManager": {}},
        "GloveWithAVeryLongName": {"Type": "vexaglove", "DeviceManager": {"SerialPort": "/dev/ttyS1"}},
        "Untyped": {"Trackd": {}},
        "Lost": {"Type": "flock"},
        "Arm": {"Type": "kortavel", "Trackd": {}}
    }}})");
    ReportCatcher::clear();
    ReportCatcher catcher;
    ConfigManager* config = manager->getConfig(0);
    config->createDevices();
    auto reports = catcher.reports();
    ASSERT_EQ(reports.size(), 4u);
    for (auto& r : reports)
        EXPECT_EQ(r.first, "Error creating device!");
    EXPECT_EQ(reports[0].second, "Unrecognized Model Name");
    EXPECT_NE(reports[1].second.find("longer than 20 characters"), std::string::npos)
        << reports[1].second;
    EXPECT_EQ(reports[2].second, "Couldn't get device type from registry");
    EXPECT_EQ(reports[3].second, "Unable to determine connection type from the registry.");

    ASSERT_EQ(config->getDeviceObjectCount(), 2);
    EXPECT_EQ(config->getDevice(-1), nullptr);
    EXPECT_EQ(config->getDevice(2), nullptr);
    Device* glove = config->getDevice(0);
    Device* arm = config->getDevice(1);
    EXPECT_STREQ(glove->getName(), "Glove");
    EXPECT_EQ(glove->getType(), kVexaGlove);
    EXPECT_FALSE(glove->isCalibrated()) << "no calibration key: uncalibrated, not an error";
    EXPECT_EQ(glove->getConnection(), config->getConnection(0));
    EXPECT_EQ(glove->getConnection()->getDevice(), glove);
    auto* rzidm = dynamic_cast<RzidmConnection*>(glove->getConnection());
    ASSERT_NE(rzidm, nullptr);
    EXPECT_STREQ(rzidm->getServerAddress(), "localhost");
    EXPECT_STREQ(rzidm->getServerPort(), "3001");
    EXPECT_STREQ(rzidm->getBaudRate(), "115200");
    EXPECT_STREQ(rzidm->getDeviceName(), "Glove");
    EXPECT_STREQ(rzidm->getTypeName(), "vexaglove");
    EXPECT_STREQ(glove->getAddress(), "localhost");
    EXPECT_EQ(arm->getType(), kVexaForce);
    EXPECT_TRUE(arm->isCalibrated()) << "a force arm counts as calibrated";
    EXPECT_NE(dynamic_cast<TrackdConnection*>(arm->getConnection()), nullptr);
    EXPECT_EQ(arm->getAddress(), nullptr);
}

TEST(ConfigManagerCreate, TrackerTypeAndReceiverDefaults) {
    rziRegistry reg;
    reg.loadText(R"({"C": {
        "f": {"Type": "flock", "Trackd": {}},
        "k": {"Type": "fastrak", "Trackd": {}},
        "v": {"Type": "vicon", "ViconTransport": {"ServerAddress": "127.0.0.1"}}}})");
    ConfigManager config;
    config.m_configKey = reg.getRoot()->getKey("C");
    config.createDevices();
    ASSERT_EQ(config.getDeviceObjectCount(), 3);
    int counts[] = {1, 4, 1};
    int types[] = {kFlock, kFastrak, kVicon};
    for (int i = 0; i < 3; ++i) {
        auto* t = dynamic_cast<Tracker*>(config.getDevice(i));
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->getType(), types[i]);
        EXPECT_EQ(t->getReceiverCount(), counts[i]);
        EXPECT_EQ(t->setup().cordDirection, 0);
        EXPECT_EQ(t->setup().mountingPlate, 4);
        EXPECT_EQ(t->setup().receivers[0].active, 1);
        EXPECT_EQ(t->setup().receivers[1].active, 0);
        EXPECT_EQ(t->setup().receivers[3].hemisphere, 3);
        EXPECT_FALSE(t->isCalibrated());
    }
    for (int i = 0; i < 3; ++i)
        delete config.getDevice(i);
    for (int i = 0; i < 3; ++i)
        delete config.getConnection(i);
}

TEST(RegistryManager, DevicesOutliveTheManagerAndKeepTheirKeys) {
    TempDir dir;
    std::string path = dir.write("devices.json", R"({"Configurations": {"C": {
        "Glove": {"Type": "vexaglove", "DeviceManager": {}}}}})");
    auto manager = std::make_unique<RegistryManager>();
    manager->loadRegistry(path.c_str());
    manager->createAllDevices();
    ConfigManager* config = manager->getConfig(0);
    auto* glove = dynamic_cast<VexaGlove*>(config->getDevice(0));
    ASSERT_NE(glove, nullptr);
    Connection* connection = config->getConnection(0);
    manager.reset();
    EXPECT_STREQ(config->getName(), "C");
    delete config;  // the device alone still holds the registry
    ASSERT_STREQ(glove->getName(), "Glove");
    double offsets[23] = {}, gains[23] = {};
    gains[4] = 0.25;
    glove->setCalibration(offsets, gains);
    glove->saveCalibration();
    rziRegistry saved;
    saved.load(path.c_str());
    rziRegistryKey* calib = saved.getRoot()
                                ->getKey("Configurations")
                                ->getKey("C")
                                ->getKey("Glove")
                                ->getKey("Calibration");
    ASSERT_NE(calib, nullptr);
    EXPECT_DOUBLE_EQ(calib->getValue(23 + 4)->getDouble(), 0.25);
    delete glove;
    delete connection;
}

TEST(ErrorNames, TableCoversZeroToMinus55) {
    EXPECT_STREQ(errorName(0), "RZERR_NO_ERROR");
    EXPECT_STREQ(errorName(-1), "RZERR_GENERIC_ERROR");
    EXPECT_STREQ(errorName(-12), "RZERR_INVALID_MESSAGE");
    EXPECT_STREQ(errorName(-29), "RZERR_SERIAL_INVALID_BAUDRATE");
    EXPECT_STREQ(errorName(-47), "RZERR_INVALID_FILE");
    EXPECT_STREQ(errorName(-55), "RZERR_IPC_UNLOCK");
    EXPECT_STREQ(errorName(-56), "RZERR_UNKNOWN");
    EXPECT_STREQ(errorName(1), "RZERR_UNKNOWN");
    EXPECT_STREQ(errorName(-2147483647 - 1), "RZERR_UNKNOWN");
}

TEST(ErrorNames, ExceptionsCarryTheirText) {
    try {
        throw X_FailedConnection(errorName(-21));
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "RZERR_DEVICE_NOT_READY");
    }
}

TEST(DArray, CapacityRules) {
    DArray<int*> a;
    EXPECT_EQ(a.count(), 0);
    EXPECT_EQ(a.capacity(), 0);
    int x = 1, y = 2, z = 3;
    a.setCapacity(3);
    EXPECT_EQ(a.capacity(), 3) << "no storage yet: exactly n";
    a.setCapacity(2);
    EXPECT_EQ(a.capacity(), 3) << "below the capacity: nothing";
    a.append(&x);
    a.setCapacity(5);
    EXPECT_EQ(a.capacity(), 12) << "with storage: at least 12";
    EXPECT_EQ(a.get(0), &x) << "used slots copied";
    a.set(20, &y);
    EXPECT_EQ(a.capacity(), 21) << "index+1 beats capacity*1.5";
    EXPECT_EQ(a.count(), 21);
    EXPECT_EQ(a.get(5), nullptr) << "slots between are zero";
    a.set(21, &z);
    EXPECT_EQ(a.capacity(), 31) << "21 + 21/2";
    EXPECT_EQ(a.get(-1), nullptr);
    EXPECT_EQ(a.get(22), nullptr);
    EXPECT_THROW(a.set(-1, &x), std::out_of_range);
    a.clear();
    EXPECT_EQ(a.count(), 0);
    EXPECT_EQ(a.capacity(), 31);
    a.append(&z);
    EXPECT_EQ(a.get(0), &z);
    EXPECT_EQ(a.get(1), nullptr) << "clearing zeroed the old slots";
}

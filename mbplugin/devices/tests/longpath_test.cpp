// Long device paths (the stable /dev/serial/by-id names run long) stored in a registry file:
// read back whole, passed to the device manager and opened; one past the field is refused.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "devices/configmanager.hpp"
#include "devices/registrymanager.hpp"
#include "devices/rzidmconnection.hpp"
#include "devices/vexaglove.hpp"
#include "testsupport.hpp"
#include "testsupport/simulator.hpp"

using namespace Devices;
using testsupport::TempDir;

namespace {

// A path of exactly `length` characters inside dir, its folders created.
std::string pathOfLength(const std::string& dir, std::size_t length) {
    std::string path = dir;
    while (path.size() + 1 + 40 < length)
        path += "/" + std::string(39, 'd');
    path += "/";
    path += std::string(length - path.size(), 'g');
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    return path;
}

std::string registryWithPort(const std::string& port) {
    return R"({"Configurations": {"Bench": {"DefaultFlag": 1,
        "Glove": {"Type": "vexaglove", "DeviceManager": {"ServerAddress": "localhost",
                  "SerialPort": ")" +
           port + R"(", "BaudRate": 115200}}}}})";
}

}  // namespace

TEST(LongDevicePath, StoredPathReadsBackWholeAndOpens) {
    TempDir dir;
    const std::string link = pathOfLength(dir.path(), 200);
    ASSERT_EQ(link.size(), 200u);
    const std::string file = dir.write("devices.json", registryWithPort(link));

    testsupport::Manager manager;
    manager->loadRegistry(file.c_str());
    testsupport::ReportCatcher::clear();
    testsupport::ReportCatcher catcher;
    manager->createAllDevices();
    EXPECT_TRUE(catcher.reports().empty());
    ConfigManager* config = manager->getDefaultConfig();
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(std::string(config->getDeviceSerialPort(0)), link);
    auto* rzidm = dynamic_cast<RzidmConnection*>(config->getConnection(0));
    ASSERT_NE(rzidm, nullptr);
    EXPECT_EQ(rzidm->getSerialPort(), link);
    EXPECT_EQ(rzidm->deviceUrl(), link + ":baudrate=115200");

    testsupport::Simulator kelbsim(KELBSIM_PATH, link);
    ASSERT_TRUE(kelbsim.ready());

    auto* glove = dynamic_cast<VexaGlove*>(config->getDevice(0));
    ASSERT_NE(glove, nullptr);
    EXPECT_NO_THROW(glove->connect());
    EXPECT_TRUE(glove->isConnected());
    if (glove->isConnected()) {
        EXPECT_NO_THROW(glove->update(false));
        glove->disconnect();
    }
}

TEST(LongDevicePath, OnePastTheFieldIsAClearError) {
    TempDir dir;
    const std::string file =
        dir.write("devices.json", registryWithPort("/dev/" + std::string(251, 'x')));
    testsupport::Manager manager;
    manager->loadRegistry(file.c_str());
    testsupport::ReportCatcher::clear();
    testsupport::ReportCatcher catcher;
    manager->getDefaultConfig()->createDevices();
    const auto reports = catcher.reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].first, "Error creating device!");
    EXPECT_NE(reports[0].second.find("serial port"), std::string::npos) << reports[0].second;
    EXPECT_NE(reports[0].second.find("longer than 255 characters"), std::string::npos);
    EXPECT_EQ(manager->getDefaultConfig()->getDeviceObjectCount(), 0);
}

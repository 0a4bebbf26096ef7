#include "registry/config.hpp"

#include <gtest/gtest.h>

namespace {

const char* kRegistry = R"({
    "Configurations": {
        "Lab": {
            "DefaultFlag": 0,
            "Left": {
                "Type": "vexaglove",
                "SerialPort": "/dev/ttyS9",
                "DeviceManager": {"ServerAddress": "10.0.0.2", "ServerPort": 4000, "BaudRate": 57600}
            },
            "Arm": {"Type": "kortavel", "BaudRate": "9600", "Trackd": {}},
            "Right": {"Type": "vexaglove", "DeviceManager": {"SerialPort": "/tmp/x"}},
            "NoType": {"Trackd": {}},
            "Touch": {"Type": "vexatouch", "ServerAddress": 17}
        }
    }
})";

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reg.loadText(kRegistry);
        config.m_configKey = reg.getRoot()->getKey("Configurations")->getKey("Lab");
    }
    rziRegistry reg;
    Config config;
};

}  // namespace

TEST_F(ConfigTest, ReadsDevicesInRegistryOrder) {
    EXPECT_STREQ(config.getName(), "Lab");
    ASSERT_EQ(config.getDeviceCount(), 5);
    EXPECT_STREQ(config.getDeviceName(0), "Left");
    EXPECT_STREQ(config.getDeviceName(4), "Touch");
    EXPECT_STREQ(config.getDeviceTypeName(1), "kortavel");
    EXPECT_EQ(config.getDeviceTypeName(3), nullptr);
}

TEST_F(ConfigTest, ConnectionSettingsComeFromTheSubKeyThenTheDeviceKey) {
    EXPECT_STREQ(config.getDeviceIpAddr(0), "10.0.0.2");
    EXPECT_EQ(config.getDeviceIpPort(0), 4000);
    EXPECT_EQ(config.getDeviceSerialBaudRate(0), 57600);
    EXPECT_STREQ(config.getDeviceSerialPort(0), "/dev/ttyS9");
    EXPECT_EQ(config.getDeviceSerialBaudRate(1), 9600) << "numeric text reads as a number";
    EXPECT_STREQ(config.getDeviceSerialPort(2), "/tmp/x");
    EXPECT_EQ(config.getDeviceIpAddr(2), nullptr);
    EXPECT_EQ(config.getDeviceIpPort(2), 0);
    EXPECT_EQ(config.getDeviceIpAddr(4), nullptr) << "a number is not an address";
}

TEST_F(ConfigTest, BadIndexesGiveNothing) {
    for (int i : {-1, 5, 1000}) {
        EXPECT_EQ(config.getDeviceName(i), nullptr);
        EXPECT_EQ(config.getDeviceTypeName(i), nullptr);
        EXPECT_EQ(config.getDeviceIpAddr(i), nullptr);
        EXPECT_EQ(config.getDeviceSerialPort(i), nullptr);
        EXPECT_EQ(config.getDeviceIpPort(i), 0);
        EXPECT_EQ(config.getDeviceSerialBaudRate(i), 0);
    }
    Config empty;
    EXPECT_EQ(empty.getName(), nullptr);
    EXPECT_EQ(empty.getDeviceCount(), 0);
    EXPECT_EQ(empty.getVexaGloveCount(), 0);
}

TEST_F(ConfigTest, GlovesAreTheVexagloveDevicesInOrder) {
    EXPECT_EQ(config.getVexaGloveCount(), 2);
    EXPECT_EQ(config.getVexaGloveIndex(0), 0);
    EXPECT_EQ(config.getVexaGloveIndex(1), 2);
    EXPECT_EQ(config.getVexaGloveIndex(2), -1);
    EXPECT_EQ(config.getVexaGloveIndex(-1), -1);
}

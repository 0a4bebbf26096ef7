#pragma once
// One configuration of the device registry: a named set of devices (see README.md for the
// key layout this class reads). The owner stores the configuration key into m_configKey
// after construction; every answer is read from the registry at the time of the call.

#include "registry/registry.hpp"

class Config {
  public:
    // The configuration key; set by the owner, not owned.
    rziRegistryKey* m_configKey = nullptr;

    // Names of the registry entries this class reads.
    static constexpr const char* kTypeValue = "Type";
    static constexpr const char* kServerAddressValue = "ServerAddress";
    static constexpr const char* kServerPortValue = "ServerPort";
    static constexpr const char* kSerialPortValue = "SerialPort";
    static constexpr const char* kBaudRateValue = "BaudRate";
    // Connection sub-keys of a device key, in the order they are looked for.
    static constexpr const char* kConnectionKeys[] = {"DeviceManager", "Trackd", "ViconTransport"};

    Config();
    virtual ~Config();

    // The configuration key's name; null without a key.
    const char* getName() const;
    int getDeviceCount() const;

    // Device entries by index 0..getDeviceCount()-1; a bad index or missing entry gives null
    // (texts) or 0 (numbers).
    const char* getDeviceTypeName(int index) const;
    // The device key's name, which is the name users pick the device by.
    const char* getDeviceName(int index) const;
    const char* getDeviceIpAddr(int index) const;
    int getDeviceIpPort(int index) const;
    const char* getDeviceSerialPort(int index) const;
    int getDeviceSerialBaudRate(int index) const;

    // Gloves ("vexaglove" devices) in device order: their count, and the device index of the
    // n-th one (-1 when n is out of range).
    int getVexaGloveCount() const;
    int getVexaGloveIndex(int n) const;

  protected:
    rziRegistryKey* getDeviceKey(int index) const;

  private:
    // A connection setting: from the device's connection sub-key, else from the device key.
    rziRegistryValue* findSetting(int index, const char* name) const;
};

#pragma once
// A device object: the latest data of one piece of hardware and its calibration, which it
// keeps in the device registry. Created by ConfigManager with its connection; the host
// connects it, calls update each sample and reads the values. One thread drives a device.

#include <cstdint>
#include <memory>

#include "devices/connection.hpp"
#include "devices/types.hpp"

class rziRegistry;
class rziRegistryKey;

namespace Devices {

class Device {
  public:
    // The connection is not owned; it is pointed back at this device.
    Device(Connection* connection, std::int32_t type);
    virtual ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    virtual void connect();
    virtual void disconnect();
    virtual void update(bool output);
    // Forwards only when the device is calibrated and has a connection.
    virtual void sendSettings();
    // Calibration from and to the registry key; nothing without a key.
    virtual void loadCalibration() {}
    virtual void saveCalibration() {}

    bool isConnected() const;
    // The registry key's name; null without a key.
    const char* getName() const;
    const char* getAddress() const;
    // When connected through the device manager: reads the calibration from the hardware,
    // marks the device calibrated and saves it. A failed or incomplete read throws and
    // leaves the device as it was.
    void calibrateFromHardware();
    // The device manager's hand test: true only when the glove says it is a left-hand glove.
    bool isLeftHand();

    std::int32_t getType() const { return m_type; }
    Connection* getConnection() const { return m_connection; }
    rziRegistryKey* getRegistryKey() const { return m_registryKey; }
    // The key and, when the registry is shared, the registry holding it: the device keeps
    // that registry alive, so its name and calibration keys outlive the registry's manager.
    void setRegistryKey(rziRegistryKey* key, std::shared_ptr<rziRegistry> registry = {}) {
        m_registryKey = key;
        m_registry = std::move(registry);
    }
    bool isCalibrated() const { return m_calibrated; }
    void setCalibrated(bool on) { m_calibrated = on; }
    // Called by a connection that goes away first.
    void forgetConnection(const Connection* connection) {
        if (m_connection == connection)
            m_connection = nullptr;
    }

  protected:
    Connection* m_connection;
    std::int32_t m_type;
    rziRegistryKey* m_registryKey = nullptr;
    std::shared_ptr<rziRegistry> m_registry;
    bool m_calibrated = false;
};

}  // namespace Devices

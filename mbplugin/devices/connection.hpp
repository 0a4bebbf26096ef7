#pragma once
// A connection carries data between one device object and its hardware. Created by
// ConfigManager, driven by the device it serves (not owned by it).

#include <cstdint>

namespace Devices {

class Device;

class Connection {
  public:
    explicit Connection(std::int32_t type) : m_type(type) {}
    // A device still pointing here forgets this connection.
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    virtual void connect() {}
    virtual void disconnect() {}
    // One exchange with the hardware; output true sends, false reads (meaning per class).
    virtual void update(bool output) { (void)output; }
    // Sends the device's stored settings (calibration, receiver set-up).
    virtual void sendSettings() {}
    virtual void reserved() {}
    // The server address text; null when the connection has none.
    virtual const char* getAddress() { return nullptr; }

    std::int32_t getType() const { return m_type; }
    bool isConnected() const { return m_connected; }
    Device* getDevice() const { return m_device; }
    // Set by the device's constructor.
    void setDevice(Device* device) { m_device = device; }

  protected:
    std::int32_t m_type;
    bool m_connected = false;
    Device* m_device = nullptr;
};

}  // namespace Devices

#pragma once
// The toolkit's way to the hardware: a device of the default configuration of the device
// registry, reached through the device library (mbplugin/devices) and the device manager.
//
// The registry is read once per process, on the first getDefault (the default registry
// file: $MANUVIA_REGISTRY, else the user's configuration folder), and the devices of its
// default configuration are created then. Connections and their devices live for the
// process; getDefault gives the same kpxIOConn for the same device every time. Safe to call
// from any thread.

#include <string>

namespace Devices {
class Device;
}

class kpxIOConn {
  public:
    // The toolkit's device types for getDefault(int).
    enum DeviceType {
        VEXAGLOVE = 0,  // a "vexaglove"
        TRACKER = 1,    // a "kortavel", "flock", "fastrak" or "vicon"
        VEXATOUCH = 3   // a "vexatouch"
    };

    // The device of that name ("RightGlove", "LeftForce", ...) in the default configuration;
    // null when there is none (lastError says why).
    static kpxIOConn* getDefault(const char* name);
    // The first device of that toolkit type in the default configuration; null when there
    // is none or the type is unknown.
    static kpxIOConn* getDefault(int type);
    // Why the last getDefault of this process gave null; empty after a success.
    static std::string lastError();
    // Forgets the registry and every connection (disconnecting them), so the next
    // getDefault reads the registry again. For tests and tools that switch registries; no
    // kpxIOConn or device built on one may be in use.
    static void reload();

    // The device library's device (not owned); its type says which toolkit class fits.
    Devices::Device* getDevice() const { return m_device; }
    // The registry name of the device ("RightGlove").
    const std::string& getName() const { return m_name; }

    kpxIOConn(const kpxIOConn&) = delete;
    kpxIOConn& operator=(const kpxIOConn&) = delete;

  private:
    explicit kpxIOConn(Devices::Device* device);
    ~kpxIOConn() = default;
    friend struct kpxIOConnRegistry;

    Devices::Device* m_device;
    std::string m_name;
};

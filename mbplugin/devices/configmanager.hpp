#pragma once
// One configuration of the device registry with the devices and connections created from
// it (one connection per device, same order). Objects created here are not deleted by it.

#include <cstdint>
#include <memory>

#include "containers/array.hpp"
#include "devices/connection.hpp"
#include "devices/device.hpp"
#include "registry/config.hpp"

namespace Devices {

class ConfigManager : public Config {
  public:
    ConfigManager() = default;
    ~ConfigManager() override = default;

    // The configuration key holds a value "DefaultFlag".
    bool isDefault() const;
    // Codes of types.hpp; throw X_UnresolvedConnection, X_RegistryFileError or
    // X_IllegalDeviceType when the registry does not say.
    int getConnectionType(int index) const;
    int getDeviceType(int index) const;

    // Creates device index with its connection, loads its calibration (a missing one is not
    // an error) and appends both; throws when the entry is unusable.
    Device* createDevice(int index);
    // createDevice for every entry; a failing one is reported ("Error creating device!")
    // and skipped.
    void createDevices();

    // Null for an index outside 0..count-1.
    Device* getDevice(int index);
    int getDeviceObjectCount() const { return static_cast<int>(m_devices.count()); }
    Connection* getConnection(int index);
    int getTrackdKey(int index) const {
        (void)index;
        return 0;
    }

    // The registry holding the configuration key, kept alive by this configuration and
    // handed to every device it creates.
    void setRegistry(std::shared_ptr<rziRegistry> registry) { m_registry = std::move(registry); }

    using Config::getDeviceKey;

  private:
    std::shared_ptr<rziRegistry> m_registry;
    rziDataNamespace::Array<Device*> m_devices;
    rziDataNamespace::Array<Connection*> m_connections;
};

}  // namespace Devices

#pragma once
// The device registry's configurations, in registry order, and the default one. Shares the
// registry object with the configurations and devices it creates, which live on after it
// (the owner deletes them, or lets them live for the process) and keep their keys.

#include <memory>

#include <span>

#include "devices/configmanager.hpp"
#include "devices/darray.hpp"
#include "registry/registry.hpp"

namespace Devices {

class RegistryManager {
  public:
    RegistryManager();
    // The registry goes with the last configuration or device still holding it.
    virtual ~RegistryManager();
    RegistryManager(const RegistryManager&) = delete;
    RegistryManager& operator=(const RegistryManager&) = delete;

    // Loads fileName (null: the default registry), then scans it. Registry errors pass on.
    void loadRegistry(const char* fileName);
    void scanConfigurations();

    int getConfigCount() const { return m_configs.count(); }
    // No range check beyond giving null outside 0..count-1.
    ConfigManager* getConfig(int index) const { return m_configs.get(index); }
    // Null name: the default configuration; else the first whose name matches exactly.
    ConfigManager* findConfig(const char* name) const;
    ConfigManager* getDefaultConfig() const { return m_default; }
    void createAllDevices();
    // A device created for the default configuration: the one whose name is `name`, or,
    // with a null name, the first whose type code is one of `types`. Null when there is no
    // default configuration or no such device.
    Device* findDefaultDevice(const char* name, std::span<const int> types = {}) const;

    rziRegistry& registry() { return *m_registry; }

  private:
    DArray<ConfigManager*> m_configs;
    ConfigManager* m_default = nullptr;
    std::shared_ptr<rziRegistry> m_registry;
    rziRegistryKey* m_configurationsKey = nullptr;
};

}  // namespace Devices

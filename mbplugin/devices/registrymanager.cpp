#include "devices/registrymanager.hpp"

#include <algorithm>
#include <cstring>

namespace Devices {

RegistryManager::RegistryManager() : m_registry(std::make_shared<rziRegistry>()) {}

RegistryManager::~RegistryManager() = default;

void RegistryManager::loadRegistry(const char* fileName) {
    m_registry->load(fileName);
    scanConfigurations();
}

void RegistryManager::scanConfigurations() {
    rziRegistryKey* root = m_registry->getRoot();
    if (!root)
        return;
    m_configurationsKey = root->getKey("Configurations");
    if (!m_configurationsKey)
        m_configurationsKey = root->createKey("Configurations");
    for (int i = 0; i < m_configurationsKey->getKeyCount(); ++i) {
        auto* config = new ConfigManager();
        config->m_configKey = m_configurationsKey->getKey(i);
        config->setRegistry(m_registry);
        m_configs.append(config);
        if (config->isDefault())
            m_default = config;
    }
}

ConfigManager* RegistryManager::findConfig(const char* name) const {
    if (!name)
        return m_default;
    for (int i = 0; i < m_configs.count(); ++i) {
        ConfigManager* config = m_configs.get(i);
        const char* configName = config->getName();
        if (configName && std::strcmp(configName, name) == 0)
            return config;
    }
    return nullptr;
}

void RegistryManager::createAllDevices() {
    for (int i = 0; i < m_configs.count(); ++i)
        m_configs.get(i)->createDevices();
}

Device* RegistryManager::findDefaultDevice(const char* name, std::span<const int> types) const {
    if (!m_default)
        return nullptr;
    for (int i = 0; i < m_default->getDeviceObjectCount(); ++i) {
        Device* device = m_default->getDevice(i);
        if (!device)
            continue;
        if (name) {
            const char* deviceName = device->getName();
            if (deviceName && std::strcmp(deviceName, name) == 0)
                return device;
        } else if (std::find(types.begin(), types.end(), device->getType()) != types.end()) {
            return device;
        }
    }
    return nullptr;
}

}  // namespace Devices

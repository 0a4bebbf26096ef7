#pragma once
// Helpers shared by the device library's tests.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "devices/configmanager.hpp"
#include "devices/registrymanager.hpp"
#include "devices/report.hpp"
#include "testsupport/tempdir.hpp"

namespace testsupport {

// Collects what the library reports while alive.
class ReportCatcher {
  public:
    ReportCatcher() { m_previous = Devices::setReportHook(&ReportCatcher::hook); }
    ~ReportCatcher() { Devices::setReportHook(m_previous); }
    std::vector<std::pair<std::string, std::string>> reports() const {
        std::lock_guard<std::mutex> lock(mutex());
        return store();
    }

  private:
    static void hook(const char* title, const char* message) {
        std::lock_guard<std::mutex> lock(mutex());
        store().emplace_back(title, message);
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::pair<std::string, std::string>>& store() {
        static std::vector<std::pair<std::string, std::string>> s;
        return s;
    }

  public:
    static void clear() {
        std::lock_guard<std::mutex> lock(mutex());
        store().clear();
    }

  private:
    Devices::ReportHook m_previous;
};

// The library lets configurations, devices and connections live for the process; tests
// free them so the leak checker sees real leaks only. Devices go first: a touch glove
// still talks to its connection while it is destroyed.
inline void destroyAll(Devices::ConfigManager* config) {
    if (!config)
        return;
    std::vector<Devices::Connection*> connections;
    for (int i = 0; i < config->getDeviceObjectCount(); ++i) {
        connections.push_back(config->getConnection(i));
        delete config->getDevice(i);
    }
    for (Devices::Connection* c : connections)
        delete c;
    delete config;
}

// Ends the manager first (its configurations forget their keys), then frees what it made.
inline void destroyAll(std::unique_ptr<Devices::RegistryManager>& manager) {
    if (!manager)
        return;
    std::vector<Devices::ConfigManager*> configs;
    for (int i = 0; i < manager->getConfigCount(); ++i)
        configs.push_back(manager->getConfig(i));
    manager.reset();
    for (Devices::ConfigManager* c : configs)
        destroyAll(c);
}

// A manager that frees everything it made when the test ends.
class Manager {
  public:
    Manager() : m_manager(std::make_unique<Devices::RegistryManager>()) {}
    ~Manager() { destroyAll(m_manager); }
    Devices::RegistryManager* operator->() { return m_manager.get(); }
    Devices::RegistryManager& operator*() { return *m_manager; }
    std::unique_ptr<Devices::RegistryManager>& owner() { return m_manager; }

  private:
    std::unique_ptr<Devices::RegistryManager> m_manager;
};

}  // namespace testsupport

#include <cstring>

#include "devicemanager/rzclient.h"

namespace testsupport {

// Whether the core has loaded a plug-in library of that module name ("dummy", "glove").
inline bool pluginLoaded(const char* module) {
    int n = RZ_PluginCount();
    for (int i = 0; i < n; ++i) {
        RzPluginInfo info{};
        if (RZ_GetPluginInfo(i, &info) == 0 && std::strcmp(info.module, module) == 0)
            return true;
    }
    return false;
}

}  // namespace testsupport

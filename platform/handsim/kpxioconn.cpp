#include "handsim/kpxioconn.hpp"

#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "devices/device.hpp"
#include "devices/registrymanager.hpp"
#include "devices/types.hpp"

// The process's registry and the connections handed out from it. Reached through a plain
// pointer that is never destroyed at exit: the devices may still be open then, and closing
// them from a static destructor would race the device manager's own teardown.
struct kpxIOConnRegistry {
    std::mutex mutex;
    Devices::RegistryManager* manager = nullptr;  // null until loaded
    std::map<Devices::Device*, kpxIOConn*> conns;
    std::string lastError;

    static kpxIOConnRegistry& instance() {
        static auto* registry = new kpxIOConnRegistry;
        return *registry;
    }

    // Loads the default registry and creates the default configuration's devices once.
    bool load_locked() {
        if (manager)
            return true;
        auto fresh = std::make_unique<Devices::RegistryManager>();
        try {
            fresh->loadRegistry(nullptr);
        } catch (const std::exception& e) {
            lastError = std::string("cannot read the device registry: ") + e.what();
            return false;
        }
        if (Devices::ConfigManager* config = fresh->getDefaultConfig())
            config->createDevices();
        manager = fresh.release();
        return true;
    }

    kpxIOConn* find_locked(const char* name, std::span<const int> types, const std::string& what) {
        if (!load_locked())
            return nullptr;
        if (!manager->getDefaultConfig()) {
            lastError = "the device registry has no default configuration";
            return nullptr;
        }
        Devices::Device* device = manager->findDefaultDevice(name, types);
        if (!device) {
            lastError = "no " + what + " in the default configuration";
            return nullptr;
        }
        lastError.clear();
        kpxIOConn*& conn = conns[device];
        if (!conn)
            conn = new kpxIOConn(device);
        return conn;
    }

    void reload() {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& [device, conn] : conns)
            delete conn;
        conns.clear();
        if (!manager)
            return;
        // The library never deletes what it creates; the toolkit created them, so it does,
        // after the manager has made them forget the registry it frees.
        std::vector<Devices::ConfigManager*> configs;
        std::vector<Devices::Device*> devices;
        std::vector<Devices::Connection*> connections;
        for (int c = 0; c < manager->getConfigCount(); ++c) {
            Devices::ConfigManager* config = manager->getConfig(c);
            configs.push_back(config);
            for (int i = 0; i < config->getDeviceObjectCount(); ++i) {
                devices.push_back(config->getDevice(i));
                connections.push_back(config->getConnection(i));
            }
        }
        delete manager;
        manager = nullptr;
        for (Devices::Device* device : devices) {
            if (device)
                device->disconnect();
            delete device;
        }
        for (Devices::Connection* connection : connections)
            delete connection;
        for (Devices::ConfigManager* config : configs)
            delete config;
        lastError.clear();
    }
};

kpxIOConn::kpxIOConn(Devices::Device* device) : m_device(device) {
    if (const char* name = device->getName())
        m_name = name;
}

kpxIOConn* kpxIOConn::getDefault(const char* name) {
    auto& reg = kpxIOConnRegistry::instance();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (!name) {
        reg.lastError = "no device name given";
        return nullptr;
    }
    return reg.find_locked(name, {}, std::string("device \"") + name + "\"");
}

kpxIOConn* kpxIOConn::getDefault(int type) {
    static constexpr int kGloves[] = {Devices::kVexaGlove};
    static constexpr int kTrackers[] = {Devices::kVexaForce, Devices::kFlock, Devices::kFastrak,
                                        Devices::kVicon};
    static constexpr int kTouch[] = {Devices::kVexaTouch};
    auto& reg = kpxIOConnRegistry::instance();
    std::lock_guard<std::mutex> lock(reg.mutex);
    switch (type) {
        case VEXAGLOVE:
            return reg.find_locked(nullptr, kGloves, "vexaglove");
        case TRACKER:
            return reg.find_locked(nullptr, kTrackers, "tracker");
        case VEXATOUCH:
            return reg.find_locked(nullptr, kTouch, "vexatouch");
        default:
            reg.lastError = "no toolkit device type " + std::to_string(type);
            return nullptr;
    }
}

std::string kpxIOConn::lastError() {
    auto& reg = kpxIOConnRegistry::instance();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.lastError;
}

void kpxIOConn::reload() {
    kpxIOConnRegistry::instance().reload();
}

#include "registrykeeper.hpp"

#include <mutex>
#include <vector>

#include "devices/registrymanager.hpp"

namespace Manuvia {
namespace {

struct Keeper {
    std::mutex mutex;
    std::vector<Devices::ConfigManager*> configurations;
};

Keeper& keeper() {
    // Never destroyed: devices of other plug-in objects may use these gloves until exit.
    static Keeper* k = new Keeper;
    return *k;
}

}  // namespace

void retireRegistryManager(std::unique_ptr<Devices::RegistryManager>& manager) {
    if (!manager)
        return;
    {
        Keeper& k = keeper();
        std::lock_guard<std::mutex> lock(k.mutex);
        for (int i = 0; i < manager->getConfigCount(); ++i)
            k.configurations.push_back(manager->getConfig(i));
    }
    manager.reset();
}

}  // namespace Manuvia

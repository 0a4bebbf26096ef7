#pragma once
// Keeps the configurations (with their devices and connections) of registry managers the
// layout replaces: a device may still use one of their gloves, so they live for the process,
// reachable from here. Thread-safe.

#include <memory>

namespace Devices {
class RegistryManager;
}

namespace Manuvia {

// Hands the manager's configurations to the keeper, then destroys the manager; they keep the
// registry tree they were made from alive. Null does nothing.
void retireRegistryManager(std::unique_ptr<Devices::RegistryManager>& manager);

}  // namespace Manuvia

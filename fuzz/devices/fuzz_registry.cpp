// Registry text from anywhere: either a clear rziRegistryError, or a tree that writes back
// to text which reads again into the same text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "registry/config.hpp"
#include "registry/registry.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    rziRegistry reg;
    try {
        reg.loadText(text);
    } catch (const rziRegistryError&) {
        if (reg.getRoot() != nullptr)
            std::abort();  // a refused text leaves nothing behind
        return 0;
    }
    std::string once = reg.toText();
    rziRegistry again;
    again.loadText(once);
    if (again.toText() != once)
        std::abort();

    // Walk what Config would read from each configuration.
    if (rziRegistryKey* configs = reg.getRoot()->getKey("Configurations")) {
        for (int i = 0; i < configs->getKeyCount() && i < 64; ++i) {
            Config config;
            config.m_configKey = configs->getKey(i);
            for (int d = 0; d < config.getDeviceCount() && d < 64; ++d) {
                (void)config.getDeviceTypeName(d);
                (void)config.getDeviceIpAddr(d);
                (void)config.getDeviceIpPort(d);
                (void)config.getDeviceSerialPort(d);
                (void)config.getDeviceSerialBaudRate(d);
            }
            (void)config.getVexaGloveIndex(config.getVexaGloveCount() - 1);
        }
    }
    return 0;
}

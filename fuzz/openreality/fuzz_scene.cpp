// Scene files from anywhere: either a SceneError, or objects that write back to a text which
// reads again into the same text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fbsdk/fbhost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace FBHost;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string once;
    try {
        once = writeScene(readScene(text));
    } catch (const SceneError&) {
        return 0;
    }
    try {
        if (writeScene(readScene(once)) != once) {
            std::abort();
        }
    } catch (const SceneError&) {
        std::abort();  // what was written must read back
    }
    return 0;
}

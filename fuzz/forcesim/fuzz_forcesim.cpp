// Untrusted input to the simulated force-feedback unit: control messages from a client to a
// live forcesim instance (the real core loads the real plug-in), and pose script texts.
// Input: message selector, argcode, then the payload (also read as a pose script).
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "devicemanager/rzclient.h"
#include "forcesim/posescript.hpp"

namespace {

RzDeviceHandle gUnit = 0;  // open for the whole run

// Messages a client may send; 2 (release) is left out so the instance stays.
constexpr int kMessages[] = {0, 15, 16, 19, 20, 99};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gUnit = RZ_DeviceOpen("server=localhost:port=", "fuzzunit", "kortavel");
    if (gUnit == 0)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    int message = kMessages[data[0] % (sizeof kMessages / sizeof kMessages[0])];
    int argcode = data[1];
    std::vector<uint8_t> buffer(data + 2, data + size);
    buffer.resize(4096);
    int length = static_cast<int>(std::min<size_t>(size - 2, 4096));
    int result = RZ_DeviceControl(gUnit, message, argcode, buffer.data(), &length, 4096);
    // An answer is a result code and a reply within the buffer, never more.
    if (result > 0 || length < 0 || length > 4096)
        std::abort();

    forcesim::PoseScript script;
    std::string error;
    if (script.parse(std::string(reinterpret_cast<const char*>(data + 2), size - 2), error)) {
        double pose[6];
        script.poseAt(static_cast<double>(data[1]) * 0.37, pose);
        for (double v : pose)
            if (!std::isfinite(v))
                std::abort();
    } else if (error.empty()) {
        std::abort();
    }
    return 0;
}

// The device manager's configuration file from anywhere, asked for the first two entries it
// names and for a fixed one: an answer fits the buffer it reports and reads the same in any buffer
// large enough for it, and a buffer too small is refused rather than overrun.
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "devicemanager/rzerr.h"
#include "devicemanager/rzplugin.h"

namespace {

int gFile = -1;

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// Returns whether the query had an answer; the buffer sizes around it are tried when asked
// (each try reads the whole file again).
bool ask(const std::string& query, bool trySizes) {
    std::vector<char> big(4096);
    const int n = RZ_ConfigQuery(query.c_str(), big.data(), static_cast<int>(big.size()));
    if (n < 0) {
        check(big[0] == '\0');
        return false;
    }
    // The answer may hold NULs of its own (a binary line); its end is the one after n bytes.
    check(n < 4096 && big[static_cast<size_t>(n)] == '\0');
    if (!trySizes) {
        return true;
    }
    // Exactly the answer's size: one byte short of its NUL.
    std::vector<char> tight(static_cast<size_t>(n) + 1);
    check(RZ_ConfigQuery(query.c_str(), tight.data(), n + 1) == n);
    check(std::memcmp(tight.data(), big.data(), static_cast<size_t>(n) + 1) == 0);
    std::vector<char> small(static_cast<size_t>(n));
    if (n > 0) {
        check(RZ_ConfigQuery(query.c_str(), small.data(), n) == RZERR_BUFFER_TOO_SMALL);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gFile = memfd_create("devicemanager.conf", 0);
    check(gFile >= 0);
    setenv("RZ_CONFIG_FILE", ("/proc/self/fd/" + std::to_string(gFile)).c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check(ftruncate(gFile, 0) == 0);
    check(size == 0 || pwrite(gFile, data, size, 0) == static_cast<ssize_t>(size));
    std::string_view text(reinterpret_cast<const char*>(data), size);
    int asked = 0;
    bool sized = false;
    for (size_t at = text.find('['); at != std::string_view::npos && asked < 2;
         at = text.find('[', at + 1), ++asked) {
        const size_t close = text.find_first_of("]\n", at);
        sized |= ask(std::string(text.substr(
                         at + 1, close == std::string_view::npos ? close : close - at - 1)),
                     !sized);
    }
    ask("device=glove:item=offsetgain:id=1234:port=serial1", !sized);
    return 0;
}

// Arbitrary host bytes must never make the unit emit a NUL inside a record.
#include <cstdlib>

#include "kelbunit.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kelbsim::KelbUnit unit({}, {}, [](const std::vector<std::uint8_t>& out) {
        if (out.empty() || out.back() != 0) {
            std::abort();
        }
        for (std::size_t i = 0; i + 1 < out.size(); ++i) {
            if (out[i] == 0) {
                std::abort();
            }
        }
    });
    unit.feed(data, size);
    unit.tick(1.0);
    return 0;
}

// Calibration files a user may pick: the bytes are read as a .swcal file (through the real
// file reader) and as a .hwcal block. A line that parses writes back to a line that parses to
// the same pair; a line that does not parse leaves its sensor's pair as it was.
#include "link/glovetables.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// The bytes as a file the reader opens by name, without touching the disk.
std::string memoryFile(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("swcal", 0);
    check(fd >= 0 && ftruncate(fd, 0) == 0);
    check(size == 0 || pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    return "/proc/self/fd/" + std::to_string(fd);
}

bool samePair(const glove::SensorCalibration& a, const glove::SensorCalibration& b) {
    auto same = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
    return same(a.offset, b.offset) && same(a.gain, b.gain);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A sentinel table shows which pairs the reader replaced.
    glove::CalibrationTable table;
    table.fill({-7.0, -7.0});
    check(glove::readSwcalFile(memoryFile(data, size), &table));

    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (int i = 0; i < glove::kSensorIndexCount; ++i) {
        if (text.empty() && i > 0) {
            check(samePair(table[i], {-7.0, -7.0}));
            continue;
        }
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, std::min<size_t>(end, 254));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        glove::SensorCalibration parsed{};
        if (!glove::parseSwcalLine(line, &parsed)) {
            check(samePair(table[i], {-7.0, -7.0}));
            continue;
        }
        check(samePair(table[i], parsed));
        glove::SensorCalibration again{};
        check(glove::parseSwcalLine(glove::formatSwcalLine(parsed), &again));
    }

    std::array<uint8_t, glove::kSensorIndexCount> offsets{};
    std::array<uint8_t, glove::kSensorIndexCount> gains{};
    offsets.fill(0xA5);
    gains.fill(0x5A);
    glove::readHwcalBytes(data, size, offsets, gains);
    for (int i = 0; i < glove::kSensorIndexCount; ++i) {
        const size_t o = static_cast<size_t>(i);
        const size_t g = o + glove::kSensorIndexCount;
        check(offsets[o] == (o < size ? data[o] : 0xA5));
        check(gains[o] == (g < size ? data[g] : 0x5A));
    }
    return 0;
}

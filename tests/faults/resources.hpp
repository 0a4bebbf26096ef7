// What a fault run must give back: open descriptors and resident memory of this process.
#pragma once

#include <dirent.h>
#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace faults {

// Entries of /proc/self/fd (the listing's own descriptor included, the same every time).
inline int openDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            n += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return n;
}

// AddressSanitizer keeps freed memory in quarantine, so resident memory says nothing about
// leaks there (its leak checker does); the memory checks only count without it.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kResidentMemoryTells = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kResidentMemoryTells = false;
#else
inline constexpr bool kResidentMemoryTells = true;
#endif
#else
inline constexpr bool kResidentMemoryTells = true;
#endif

// VmRSS in kilobytes; 0 when it cannot be read.
inline long residentKb() {
    // Freed heap the allocator still holds (a finished multi-megabyte download) is no leak:
    // hand it back first so only memory still in use counts.
    malloc_trim(0);
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

// Kilobytes of resident memory gained since `startKb` (0 where it says nothing).
inline long residentGrowthKb(long startKb) {
    return kResidentMemoryTells ? residentKb() - startKb : 0;
}

// The seed every scenario draws its offsets from: fixed, unless MANUVIA_FAULT_SEED names
// another (to replay a failure printed with its seed).
inline std::uint32_t seed() {
    const char* text = std::getenv("MANUVIA_FAULT_SEED");
    return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0)) : 20261208u;
}

// The seed and offset of one run, for SCOPED_TRACE.
inline std::string where(std::uint32_t seed, int run, long offset) {
    std::ostringstream s;
    s << "MANUVIA_FAULT_SEED=" << seed << " run " << run << " offset " << offset;
    return s.str();
}

}  // namespace faults

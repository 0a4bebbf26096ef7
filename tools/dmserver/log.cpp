#include "log.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace dmserver {

namespace {

std::atomic<int> gLevel{static_cast<int>(LogLevel::Info)};
const char* const kNames[] = {"error", "warn", "info", "debug"};

}  // namespace

bool setLogLevel(const std::string& name) {
    for (int i = 0; i < 4; ++i) {
        if (name == kNames[i]) {
            gLevel.store(i);
            return true;
        }
    }
    return false;
}

bool logEnabled(LogLevel level) {
    return static_cast<int>(level) <= gLevel.load();
}

void log(LogLevel level, const char* format, ...) {
    if (!logEnabled(level)) {
        return;
    }
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    // One write per line so lines of different threads never interleave.
    std::fprintf(stderr, "dmserver: %s: %s\n", kNames[static_cast<int>(level)], line);
}

}  // namespace dmserver

// dmserver's diagnostics: one line per event on standard error, filtered by a level that
// any thread may read while the command line sets it once.
#pragma once

#include <string>

namespace dmserver {

enum class LogLevel { Error = 0, Warn = 1, Info = 2, Debug = 3 };

// False for a name other than error, warn, info, debug.
bool setLogLevel(const std::string& name);
bool logEnabled(LogLevel level);
void log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace dmserver

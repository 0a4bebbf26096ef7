// Command line of the glovesim program.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "glovesim/glovecore.hpp"

namespace glovesim {

struct Options {
    GloveConfig glove;
    std::string linkPath;  // serial: symlink to the pseudo-terminal
    bool tcp = false;
    std::string tcpHost;
    std::string tcpPort;
    std::string scriptPath;
    std::string recordPath;
    std::string stampPath;  // one line per streamed frame: time text, monotonic nanoseconds
    bool once = false;      // TCP: exit when the console closes the connection
    bool verbose = false;
    bool help = false;
    bool version = false;
};

// Parses argv[1..]; on failure returns nullopt with a one-line reason in out_error.
std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string* out_error);

// Applies one "--fault MODE[=ARG]" value; false with a reason on an unknown mode or bad ARG.
bool applyFault(const std::string& text, Faults* faults, std::string* out_error);

const char* usageText();

}  // namespace glovesim

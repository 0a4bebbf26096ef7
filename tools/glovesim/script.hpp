// Scripted glove output: the exact slot values of each streamed frame and the exact bytes of
// each poll reply, read from a small text file so tests can assert exact numbers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace glovesim {

inline constexpr int kFrameSlotCount = 23;

struct ScriptFrame {
    std::optional<std::string> timeText;  // 13 or 14 characters when present
    std::array<int16_t, kFrameSlotCount> slots{};
};

struct ScriptPoll {
    std::vector<uint8_t> bytes;  // one count per frame slot, sent as given
};

enum class ScriptEnd { Loop, Hold, Stop };

struct Script {
    std::vector<ScriptFrame> frames;
    std::vector<ScriptPoll> polls;
    ScriptEnd end = ScriptEnd::Loop;
};

// Parses the script text. On failure returns nullopt and sets out_error to
// "line N: reason".
std::optional<Script> parseScript(const std::string& text, std::string* out_error);

// Reads and parses a script file.
std::optional<Script> loadScript(const std::string& path, std::string* out_error);

}  // namespace glovesim

#include "glovesim/script.hpp"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace glovesim {

namespace {

constexpr size_t kMaxScriptBytes = 16 * 1024 * 1024;

bool parseLong(const std::string& word, long lo, long hi, long* out) {
    if (word.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(word.c_str(), &end, 0);
    if (errno != 0 || end == word.c_str() || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    *out = v;
    return true;
}

// "HH:MM:SS:F:FF" as the glove prints it, or 14 characters that fill the field to the frame's
// first slot; only the length is checked, so tests can send deliberately odd text.
bool validTimeText(const std::string& t) {
    if (t.size() != 13 && t.size() != 14) {
        return false;
    }
    for (char c : t) {
        if (c == '\0') {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<Script> parseScript(const std::string& text, std::string* out_error) {
    Script script;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    auto fail = [&](const std::string& why) -> std::optional<Script> {
        if (out_error) {
            *out_error = "line " + std::to_string(lineNo) + ": " + why;
        }
        return std::nullopt;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        auto hash = line.find('#');
        if (hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream words(line);
        std::string keyword;
        if (!(words >> keyword)) {
            continue;
        }
        if (keyword == "frame") {
            ScriptFrame frame;
            std::string word;
            int slot = 0;
            while (words >> word) {
                if (word.rfind("time=", 0) == 0) {
                    std::string t = word.substr(5);
                    if (!validTimeText(t)) {
                        return fail("time= needs 13 or 14 characters such as 12:00:00:0:01");
                    }
                    frame.timeText = t;
                    continue;
                }
                if (slot >= kFrameSlotCount) {
                    return fail("a frame has at most 23 slot values");
                }
                long v = 0;
                if (!parseLong(word, -32768, 32767, &v)) {
                    return fail("slot value '" + word + "' is not a number in -32768..32767");
                }
                frame.slots[slot++] = static_cast<int16_t>(v);
            }
            script.frames.push_back(frame);
        } else if (keyword == "poll") {
            ScriptPoll poll;
            std::string word;
            while (words >> word) {
                if (poll.bytes.size() >= static_cast<size_t>(kFrameSlotCount)) {
                    return fail("a poll reply has at most 23 values");
                }
                long v = 0;
                if (!parseLong(word, 0, 255, &v)) {
                    return fail("poll value '" + word + "' is not a number in 0..255");
                }
                poll.bytes.push_back(static_cast<uint8_t>(v));
            }
            script.polls.push_back(std::move(poll));
        } else if (keyword == "end") {
            std::string mode;
            words >> mode;
            if (mode == "loop") {
                script.end = ScriptEnd::Loop;
            } else if (mode == "hold") {
                script.end = ScriptEnd::Hold;
            } else if (mode == "stop") {
                script.end = ScriptEnd::Stop;
            } else {
                return fail("end takes loop, hold or stop");
            }
        } else {
            return fail("unknown keyword '" + keyword + "'");
        }
    }
    return script;
}

std::optional<Script> loadScript(const std::string& path, std::string* out_error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (out_error) {
            *out_error = "cannot open script " + path;
        }
        return std::nullopt;
    }
    std::string text;
    char buf[4096];
    while (file.read(buf, sizeof buf) || file.gcount() > 0) {
        text.append(buf, static_cast<size_t>(file.gcount()));
        if (text.size() > kMaxScriptBytes) {
            if (out_error) {
                *out_error = "script " + path + " is larger than 16 MiB";
            }
            return std::nullopt;
        }
    }
    std::string err;
    auto script = parseScript(text, &err);
    if (!script && out_error) {
        *out_error = path + ": " + err;
    }
    return script;
}

}  // namespace glovesim

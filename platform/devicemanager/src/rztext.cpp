// Key/value settings, tokens, name tables and diagnostics.
#include <strings.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "devicemanager/rzcore.h"

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Decimal, or hexadecimal after "0x"; an optional sign; the whole text must be the number.
bool parseInteger(std::string_view s, long long& out) {
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) {
        return false;
    }
    unsigned long long value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    if (ec != std::errc() || end != s.data() + s.size() || value > 0xFFFFFFFFull) {
        return false;
    }
    out = negative ? -static_cast<long long>(value) : static_cast<long long>(value);
    return true;
}

// One value into its destination; false leaves the destination as it was.
bool parseValue(const RzKeyValue& kv, std::string_view text) {
    switch (kv.type) {
        case RZ_KV_BYTE: {
            long long v = 0;
            if (text.empty()) {
                v = 0;
            } else if (!parseInteger(text, v)) {
                if (text.size() != 1) {
                    return false;
                }
                v = static_cast<unsigned char>(text[0]);
            }
            if (v < 0 || v > 255) {
                return false;
            }
            *static_cast<unsigned char*>(kv.destination) = static_cast<unsigned char>(v);
            return true;
        }
        case RZ_KV_INT: {
            long long v = 0;
            if (!parseInteger(text, v)) {
                return false;
            }
            // Hexadecimal masks such as 0xffffffff keep their bits.
            if (v < INT32_MIN || v > static_cast<long long>(UINT32_MAX)) {
                return false;
            }
            *static_cast<int*>(kv.destination) = static_cast<int>(static_cast<uint32_t>(v));
            return true;
        }
        case RZ_KV_BOOL: {
            static const char* const kTrue[] = {"on", "true", "yes", "1"};
            static const char* const kFalse[] = {"off", "false", "no", "0"};
            for (const char* t : kTrue) {
                if (equalsNoCase(text, t)) {
                    *static_cast<int*>(kv.destination) = 1;
                    return true;
                }
            }
            for (const char* f : kFalse) {
                if (equalsNoCase(text, f)) {
                    *static_cast<int*>(kv.destination) = 0;
                    return true;
                }
            }
            return false;
        }
        case RZ_KV_DOUBLE: {
            if (!text.empty() && text.front() == '+') {
                text.remove_prefix(1);
            }
            double v = 0;
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
            if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
                !std::isfinite(v)) {
                return false;
            }
            *static_cast<double*>(kv.destination) = v;
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

extern "C" {

int RZ_GetKeyValue(const char* text, RzKeyValue* table, int useDefaults) {
    if (table == nullptr) {
        return 0;
    }
    bool ok = true;
    size_t entries = 0;
    while (table[entries].type != RZ_KV_END) {
        if (table[entries].key == nullptr || table[entries].destination == nullptr) {
            return 0;
        }
        ++entries;
    }
    if (useDefaults) {
        for (size_t i = 0; i < entries; ++i) {
            const char* d = table[i].defaultText ? table[i].defaultText : "";
            ok = parseValue(table[i], trim(d)) && ok;
        }
    }
    std::string_view rest = text ? text : "";
    bool first = true;
    while (!rest.empty() || first) {
        size_t cut = rest.find_first_of(":\n");
        std::string_view token = trim(rest.substr(0, cut));
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        if (token.empty()) {
            if (rest.empty()) {
                break;
            }
            continue;
        }
        size_t eq = token.find('=');
        if (eq == std::string_view::npos) {
            // Only the first token may be a bare port or device name.
            if (!first) {
                ok = false;
            }
            first = false;
            continue;
        }
        first = false;
        std::string_view key = trim(token.substr(0, eq));
        std::string_view value = trim(token.substr(eq + 1));
        for (size_t i = 0; i < entries; ++i) {
            if (equalsNoCase(key, table[i].key)) {
                ok = parseValue(table[i], value) && ok;
            }
        }
    }
    return ok ? 1 : 0;
}

const char* RZ_GetStringToken(const char* text, const char* separators, char* out, int size) {
    if (out != nullptr && size > 0) {
        out[0] = '\0';
    }
    if (text == nullptr) {
        return nullptr;
    }
    size_t len = separators ? std::strcspn(text, separators) : std::strlen(text);
    if (out != nullptr && size > 0) {
        size_t copy = std::min(len, static_cast<size_t>(size - 1));
        std::memcpy(out, text, copy);
        out[copy] = '\0';
    }
    return text[len] == '\0' ? nullptr : text + len + 1;
}

int RZ_GetStringIndex(const char* name, const RzStringIndex* table) {
    if (name == nullptr || table == nullptr) {
        return -1;
    }
    for (const RzStringIndex* e = table; e->index != -1 && e->name != nullptr; ++e) {
        if (strcasecmp(e->name, name) == 0) {
            return e->index;
        }
    }
    return -1;
}

const char* RZ_GetStringFromIndex(int index, const RzStringIndex* table) {
    if (table == nullptr || index < 0) {
        return nullptr;
    }
    for (const RzStringIndex* e = table; e->index != -1 && e->name != nullptr; ++e) {
        if (e->index == index) {
            return e->name;
        }
    }
    return nullptr;
}

void RZ_Verbose(const char* format, ...) {
    if (format == nullptr) {
        return;
    }
    char line[2048];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    // One write per message so lines of different threads do not interleave.
    std::fwrite(line, 1, std::min(static_cast<size_t>(n), sizeof(line) - 1), stderr);
}

void RZ_ErrorPrint(int code, const char* prefix) {
    RZ_Verbose("%s: %s (%d)\n", prefix ? prefix : "", RZ_ErrorName(code), code);
}

void RZ_PrintBuffer(const void* bytes, int length, const char* prefix) {
    std::string line = prefix ? prefix : "";
    char part[16];
    std::snprintf(part, sizeof(part), " %d", length < 0 ? 0 : length);
    line += part;
    line += " bytes:";
    const auto* b = static_cast<const unsigned char*>(bytes);
    for (int i = 0; b != nullptr && i < length && i < 256; ++i) {
        std::snprintf(part, sizeof(part), " %02x", b[i]);
        line += part;
    }
    if (length > 256) {
        line += " ...";
    }
    RZ_Verbose("%s\n", line.c_str());
}

}  // extern "C"

#include "forcesim/posescript.hpp"

#include <strings.h>
#include <cmath>
#include <cstring>
#include <sstream>

namespace forcesim {

bool PoseScript::parse(const std::string& text, std::string& out_error) {
    std::vector<Key> keys;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        std::istringstream fields(line);
        Key key{};
        fields >> key.t;
        for (double& v : key.pose) {
            fields >> v;
        }
        std::string extra;
        bool finite = std::isfinite(key.t);
        for (double v : key.pose) {
            finite = finite && std::isfinite(v);
        }
        if (fields.fail() || (fields >> extra) || !finite) {
            out_error = "line " + std::to_string(number) + ": expected seven numbers";
            return false;
        }
        if (keys.empty() ? key.t != 0.0 : !(key.t > keys.back().t)) {
            out_error = "line " + std::to_string(number) +
                        ": times start at 0 and increase from key to key";
            return false;
        }
        if (static_cast<int>(keys.size()) == kMaxKeys) {
            out_error = "more than " + std::to_string(kMaxKeys) + " keys";
            return false;
        }
        keys.push_back(key);
    }
    m_keys = std::move(keys);
    return true;
}

void PoseScript::poseAt(double seconds, double out_pose[6]) const {
    if (m_keys.empty()) {
        for (int k = 0; k < 6; ++k) {
            out_pose[k] = 0.0;
        }
        return;
    }
    double period = m_keys.back().t;
    double t = period > 0.0 && std::isfinite(seconds) ? std::fmod(std::fabs(seconds), period) : 0.0;
    size_t i = 0;
    while (i + 1 < m_keys.size() && m_keys[i + 1].t <= t) {
        ++i;
    }
    const Key& a = m_keys[i];
    if (i + 1 == m_keys.size()) {
        std::memcpy(out_pose, a.pose, sizeof a.pose);
        return;
    }
    const Key& b = m_keys[i + 1];
    double w = (t - a.t) / (b.t - a.t);
    for (int k = 0; k < 6; ++k) {
        out_pose[k] = a.pose[k] + w * (b.pose[k] - a.pose[k]);
    }
}

void textSetting(const char* settings, const char* key, char* out, int size) {
    out[0] = '\0';
    if (settings == nullptr || size <= 0) {
        return;
    }
    size_t keyLength = std::strlen(key);
    const char* p = settings;
    while (*p != '\0') {
        size_t n = std::strcspn(p, ":\n");
        const char* eq = static_cast<const char*>(std::memchr(p, '=', n));
        if (eq != nullptr && static_cast<size_t>(eq - p) == keyLength &&
            strncasecmp(p, key, keyLength) == 0) {
            size_t valueLength = n - keyLength - 1;
            if (valueLength >= static_cast<size_t>(size)) {
                valueLength = static_cast<size_t>(size) - 1;
            }
            std::memcpy(out, eq + 1, valueLength);
            out[valueLength] = '\0';
            return;
        }
        p += n;
        if (*p != '\0') {
            ++p;
        }
    }
}

}  // namespace forcesim

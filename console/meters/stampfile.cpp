#include "meters/stampfile.hpp"

#include <algorithm>
#include <sstream>

namespace glove {

std::optional<Stamp> parseStampLine(const std::string& line) {
    std::istringstream in(line);
    Stamp s;
    if (!(in >> s.key >> s.madeNs) || s.madeNs < 0) {
        return std::nullopt;
    }
    if (!(in >> s.sentNs)) {
        if (!in.eof()) {
            return std::nullopt;
        }
        s.sentNs = s.madeNs;
    }
    std::string rest;
    if (in >> rest) {
        return std::nullopt;
    }
    return s;
}

StampFile::StampFile(std::string path, std::size_t keep)
    : path_(std::move(path)), keep_(std::max<std::size_t>(keep, 1)) {}

bool StampFile::poll() {
    if (!in_.is_open()) {
        in_.open(path_, std::ios::binary);
        if (!in_) {
            in_.close();
            return false;
        }
    }
    in_.clear();  // a previous poll stopped at the end of the file
    char buf[4096];
    while (in_.read(buf, sizeof buf) || in_.gcount() > 0) {
        partial_.append(buf, static_cast<std::size_t>(in_.gcount()));
        std::size_t start = 0;
        for (std::size_t nl; (nl = partial_.find('\n', start)) != std::string::npos;
             start = nl + 1) {
            if (auto s = parseStampLine(partial_.substr(start, nl - start))) {
                stamps_.push_back(std::move(*s));
                if (stamps_.size() > keep_) {
                    stamps_.pop_front();
                }
            } else {
                ++malformed_;
            }
        }
        partial_.erase(0, start);
        // A line without an end this long is not a stamp: drop it rather than grow.
        if (partial_.size() > 1024) {
            partial_.clear();
            ++malformed_;
        }
    }
    return true;
}

std::optional<Stamp> StampFile::find(const std::string& key) const {
    for (auto it = stamps_.rbegin(); it != stamps_.rend(); ++it) {
        if (it->key == key) {
            return *it;
        }
    }
    return std::nullopt;
}

std::optional<Stamp> StampFile::lastSentBy(std::int64_t ns) const {
    auto it = std::upper_bound(stamps_.begin(), stamps_.end(), ns,
                               [](std::int64_t v, const Stamp& s) { return v < s.sentNs; });
    if (it == stamps_.begin()) {
        return std::nullopt;
    }
    return *std::prev(it);
}

}  // namespace glove

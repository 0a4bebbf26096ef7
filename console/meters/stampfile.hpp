// Reader of the send-stamp side files the simulators write: one line per streamed sample,
// "KEY MADE_NS [SENT_NS]", the times in nanoseconds of the host's monotonic clock
// (std::chrono::steady_clock). glovesim keys a frame by its time text ("12:00:01:2:07"),
// kelbsim by the record's sequence number. The file may still be growing: poll() takes the
// lines appended since the last call. Thread: one owner.
#pragma once

#include <cstdint>
#include <deque>
#include <fstream>
#include <optional>
#include <string>

namespace glove {

struct Stamp {
    std::string key;
    std::int64_t madeNs = 0;
    std::int64_t sentNs = 0;  // MADE_NS when the line has no SENT_NS
};

class StampFile {
  public:
    explicit StampFile(std::string path, std::size_t keep = 8192);

    // Reads complete lines appended since the last call; false when the file cannot be opened.
    // Malformed lines are skipped (and counted).
    bool poll();

    std::optional<Stamp> find(const std::string& key) const;
    // The last stamp sent at or before ns (samples arrive in order, so this is the newest one
    // a receiver can have seen by then).
    std::optional<Stamp> lastSentBy(std::int64_t ns) const;

    std::size_t size() const { return stamps_.size(); }
    long malformed() const { return malformed_; }

  private:
    std::string path_;
    std::size_t keep_;
    std::ifstream in_;
    std::string partial_;
    std::deque<Stamp> stamps_;
    long malformed_ = 0;
};

// Parses "KEY MADE_NS [SENT_NS]".
std::optional<Stamp> parseStampLine(const std::string& line);

}  // namespace glove

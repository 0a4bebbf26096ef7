#pragma once
// A take: frames of the wireless glove as received, kept as CSV text and exported as BVH of the
// 21-joint hand. Qt-free, so the consoles, glovectl and the dummy plug-in share one format.
//
// CSV layout: comment lines start with '#'; the first line is "# manuvia take 1", a second
// "# hand=right|left period=SECONDS" gives the stream's nominal frame period. Then one header
// line with the column names (kColumns) and one row per received frame:
//   host_s   seconds since the take started, host's monotonic clock, at receipt
//   glove_s  the glove's time stamp as seconds of the day (see gloveSeconds)
//   hh,mm,ss,f4,f5  the five time fields as the frame carried them
//   gap_s    0, or the length of the hole before this frame (frame-time step above 1.5
//            periods and above a period plus the stamp's 1/30 s, or the time the connection
//            was down)
//   raw_<code> x24  raw sensor values in sensor-index order (2032 = never set)
//   <code> x24      joint angles in radians, same order, flexion negative
// Indexes 7 and 23 carry no sensor; they are named raw_n7/n7 and raw_n23/n23.
// A take that ends in silence (or with the connection down) ends with a row "# gap SECONDS".

#include <array>
#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

namespace take {

constexpr int kValues = 24;

struct Frame {
    double hostSeconds = 0;
    double gloveSeconds = 0;
    int time[5] = {};
    double gapSeconds = 0;
    std::array<std::int32_t, kValues> raw{};
    std::array<double, kValues> angles{};  // radians
};

struct Take {
    bool rightHand = true;
    double period = 1.0 / 30.0;  // nominal seconds between frames
    std::vector<Frame> frames;
    double endGapSeconds = 0;  // silence after the last frame
};

// Host-side delays (reading, scheduling) below this are not holes in the stream.
constexpr double kHostSlack = 0.25;

// A BVH file read back far enough to check it: joint names in file order, channels per joint,
// frames declared and frame lines present.
struct BvhSummary {
    std::vector<std::string> joints;
    std::vector<int> channels;
    long framesDeclared = -1;
    long frameLines = 0;
    double frameTime = 0;
};

// A take file that cannot be read: the message names the line and what is wrong.
class TakeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The header line of the CSV, without its newline.
std::string columnLine();

// The glove's five time fields as seconds of the day: hours, minutes, seconds, then the fifth
// field counts frames of the second at the glove's 30 Hz base rate (the fourth, a sub-frame of
// the rate multiplier, is kept in the file but not counted).
double gloveSeconds(const int time[5]);

// Appends frames to a take as they arrive and decides where the holes are. Not thread-safe:
// one recorder per receiving thread.
class Recorder {
  public:
    explicit Recorder(std::ostream& out, bool rightHand = true, double period = 1.0 / 30.0);
    // One received frame; hostSeconds from the recorder's own clock base (the caller's).
    void add(double hostSeconds, const int time[5], const std::int32_t raw[kValues],
             const double angles[kValues]);
    // The connection dropped: the next frame is marked as following a hole, however short.
    void connectionLost() { m_lost = true; }
    // The take ends at hostSeconds: a silent stretch since the last frame is written as a
    // trailing "# gap" row.
    void finish(double hostSeconds);
    long frames() const { return m_frames; }
    long gaps() const { return m_gaps; }
    // The frames kept for the BVH export (only when asked for at construction of the export).
    const Take& take() const { return m_take; }
    void keepFrames(bool keep) { m_keep = keep; }

  private:
    std::ostream& m_out;
    Take m_take;
    bool m_keep = false;
    bool m_lost = false;
    long m_frames = 0;
    long m_gaps = 0;
    double m_lastGlove = 0;
    double m_lastHost = 0;
};

// Reads a whole take; throws TakeError for anything that is not a take (wrong header, short or
// long rows, non-numbers, more than maxFrames frames).
Take readTake(std::istream& in, long maxFrames = 2'000'000);
Take readTakeFile(const std::string& path, long maxFrames = 2'000'000);

// Reads the structure of BVH text; throws TakeError when it is not BVH.
BvhSummary readBvh(std::istream& in);

}  // namespace take

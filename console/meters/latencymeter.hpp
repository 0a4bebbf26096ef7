// Latency, jitter, rate and clock drift of a sample stream.
//  - latency: receive time minus the sender's own send stamp, both on the host's monotonic
//    clock (the simulators write their stamps to a side file); jitter is the standard
//    deviation of the latencies.
//  - rate: samples per second over the receive times kept.
//  - drift: the slope of a least-squares line through (receive time, glove time), minus 1, in
//    parts per million; positive when the glove's clock runs fast.
// The last `window` samples of each kind are kept. Thread: one owner.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <utility>

namespace glove {

struct LatencyStats {
    std::size_t latencySamples = 0;
    double latencyMs = 0.0;  // mean
    double jitterMs = 0.0;   // standard deviation
    double minMs = 0.0;
    double maxMs = 0.0;
    std::size_t frames = 0;
    double rateHz = 0.0;
    std::optional<double> driftPpm;  // needs a few seconds of glove times
};

class LatencyMeter {
  public:
    explicit LatencyMeter(std::size_t window = 600);

    // A sample the sender stamped at sentSec and that arrived at receivedSec.
    void addLatency(double sentSec, double receivedSec);
    // A sample carrying the glove's own time, received at receivedSec (gloveSec may wrap at
    // midnight; it is unwrapped here).
    void addFrame(double gloveSec, double receivedSec);
    void clear();

    LatencyStats stats() const;

  private:
    std::size_t window_;
    std::deque<double> latencies_;                  // seconds
    std::deque<std::pair<double, double>> frames_;  // (received, glove)
    double lastGlove_ = 0.0;
    double gloveWrap_ = 0.0;
};

// The summary line both dmctl and palmdesk show, e.g.
// "latency 52.1 ms (jitter 3.2 ms, 40..61 ms, 120 samples), rate 30.0 Hz, drift +12 ppm".
std::string formatLatency(const LatencyStats& stats);

}  // namespace glove

#include "meters/latencymeter.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace glove {

namespace {
constexpr double kDay = 86400.0;
// A line through less than this much receive time says little about the clocks.
constexpr double kMinDriftSpan = 2.0;
}  // namespace

LatencyMeter::LatencyMeter(std::size_t window) : window_(std::max<std::size_t>(window, 2)) {}

void LatencyMeter::addLatency(double sentSec, double receivedSec) {
    latencies_.push_back(receivedSec - sentSec);
    if (latencies_.size() > window_) {
        latencies_.pop_front();
    }
}

void LatencyMeter::addFrame(double gloveSec, double receivedSec) {
    if (!frames_.empty() && gloveSec + gloveWrap_ < lastGlove_ - kDay / 2) {
        gloveWrap_ += kDay;
    }
    lastGlove_ = gloveSec + gloveWrap_;
    frames_.emplace_back(receivedSec, lastGlove_);
    if (frames_.size() > window_) {
        frames_.pop_front();
    }
}

void LatencyMeter::clear() {
    latencies_.clear();
    frames_.clear();
    lastGlove_ = 0.0;
    gloveWrap_ = 0.0;
}

LatencyStats LatencyMeter::stats() const {
    LatencyStats s;
    s.latencySamples = latencies_.size();
    if (!latencies_.empty()) {
        double sum = 0.0;
        double lo = latencies_.front();
        double hi = lo;
        for (double l : latencies_) {
            sum += l;
            lo = std::min(lo, l);
            hi = std::max(hi, l);
        }
        double mean = sum / static_cast<double>(latencies_.size());
        double var = 0.0;
        for (double l : latencies_) {
            var += (l - mean) * (l - mean);
        }
        var /= static_cast<double>(latencies_.size());
        s.latencyMs = mean * 1e3;
        s.jitterMs = std::sqrt(var) * 1e3;
        s.minMs = lo * 1e3;
        s.maxMs = hi * 1e3;
    }
    s.frames = frames_.size();
    if (frames_.size() >= 2) {
        double span = frames_.back().first - frames_.front().first;
        if (span > 0) {
            s.rateHz = static_cast<double>(frames_.size() - 1) / span;
        }
        if (span >= kMinDriftSpan) {
            // Centred sums keep the fit exact with large absolute times.
            double mr = 0.0;
            double mg = 0.0;
            for (const auto& [r, g] : frames_) {
                mr += r;
                mg += g;
            }
            mr /= static_cast<double>(frames_.size());
            mg /= static_cast<double>(frames_.size());
            double srr = 0.0;
            double srg = 0.0;
            for (const auto& [r, g] : frames_) {
                srr += (r - mr) * (r - mr);
                srg += (r - mr) * (g - mg);
            }
            if (srr > 0) {
                s.driftPpm = (srg / srr - 1.0) * 1e6;
            }
        }
    }
    return s;
}

std::string formatLatency(const LatencyStats& s) {
    char buf[256];
    std::string out;
    if (s.latencySamples > 0) {
        std::snprintf(buf, sizeof buf,
                      "latency %.1f ms (jitter %.1f ms, %.0f..%.0f ms, %zu samples)", s.latencyMs,
                      s.jitterMs, s.minMs, s.maxMs, s.latencySamples);
    } else {
        std::snprintf(buf, sizeof buf, "latency n/a (no send stamps)");
    }
    out = buf;
    std::snprintf(buf, sizeof buf, ", rate %.1f Hz", s.rateHz);
    out += buf;
    if (s.driftPpm) {
        std::snprintf(buf, sizeof buf, ", drift %+.0f ppm", *s.driftPpm);
        out += buf;
    } else {
        out += ", drift n/a";
    }
    return out;
}

}  // namespace glove

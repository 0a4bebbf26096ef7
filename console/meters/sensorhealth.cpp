#include "meters/sensorhealth.hpp"

#include <algorithm>
#include <cmath>

namespace glove {

namespace {
// Bounds memory whatever the sample rate.
constexpr std::size_t kMaxSamples = 4096;
}  // namespace

SensorHealth::SensorHealth(int channels, HealthThresholds thresholds)
    : thresholds_(thresholds), channels_(std::max(channels, 0)) {}

void SensorHealth::add(double t, std::span<const double> values) {
    Sample s{t, std::vector<double>(static_cast<std::size_t>(channels_), 0.0)};
    std::copy_n(values.begin(), std::min(values.size(), s.v.size()), s.v.begin());
    window_.push_back(std::move(s));
    while (window_.size() > kMaxSamples ||
           (window_.size() > 1 && t - window_.front().t > thresholds_.windowSeconds)) {
        window_.pop_front();
    }
}

void SensorHealth::clear() {
    window_.clear();
}

std::uint8_t SensorHealth::flags(int channel) const {
    if (channel < 0 || channel >= channels_ || window_.size() < 3) {
        return 0;
    }
    const auto c = static_cast<std::size_t>(channel);
    const HealthThresholds& th = thresholds_;
    const std::size_t n = window_.size();
    std::uint8_t out = 0;

    double lo = window_.front().v[c];
    double hi = lo;
    std::size_t atEnd = 0;
    for (const Sample& s : window_) {
        double v = s.v[c];
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        if (v <= th.rawMin + th.saturationMargin || v >= th.rawMax - th.saturationMargin) {
            ++atEnd;
        }
    }
    double span = window_.back().t - window_.front().t;
    if (hi - lo < th.flatEpsilon && span >= th.flatSeconds) {
        out |= kHealthFlat;
    }
    if (static_cast<double>(atEnd) >= th.saturationShare * static_cast<double>(n)) {
        out |= kHealthSaturated;
    }

    // Sample-to-sample change against the change of the moving average.
    const auto k = static_cast<std::size_t>(std::max(th.trendSamples, 1));
    if (n > k + 1) {
        double step = 0.0;
        for (std::size_t i = 1; i < n; ++i) {
            step += std::fabs(window_[i].v[c] - window_[i - 1].v[c]);
        }
        step /= static_cast<double>(n - 1);
        // Consecutive moving averages differ by (x[i] - x[i-k]) / k.
        double trend = 0.0;
        for (std::size_t i = k; i < n; ++i) {
            trend += std::fabs(window_[i].v[c] - window_[i - k].v[c]) / static_cast<double>(k);
        }
        trend /= static_cast<double>(n - k);
        if (step >= th.noiseFloor && step > th.noiseRatio * trend) {
            out |= kHealthNoisy;
        }
    }
    return out;
}

const char* healthFlagText(std::uint8_t flags) {
    static const char* const kTexts[8] = {
        "",      "flat",        "saturated",        "flat, saturated",
        "noisy", "flat, noisy", "saturated, noisy", "flat, saturated, noisy"};
    return kTexts[flags & 7];
}

}  // namespace glove

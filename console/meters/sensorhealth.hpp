// Health of each sensor's signal over a sliding window of recent samples:
//  - flat: the range (max - min) stays below flatEpsilon while the window spans at least
//    flatSeconds (a sensor that is unplugged or stuck);
//  - saturated: at least saturationShare of the window lies within saturationMargin of the raw
//    minimum or maximum (a sensor pinned at an end of its range);
//  - noisy: the mean sample-to-sample change exceeds noiseRatio times the mean change of the
//    signal's trend (a moving average over trendSamples), and is at least noiseFloor, so the
//    small steps of a slow signal never count as noise.
// Values are in the sensor's raw counts. Thread: one owner.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace glove {

struct HealthThresholds {
    double windowSeconds = 2.0;
    double flatSeconds = 1.5;
    double flatEpsilon = 2.0;
    double rawMin = 0.0;
    double rawMax = 255.0;
    double saturationMargin = 1.0;
    double saturationShare = 0.6;
    double noiseRatio = 3.0;
    double noiseFloor = 4.0;
    int trendSamples = 5;
};

enum HealthFlag : std::uint8_t {
    kHealthFlat = 1,
    kHealthSaturated = 2,
    kHealthNoisy = 4,
};

class SensorHealth {
  public:
    explicit SensorHealth(int channels, HealthThresholds thresholds = {});

    // One sample at time t (seconds); values beyond the channel count are ignored.
    void add(double t, std::span<const double> values);
    void clear();

    // The HealthFlag bits of a channel for the current window (0 = healthy or too few samples).
    std::uint8_t flags(int channel) const;
    const HealthThresholds& thresholds() const { return thresholds_; }

  private:
    struct Sample {
        double t;
        std::vector<double> v;
    };
    HealthThresholds thresholds_;
    int channels_;
    std::deque<Sample> window_;
};

// "flat", "saturated", "noisy", joined by ", "; empty when healthy.
const char* healthFlagText(std::uint8_t flags);

}  // namespace glove

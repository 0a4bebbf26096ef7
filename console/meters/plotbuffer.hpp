// Samples for a live plot: a fixed-capacity ring (the oldest sample goes when it is full) and a
// redraw throttle, so a fast stream never makes the plot redraw more often than a display can
// show. Times are passed in, so callers and tests choose the clock.
// Thread: one owner (the window thread).
#pragma once

#include <chrono>
#include <cstddef>
#include <span>
#include <vector>

namespace glove {

class PlotBuffer {
  public:
    using Duration = std::chrono::nanoseconds;

    PlotBuffer(std::size_t capacity, int channels, double maxRedrawHz = 30.0);

    // One sample: its time in seconds and one value per channel (missing channels read 0).
    void push(double t, std::span<const double> values);
    void clear();

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    int channels() const { return channels_; }
    // i = 0 is the oldest sample kept.
    double time(std::size_t i) const { return slot(i)[0]; }
    double value(std::size_t i, int channel) const { return slot(i)[1 + channel]; }

    // True when new samples arrived and the last redraw is at least one redraw period old;
    // a true answer counts as the redraw happening at now.
    bool takeRedraw(Duration now);
    long redraws() const { return redraws_; }

  private:
    const double* slot(std::size_t i) const;

    std::size_t capacity_;
    int channels_;
    Duration period_;
    std::vector<double> data_;  // capacity x (1 + channels)
    std::size_t head_ = 0;      // next slot to write
    std::size_t size_ = 0;
    bool dirty_ = false;
    bool drawnOnce_ = false;
    Duration lastRedraw_{};
    long redraws_ = 0;
};

}  // namespace glove

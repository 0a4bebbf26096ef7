#include "meters/plotbuffer.hpp"

#include <algorithm>

namespace glove {

PlotBuffer::PlotBuffer(std::size_t capacity, int channels, double maxRedrawHz)
    : capacity_(std::max<std::size_t>(capacity, 1)),
      channels_(std::max(channels, 0)),
      period_(std::chrono::duration_cast<Duration>(
          std::chrono::duration<double>(1.0 / std::max(maxRedrawHz, 0.001)))),
      data_(capacity_ * static_cast<std::size_t>(1 + channels_), 0.0) {
    // Rounding down the period would allow one redraw too many per second.
    if (std::chrono::duration<double>(period_).count() * maxRedrawHz < 1.0) {
        period_ += Duration(1);
    }
}

void PlotBuffer::push(double t, std::span<const double> values) {
    const auto stride = static_cast<std::size_t>(1 + channels_);
    double* out = data_.data() + head_ * stride;
    out[0] = t;
    for (int c = 0; c < channels_; ++c) {
        auto uc = static_cast<std::size_t>(c);
        out[1 + c] = uc < values.size() ? values[uc] : 0.0;
    }
    head_ = (head_ + 1) % capacity_;
    size_ = std::min(size_ + 1, capacity_);
    dirty_ = true;
}

void PlotBuffer::clear() {
    head_ = 0;
    size_ = 0;
    dirty_ = true;
}

const double* PlotBuffer::slot(std::size_t i) const {
    std::size_t first = (head_ + capacity_ - size_) % capacity_;
    return data_.data() + ((first + i) % capacity_) * static_cast<std::size_t>(1 + channels_);
}

bool PlotBuffer::takeRedraw(Duration now) {
    if (!dirty_ || (drawnOnce_ && now - lastRedraw_ < period_)) {
        return false;
    }
    dirty_ = false;
    drawnOnce_ = true;
    lastRedraw_ = now;
    ++redraws_;
    return true;
}

}  // namespace glove

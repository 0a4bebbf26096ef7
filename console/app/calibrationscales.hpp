#pragma once
// Slider scales of the calibration page. Both sliders run 0..100. In software mode they
// stand for a gain of 0..0.025 radians per count and an offset of 0..255 counts; in hardware
// mode for the glove's calibration bytes 0..250.

namespace palmdesk {

inline constexpr int kSliderMax = 100;
inline constexpr double kGainFullScale = 0.025;
inline constexpr double kOffsetFullScale = 255.0;

// 2.5 v rounded half up, in integers (0..100 -> 0..250).
constexpr int toHW(int v) {
    return v % 2 == 0 ? 2 * v + v / 2 : 2 * v + (v + 1) / 2;
}

// The slider position shown for a byte read from the glove.
constexpr int fromHW(int b) {
    return b % 5 != 0 ? (2 * b - 1) / 5 : 2 * b / 5;
}

constexpr double gainFromSlider(int v) {
    return v / 100.0 * kGainFullScale;
}
constexpr int sliderFromGain(double gain) {
    return static_cast<int>(gain / kGainFullScale * 100);
}
constexpr double offsetFromSlider(int v) {
    return v / 100.0 * kOffsetFullScale;
}
constexpr int sliderFromOffset(double offset) {
    return static_cast<int>(offset / kOffsetFullScale * 100);
}
// The hardware-mode label value of a slider position.
constexpr int hardwareLabelValue(int v) {
    return static_cast<int>(v / 100.0 * 255);
}

}  // namespace palmdesk

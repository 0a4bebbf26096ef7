#pragma once
// The wireless glove's byte-level protocol without any I/O or Qt: streaming-frame and poll-reply
// decoding, the numbers inside command replies, frame resynchronisation, the download
// terminator and the raw-to-angle conversion. The link, the window, glovectl, the fuzzers and
// the benchmark all run this code.
//
// Thread: one owner decodes and converts; the read-outs marked "any thread" are atomics.

#include "link/glovetables.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace glove {

inline constexpr int kReplySize = 1024;       // room for one command reply
inline constexpr int kTerminatorLength = 15;  // carriage returns ending a download

// Leading decimal digits of text[begin, end); 0 when there are none.
int leadingNumber(const char* text, int begin, int end);
// atoi-like: leading white space, optional sign, digits of text[begin, end).
int parseNumber(const char* text, int begin, int end);

// True when the three ':' of the time text sit where a frame puts them.
bool frameSeparatorsInPlace(const char* frame);
// Where the next frame starts inside a frame read out of step: just after a NUL that is
// followed by a time text, else just after the last NUL; kFrameSize when there is none.
int frameResyncOffset(const char* frame);
// True when data[from, size) holds kTerminatorLength carriage returns in a row.
bool containsTerminator(const uint8_t* data, size_t size, size_t from);

// Raw sensor values, frame time and angles of one glove, and its software calibration.
class Decoder {
  public:
    Decoder();

    // Takes the 61 frame bytes; false (raw and time untouched) when the separators are not in
    // place.
    bool decodeFrame(const char* frame);
    // Takes the whole poll reply, echo first, and its length; false when it held no values.
    bool decodePollReply(const char* reply, int count);

    // Applies a pending auto-zero, then converts raw counts to angles.
    void computeAngles();
    void zeroOffsetsFromRaw();

    void copyRaw(uint32_t out[kSensorIndexCount]) const;   // any thread
    void copyAngles(double out[kSensorIndexCount]) const;  // any thread, row-major
    double angle(int row, int column) const;               // any thread
    uint32_t rawValue(int idx) const;                      // any thread
    void setRawValue(int idx, uint32_t value);
    void frameTime(int out[5]) const;  // any thread
    int frameTimeField(int field) const {
        return frameTime_[field].load(std::memory_order_relaxed);
    }

    int sensorCount() const { return sensorCount_.load(std::memory_order_relaxed); }  // any thread
    bool rightHand() const { return rightHand_.load(std::memory_order_relaxed); }     // any thread
    void setSensorCount(int count) { sensorCount_.store(count, std::memory_order_relaxed); }
    void setRightHand(bool right) { rightHand_.store(right, std::memory_order_relaxed); }

    SensorCalibration calibration(int idx) const;
    void setCalibration(int idx, SensorCalibration value);
    void setCalibrationOffset(int idx, double offset);
    void setCalibrationGain(int idx, double gain);
    const CalibrationTable& calibrationTable() const { return calibration_; }
    CalibrationTable& calibrationTable() { return calibration_; }
    bool autoZeroEnabled() const { return autoZeroEnabled_; }
    void setAutoZeroEnabled(bool on) { autoZeroEnabled_ = on; }
    bool autoZeroPending() const { return autoZeroPending_; }

  private:
    std::atomic<bool> rightHand_{true};
    std::atomic<int> sensorCount_{0};
    bool autoZeroEnabled_ = false;
    bool autoZeroPending_ = true;
    std::array<std::atomic<int>, 5> frameTime_{};
    std::array<std::atomic<uint32_t>, kSensorIndexCount> raw_;
    std::array<std::atomic<double>, kSensorIndexCount> angles_;
    CalibrationTable calibration_;
};

}  // namespace glove

#include "link/gloveprotocol.hpp"

#include <algorithm>
#include <cstdlib>

namespace glove {

int leadingNumber(const char* text, int begin, int end) {
    int value = 0;
    for (int i = begin; i < end && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 99999999) {
            break;
        }
    }
    return value;
}

int parseNumber(const char* text, int begin, int end) {
    int i = begin;
    while (i < end && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < end && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    const int value = leadingNumber(text, i, end);
    return negative ? -value : value;
}

bool frameSeparatorsInPlace(const char* frame) {
    return frame[2] == ':' && frame[5] == ':' && frame[8] == ':';
}

int frameResyncOffset(const char* frame) {
    constexpr int n = kFrameSize;
    for (int p = 1; p + 8 < n; ++p) {
        if (frame[p - 1] == '\0' && frame[p + 2] == ':' && frame[p + 5] == ':' &&
            frame[p + 8] == ':') {
            return p;
        }
    }
    for (int p = n - 1; p >= 0; --p) {
        if (frame[p] == '\0') {
            return p + 1;
        }
    }
    return n;
}

bool containsTerminator(const uint8_t* data, size_t size, size_t from) {
    int run = 0;
    for (size_t i = from; i < size; ++i) {
        run = data[i] == 0x0D ? run + 1 : 0;
        if (run >= kTerminatorLength) {
            return true;
        }
    }
    return false;
}

Decoder::Decoder() : calibration_(kDefaultCalibration) {
    for (auto& r : raw_) {
        r.store(kRawInitial, std::memory_order_relaxed);
    }
    for (auto& a : angles_) {
        a.store(0.0, std::memory_order_relaxed);
    }
    computeAngles();
}

bool Decoder::decodeFrame(const char* frame) {
    if (!frameSeparatorsInPlace(frame)) {
        return false;
    }
    // Each field is read within its own place of the 14-byte time text.
    static constexpr int kBegin[5] = {0, 3, 6, 9, 11};
    static constexpr int kEnd[5] = {2, 5, 8, 11, 14};
    for (int f = 0; f < 5; ++f) {
        frameTime_[f].store(leadingNumber(frame, kBegin[f], kEnd[f]), std::memory_order_relaxed);
    }
    const SlotMap& map = slotMapFor(sensorCount());
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame) + 14;
    for (int s = 0; s < kFrameSlotCount; ++s) {
        const int idx = map[s];
        if (idx < 0) {
            continue;
        }
        const int32_t v = static_cast<int8_t>(bytes[2 * s]) * 256 + bytes[2 * s + 1];
        const int64_t old = raw_[idx].load(std::memory_order_relaxed);
        if (std::llabs(v - old) > 64) {
            raw_[idx].store(static_cast<uint32_t>(v), std::memory_order_relaxed);
        }
    }
    return true;
}

bool Decoder::decodePollReply(const char* reply, int count) {
    const int n = std::min(count, kFrameSlotCount);
    if (n <= 1) {
        return false;
    }
    const SlotMap& map = slotMapFor(sensorCount());
    for (int s = 0; s < n; ++s) {
        const int idx = map[s];
        if (idx < 0) {
            continue;
        }
        // With the NUL counted in n, the last slot may lie one past the reply: it reads as 0.
        const uint8_t byte = 1 + s < count ? static_cast<uint8_t>(reply[1 + s]) : 0;
        const uint32_t v = static_cast<uint32_t>(byte) * 16;
        const uint32_t old = raw_[idx].load(std::memory_order_relaxed);
        const int64_t diff = static_cast<int64_t>(v) - static_cast<int64_t>(old);
        if (std::llabs(diff) > 64 || old == kRawInitial) {
            raw_[idx].store(v, std::memory_order_relaxed);
        }
    }
    return true;
}

void Decoder::computeAngles() {
    if (autoZeroEnabled_ && autoZeroPending_) {
        zeroOffsetsFromRaw();
        autoZeroPending_ = false;
    }
    double a[6][4];
    auto count = [this](int i) {
        return static_cast<double>(raw_[i].load(std::memory_order_relaxed) >> 4);
    };
    for (int r = 0; r < 6; ++r) {
        for (int k = 0; k < 4; ++k) {
            const int i = 4 * r + k;
            a[r][k] = (count(i) - calibration_[i].offset) * (-calibration_[i].gain);
        }
    }
    if (a[0][0] > 0.5) {
        a[0][0] = 0.5;
    }
    // Finger spread: index 7 has no sensor, its gain scales the index-middle spread; the
    // gain of index 11 is the middle finger's share of it.
    const double t = (count(11) - calibration_[11].offset) * calibration_[7].gain;
    const double u = -(a[3][3] + t) * calibration_[11].gain;
    a[1][3] = t + u;
    a[2][3] = u;
    a[3][3] = a[3][3] + u;
    a[4][3] = a[4][3] + a[3][3];
    if (sensorCount() == 18) {
        // No outer joint sensors: estimate them from the middle joints.
        for (int r = 1; r <= 4; ++r) {
            const double p = a[r][1];
            a[r][2] = a[r][2] > 0 ? (0.32 * p + 0.17) * p : -p * (0.32 * p + 0.17);
        }
    }
    if (!rightHand()) {
        for (int r = 0; r <= 4; ++r) {
            a[r][3] = -a[r][3];
        }
        a[5][2] = -a[5][2];
    }
    for (int r = 0; r < 6; ++r) {
        for (int k = 0; k < 4; ++k) {
            angles_[4 * r + k].store(a[r][k], std::memory_order_relaxed);
        }
    }
}

void Decoder::zeroOffsetsFromRaw() {
    for (int i = 0; i < kSensorIndexCount; ++i) {
        calibration_[i].offset = static_cast<double>(raw_[i].load(std::memory_order_relaxed) >> 4);
    }
}

void Decoder::copyRaw(uint32_t out[kSensorIndexCount]) const {
    for (int i = 0; i < kSensorIndexCount; ++i) {
        out[i] = raw_[i].load(std::memory_order_relaxed);
    }
}

void Decoder::copyAngles(double out[kSensorIndexCount]) const {
    for (int i = 0; i < kSensorIndexCount; ++i) {
        out[i] = angles_[i].load(std::memory_order_relaxed);
    }
}

double Decoder::angle(int row, int column) const {
    if (row < 0 || row >= 6 || column < 0 || column >= 4) {
        return 0.0;
    }
    return angles_[4 * row + column].load(std::memory_order_relaxed);
}

uint32_t Decoder::rawValue(int idx) const {
    return idx >= 0 && idx < kSensorIndexCount ? raw_[idx].load(std::memory_order_relaxed) : 0;
}

void Decoder::setRawValue(int idx, uint32_t value) {
    if (idx >= 0 && idx < kSensorIndexCount) {
        raw_[idx].store(value, std::memory_order_relaxed);
    }
}

void Decoder::frameTime(int out[5]) const {
    for (int f = 0; f < 5; ++f) {
        out[f] = frameTime_[f].load(std::memory_order_relaxed);
    }
}

SensorCalibration Decoder::calibration(int idx) const {
    return idx >= 0 && idx < kSensorIndexCount ? calibration_[idx] : SensorCalibration{0, 0};
}

void Decoder::setCalibration(int idx, SensorCalibration value) {
    if (idx >= 0 && idx < kSensorIndexCount) {
        calibration_[idx] = value;
    }
}

void Decoder::setCalibrationOffset(int idx, double offset) {
    if (idx >= 0 && idx < kSensorIndexCount) {
        calibration_[idx].offset = offset;
    }
}

void Decoder::setCalibrationGain(int idx, double gain) {
    if (idx >= 0 && idx < kSensorIndexCount) {
        calibration_[idx].gain = gain;
    }
}

}  // namespace glove

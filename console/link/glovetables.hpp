#pragma once
// Fixed tables of the wireless glove: sensor indexes, frame-slot maps, the default software
// calibration and the hardware position map, with the helpers around them: sensor names,
// the hardware block, battery level, file names and the file-list reply, and the .swcal
// software calibration lines and files (the only I/O here). No Qt, so the decoders, the
// fuzzers and the benchmark share exactly the code the link runs.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace glove {

inline constexpr int kSensorIndexCount = 24;  // 6 finger groups x 4 joints
inline constexpr int kFrameSlotCount = 23;    // sensor values in one streaming frame
inline constexpr int kFrameSize = 61;         // 14 time bytes + 23 x 2 value bytes + NUL
inline constexpr int kHardwareSensorCount = 18;
inline constexpr int kHardwareBlockReadSize = 48;   // 24 offsets + 24 gains, by sensor index
inline constexpr int kHardwareBlockWriteSize = 36;  // 18 offsets + 18 gains, by hw position
inline constexpr uint32_t kRawInitial = 2032;       // 127 counts on the 12-bit scale

// Offset in 8-bit counts (raw >> 4), gain in radians per count.
struct SensorCalibration {
    double offset;
    double gain;
};

using CalibrationTable = std::array<SensorCalibration, kSensorIndexCount>;
using SlotMap = std::array<int, kFrameSlotCount>;

extern const SlotMap kSlotMap18;
extern const SlotMap kSlotMap22;
extern const CalibrationTable kDefaultCalibration;
// Sensor index -> position in the glove's 18-entry hardware block, -1 where it has none.
extern const std::array<int, kSensorIndexCount> kHardwarePosition;

// 22 sensors use the 22-sensor map; every other count (0 included) the 18-sensor map.
const SlotMap& slotMapFor(int sensorCount);

// Empty strings for indexes 7 and 23 and for anything out of range.
const char* sensorLongName(int idx);
const char* sensorShortCode(int idx);
// Compares the first 3 characters (the NUL of a two-letter code included) against the codes
// of indexes 0..22; -1 when none matches.
int sensorIndexFromCode(const char* code);

// The 36 bytes "CA" carries: byte p = offset, byte 18 + p = gain, for each index with a
// hardware position p.
std::array<uint8_t, kHardwareBlockWriteSize> encodeHardwareBlock(
    const std::array<uint8_t, kSensorIndexCount>& offsets,
    const std::array<uint8_t, kSensorIndexCount>& gains);

// 2 when v >= 7.8, 1 when 6.9 <= v < 7.8, 0 when 0 < v < 6.9, 3 (unknown) otherwise.
int batteryLevelFor(float volts);

// A glove-supplied file name may become a local path only when it names a plain file in the
// chosen folder: not empty, no '/' or '\\', not "." or "..", no "..", no NUL.
bool isSafeFileName(std::string_view name);

// Splits the file-list reply text (CR LF ended lines, NUL ended) into names.
std::vector<std::string> parseFileList(const char* data, int size);

// One .swcal line, "%5.0lf %6.5lf\n" with '.' whatever the locale.
std::string formatSwcalLine(const SensorCalibration& c);
// "%lf %lf" with '.' whatever the locale; false when the line does not hold two numbers.
bool parseSwcalLine(std::string_view line, SensorCalibration* out);

// A .hwcal file's bytes: 24 offsets then 24 gains, by sensor index. Bytes past the 48th are
// ignored; entries the bytes do not reach keep their values.
void readHwcalBytes(const uint8_t* data, size_t size,
                    std::array<uint8_t, kSensorIndexCount>& offsets,
                    std::array<uint8_t, kSensorIndexCount>& gains);

// Writes 24 lines; false when the file cannot be created or written.
bool writeSwcalFile(const std::string& path, const CalibrationTable& table);
// Reads up to 24 lines; a line that does not parse keeps its pair. False when the file
// cannot be opened.
bool readSwcalFile(const std::string& path, CalibrationTable* table);

}  // namespace glove

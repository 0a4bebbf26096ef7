#include "link/glovetables.hpp"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

namespace glove {

const SlotMap kSlotMap18 = {0,  1,  2,  3,  4,  5,  8,  9,  11, 12, 13, 15,
                            16, 17, 19, 20, 21, 22, -1, -1, -1, -1, -1};
const SlotMap kSlotMap22 = {0,  1,  2,  3,  4,  5,  6,  8,  9,  10, 11, 12,
                            13, 14, 15, 16, 17, 18, 19, 20, 21, 22, -1};

const CalibrationTable kDefaultCalibration = {{
    {56, 0.01584},  {114, 0.01459}, {109, 0.01427}, {69, 0.00502},  {89, 0.01616}, {64, 0.01459},
    {65, 0.00753},  {125, 0.00449}, {81, 0.01725},  {74, 0.01804},  {91, 0.01051}, {151, 0.248},
    {78, 0.01757},  {63, 0.01788},  {81, 0.01051},  {162, 0.00612}, {70, 0.01663}, {73, 0.0182},
    {101, 0.00988}, {131, 0.00596}, {71, 0.0091},   {143, 0.00863}, {89, 0.00392}, {60, 0.00781},
}};

const std::array<int, kSensorIndexCount> kHardwarePosition = {
    0, 1, 2, 3, 4, 5, -1, -1, 6, 7, -1, 8, 9, 10, -1, 11, 12, 13, -1, 14, 15, 16, 17, -1};

namespace {

const char* const kLongNames[kSensorIndexCount] = {
    "Thumb roll",
    "Thumb inner joint",
    "Thumb outer joint",
    "Thumb-Index abduction",
    "Index finger inner joint",
    "Index finger middle joint",
    "Index finger outer joint",
    "",
    "Middle finger inner joint",
    "Middle finger middle joint",
    "Middle finger outer joint",
    "Index-Middle abduction",
    "Ring finger inner joint",
    "Ring finger middle joint",
    "Ring finger outer joint",
    "Middle-Ring abduction",
    "Pinky finger inner joint",
    "Pinky finger middle joint",
    "Pinky finger outer joint",
    "Ring-Pinky abduction",
    "Palm arch",
    "Wrist flexion",
    "Wrist abduction",
    "",
};

const char* const kShortCodes[kSensorIndexCount] = {
    "TR",  "TIJ", "TOJ", "TIA", "IMJ", "IPJ", "IDJ", "",    "MMJ", "MPJ", "MDJ", "IMA",
    "RMJ", "RPJ", "RDJ", "MRA", "PMJ", "PPJ", "PDJ", "RPA", "PAR", "WFL", "WAB", "",
};

}  // namespace

const SlotMap& slotMapFor(int sensorCount) {
    return sensorCount == 22 ? kSlotMap22 : kSlotMap18;
}

const char* sensorLongName(int idx) {
    return idx >= 0 && idx < kSensorIndexCount ? kLongNames[idx] : "";
}

const char* sensorShortCode(int idx) {
    return idx >= 0 && idx < kSensorIndexCount ? kShortCodes[idx] : "";
}

int sensorIndexFromCode(const char* code) {
    if (code == nullptr) {
        return -1;
    }
    for (int i = 0; i < 23; ++i) {
        if (std::strncmp(code, kShortCodes[i], 3) == 0) {
            return i;
        }
    }
    return -1;
}

std::array<uint8_t, kHardwareBlockWriteSize> encodeHardwareBlock(
    const std::array<uint8_t, kSensorIndexCount>& offsets,
    const std::array<uint8_t, kSensorIndexCount>& gains) {
    std::array<uint8_t, kHardwareBlockWriteSize> block{};
    for (int i = 0; i < kSensorIndexCount; ++i) {
        const int p = kHardwarePosition[i];
        if (p >= 0) {
            block[p] = offsets[i];
            block[kHardwareSensorCount + p] = gains[i];
        }
    }
    return block;
}

int batteryLevelFor(float volts) {
    // Written so that NaN falls through to "unknown".
    if (volts >= 7.8f) {
        return 2;
    }
    if (volts >= 6.9f) {
        return 1;
    }
    if (volts > 0.0f) {
        return 0;
    }
    return 3;
}

bool isSafeFileName(std::string_view name) {
    if (name.empty() || name == ".") {
        return false;
    }
    if (name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) {
        return false;
    }
    return name.find("..") == std::string_view::npos;
}

std::vector<std::string> parseFileList(const char* data, int size) {
    std::vector<std::string> names;
    if (data == nullptr || size <= 0) {
        return names;
    }
    const std::string_view text(data, strnlen(data, static_cast<size_t>(size)));
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view name = text.substr(begin, end - begin);
        while (!name.empty() && name.back() == '\r') {
            name.remove_suffix(1);
        }
        if (!name.empty()) {
            names.emplace_back(name);
        }
        begin = end + 1;
    }
    return names;
}

std::string formatSwcalLine(const SensorCalibration& c) {
    // std::to_chars ignores the locale, unlike printf's "%lf".
    // Room for any double in fixed notation (up to 309 integer digits), so no value is lost.
    char offset[400];
    char gain[400];
    auto r1 = std::to_chars(offset, offset + sizeof offset, c.offset, std::chars_format::fixed, 0);
    auto r2 = std::to_chars(gain, gain + sizeof gain, c.gain, std::chars_format::fixed, 5);
    std::string o(offset, r1.ec == std::errc() ? r1.ptr : offset);
    std::string g(gain, r2.ec == std::errc() ? r2.ptr : gain);
    std::string line;
    if (o.size() < 5) {
        line.append(5 - o.size(), ' ');
    }
    line += o;
    line += ' ';
    if (g.size() < 6) {
        line.append(6 - g.size(), ' ');
    }
    line += g;
    line += '\n';
    return line;
}

namespace {

// One "%lf" conversion: skips white space, takes an optional sign, then a decimal number.
const char* parseDouble(const char* p, const char* end, double* out) {
    while (p < end &&
           (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\v' || *p == '\f')) {
        ++p;
    }
    if (p < end && *p == '+') {
        ++p;
        if (p < end && *p == '-') {
            return nullptr;
        }
    }
    auto r = std::from_chars(p, end, *out, std::chars_format::general);
    if (r.ec != std::errc()) {
        return nullptr;
    }
    return r.ptr;
}

}  // namespace

bool parseSwcalLine(std::string_view line, SensorCalibration* out) {
    const char* p = line.data();
    const char* end = p + line.size();
    double offset = 0;
    double gain = 0;
    p = parseDouble(p, end, &offset);
    if (p == nullptr) {
        return false;
    }
    if (parseDouble(p, end, &gain) == nullptr) {
        return false;
    }
    out->offset = offset;
    out->gain = gain;
    return true;
}

bool writeSwcalFile(const std::string& path, const CalibrationTable& table) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!f) {
        return false;
    }
    for (const SensorCalibration& c : table) {
        const std::string line = formatSwcalLine(c);
        if (std::fwrite(line.data(), 1, line.size(), f.get()) != line.size()) {
            return false;
        }
    }
    return std::fflush(f.get()) == 0;
}

bool readSwcalFile(const std::string& path, CalibrationTable* table) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::string line;
    for (int i = 0; i < kSensorIndexCount && std::getline(in, line); ++i) {
        if (line.size() > 254) {
            line.resize(254);
        }
        SensorCalibration c{};
        if (parseSwcalLine(line, &c)) {
            (*table)[i] = c;
        }
    }
    return true;
}

void readHwcalBytes(const uint8_t* data, size_t size,
                    std::array<uint8_t, kSensorIndexCount>& offsets,
                    std::array<uint8_t, kSensorIndexCount>& gains) {
    for (size_t i = 0; i < size && i < 2 * offsets.size(); ++i) {
        if (i < offsets.size()) {
            offsets[i] = data[i];
        } else {
            gains[i - offsets.size()] = data[i];
        }
    }
}

}  // namespace glove

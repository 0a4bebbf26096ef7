// The wired glove's wire formats and joint maths, free of threads and of the plug-in frame:
// sensor records with their hysteresis, query replies, joint values with the estimated outer
// joints and the thumb roll, calibration in its configuration, binary and text forms, and the
// read items of message 15. The driver (glove.cpp) calls these under its state lock; tests and
// the fuzzer call them directly.
//
// Records handed in are whole stream records: `len` counts every byte up to and including the
// terminating NUL when there is one; nothing past `len` is ever read.
#pragma once

#include <cstdint>
#include <string>

namespace gloved {

constexpr int kSensors = 24;
constexpr int kRecordMax = 2048;  // receive buffer, bytes

// Status byte of the instance.
constexpr uint8_t kStatusError = 0x01;  // interface-unit error: the whole byte is exactly 1
constexpr uint8_t kStatusStreaming = 0x04;
constexpr uint8_t kStatusPolled = 0x08;
constexpr uint8_t kStatusAwaiting = 0x10;

// Glove command bytes.
constexpr uint8_t kCmdAbort = 0x03;
constexpr uint8_t kCmdReboot = 0x12;

struct Calibration {
    double offset[kSensors];
    double gain[kSensors];
};

void defaultCalibration(Calibration& out);

// Parses the configuration answer: up to 48 numbers one after the other, even positions
// offsets, odd positions gains. Gives the count read; `out` is replaced only when it is 48.
int parseCalibrationAnswer(const char* text, Calibration& out);

struct Thumb {
    double geometry[5][4];  // points (x, y, z, radius)
    double base[16];        // thumb base transform (row-vector 4x4)
    double offsetAngle;     // radians
    double reference[3];    // thumb reference direction
    double axis[3];
};

// Default geometry, reference direction (7, 3, -2) and axis (-0.1, 7, 1).
void resetThumb(Thumb& t);
// Base transform and offset angle from the geometry and axis; the axis is normalised and,
// for hand flag 0, negated, and stored back.
void deriveThumbBase(Thumb& t, bool handFlag);
// Roll angle of the thumb from the previously published v[0] and v[3]; normalises and stores
// back the reference direction. 0 when the geometry is degenerate.
double thumbRoll(Thumb& t, double v0, double v3);

struct SensorStatus {
    bool complete = false;  // length matched: raw bytes and the fields below are valid
    bool ready = false;     // status bits 0 and 7 both set
    bool wrist = false;     // bit 1
    bool light = false;     // bit 2
};

// Applies an 'S' or 'G' record to the stored raw bytes. A record whose length is not the
// masked sensor count + 3 changes nothing. A masked byte replaces the stored one only when
// the two, read as signed bytes, differ by 4 or more; unmasked sensors become 0.
SensorStatus decodeSensorRecord(const uint8_t* rec, int len, uint32_t mask, uint8_t raw[kSensors]);

// The 24 joint values (radians) from the raw bytes; `previous` are the values published
// before this record (for the thumb roll). `out` may alias `previous`.
void computeJointValues(const uint8_t raw[kSensors], const Calibration& cal, uint32_t mask,
                        bool handFlag, Thumb& thumb, const double previous[kSensors],
                        double out[kSensors]);

// The three parameter bytes of a "?P" (binary) or "?p" (text) reply; false when the reply is
// too short or not three numbers.
struct Params {
    int p0 = 0, p1 = 0, p2 = 0;
};
bool parseParamReply(const uint8_t* rec, int len, Params& out);
// "?M": three mask bytes, low first; false when shorter.
bool parseMaskReply(const uint8_t* rec, int len, uint32_t& out);
// "?i": the number after "S/N" following the first two bytes; false when absent.
bool parseSerialNumber(const uint8_t* rec, int len, int& out);

// True when `rec` is the awaited reply: `code` is the command's first byte, or for a '?'
// query its second byte with bit 7 set (then the record must be a '?' reply too).
bool isAwaitedReply(const uint8_t* rec, int len, uint8_t code);

// Calibration as message 19 gives it: 24 x 2 records (g, i, w, value).
std::string calibrationBinary(const Calibration& cal);  // 528 bytes
std::string calibrationText(const Calibration& cal);
// Message 20: 0, -1 for a record out of range or a malformed line (records before it stay
// applied), -15 for a binary payload that is not whole 11-byte records.
int applyCalibrationBinary(const uint8_t* payload, int len, Calibration& cal);
int applyCalibrationText(const uint8_t* payload, int len, Calibration& cal);

// What message 15 reads.
struct ReadSnapshot {
    uint8_t raw[kSensors] = {};
    double values[kSensors] = {};
    uint8_t wrist = 0;
    uint8_t reserved[6] = {};
};
// Appends read item 1 to 8 in binary or text form (items 3 to 6 are empty).
void appendReadItem(int item, bool text, const ReadSnapshot& s, std::string& out);

// Actuator pairs of command item 1 in text form: lines "index amplitude" (0..255 each).
// Gives the pair count, or -15 for a malformed line or more than `maxPairs` pairs.
int parseActuatorText(const uint8_t* payload, int len, uint8_t* outPairs, int maxPairs);

// What the stream worker does about a silent line, by the whole milliseconds since the
// reference time.
enum class Recovery { None, Reboot, Restream, MoveReference };
Recovery recoveryAfterSilence(long ms);

// Command bytes.
int setParametersCommand(bool wrist, bool light, bool a, bool b, bool c, bool d, uint8_t out[4]);
int setMaskCommand(uint32_t mask, uint8_t out[4]);

}  // namespace gloved

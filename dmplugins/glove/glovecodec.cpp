#include "glove/glovecodec.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>

#include "devicemanager/rzcore.h"

namespace gloved {
namespace {

constexpr double kDefaultOffset[kSensors] = {56, 114, 109, 69,  89, 64, 65,  125, 81, 74,  91, 151,
                                             78, 63,  81,  162, 70, 73, 101, 131, 71, 143, 89, 60};
constexpr double kDefaultGain[kSensors] = {0.01584, 0.01459, 0.01427, 0.00502, 0.01616, 0.01459,
                                           0.00753, 0.00449, 0.01725, 0.01804, 0.01051, 0.248,
                                           0.01757, 0.01788, 0.01051, 0.00612, 0.01663, 0.0182,
                                           0.00988, 0.00596, 0.0091,  0.00863, 0.00392, 0.00781};

constexpr double kDefaultGeometry[5][4] = {{0, 0, 0, 2},
                                           {2.5, 3.4, -1, 1.8},
                                           {6.6, 5.8, -0.5, 1.4},
                                           {9, 7.4, -0.5, 1.2},
                                           {11.3, 9, -0.5, 0.9}};

constexpr int kCalRecord = 11;  // g, i, w, 8-byte double

double dot(const double a[3], const double b[3]) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// Normalises in place; false (vector left) when it has no length.
bool normalise(double v[3]) {
    double n = std::sqrt(dot(v, v));
    if (!(n > 1e-12) || !std::isfinite(n)) {
        return false;
    }
    v[0] /= n, v[1] /= n, v[2] /= n;
    return true;
}

// Bytes before the terminating NUL.
int contentLength(const uint8_t* rec, int len) {
    return (len > 0 && rec[len - 1] == 0) ? len - 1 : len;
}

// The record's bytes from `from` up to its end as text, cut at any NUL.
std::string textOf(const uint8_t* rec, int len, int from) {
    int n = contentLength(rec, len);
    std::string s;
    for (int i = from; i < n && rec[i] != 0; ++i) {
        s.push_back(static_cast<char>(rec[i]));
    }
    return s;
}

// Lines of a payload, ending at its length or at a NUL.
template <typename Fn>
int forEachLine(const uint8_t* payload, int len, Fn fn) {
    std::string text;
    for (int i = 0; i < len && payload[i] != 0; ++i) {
        text.push_back(static_cast<char>(payload[i]));
    }
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        int r = fn(line);
        if (r != 0) {
            return r;
        }
    }
    return 0;
}

bool onlyBlanks(const char* p) {
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    return *p == '\0';
}

bool setPair(Calibration& cal, int g, int i, int w, double value) {
    if (g < 0 || g > 6 || i < 0 || i > 4 || w < 0 || w > 1 || 4 * g + i >= kSensors ||
        !std::isfinite(value)) {
        return false;
    }
    (w == 0 ? cal.offset : cal.gain)[4 * g + i] = value;
    return true;
}

}  // namespace

void defaultCalibration(Calibration& out) {
    std::copy(std::begin(kDefaultOffset), std::end(kDefaultOffset), out.offset);
    std::copy(std::begin(kDefaultGain), std::end(kDefaultGain), out.gain);
}

int parseCalibrationAnswer(const char* text, Calibration& out) {
    if (text == nullptr) {
        return 0;
    }
    double numbers[2 * kSensors];
    int count = 0;
    const char* p = text;
    while (count < 2 * kSensors) {
        char* end = nullptr;
        double v = std::strtod(p, &end);
        if (end == p) {
            break;
        }
        numbers[count++] = v;
        p = end;
    }
    if (count == 2 * kSensors) {
        for (int k = 0; k < kSensors; ++k) {
            out.offset[k] = numbers[2 * k];
            out.gain[k] = numbers[2 * k + 1];
        }
    }
    return count;
}

void resetThumb(Thumb& t) {
    std::memcpy(t.geometry, kDefaultGeometry, sizeof(t.geometry));
    t.reference[0] = 7, t.reference[1] = 3, t.reference[2] = -2;
    t.axis[0] = -0.1, t.axis[1] = 7, t.axis[2] = 1;
    RZ_Mat4Identity(t.base);
    t.offsetAngle = 0;
}

void deriveThumbBase(Thumb& t, bool handFlag) {
    double n[3] = {t.axis[0], t.axis[1], t.axis[2]};
    normalise(n);
    if (!handFlag) {
        n[0] = -n[0], n[1] = -n[1], n[2] = -n[2];
    }
    std::copy(n, n + 3, t.axis);
    const double z[3] = {0, 0, 1};
    double u[3];
    RZ_Pos3Cross(z, n, u);
    normalise(u);
    double w[3];
    RZ_Pos3Cross(n, u, w);
    double r[16] = {};
    std::copy(n, n + 3, r);
    std::copy(u, u + 3, r + 4);
    std::copy(w, w + 3, r + 8);
    r[15] = 1;
    double tr[16];
    RZ_Mat4Identity(tr);
    RZ_Mat4Translate(tr, t.geometry[1][0], t.geometry[1][1], t.geometry[1][2]);
    RZ_Mat4MultMat4(r, tr, t.base);
    double d[3] = {t.geometry[2][0] - t.geometry[1][0], t.geometry[2][1] - t.geometry[1][1],
                   t.geometry[2][2] - t.geometry[1][2]};
    normalise(d);
    t.offsetAngle = -(std::numbers::pi / 2 - std::acos(std::clamp(dot(d, n), -1.0, 1.0)));
}

double thumbRoll(Thumb& t, double v0, double v3) {
    double m[16];
    std::copy(t.base, t.base + 16, m);
    RZ_Mat4Rotate(m, 'x', v0);
    RZ_Mat4Rotate(m, 'z', t.offsetAngle + v3);
    normalise(t.reference);
    const double* mx = m;
    const double* my = m + 4;
    double a[3];
    RZ_Pos3Cross(t.reference, my, a);
    if (!normalise(a)) {
        return 0;
    }
    double b[3];
    RZ_Pos3Cross(mx, a, b);
    double angle = std::acos(std::clamp(dot(mx, a), -1.0, 1.0));
    if (!std::isfinite(angle)) {
        return 0;
    }
    return dot(my, b) < 0 ? -angle : angle;
}

SensorStatus decodeSensorRecord(const uint8_t* rec, int len, uint32_t mask, uint8_t raw[kSensors]) {
    SensorStatus s;
    int taken = 0;
    for (int k = 0; k < kSensors; ++k) {
        taken += (mask >> k) & 1u;
    }
    // Checked before any byte is taken: a short record must neither be read past its end
    // nor leave half-updated raw bytes behind.
    if (rec == nullptr || len != taken + 3) {
        return s;
    }
    int pos = 1;
    for (int k = 0; k < kSensors; ++k) {
        if ((mask >> k) & 1u) {
            uint8_t b = rec[pos++];
            int diff = static_cast<int8_t>(b) - static_cast<int8_t>(raw[k]);
            if (diff >= 4 || diff <= -4) {
                raw[k] = b;
            }
        } else {
            raw[k] = 0;
        }
    }
    uint8_t status = rec[pos];
    s.complete = true;
    s.ready = (status & 0x01) != 0 && (status & 0x80) != 0;
    s.wrist = (status & 0x02) != 0;
    s.light = (status & 0x04) != 0;
    return s;
}

void computeJointValues(const uint8_t raw[kSensors], const Calibration& cal, uint32_t mask,
                        bool handFlag, Thumb& thumb, const double previous[kSensors],
                        double out[kSensors]) {
    const double prev0 = previous[0];
    const double prev3 = previous[3];
    double v[kSensors];
    for (int k = 0; k < kSensors; ++k) {
        v[k] = -(raw[k] - cal.offset[k]) * cal.gain[k];
    }
    v[0] = std::min(v[0], 0.5);
    // Sensor 11 measures the index-middle abduction; it is shared out over the spread of the
    // index (7), middle-ring (15) and ring-pinky (19) pairs.
    double t = (raw[11] - cal.offset[11]) * cal.gain[7];
    double u = -((v[15] + t) * cal.gain[11]);
    v[15] = v[15] + u;
    v[19] = v[19] + v[15];
    v[11] = u;
    v[7] = u + t;
    // Outer joints without a sensor follow the middle joint of their finger.
    static constexpr int kPairs[4][2] = {{5, 6}, {9, 10}, {13, 14}, {17, 18}};
    for (const auto& p : kPairs) {
        if (((mask >> p[1]) & 1u) == 0) {
            double x = v[p[0]];
            double m = std::fabs((0.32 * x + 0.17) * x);
            v[p[1]] = x > 0 ? m : -m;
        }
    }
    if (!handFlag) {
        for (int k : {3, 7, 11, 15, 19, 22}) {
            v[k] = -v[k];
        }
    }
    v[23] = thumbRoll(thumb, prev0, prev3);
    std::copy(v, v + kSensors, out);
}

bool parseParamReply(const uint8_t* rec, int len, Params& out) {
    int n = contentLength(rec, len);
    if (n < 2 || rec[0] != '?') {
        return false;
    }
    if (rec[1] == 'P') {
        if (n < 5) {
            return false;
        }
        out.p0 = rec[2], out.p1 = rec[3], out.p2 = rec[4];
        return true;
    }
    if (rec[1] == 'p') {
        std::string text = textOf(rec, len, 2);
        Params p;
        if (std::sscanf(text.c_str(), "%d %d %d", &p.p0, &p.p1, &p.p2) != 3) {
            return false;
        }
        out = p;
        return true;
    }
    return false;
}

bool parseMaskReply(const uint8_t* rec, int len, uint32_t& out) {
    if (contentLength(rec, len) < 5) {
        return false;
    }
    out = static_cast<uint32_t>(rec[2]) | static_cast<uint32_t>(rec[3]) << 8 |
          static_cast<uint32_t>(rec[4]) << 16;
    return true;
}

bool parseSerialNumber(const uint8_t* rec, int len, int& out) {
    std::string text = textOf(rec, len, 2);
    std::size_t at = text.find("S/N");
    if (at == std::string::npos) {
        return false;
    }
    int sn = 0;
    if (std::sscanf(text.c_str() + at, "S/N %d", &sn) != 1) {
        return false;
    }
    out = sn;
    return true;
}

bool isAwaitedReply(const uint8_t* rec, int len, uint8_t code) {
    if (rec == nullptr || len < 1) {
        return false;
    }
    if (code & 0x80) {
        // A sensor byte may equal the query letter; only a '?' reply answers a query.
        return len >= 2 && rec[0] == '?' && rec[1] == (code & 0x7F);
    }
    return rec[0] == code;
}

std::string calibrationBinary(const Calibration& cal) {
    std::string out;
    out.reserve(2 * kSensors * kCalRecord);
    for (int g = 0; g < 6; ++g) {
        for (int i = 0; i < 4; ++i) {
            for (int w = 0; w < 2; ++w) {
                uint8_t rec[kCalRecord];
                rec[0] = static_cast<uint8_t>(g);
                rec[1] = static_cast<uint8_t>(i);
                rec[2] = static_cast<uint8_t>(w);
                RZ_PutDouble(rec + 3, (w == 0 ? cal.offset : cal.gain)[4 * g + i]);
                out.append(reinterpret_cast<const char*>(rec), kCalRecord);
            }
        }
    }
    return out;
}

std::string calibrationText(const Calibration& cal) {
    std::string out;
    char line[512];
    for (int g = 0; g < 6; ++g) {
        for (int i = 0; i < 4; ++i) {
            for (int w = 0; w < 2; ++w) {
                int n = std::snprintf(line, sizeof line, "%1d%1d%1d%f\n", g, i, w,
                                      (w == 0 ? cal.offset : cal.gain)[4 * g + i]);
                out.append(line, static_cast<std::size_t>(std::clamp<int>(n, 0, sizeof line - 1)));
            }
        }
    }
    return out;
}

int applyCalibrationBinary(const uint8_t* payload, int len, Calibration& cal) {
    if (len < 0 || len % kCalRecord != 0) {
        return -15;
    }
    for (int off = 0; off < len; off += kCalRecord) {
        const uint8_t* r = payload + off;
        if (!setPair(cal, r[0], r[1], r[2], RZ_GetDouble(r + 3))) {
            return -1;
        }
    }
    return 0;
}

int applyCalibrationText(const uint8_t* payload, int len, Calibration& cal) {
    return forEachLine(payload, len, [&cal](const std::string& line) {
        if (line.size() < 4 || line[0] < '0' || line[0] > '6' || line[1] < '0' || line[1] > '4' ||
            line[2] < '0' || line[2] > '1') {
            return -1;
        }
        const char* start = line.c_str() + 3;
        char* end = nullptr;
        double value = std::strtod(start, &end);
        if (end == start || !onlyBlanks(end)) {
            return -1;
        }
        return setPair(cal, line[0] - '0', line[1] - '0', line[2] - '0', value) ? 0 : -1;
    });
}

void appendReadItem(int item, bool text, const ReadSnapshot& s, std::string& out) {
    char buf[512];
    switch (item) {
        case 1:
            if (!text) {
                out.append(reinterpret_cast<const char*>(s.raw), kSensors);
                break;
            }
            for (int k = 0; k < kSensors; ++k) {
                int n = std::snprintf(buf, sizeof buf, "%3d\n", s.raw[k]);
                out.append(buf, static_cast<std::size_t>(n));
            }
            out.push_back('\0');
            break;
        case 2:
            if (!text) {
                for (int k = 0; k < kSensors; ++k) {
                    uint8_t d[8];
                    RZ_PutDouble(d, s.values[k]);
                    out.append(reinterpret_cast<const char*>(d), 8);
                }
                break;
            }
            for (int k = 0; k < kSensors; ++k) {
                // A huge calibrated value may run past the usual 11 characters per line.
                int n = std::snprintf(buf, sizeof buf, "%10f\n", s.values[k]);
                out.append(buf, static_cast<std::size_t>(std::clamp<int>(n, 0, sizeof buf - 1)));
            }
            out.push_back('\0');
            break;
        case 7:
            out.push_back(static_cast<char>(s.wrist));
            break;
        case 8:
            if (!text) {
                out.append(reinterpret_cast<const char*>(s.reserved), 6);
                break;
            }
            for (uint8_t b : s.reserved) {
                int n = std::snprintf(buf, sizeof buf, "%3d\n", b);
                out.append(buf, static_cast<std::size_t>(n));
            }
            out.push_back('\0');
            break;
        default:
            break;  // items 3 to 6 carry nothing
    }
}

int parseActuatorText(const uint8_t* payload, int len, uint8_t* outPairs, int maxPairs) {
    int count = 0;
    int r = forEachLine(payload, len, [&](const std::string& line) {
        int index = -1, amplitude = -1;
        char tail = 0;
        if (std::sscanf(line.c_str(), "%d %d %c", &index, &amplitude, &tail) != 2 || index < 0 ||
            index > 255 || amplitude < 0 || amplitude > 255 || count >= maxPairs) {
            return -15;
        }
        outPairs[2 * count] = static_cast<uint8_t>(index);
        outPairs[2 * count + 1] = static_cast<uint8_t>(amplitude);
        ++count;
        return 0;
    });
    return r != 0 ? r : count;
}

Recovery recoveryAfterSilence(long ms) {
    if (ms > 7000) {
        return Recovery::MoveReference;
    }
    if (ms > 6000) {
        return Recovery::Restream;
    }
    if (ms > 3000) {
        return Recovery::Reboot;
    }
    return Recovery::None;
}

int setParametersCommand(bool wrist, bool light, bool a, bool b, bool c, bool d, uint8_t out[4]) {
    out[0] = 'P';
    out[1] = static_cast<uint8_t>((wrist ? 2 : 0) + (light ? 4 : 0));
    out[2] = static_cast<uint8_t>((d ? 1 : 0) + (b ? 4 : 0) + (a ? 8 : 0) + (c ? 16 : 0));
    out[3] = 0;
    return 4;
}

int setMaskCommand(uint32_t mask, uint8_t out[4]) {
    out[0] = 'M';
    out[1] = static_cast<uint8_t>(mask & 0xff);
    out[2] = static_cast<uint8_t>((mask >> 8) & 0xff);
    out[3] = static_cast<uint8_t>((mask >> 16) & 0xff);
    return 4;
}

}  // namespace gloved

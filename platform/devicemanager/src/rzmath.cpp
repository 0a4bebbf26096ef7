// Time, rate records, wire doubles and 4x4 matrices.
#include <cmath>
#include <cstring>
#include <ctime>

#include "devicemanager/rzcore.h"

extern "C" {

double RZ_GetCurrentTime(void) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void RZ_FpsInit(RzFps* fps, double rate) {
    if (fps == nullptr) {
        return;
    }
    fps->reference = RZ_GetCurrentTime();
    fps->rate = rate;
    fps->count = 0;
    fps->reserved = 0;
}

int RZ_FpsUpdate(RzFps* fps) {
    if (fps == nullptr) {
        return 0;
    }
    ++fps->count;
    double now = RZ_GetCurrentTime();
    double elapsed = now - fps->reference;
    if (elapsed < 1.0) {
        return 0;
    }
    fps->rate = fps->count / elapsed;
    fps->count = 0;
    fps->reference = now;
    return 1;
}

void RZ_PutDouble(void* place, double value) {
    if (place == nullptr) {
        return;
    }
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    auto* out = static_cast<unsigned char*>(place);
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    }
}

double RZ_GetDouble(const void* place) {
    if (place == nullptr) {
        return 0.0;
    }
    const auto* in = static_cast<const unsigned char*>(place);
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
        bits = (bits << 8) | in[i];
    }
    double value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

void RZ_Mat4Identity(double m[16]) {
    for (int i = 0; i < 16; ++i) {
        m[i] = (i % 5 == 0) ? 1.0 : 0.0;
    }
}

void RZ_Mat4MultMat4(const double a[16], const double b[16], double out[16]) {
    double r[16];
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 4; ++col) {
            double sum = 0;
            for (int k = 0; k < 4; ++k) {
                sum += a[row * 4 + k] * b[k * 4 + col];
            }
            r[row * 4 + col] = sum;
        }
    }
    std::memcpy(out, r, sizeof(r));
}

void RZ_Mat4Rotate(double m[16], char axis, double radians) {
    double c = std::cos(radians);
    double s = std::sin(radians);
    double r[16];
    RZ_Mat4Identity(r);
    // Row-vector form: row i is the image of axis i.
    switch (axis) {
        case 'x':
        case 'X':
            r[5] = c, r[6] = s, r[9] = -s, r[10] = c;
            break;
        case 'y':
        case 'Y':
            r[0] = c, r[2] = -s, r[8] = s, r[10] = c;
            break;
        case 'z':
        case 'Z':
            r[0] = c, r[1] = s, r[4] = -s, r[5] = c;
            break;
        default:
            return;
    }
    RZ_Mat4MultMat4(r, m, m);
}

void RZ_Mat4Translate(double m[16], double x, double y, double z) {
    double t[16];
    RZ_Mat4Identity(t);
    t[12] = x, t[13] = y, t[14] = z;
    RZ_Mat4MultMat4(t, m, m);
}

void RZ_Pos3Cross(const double a[3], const double b[3], double out[3]) {
    double r[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    out[0] = r[0], out[1] = r[1], out[2] = r[2];
}

}  // extern "C"

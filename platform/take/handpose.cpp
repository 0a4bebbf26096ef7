#include "handpose.hpp"

#include <cmath>
#include <cstring>
#include <numbers>

namespace take {

namespace {

constexpr double kDeg = 180.0 / std::numbers::pi;

struct M3 {
    double m[3][3];
};

M3 mul(const M3& a, const M3& b) {
    M3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                r.m[i][j] += a.m[i][k] * b.m[k][j];
    return r;
}

// Euler angles in degrees, X applied first: Rz * Ry * Rx.
M3 euler(double x, double y, double z) {
    const double a = x / kDeg, b = y / kDeg, c = z / kDeg;
    const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b),
                 cc = std::cos(c), sc = std::sin(c);
    return {{{cc * cb, cc * sb * sa - sc * ca, cc * sb * ca + sc * sa},
             {sc * cb, sc * sb * sa + cc * ca, sc * sb * ca - cc * sa},
             {-sb, cb * sa, cb * ca}}};
}

void toEuler(const M3& r, double* out) {
    const double sb = -r.m[2][0];
    if (std::fabs(sb) > 1.0 - 1e-12) {
        // Gimbal lock: X and Z turn about the same axis; all of it goes to Z.
        out[0] = 0.0;
        out[1] = std::copysign(90.0, sb);
        out[2] = std::atan2(-r.m[0][1], r.m[1][1]) * kDeg;
        return;
    }
    out[0] = std::atan2(r.m[2][1], r.m[2][2]) * kDeg;
    out[1] = std::asin(sb) * kDeg;
    out[2] = std::atan2(r.m[1][0], r.m[0][0]) * kDeg;
}

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Sensor index of a digit's column: row 0 thumb .. 4 pinky, columns inner, middle, outer,
// abduction (the thumb: roll, inner, outer, abduction).
int sensor(int digit, int column) {
    return 4 * digit + column;
}

}  // namespace

std::vector<mbhost::BvhJoint> handJoints(bool rightHand) {
    const double sign = rightHand ? 1.0 : -1.0;
    std::vector<mbhost::BvhJoint> joints;
    for (int row = 0; row < Manuvia::kJointCount; ++row) {
        const Manuvia::JointRow& r = Manuvia::kJointTable[static_cast<std::size_t>(row)];
        mbhost::BvhJoint j;
        j.name = r.templ;
        j.parent = Manuvia::parentRow(row);
        j.offset[0] = r.length;
        j.offset[1] = r.offsetY;
        j.offset[2] = r.offsetZ * sign;
        j.endSite = row == Manuvia::kJointCount - 1 || Manuvia::parentRow(row + 1) != row;
        joints.push_back(j);
    }
    return joints;
}

std::vector<double> handFrame(const double angles[24], bool rightHand) {
    const double sign = rightHand ? 1.0 : -1.0;
    auto deg = [angles](int index) { return angles[index] * kDeg; };
    std::vector<double> frame(3 + 3 * Manuvia::kJointCount, 0.0);
    for (int row = 0; row < Manuvia::kJointCount; ++row) {
        const Manuvia::JointRow& r = Manuvia::kJointTable[static_cast<std::size_t>(row)];
        const M3 rest = euler(r.rest[0] * sign, r.rest[1] * sign, r.rest[2]);
        double* e = &frame[static_cast<std::size_t>(3 + 3 * row)];
        const char* node = r.rightNode;
        const int digit = row == 0 ? 5 : (row - 1) / 4;
        if (startsWith(node, "Wris")) {
            // The palm follows the wrist outright: flexion about Z, abduction about Y.
            e[0] = 0.0;
            e[1] = -deg(22);
            e[2] = -deg(21);
            continue;
        }
        M3 pose = rest;
        if (startsWith(node, "base_thb")) {
            pose =
                mul(rest, euler(0.0, -deg(sensor(0, 3)) - r.thumbBias * sign, -deg(sensor(0, 1))));
        } else if (startsWith(node, "base")) {
            pose = mul(mul(rest, euler(0.0, deg(sensor(digit, 3)), 0.0)),
                       euler(0.0, 0.0, -deg(sensor(digit, 0))));
        } else if (startsWith(node, "middle_t")) {
            pose = mul(mul(rest, euler(deg(sensor(0, 0)), 0.0, 0.0)),
                       euler(0.0, 0.0, -deg(sensor(0, 2))));
        } else if (startsWith(node, "middle")) {
            pose = mul(rest, euler(0.0, 0.0, -deg(sensor(digit, 1))));
        } else if (startsWith(node, "dist")) {
            // The thumb's outer sensor bends both its middle and its tip joint.
            pose = mul(rest, euler(0.0, 0.0, -deg(sensor(digit, 2))));
        }
        toEuler(pose, e);
    }
    return frame;
}

}  // namespace take

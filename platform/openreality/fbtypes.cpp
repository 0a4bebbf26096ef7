// Rotation maths of the SDK layer; conventions in fbtypes.h.

#include <algorithm>
#include <cmath>
#include <numbers>

#include "fbsdk/fbtypes.h"

namespace {

constexpr double kDegree = std::numbers::pi / 180.0;

// Axes of an order, in the sequence they apply.
void axesOf(FBRotationOrder order, int& first, int& second, int& third) {
    static const int table[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2},
                                    {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    int o = (order >= kFBXYZ && order <= kFBZYX) ? order : kFBXYZ;
    first = table[o][0];
    second = table[o][1];
    third = table[o][2];
}

FBQuaternion axisQuaternion(int axis, double degrees) {
    FBQuaternion q(0.0, 0.0, 0.0, std::cos(degrees * kDegree / 2.0));
    q[axis] = std::sin(degrees * kDegree / 2.0);
    return q;
}

void axisMatrix(FBMatrix& m, int axis, double degrees) {
    m.Identity();
    double c = std::cos(degrees * kDegree), s = std::sin(degrees * kDegree);
    int a = (axis + 1) % 3, b = (axis + 2) % 3;
    m(a, a) = c;
    m(a, b) = -s;
    m(b, a) = s;
    m(b, b) = c;
}

// Rows of the rotation of a quaternion (normalised here; identity for a zero or non-finite one).
void quaternionRows(const FBQuaternion& q, double r[3][3]) {
    double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    double x = 0, y = 0, z = 0, w = 1;
    if (n != 0.0 && std::isfinite(n)) {
        x = q[0] / n;
        y = q[1] / n;
        z = q[2] / n;
        w = q[3] / n;
    }
    r[0][0] = 1 - 2 * (y * y + z * z);
    r[0][1] = 2 * (x * y - z * w);
    r[0][2] = 2 * (x * z + y * w);
    r[1][0] = 2 * (x * y + z * w);
    r[1][1] = 1 - 2 * (x * x + z * z);
    r[1][2] = 2 * (y * z - x * w);
    r[2][0] = 2 * (x * z - y * w);
    r[2][1] = 2 * (y * z + x * w);
    r[2][2] = 1 - 2 * (x * x + y * y);
}

template <class Rows>
void rotationOfRows(FBVector3d& out, const Rows& r, FBRotationOrder order) {
    int i, j, k;
    axesOf(order, i, j, k);
    // Even permutations of (x, y, z) give +1.
    double e = ((j - i + 3) % 3 == 1) ? 1.0 : -1.0;
    double sinB = std::clamp(-e * r(k, i), -1.0, 1.0);
    double a, b = std::asin(sinB), c;
    if (std::abs(sinB) > 1.0 - 1e-12) {
        // Gimbal lock: the first and last axes coincide; the turn goes to the first.
        c = 0.0;
        a = std::atan2(-e * r(j, k), r(j, j));
    } else {
        a = std::atan2(e * r(k, j), r(k, k));
        c = std::atan2(e * r(j, i), r(i, i));
    }
    out[i] = a / kDegree;
    out[j] = b / kDegree;
    out[k] = c / kDegree;
}

}  // namespace

FBTime FBTime::FromSecondDouble(double seconds) {
    return FBTime(static_cast<kFBLongLong>(std::llround(seconds * kFBTimeOneSecond)));
}

FBMatrix::FBMatrix() {
    Identity();
}

void FBMatrix::Identity() {
    for (int i = 0; i < 16; ++i)
        m[i] = (i % 5 == 0) ? 1.0 : 0.0;
}

void FBQMult(FBQuaternion& out, const FBQuaternion& a, const FBQuaternion& b) {
    FBQuaternion r(a[3] * b[0] + a[0] * b[3] + a[1] * b[2] - a[2] * b[1],
                   a[3] * b[1] - a[0] * b[2] + a[1] * b[3] + a[2] * b[0],
                   a[3] * b[2] + a[0] * b[1] - a[1] * b[0] + a[2] * b[3],
                   a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2]);
    out = r;
}

void FBRotationToQuaternion(FBQuaternion& out, const FBVector3d& rotation, FBRotationOrder order) {
    if (order == kFBXYZ) {
        // qz * qy * qx written out: the evaluation's hot path.
        double hx = rotation[0] * kDegree / 2.0, hy = rotation[1] * kDegree / 2.0,
               hz = rotation[2] * kDegree / 2.0;
        double sx = std::sin(hx), cx = std::cos(hx), sy = std::sin(hy), cy = std::cos(hy),
               sz = std::sin(hz), cz = std::cos(hz);
        out = FBQuaternion(cz * cy * sx - sz * sy * cx, cz * sy * cx + sz * cy * sx,
                           sz * cy * cx - cz * sy * sx, cz * cy * cx + sz * sy * sx);
        return;
    }
    int i, j, k;
    axesOf(order, i, j, k);
    FBQuaternion q = axisQuaternion(i, rotation[i]);
    FBQMult(q, axisQuaternion(j, rotation[j]), q);
    FBQMult(q, axisQuaternion(k, rotation[k]), q);
    out = q;
}

void FBQuaternionToMatrix(FBMatrix& out, const FBQuaternion& quaternion) {
    double r[3][3];
    quaternionRows(quaternion, r);
    out.Identity();
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            out(i, j) = r[i][j];
}

void FBQuaternionToRotation(FBVector3d& out, const FBQuaternion& quaternion,
                            FBRotationOrder order) {
    double r[3][3];
    quaternionRows(quaternion, r);
    rotationOfRows(
        out, [&r](int i, int j) { return r[i][j]; }, order);
}

void FBMatrixMult(FBMatrix& out, const FBMatrix& a, const FBMatrix& b) {
    FBMatrix r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k)
                sum += a(i, k) * b(k, j);
            r(i, j) = sum;
        }
    out = r;
}

void FBRotationToMatrix(FBMatrix& out, const FBVector3d& rotation, FBRotationOrder order) {
    int i, j, k;
    axesOf(order, i, j, k);
    FBMatrix m, step;
    axisMatrix(m, i, rotation[i]);
    axisMatrix(step, j, rotation[j]);
    FBMatrixMult(m, step, m);
    axisMatrix(step, k, rotation[k]);
    FBMatrixMult(m, step, m);
    out = m;
}

void FBMatrixToRotation(FBVector3d& out, const FBMatrix& m) {
    rotationOfRows(out, m, kFBXYZ);
}

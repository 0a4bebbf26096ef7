#include "constraint/pose.hpp"

#include <algorithm>
#include <cmath>

namespace rzMath {

double norm(const Vec3& a) {
    return std::sqrt(dot(a, a));
}

bool pointsWithin(const Vec3& a, const Vec3& b, double tol) {
    const Vec3 d = a - b;
    return tol > dot(d, d);
}

bool nearlyParallel(const Vec3& a, const Vec3& b, double tol) {
    return tol >= std::fabs(std::fabs(dot(a, b)) - 1.0);
}

double axisAngleFromMatrix(const double m[9], Vec3* out_axis) {
    const double c = std::clamp((m[0] + m[4] + m[8] - 1.0) / 2.0, -1.0, 1.0);
    const double angle = std::acos(c);
    if (std::fabs(angle) > 1e-10 && out_axis != nullptr) {
        const double s = 2.0 * std::sin(angle);
        *out_axis = {(m[7] - m[5]) / s, (m[2] - m[6]) / s, (m[3] - m[1]) / s};
    }
    return angle;
}

Quat quatFromAxisAngle(double angle, const Vec3& axis) {
    const double s = std::sin(angle / 2.0);
    return {std::cos(angle / 2.0), s * axis.x, s * axis.y, s * axis.z};
}

Quat quatMultiply(const Quat& a, const Quat& b) {
    return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z,
            a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
            a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
            a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

void rotationMatrix(const Vec3& axis, double angle, double out[9]) {
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    const double t = 1.0 - c;
    const double x = axis.x, y = axis.y, z = axis.z;
    out[0] = t * x * x + c;
    out[1] = t * x * y - s * z;
    out[2] = t * x * z + s * y;
    out[3] = t * x * y + s * z;
    out[4] = t * y * y + c;
    out[5] = t * y * z - s * x;
    out[6] = t * x * z - s * y;
    out[7] = t * y * z + s * x;
    out[8] = t * z * z + c;
}

Vec3 rotateAbout(const Vec3& axis, double angle, const Vec3& v) {
    double m[9];
    rotationMatrix(axis, angle, m);
    return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[3] * v.x + m[4] * v.y + m[5] * v.z,
            m[6] * v.x + m[7] * v.y + m[8] * v.z};
}

Vec3 rotateByQuat(const Quat& q, const Vec3& v) {
    const Vec3 u{q.x, q.y, q.z};
    return (q.w * q.w - dot(u, u)) * v + (2.0 * q.w) * cross(u, v) + (2.0 * dot(u, v)) * u;
}

void rotateByQuatJacobian(const Quat& q, const Vec3& v, Vec3 out[4]) {
    const Vec3 u{q.x, q.y, q.z};
    const double uv = dot(u, v);
    out[0] = (2.0 * q.w) * v + 2.0 * cross(u, v);
    const Vec3 e[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int i = 0; i < 3; ++i) {
        out[1 + i] =
            (-2.0 * u[i]) * v + (2.0 * q.w) * cross(e[i], v) + (2.0 * v[i]) * u + (2.0 * uv) * e[i];
    }
}

void matrixFromQuat(const Quat& q, double out[9]) {
    const double w = q.w, x = q.x, y = q.y, z = q.z;
    out[0] = 1.0 - 2.0 * (y * y + z * z);
    out[1] = 2.0 * (x * y - w * z);
    out[2] = 2.0 * (x * z + w * y);
    out[3] = 2.0 * (x * y + w * z);
    out[4] = 1.0 - 2.0 * (x * x + z * z);
    out[5] = 2.0 * (y * z - w * x);
    out[6] = 2.0 * (x * z - w * y);
    out[7] = 2.0 * (y * z + w * x);
    out[8] = 1.0 - 2.0 * (x * x + y * y);
}

Vec3 transformPoint(const Pose& pose, const Vec3& p) {
    return rotateByQuat(pose.q, p) + pose.position;
}

Vec3 transformPointScaled(const Pose& pose, const Vec3& p, double s) {
    return rotateByQuat(pose.q, p) * s + pose.position;
}

Vec3 inverseTransformPoint(const Pose& pose, const Vec3& p) {
    return rotateByQuat(quatConjugate(pose.q), p - pose.position);
}

}  // namespace rzMath

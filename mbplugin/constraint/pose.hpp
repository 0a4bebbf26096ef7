#pragma once
// Small fixed-size geometry of the constraint library: points, unit quaternions (w, x, y, z),
// rigid poses and the rotation operations the objectives are written on. 3x3 matrices are
// row-major double[9]. All values in metres and radians.

#include <cstddef>

namespace rzMath {

struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;

    double& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
    double operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
};

struct Quat {
    double w = 0.0;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

// Seven doubles: position, then quaternion. The solver keeps its state as 7 entries per body
// in this order, so the layout is fixed.
struct Pose {
    Vec3 position;
    Quat q;

    double* data() { return &position.x; }
    const double* data() const { return &position.x; }
};
static_assert(sizeof(Vec3) == 3 * sizeof(double));
static_assert(sizeof(Pose) == 7 * sizeof(double));
static_assert(offsetof(Pose, q) == 3 * sizeof(double));

inline Vec3 operator+(const Vec3& a, const Vec3& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vec3 operator-(const Vec3& a, const Vec3& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vec3 operator-(const Vec3& a) {
    return {-a.x, -a.y, -a.z};
}
inline Vec3 operator*(double s, const Vec3& a) {
    return {s * a.x, s * a.y, s * a.z};
}
inline Vec3 operator*(const Vec3& a, double s) {
    return s * a;
}
inline Vec3& operator+=(Vec3& a, const Vec3& b) {
    return a = a + b;
}
inline Vec3& operator-=(Vec3& a, const Vec3& b) {
    return a = a - b;
}
inline double dot(const Vec3& a, const Vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double norm(const Vec3& a);

inline Quat identityQuat() {
    return {1.0, 0.0, 0.0, 0.0};
}
inline Pose identityPose() {
    return {{0.0, 0.0, 0.0}, identityQuat()};
}

// true when tol > |a - b|^2.
bool pointsWithin(const Vec3& a, const Vec3& b, double tol);
// true when tol >= ||a.b| - 1| (a and b unit vectors).
bool nearlyParallel(const Vec3& a, const Vec3& b, double tol);

// Rotation angle (radians, [0, pi]) of a rotation matrix, and its axis when the angle exceeds
// 1e-10 (otherwise out_axis is left as it was). The cosine is clamped to [-1, 1] so that
// rounding in a nearly identical or half-turn matrix cannot produce NaN.
double axisAngleFromMatrix(const double m[9], Vec3* out_axis);

Quat quatFromAxisAngle(double angle, const Vec3& axis);
Quat quatMultiply(const Quat& a, const Quat& b);
inline Quat quatConjugate(const Quat& q) {
    return {q.w, -q.x, -q.y, -q.z};
}
// Rodrigues matrix of a rotation by angle about a unit axis.
void rotationMatrix(const Vec3& axis, double angle, double out[9]);
Vec3 rotateAbout(const Vec3& axis, double angle, const Vec3& v);
// (w^2 - |u|^2) v + 2w (u x v) + 2 (u.v) u with u the vector part; for a unit q this is the
// rotation of v, for other q it also scales by |q|^2 (the solver relies on that derivative).
Vec3 rotateByQuat(const Quat& q, const Vec3& v);
// Derivative of rotateByQuat(q, v) with respect to (q.w, q.x, q.y, q.z): column k in out[k].
void rotateByQuatJacobian(const Quat& q, const Vec3& v, Vec3 out[4]);
void matrixFromQuat(const Quat& q, double out[9]);
Vec3 transformPoint(const Pose& pose, const Vec3& p);
Vec3 transformPointScaled(const Pose& pose, const Vec3& p, double s);
Vec3 inverseTransformPoint(const Pose& pose, const Vec3& p);

}  // namespace rzMath

#pragma once
// Vectors, quaternions and joint frames of the kinematic hand tree, with the frame arithmetic
// the nodes are computed with. Lengths in metres, angles in radians, right-handed rotations.
// Every operation that yields a rotation leaves it at unit length with w >= 0.

#include <cstdint>

namespace Avatar {

struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

// Components in the order w, x, y, z.
struct Quat {
    double w = 1.0;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

inline Vec3 operator+(const Vec3& a, const Vec3& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vec3 operator-(const Vec3& a, const Vec3& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vec3 operator*(double s, const Vec3& v) {
    return {s * v.x, s * v.y, s * v.z};
}
inline double dot(const Vec3& a, const Vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// How a node's local frame follows from its joint description (`JointFrame::jointType`).
enum JointType : std::uint32_t {
    DhRevolute = 0,     // Denavit-Hartenberg link, theta = value
    DhPrismatic = 1,    // Denavit-Hartenberg link, d = value
    AxisAngle = 2,      // rotation by value about axis
    EulerZYX = 3,       // Rz(axis.z) * Ry(axis.y) * Rx(axis.x)
    Translation = 4,    // position = axis
    FixedRotation = 5,  // rotation = fixedRotation
    Fixed = 6,          // whatever was stored stays; so does every higher code
};

// One frame of a node (its local frame or its world frame).
struct JointFrame {
    explicit JointFrame(std::uint32_t type = Fixed) : jointType(type) {}

    Vec3 position;       // translation of the frame
    Quat rotation;       // orientation of the frame
    Vec3 axis;           // AxisAngle axis, EulerZYX angles about X, Y, Z, or Translation offset
    double value = 0.0;  // joint variable (angle or length); written by whoever feeds the node
    Quat fixedRotation;  // used by FixedRotation
    double dhA = 0.0;    // link length a
    double dhD = 0.0;    // offset d
    double dhAlpha = 0.0;
    double dhTheta = 0.0;
    std::uint32_t jointType;
};

enum ComposeMode : int {
    Post = 0,  // T = T * U
    Pre = 1,   // T = U * T
};

// Divides by the norm when its square is > 0.
void normalizeVec3(Vec3& v);
// Divides by the norm when it is not 0, then flips all components when w < 0.
void normalizeQuat(Quat& q);
// (cos(angle/2), sin(angle/2) * axis); the axis is expected to be of unit length.
Quat quatFromAxisAngle(double angle, const Vec3& axis);
// Post: a = a * b; Pre: a = b * a (Hamilton product), normalised.
void quatMultiply(Quat& a, const Quat& b, int mode);
// out = a * b, normalised. out may alias a or b.
void quatProduct(Quat& out, const Quat& a, const Quat& b);
// v = q * v * q^-1 for a unit q.
void rotateVector(const Quat& q, Vec3& v);
// Rotation of a homogeneous 4x4 matrix of 16 values: m[4c + r] = M[r][c] when columnMajor,
// m[4r + c] = M[r][c] otherwise.
Quat quatFromMatrix(const double m[16], bool columnMajor);
// Post: t = t * u; Pre: t = u * t (frames as rigid transforms).
void composeFrame(JointFrame& t, const JointFrame& u, int mode);
// out = a * b (position and rotation only; the other fields of out are untouched).
void composeFrames(JointFrame& out, const JointFrame& a, const JointFrame& b);

// Recomputes position and rotation of a frame from its joint description.
void computeLocal(JointFrame& frame);

}  // namespace Avatar

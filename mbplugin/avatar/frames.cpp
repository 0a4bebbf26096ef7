#include "avatar/frames.hpp"

#include <cmath>

namespace Avatar {

namespace {

Quat hamilton(const Quat& a, const Quat& b) {
    return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z,
            a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
            a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
            a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

}  // namespace

void normalizeVec3(Vec3& v) {
    const double sq = dot(v, v);
    if (sq > 0.0) {
        const double n = std::sqrt(sq);
        v = {v.x / n, v.y / n, v.z / n};
    }
}

void normalizeQuat(Quat& q) {
    const double n = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
    if (n != 0.0) {
        q = {q.w / n, q.x / n, q.y / n, q.z / n};
    }
    // q and -q are the same rotation; a non-negative w makes the stored form unique.
    if (q.w < 0.0) {
        q = {-q.w, -q.x, -q.y, -q.z};
    }
}

Quat quatFromAxisAngle(double angle, const Vec3& axis) {
    const double s = std::sin(angle / 2.0);
    Quat q{std::cos(angle / 2.0), s * axis.x, s * axis.y, s * axis.z};
    if (s != 0.0) {
        normalizeQuat(q);
    }
    return q;
}

void quatMultiply(Quat& a, const Quat& b, int mode) {
    a = mode == Pre ? hamilton(b, a) : hamilton(a, b);
    normalizeQuat(a);
}

void quatProduct(Quat& out, const Quat& a, const Quat& b) {
    out = hamilton(a, b);
    normalizeQuat(out);
}

void rotateVector(const Quat& q, Vec3& v) {
    const Vec3 u{q.x, q.y, q.z};
    const Vec3 uv = cross(u, v);
    const Vec3 uuv = cross(u, uv);
    v = v + (2.0 * q.w) * uv + 2.0 * uuv;
}

Quat quatFromMatrix(const double m[16], bool columnMajor) {
    auto M = [&](int r, int c) { return columnMajor ? m[4 * c + r] : m[4 * r + c]; };
    // t[0..3] are w^2, x^2, y^2, z^2 of the rotation.
    const double t0 = (M(0, 0) + M(1, 1) + M(2, 2) + M(3, 3)) / 4.0;
    const double t[4] = {t0, t0 - (M(1, 1) + M(2, 2)) / 2.0, t0 - (M(0, 0) + M(2, 2)) / 2.0,
                         t0 - (M(0, 0) + M(1, 1)) / 2.0};
    // Dividing by the largest component keeps the others accurate; on a tie the first wins,
    // so a half turn (w = 0, two equal vector components) never divides by zero.
    int pick = 0;
    for (int i = 1; i < 4; ++i) {
        if (t[i] > t[pick]) {
            pick = i;
        }
    }
    const double c = std::sqrt(t[pick]);
    const double k = 0.25 / c;
    Quat q;
    switch (pick) {
        case 0:
            q = {c, (M(2, 1) - M(1, 2)) * k, (M(0, 2) - M(2, 0)) * k, (M(1, 0) - M(0, 1)) * k};
            break;
        case 1:
            q = {(M(2, 1) - M(1, 2)) * k, c, (M(0, 1) + M(1, 0)) * k, (M(0, 2) + M(2, 0)) * k};
            break;
        case 2:
            q = {(M(0, 2) - M(2, 0)) * k, (M(0, 1) + M(1, 0)) * k, c, (M(1, 2) + M(2, 1)) * k};
            break;
        default:
            q = {(M(1, 0) - M(0, 1)) * k, (M(0, 2) + M(2, 0)) * k, (M(1, 2) + M(2, 1)) * k, c};
            break;
    }
    normalizeQuat(q);
    return q;
}

void composeFrame(JointFrame& t, const JointFrame& u, int mode) {
    if (mode == Pre) {
        quatMultiply(t.rotation, u.rotation, Pre);
        rotateVector(u.rotation, t.position);
        t.position = t.position + u.position;
    } else {
        Vec3 p = u.position;
        rotateVector(t.rotation, p);
        t.position = t.position + p;
        quatMultiply(t.rotation, u.rotation, Post);
    }
}

void composeFrames(JointFrame& out, const JointFrame& a, const JointFrame& b) {
    Quat r;
    quatProduct(r, a.rotation, b.rotation);
    Vec3 p = b.position;
    rotateVector(a.rotation, p);
    out.position = p + a.position;
    out.rotation = r;
}

void computeLocal(JointFrame& f) {
    switch (f.jointType) {
        case DhRevolute:
        case DhPrismatic: {
            if (f.jointType == DhRevolute) {
                f.dhTheta = f.value;
            } else {
                f.dhD = f.value;
            }
            const double ct = std::cos(f.dhTheta), st = std::sin(f.dhTheta);
            const double ca = std::cos(f.dhAlpha), sa = std::sin(f.dhAlpha);
            const double a = f.dhA, d = f.dhD;
            const double m[16] = {ct,       st,       0.0, 0.0,  //
                                  -st * ca, ct * ca,  sa,  0.0,  //
                                  st * sa,  -ct * sa, ca,  0.0,  //
                                  a * ct,   a * st,   d,   1.0};
            f.rotation = quatFromMatrix(m, true);
            f.position = {a * ct, a * st, d};
            break;
        }
        case AxisAngle:
            f.rotation = quatFromAxisAngle(f.value, f.axis);
            f.position = {};
            break;
        case EulerZYX: {
            Quat q = quatFromAxisAngle(f.axis.z, {0.0, 0.0, 1.0});
            quatMultiply(q, quatFromAxisAngle(f.axis.y, {0.0, 1.0, 0.0}), Post);
            quatMultiply(q, quatFromAxisAngle(f.axis.x, {1.0, 0.0, 0.0}), Post);
            f.rotation = q;
            f.position = {};
            break;
        }
        case Translation:
            f.position = f.axis;
            f.rotation = Quat{};
            break;
        case FixedRotation:
            f.rotation = f.fixedRotation;
            f.position = {};
            break;
        default:
            // Fixed and unknown codes: the stored frame is the frame.
            break;
    }
}

}  // namespace Avatar

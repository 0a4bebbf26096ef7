#include "constraint/shapes.hpp"

namespace rzConstraintEngine {

int wrapParameters(const Srf& s, double& u, double& v) {
    if (!s.wrapULow && !s.wrapUHigh && !s.wrapVLow && !s.wrapVHigh) {
        return 0;
    }
    if (u < s.uMin && s.wrapULow) {
        u = s.uMax - (s.uMin - u);
    }
    if (v < s.vMin && s.wrapVLow) {
        v = s.vMax - (s.vMin - v);
    }
    if (u > s.uMax && s.wrapUHigh) {
        u = s.uMin + (u - s.uMax);
    }
    if (v > s.vMax && s.wrapVHigh) {
        v = s.vMin + (v - s.vMax);
    }
    return (u < s.uMin || v < s.vMin || u > s.uMax || v > s.vMax) ? -1 : 0;
}

double ellipsoidValue(const Ellipsoid& e, const Vec3& x, Vec3* gradient, Vec3* curvature) {
    const Pose pose = e.pose != nullptr ? *e.pose : rzMath::identityPose();
    const Vec3 l = rzMath::inverseTransformPoint(pose, x) - e.centre;
    const double axes[3] = {e.a, e.b, e.c};
    double value = -1.0;
    for (int i = 0; i < 3; ++i) {
        const double n = l[i] / axes[i];
        value += n * n;
    }
    // l = M (x - p) with M the rotation of the conjugate quaternion, so d/dx_j involves
    // column j of M across all three axes.
    double m[9];
    rzMath::matrixFromQuat(rzMath::quatConjugate(pose.q), m);
    Vec3 g, k;
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 3; ++i) {
            const double w = 2.0 / (axes[i] * axes[i]);
            g[j] += w * l[i] * m[3 * i + j];
            k[j] += w * m[3 * i + j] * m[3 * i + j];
        }
    }
    if (gradient != nullptr) {
        *gradient = g;
    }
    if (curvature != nullptr) {
        *curvature = k;
    }
    return value;
}

}  // namespace rzConstraintEngine

#pragma once
// Shapes the constraint engine measures between: abstract parametric curves and surfaces
// attached to a part's pose, the wrapping of surface parameters into their domain, and an
// ellipsoid given by an implicit function. Concrete shapes implement evaluate() and return
// world-space points and derivatives (using their pose as they see fit).

#include <cstdint>

#include "constraint/pose.hpp"

namespace rzConstraintEngine {

using rzMath::Pose;
using rzMath::Vec3;

class Crv {
  public:
    virtual ~Crv() = default;
    // Point, first and second derivative at t, in that order. Negative = failure. The base
    // returns 0 and writes nothing.
    virtual int evaluate(double t, Vec3 out[3]) {
        (void)t;
        (void)out;
        return 0;
    }
    // Hooks a concrete curve may use to refresh or drop cached data around a query.
    virtual void update() {}
    virtual void reset() {}
    virtual int status() { return 0; }

    Pose* pose = nullptr;  // part the curve belongs to; not owned
    bool active = true;
    std::uint64_t tag[2] = {0, 0};  // owner's words
    int index = -1;
    bool flags[4] = {true, true, false, false};
};

class Srf {
  public:
    virtual ~Srf() = default;
    // P, dP/du, dP/dv, d2P/du2, d2P/dudv, d2P/dv2 at (u, v), in that order. Negative =
    // failure. The base returns 0 and writes nothing.
    virtual int evaluate(double u, double v, Vec3 out[6]) {
        (void)u;
        (void)v;
        (void)out;
        return 0;
    }
    virtual void update() {}
    virtual void reset() {}
    virtual int status() { return 0; }
    virtual bool contains(double u, double v) const {
        (void)u;
        (void)v;
        return false;
    }

    Pose* pose = nullptr;  // part the surface belongs to; not owned
    bool flag = false;
    double uMin = 0.0;
    double vMin = 0.0;
    double uMax = 0.0;
    double vMax = 0.0;
    // Periodic continuation at each domain edge (true: -1, as the C interfaces expect).
    std::int32_t wrapULow = -1;
    std::int32_t wrapUHigh = -1;
    std::int32_t wrapVLow = -1;
    std::int32_t wrapVHigh = -1;
    std::uint64_t tag[2] = {0, 0};  // owner's words
    std::uint32_t count = 0;
    int index = -1;
    bool flags[5] = {false, false, false, false, true};
};

// Wraps (u, v) once per domain edge where the surface wraps. 0 inside the domain afterwards,
// -1 outside. A surface with no wrap flags accepts anything (0 at once).
int wrapParameters(const Srf& surface, double& u, double& v);

struct Ellipsoid {
    Pose* pose = nullptr;  // null: the world frame
    double a = 1.0;        // semi-axes along the part's x, y, z (metres)
    double b = 1.0;
    double c = 1.0;
    Vec3 centre;  // in the part's frame
};

// Implicit value: negative inside, 0 on the surface, -1 at the centre. gradient and
// curvature (each may be null) are the world-space gradient and the diagonal of the
// world-space Hessian of that value, through the full rotation of the pose.
double ellipsoidValue(const Ellipsoid& e, const Vec3& x, Vec3* gradient, Vec3* curvature);

}  // namespace rzConstraintEngine

#include "constraint/closestpoints.hpp"

#include <algorithm>
#include <cmath>

#include "constraint/lu.hpp"

namespace rzConstraintEngine {

using rzMath::dot;
using rzMath::norm;

namespace {

// H^-1 g for a symmetric n x n H (n = 3 or 4), false when H is singular.
bool newtonStep(const double* h, const double* g, int n, double* step) {
    double inv[16];
    const int rc = n == 3 ? rzMath::invert3(h, inv) : rzMath::invert4(h, inv);
    if (rc != 0) {
        return false;
    }
    for (int i = 0; i < n; ++i) {
        step[i] = 0.0;
        for (int j = 0; j < n; ++j) {
            step[i] += inv[i * n + j] * g[j];
        }
    }
    return true;
}

double tangentResidual(const Vec3& d, const Vec3& t) {
    const double len = norm(t);
    return len > 0.0 ? std::fabs(dot(d, t)) / len : std::fabs(dot(d, t));
}

// Surface-surface iteration shared by closestSurfaceSurface and closestShapeShape.
double surfaceSurface(Srf& s1, Srf& s2, double params1[2], double params2[2], int iterations,
                      double factor, Vec3* p1, Vec3* p2) {
    *p1 = Vec3{};
    *p2 = Vec3{};
    if (iterations < 1) {
        return -1.0;
    }
    Vec3 a[6], b[6];
    for (int it = 0; it < iterations; ++it) {
        if (s1.evaluate(params1[0], params1[1], a) < 0 ||
            s2.evaluate(params2[0], params2[1], b) < 0) {
            return -1.0;
        }
        const Vec3 d = a[0] - b[0];
        const double g[4] = {dot(d, a[1]), dot(d, a[2]), -dot(d, b[1]), -dot(d, b[2])};
        double h[16];
        h[0] = dot(a[1], a[1]) + dot(d, a[3]);
        h[1] = dot(a[2], a[1]) + dot(d, a[4]);
        h[2] = -dot(b[1], a[1]);
        h[3] = -dot(b[2], a[1]);
        h[5] = dot(a[2], a[2]) + dot(d, a[5]);
        h[6] = -dot(b[1], a[2]);
        h[7] = -dot(b[2], a[2]);
        h[10] = dot(b[1], b[1]) - dot(d, b[3]);
        h[11] = dot(b[2], b[1]) - dot(d, b[4]);
        h[15] = dot(b[2], b[2]) - dot(d, b[5]);
        h[4] = h[1];
        h[8] = h[2];
        h[9] = h[6];
        h[12] = h[3];
        h[13] = h[7];
        h[14] = h[11];
        double step[4];
        if (!newtonStep(h, g, 4, step)) {
            return -1.0;
        }
        params1[0] -= factor * step[0];
        params1[1] -= factor * step[1];
        params2[0] -= factor * step[2];
        params2[1] -= factor * step[3];
        wrapParameters(s1, params1[0], params1[1]);
        wrapParameters(s2, params2[0], params2[1]);
    }
    *p1 = a[0];
    *p2 = b[0];
    return norm(a[0] - b[0]);
}

// Point-surface iteration; minIterations and tolerance give the stopping rule.
double pointSurface(Srf& s, const Vec3& point, double params[2], int iterations, int minIterations,
                    double stepTolerance, double residualLimit, Vec3* closest) {
    *closest = Vec3{};
    if (iterations < 1) {
        return -1.0;
    }
    Vec3 p[6];
    double residual = 0.0;
    for (int it = 0; it < iterations; ++it) {
        if (s.evaluate(params[0], params[1], p) < 0) {
            return -1.0;
        }
        const Vec3 d = p[0] - point;
        residual = std::max(tangentResidual(d, p[1]), tangentResidual(d, p[2]));
        const double g0 = dot(d, p[1]), g1 = dot(d, p[2]);
        const double h00 = dot(p[1], p[1]) + dot(d, p[3]);
        const double h01 = dot(p[1], p[2]) + dot(d, p[4]);
        const double h11 = dot(p[2], p[2]) + dot(d, p[5]);
        const double det = h00 * h11 - h01 * h01;
        if (det == 0.0) {
            return -1.0;
        }
        const double du = (h11 * g0 - h01 * g1) / det;
        const double dv = (h00 * g1 - h01 * g0) / det;
        params[0] -= du;
        params[1] -= dv;
        wrapParameters(s, params[0], params[1]);
        if (it + 1 > minIterations && std::sqrt(du * du + dv * dv) < stepTolerance) {
            break;
        }
    }
    if (!(residual <= residualLimit)) {
        return -1.0;
    }
    *closest = p[0];
    return norm(p[0] - point);
}

// Curve-surface iteration in (t, u, v); d = C - S.
double curveSurface(Crv& c, Srf& s, double* t, double params[2], int iterations, double factor,
                    Vec3* onCurve, Vec3* onSurface) {
    *onCurve = Vec3{};
    *onSurface = Vec3{};
    if (iterations < 1) {
        return -1.0;
    }
    Vec3 cv[3], sv[6];
    for (int it = 0; it < iterations; ++it) {
        if (c.evaluate(*t, cv) < 0 || s.evaluate(params[0], params[1], sv) < 0) {
            return -1.0;
        }
        const Vec3 d = cv[0] - sv[0];
        const double g[3] = {dot(d, cv[1]), -dot(d, sv[1]), -dot(d, sv[2])};
        double h[9];
        h[0] = dot(cv[1], cv[1]) + dot(d, cv[2]);
        h[1] = h[3] = -dot(cv[1], sv[1]);
        h[2] = h[6] = -dot(cv[1], sv[2]);
        h[4] = dot(sv[1], sv[1]) - dot(d, sv[3]);
        h[5] = h[7] = dot(sv[1], sv[2]) - dot(d, sv[4]);
        h[8] = dot(sv[2], sv[2]) - dot(d, sv[5]);
        double step[3];
        if (!newtonStep(h, g, 3, step)) {
            return -1.0;
        }
        *t -= factor * step[0];
        params[0] -= factor * step[1];
        params[1] -= factor * step[2];
        wrapParameters(s, params[0], params[1]);
    }
    *onCurve = cv[0];
    *onSurface = sv[0];
    return norm(cv[0] - sv[0]);
}

}  // namespace

double closestSurfaceSurface(Srf& s1, Srf& s2, double params1[2], double params2[2], int iterations,
                             Vec3* p1, Vec3* p2) {
    return surfaceSurface(s1, s2, params1, params2, iterations, 1.0, p1, p2);
}

double closestShapeShape(Srf& s1, Srf& s2, double params1[2], double params2[2], int iterations,
                         Vec3* p1, Vec3* p2) {
    return surfaceSurface(s1, s2, params1, params2, iterations, 0.4, p1, p2);
}

double closestCurveCurve(Crv& c1, Crv& c2, double* t1, double* t2, int iterations, Vec3* p1,
                         Vec3* p2) {
    *p1 = Vec3{};
    *p2 = Vec3{};
    if (iterations < 1) {
        return -1.0;
    }
    Vec3 a[3], b[3];
    for (int it = 0; it < iterations; ++it) {
        if (c1.evaluate(*t1, a) < 0 || c2.evaluate(*t2, b) < 0) {
            return -1.0;
        }
        const Vec3 d = a[0] - b[0];
        const double g0 = dot(d, a[1]), g1 = -dot(d, b[1]);
        const double h00 = dot(a[1], a[1]) + dot(d, a[2]);
        const double h01 = -dot(a[1], b[1]);
        const double h11 = dot(b[1], b[1]) - dot(d, b[2]);
        const double det = h00 * h11 - h01 * h01;
        if (det == 0.0) {
            return -1.0;
        }
        *t1 -= 0.001 * (h11 * g0 - h01 * g1) / det;
        *t2 -= 0.001 * (h00 * g1 - h01 * g0) / det;
    }
    *p1 = a[0];
    *p2 = b[0];
    return norm(a[0] - b[0]);
}

double closestPointSurface(Srf& s, const Vec3& point, double params[2], int iterations,
                           Vec3* closest) {
    return pointSurface(s, point, params, iterations, 2, 1e-9, 1e-4, closest);
}

double closestPointSurfaceChecked(Srf& s, const Vec3& point, double params[2], int iterations,
                                  Vec3* closest) {
    return pointSurface(s, point, params, iterations, 3, 1e-10, 1e-5, closest);
}

double closestPointCurve(Crv& c, const Vec3& point, double* t, int iterations, Vec3* closest) {
    *closest = Vec3{};
    if (iterations < 1) {
        return -1.0;
    }
    Vec3 p[3];
    double residual = 0.0;
    for (int it = 0; it < iterations; ++it) {
        if (c.evaluate(*t, p) < 0) {
            return -1.0;
        }
        const Vec3 d = p[0] - point;
        residual = tangentResidual(d, p[1]);
        const double second = dot(p[1], p[1]) + dot(d, p[2]);
        if (std::fabs(second) < 1e-19) {
            return -1.0;
        }
        *t -= dot(d, p[1]) / second;
    }
    if (!(residual <= 1e-5)) {
        return -1.0;
    }
    *closest = p[0];
    return norm(p[0] - point);
}

double closestCurveSurface(Crv& c, Srf& s, double* t, double params[2], int iterations,
                           Vec3* onCurve, Vec3* onSurface) {
    return curveSurface(c, s, t, params, iterations, 0.9, onCurve, onSurface);
}

double closestSurfaceCurve(Srf& s, Crv& c, double params[2], double* t, int iterations,
                           Vec3* onSurface, Vec3* onCurve) {
    // The same system with the unknowns ordered (u, v, t) and d = S - C; the Hessian is a
    // symmetric permutation of the curve-surface one, so the Newton step is the same.
    return curveSurface(c, s, t, params, iterations, 0.5, onCurve, onSurface);
}

}  // namespace rzConstraintEngine

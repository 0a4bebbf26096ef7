#pragma once
// Closest points between points, curves and surfaces by Newton iteration on half the squared
// distance. Every routine returns the distance, or -1.0 when it gives up; parameters are
// updated in place (surface parameters wrapped into their domain after each step); the
// closest points are written only on success and are zeroed first.
//
// The residual of the point routines is the largest |d . T| / |T| over the shape's tangents
// T, d the difference vector: zero when d is normal to the shape, in metres.

#include "constraint/shapes.hpp"

namespace rzConstraintEngine {

// Full Newton steps for exactly `iterations` iterations; -1.0 for fewer than one iteration,
// a failed evaluation or a singular Hessian (parallel planes, for instance). The points and
// distance are those of the last evaluation.
double closestSurfaceSurface(Srf& s1, Srf& s2, double params1[2], double params2[2], int iterations,
                             Vec3* p1, Vec3* p2);
// Two two-parameter shapes whose evaluation may fail; steps of 0.4.
double closestShapeShape(Srf& s1, Srf& s2, double params1[2], double params2[2], int iterations,
                         Vec3* p1, Vec3* p2);
// Steps of 0.001 for exactly `iterations` iterations; -1.0 on a zero 2x2 determinant.
double closestCurveCurve(Crv& c1, Crv& c2, double* t1, double* t2, int iterations, Vec3* p1,
                         Vec3* p2);
// Full steps; after more than 2 iterations stops once the step is below 1e-9; -1.0 when the
// final residual exceeds 1e-4.
double closestPointSurface(Srf& s, const Vec3& point, double params[2], int iterations,
                           Vec3* closest);
// Full steps; -1.0 when the second derivative falls below 1e-19 in magnitude or the final
// residual exceeds 1e-5.
double closestPointCurve(Crv& c, const Vec3& point, double* t, int iterations, Vec3* closest);
// Steps of 0.9 in (t, u, v); -1.0 on a failed evaluation or a singular 3x3 Hessian.
double closestCurveSurface(Crv& c, Srf& s, double* t, double params[2], int iterations,
                           Vec3* onCurve, Vec3* onSurface);
// Steps of 0.5 in (u, v, t); -1.0 on a failed evaluation or a singular 3x3 Hessian.
double closestSurfaceCurve(Srf& s, Crv& c, double params[2], double* t, int iterations,
                           Vec3* onSurface, Vec3* onCurve);
// Like closestPointSurface with failed evaluations checked: stops after more than 3
// iterations once the step is below 1e-10; -1.0 when the final residual exceeds 1e-5.
double closestPointSurfaceChecked(Srf& s, const Vec3& point, double params[2], int iterations,
                                  Vec3* closest);

}  // namespace rzConstraintEngine

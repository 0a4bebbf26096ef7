// Parameter wrapping, the ellipsoid value and the closest-point iterations on concrete test
// shapes (plane, sphere, line, circle) whose closest points are known in closed form.

#include <gtest/gtest.h>

#include <cmath>

#include "constraint/closestpoints.hpp"
#include "constraint/shapes.hpp"

using namespace rzConstraintEngine;
using rzMath::norm;

namespace {

// Plane origin + u e1 + v e2; no wrapping. Plane(h) is the floor z = h.
class Plane : public Srf {
  public:
    explicit Plane(double height) : Plane({0, 0, height}, {1, 0, 0}, {0, 1, 0}) {}
    Plane(Vec3 origin, Vec3 e1, Vec3 e2) : o_(origin), e1_(e1), e2_(e2) {
        uMin = vMin = -1e6;
        uMax = vMax = 1e6;
        wrapULow = wrapUHigh = wrapVLow = wrapVHigh = 0;
    }
    int evaluate(double u, double v, Vec3 out[6]) override {
        out[0] = o_ + u * e1_ + v * e2_;
        out[1] = e1_;
        out[2] = e2_;
        out[3] = out[4] = out[5] = {0, 0, 0};
        return 0;
    }

  private:
    Vec3 o_, e1_, e2_;
};

// Sphere by longitude u (wrapping) and latitude v (clamped by the domain).
class Sphere : public Srf {
  public:
    Sphere(Vec3 centre, double radius) : c_(centre), r_(radius) {
        uMin = -M_PI;
        uMax = M_PI;
        vMin = -M_PI / 2;
        vMax = M_PI / 2;
        wrapVLow = wrapVHigh = 0;
    }
    int evaluate(double u, double v, Vec3 out[6]) override {
        const double cu = std::cos(u), su = std::sin(u), cv = std::cos(v), sv = std::sin(v);
        out[0] = c_ + r_ * Vec3{cu * cv, su * cv, sv};
        out[1] = r_ * Vec3{-su * cv, cu * cv, 0};
        out[2] = r_ * Vec3{-cu * sv, -su * sv, cv};
        out[3] = r_ * Vec3{-cu * cv, -su * cv, 0};
        out[4] = r_ * Vec3{su * sv, -cu * sv, 0};
        out[5] = r_ * Vec3{-cu * cv, -su * cv, -sv};
        return 0;
    }

  private:
    Vec3 c_;
    double r_;
};

class Line : public Crv {
  public:
    Line(Vec3 origin, Vec3 direction) : o_(origin), d_(direction) {}
    int evaluate(double t, Vec3 out[3]) override {
        out[0] = o_ + t * d_;
        out[1] = d_;
        out[2] = {0, 0, 0};
        return 0;
    }

  private:
    Vec3 o_, d_;
};

// Circle of radius r about centre in the x-z plane.
class Circle : public Crv {
  public:
    Circle(Vec3 centre, double radius) : c_(centre), r_(radius) {}
    int evaluate(double t, Vec3 out[3]) override {
        out[0] = c_ + r_ * Vec3{std::cos(t), 0, std::sin(t)};
        out[1] = r_ * Vec3{-std::sin(t), 0, std::cos(t)};
        out[2] = r_ * Vec3{-std::cos(t), 0, -std::sin(t)};
        return 0;
    }

  private:
    Vec3 c_;
    double r_;
};

class Broken : public Srf {
  public:
    int evaluate(double, double, Vec3*) override { return -3; }
};

}  // namespace

TEST(WrapParameters, WrapsOncePerEdgeAndReportsWhatStaysOutside) {
    Srf s;
    s.uMax = s.vMax = 1.0;
    double u = -0.25, v = 0.5;
    EXPECT_EQ(wrapParameters(s, u, v), 0);
    EXPECT_DOUBLE_EQ(u, 0.75);
    u = 1.25;
    EXPECT_EQ(wrapParameters(s, u, v), 0);
    EXPECT_DOUBLE_EQ(u, 0.25);
    u = -1.5;
    EXPECT_EQ(wrapParameters(s, u, v), -1);
    EXPECT_DOUBLE_EQ(u, -0.5);
    v = 1.5;
    u = 0.5;
    EXPECT_EQ(wrapParameters(s, u, v), 0);
    EXPECT_DOUBLE_EQ(v, 0.5);

    s.wrapUHigh = 0;
    u = 1.25;
    EXPECT_EQ(wrapParameters(s, u, v), -1);
    EXPECT_EQ(u, 1.25);

    s.wrapULow = s.wrapVLow = s.wrapVHigh = 0;
    u = 40.0;
    v = -40.0;
    EXPECT_EQ(wrapParameters(s, u, v), 0);  // no wrapping at all: anything goes
}

TEST(Ellipsoid, ValueIsMinusOneAtTheCentreAndZeroOnTheSurface) {
    Pose pose{{1, 2, 3}, rzMath::quatFromAxisAngle(0.8, {0, 0.6, 0.8})};
    Ellipsoid e{&pose, 2.0, 0.5, 1.0, {0.1, 0.2, -0.3}};
    const Vec3 centre = rzMath::transformPoint(pose, e.centre);
    EXPECT_NEAR(ellipsoidValue(e, centre, nullptr, nullptr), -1.0, 1e-14);
    const Vec3 tips[3] = {{2, 0, 0}, {0, -0.5, 0}, {0, 0, 1}};
    for (const Vec3& tip : tips) {
        EXPECT_NEAR(
            ellipsoidValue(e, rzMath::transformPoint(pose, e.centre + tip), nullptr, nullptr), 0.0,
            1e-14);
    }
    EXPECT_GT(ellipsoidValue(e, centre + Vec3{3, 3, 3}, nullptr, nullptr), 0.0);
}

TEST(Ellipsoid, GradientAndCurvatureMatchFiniteDifferencesUnderARotatedPose) {
    Pose pose{{0.3, -0.2, 0.5}, rzMath::quatFromAxisAngle(1.1, {0.48, 0.6, 0.64})};
    Ellipsoid e{&pose, 1.5, 0.7, 0.9, {0.2, 0.0, 0.1}};
    const Vec3 x{0.9, 0.4, -0.6};
    Vec3 gradient, curvature;
    const double f = ellipsoidValue(e, x, &gradient, &curvature);
    const double h = 1e-4;
    for (int j = 0; j < 3; ++j) {
        Vec3 plus = x, minus = x;
        plus[j] += h;
        minus[j] -= h;
        const double fp = ellipsoidValue(e, plus, nullptr, nullptr);
        const double fm = ellipsoidValue(e, minus, nullptr, nullptr);
        EXPECT_NEAR(gradient[j], (fp - fm) / (2 * h), 1e-7) << j;
        EXPECT_NEAR(curvature[j], (fp - 2 * f + fm) / (h * h), 1e-5) << j;
    }
}

TEST(ClosestSurfaceSurface, ParallelPlanesAreSingularAndLeaveZeroedPoints) {
    Plane a(0.0), b(1.0);
    double pa[2] = {0.3, 0.1}, pb[2] = {-0.2, 0.4};
    Vec3 p1{9, 9, 9}, p2{9, 9, 9};
    EXPECT_EQ(closestSurfaceSurface(a, b, pa, pb, 5, &p1, &p2), -1.0);
    EXPECT_EQ(norm(p1), 0.0);
    EXPECT_EQ(norm(p2), 0.0);
}

TEST(ClosestSurfaceSurface, FindsThePlaneToSphereGapAndRefusesBadRequests) {
    // The closest point of the ball lies on its seam (u = +-pi): steps cross it by wrapping.
    Plane wall({0, 0, 0}, {0, 1, 0}, {0, 0, 1});
    Sphere ball({2.0, -0.3, 0.5}, 0.5);
    double pf[2] = {0.2, 0.1}, pb[2] = {2.7, 0.3};
    Vec3 p1, p2;
    const double d = closestSurfaceSurface(wall, ball, pf, pb, 12, &p1, &p2);
    EXPECT_NEAR(d, 1.5, 1e-9);
    EXPECT_NEAR(p2.x, 1.5, 1e-9);
    EXPECT_NEAR(p1.y, -0.3, 1e-9);
    EXPECT_NEAR(std::fabs(pb[0]), M_PI, 1e-9);

    double again[2] = {0.2, 0.1};
    EXPECT_EQ(closestSurfaceSurface(wall, ball, again, pb, 0, &p1, &p2), -1.0);
    Broken broken;
    EXPECT_EQ(closestSurfaceSurface(wall, broken, again, pb, 3, &p1, &p2), -1.0);
    EXPECT_EQ(norm(p1), 0.0);
}

TEST(ClosestShapeShape, DampedStepsConvergeBetweenTwoSpheres) {
    Sphere a({0, 0, 0}, 1.0), b({3, 0.5, 0.2}, 0.5);
    double pa[2] = {0.3, 0.2}, pb[2] = {2.8, -0.1};
    Vec3 p1, p2;
    const double expected = norm(Vec3{3, 0.5, 0.2}) - 1.5;
    EXPECT_NEAR(closestShapeShape(a, b, pa, pb, 80, &p1, &p2), expected, 1e-8);
    Broken broken;
    EXPECT_EQ(closestShapeShape(a, broken, pa, pb, 10, &p1, &p2), -1.0);
}

TEST(ClosestCurveCurve, CreepsTowardsTheCommonNormalOfSkewLines) {
    Line a({0, 0, 0}, {1, 0, 0}), b({0, 0, 1}, {0, 1, 0});
    double t1 = 0.5, t2 = -0.4;
    Vec3 p1, p2;
    const double d = closestCurveCurve(a, b, &t1, &t2, 20000, &p1, &p2);
    EXPECT_NEAR(d, 1.0, 1e-8);
    EXPECT_NEAR(t1, 0.0, 1e-8);
    EXPECT_NEAR(t2, 0.0, 1e-8);

    Line c({0, 0, 1}, {2, 0, 0});  // parallel to a: zero determinant
    EXPECT_EQ(closestCurveCurve(a, c, &t1, &t2, 3, &p1, &p2), -1.0);
}

TEST(ClosestPointSurface, ProjectsOntoASphereAndFailsWhenNotConverged) {
    Sphere s({1, 1, 1}, 2.0);
    const Vec3 x{4, 2, 1.5};
    double params[2] = {0.5, 0.3};
    Vec3 p;
    const double d = closestPointSurface(s, x, params, 30, &p);
    EXPECT_NEAR(d, norm(x - Vec3{1, 1, 1}) - 2.0, 1e-9);
    EXPECT_NEAR(norm(p - Vec3{1, 1, 1}), 2.0, 1e-12);

    double checked[2] = {0.5, 0.3};
    EXPECT_NEAR(closestPointSurfaceChecked(s, x, checked, 30, &p), d, 1e-9);

    double far[2] = {2.5, -1.0};
    EXPECT_EQ(closestPointSurface(s, x, far, 1, &p), -1.0);  // one step is not enough
    Broken broken;
    EXPECT_EQ(closestPointSurfaceChecked(broken, x, far, 5, &p), -1.0);
}

TEST(ClosestPointCurve, ProjectsOntoACircleAndRejectsADegenerateCurve) {
    Circle c({0, 0, 0}, 1.0);
    double t = 0.3;
    Vec3 p;
    const double d = closestPointCurve(c, {2, 0, 2}, &t, 20, &p);
    EXPECT_NEAR(d, std::sqrt(8.0) - 1.0, 1e-10);
    EXPECT_NEAR(t, M_PI / 4, 1e-10);

    Line still({0, 0, 0}, {0, 0, 0});  // zero speed: zero second derivative
    double s = 0.0;
    EXPECT_EQ(closestPointCurve(still, {1, 0, 0}, &s, 5, &p), -1.0);
    double few = 2.5;
    EXPECT_EQ(closestPointCurve(c, {2, 0, 2}, &few, 1, &p), -1.0);
}

TEST(ClosestCurveSurface, FindsTheLowestPointOfAnUprightCircleOverAPlane) {
    Circle ring({0, 0, 2}, 1.0);
    Plane floor(0.0);
    double t = -1.2, params[2] = {0.3, 0.2};
    Vec3 onCurve, onSurface;
    EXPECT_NEAR(closestCurveSurface(ring, floor, &t, params, 60, &onCurve, &onSurface), 1.0, 1e-9);
    EXPECT_NEAR(onCurve.z, 1.0, 1e-9);

    double u[2] = {0.3, 0.2};
    t = -1.2;
    EXPECT_NEAR(closestSurfaceCurve(floor, ring, u, &t, 80, &onSurface, &onCurve), 1.0, 1e-9);
    EXPECT_NEAR(onSurface.x, 0.0, 1e-9);

    Line parallel({0, 0, 1}, {1, 0, 0});
    EXPECT_EQ(closestCurveSurface(parallel, floor, &t, u, 3, &onCurve, &onSurface), -1.0);
    EXPECT_EQ(closestSurfaceCurve(floor, parallel, u, &t, 3, &onSurface, &onCurve), -1.0);
}

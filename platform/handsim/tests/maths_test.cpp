#include "handsim/kpxquaternion.hpp"
#include "handsim/kpxtransform3d.hpp"
#include "handsim/kpxvector3d.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTol = 1e-12;

void expectNear(const kpxVector3d& v, double x, double y, double z, double tol = kTol) {
    EXPECT_NEAR(v.getX(), x, tol);
    EXPECT_NEAR(v.getY(), y, tol);
    EXPECT_NEAR(v.getZ(), z, tol);
}

kpxTransform3D translation(double x, double y, double z) {
    kpxTransform3D t;
    t.setTranslation(kpxVector3d(x, y, z));
    return t;
}

TEST(Vector3d, LengthSubNormalizeCross) {
    kpxVector3d a(3.0, 4.0, 12.0);
    EXPECT_DOUBLE_EQ(a.length(), 13.0);

    kpxVector3d d;
    d.sub(a, kpxVector3d(1.0, 1.0, 1.0));
    expectNear(d, 2.0, 3.0, 11.0);
    a.sub(kpxVector3d(3.0, 0.0, 12.0));
    expectNear(a, 0.0, 4.0, 0.0);

    ASSERT_TRUE(a.normalize());
    expectNear(a, 0.0, 1.0, 0.0);

    kpxVector3d c;
    c.cross(kpxVector3d(1, 0, 0), kpxVector3d(0, 1, 0));
    expectNear(c, 0.0, 0.0, 1.0);
}

TEST(Vector3d, NormalizingZeroReportsFailureAndKeepsVector) {
    kpxVector3d z;
    EXPECT_FALSE(z.normalize());
    expectNear(z, 0.0, 0.0, 0.0);
}

TEST(Transform3D, AxisRotationsAreCounterClockwise) {
    kpxTransform3D t;
    t.rotX(kPi / 2);
    kpxVector3d p(0.0, 1.0, 0.0);
    t.transform(p);
    expectNear(p, 0.0, 0.0, 1.0);

    t.rotY(kPi / 2);
    p.set(0.0, 0.0, 1.0);
    t.transform(p);
    expectNear(p, 1.0, 0.0, 0.0);

    t.rotZ(kPi / 2);
    p.set(1.0, 0.0, 0.0);
    t.transform(p);
    expectNear(p, 0.0, 1.0, 0.0);
}

TEST(Transform3D, RotationReplacesTranslation) {
    kpxTransform3D t = translation(5.0, 6.0, 7.0);
    t.rotZ(0.3);
    expectNear(t.getTranslation(), 0.0, 0.0, 0.0);
}

TEST(Transform3D, MulOrderDecidesWhichTransformActsFirst) {
    kpxTransform3D r;
    r.rotZ(kPi / 2);
    const kpxTransform3D t = translation(1.0, 0.0, 0.0);

    // Order 0: this * other, so the rotation (other) acts on the point first.
    kpxTransform3D post = t;
    post.mul(r, kpxTransform3D::PostMultiply);
    kpxVector3d p(1.0, 0.0, 0.0);
    post.transform(p);
    expectNear(p, 1.0, 1.0, 0.0);

    // Order 1: other * this, so the translation acts first: (2, 0, 0) turned to (0, 2, 0).
    kpxTransform3D pre = t;
    pre.mul(r, kpxTransform3D::PreMultiply);
    p.set(1.0, 0.0, 0.0);
    pre.transform(p);
    expectNear(p, 0.0, 2.0, 0.0);
}

TEST(Transform3D, ChainFromIdentityGivesPlanarArmTip) {
    // Two links of lengths 3 and 2 in the x-y plane, joints at 30 and then 60 degrees more:
    // tip = 3 (cos 30, sin 30) + 2 (cos 90, sin 90) = (2.598..., 1.5 + 2).
    kpxTransform3D j0;
    j0.rotZ(kPi / 6);
    kpxTransform3D j1 = translation(3.0, 0.0, 0.0);
    kpxTransform3D r;
    r.rotZ(kPi / 3);
    j1.mul(r);
    const kpxTransform3D tip = translation(2.0, 0.0, 0.0);

    kpxTransform3D chain;
    chain.mul(j0, 0);
    chain.mul(j1, 0);
    chain.mul(tip, 0);
    kpxVector3d origin;
    kpxVector3d out;
    chain.transform(origin, out);
    expectNear(out, 3.0 * std::sqrt(3.0) / 2.0, 3.5, 0.0);
}

TEST(Transform3D, InverseUndoesTransform) {
    kpxTransform3D t(kpxQuaternion(kpxVector3d(1.0, 2.0, 2.0), 0.9), kpxVector3d(4.0, -1.0, 2.5));
    kpxTransform3D inv = t;
    inv.invert();

    kpxVector3d p(0.3, -7.0, 2.0);
    kpxVector3d q;
    t.transform(p, q);
    inv.transform(q);
    expectNear(q, 0.3, -7.0, 2.0, 1e-12);

    kpxTransform3D both = t;
    both.mul(inv);
    EXPECT_TRUE(both.isIdentity(1e-12));
}

TEST(Transform3D, DirectionsIgnoreTranslation) {
    kpxTransform3D t;
    t.rotZ(kPi / 2);
    t.setTranslation(kpxVector3d(10.0, 10.0, 10.0));
    expectNear(t.transformDirection(kpxVector3d(1.0, 0.0, 0.0)), 0.0, 1.0, 0.0);
}

TEST(Transform3D, OpenGLMatrixIsColumnMajor) {
    kpxTransform3D t;
    t.rotZ(kPi / 2);
    t.setTranslation(kpxVector3d(1.0, 2.0, 3.0));
    double m[16];
    t.getOpenGLMatrix(m);
    // First column is the image of x: (0, 1, 0).
    EXPECT_NEAR(m[0], 0.0, kTol);
    EXPECT_NEAR(m[1], 1.0, kTol);
    EXPECT_NEAR(m[4], -1.0, kTol);
    EXPECT_DOUBLE_EQ(m[12], 1.0);
    EXPECT_DOUBLE_EQ(m[13], 2.0);
    EXPECT_DOUBLE_EQ(m[14], 3.0);
    EXPECT_DOUBLE_EQ(m[3], 0.0);
    EXPECT_DOUBLE_EQ(m[15], 1.0);
}

TEST(Quaternion, AxisAngleRoundTrip) {
    const kpxQuaternion q(kpxVector3d(1.0, 2.0, 2.0), 1.2);
    EXPECT_NEAR(q.getAngle(), 1.2, kTol);
    expectNear(q.getAxis(), 1.0 / 3.0, 2.0 / 3.0, 2.0 / 3.0);

    // A negative angle is reported as a positive one about the opposite axis.
    const kpxQuaternion n(kpxVector3d(0.0, 0.0, 1.0), -0.5);
    EXPECT_NEAR(n.getAngle(), 0.5, kTol);
    expectNear(n.getAxis(), 0.0, 0.0, -1.0);
}

TEST(Quaternion, IdentityHasZeroAngle) {
    const kpxQuaternion q;
    EXPECT_DOUBLE_EQ(q.getAngle(), 0.0);
    EXPECT_NEAR(q.getAxis().length(), 1.0, kTol);
    const kpxQuaternion zero(0.0, 0.0, 0.0, 0.0);
    EXPECT_DOUBLE_EQ(zero.getW(), 1.0);
}

TEST(Quaternion, MatchesTransformRotationsIncludingHalfTurns) {
    for (double angle : {0.0, 0.4, 2.0, kPi, -2.5}) {
        kpxTransform3D rx;
        rx.rotX(angle);
        const kpxQuaternion q = rx.getRotation();
        const kpxTransform3D back(q, kpxVector3d());
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(back.element(r, c), rx.element(r, c), 1e-12) << "angle " << angle;
            }
        }
        EXPECT_NEAR(q.getAngle(), std::fabs(angle), 1e-9);
    }
}

TEST(Quaternion, ProductComposesRotations) {
    kpxQuaternion a(kpxVector3d(0, 0, 1), kPi / 2);
    const kpxQuaternion b(kpxVector3d(1, 0, 0), kPi / 2);
    a.mul(b);  // b first, then a
    // (0, 1, 0) -> b -> (0, 0, 1) -> a -> (0, 0, 1)
    expectNear(a.rotate(kpxVector3d(0, 1, 0)), 0.0, 0.0, 1.0);
    // (1, 0, 0) -> b -> (1, 0, 0) -> a -> (0, 1, 0)
    expectNear(a.rotate(kpxVector3d(1, 0, 0)), 0.0, 1.0, 0.0);
}

}  // namespace

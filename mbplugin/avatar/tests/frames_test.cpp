#include "avatar/frames.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "eigen_util.hpp"

namespace {

using namespace Avatar;
using avatartest::positionMatches;
using avatartest::rotationMatches;
using avatartest::toEigen;

constexpr double kPi = std::numbers::pi;

// Column-major homogeneous matrix of a rotation and translation.
void toColumnMajor(const Eigen::Matrix3d& r, const Eigen::Vector3d& t, double out[16]) {
    for (int c = 0; c < 3; ++c) {
        for (int row = 0; row < 3; ++row) {
            out[4 * c + row] = r(row, c);
        }
        out[4 * c + 3] = 0.0;
    }
    for (int row = 0; row < 3; ++row) {
        out[12 + row] = t(row);
    }
    out[15] = 1.0;
}

Eigen::Matrix3d randomRotation(std::mt19937& rng) {
    std::normal_distribution<double> n;
    Eigen::Quaterniond q(n(rng), n(rng), n(rng), n(rng));
    return q.normalized().toRotationMatrix();
}

TEST(QuatFromMatrix, IdentityAndHalfTurnAboutX) {
    double m[16];
    toColumnMajor(Eigen::Matrix3d::Identity(), Eigen::Vector3d::Zero(), m);
    Quat q = quatFromMatrix(m, true);
    EXPECT_EQ(q.w, 1.0);
    EXPECT_EQ(q.x, 0.0);
    EXPECT_EQ(q.y, 0.0);
    EXPECT_EQ(q.z, 0.0);

    toColumnMajor(Eigen::AngleAxisd(kPi, Eigen::Vector3d::UnitX()).toRotationMatrix(),
                  Eigen::Vector3d(1, 2, 3), m);
    q = quatFromMatrix(m, true);
    EXPECT_NEAR(q.w, 0.0, 1e-15);
    EXPECT_GE(q.w, 0.0);
    EXPECT_NEAR(q.x, 1.0, 1e-15);
    EXPECT_NEAR(q.y, 0.0, 1e-15);
    EXPECT_NEAR(q.z, 0.0, 1e-15);
}

TEST(QuatFromMatrix, HalfTurnWithTiedComponentsStaysFinite) {
    // w = 0 and x = y: picking w on the tie would divide by zero.
    const Eigen::Vector3d axis = Eigen::Vector3d(1, 1, 0).normalized();
    const double m[16] = {0, 1, 0, 0, 1, 0, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1};
    const Eigen::Matrix3d r = Eigen::AngleAxisd(kPi, axis).toRotationMatrix();
    double check[16];
    toColumnMajor(r, Eigen::Vector3d::Zero(), check);
    for (int i = 0; i < 16; ++i) {
        ASSERT_NEAR(m[i], check[i], 1e-15) << i;
    }
    const Quat q = quatFromMatrix(m, true);
    ASSERT_TRUE(std::isfinite(q.w) && std::isfinite(q.x) && std::isfinite(q.y) &&
                std::isfinite(q.z));
    EXPECT_TRUE(rotationMatches(q, r));
}

TEST(QuatFromMatrix, RebuildsRandomRotationsInBothReadings) {
    std::mt19937 rng(7);
    for (int i = 0; i < 500; ++i) {
        const Eigen::Matrix3d r = randomRotation(rng);
        double m[16];
        toColumnMajor(r, Eigen::Vector3d(0.1, 0.2, 0.3), m);
        ASSERT_TRUE(rotationMatches(quatFromMatrix(m, true), r)) << i;

        double rowMajor[16];
        for (int a = 0; a < 4; ++a) {
            for (int b = 0; b < 4; ++b) {
                rowMajor[4 * a + b] = m[4 * b + a];
            }
        }
        ASSERT_TRUE(rotationMatches(quatFromMatrix(rowMajor, false), r)) << i;
    }
    // Half turns about each axis and the diagonals exercise every branch with w = 0.
    const Eigen::Vector3d axes[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1},
                                    {0, 1, 1}, {1, 1, 1}, {1, -1, 0}};
    for (const auto& a : axes) {
        const Eigen::Matrix3d r = Eigen::AngleAxisd(kPi, a.normalized()).toRotationMatrix();
        double m[16];
        toColumnMajor(r, Eigen::Vector3d::Zero(), m);
        EXPECT_TRUE(rotationMatches(quatFromMatrix(m, true), r)) << a.transpose();
    }
}

TEST(Quaternion, NormalizeKeepsUnitLengthAndNonNegativeW) {
    Quat q{-2.0, 0.0, 2.0, 0.0};
    normalizeQuat(q);
    EXPECT_NEAR(q.w, std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(q.y, -std::sqrt(0.5), 1e-15);

    Quat zero{0.0, 0.0, 0.0, 0.0};
    normalizeQuat(zero);
    EXPECT_EQ(zero.w, 0.0);
    EXPECT_FALSE(std::isnan(zero.x));

    Vec3 v{0.0, 0.0, 0.0};
    normalizeVec3(v);
    EXPECT_EQ(v.x, 0.0);
    EXPECT_FALSE(std::isnan(v.y));
    Vec3 u{3.0, 0.0, -4.0};
    normalizeVec3(u);
    EXPECT_DOUBLE_EQ(u.x, 0.6);
    EXPECT_DOUBLE_EQ(u.z, -0.8);
}

TEST(Quaternion, AxisAngleProductsAndRotationAgreeWithEigen) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> angle(-2.0 * kPi, 2.0 * kPi);
    std::normal_distribution<double> n;
    for (int i = 0; i < 300; ++i) {
        Eigen::Vector3d axisA(n(rng), n(rng), n(rng));
        Eigen::Vector3d axisB(n(rng), n(rng), n(rng));
        axisA.normalize();
        axisB.normalize();
        const double angA = angle(rng), angB = angle(rng);
        const Eigen::Matrix3d ra = Eigen::AngleAxisd(angA, axisA).toRotationMatrix();
        const Eigen::Matrix3d rb = Eigen::AngleAxisd(angB, axisB).toRotationMatrix();

        const Quat a = quatFromAxisAngle(angA, {axisA.x(), axisA.y(), axisA.z()});
        const Quat b = quatFromAxisAngle(angB, {axisB.x(), axisB.y(), axisB.z()});
        ASSERT_TRUE(rotationMatches(a, ra));

        Quat post = a;
        quatMultiply(post, b, Post);
        ASSERT_TRUE(rotationMatches(post, ra * rb));
        Quat pre = a;
        quatMultiply(pre, b, Pre);
        ASSERT_TRUE(rotationMatches(pre, rb * ra));
        Quat prod;
        quatProduct(prod, a, b);
        ASSERT_TRUE(rotationMatches(prod, ra * rb));
        Quat aliased = a;
        quatProduct(aliased, aliased, b);
        ASSERT_TRUE(rotationMatches(aliased, ra * rb));

        const Eigen::Vector3d v(n(rng), n(rng), n(rng));
        Vec3 w{v.x(), v.y(), v.z()};
        rotateVector(a, w);
        ASSERT_TRUE(positionMatches(w, ra * v, 1e-12));
    }
}

TEST(Frames, ComposeMatchesRigidTransformProducts) {
    std::mt19937 rng(3);
    std::normal_distribution<double> n;
    for (int i = 0; i < 200; ++i) {
        JointFrame t, u;
        double m[16];
        toColumnMajor(randomRotation(rng), Eigen::Vector3d::Zero(), m);
        t.rotation = quatFromMatrix(m, true);
        u.rotation = quatFromAxisAngle(n(rng), {0.0, 0.6, 0.8});
        t.position = {n(rng), n(rng), n(rng)};
        u.position = {n(rng), n(rng), n(rng)};
        const Eigen::Isometry3d et = avatartest::toIsometry(t);
        const Eigen::Isometry3d eu = avatartest::toIsometry(u);

        JointFrame post = t;
        composeFrame(post, u, Post);
        const Eigen::Isometry3d ePost = et * eu;
        ASSERT_TRUE(rotationMatches(post.rotation, ePost.linear()));
        ASSERT_TRUE(positionMatches(post.position, ePost.translation()));

        JointFrame pre = t;
        composeFrame(pre, u, Pre);
        const Eigen::Isometry3d ePre = eu * et;
        ASSERT_TRUE(rotationMatches(pre.rotation, ePre.linear()));
        ASSERT_TRUE(positionMatches(pre.position, ePre.translation()));

        JointFrame out(DhRevolute);
        out.value = 42.0;
        composeFrames(out, t, u);
        ASSERT_TRUE(rotationMatches(out.rotation, ePost.linear()));
        ASSERT_TRUE(positionMatches(out.position, ePost.translation()));
        EXPECT_EQ(out.value, 42.0);
        EXPECT_EQ(out.jointType, DhRevolute);

        composeFrames(t, t, u);  // output aliasing the first input
        ASSERT_TRUE(positionMatches(t.position, ePost.translation()));
    }
}

TEST(ComputeLocal, RevoluteQuarterTurnOfLinkAlongX) {
    JointFrame f(DhRevolute);
    f.dhA = 0.043;
    f.dhAlpha = 0.0;
    f.dhD = 0.0;
    f.value = kPi / 2.0;
    computeLocal(f);
    EXPECT_NEAR(f.position.x, 0.0, 1e-15);
    EXPECT_NEAR(f.position.y, 0.043, 1e-15);
    EXPECT_NEAR(f.position.z, 0.0, 1e-15);
    EXPECT_EQ(f.dhTheta, kPi / 2.0);
    EXPECT_NEAR(f.rotation.w, std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(f.rotation.z, std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(f.rotation.x, 0.0, 1e-15);
    EXPECT_NEAR(f.rotation.y, 0.0, 1e-15);
}

TEST(ComputeLocal, DhLinksMatchDenavitHartenbergTransforms) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> ang(-kPi, kPi);
    std::uniform_real_distribution<double> len(-0.1, 0.1);
    for (int i = 0; i < 200; ++i) {
        JointFrame r(DhRevolute);
        r.dhA = len(rng);
        r.dhD = len(rng);
        r.dhAlpha = ang(rng);
        r.value = ang(rng);
        computeLocal(r);
        const Eigen::Isometry3d er = avatartest::dhLink(r.dhA, r.dhD, r.dhAlpha, r.value);
        ASSERT_TRUE(rotationMatches(r.rotation, er.linear()));
        ASSERT_TRUE(positionMatches(r.position, er.translation()));

        JointFrame p(DhPrismatic);
        p.dhA = len(rng);
        p.dhTheta = ang(rng);
        p.dhAlpha = ang(rng);
        p.value = len(rng);
        computeLocal(p);
        EXPECT_EQ(p.dhD, p.value);
        const Eigen::Isometry3d ep = avatartest::dhLink(p.dhA, p.value, p.dhAlpha, p.dhTheta);
        ASSERT_TRUE(rotationMatches(p.rotation, ep.linear()));
        ASSERT_TRUE(positionMatches(p.position, ep.translation()));
    }
}

TEST(ComputeLocal, AxisEulerTranslationAndFixedRotationJoints) {
    JointFrame aa(AxisAngle);
    aa.position = {1.0, 2.0, 3.0};
    aa.axis = {0.0, 1.0, 0.0};
    aa.value = -0.7;
    computeLocal(aa);
    EXPECT_TRUE(rotationMatches(
        aa.rotation, Eigen::AngleAxisd(-0.7, Eigen::Vector3d::UnitY()).toRotationMatrix()));
    EXPECT_TRUE(positionMatches(aa.position, Eigen::Vector3d::Zero(), 0.0));

    JointFrame eu(EulerZYX);
    eu.position = {1.0, 2.0, 3.0};
    eu.axis = {0.3, -1.1, 2.5};
    computeLocal(eu);
    const Eigen::Matrix3d ezyx = (Eigen::AngleAxisd(2.5, Eigen::Vector3d::UnitZ()) *
                                  Eigen::AngleAxisd(-1.1, Eigen::Vector3d::UnitY()) *
                                  Eigen::AngleAxisd(0.3, Eigen::Vector3d::UnitX()))
                                     .toRotationMatrix();
    EXPECT_TRUE(rotationMatches(eu.rotation, ezyx));
    EXPECT_TRUE(positionMatches(eu.position, Eigen::Vector3d::Zero(), 0.0));

    JointFrame tr(Translation);
    tr.rotation = quatFromAxisAngle(1.0, {1.0, 0.0, 0.0});
    tr.axis = {0.1, 0.2, 0.3};
    computeLocal(tr);
    EXPECT_TRUE(positionMatches(tr.position, Eigen::Vector3d(0.1, 0.2, 0.3), 0.0));
    EXPECT_TRUE(rotationMatches(tr.rotation, Eigen::Matrix3d::Identity(), 0.0));

    JointFrame fr(FixedRotation);
    fr.position = {1.0, 2.0, 3.0};
    fr.fixedRotation = quatFromAxisAngle(0.4, {0.0, 0.0, 1.0});
    computeLocal(fr);
    EXPECT_TRUE(rotationMatches(
        fr.rotation, Eigen::AngleAxisd(0.4, Eigen::Vector3d::UnitZ()).toRotationMatrix()));
    EXPECT_TRUE(positionMatches(fr.position, Eigen::Vector3d::Zero(), 0.0));
}

TEST(ComputeLocal, FixedAndUnknownCodesKeepTheStoredFrame) {
    for (std::uint32_t code : {6u, 7u, 1000u}) {
        JointFrame f(code);
        f.position = {1.0, 2.0, 3.0};
        f.rotation = {0.5, 0.5, 0.5, 0.5};
        f.axis = {4.0, 5.0, 6.0};
        f.value = 1.5;
        f.dhA = 0.3;
        computeLocal(f);
        EXPECT_EQ(f.position.x, 1.0);
        EXPECT_EQ(f.position.z, 3.0);
        EXPECT_EQ(f.rotation.w, 0.5);
        EXPECT_EQ(f.rotation.z, 0.5);
        EXPECT_EQ(f.dhTheta, 0.0);
    }
}

TEST(JointFrame, NewFrameIsZeroWithIdentityRotations) {
    const JointFrame f(EulerZYX);
    EXPECT_EQ(f.jointType, EulerZYX);
    EXPECT_EQ(f.rotation.w, 1.0);
    EXPECT_EQ(f.fixedRotation.w, 1.0);
    EXPECT_EQ(f.fixedRotation.x, 0.0);
    EXPECT_EQ(f.position.x + f.position.y + f.position.z, 0.0);
    EXPECT_EQ(f.axis.x + f.axis.y + f.axis.z + f.value, 0.0);
    EXPECT_EQ(f.dhA + f.dhD + f.dhAlpha + f.dhTheta, 0.0);
}

}  // namespace

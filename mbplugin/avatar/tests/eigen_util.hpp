#pragma once
// Eigen counterparts of the tree's frames, so expected values are computed independently.

#include <cmath>

#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "avatar/frames.hpp"

namespace avatartest {

inline Eigen::Vector3d toEigen(const Avatar::Vec3& v) {
    return {v.x, v.y, v.z};
}
inline Eigen::Quaterniond toEigen(const Avatar::Quat& q) {
    return {q.w, q.x, q.y, q.z};
}

inline Eigen::Isometry3d toIsometry(const Avatar::JointFrame& f) {
    Eigen::Isometry3d t = Eigen::Isometry3d::Identity();
    t.linear() = toEigen(f.rotation).toRotationMatrix();
    t.translation() = toEigen(f.position);
    return t;
}

// Standard Denavit-Hartenberg link: Rz(theta) Tz(d) Tx(a) Rx(alpha).
inline Eigen::Isometry3d dhLink(double a, double d, double alpha, double theta) {
    Eigen::Isometry3d t = Eigen::Isometry3d::Identity();
    t.rotate(Eigen::AngleAxisd(theta, Eigen::Vector3d::UnitZ()));
    t.translate(Eigen::Vector3d(a, 0.0, d));
    t.rotate(Eigen::AngleAxisd(alpha, Eigen::Vector3d::UnitX()));
    return t;
}

// A stored quaternion must be of unit length with w >= 0 and describe `expected`.
inline ::testing::AssertionResult rotationMatches(const Avatar::Quat& q,
                                                  const Eigen::Matrix3d& expected,
                                                  double tol = 1e-9) {
    const double norm = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
    if (std::abs(norm - 1.0) > 1e-12) {
        return ::testing::AssertionFailure() << "norm " << norm;
    }
    if (q.w < 0.0) {
        return ::testing::AssertionFailure() << "w " << q.w << " < 0";
    }
    const Eigen::Matrix3d got = toEigen(q).toRotationMatrix();
    if ((got - expected).cwiseAbs().maxCoeff() > tol) {
        return ::testing::AssertionFailure() << "got\n" << got << "\nexpected\n" << expected;
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult positionMatches(const Avatar::Vec3& p,
                                                  const Eigen::Vector3d& expected,
                                                  double tol = 1e-12) {
    if ((toEigen(p) - expected).cwiseAbs().maxCoeff() > tol) {
        return ::testing::AssertionFailure() << "got (" << p.x << ", " << p.y << ", " << p.z
                                             << ") expected " << expected.transpose();
    }
    return ::testing::AssertionSuccess();
}

}  // namespace avatartest

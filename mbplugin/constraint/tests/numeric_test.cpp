// Dense linear algebra, vectors and rotations checked against Eigen and by their properties.

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "constraint/lu.hpp"
#include "constraint/pose.hpp"
#include "constraint/vectorn.hpp"

using namespace rzMath;
using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

namespace {

RowMatrix randomMatrix(int n, std::mt19937& rng, bool badlyScaled) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-8, 8);
    RowMatrix m(n, n);
    for (int i = 0; i < n; ++i) {
        const double rowScale = badlyScaled ? std::pow(10.0, exponent(rng)) : 1.0;
        for (int j = 0; j < n; ++j) {
            m(i, j) = value(rng) * rowScale;
        }
    }
    return m;
}

double relativeResidual(const RowMatrix& a, const Eigen::VectorXd& x, const Eigen::VectorXd& b) {
    // Row-equilibrated so badly scaled rows weigh the same as the others.
    Eigen::VectorXd r = a * x - b;
    double worst = 0.0;
    for (int i = 0; i < a.rows(); ++i) {
        const double rowNorm = a.row(i).cwiseAbs().sum() * x.cwiseAbs().maxCoeff() + std::abs(b(i));
        worst = std::max(worst, std::abs(r(i)) / rowNorm);
    }
    return worst;
}

}  // namespace

TEST(LuDecomposition, SolvesRandomAndBadlyScaledSystemsLikeEigen) {
    std::mt19937 rng(7);
    for (bool badlyScaled : {false, true}) {
        for (int n = 1; n <= 40; ++n) {
            const RowMatrix a = randomMatrix(n, rng, badlyScaled);
            const Eigen::VectorXd b = Eigen::VectorXd::Random(n);
            RowMatrix lu = a;
            Eigen::VectorXd x(n);
            ASSERT_EQ(luSolve(x.data(), lu.data(), b.data(), n), 0) << n;
            EXPECT_LT(relativeResidual(a, x, b), 1e-12) << "n=" << n << " scaled=" << badlyScaled;
            const Eigen::VectorXd reference = a.fullPivLu().solve(b);
            const double cond = a.inverse().cwiseAbs().rowwise().sum().maxCoeff() *
                                a.cwiseAbs().rowwise().sum().maxCoeff();
            if (!badlyScaled) {
                EXPECT_LT((x - reference).norm() / reference.norm(), 1e-15 * cond * n + 1e-12) << n;
            }
        }
    }
}

TEST(LuDecomposition, FactorsRebuildThePermutedMatrix) {
    std::mt19937 rng(11);
    const int n = 9;
    const RowMatrix a = randomMatrix(n, rng, false);
    RowMatrix lu = a;
    std::vector<int> index(n);
    std::vector<double> scale(n);
    double parity = 0.0;
    ASSERT_EQ(luDecompose(lu.data(), n, index.data(), &parity, scale.data()), 0);
    RowMatrix l = RowMatrix::Identity(n, n);
    RowMatrix u = RowMatrix::Zero(n, n);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            (i > j ? l(i, j) : u(i, j)) = lu(i, j);
        }
    }
    RowMatrix permuted = a;
    int swaps = 0;
    for (int j = 0; j < n; ++j) {
        if (index[j] != j) {
            permuted.row(j).swap(permuted.row(index[j]));
            ++swaps;
        }
    }
    EXPECT_LT((l * u - permuted).cwiseAbs().maxCoeff(), 1e-13);
    EXPECT_EQ(parity, swaps % 2 == 0 ? 1.0 : -1.0);
    EXPECT_NEAR(parity * u.diagonal().prod(), a.determinant(), 1e-12);
}

TEST(LuDecomposition, ReportsAZeroRowAndSubstitutesASurvivingZeroPivot) {
    double zeroRow[9] = {1, 2, 3, 0, 0, 0, 4, 5, 6};
    int index[3];
    double scale[3];
    double parity;
    EXPECT_EQ(luDecompose(zeroRow, 3, index, &parity, scale), -1);

    double tiny[4] = {1, 2, 1e-15, 1e-15};  // second row below 1e-14 everywhere
    EXPECT_EQ(luDecompose(tiny, 2, index, &parity, scale), -1);

    double rankOne[4] = {1, 1, 1, 1};
    ASSERT_EQ(luDecompose(rankOne, 2, index, &parity, scale), 0);
    EXPECT_EQ(rankOne[3], 1e-20);
}

TEST(LuDecomposition, TiesGoToTheLaterRow) {
    double a[4] = {1, 2, 1, 3};  // scaled weights 1/2 and 1/3 in column 0
    double b[4] = {2, 1, 2, 1};  // scaled weights 1 and 1: a tie
    int index[2];
    double scale[2];
    double parity;
    ASSERT_EQ(luDecompose(b, 2, index, &parity, scale), 0);
    EXPECT_EQ(index[0], 1);
    EXPECT_EQ(parity, -1.0);
    ASSERT_EQ(luDecompose(a, 2, index, &parity, scale), 0);
    EXPECT_EQ(index[0], 0);  // 1/2 beats 1/3: no swap
    EXPECT_EQ(parity, 1.0);
}

TEST(LuSolve, StopsOnASingularMatrixAndLeavesTheResult) {
    double a[9] = {1, 2, 3, 0, 0, 0, 7, 8, 9};
    const double b[3] = {1, 2, 3};
    double x[3] = {42, 42, 42};
    EXPECT_EQ(luSolve(x, a, b, 3), -1);
    for (double v : x) {
        EXPECT_EQ(v, 42.0);
    }
}

TEST(Invert, MatchesEigenForAllOrders) {
    std::mt19937 rng(3);
    for (int n = 1; n <= 12; ++n) {
        for (int trial = 0; trial < 20; ++trial) {
            const RowMatrix a = randomMatrix(n, rng, trial % 2 == 1);
            RowMatrix inv = a;
            ASSERT_EQ(invert(inv.data(), n), 0);
            const RowMatrix reference = a.inverse();
            const double err =
                (inv - reference).cwiseAbs().maxCoeff() / reference.cwiseAbs().maxCoeff();
            const double cond = a.cwiseAbs().rowwise().sum().maxCoeff() *
                                reference.cwiseAbs().rowwise().sum().maxCoeff();
            EXPECT_LT(err, 1e-14 * cond) << "n=" << n << " trial=" << trial;

            RowMatrix viaWork = a;
            std::vector<double> work(5 * n + n * n, std::nan(""));
            ASSERT_EQ(invertWithWorkspace(viaWork.data(), n, work.data()), 0);
            EXPECT_EQ(viaWork, inv);
        }
    }
}

TEST(Invert, SingularMatricesReturnMinusOneAndStayUnchanged) {
    double one[1] = {0.0};
    EXPECT_EQ(invert(one, 1), -1);
    EXPECT_EQ(one[0], 0.0);

    double two[4] = {1, 2, 2, 4};
    EXPECT_EQ(invert(two, 2), -1);
    EXPECT_EQ(two[3], 4.0);

    double three[9] = {1, 2, 3, 2, 4, 6, 1, 0, 1};
    const std::vector<double> threeCopy(three, three + 9);
    EXPECT_EQ(invert(three, 3), -1);
    EXPECT_EQ(std::vector<double>(three, three + 9), threeCopy);

    double four[16] = {1, 2, 3, 4, 5, 6, 7, 8, 2, 4, 6, 8, 0, 1, 0, 1};
    const std::vector<double> fourCopy(four, four + 16);
    EXPECT_EQ(invert(four, 4), -1);
    EXPECT_EQ(std::vector<double>(four, four + 16), fourCopy);

    RowMatrix five = RowMatrix::Identity(5, 5);
    five.row(3).setZero();
    const RowMatrix fiveCopy = five;
    EXPECT_EQ(invert(five.data(), 5), -1);
    EXPECT_EQ(five, fiveCopy);
}

TEST(Determinants, MatchEigen) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 50; ++trial) {
        const RowMatrix m3 = randomMatrix(3, rng, false);
        const RowMatrix m4 = randomMatrix(4, rng, false);
        EXPECT_NEAR(det3(m3.data()), m3.determinant(), 1e-14);
        EXPECT_NEAR(det4(m4.data()), m4.determinant(), 1e-14);
        RowMatrix out3(3, 3), out4(4, 4);
        ASSERT_EQ(invert3(m3.data(), out3.data()), 0);
        ASSERT_EQ(invert4(m4.data(), out4.data()), 0);
        EXPECT_LT((m3 * out3 - RowMatrix::Identity(3, 3)).cwiseAbs().maxCoeff(), 1e-10);
        EXPECT_LT((m4 * out4 - RowMatrix::Identity(4, 4)).cwiseAbs().maxCoeff(), 1e-10);
    }
}

TEST(VectorN, StartsWithAThousandZeroesAndKeepsStorageWhenShrinking) {
    VectorN v;
    EXPECT_EQ(v.size(), 0u);
    ASSERT_EQ(v.capacity(), 1000u);
    for (std::uint64_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(v.data()[i], 0.0);
    }
    v.resize(10);
    for (int i = 0; i < 10; ++i) {
        v[i] = i + 1.0;
    }
    const double* storage = v.data();
    v.resize(4);
    v.resize(10);
    EXPECT_EQ(v.data(), storage);
    EXPECT_EQ(v[9], 10.0);

    v.resize(1500);
    EXPECT_EQ(v.capacity(), 1500u);
    EXPECT_EQ(v[9], 10.0);
    EXPECT_EQ(v[1499], 0.0);
}

TEST(VectorN, CopiesOwnExactlyTheirSizeAndArithmeticCoversTheSize) {
    VectorN a;
    a.resize(3);
    a[0] = 1;
    a[1] = 2;
    a[2] = 3;
    VectorN b(a);
    EXPECT_EQ(b.capacity(), 3u);
    b.negate();
    EXPECT_EQ(b[2], -3.0);
    VectorN d = VectorN::difference(a, b);
    EXPECT_EQ(d.size(), 3u);
    EXPECT_EQ(d[1], 4.0);
    d.fill(0.5);
    EXPECT_EQ(d[2], 0.5);

    VectorN small;
    small.resize(1);
    small.assign(a);  // grows to the source's size
    EXPECT_EQ(small.size(), 3u);
    EXPECT_EQ(small[2], 3.0);
}

TEST(VectorN, AttachedViewsWriteThroughAndNeverFreeTheBuffer) {
    std::vector<double> buffer(20, 0.0);
    {
        VectorN view;
        view.attach(buffer.data(), 7);
        view.resize(7);
        EXPECT_TRUE(view.borrowed());
        view.fill(2.0);
        view.resize(12);  // within the buffer: no reallocation
        EXPECT_EQ(view.data(), buffer.data() + 7);
        VectorN owned(view);
        EXPECT_FALSE(owned.borrowed());
        owned[0] = 9.0;
    }  // the view's destructor must not free the vector's storage
    EXPECT_EQ(buffer[6], 0.0);
    EXPECT_EQ(buffer[7], 2.0);
    EXPECT_EQ(buffer[13], 2.0);
    EXPECT_EQ(buffer[14], 0.0);
}

namespace {

Quat randomQuat(std::mt19937& rng) {
    std::normal_distribution<double> g;
    Quat q{g(rng), g(rng), g(rng), g(rng)};
    const double n = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
    return {q.w / n, q.x / n, q.y / n, q.z / n};
}

Eigen::Quaterniond toEigen(const Quat& q) {
    return Eigen::Quaterniond(q.w, q.x, q.y, q.z);
}
Eigen::Vector3d toEigen(const Vec3& v) {
    return Eigen::Vector3d(v.x, v.y, v.z);
}

}  // namespace

TEST(Rotations, AgreeWithEigen) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    for (int trial = 0; trial < 100; ++trial) {
        const Quat a = randomQuat(rng);
        const Quat b = randomQuat(rng);
        const Vec3 v{u(rng), u(rng), u(rng)};
        EXPECT_LT((toEigen(rotateByQuat(a, v)) - toEigen(a) * toEigen(v)).norm(), 1e-14);
        const Quat ab = quatMultiply(a, b);
        const Eigen::Quaterniond eab = toEigen(a) * toEigen(b);
        EXPECT_NEAR(ab.w, eab.w(), 1e-15);
        EXPECT_NEAR(ab.x, eab.x(), 1e-15);
        EXPECT_NEAR(ab.z, eab.z(), 1e-15);

        double m[9];
        matrixFromQuat(a, m);
        const Eigen::Matrix3d em = toEigen(a).toRotationMatrix();
        for (int i = 0; i < 9; ++i) {
            EXPECT_NEAR(m[i], em(i / 3, i % 3), 1e-15);
        }

        Vec3 axis{u(rng), u(rng), u(rng)};
        axis = (1.0 / norm(axis)) * axis;
        const double angle = u(rng);
        const Eigen::Vector3d turned = Eigen::AngleAxisd(angle, toEigen(axis)) * toEigen(v);
        EXPECT_LT((toEigen(rotateAbout(axis, angle, v)) - turned).norm(), 1e-14);
        EXPECT_LT((toEigen(rotateByQuat(quatFromAxisAngle(angle, axis), v)) - turned).norm(),
                  1e-14);

        const Pose pose{{u(rng), u(rng), u(rng)}, a};
        const Vec3 back = inverseTransformPoint(pose, transformPoint(pose, v));
        EXPECT_TRUE(pointsWithin(back, v, 1e-24));
        const Vec3 scaled = transformPointScaled(pose, v, 2.0);
        EXPECT_LT(norm(scaled - pose.position - 2.0 * rotateByQuat(a, v)), 1e-14);
    }
}

TEST(Rotations, AxisAngleRecoveryHandlesIdentityRoundingAndHalfTurns) {
    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    Vec3 axis{7, 7, 7};
    EXPECT_EQ(axisAngleFromMatrix(identity, &axis), 0.0);
    EXPECT_EQ(axis.x, 7.0);  // left unset

    // Rounding can push the trace past 3; the cosine is clamped, not fed to acos as is.
    const double over[9] = {1 + 1e-15, 0, 0, 0, 1 + 1e-15, 0, 0, 0, 1};
    EXPECT_EQ(axisAngleFromMatrix(over, &axis), 0.0);
    const double under[9] = {-1 - 1e-15, 0, 0, 0, -1 - 1e-15, 0, 0, 0, 1};
    EXPECT_NEAR(axisAngleFromMatrix(under, &axis), M_PI, 1e-12);

    double m[9];
    const Vec3 z{0, 0, 1};
    rotationMatrix(z, 0.7, m);
    EXPECT_NEAR(axisAngleFromMatrix(m, &axis), 0.7, 1e-14);
    EXPECT_NEAR(axis.z, 1.0, 1e-14);
    EXPECT_NEAR(axis.x, 0.0, 1e-14);
}

TEST(Rotations, ParallelAndProximityTests) {
    EXPECT_TRUE(nearlyParallel({1, 0, 0}, {-1, 0, 0}, 1e-12));
    EXPECT_FALSE(nearlyParallel({1, 0, 0}, {0, 1, 0}, 0.5));
    EXPECT_TRUE(pointsWithin({0, 0, 0}, {0.1, 0, 0}, 0.0100001));
    EXPECT_FALSE(pointsWithin({0, 0, 0}, {0.1, 0, 0}, 0.01));
}

TEST(Rotations, QuaternionJacobianMatchesFiniteDifferences) {
    std::mt19937 rng(9);
    const Quat q = randomQuat(rng);
    const Vec3 v{0.3, -1.2, 0.8};
    Vec3 jac[4];
    rotateByQuatJacobian(q, v, jac);
    const double h = 1e-6;
    for (int k = 0; k < 4; ++k) {
        Quat plus = q, minus = q;
        double* pp = &plus.w;
        double* pm = &minus.w;
        pp[k] += h;
        pm[k] -= h;
        const Vec3 fd = (1.0 / (2 * h)) * (rotateByQuat(plus, v) - rotateByQuat(minus, v));
        EXPECT_LT(norm(fd - jac[k]), 1e-8) << k;
    }
}

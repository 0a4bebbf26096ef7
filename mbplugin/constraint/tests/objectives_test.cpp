// Objectives: each gradient against central differences of the potential its class states,
// inside the unclamped ranges, and the edge cases of the terms. The process-wide gain is reset
// before every test.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "constraint/objectives.hpp"

using namespace rzConstraintEngine;
using AssemblyGraph::AsmNode;
using rzMath::dot;
using rzMath::norm;

namespace {

class Objectives : public ::testing::Test {
  protected:
    void SetUp() override {
        setGlobalGain(kDefaultGain);
        node.pose = {{0.3, -0.2, 0.5}, rzMath::quatFromAxisAngle(0.5, {0.6, 0.0, 0.8})};
        target = {{0.25, -0.1, 0.4}, rzMath::quatFromAxisAngle(0.2, {0.0, 0.6, 0.8})};
    }
    void TearDown() override { setGlobalGain(kDefaultGain); }

    // Central differences of phi over the node's seven pose coordinates against gradient.
    void expectGradient(const std::function<double()>& phi, const double* gradient) {
        const double h = 1e-6;
        for (int i = 0; i < 7; ++i) {
            double* x = node.pose.data() + i;
            const double keep = *x;
            *x = keep + h;
            const double plus = phi();
            *x = keep - h;
            const double minus = phi();
            *x = keep;
            EXPECT_NEAR(gradient[i], (plus - minus) / (2 * h), 1e-7) << "coordinate " << i;
        }
    }

    // Orientation potential of one axis: w (e^2 + c (su^2 + sv^2)) / 2.
    double orientationPotential(const rzMath::Vec3& axis, double w, double c) const {
        const rzMath::Vec3 a = rzMath::rotateByQuat(node.pose.q, axis);
        const rzMath::Vec3 n = (1.0 / norm(axis)) * axis;
        rzMath::Vec3 h{1, 0, 0};
        if (std::fabs(std::fabs(n.x) - 1.0) < 0.1) {
            h = {-0.70710678, 0.70710678, 0};
        }
        const rzMath::Vec3 u = rzMath::cross(n, h);
        const rzMath::Vec3 v = rzMath::cross(n, u);
        const double e = dot(a, rzMath::rotateByQuat(target.q, axis)) - 1.0;
        const double su = dot(rzMath::rotateByQuat(target.q, u), a);
        const double sv = dot(rzMath::rotateByQuat(target.q, v), a);
        return w * (e * e + c * (su * su + sv * sv)) / 2.0;
    }
    double positionPotential(double w) const {
        const rzMath::Vec3 d = node.pose.position - target.position;
        return w * dot(d, d) / 2.0;
    }

    AsmNode node;
    rzMath::Pose target;
};

}  // namespace

TEST_F(Objectives, DistanceOrientationFollowsItsPotential) {
    DistanceOrientationObjective o(&node);
    o.setTarget(target);
    o.setLocalAxis({0.2, 0.9, -0.4});
    double g[7] = {};
    const double e = o.evaluate(g, nullptr);
    EXPECT_EQ(o.orientationError(), e);
    EXPECT_LT(e, 0.0);
    const double G = globalGain();
    expectGradient(
        [&] {
            return positionPotential(G * 0.3) +
                   orientationPotential({0.2, 0.9, -0.4}, G * 1.0, 0.3);
        },
        g);
}

TEST_F(Objectives, LocalAxisAlongXCrossesWithTheDiagonal) {
    DistanceOrientationObjective o(&node);
    o.setTarget(target);  // default local axis (1, 0, 0)
    double g[7] = {};
    o.evaluate(g, nullptr);
    const double G = globalGain();
    expectGradient(
        [&] {
            return positionPotential(G * 0.3) + orientationPotential({1, 0, 0}, G, 0.3);
        },
        g);
    // The cross part is there at all: without it the gradient would differ.
    double plain[7] = {};
    addOrientationTerm(node.pose.q, target.q, {1, 0, 0}, G, 0.0, plain);
    addPositionTerm(node.pose.position, target.position, G * 0.3, plain);
    double differs = 0.0;
    for (int i = 3; i < 7; ++i) {
        differs += std::fabs(plain[i] - g[i]);
    }
    EXPECT_GT(differs, 1e-3);
}

TEST_F(Objectives, ThreeAxisTwoAxisAndOrientationFollowTheirPotentials) {
    const double G = globalGain();
    {
        DistanceOrientation3AxisObjective o(0.4, 0.7, &node);
        o.setTarget(target);
        double g[7] = {};
        const double e = o.evaluate(g, nullptr);
        const rzMath::Vec3 y = rzMath::rotateByQuat(node.pose.q, {0, 1, 0});
        EXPECT_NEAR(e, dot(y, rzMath::rotateByQuat(target.q, {0, 1, 0})) - 1.0, 1e-15);
        expectGradient(
            [&] {
                return positionPotential(G * 0.4) + orientationPotential({1, 0, 0}, G * 0.7, 0) +
                       orientationPotential({0, 1, 0}, G * 0.7, 0);
            },
            g);
    }
    {
        const rzMath::Vec3 a{0, 0.6, 0.8}, b{0.8, 0, -0.6};
        DistanceOrient2AxisXYObjective o(0.4, 0.7, &node, a, b);
        o.setTarget(target);
        double g[7] = {};
        o.evaluate(g, nullptr);
        expectGradient(
            [&] {
                return positionPotential(G * 0.5 * 0.4) +
                       orientationPotential(a, G * 0.2 * 0.7, 0.3) +
                       orientationPotential(b, G * 0.2 * 0.7, 0.3);
            },
            g);
    }
    {
        OrientationObjective o(&node);
        o.setTarget(target);
        double g[7] = {};
        o.evaluate(g, nullptr);
        EXPECT_EQ(g[0], 0.0);
        expectGradient([&] { return orientationPotential({1, 0, 0}, G * 0.5, 0); }, g);
    }
}

TEST_F(Objectives, DistanceObjectiveReplacesThePartsEntries) {
    DistanceObjective o(0.6, &node);
    o.setTarget(target);
    o.setLocalPoint({0.1, 0.3, -0.2});
    double g[7];
    std::fill(g, g + 7, 99.0);  // another objective's contribution: dropped
    const double d = o.evaluate(g, nullptr);
    const double G = globalGain();
    auto phi = [&] {
        const rzMath::Vec3 x = rzMath::transformPoint(node.pose, {0.1, 0.3, -0.2});
        return G * 0.6 * dot(x - target.position, x - target.position) / 2.0;
    };
    expectGradient(phi, g);
    EXPECT_NEAR(d, std::sqrt(2.0 * phi() / (G * 0.6)), 1e-12);
}

TEST_F(Objectives, RayPointFollowsItsPotentialAndNeedsTwoDistinctPoints) {
    RayPointObjective o(0.8, &node);
    EXPECT_EQ(norm(o.startPosition() - rzMath::Vec3{0.3, -0.2, 0.5}), 0.0);
    double g[7] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(o.evaluate(g, nullptr), 0.0);  // A and B unset (equal): nothing added
    EXPECT_EQ(g[6], 7.0);

    const rzMath::Vec3 a{0, 0, 0}, b{1.0, 0.5, -0.2}, local{0.05, 0.1, 0.0};
    o.setRay(a, b);
    o.setLocalPoint(local);
    double grad[7] = {};
    const double dist = o.evaluate(grad, nullptr);
    const double G = globalGain();
    auto phi = [&] {
        const rzMath::Vec3 x = rzMath::transformPoint(node.pose, local);
        const rzMath::Vec3 m = rzMath::cross(x - a, a - b);
        return G * 0.8 * dot(m, m) / dot(a - b, a - b);
    };
    expectGradient(phi, grad);
    EXPECT_NEAR(dist * dist, phi() / (G * 0.8), 1e-12);

    // A point on the line: no contribution.
    node.pose.position = 0.4 * b - rzMath::rotateByQuat(node.pose.q, local);
    double none[7] = {};
    EXPECT_NEAR(o.evaluate(none, nullptr), 0.0, 1e-12);
    for (double v : none) {
        EXPECT_NEAR(v, 0.0, 1e-12);
    }
}

TEST_F(Objectives, RepulsionFollowsItsPotentialAndPushesHardestNearPointOneTwoNine) {
    DistanceRepulsion o(&node);
    const rzMath::Vec3 local{0.0, 0.1, 0.05};
    o.setObstacle({0.2, -0.1, 0.45});
    o.setLocalPoint(local);
    double g[7] = {};
    o.evaluate(g, nullptr);
    const double G = globalGain();
    expectGradient(
        [&] {
            const rzMath::Vec3 d =
                rzMath::transformPoint(node.pose, local) - rzMath::Vec3{0.2, -0.1, 0.45};
            return G * 0.01 / (dot(d, d) + 0.05);
        },
        g);

    // Push (position gradient magnitude) along a ray away from the obstacle.
    node.pose = rzMath::identityPose();
    o.setLocalPoint({0, 0, 0});
    o.setObstacle({0, 0, 0});
    double best = 0.0, bestAt = 0.0;
    for (double r = 0.01; r < 1.0; r += 0.001) {
        node.pose.position = {r, 0, 0};
        double gr[7] = {};
        o.evaluate(gr, nullptr);
        if (std::fabs(gr[0]) > best) {
            best = std::fabs(gr[0]);
            bestAt = r;
        }
    }
    EXPECT_NEAR(bestAt, std::sqrt(0.05 / 3.0), 0.002);
}

TEST_F(Objectives, PositionTermIsCappedOnlyFromAbove) {
    DistanceOrientationObjective o(&node);
    node.pose.position = {1.0, -1.0, 0.0};
    o.setTarget({{0, 0, 0}, node.pose.q});
    double g[7] = {};
    o.evaluate(g, nullptr);
    EXPECT_NEAR(g[0], globalGain() * 0.3 * 0.2, 1e-15);
    EXPECT_NEAR(g[1], globalGain() * 0.3 * -1.0, 1e-15);
    EXPECT_EQ(g[2], 0.0);

    setGlobalGain(kRecoveryGain);
    double slow[7] = {};
    o.evaluate(slow, nullptr);
    EXPECT_NEAR(slow[1], 0.1 * 0.3 * -1.0, 1e-15);
}

TEST_F(Objectives, OrientationErrorIsZeroWhenAlignedAndMinusOneFromARightAngle) {
    OrientationObjective o(&node);
    o.setTarget({{0, 0, 0}, node.pose.q});
    double g[7] = {};
    EXPECT_NEAR(o.evaluate(g, nullptr), 0.0, 1e-15);
    for (double v : g) {
        EXPECT_NEAR(v, 0.0, 1e-15);
    }
    for (double angle : {M_PI / 2, 2.0, M_PI}) {
        const rzMath::Quat turned =
            rzMath::quatMultiply(node.pose.q, rzMath::quatFromAxisAngle(angle, {0, 0, 1}));
        o.setTarget({{0, 0, 0}, turned});
        double h[7] = {};
        EXPECT_NEAR(o.evaluate(h, nullptr), -1.0, 1e-12) << angle;
    }
}

TEST_F(Objectives, DirectionQueriesAndTargetAdvance) {
    DistanceOrientationObjective o(&node);
    node.pose.position = {0, 0, 0};
    o.setTarget({{3, 4, 0}, rzMath::identityQuat()});
    EXPECT_EQ(o.distance(), 5.0);
    EXPECT_EQ(o.lastDistance(), 5.0);
    EXPECT_EQ(o.targetAdvance(), 0.0);  // first call
    o.setDirection({1, 0, 0}, nullptr);
    rzMath::Vec3 d;
    o.getDirection(&d);
    EXPECT_EQ(d.x, 1.0);
    EXPECT_EQ(o.offsetAlongDirection(), 3.0);
    o.setTarget({{3.5, 4, 0}, rzMath::identityQuat()});
    EXPECT_NEAR(o.targetAdvance(), 0.5, 1e-15);
    EXPECT_EQ(o.targetAdvance(), 0.0);  // no movement since

    rzMath::Pose quarter{{0, 0, 0}, rzMath::quatFromAxisAngle(M_PI / 2, {0, 0, 1})};
    o.setDirection({1, 0, 0}, &quarter);
    o.worldDirection(&d);
    EXPECT_NEAR(d.y, 1.0, 1e-15);
    EXPECT_NEAR(o.offsetAlongDirection(), 4.0, 1e-12);
}

TEST_F(Objectives, GroundedNodesAreRefused) {
    node.grounded = true;
    try {
        DistanceOrientationObjective o(&node);
        FAIL() << "created on a grounded node";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "AsmNode is grounded.");
    }
    EXPECT_THROW(RayPointObjective(1.0, &node), std::runtime_error);
    EXPECT_THROW(DistanceRepulsion(nullptr), std::invalid_argument);
}

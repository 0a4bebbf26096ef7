// The solver on small assemblies: joints held, objectives met, the step control's recovery,
// the iteration rules, and the assembly lock held while it works.

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <memory>
#include <vector>

#include "constraint/constraintsolver.hpp"

using namespace rzConstraintEngine;
using AssemblyGraph::AsmEdge;
using AssemblyGraph::AsmNode;
using AssemblyGraph::Assembly;
using rzMath::norm;
using rzMath::Vec3;

namespace {

struct Rig {
    std::vector<std::unique_ptr<AsmNode>> nodes;
    std::vector<std::unique_ptr<AsmEdge>> edges;
    Assembly assembly;

    AsmNode* body(const std::string& name, Vec3 position) {
        nodes.push_back(std::make_unique<AsmNode>());
        AsmNode* n = nodes.back().get();
        n->name = name;
        n->pose.position = position;
        assembly.addNode(n);
        return n;
    }
    AsmEdge* joint(const std::string& name, int type, AsmNode* a, Vec3 atA, AsmNode* b, Vec3 atB) {
        edges.push_back(std::make_unique<AsmEdge>());
        AsmEdge* e = edges.back().get();
        e->name = name;
        e->type = type;
        e->node1 = a;
        e->node2 = b;
        e->frame1.position = atA;
        e->frame2.position = atB;
        assembly.addEdge(e);
        return e;
    }
};

// An arm of two 0.5 m links along x: the upper link's base on a ball joint at the world
// origin, the forearm hinged (about z) to the upper link's end.
struct Arm : Rig {
    AsmNode* upper;
    AsmNode* fore;
    Arm() {
        upper = body("upper", {0.25, 0, 0});
        fore = body("fore", {0.75, 0, 0});
        joint("shoulder", 1, upper, {-0.25, 0, 0}, nullptr, {0, 0, 0});
        joint("elbow", 3, upper, {0.25, 0, 0}, fore, {-0.25, 0, 0});
    }
    Vec3 hand() const { return rzMath::transformPoint(fore->pose, {0.25, 0, 0}); }
};

class Solver : public ::testing::Test {
  protected:
    void SetUp() override { setGlobalGain(kDefaultGain); }
    void TearDown() override { setGlobalGain(kDefaultGain); }
};

}  // namespace

TEST_F(Solver, ProjectionRepairsBrokenJointsAndNonUnitQuaternions) {
    Arm arm;
    arm.fore->pose.position = {0.9, 0.2, -0.1};
    arm.upper->pose.q = {1.1, 0.0, 0.05, 0.0};
    ConstraintSolver solver(arm.assembly);
    double err = 1.0;
    for (int i = 0; i < 20 && err > 1e-9; ++i) {
        err = solver.guardedStep();
    }
    EXPECT_LT(err, 1e-9);
    EXPECT_EQ(solver.parts(), 2);
    EXPECT_EQ(solver.constraintRows(), 3 + 5 + 2);
    EXPECT_EQ(solver.systemSize(), 14u + 10u);
    EXPECT_EQ(solver.activeEdges(), 2);
    const rzMath::Quat& q = arm.upper->pose.q;
    EXPECT_NEAR(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z, 1.0, 1e-12);
    const Vec3 elbowA = rzMath::transformPoint(arm.upper->pose, {0.25, 0, 0});
    const Vec3 elbowB = rzMath::transformPoint(arm.fore->pose, {-0.25, 0, 0});
    EXPECT_LT(norm(elbowA - elbowB), 1e-9);
    EXPECT_LT(norm(rzMath::transformPoint(arm.upper->pose, {-0.25, 0, 0})), 1e-9);
}

TEST_F(Solver, PullsAnArmsHandToAReachableTarget) {
    Arm arm;
    ConstraintSolver solver(arm.assembly);
    DistanceObjective reach(1.0, arm.fore);
    reach.setLocalPoint({0.25, 0, 0});
    // Reachable: 0.8 m from the shoulder, in the plane the hinge allows (z = 0 after the
    // shoulder turns freely).
    const Vec3 goal{0.2, 0.6, 0.4};
    reach.setTarget({goal, rzMath::identityQuat()});
    solver.addObjective(&reach);
    for (int i = 0; i < 400 && norm(arm.hand() - goal) > 1e-6; ++i) {
        solver.iterate(ConstraintSolver::ObjectiveSolve, 1);
    }
    EXPECT_LT(norm(arm.hand() - goal), 1e-6);
    solver.guardedStep();
    EXPECT_LT(solver.error(), 1e-6);
    EXPECT_FALSE(solver.recovering());
}

TEST_F(Solver, RecoversFromADivergingStepAndRegainsFullGain) {
    Rig rig;
    AsmNode* b = rig.body("b", {0, 0, 0});
    ConstraintSolver solver(rig.assembly);
    solver.guardedStep();
    ASSERT_TRUE(solver.hasGoodState());
    const rzMath::Pose good = b->pose;

    DistanceOrientationObjective pull(b);
    pull.setTarget({{10, 0, 0}, rzMath::identityQuat()});  // 10 m short: uncapped, huge step
    solver.addObjective(&pull);
    const std::int64_t before = solver.iterationCount();
    solver.iterate(ConstraintSolver::ObjectiveSolve, 1);
    EXPECT_EQ(globalGain(), kRecoveryGain);
    EXPECT_TRUE(solver.recovering());
    EXPECT_EQ(solver.lastReset(), before);
    EXPECT_EQ(b->pose.position.x, good.position.x);
    EXPECT_TRUE(b->changed);

    // A reachable target: the small steps settle and the gain comes back.
    pull.setTarget({{0.05, 0, 0}, rzMath::identityQuat()});
    for (int i = 0; i < 3000 && globalGain() != kDefaultGain; ++i) {
        solver.iterate(ConstraintSolver::ObjectiveSolve, 1);
    }
    EXPECT_EQ(globalGain(), kDefaultGain);
    EXPECT_FALSE(solver.recovering());
    for (int i = 0; i < 200; ++i) {
        solver.iterate(ConstraintSolver::ObjectiveSolve, 1);
    }
    EXPECT_NEAR(b->pose.position.x, 0.05, 1e-9);
    EXPECT_EQ(globalGain(), kDefaultGain);
}

TEST_F(Solver, NonFiniteStepsAreNeverAppliedAndTheGoodStateComesBack) {
    Rig rig;
    AsmNode* b = rig.body("b", {0.1, 0.2, 0.3});
    ConstraintSolver solver(rig.assembly);
    solver.guardedStep();
    ASSERT_TRUE(solver.hasGoodState());
    b->pose.q.w = std::nan("");  // corrupted from outside
    solver.guardedStep();
    EXPECT_TRUE(std::isfinite(b->pose.q.w));
    EXPECT_EQ(b->pose.position.y, 0.2);
    EXPECT_EQ(globalGain(), kRecoveryGain);
}

TEST_F(Solver, ExtraProjectionPassesFollowTheCountAndTheError) {
    Rig rig;
    rig.body("b", {0, 0, 0});
    ConstraintSolver solver(rig.assembly);
    // Settled, error below 0.02: one count per call until the count reaches a multiple of 12.
    for (int i = 1; i <= 11; ++i) {
        solver.iterate(ConstraintSolver::ObjectiveSolve, 1);
        EXPECT_EQ(solver.iterationCount(), i);
    }
    solver.iterate(ConstraintSolver::ObjectiveSolve, 1);
    EXPECT_EQ(solver.iterationCount(), 13);

    const int cycle = ConstraintSolver::cycleCounter();
    for (int i = 0; i < 10; ++i) {
        solver.iterate(ConstraintSolver::ObjectiveSolve, 1);
    }
    EXPECT_EQ(ConstraintSolver::cycleCounter(), cycle);
    solver.iterate(ConstraintSolver::ObjectiveSolve, 1);
    EXPECT_EQ(ConstraintSolver::cycleCounter(), (cycle + 1) % 10);

    // An error above 0.1 always adds a pass.
    Rig far;
    AsmNode* f = far.body("f", {0, 0, 0});
    ConstraintSolver pulled(far.assembly);
    DistanceOrientationObjective pull(f);
    pull.setTarget({{-3, 0, 0}, rzMath::identityQuat()});  // capped at 0.2: steps of 0.065
    pulled.addObjective(&pull);
    pulled.iterate(ConstraintSolver::ObjectiveSolve, 2);
    EXPECT_EQ(pulled.iterationCount(), 2);  // error 0.065: between the limits, count even
    pull.setTarget({{3, 0, 0}, rzMath::identityQuat()});
    pulled.iterate(ConstraintSolver::ObjectiveSolve, 1);
    EXPECT_EQ(pulled.iterationCount(), 4);  // error above 0.1
}

TEST_F(Solver, ResetsCachedDistancesEveryFifthIteration) {
    Rig rig;
    AsmNode* b = rig.body("b", {0, 0, 0});
    ConstraintSolver solver(rig.assembly);
    for (int count = 0; count < 11; ++count) {
        b->closestDistance[2] = 1.0;
        solver.iterate(ConstraintSolver::Projection, 1);
        EXPECT_EQ(b->closestDistance[2], count % 5 == 0 ? 1e10 : 1.0) << count;
    }
}

TEST_F(Solver, CountsActiveEdgesAndRejectsJointCodesWithoutABuilder) {
    Rig rig;
    AsmNode* a = rig.body("a", {0, 0, 0});
    AsmNode* b = rig.body("b", {1, 0, 0});
    AsmEdge* fixed = rig.joint("fixed", 2, a, {0.5, 0, 0}, b, {-0.5, 0, 0});
    AsmEdge* suppressed = rig.joint("suppressed", 1, a, {0, 0, 0}, nullptr, {0, 0, 0});
    suppressed->flags = 2;
    AsmEdge* broken = rig.joint("broken", 4, b, {0, 0, 0}, nullptr, {0, 0, 0});
    broken->flags = 8 | 1;
    rig.joint("loose", 17, a, {0, 0, 0}, b, {0, 0, 0});
    ConstraintSolver solver(rig.assembly);
    solver.guardedStep();
    EXPECT_EQ(solver.activeEdges(), 1);
    EXPECT_EQ(solver.constraintRows(), 6 + 3 + 2 + 2);
    (void)fixed;

    rig.joint("odd", 9, a, {0, 0, 0}, b, {0, 0, 0});
    try {
        solver.iterate(ConstraintSolver::Projection, 1);
        FAIL() << "joint type 9 accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Edge \"odd\": joint type 9 has no constraint builder.");
    }
    // The graph interface was given back despite the exception.
    EXPECT_TRUE(rig.assembly.lock().tryAcquire(Lattix::RWLock::Write));
    rig.assembly.lock().release(Lattix::RWLock::Write);
}

TEST_F(Solver, GroundedPartsStayPutAndFixedJointsCarryTheirPartner) {
    Rig rig;
    AsmNode* base = rig.body("base", {0, 0, 0});
    AsmNode* lid = rig.body("lid", {0.3, 0.1, 0});
    base->pinned = true;
    rig.joint("weld", 2, base, {0.5, 0, 0}, lid, {-0.5, 0, 0});
    {
        AssemblyGraph::GraphInterfaceScope gi(rig.assembly, false);
        gi->setTagging(true);
    }
    rig.assembly.markDirty();
    ConstraintSolver solver(rig.assembly);
    for (int i = 0; i < 10; ++i) {
        solver.guardedStep();
    }
    EXPECT_TRUE(base->grounded);
    EXPECT_EQ(base->pose.position.x, 0.0);
    EXPECT_NEAR(lid->pose.position.x, 1.0, 1e-9);
    EXPECT_NEAR(lid->pose.position.y, 0.0, 1e-9);
    EXPECT_NEAR(lid->pose.q.w, 1.0, 1e-9);
    EXPECT_THROW(OrientationObjective{base}, std::runtime_error);
}

TEST_F(Solver, HoldsTheAssemblysReadLockWhileObjectivesEvaluate) {
    struct Probe : KinematicObjective {
        Assembly* assembly;
        int blocked = 0;
        Probe(AsmNode* n, Assembly* a) : KinematicObjective(n), assembly(a) {}
        double evaluate(double*, double*) override {
            Lattix::RWLock& lock = assembly->lock();
            const bool got = std::async(std::launch::async, [&lock] {
                                 const bool ok = lock.tryAcquire(Lattix::RWLock::Write);
                                 if (ok) {
                                     lock.release(Lattix::RWLock::Write);
                                 }
                                 return ok;
                             }).get();
            blocked += got ? 0 : 1;
            return 0.0;
        }
    };
    Rig rig;
    AsmNode* b = rig.body("b", {0, 0, 0});
    ConstraintSolver solver(rig.assembly);
    Probe probe(b, &rig.assembly);
    solver.addObjective(&probe);
    solver.iterate(ConstraintSolver::ObjectiveSolve, 3);
    EXPECT_EQ(probe.blocked, 3);
    probe.setEnabled(false);
    solver.iterate(ConstraintSolver::ObjectiveSolve, 1);
    EXPECT_EQ(probe.blocked, 3);
}

TEST_F(Solver, RefusesAnAssemblyBeyondTheInterfaceLimits) {
    Rig rig;
    for (int i = 0; i <= AssemblyGraph::AsmTagGInterface::kMaxNodes; ++i) {
        rig.body("n" + std::to_string(i), {0, 0, 0});
    }
    ConstraintSolver solver(rig.assembly);
    EXPECT_THROW(solver.iterate(ConstraintSolver::Projection, 1), std::length_error);
}

#include "graspdemo/graspscene.hpp"
#include "framework/tests/handrig.hpp"
#include "framework/usersimulation.hpp"
#include "handsim/kpxphalanx.hpp"

#include <gtest/gtest.h>

namespace {

// How far the solver's contact may stray from the exact geometry, centimetres.
constexpr double kTolerance = 0.01;

struct Press {
    const char* name;
    double angles[3];
    kpxVector3d tip;  // where the index tip is put; the sphere has radius 8 at the origin
};

// The index pressed into the sphere from below, straight and with the hand turned (a normal
// moved like a point instead of turned would land far from the sphere's normal), then
// drawn back out.
TEST(GraspScene, PressedFingerGetsAForcePatchUntilItLeaves) {
    const Press presses[] = {
        {"straight up", {0.0, 0.0, 0.0}, kpxVector3d(0.0, -7.0, 0.0)},
        {"turned", {0.4, 0.2, 0.6}, kpxVector3d(2.0, -6.5, 1.0)},
    };
    for (const Press& press : presses) {
        SCOPED_TRACE(press.name);
        GraspScene scene;
        HandRig rig;
        kpxHumanHand hand(&rig.master, 1.0, GHM::RIGHT_HAND);
        UserSimulation sim(nullptr, &scene.root);
        sim.registerHand(&hand);
        sim.setContactRule(
            [](const std::vector<kpxCollisionPair>& pairs) { applyGraspContacts(pairs, nullptr); });
        rig.pointWith(GHM::INDEX);
        rig.placeTip(hand, GHM::INDEX, press.angles, press.tip);

        sim.doSimulation();
        const int tipPart = GHM::INDEX * 3 + 2;
        for (int k = 0; k < kpxPhalanx::kCount; ++k) {
            EXPECT_EQ(hand.getPhalanx(k)->isInContact(), k == tipPart) << k;
        }
        const kpxContactPatch& patch = hand.getContactPatches()[tipPart];
        EXPECT_DOUBLE_EQ(patch.getStiffness(), 0.45);
        EXPECT_DOUBLE_EQ(patch.getDamping(), 1.0);
        const double depth = patch.getDepth() * 100.0;
        EXPECT_GT(depth, 0.5);
        // Back in the scene's frame: the point lies `depth` inside the sphere and the normal
        // is the sphere's outward normal there.
        const kpxTransform3D& frame = hand.getPhalanx(tipPart)->getFrame();
        kpxVector3d p(patch.getPoint()[0], patch.getPoint()[1], patch.getPoint()[2]);
        frame.transform(p);
        const kpxVector3d n = frame.transformDirection(
            kpxVector3d(patch.getNormal()[0], patch.getNormal()[1], patch.getNormal()[2]));
        EXPECT_NEAR(p.length(), 8.0 - depth, kTolerance);
        kpxVector3d outward = p;
        outward.normalize();
        EXPECT_GT(n.dot(outward), 1.0 - 1e-4);

        rig.tracker.getDevice(0)->setValue(1, rig.tracker.getDevice(0)->getValue(1) - 5.0);
        sim.doSimulation();
        for (int k = 0; k < kpxPhalanx::kCount; ++k) {
            EXPECT_FALSE(hand.getPhalanx(k)->isInContact()) << k;
        }
        EXPECT_EQ(hand.getContactPatches()[tipPart].getStiffness(), 0.0);
    }
}

}  // namespace

#include "ghostdemo/ghostscene.hpp"
#include "framework/tests/handrig.hpp"
#include "framework/usersimulation.hpp"
#include "handsim/kpxghosthumanhand.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct GhostRun {
    GhostScene scene;
    HandRig rig;
    kpxGhostHumanHand hand{&rig.master, 1.0, GHM::RIGHT_HAND};
    UserSimulation sim{nullptr, &scene.root};

    GhostRun() {
        scene.createCollisionEngine();
        sim.setCollisionEngine(scene.collision.get());
        sim.registerHand(&hand);
        sim.setContactRule([this](const std::vector<kpxCollisionPair>& pairs) {
            for (const kpxCollisionPair& pair : pairs) {
                hand.handleCollision(pair);
            }
        });
        rig.pointWith(GHM::INDEX);
    }
    // The deepest a hand part is in the box now.
    double deepest() {
        scene.collision->collisionCheck();
        double d = 0.0;
        for (const kpxCollisionPair& pair : scene.collision->getCollidingPairs()) {
            d = std::max(d, pair.getDepth());
        }
        return d;
    }
};

// How deep the ghost hand may still be in the box after a step, centimetres.
constexpr double kTolerance = 0.05;

struct Press {
    const char* name;
    double angles[3];
    kpxVector3d tip;  // where the tracked index tip is; the box spans -2.5 .. 2.5
};

TEST(GhostScene, HandStaysOutsideTheBox) {
    const Press presses[] = {
        {"from below", {0.0, 0.0, 0.0}, kpxVector3d(0.0, -1.5, 0.0)},
        {"turned, deeper", {0.3, -0.2, 0.5}, kpxVector3d(0.5, -0.8, 0.4)},
        {"palm on top", {3.1416 / 2, 0.0, 0.0}, kpxVector3d(0.0, 2.0, 9.0)},
    };
    for (const Press& press : presses) {
        SCOPED_TRACE(press.name);
        GhostRun run;
        run.rig.placeTip(run.hand, GHM::INDEX, press.angles, press.tip);
        run.sim.doSimulation();
        ASSERT_GT(run.sim.getLastPairCount(), 0);
        EXPECT_GT(run.hand.getCorrection().length(), 0.5);
        EXPECT_LE(run.deepest(), kTolerance);
    }
}

// The tracked finger drives on through the box; the hand stays at the face it met.
TEST(GhostScene, TrackerDrivenThroughTheBoxLeavesTheHandAtTheFace) {
    GhostRun run;
    const double pointX[3] = {0.0, 0.0, -3.14159265358979 / 2};  // fingers along +x
    for (double x = -4.0; x <= 4.0; x += 0.2) {
        run.rig.placeTip(run.hand, GHM::INDEX, pointX, kpxVector3d(x, 0.0, 0.0));
        run.sim.doSimulation();
        ASSERT_LE(run.deepest(), kTolerance) << x;
    }
    kpxVector3d tip = run.hand.getFingertipPosition(GHM::INDEX);
    run.hand.getBaseTransform().transform(tip);
    EXPECT_LT(tip.getX(), -2.5);
    EXPECT_NEAR(tip.getY(), 0.0, 0.5);
    EXPECT_NEAR(tip.getZ(), 0.0, 0.5);
}

}  // namespace

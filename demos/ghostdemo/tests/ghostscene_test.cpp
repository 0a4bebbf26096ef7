#include "ghostdemo/ghostscene.hpp"
#include "framework/tests/handrig.hpp"
#include "framework/usersimulation.hpp"
#include "handsim/kpxghosthumanhand.hpp"

#include <gtest/gtest.h>

namespace {

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
        GhostScene scene;
        HandRig rig;
        kpxGhostHumanHand hand(&rig.master, 1.0, GHM::RIGHT_HAND);
        UserSimulation sim(nullptr, &scene.root);
        scene.createCollisionEngine();
        sim.setCollisionEngine(scene.collision.get());
        sim.registerHand(&hand);
        sim.setContactRule([&hand](const std::vector<kpxCollisionPair>& pairs) {
            for (const kpxCollisionPair& pair : pairs) {
                hand.handleCollision(pair);
            }
        });
        rig.pointWith(GHM::INDEX);
        rig.placeTip(hand, GHM::INDEX, press.angles, press.tip);

        sim.doSimulation();
        ASSERT_GT(sim.getLastPairCount(), 0);
        EXPECT_GT(hand.getCorrection().length(), 0.5);
        scene.collision->collisionCheck();
        for (const kpxCollisionPair& pair : scene.collision->getCollidingPairs()) {
            EXPECT_LE(pair.getDepth(), kTolerance);
        }
    }
}

}  // namespace

#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxcollisionengine.hpp"
#include "handsim/kpxengine.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxhumanhand.hpp"
#include "handsim/kpxnode.hpp"
#include "handsim/kpxphalanx.hpp"
#include "handsim/kpxshape3d.hpp"
#include "handsim/kpxsimulation.hpp"
#include "handsim/kpxtrackeremulator.hpp"
#include "handsim/kpxvexagloveemulator.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

namespace {

kpxTransform3D at(double x, double y, double z) {
    kpxTransform3D t;
    t.setTranslation(kpxVector3d(x, y, z));
    return t;
}

struct SphereCapsuleCase {
    const char* name;
    kpxTransform3D capsulePose;  // capsule radius 0.5, cylinder 4, along its y
    double depth;                // expected; 0 = apart
    kpxVector3d normal;          // expected push of the capsule out of the sphere
};

// Sphere of radius 2 at the origin against a capsule in known places: the depth, the
// normal that frees the capsule and its deepest point (on the capsule, r - depth from the
// sphere's centre along the normal).
TEST(Collision, SphereCapsuleDepthNormalAndPoint) {
    const double a = 2.3 / std::sqrt(2.0);
    const double s = 1.0 / std::sqrt(2.0);
    const SphereCapsuleCase cases[] = {
        {"side", at(2.3, 0.0, 0.0), 0.2, kpxVector3d(1, 0, 0)},
        {"end on", at(0.0, 4.2, 0.0), 0.3, kpxVector3d(0, 1, 0)},
        {"diagonal side", at(a, 0.0, a), 0.2, kpxVector3d(s, 0, s)},
        {"apart", at(2.6, 0.0, 0.0), 0.0, kpxVector3d()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kpxGroup root;
        kpxShape3D sphere(new kpxVertexSphere(2.0, 12, 12));
        kpxShape3D capsule(new kpxCapsule(0.5, 4.0));
        capsule.setPhysicalKind(kpxShape3D::HAND_PART);
        capsule.setTransform(c.capsulePose);
        root.addChild(&sphere);
        root.addChild(&capsule);
        kpxVClipCollisionFactory factory;
        kpxCollisionEngine engine(&root, &factory, kpxCollisionEngine::CONTACTS);

        const int pairs = engine.collisionCheck();
        if (c.depth == 0.0) {
            EXPECT_EQ(pairs, 0);
            continue;
        }
        ASSERT_EQ(pairs, 1);
        const kpxCollisionPair& pair = engine.getCollidingPair(0);
        const int mine = pair.getObject(0) == &capsule ? 0 : 1;
        EXPECT_EQ(pair.getObject(1 - mine), &sphere);
        EXPECT_NEAR(pair.getDepth(), c.depth, 1e-3);
        const kpxVector3d n = pair.getContactNormal(mine);
        const kpxVector3d p = pair.getContactPoint(mine);
        const kpxVector3d q = pair.getContactPoint(1 - mine);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(n[i], c.normal[i], 1e-3) << i;
            EXPECT_NEAR(p[i], (2.0 - c.depth) * c.normal[i], 1e-3) << i;
            EXPECT_NEAR(q[i], 2.0 * c.normal[i], 1e-3) << i;
        }
    }
}

TEST(Collision, HandPartsDoNotCollideWithEachOtherAndMovesAreSeen) {
    kpxGroup root;
    kpxTransformGroup moved;
    kpxShape3D box(new kpxVertexBox(2, 2, 2));
    kpxShape3D linkA(new kpxCapsule(0.5, 2.0));
    kpxShape3D linkB(new kpxCapsule(0.5, 2.0));
    linkA.setPhysicalKind(kpxShape3D::HAND_PART);
    linkB.setPhysicalKind(kpxShape3D::HAND_PART);
    root.addChild(&moved);
    moved.addChild(&box);
    root.addChild(&linkA);
    root.addChild(&linkB);
    moved.setTransform(at(10, 0, 0));
    kpxVClipCollisionFactory factory;
    kpxCollisionEngine engine(&root, &factory, 2);
    EXPECT_EQ(engine.collisionCheck(), 0);  // the two links overlap but are both hand parts
    moved.setTransform(at(1.2, 0, 0));      // the box's group moves onto them
    EXPECT_EQ(engine.collisionCheck(), 2);
    {
        kpxShape3D late(new kpxVertexSphere(1.0));
        late.setTransform(at(1.5, 0, 0));
        moved.addChild(&late);
        EXPECT_EQ(engine.collisionCheck(), 3);  // two objects of the scene collide too
    }
    EXPECT_EQ(engine.collisionCheck(), 2);       // the deleted sphere left the graph and the cache
    moved.setTransform(at(std::nan(""), 0, 0));  // broken device data places nothing
    EXPECT_EQ(engine.collisionCheck(), 0);
}

TEST(SceneGraph, RefusesSecondParentsAndCycles) {
    kpxGroup root, inner;
    root.addChild(&inner);
    for (kpxGroup* bad : {&root, &inner}) {
        try {
            inner.addChild(bad);
            ADD_FAILURE() << "accepted";
        } catch (kpxBaseException* e) {
            delete e;
        }
    }
    EXPECT_EQ(inner.numChildren(), 0);
}

class CountingSimulation : public kpxSimulation {
  public:
    void doSimulation() override {
        if (++steps == failAt) {
            throw new kpxBaseException("scripted failure");
        }
    }
    std::atomic<int> steps{0};
    int failAt = -1;
};

bool waitFor(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A long period keeps the thread asleep: stopping must wake it, not wait the period out.
TEST(Engine, StepsOnItsThreadAndStopWakesIt) {
    CountingSimulation sim;
    kpxEngine engine(true);
    engine.setPeriod(10.0);
    engine.useSimulation(&sim);
    engine.start();
    ASSERT_TRUE(waitFor([&] { return sim.steps.load() >= 1; }));
    EXPECT_TRUE(engine.isRunning());
    const auto before = std::chrono::steady_clock::now();
    engine.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_FALSE(engine.isRunning());
    EXPECT_EQ(sim.steps.load(), 1);
    EXPECT_TRUE(engine.getLastError().empty());
}

TEST(Engine, FailedStepEndsSteppingWithItsMessage) {
    CountingSimulation sim;
    sim.failAt = 3;
    kpxEngine engine(true);
    engine.setPeriod(0.001);
    engine.useSimulation(&sim);
    engine.start();
    ASSERT_TRUE(waitFor([&] { return !engine.isRunning(); }));
    EXPECT_EQ(engine.getLastError(), "scripted failure");
    EXPECT_EQ(sim.steps.load(), 3);
    sim.stopSimulation();
    engine.step();  // a stopped simulation does not step
    EXPECT_EQ(sim.steps.load(), 3);
}

// The engine thread moves the hand every step; a reader holding the scene-graph lock sees
// each pose whole: every part where the hand's own pose puts it.
TEST(Engine, ReadersUnderTheSceneLockNeverSeeAHalfMovedHand) {
    kpxVexaGloveEmulator glove;
    kpxTrackerEmulator tracker;
    kpxHandMaster master(&glove, tracker.getDevice(0));
    kpxHumanHand hand(&master);
    kpxGroup root;
    class Moving : public kpxSimulation {
      public:
        explicit Moving(kpx6DofDevice* d) : device(d) {}
        void doSimulation() override {
            ++steps;
            device->setValue(0, 0.01 * steps.load());
            device->setValue(5, 0.001 * steps.load());
            updateScene();
        }
        kpx6DofDevice* device;
        std::atomic<int> steps{0};
    } sim(tracker.getDevice(0));
    sim.addSubgraph(&root);
    kpxEngine engine(true);
    engine.setPeriod(0.001);
    engine.registerHand(&hand);
    engine.useSimulation(&sim);
    engine.start();
    int checked = 0;
    for (int i = 0; i < 2000 && sim.steps.load() < 50; ++i) {
        kpxSceneGraphGuard guard;
        kpxTransform3D tip = hand.getBaseTransform();
        tip.mul(hand.getChainTransform(GHM::INDEX, 2));
        const kpxTransform3D& part = hand.getPhalanx(GHM::INDEX * 3 + 2)->getFrame();
        for (int r = 0; r < 3; ++r) {
            for (int col = 0; col < 4; ++col) {
                ASSERT_NEAR(part.element(r, col), tip.element(r, col), 1e-9);
            }
        }
        ASSERT_EQ(hand.getPhalanx(0)->getParent(), &root);
        ++checked;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    engine.stop();
    EXPECT_GE(sim.steps.load(), 2);
    EXPECT_GT(checked, 0);
}

}  // namespace

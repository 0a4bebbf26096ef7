#include "handsim/kpx6dofdevice.hpp"
#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxtrackeremulator.hpp"
#include "handsim/kpxvexagloveemulator.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <numbers>
#include <string>

namespace {

// Runs f, expects a kpxBaseException pointer and returns its message (the handler owns it).
template <typename F>
std::string thrownMessage(F&& f) {
    try {
        f();
    } catch (kpxBaseException* e) {
        std::unique_ptr<kpxBaseException> owned(e);
        return e->getMessage();
    }
    ADD_FAILURE() << "no kpxBaseException* thrown";
    return {};
}

TEST(SixDofDevice, PoseComposesRotationsXThenYThenZ) {
    kpx6DofDevice d;
    d.setValue(0, 1.0);
    d.setValue(1, 2.0);
    d.setValue(2, 3.0);
    d.setValue(3, std::numbers::pi / 2);  // about x first
    d.setValue(5, std::numbers::pi / 2);  // then about z
    kpxVector3d p(0.0, 0.0, 1.0);
    d.getTransform().transform(p);
    // (0, 0, 1) -> Rx -> (0, -1, 0) -> Rz -> (1, 0, 0), then + (1, 2, 3).
    EXPECT_NEAR(p.getX(), 2.0, 1e-12);
    EXPECT_NEAR(p.getY(), 2.0, 1e-12);
    EXPECT_NEAR(p.getZ(), 3.0, 1e-12);
    EXPECT_DOUBLE_EQ(d.getValue(1), 2.0);
}

TEST(SixDofDevice, BadIndexThrowsPointer) {
    kpx6DofDevice d;
    EXPECT_NE(thrownMessage([&] { d.setValue(6, 0.0); }).find("outside 0..5"), std::string::npos);
    EXPECT_FALSE(thrownMessage([&] { (void)d.getValue(-1); }).empty());
}

TEST(GloveEmulator, HoldsJointAnglesByFingerAndJoint) {
    kpxVexaGloveEmulator g;
    double block[24];
    for (int i = 0; i < 24; ++i) {
        block[i] = -0.01 * i;
    }
    g.setJointValues(block);
    EXPECT_DOUBLE_EQ(g.getJointValue(2, 3), -0.11);
    EXPECT_DOUBLE_EQ(g.getPalmValue(1), -0.21);
    g.setJointValue(4, 0, 0.7);
    EXPECT_DOUBLE_EQ(g.getJointValue(4, 0), 0.7);
    EXPECT_FALSE(thrownMessage([&] { g.setJointValue(6, 0, 1.0); }).empty());
    EXPECT_FALSE(thrownMessage([&] { (void)g.getJointValue(0, 4); }).empty());
}

TEST(GloveEmulator, UpdateAdvancesTimestamp) {
    kpxVexaGloveEmulator g;
    const double t0 = g.getLastUpdateTime();
    g.update();
    EXPECT_GE(g.getLastUpdateTime(), t0);
    EXPECT_GT(t0, 0.0);
}

TEST(TrackerEmulator, HasOneLogicalDevice) {
    kpxTrackerEmulator t;
    kpx6DofDevice* d = t.getDevice(0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d, t.getDevice(0));
    EXPECT_FALSE(thrownMessage([&] { (void)t.getDevice(1); }).empty());
}

TEST(HandMaster, RequiresBothInputs) {
    kpxVexaGloveEmulator g;
    kpxTrackerEmulator t;
    kpxHandMaster m(&g, t.getDevice(0));
    EXPECT_EQ(m.getGlove(), &g);
    EXPECT_EQ(m.get6DofDevice(), t.getDevice(0));
    EXPECT_FALSE(thrownMessage([&] { kpxHandMaster bad(&g, nullptr); }).empty());
}

}  // namespace

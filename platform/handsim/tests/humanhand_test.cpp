#include "handsim/kpx6dofdevice.hpp"
#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxhumanhand.hpp"
#include "handsim/kpxtrackeremulator.hpp"
#include "handsim/kpxvexagloveemulator.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>

namespace {

constexpr double kHalfPi = std::numbers::pi / 2;

struct Rig {
    kpxVexaGloveEmulator glove;
    kpxTrackerEmulator tracker;
    kpxHandMaster master{&glove, tracker.getDevice(0)};
    kpxHumanHand right{&master, 1.0, GHM::RIGHT_HAND};
    kpxHumanHand left{&master, 1.0, GHM::LEFT_HAND};

    void setAll(double flex0, double flex1, double flex2, double spread) {
        for (int f = 0; f < 5; ++f) {
            glove.setJointValue(f, 0, flex0);
            glove.setJointValue(f, 1, flex1);
            glove.setJointValue(f, 2, flex2);
            glove.setJointValue(f, 3, spread);
        }
    }
    void updateBoth() {
        right.update(false);
        left.update(false);
    }
};

// Fingertip from the link transforms alone: identity, then joints 0..3 multiplied in order
// and the origin transformed, exactly as a caller of the toolkit computes it.
kpxVector3d tipByLinks(const kpxHumanHand& hand, int finger) {
    kpxTransform3D t;
    for (int j = 0; j <= GHM::TIP; ++j) {
        t.mul(hand.getLinkTransform(finger, j), 0);
    }
    kpxVector3d origin;
    t.transform(origin);
    return origin;
}

double sumLength(int finger) {
    const auto& g = kpxHumanHand::restGeometry(finger);
    return g.length[0] + g.length[1] + g.length[2];
}

TEST(HumanHand, FlatHandTipsLieAlongTheirRestDirections) {
    Rig rig;
    rig.setAll(0.0, 0.0, 0.0, 0.0);
    rig.updateBoth();
    for (int f = GHM::INDEX; f <= GHM::PINKY; ++f) {
        const auto& g = kpxHumanHand::restGeometry(f);
        const double L = sumLength(f);
        const kpxVector3d tip = tipByLinks(rig.right, f);
        EXPECT_NEAR(tip.getX(), g.base.getX() - L * std::sin(g.yaw), 1e-9) << f;
        EXPECT_NEAR(tip.getY(), g.base.getY() + L * std::cos(g.yaw), 1e-9) << f;
        EXPECT_NEAR(tip.getZ(), 0.0, 1e-9) << f;
    }
    // Plausible adult hand: wrist to middle fingertip 17..22 cm, middle the longest digit.
    const double middle = tipByLinks(rig.right, GHM::MIDDLE).length();
    EXPECT_GT(middle, 17.0);
    EXPECT_LT(middle, 22.0);
    EXPECT_GT(middle, tipByLinks(rig.right, GHM::INDEX).length());
    EXPECT_GT(middle, tipByLinks(rig.right, GHM::PINKY).length());
    // The right thumb sticks out towards -x.
    EXPECT_LT(tipByLinks(rig.right, GHM::THUMB).getX(), -6.0);
}

TEST(HumanHand, FistCurlsFingertipsUnderThePalm) {
    Rig rig;
    rig.setAll(0.0, 0.0, 0.0, 0.0);
    rig.right.update(false);
    double flat[5];
    for (int f = 0; f < 5; ++f) {
        flat[f] = tipByLinks(rig.right, f).length();
    }

    // Knuckle and middle joint bent 90 degrees each (flexion negative), outer joint straight:
    // the proximal link points down (-z), the other two back towards the wrist (-y).
    rig.setAll(-kHalfPi, -kHalfPi, 0.0, 0.0);
    rig.right.update(false);
    for (int f = GHM::INDEX; f <= GHM::PINKY; ++f) {
        const auto& g = kpxHumanHand::restGeometry(f);
        const double back = g.length[1] + g.length[2];
        const kpxVector3d tip = tipByLinks(rig.right, f);
        EXPECT_NEAR(tip.getX(), g.base.getX() + back * std::sin(g.yaw), 1e-9) << f;
        EXPECT_NEAR(tip.getY(), g.base.getY() - back * std::cos(g.yaw), 1e-9) << f;
        EXPECT_NEAR(tip.getZ(), -g.length[0], 1e-9) << f;
        EXPECT_LT(tip.length(), 0.6 * flat[f]) << f;
        EXPECT_LT(tip.getZ(), 0.0) << "fingertip must be on the palm side";
    }
}

TEST(HumanHand, TipTransformIsJointThreeAndMatchesChain) {
    Rig rig;
    rig.setAll(-0.3, -0.6, -0.2, 0.1);
    rig.right.update(false);
    for (int f = 0; f < 5; ++f) {
        const kpxVector3d a = tipByLinks(rig.right, f);
        const kpxVector3d b = rig.right.getFingertipPosition(f);
        EXPECT_NEAR((a - b).length(), 0.0, 1e-12);
        // Joint 3 is a pure offset of the last link's length.
        const kpxTransform3D tip = rig.right.getLinkTransform(f, GHM::TIP);
        EXPECT_NEAR(tip.getTranslation().length(), rig.right.getLinkLength(f, 2), 1e-12);
        EXPECT_NEAR(tip.getRotation().getAngle(), 0.0, 1e-9);
    }
}

TEST(HumanHand, PositiveSpreadTurnsFingersTowardsTheThumb) {
    Rig rig;
    rig.setAll(0.0, 0.0, 0.0, 0.0);
    rig.right.update(false);
    const double before = tipByLinks(rig.right, GHM::INDEX).getX();
    rig.glove.setJointValue(GHM::INDEX, 3, 0.2);
    rig.right.update(false);
    EXPECT_LT(tipByLinks(rig.right, GHM::INDEX).getX(), before - 1.0);
    // The other digits stay put.
    EXPECT_NEAR(tipByLinks(rig.right, GHM::MIDDLE).getX(),
                kpxHumanHand::restGeometry(GHM::MIDDLE).base.getX(), 1e-9);
}

TEST(HumanHand, LeftHandMirrorsTheRightHandsPose) {
    Rig rig;
    // An arbitrary right-hand pose ...
    const double pose[5][4] = {{0.3, -0.4, -0.6, 0.2},
                               {-0.5, -0.9, -0.3, 0.1},
                               {-0.2, -0.1, -0.7, -0.05},
                               {-1.1, -0.4, -0.2, -0.1},
                               {-0.7, -1.3, -0.8, -0.2}};
    for (int f = 0; f < 5; ++f) {
        for (int j = 0; j < 4; ++j) {
            rig.glove.setJointValue(f, j, pose[f][j]);
        }
    }
    rig.right.update(false);
    kpxVector3d rightTips[5];
    for (int f = 0; f < 5; ++f) {
        rightTips[f] = tipByLinks(rig.right, f);
    }
    // ... and the same readings as a left glove delivers them: spreads negated.
    for (int f = 0; f < 5; ++f) {
        rig.glove.setJointValue(f, 3, -pose[f][3]);
    }
    rig.left.update(false);
    for (int f = 0; f < 5; ++f) {
        const kpxVector3d l = tipByLinks(rig.left, f);
        EXPECT_NEAR(l.getX(), -rightTips[f].getX(), 1e-9) << f;
        EXPECT_NEAR(l.getY(), rightTips[f].getY(), 1e-9) << f;
        EXPECT_NEAR(l.getZ(), rightTips[f].getZ(), 1e-9) << f;
        // Every link transform stays a proper rotation (no reflection slips in).
        for (int j = 0; j < 4; ++j) {
            double m[3][3];
            rig.left.getLinkTransform(f, j).getRotationMatrix(m);
            const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                               m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                               m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
            EXPECT_NEAR(det, 1.0, 1e-9);
        }
    }
    EXPECT_GT(tipByLinks(rig.left, GHM::THUMB).getX(), 0.0);
}

TEST(HumanHand, ThumbCanMeetIndexTipInAnOkGesture) {
    // The OK-gesture calibration fits thumb roll and thumb-index spread until the modelled
    // thumb tip touches the index tip; the model must allow that for a curled index.
    Rig rig;
    rig.glove.setJointValue(GHM::INDEX, 0, -0.8);
    rig.glove.setJointValue(GHM::INDEX, 1, -1.1);
    rig.glove.setJointValue(GHM::INDEX, 2, -0.6);
    rig.glove.setJointValue(GHM::THUMB, 1, -0.3);
    rig.glove.setJointValue(GHM::THUMB, 2, -0.2);
    double best = 1e9;
    for (double roll = -1.5; roll <= 1.5; roll += 0.05) {
        for (double spread = -1.5; spread <= 1.0; spread += 0.05) {
            rig.glove.setJointValue(GHM::THUMB, 0, roll);
            rig.glove.setJointValue(GHM::THUMB, 3, spread);
            rig.right.update(false);
            const double d =
                (tipByLinks(rig.right, GHM::THUMB) - tipByLinks(rig.right, GHM::INDEX)).length();
            best = std::min(best, d);
        }
    }
    EXPECT_LT(best, 0.5);
}

TEST(HumanHand, SixDofMovesThePlacementNotTheLinks) {
    Rig rig;
    rig.setAll(-0.4, -0.4, -0.4, 0.0);
    rig.right.update(false);
    const kpxVector3d tip = tipByLinks(rig.right, GHM::INDEX);
    kpx6DofDevice* d = rig.right.getMaster()->get6DofDevice();
    d->setValue(0, 5.0);
    d->setValue(4, 1.0);
    rig.right.update(true);
    EXPECT_NEAR((tipByLinks(rig.right, GHM::INDEX) - tip).length(), 0.0, 1e-12);
    EXPECT_NEAR(rig.right.getBaseTransform().getTranslation().getX(), 5.0, 1e-12);
    EXPECT_NEAR(rig.right.getBaseTransform().getRotation().getAngle(), 1.0, 1e-9);
}

TEST(HumanHand, PoseChangesOnlyOnUpdate) {
    Rig rig;
    rig.setAll(0.0, 0.0, 0.0, 0.0);
    rig.right.update(false);
    const kpxVector3d flat = tipByLinks(rig.right, GHM::RING);
    rig.setAll(-1.0, -1.0, -1.0, 0.0);
    EXPECT_NEAR((tipByLinks(rig.right, GHM::RING) - flat).length(), 0.0, 1e-12);
    rig.right.update(false);
    EXPECT_GT((tipByLinks(rig.right, GHM::RING) - flat).length(), 5.0);
}

TEST(HumanHand, ScaleStretchesEveryLength) {
    kpxVexaGloveEmulator glove;
    kpxTrackerEmulator tracker;
    kpxHandMaster master(&glove, tracker.getDevice(0));
    glove.setJointValue(2, 1, -0.8);
    kpxHumanHand one(&master, 1.0, GHM::RIGHT_HAND);
    kpxHumanHand two(&master, 2.0, GHM::RIGHT_HAND);
    for (int f = 0; f < 5; ++f) {
        const kpxVector3d a = tipByLinks(one, f);
        const kpxVector3d b = tipByLinks(two, f);
        EXPECT_NEAR((b - 2.0 * a).length(), 0.0, 1e-9) << f;
    }
}

TEST(HumanHand, BadArgumentsThrowPointers) {
    kpxVexaGloveEmulator glove;
    kpxTrackerEmulator tracker;
    kpxHandMaster master(&glove, tracker.getDevice(0));
    kpxHumanHand hand(&master);
    for (auto f : {-1, 5}) {
        try {
            (void)hand.getLinkTransform(f, 0);
            ADD_FAILURE() << "finger " << f << " accepted";
        } catch (kpxBaseException* e) {
            std::unique_ptr<kpxBaseException> owned(e);
            EXPECT_NE(std::string(e->getMessage()).find("finger"), std::string::npos);
        }
    }
    try {
        (void)hand.getLinkTransform(0, 4);
        ADD_FAILURE() << "joint 4 accepted";
    } catch (kpxBaseException* e) {
        delete e;
    }
    try {
        kpxHumanHand bad(nullptr);
        ADD_FAILURE() << "null master accepted";
    } catch (kpxBaseException* e) {
        delete e;
    }
}

}  // namespace

#pragma once
// Emulated inputs for stepping a demo's simulation in a test: a glove and a tracker whose
// values the test scripts, and a helper that places the hand so that a fingertip lands on a
// chosen point of the scene.

#include "handsim/kpx6dofdevice.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxhumanhand.hpp"
#include "handsim/kpxtrackeremulator.hpp"
#include "handsim/kpxvexagloveemulator.hpp"

struct HandRig {
    kpxVexaGloveEmulator glove;
    kpxTrackerEmulator tracker;
    kpxHandMaster master{&glove, tracker.getDevice(0)};

    // Curls every digit but `finger` into a fist, which stays straight.
    void pointWith(int finger) {
        for (int f = 0; f < 5; ++f) {
            for (int j = 0; j < 3; ++j) {
                glove.setJointValue(f, j, f == finger ? 0.0 : -1.3);
            }
        }
    }

    // Turns the hand by `angles` (radians about x, y, z) and moves it so that the tip of
    // `finger` lies at `target`. The hand must be posed from this rig.
    void placeTip(kpxHumanHand& hand, int finger, const double angles[3],
                  const kpxVector3d& target) {
        kpx6DofDevice* d = tracker.getDevice(0);
        for (int i = 0; i < 3; ++i) {
            d->setValue(i, 0.0);
            d->setValue(3 + i, angles[i]);
        }
        hand.update(false);
        // The tracked pose, not the hand's: a ghost hand stands off it.
        kpxVector3d tip = hand.getFingertipPosition(finger);
        d->getTransform().transform(tip);
        for (int i = 0; i < 3; ++i) {
            d->setValue(i, (target[i] - tip[i]) / hand.getScale());
        }
    }
};

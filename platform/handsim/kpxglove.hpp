#pragma once
// A glove as the hand model sees it: joint angles in radians by finger and joint, flexion
// negative. Fingers 0..4 run thumb to pinky, finger 5 is the palm and wrist group.

#include "handsim/kpxdevice.hpp"

class kpxGlove : public kpxDevice {
  public:
    static constexpr int kFingers = 6;
    static constexpr int kJoints = 4;

    ~kpxGlove() override;

    // Throws kpxBaseException* for finger outside 0..5 or joint outside 0..3.
    virtual double getJointValue(int finger, int joint) const = 0;
    // Palm arch, wrist flexion, wrist abduction (joints 0..2 of finger 5).
    double getPalmValue(int joint) const { return getJointValue(5, joint); }

  protected:
    static void checkJoint(const char* where, int finger, int joint);
};

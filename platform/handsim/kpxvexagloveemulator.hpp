#pragma once
// Glove without hardware: holds the joint angles it is given and reports them back.

#include "handsim/kpxglove.hpp"

class kpxVexaGloveEmulator : public kpxGlove {
  public:
    kpxVexaGloveEmulator();
    ~kpxVexaGloveEmulator() override;

    // Radians, flexion negative. Throws kpxBaseException* for a joint outside 6 x 4.
    void setJointValue(int finger, int joint, double value);
    double getJointValue(int finger, int joint) const override;
    // All 24 angles at once, row-major 6 x 4.
    void setJointValues(const double angles[24]);

  private:
    double m_angles[kFingers][kJoints] = {};
};

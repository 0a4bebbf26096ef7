#include "handsim/kpxvexagloveemulator.hpp"

kpxVexaGloveEmulator::kpxVexaGloveEmulator() = default;

kpxVexaGloveEmulator::~kpxVexaGloveEmulator() = default;

void kpxVexaGloveEmulator::setJointValue(int finger, int joint, double value) {
    checkJoint("kpxVexaGloveEmulator::setJointValue", finger, joint);
    m_angles[finger][joint] = value;
}

double kpxVexaGloveEmulator::getJointValue(int finger, int joint) const {
    checkJoint("kpxVexaGloveEmulator::getJointValue", finger, joint);
    return m_angles[finger][joint];
}

void kpxVexaGloveEmulator::setJointValues(const double angles[24]) {
    for (int i = 0; i < kFingers * kJoints; ++i) {
        m_angles[i / kJoints][i % kJoints] = angles[i];
    }
}

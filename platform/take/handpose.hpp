#pragma once
// The 21-joint hand of the animation-host plug-in (jointtable.hpp) posed from the glove's 24
// joint angles without the host: rest geometry mirrored for a left hand, and each joint turned
// the way the plug-in's evaluation turns it. The thumb's middle-joint roll, which the plug-in
// measures in the kinematic tree, is taken straight from the thumb-roll sensor here.

#include "bvh.hpp"
#include "jointtable.hpp"

namespace take {

// The hand's joints for BVH: template names, parents and rest offsets (centimetres).
std::vector<mbhost::BvhJoint> handJoints(bool rightHand);

// One BVH frame: root position (the palm's rest translation), then each joint's rotation as
// Euler angles X, Y, Z in degrees (order XYZ, X applied first). angles: radians, sensor order.
std::vector<double> handFrame(const double angles[24], bool rightHand);

}  // namespace take

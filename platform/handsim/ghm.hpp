#pragma once
// Names of the generic hand model's fingers, joints and sides.

namespace GHM {

enum Fingers { THUMB = 0, INDEX = 1, MIDDLE = 2, RING = 3, PINKY = 4, NUM_FINGERS = 5 };

// Joints 0..2 carry a link each; joint 3 is the fingertip frame at the end of the last link.
enum Joints { JOINT_0 = 0, JOINT_1 = 1, JOINT_2 = 2, TIP = 3, NUM_JOINTS = 4 };

enum Handedness { RIGHT_HAND = 0, LEFT_HAND = 1 };

}  // namespace GHM

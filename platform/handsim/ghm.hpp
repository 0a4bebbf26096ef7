#pragma once
// Names of the generic hand model's fingers, joints and sides.

namespace GHM {

// Digits 0..4 carry a chain of links each; PALM (5) names the glove's palm and wrist group
// (palm arch, wrist flexion, wrist abduction) and the palm part of the hand model.
enum Fingers { THUMB = 0, INDEX = 1, MIDDLE = 2, RING = 3, PINKY = 4, NUM_FINGERS = 5, PALM = 5 };

// Joints 0..2 carry a link each; joint 3 is the fingertip frame at the end of the last link.
// Glove columns use the same indices: 0..2 flexion (the thumb's 0 its roll), 3 the spread.
enum Joints { JOINT_0 = 0, JOINT_1 = 1, JOINT_2 = 2, TIP = 3, NUM_JOINTS = 4, SPREAD = 3 };

enum Handedness { RIGHT_HAND = 0, LEFT_HAND = 1, NUM_HANDEDNESS = 2 };

}  // namespace GHM

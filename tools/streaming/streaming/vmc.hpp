#pragma once
// The 21-joint hand as VMC bones: Unity humanoid bone names, local positions in metres and
// local rotations as quaternions (x, y, z, w) in Unity's left-handed axes.

#include <array>
#include <string>
#include <vector>

namespace Manuvia {
class HandBinding;
}

namespace streaming {

struct VmcBone {
    std::string name;  // "RightHand", "RightThumbProximal", ... "LeftLittleDistal"
    int row = 0;       // the hand binding's joint row the bone follows
    std::array<double, 3> position{};
    std::array<double, 4> rotation{};  // x, y, z, w
};

// The hand bone and the three bones of each digit, for the binding's side; the finger tips
// have no VMC bone.
std::vector<VmcBone> vmcBones(const Manuvia::HandBinding& binding, const double* angles);

// The host's right-handed frame seen from Unity: the X axis is mirrored, lengths go from
// centimetres to metres.
std::array<double, 3> toUnityPosition(const std::array<double, 3>& centimetres);
std::array<double, 4> toUnityRotation(const std::array<double, 4>& hostXyzw);

}  // namespace streaming

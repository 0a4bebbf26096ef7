#include "vmc.hpp"

#include "handbinding.hpp"

namespace streaming {
namespace {

constexpr const char* kDigits[] = {"Thumb", "Index", "Middle", "Ring", "Little"};
constexpr const char* kPhalanges[] = {"Proximal", "Intermediate", "Distal"};

}  // namespace

std::array<double, 3> toUnityPosition(const std::array<double, 3>& c) {
    return {-c[0] * 0.01, c[1] * 0.01, c[2] * 0.01};
}

std::array<double, 4> toUnityRotation(const std::array<double, 4>& q) {
    return {q[0], -q[1], -q[2], q[3]};
}

std::vector<VmcBone> vmcBones(const Manuvia::HandBinding& binding, const double* angles) {
    double rotations[Manuvia::kJointCount][3];
    binding.evaluate(angles, rotations);
    const std::string side = binding.rightHand() ? "Right" : "Left";
    std::vector<VmcBone> bones;
    auto add = [&](std::string name, int row) {
        const FBQuaternion q = Manuvia::eulerToQuaternion(rotations[row]);
        bones.push_back({std::move(name), row, toUnityPosition(binding.restTranslation(row)),
                         toUnityRotation({q[0], q[1], q[2], q[3]})});
    };
    add(side + "Hand", 0);
    // Rows 1, 5, 9, 13 and 17 start the digits; the fourth row of each is the tip.
    for (int digit = 0; digit < 5; ++digit)
        for (int k = 0; k < 3; ++k)
            add(side + kDigits[digit] + kPhalanges[k], 1 + 4 * digit + k);
    return bones;
}

}  // namespace streaming

#include "takebvh.hpp"

#include "bvh.hpp"
#include "handbinding.hpp"

namespace take {

std::string takeToBvh(const Take& t) {
    const Manuvia::HandBinding binding(t.rightHand);
    mbhost::BvhTake bvh;
    for (int row = 0; row < Manuvia::kJointCount; ++row) {
        mbhost::BvhJoint j;
        j.name = Manuvia::kJointTable[static_cast<std::size_t>(row)].templ;
        j.parent = Manuvia::parentRow(row);
        for (int k = 0; k < 3; ++k)
            j.offset[k] = binding.restTranslation(row)[static_cast<std::size_t>(k)];
        j.endSite = row == Manuvia::kJointCount - 1 || Manuvia::parentRow(row + 1) != row;
        bvh.joints.push_back(j);
    }
    bvh.frameTime = t.period;
    for (const Frame& f : t.frames) {
        double rotations[Manuvia::kJointCount][3];
        binding.evaluate(f.angles.data(), rotations);
        // The root stays at the palm's rest translation, as the device writes it.
        std::vector<double> values(bvh.joints[0].offset, bvh.joints[0].offset + 3);
        for (const auto& r : rotations)
            values.insert(values.end(), r, r + 3);
        bvh.frames.push_back(std::move(values));
    }
    return mbhost::writeBvh(bvh, "XYZ");
}

}  // namespace take

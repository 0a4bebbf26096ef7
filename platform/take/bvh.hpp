#pragma once
// A recorded take as BVH motion capture text: the joint tree with its rest offsets, then one
// line of channel values per frame. No axis conversion: values are written as recorded.

#include <string>
#include <vector>

namespace mbhost {

struct BvhJoint {
    std::string name;       // no blanks: BVH names end at the first one
    int parent = -1;        // index into the joint list; -1 for the root (exactly one)
    double offset[3] = {};  // rest translation from the parent, centimetres
    bool endSite = false;   // a chain's last joint: gets a zero-offset End Site
};

struct BvhTake {
    std::vector<BvhJoint> joints;
    double frameTime = 0.0;  // seconds
    // One entry per frame: the root position (x, y, z), then for every joint in list order its
    // rotation (x, y, z) in degrees, so 3 + 3 * joints.size() values.
    std::vector<std::vector<double>> frames;
};

// Writes the take. axesApplied names the rotation axes in the order they apply to a vector
// ("XYZ": X first); the channels list them in BVH's order, the last applied first. Joints are
// written depth first, children in list order, and the frame values follow that order.
// Throws std::invalid_argument for a take that is not one tree or has frames of the wrong size.
std::string writeBvh(const BvhTake& take, const char* axesApplied = "XYZ");

}  // namespace mbhost

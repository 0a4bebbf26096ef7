#pragma once
// A named tree of kinematic nodes below `root`, with lookup by name and frame attachment.
// The tree does not own its nodes; the model that allocates them does (see HandKinematics).

#include <cstdint>

#include "avatar/kinnode.hpp"
#include "avatar/manager.hpp"

namespace Avatar {

class KinematicTree : public Manager {
  public:
    KinematicTree() = default;

    // Depth first from start (the root when null): the first node whose name begins with
    // name, so "palm" finds "palm-1" and "" finds start itself. Null when nothing matches.
    KinNode* findNode(const char* name, KinNode* start = nullptr) const;

    // Gives node a fresh local frame of jointType and a Fixed world frame, replacing any
    // frames it had.
    static void attachFrames(KinNode* node, std::uint32_t jointType);

    KinNode* root = nullptr;
};

}  // namespace Avatar

#pragma once
// Parts and joints of an assembly. Both are plain records owned by whoever builds the
// assembly; the assembly and the solver only point at them.

#include <cstdint>
#include <string>

#include "constraint/pose.hpp"

namespace AssemblyGraph {

// A rigid part. Its pose (position, unit quaternion) is what the solver moves.
struct AsmNode {
    std::string name;
    rzMath::Pose pose = rzMath::identityPose();
    // State flags read by tagging: a node is free when `movable` is set and `pinned` clear.
    bool movable = true;
    bool pinned = false;
    // Set by tagging (or by the owner when the interface does not tag).
    bool grounded = false;
    // Set when the solver replaces the pose from outside a step; tagging clears it.
    bool changed = false;
    // Position among the free nodes after a rebuild (7 solver coordinates each); -1 when
    // grounded or not yet listed.
    int index = -1;
    // Cached closest-point distances of the part's shapes (metres), reset to 1e10 every fifth
    // solver iteration.
    double closestDistance[4] = {1e10, 1e10, 1e10, 1e10};
};

// A joint between two parts. node2 may be null: the missing end is the world, and frame2 is
// then given in world coordinates. Edges without node1 are not listed by the interface.
struct AsmEdge {
    std::string name;
    AsmNode* node1 = nullptr;
    AsmNode* node2 = nullptr;
    // Joint type code 1..29; see ConstraintSolver for the codes with a constraint builder.
    int type = 0;
    // Bit value 2: suppressed, bit value 8: broken; an edge with either does not count as active.
    std::uint32_t flags = 0;
    double value1 = 0.0;  // joint values (radians or metres, by type)
    double value2 = 0.0;
    // Joint frames in each node's frame: the attachment point and axes of the joint.
    rzMath::Pose frame1 = rzMath::identityPose();
    rzMath::Pose frame2 = rzMath::identityPose();
};

}  // namespace AssemblyGraph

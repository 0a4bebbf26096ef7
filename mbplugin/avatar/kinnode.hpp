#pragma once
// One joint of the kinematic hand tree: which input drives it, its joint description and its
// frames. A node owns its two frames; the tree that allocated a node owns the node.
// Built and read on the thread that brings the device online; no locking of its own.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "avatar/frames.hpp"
#include "containers/array.hpp"

namespace Avatar {

class KinNode {
  public:
    // Input sources (`sourceKind`).
    enum SourceKind : std::uint64_t { Glove = 0, HandTracker = 1, HeadTracker = 2 };
    // Tracker channels: the first of three values each.
    static constexpr std::int64_t kTrackerTranslation = 0;
    static constexpr std::int64_t kTrackerRotation = 3;
    static constexpr std::size_t kNameSize = 512;

    KinNode();
    // Trees release derived nodes through base pointers.
    virtual ~KinNode();
    KinNode(const KinNode&) = delete;
    KinNode& operator=(const KinNode&) = delete;

    // Recomputes localFrame from its joint description and worldFrame from the parent's
    // world frame. Not recursive: update parents before children. Without frames, nothing.
    virtual void update();

    // Appends child (not owned) and makes this node its parent.
    void addChild(KinNode* child);
    // Copies at most kNameSize - 1 characters; null clears the name.
    void setName(const char* text);

    bool driven = false;  // an input channel drives this node
    bool secondaryFlag = false;
    std::uint64_t sourceKind = Glove;
    std::uint64_t deviceIndex = 0;  // index of the source device
    std::int64_t channel = -1;      // channel within the source; -1 none
    double gain = 1.0;              // input scale, applied by whoever feeds the node
    double offset = 0.0;            // added to the input
    std::uint64_t reserved0[3] = {0, 0, 0};
    bool inactive = false;
    std::uint64_t reserved1 = 0;
    std::unique_ptr<JointFrame> localFrame;  // relative to the parent; attached by the tree
    std::unique_ptr<JointFrame> worldFrame;  // relative to the tree root
    std::uint64_t reserved2 = 0;
    // Child nodes in insertion order; unshared, so no lock is taken.
    rziDataNamespace::Array<KinNode*> children;
    KinNode* parent = nullptr;  // null for the root
    char name[kNameSize] = {};
    std::uint32_t side = 0;  // 0 right hand, 1 left hand
};

// The thumb's roll joint: its angle follows from the pose of the two thumb joints above it,
// measured against a reference direction, instead of from an input channel.
class ThumbRollKNode : public KinNode {
  public:
    ThumbRollKNode() = default;
    ~ThumbRollKNode() override = default;

    // Computes rollAngle from parent (P), grandparent (G) and G's parent (B), sets the local
    // value to rollAngle + offset, then updates like any node. Without that chain of frames
    // the roll angle keeps its last value.
    void update() override;

    Vec3 rollReference;      // reference direction, in the thumb base frame's parent space
    double rollAngle = 0.0;  // radians, last computed
};

}  // namespace Avatar

#pragma once
// The kinematic model of one instrumented hand: wrist and hand trackers above it, a fixed
// head and shoulder stub, default hand dimensions, and the glove channel of every driven
// joint. The device plug-in builds it once for the glove's hand and then looks nodes up by
// name; it reads channels and topology, the node frames define what joint values mean.
//
// Owns every node it allocates (root, the fixed slot nodes of both sides, the digit nodes);
// node pointers stay valid for the model's lifetime.

#include <cstdint>
#include <memory>
#include <vector>

#include "avatar/kinematictree.hpp"
#include "lattix/rwlock.hpp"

namespace Avatar {

class HandKinematics : public KinematicTree {
  public:
    static constexpr int kRight = 0;
    static constexpr int kLeft = 1;
    static constexpr int kDigits = 5;  // thumb, index, middle, ring, pinky
    static constexpr int kSlotCount = 23;
    static constexpr int kSensorMapSize = 22;

    // Indexes into `slots`; the per-side ones are "right", right + 1 is the left node.
    enum Slot : int {
        kHeadBase = 0,
        kHeadTrackTrans = 1,
        kHeadTrackRot = 2,
        kHandRoot = 3,
        kShoulderRootRight = 5,
        kShoulderRootLeft = 6,
        kShoulderRight = 7,
        kShoulderLeft = 8,
        kTrackTrans = 9,
        kTrackRot = 11,
        kWristRoot = 13,
        kWristSensor1 = 15,
        kWristSensor2 = 17,
        kPalm = 19,
        kForearm = 21,
    };

    // Allocates root ("TheRoot", Fixed frames) and the fixed nodes of both sides, fills the
    // default dimensions and creates the lock.
    HandKinematics();
    ~HandKinematics() override;

    // Head and shoulders, then hand and forearm of each requested side. Parts already built
    // are not built again.
    void buildSkeleton(bool right, bool left);

    // The default hand dimensions, sensor map and thumb parameters.
    void setDefaultDimensions();
    // Thumb base frame of side: z along thumbDirection, x = Z x z, origin at the thumb base.
    void setThumbBaseFrame(JointFrame& frame, int side) const;

    Vec3 fingerBase[2][kDigits];             // digit base positions in the palm frame (right, left)
    JointFrame spareFrames[kDigits];         // Fixed; kept for the model's layout, not read
    Vec3 thumbDirection[2];                  // direction of the thumb base frame's z axis
    Vec3 thumbRollReference[2];              // reference of the thumb roll measurement
    Vec3 wristOffset[2];                     // wrist root position below the tracker
    double linkLength[kDigits][5];           // DH a per digit and joint, metres
    double thumbD[5];                        // DH d of the thumb joints, metres
    double thumbAlpha[5];                    // DH alpha of the thumb joints
    KinNode* slots[kSlotCount];              // the fixed nodes, see Slot
    std::int32_t sensorMap[kSensorMapSize];  // glove channel of wrist, thumb and finger joints
    Vec3 handRootPosition[2];
    double thumbOffset[5];
    double thumbGain[5];
    double fingerSplay[kDigits];  // rotation of each finger base about Z; thumb entry unused
    // For callers that share the model between threads; nothing here takes it.
    std::unique_ptr<Lattix::RWLock> lock;

  private:
    void buildHeadAndShoulders();
    void buildHand(int side);
    void buildForearm(int side);
    KinNode* allocate();
    // Names node, attaches its frames and hangs it under parent.
    KinNode* place(KinNode* node, const char* name, KinNode* parent, std::uint32_t jointType);

    std::vector<std::unique_ptr<KinNode>> nodes_;  // every node allocated, for release
    bool headBuilt_ = false;
    bool sideBuilt_[2] = {false, false};
};

}  // namespace Avatar

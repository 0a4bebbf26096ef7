#include "avatar/handkinematics.hpp"

#include <cmath>
#include <cstdio>
#include <numbers>

namespace Avatar {

namespace {

constexpr double kPi = std::numbers::pi;
const Vec3 kAxisY{0.0, 1.0, 0.0};
const Vec3 kAxisZ{0.0, 0.0, 1.0};

// Joint names per finger (index, middle, ring, pinky) from base to distal; the left hand
// appends "L".
const char* const kFingerJointNames[4][4] = {
    {"base_index", "proximal_index-1", "middle_index-1", "distal_index-1"},
    {"base_big", "proximal_big-1", "middle_big-1", "distal_big-1"},
    {"base_ring", "proximal_ring-1", "middle_ring-1", "distal_ring-1"},
    {"base_pinky", "proximal_pinky-1", "middle_pinky-1", "distal_pinky-1"},
};

const char* const kThumbJointNames[5] = {"base_thb", "proximalAthb", "proximal_thb-1",
                                         "middle_thb-1", "distal_thb-1"};

}  // namespace

HandKinematics::HandKinematics() {
    root = allocate();
    root->setName("TheRoot");
    attachFrames(root, Fixed);
    for (int i = 0; i < kSlotCount; ++i) {
        slots[i] = allocate();
    }
    setDefaultDimensions();
    lock = std::make_unique<Lattix::RWLock>();
}

HandKinematics::~HandKinematics() = default;

KinNode* HandKinematics::allocate() {
    nodes_.push_back(std::make_unique<KinNode>());
    return nodes_.back().get();
}

KinNode* HandKinematics::place(KinNode* node, const char* name, KinNode* parent,
                               std::uint32_t jointType) {
    node->setName(name);
    attachFrames(node, jointType);
    parent->addChild(node);
    return node;
}

void HandKinematics::setDefaultDimensions() {
    const Vec3 right[kDigits] = {
        {0.034, 0.026, -0.01}, {0.104, 0.026, 0.0},  {0.106, 0.0, 0.0},
        {0.098, -0.022, 0.0},  {0.086, -0.042, 0.0},
    };
    for (int d = 0; d < kDigits; ++d) {
        fingerBase[kRight][d] = right[d];
        fingerBase[kLeft][d] = {right[d].x, -right[d].y, right[d].z};
        spareFrames[d] = JointFrame(Fixed);
    }
    thumbDirection[kRight] = {0.07, 0.001, 0.01};
    thumbDirection[kLeft] = {-0.07, 0.001, 0.01};
    thumbRollReference[kRight] = {3.0, -7.0, -2.0};
    thumbRollReference[kLeft] = {3.0, 7.0, -2.0};
    wristOffset[kRight] = {};
    wristOffset[kLeft] = {};

    const double links[kDigits][5] = {
        {0.0, 0.0, 0.0, 0.03, 0.027},    {0.0, 0.043, 0.028, 0.022, 0.0},
        {0.0, 0.043, 0.028, 0.024, 0.0}, {0.0, 0.044, 0.027, 0.024, 0.0},
        {0.0, 0.034, 0.025, 0.024, 0.0},
    };
    const double d[5] = {0.0, 0.0, 0.047, 0.0, 0.0};
    const double alpha[5] = {-kPi / 2.0, -kPi / 2.0, kPi / 2.0, 0.0, 0.0};
    const double offsets[5] = {0.0, 0.0, kPi / 2.0, kPi / 2.0, 0.0};
    const double splay[kDigits] = {0.0, 0.16, 0.0, -0.07, -0.25};
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 5; ++j) {
            linkLength[i][j] = links[i][j];
        }
        thumbD[i] = d[i];
        thumbAlpha[i] = alpha[i];
        thumbOffset[i] = offsets[i];
        thumbGain[i] = 1.0;
        fingerSplay[i] = splay[i];
    }

    // Wrist (2), thumb (4), then index, middle, ring, pinky (4 each: base, proximal, middle,
    // distal). Channel 7 carries no sensor: the index base is never driven by the glove.
    const std::int32_t map[kSensorMapSize] = {22, 21, 0,  3,  1,  2,  7,  4,  5,  6,  11,
                                              8,  9,  10, 15, 12, 13, 14, 19, 16, 17, 18};
    for (int i = 0; i < kSensorMapSize; ++i) {
        sensorMap[i] = map[i];
    }
    handRootPosition[kRight] = {};
    handRootPosition[kLeft] = {};
}

void HandKinematics::setThumbBaseFrame(JointFrame& frame, int side) const {
    Vec3 z = thumbDirection[side];
    normalizeVec3(z);
    Vec3 x = cross(kAxisZ, z);
    normalizeVec3(x);
    Vec3 y = cross(z, x);
    normalizeVec3(y);
    const Vec3& base = fingerBase[side][0];
    const double m[16] = {x.x, x.y, x.z, 0.0, y.x,    y.y,    y.z,    0.0,
                          z.x, z.y, z.z, 0.0, base.x, base.y, base.z, 1.0};
    frame.rotation = quatFromMatrix(m, true);
    frame.position = base;
}

void HandKinematics::buildSkeleton(bool right, bool left) {
    if (!headBuilt_) {
        buildHeadAndShoulders();
        headBuilt_ = true;
    }
    const bool wanted[2] = {right, left};
    for (int s = kRight; s <= kLeft; ++s) {
        // Hanging the same fixed nodes twice would duplicate whole branches.
        if (wanted[s] && !sideBuilt_[s]) {
            buildHand(s);
            buildForearm(s);
            sideBuilt_[s] = true;
        }
    }
}

void HandKinematics::buildHeadAndShoulders() {
    KinNode* head = place(slots[kHeadBase], "HeadBase", root, Fixed);

    KinNode* trans = place(slots[kHeadTrackTrans], "HeadTrackTrans", head, Translation);
    trans->driven = true;
    trans->sourceKind = KinNode::HeadTracker;
    trans->deviceIndex = 0;
    trans->channel = KinNode::kTrackerTranslation;

    KinNode* rot = place(slots[kHeadTrackRot], "HeadTrackRot", trans, EulerZYX);
    rot->driven = true;
    rot->sourceKind = KinNode::HeadTracker;
    rot->deviceIndex = 0;
    rot->channel = KinNode::kTrackerRotation;

    KinNode* n = place(slots[kShoulderRootRight], "ShoulderRootRight", root, Fixed);
    n->localFrame->position = {0.2, 0.6, 0.8};
    n = place(slots[kShoulderRight], "TheShoulderR", root, Fixed);
    n->driven = false;
    n->inactive = false;
    n = place(slots[kShoulderRootLeft], "ShoulderRootLeft", root, Fixed);
    n->localFrame->position = {-0.2, 0.6, 0.8};
    n = place(slots[kShoulderLeft], "TheShoulderL", root, Fixed);
    n->driven = false;
    n->inactive = false;
}

void HandKinematics::buildHand(int s) {
    const bool isLeft = s == kLeft;
    const char* sfx = isLeft ? "L" : "R";
    auto sided = [&](KinNode* node) {
        node->side = static_cast<std::uint32_t>(s);
        return node;
    };
    auto driveFromGlove = [](KinNode* node, std::int64_t channel, double gain, double offset) {
        node->driven = true;
        node->sourceKind = KinNode::Glove;
        node->channel = channel;
        node->gain = gain;
        node->offset = offset;
    };
    char name[64];

    KinNode* handRoot =
        sided(place(slots[kHandRoot + s], isLeft ? "LeftHandRoot" : "RightHandRoot", root, Fixed));
    handRoot->localFrame->position = handRootPosition[s];

    // Wrist chain: hand tracker translation and rotation, then the wrist root.
    std::snprintf(name, sizeof name, "TrackTrans%s", sfx);
    KinNode* trans = sided(place(slots[kTrackTrans + s], name, handRoot, Translation));
    trans->driven = true;
    trans->sourceKind = KinNode::HandTracker;
    trans->deviceIndex = 0;
    trans->channel = KinNode::kTrackerTranslation;

    std::snprintf(name, sizeof name, "TrackRot%s", sfx);
    KinNode* rot = sided(place(slots[kTrackRot + s], name, trans, EulerZYX));
    rot->driven = true;
    rot->sourceKind = KinNode::HandTracker;
    rot->deviceIndex = 0;
    rot->channel = KinNode::kTrackerRotation;

    // Both wrist roots carry the right-hand name; the binding never looks them up.
    KinNode* wrist = sided(place(slots[kWristRoot + s], "WristRootR", rot, Fixed));
    wrist->localFrame->position = wristOffset[s];
    Quat halfTurnX{std::cos(kPi / 2.0), std::sin(kPi / 2.0), 0.0, 0.0};
    normalizeQuat(halfTurnX);
    wrist->localFrame->rotation = halfTurnX;

    // Palm: wrist flexion about Y, wrist abduction about Z.
    std::snprintf(name, sizeof name, "WristSensor1%s", sfx);
    KinNode* ws1 = sided(place(slots[kWristSensor1 + s], name, wrist, AxisAngle));
    ws1->localFrame->axis = kAxisY;
    driveFromGlove(ws1, 21, -1.0, 0.0);

    std::snprintf(name, sizeof name, "WristSensor2%s", sfx);
    KinNode* ws2 = sided(place(slots[kWristSensor2 + s], name, ws1, AxisAngle));
    ws2->localFrame->axis = kAxisZ;
    driveFromGlove(ws2, 22, isLeft ? -1.0 : 1.0, 0.0);

    KinNode* palm = sided(place(slots[kPalm + s], isLeft ? "palm-1L" : "palm-1", ws2, Fixed));

    // Thumb: base frame, then five DH joints; the third is measured, not read from the glove.
    KinNode* thumbBase =
        sided(place(allocate(), isLeft ? "ThumbBaseLeft" : "ThumbBaseRight", palm, Fixed));
    setThumbBaseFrame(*thumbBase->localFrame, s);

    KinNode* prev = thumbBase;
    for (int j = 0; j < 5; ++j) {
        KinNode* node;
        if (j == 2) {
            auto roll = std::make_unique<ThumbRollKNode>();
            roll->rollReference = thumbRollReference[s];
            node = roll.get();
            nodes_.push_back(std::move(roll));
        } else {
            node = allocate();
        }
        std::snprintf(name, sizeof name, "%s%s", kThumbJointNames[j], isLeft ? "L" : "");
        sided(place(node, name, prev, DhRevolute));
        JointFrame& f = *node->localFrame;
        f.dhA = linkLength[0][j];
        f.dhD = thumbD[j];
        f.dhAlpha = thumbAlpha[j];
        f.dhTheta = 0.0;
        switch (j) {
            case 0:
                driveFromGlove(node, sensorMap[2], thumbGain[0], thumbOffset[0]);
                break;
            case 1:
                node->channel = sensorMap[3];
                node->gain = thumbGain[1];
                node->offset = isLeft ? -kPi / 4.0 : -2.0 * kPi / 3.0;
                break;
            case 2:
                node->driven = false;
                node->offset = thumbOffset[2];
                break;
            default:
                // The roll joint has no sensor, so joints 3 and 4 read map entries 4 and 5.
                node->channel = sensorMap[1 + j];
                node->offset = thumbOffset[j];
                node->gain = thumbGain[j];
                break;
        }
        prev = node;
    }

    // Fingers: a fixed base turned by the splay, then four DH joints.
    const double splaySign = isLeft ? -1.0 : 1.0;
    for (int i = 1; i < kDigits; ++i) {
        std::snprintf(name, sizeof name, "Finger%s[%d]Base", isLeft ? "Left" : "Right", i);
        KinNode* base = sided(place(allocate(), name, palm, Fixed));
        base->localFrame->position = fingerBase[s][i];
        base->localFrame->rotation = quatFromAxisAngle(splaySign * fingerSplay[i], kAxisZ);

        prev = base;
        for (int j = 0; j < 4; ++j) {
            std::snprintf(name, sizeof name, "%s%s", kFingerJointNames[i - 1][j],
                          isLeft ? "L" : "");
            KinNode* node = sided(place(allocate(), name, prev, DhRevolute));
            driveFromGlove(node, sensorMap[6 + 4 * (i - 1) + j], j == 0 ? -1.0 : 1.0, 0.0);
            JointFrame& f = *node->localFrame;
            f.dhA = linkLength[i][j];
            f.dhD = 0.0;
            f.dhAlpha = j == 0 ? kPi / 2.0 : 0.0;
            f.dhTheta = 0.0;
            prev = node;
        }
    }
}

void HandKinematics::buildForearm(int s) {
    const bool isLeft = s == kLeft;
    KinNode* arm = place(slots[kForearm + s], isLeft ? "lowerarm-L" : "lowerarm-R",
                         slots[kWristRoot + s], Fixed);
    arm->side = static_cast<std::uint32_t>(s);
    arm->localFrame->position = {-0.18, 0.0, 0.0};
}

}  // namespace Avatar

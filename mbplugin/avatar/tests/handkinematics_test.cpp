#include "avatar/handkinematics.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <string>
#include <type_traits>
#include <vector>

#include "eigen_util.hpp"

namespace {

using namespace Avatar;
using avatartest::dhLink;
using avatartest::positionMatches;
using avatartest::rotationMatches;
using avatartest::toEigen;
using avatartest::toIsometry;
using Eigen::AngleAxisd;
using Eigen::Isometry3d;
using Eigen::Vector3d;

constexpr double kPi = std::numbers::pi;

// One line per node, indented by depth: name, joint type, channel, gain, offset, source kind,
// side, driven. Also checks that every child points back at its parent.
void printTree(const KinNode* n, int depth, std::string& out) {
    char line[700];
    std::snprintf(line, sizeof line, "%*s%s t%u c%lld g%g o%g k%llu s%u d%d\n", 2 * depth, "",
                  n->name, n->localFrame ? n->localFrame->jointType : 99u,
                  static_cast<long long>(n->channel), n->gain, n->offset,
                  static_cast<unsigned long long>(n->sourceKind), n->side, n->driven ? 1 : 0);
    out += line;
    for (std::uint64_t i = 0; i < n->children.count(); ++i) {
        const KinNode* c = n->children.at(i);
        EXPECT_EQ(c->parent, n) << c->name;
        printTree(c, depth + 1, out);
    }
}

const char* const kHeadAndShoulders =
    "TheRoot t6 c-1 g1 o0 k0 s0 d0\n"
    "  HeadBase t6 c-1 g1 o0 k0 s0 d0\n"
    "    HeadTrackTrans t4 c0 g1 o0 k2 s0 d1\n"
    "      HeadTrackRot t3 c3 g1 o0 k2 s0 d1\n"
    "  ShoulderRootRight t6 c-1 g1 o0 k0 s0 d0\n"
    "  TheShoulderR t6 c-1 g1 o0 k0 s0 d0\n"
    "  ShoulderRootLeft t6 c-1 g1 o0 k0 s0 d0\n"
    "  TheShoulderL t6 c-1 g1 o0 k0 s0 d0\n";

const char* const kRightHand =
    "  RightHandRoot t6 c-1 g1 o0 k0 s0 d0\n"
    "    TrackTransR t4 c0 g1 o0 k1 s0 d1\n"
    "      TrackRotR t3 c3 g1 o0 k1 s0 d1\n"
    "        WristRootR t6 c-1 g1 o0 k0 s0 d0\n"
    "          WristSensor1R t2 c21 g-1 o0 k0 s0 d1\n"
    "            WristSensor2R t2 c22 g1 o0 k0 s0 d1\n"
    "              palm-1 t6 c-1 g1 o0 k0 s0 d0\n"
    "                ThumbBaseRight t6 c-1 g1 o0 k0 s0 d0\n"
    "                  base_thb t0 c0 g1 o0 k0 s0 d1\n"
    "                    proximalAthb t0 c3 g1 o-2.0944 k0 s0 d0\n"
    "                      proximal_thb-1 t0 c-1 g1 o1.5708 k0 s0 d0\n"
    "                        middle_thb-1 t0 c1 g1 o1.5708 k0 s0 d0\n"
    "                          distal_thb-1 t0 c2 g1 o0 k0 s0 d0\n"
    "                FingerRight[1]Base t6 c-1 g1 o0 k0 s0 d0\n"
    "                  base_index t0 c7 g-1 o0 k0 s0 d1\n"
    "                    proximal_index-1 t0 c4 g1 o0 k0 s0 d1\n"
    "                      middle_index-1 t0 c5 g1 o0 k0 s0 d1\n"
    "                        distal_index-1 t0 c6 g1 o0 k0 s0 d1\n"
    "                FingerRight[2]Base t6 c-1 g1 o0 k0 s0 d0\n"
    "                  base_big t0 c11 g-1 o0 k0 s0 d1\n"
    "                    proximal_big-1 t0 c8 g1 o0 k0 s0 d1\n"
    "                      middle_big-1 t0 c9 g1 o0 k0 s0 d1\n"
    "                        distal_big-1 t0 c10 g1 o0 k0 s0 d1\n"
    "                FingerRight[3]Base t6 c-1 g1 o0 k0 s0 d0\n"
    "                  base_ring t0 c15 g-1 o0 k0 s0 d1\n"
    "                    proximal_ring-1 t0 c12 g1 o0 k0 s0 d1\n"
    "                      middle_ring-1 t0 c13 g1 o0 k0 s0 d1\n"
    "                        distal_ring-1 t0 c14 g1 o0 k0 s0 d1\n"
    "                FingerRight[4]Base t6 c-1 g1 o0 k0 s0 d0\n"
    "                  base_pinky t0 c19 g-1 o0 k0 s0 d1\n"
    "                    proximal_pinky-1 t0 c16 g1 o0 k0 s0 d1\n"
    "                      middle_pinky-1 t0 c17 g1 o0 k0 s0 d1\n"
    "                        distal_pinky-1 t0 c18 g1 o0 k0 s0 d1\n"
    "          lowerarm-R t6 c-1 g1 o0 k0 s0 d0\n";

const char* const kLeftHand =
    "  LeftHandRoot t6 c-1 g1 o0 k0 s1 d0\n"
    "    TrackTransL t4 c0 g1 o0 k1 s1 d1\n"
    "      TrackRotL t3 c3 g1 o0 k1 s1 d1\n"
    "        WristRootR t6 c-1 g1 o0 k0 s1 d0\n"
    "          WristSensor1L t2 c21 g-1 o0 k0 s1 d1\n"
    "            WristSensor2L t2 c22 g-1 o0 k0 s1 d1\n"
    "              palm-1L t6 c-1 g1 o0 k0 s1 d0\n"
    "                ThumbBaseLeft t6 c-1 g1 o0 k0 s1 d0\n"
    "                  base_thbL t0 c0 g1 o0 k0 s1 d1\n"
    "                    proximalAthbL t0 c3 g1 o-0.785398 k0 s1 d0\n"
    "                      proximal_thb-1L t0 c-1 g1 o1.5708 k0 s1 d0\n"
    "                        middle_thb-1L t0 c1 g1 o1.5708 k0 s1 d0\n"
    "                          distal_thb-1L t0 c2 g1 o0 k0 s1 d0\n"
    "                FingerLeft[1]Base t6 c-1 g1 o0 k0 s1 d0\n"
    "                  base_indexL t0 c7 g-1 o0 k0 s1 d1\n"
    "                    proximal_index-1L t0 c4 g1 o0 k0 s1 d1\n"
    "                      middle_index-1L t0 c5 g1 o0 k0 s1 d1\n"
    "                        distal_index-1L t0 c6 g1 o0 k0 s1 d1\n"
    "                FingerLeft[2]Base t6 c-1 g1 o0 k0 s1 d0\n"
    "                  base_bigL t0 c11 g-1 o0 k0 s1 d1\n"
    "                    proximal_big-1L t0 c8 g1 o0 k0 s1 d1\n"
    "                      middle_big-1L t0 c9 g1 o0 k0 s1 d1\n"
    "                        distal_big-1L t0 c10 g1 o0 k0 s1 d1\n"
    "                FingerLeft[3]Base t6 c-1 g1 o0 k0 s1 d0\n"
    "                  base_ringL t0 c15 g-1 o0 k0 s1 d1\n"
    "                    proximal_ring-1L t0 c12 g1 o0 k0 s1 d1\n"
    "                      middle_ring-1L t0 c13 g1 o0 k0 s1 d1\n"
    "                        distal_ring-1L t0 c14 g1 o0 k0 s1 d1\n"
    "                FingerLeft[4]Base t6 c-1 g1 o0 k0 s1 d0\n"
    "                  base_pinkyL t0 c19 g-1 o0 k0 s1 d1\n"
    "                    proximal_pinky-1L t0 c16 g1 o0 k0 s1 d1\n"
    "                      middle_pinky-1L t0 c17 g1 o0 k0 s1 d1\n"
    "                        distal_pinky-1L t0 c18 g1 o0 k0 s1 d1\n"
    "          lowerarm-L t6 c-1 g1 o0 k0 s1 d0\n";

std::string treeText(const HandKinematics& hk) {
    std::string out;
    printTree(hk.root, 0, out);
    return out;
}

TEST(HandSkeleton, RightHandTopologyChannelsAndGains) {
    HandKinematics hk;
    hk.buildSkeleton(true, false);
    EXPECT_EQ(treeText(hk), std::string(kHeadAndShoulders) + kRightHand);
}

TEST(HandSkeleton, LeftHandTopologyChannelsAndGains) {
    HandKinematics hk;
    hk.buildSkeleton(false, true);
    EXPECT_EQ(treeText(hk), std::string(kHeadAndShoulders) + kLeftHand);
}

TEST(HandSkeleton, BothHandsAndRepeatedBuildsDoNotDuplicateBranches) {
    HandKinematics hk;
    hk.buildSkeleton(true, false);
    hk.buildSkeleton(true, true);
    hk.buildSkeleton(true, true);
    EXPECT_EQ(treeText(hk), std::string(kHeadAndShoulders) + kRightHand + kLeftHand);
}

TEST(HandSkeleton, BeforeBuildingOnlyTheRootIsInTheTree) {
    HandKinematics hk;
    ASSERT_NE(hk.root, nullptr);
    EXPECT_STREQ(hk.root->name, "TheRoot");
    EXPECT_EQ(hk.root->parent, nullptr);
    EXPECT_TRUE(hk.root->children.isEmpty());
    ASSERT_TRUE(hk.root->localFrame && hk.root->worldFrame);
    EXPECT_EQ(hk.root->localFrame->jointType, Fixed);
    for (KinNode* slot : hk.slots) {
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot->parent, nullptr);
    }
    ASSERT_NE(hk.lock, nullptr);
    EXPECT_TRUE(hk.lock->tryAcquire(Lattix::RWLock::Write));
    EXPECT_TRUE(hk.lock->release(Lattix::RWLock::Write));
}

TEST(HandSkeleton, RightBuildLeavesLeftFixedNodesUnattached) {
    HandKinematics hk;
    hk.buildSkeleton(true, false);
    for (const char* name : {"base_thbL", "LeftHandRoot", "palm-1L", "TrackTransL", "FingerLeft",
                             "lowerarm-L", "WristSensor1L"}) {
        EXPECT_EQ(hk.findNode(name), nullptr) << name;
    }
    const int left[] = {4, 10, 12, 14, 16, 18, 20, 22};
    for (int i : left) {
        const KinNode* n = hk.slots[i];
        ASSERT_NE(n, nullptr) << i;
        EXPECT_EQ(n->parent, nullptr) << i;
        EXPECT_TRUE(n->children.isEmpty()) << i;
        EXPECT_STREQ(n->name, "") << i;
        EXPECT_EQ(n->localFrame, nullptr) << i;
        EXPECT_EQ(n->channel, -1) << i;
        EXPECT_FALSE(n->driven) << i;
        // An unbuilt node must be safe to update.
        hk.slots[i]->update();
    }
    const char* right[HandKinematics::kSlotCount] = {"HeadBase",
                                                     "HeadTrackTrans",
                                                     "HeadTrackRot",
                                                     "RightHandRoot",
                                                     nullptr,
                                                     "ShoulderRootRight",
                                                     "ShoulderRootLeft",
                                                     "TheShoulderR",
                                                     "TheShoulderL",
                                                     "TrackTransR",
                                                     nullptr,
                                                     "TrackRotR",
                                                     nullptr,
                                                     "WristRootR",
                                                     nullptr,
                                                     "WristSensor1R",
                                                     nullptr,
                                                     "WristSensor2R",
                                                     nullptr,
                                                     "palm-1",
                                                     nullptr,
                                                     "lowerarm-R",
                                                     nullptr};
    for (int i = 0; i < HandKinematics::kSlotCount; ++i) {
        if (right[i]) {
            EXPECT_STREQ(hk.slots[i]->name, right[i]) << i;
            EXPECT_EQ(hk.findNode(right[i]), hk.slots[i]) << i;
        }
    }
}

TEST(HandSkeleton, BothWristRootsAreNamedWristRootR) {
    HandKinematics hk;
    hk.buildSkeleton(true, true);
    KinNode* r = hk.slots[HandKinematics::kWristRoot];
    KinNode* l = hk.slots[HandKinematics::kWristRoot + 1];
    EXPECT_STREQ(r->name, "WristRootR");
    EXPECT_STREQ(l->name, "WristRootR");
    EXPECT_EQ(hk.findNode("WristRootR"), r);
    EXPECT_EQ(hk.findNode("WristRootR", hk.slots[HandKinematics::kHandRoot + 1]), l);
    for (KinNode* w : {r, l}) {
        EXPECT_TRUE(rotationMatches(w->localFrame->rotation,
                                    AngleAxisd(kPi, Vector3d::UnitX()).toRotationMatrix()));
        EXPECT_GT(w->localFrame->rotation.w, 0.0);  // cos(pi/2) rounds to +6e-17
        EXPECT_TRUE(positionMatches(w->localFrame->position, Vector3d::Zero(), 0.0));
    }
}

TEST(FindNode, PrefixMatchDepthFirstInChildOrder) {
    HandKinematics hk;
    hk.buildSkeleton(true, false);
    EXPECT_STREQ(hk.findNode("palm")->name, "palm-1");
    EXPECT_EQ(hk.findNode(""), hk.root);
    KinNode* palm = hk.findNode("palm-1");
    EXPECT_EQ(hk.findNode("", palm), palm);
    // The thumb hangs under the palm before the fingers, and the head before the hand.
    EXPECT_STREQ(hk.findNode("proximal")->name, "proximalAthb");
    EXPECT_STREQ(hk.findNode("base")->name, "base_thb");
    EXPECT_STREQ(hk.findNode("middle_")->name, "middle_thb-1");
    EXPECT_STREQ(hk.findNode("Head")->name, "HeadBase");
    EXPECT_STREQ(hk.findNode("Finger")->name, "FingerRight[1]Base");
    EXPECT_STREQ(hk.findNode("base", hk.findNode("FingerRight[3]Base"))->name, "base_ring");
    // The search stays below its start node.
    EXPECT_EQ(hk.findNode("HeadBase", palm), nullptr);
    EXPECT_EQ(hk.findNode("palm-1-extra"), nullptr);
    EXPECT_EQ(hk.findNode("nothing"), nullptr);
    EXPECT_EQ(hk.findNode(nullptr), nullptr);

    // What the binding relies on: a base joint's first child is the proximal joint, a wrist
    // sensor's first child the next wrist sensor.
    EXPECT_EQ(hk.findNode("base_thb")->children.at(0)->channel, 3);
    EXPECT_EQ(hk.findNode("base_big")->children.at(0)->channel, 8);
    EXPECT_EQ(hk.findNode("WristSensor1R")->children.at(0)->channel, 22);
}

TEST(HandSkeleton, FixedFramesAndJointParameters) {
    HandKinematics hk;
    hk.buildSkeleton(true, true);
    EXPECT_TRUE(positionMatches(hk.findNode("ShoulderRootRight")->localFrame->position,
                                Vector3d(0.2, 0.6, 0.8), 0.0));
    EXPECT_TRUE(positionMatches(hk.findNode("ShoulderRootLeft")->localFrame->position,
                                Vector3d(-0.2, 0.6, 0.8), 0.0));
    for (const char* arm : {"lowerarm-R", "lowerarm-L"}) {
        EXPECT_TRUE(
            positionMatches(hk.findNode(arm)->localFrame->position, Vector3d(-0.18, 0, 0), 0.0));
    }
    EXPECT_TRUE(
        positionMatches(hk.findNode("WristSensor1L")->localFrame->axis, Vector3d::UnitY(), 0.0));
    EXPECT_TRUE(
        positionMatches(hk.findNode("WristSensor2R")->localFrame->axis, Vector3d::UnitZ(), 0.0));

    // Finger bases: position and splay; the left hand mirrors y and the splay.
    const Vector3d base[5] = {{0.034, 0.026, -0.01},
                              {0.104, 0.026, 0},
                              {0.106, 0, 0},
                              {0.098, -0.022, 0},
                              {0.086, -0.042, 0}};
    const double splay[5] = {0, 0.16, 0, -0.07, -0.25};
    const double links[5][4] = {{0, 0, 0, 0.03},
                                {0, 0.043, 0.028, 0.022},
                                {0, 0.043, 0.028, 0.024},
                                {0, 0.044, 0.027, 0.024},
                                {0, 0.034, 0.025, 0.024}};
    for (int s = 0; s < 2; ++s) {
        const double m = s == 0 ? 1.0 : -1.0;
        for (int i = 1; i < 5; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "Finger%s[%d]Base", s ? "Left" : "Right", i);
            const KinNode* b = hk.findNode(name);
            ASSERT_NE(b, nullptr) << name;
            EXPECT_EQ(b->side, static_cast<std::uint32_t>(s));
            EXPECT_TRUE(positionMatches(b->localFrame->position,
                                        Vector3d(base[i].x(), m * base[i].y(), base[i].z()), 0.0))
                << name;
            EXPECT_TRUE(
                rotationMatches(b->localFrame->rotation,
                                AngleAxisd(m * splay[i], Vector3d::UnitZ()).toRotationMatrix()))
                << name;
            const KinNode* j = b;
            for (int k = 0; k < 4; ++k) {
                ASSERT_EQ(j->children.count(), 1u);
                j = j->children.at(0);
                EXPECT_EQ(j->localFrame->dhA, links[i][k]) << j->name;
                EXPECT_EQ(j->localFrame->dhD, 0.0) << j->name;
                EXPECT_EQ(j->localFrame->dhAlpha, k == 0 ? kPi / 2 : 0.0) << j->name;
                EXPECT_EQ(j->localFrame->dhTheta, 0.0) << j->name;
            }
            EXPECT_TRUE(j->children.isEmpty());
        }
        // Thumb chain.
        const double a[5] = {0, 0, 0, 0.03, 0.027};
        const double d[5] = {0, 0, 0.047, 0, 0};
        const double alpha[5] = {-kPi / 2, -kPi / 2, kPi / 2, 0, 0};
        const KinNode* j = hk.findNode(s ? "ThumbBaseLeft" : "ThumbBaseRight");
        for (int k = 0; k < 5; ++k) {
            ASSERT_EQ(j->children.count(), 1u);
            j = j->children.at(0);
            EXPECT_EQ(j->localFrame->dhA, a[k]) << j->name;
            EXPECT_EQ(j->localFrame->dhD, d[k]) << j->name;
            EXPECT_EQ(j->localFrame->dhAlpha, alpha[k]) << j->name;
        }
        const auto* roll = dynamic_cast<const ThumbRollKNode*>(
            hk.findNode(s ? "proximal_thb-1L" : "proximal_thb-1"));
        ASSERT_NE(roll, nullptr);
        EXPECT_TRUE(positionMatches(roll->rollReference, Vector3d(3, m * -7, -2), 0.0));
    }
}

// Thumb base frame: z along the thumb direction, x perpendicular to Z and z, y = z x x.
Isometry3d thumbBase(int side) {
    const Vector3d z = Vector3d(side ? -0.07 : 0.07, 0.001, 0.01).normalized();
    const Vector3d x = Vector3d::UnitZ().cross(z).normalized();
    const Vector3d y = z.cross(x).normalized();
    Isometry3d t = Isometry3d::Identity();
    t.linear().col(0) = x;
    t.linear().col(1) = y;
    t.linear().col(2) = z;
    t.translation() = Vector3d(0.034, side ? -0.026 : 0.026, -0.01);
    return t;
}

TEST(HandSkeleton, ThumbBaseFrameFollowsTheThumbDirection) {
    HandKinematics hk;
    hk.buildSkeleton(true, true);
    for (int s = 0; s < 2; ++s) {
        const JointFrame& f = *hk.findNode(s ? "ThumbBaseLeft" : "ThumbBaseRight")->localFrame;
        const Isometry3d e = thumbBase(s);
        EXPECT_TRUE(rotationMatches(f.rotation, e.linear(), 1e-12)) << s;
        EXPECT_TRUE(positionMatches(f.position, e.translation(), 0.0)) << s;
    }
}

// Updates the chain from the root down to node (parents first).
void updateChain(KinNode* node) {
    std::vector<KinNode*> chain;
    for (KinNode* n = node; n; n = n->parent) {
        chain.push_back(n);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        (*it)->update();
    }
}

// Eigen transform from the root to the palm of a posed hand.
struct WristPose {
    Vector3d track{0.12, -0.31, 0.45};
    Vector3d euler{0.3, -0.4, 0.5};  // about X, Y, Z
    double flexion = 0.2;
    double abduction = -0.15;
};

void poseWrist(HandKinematics& hk, int s, const WristPose& p) {
    hk.slots[HandKinematics::kTrackTrans + s]->localFrame->axis = {p.track.x(), p.track.y(),
                                                                   p.track.z()};
    hk.slots[HandKinematics::kTrackRot + s]->localFrame->axis = {p.euler.x(), p.euler.y(),
                                                                 p.euler.z()};
    hk.slots[HandKinematics::kWristSensor1 + s]->localFrame->value = p.flexion;
    hk.slots[HandKinematics::kWristSensor2 + s]->localFrame->value = p.abduction;
}

Isometry3d palmWorld(const WristPose& p) {
    Isometry3d t = Isometry3d::Identity();
    t.translate(p.track);
    t.rotate(AngleAxisd(p.euler.z(), Vector3d::UnitZ()) *
             AngleAxisd(p.euler.y(), Vector3d::UnitY()) *
             AngleAxisd(p.euler.x(), Vector3d::UnitX()));
    t.rotate(AngleAxisd(kPi, Vector3d::UnitX()));
    t.rotate(AngleAxisd(p.flexion, Vector3d::UnitY()));
    t.rotate(AngleAxisd(p.abduction, Vector3d::UnitZ()));
    return t;
}

TEST(WorldFrames, PosedFingersMatchAnIndependentChain) {
    const Vector3d base[5] = {{0.034, 0.026, -0.01},
                              {0.104, 0.026, 0},
                              {0.106, 0, 0},
                              {0.098, -0.022, 0},
                              {0.086, -0.042, 0}};
    const double splay[5] = {0, 0.16, 0, -0.07, -0.25};
    const double links[5][4] = {{0, 0, 0, 0.03},
                                {0, 0.043, 0.028, 0.022},
                                {0, 0.043, 0.028, 0.024},
                                {0, 0.044, 0.027, 0.024},
                                {0, 0.034, 0.025, 0.024}};
    const double pose[4] = {0.12, -0.9, -0.7, -0.35};
    for (int s = 0; s < 2; ++s) {
        HandKinematics hk;
        hk.buildSkeleton(s == 0, s == 1);
        const WristPose wp;
        poseWrist(hk, s, wp);
        const double m = s == 0 ? 1.0 : -1.0;
        for (int i = 1; i < 5; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "Finger%s[%d]Base", s ? "Left" : "Right", i);
            KinNode* node = hk.findNode(name);
            ASSERT_NE(node, nullptr);
            Isometry3d e = palmWorld(wp);
            e.translate(Vector3d(base[i].x(), m * base[i].y(), base[i].z()));
            e.rotate(AngleAxisd(m * splay[i], Vector3d::UnitZ()));
            std::vector<std::pair<KinNode*, Isometry3d>> expected{{node, e}};
            for (int j = 0; j < 4; ++j) {
                node = node->children.at(0);
                const double value = pose[j] * (i * 0.25 + 0.5);
                node->localFrame->value = value;
                e = e * dhLink(links[i][j], 0.0, j == 0 ? kPi / 2 : 0.0, value);
                expected.emplace_back(node, e);
            }
            updateChain(node);
            for (const auto& [n, want] : expected) {
                EXPECT_TRUE(rotationMatches(n->worldFrame->rotation, want.linear(), 1e-12))
                    << n->name;
                EXPECT_TRUE(positionMatches(n->worldFrame->position, want.translation(), 1e-12))
                    << n->name;
            }
        }
    }
}

// Roll angle measured the way the thumb's roll joint defines it, in Eigen.
double expectedRoll(const Isometry3d& b, const Isometry3d& g, const Isometry3d& p,
                    const Vector3d& reference) {
    const Isometry3d t = b * g * p;
    const Vector3d p1 = t * Vector3d::UnitX();
    const Vector3d p2 = t * Vector3d::UnitZ();
    const Vector3d n = reference.cross(p2).normalized();
    double angle = std::acos(std::clamp(n.dot(p1), -1.0, 1.0));
    if (n.cross(p1).dot(p2) > 0.0) {
        angle = -angle;
    }
    return angle;
}

TEST(WorldFrames, PosedThumbWithMeasuredRoll) {
    const double a[5] = {0, 0, 0, 0.03, 0.027};
    const double d[5] = {0, 0, 0.047, 0, 0};
    const double alpha[5] = {-kPi / 2, -kPi / 2, kPi / 2, 0, 0};
    const double offsetRight[5] = {0, -2.0 * kPi / 3.0, kPi / 2, kPi / 2, 0};
    const double offsetLeft[5] = {0, -kPi / 4.0, kPi / 2, kPi / 2, 0};
    const double glove[5][5] = {{0.1, 0.3, 0, -0.4, -0.2},
                                {-0.5, 0.8, 0, -1.0, -0.6},
                                {0.9, -0.2, 0, 0.3, 0.1},
                                {0.0, 0.0, 0, 0.0, 0.0},
                                {1.4, 1.2, 0, -1.3, -1.1}};
    for (int s = 0; s < 2; ++s) {
        HandKinematics hk;
        hk.buildSkeleton(s == 0, s == 1);
        const WristPose wp;
        poseWrist(hk, s, wp);
        const Vector3d reference(3, s ? 7 : -7, -2);
        const double* offset = s ? offsetLeft : offsetRight;
        for (const auto& g : glove) {
            KinNode* node = hk.findNode(s ? "ThumbBaseLeft" : "ThumbBaseRight");
            const Isometry3d tb = thumbBase(s);
            Isometry3d e = palmWorld(wp) * tb;
            std::vector<Isometry3d> locals;
            std::vector<std::pair<KinNode*, Isometry3d>> expected;
            double roll = 0.0;
            for (int j = 0; j < 5; ++j) {
                node = node->children.at(0);
                double value;
                if (j == 2) {
                    roll = expectedRoll(tb, locals[0], locals[1], reference);
                    value = roll + offset[2];
                } else {
                    // The feeder's job: joint variable from the glove value plus offset.
                    value = g[j] + offset[j];
                    node->localFrame->value = value;
                }
                locals.push_back(dhLink(a[j], d[j], alpha[j], value));
                e = e * locals.back();
                expected.emplace_back(node, e);
            }
            updateChain(node);
            auto* rollNode = dynamic_cast<ThumbRollKNode*>(expected[2].first);
            ASSERT_NE(rollNode, nullptr);
            EXPECT_NEAR(rollNode->rollAngle, roll, 1e-12);
            EXPECT_NEAR(rollNode->localFrame->value, roll + kPi / 2, 1e-12);
            for (const auto& [n, want] : expected) {
                EXPECT_TRUE(rotationMatches(n->worldFrame->rotation, want.linear(), 1e-11))
                    << n->name;
                EXPECT_TRUE(positionMatches(n->worldFrame->position, want.translation(), 1e-12))
                    << n->name;
            }
        }
    }
}

// A bare chain B -> G -> P -> roll node with Fixed frames, for edge cases of the roll.
struct RollChain {
    KinNode b, g, p;
    ThumbRollKNode roll;
    RollChain() {
        for (KinNode* n : {&b, &g, &p, static_cast<KinNode*>(&roll)}) {
            KinematicTree::attachFrames(n, Fixed);
        }
        b.addChild(&g);
        g.addChild(&p);
        p.addChild(&roll);
    }
};

TEST(ThumbRoll, CosinePastOneIsClampedToZeroAngle) {
    RollChain c;
    // p1 = (2, 0, 0) and n = (1, 0, -1)/sqrt 2: n.p1 = sqrt 2, past the acos domain.
    c.b.localFrame->position = {1.0, 0.0, 0.0};
    c.roll.rollReference = {0.0, 1.0, 0.0};
    c.roll.offset = 0.25;
    c.roll.update();
    EXPECT_EQ(c.roll.rollAngle, 0.0);
    EXPECT_EQ(c.roll.localFrame->value, 0.25);

    // Mathematically n = p1 for every rotation of the chain; rounding may push the cosine
    // just past 1 and must never produce NaN.
    for (int k = 0; k < 720; ++k) {
        const double angle = k * kPi / 360.0;
        const Vec3 axis{0.6, 0.0, 0.8};
        c.b.localFrame->position = {};
        c.b.localFrame->rotation = quatFromAxisAngle(angle, axis);
        const Isometry3d e = toIsometry(*c.b.localFrame);
        const Vector3d ref = e.linear() * Vector3d::UnitY();
        c.roll.rollReference = {ref.x(), ref.y(), ref.z()};
        c.roll.update();
        ASSERT_FALSE(std::isnan(c.roll.rollAngle)) << k;
        ASSERT_LT(std::abs(c.roll.rollAngle), 1e-7) << k;
    }
    // The opposite direction gives a half turn, also without NaN.
    c.b.localFrame->rotation = Quat{};
    c.roll.rollReference = {0.0, -1.0, 0.0};
    c.roll.update();
    EXPECT_DOUBLE_EQ(std::abs(c.roll.rollAngle), kPi);
}

TEST(ThumbRoll, WithoutItsChainOnlyTheOrdinaryUpdateRuns) {
    KinNode parent;
    ThumbRollKNode roll;
    KinematicTree::attachFrames(&parent, Fixed);
    KinematicTree::attachFrames(&roll, AxisAngle);
    parent.addChild(&roll);
    roll.localFrame->axis = {0.0, 0.0, 1.0};
    roll.localFrame->value = 0.5;
    roll.update();
    EXPECT_EQ(roll.rollAngle, 0.0);
    EXPECT_TRUE(rotationMatches(roll.worldFrame->rotation,
                                AngleAxisd(0.5, Vector3d::UnitZ()).toRotationMatrix()));
}

TEST(KinNode, NewNodeDefaultsAndNameLimit) {
    static_assert(std::has_virtual_destructor_v<KinNode>);
    KinNode n;
    EXPECT_FALSE(n.driven);
    EXPECT_FALSE(n.secondaryFlag);
    EXPECT_FALSE(n.inactive);
    EXPECT_EQ(n.channel, -1);
    EXPECT_EQ(n.gain, 1.0);
    EXPECT_EQ(n.offset, 0.0);
    EXPECT_EQ(n.sourceKind, 0u);
    EXPECT_EQ(n.parent, nullptr);
    EXPECT_EQ(n.localFrame, nullptr);
    EXPECT_TRUE(n.children.isEmpty());
    EXPECT_FALSE(n.children.shared());
    EXPECT_STREQ(n.name, "");

    const std::string longName(700, 'k');
    n.setName(longName.c_str());
    EXPECT_EQ(std::strlen(n.name), KinNode::kNameSize - 1);
    EXPECT_EQ(std::string(n.name), longName.substr(0, KinNode::kNameSize - 1));
    n.setName("short");
    EXPECT_STREQ(n.name, "short");
    n.setName(nullptr);
    EXPECT_STREQ(n.name, "");
}

TEST(KinNode, UpdateComposesWithTheParentWorldFrame) {
    KinNode parent, child;
    KinematicTree::attachFrames(&parent, Translation);
    KinematicTree::attachFrames(&child, DhRevolute);
    parent.addChild(&child);
    parent.localFrame->axis = {1.0, 2.0, 3.0};
    child.localFrame->dhA = 0.5;
    child.localFrame->value = kPi / 2;
    parent.update();
    child.update();
    EXPECT_TRUE(positionMatches(child.worldFrame->position, Vector3d(1.0, 2.5, 3.0), 1e-15));
    // The world frame copies the local one, joint description included.
    EXPECT_EQ(child.worldFrame->jointType, DhRevolute);
    EXPECT_EQ(child.worldFrame->dhA, 0.5);
    // A later parent change shows up only after the child is updated again.
    parent.localFrame->axis = {0.0, 0.0, 0.0};
    parent.update();
    EXPECT_TRUE(positionMatches(child.worldFrame->position, Vector3d(1.0, 2.5, 3.0), 1e-15));
    child.update();
    EXPECT_TRUE(positionMatches(child.worldFrame->position, Vector3d(0.0, 0.5, 0.0), 1e-15));
}

TEST(KinNode, AttachFramesReplacesFrames) {
    KinNode n;
    KinematicTree::attachFrames(&n, EulerZYX);
    ASSERT_TRUE(n.localFrame && n.worldFrame);
    EXPECT_EQ(n.localFrame->jointType, EulerZYX);
    EXPECT_EQ(n.worldFrame->jointType, Fixed);
    n.localFrame->value = 3.0;
    KinematicTree::attachFrames(&n, AxisAngle);
    EXPECT_EQ(n.localFrame->jointType, AxisAngle);
    EXPECT_EQ(n.localFrame->value, 0.0);
    KinematicTree::attachFrames(nullptr, Fixed);
}

}  // namespace

#include "handbinding.hpp"

#include <cmath>
#include <cstring>
#include <numbers>

#include "avatar/handkinematics.hpp"
#include "handmapping.hpp"

namespace Manuvia {
namespace {

constexpr double kToDegrees = 180.0 / std::numbers::pi;

FBQuaternion rotation(double x, double y, double z) {
    FBQuaternion q;
    FBRotationToQuaternion(q, FBVector3d(x, y, z), kFBXYZ);
    return q;
}

FBQuaternion product(const FBQuaternion& a, const FBQuaternion& b) {
    FBQuaternion out;
    FBQMult(out, a, b);
    return out;
}

void toEuler(const FBQuaternion& q, double out[3]) {
    FBVector3d e;
    FBQuaternionToRotation(e, q, kFBXYZ);
    for (int i = 0; i < 3; ++i)
        out[i] = e[i];
}

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

FBQuaternion eulerToQuaternion(const double e[3]) {
    return rotation(e[0], e[1], e[2]);
}

void bindJoint(const Avatar::KinNode& kin, const FBQuaternion& rest, double thumbBias,
               bool rightHand, const double* sensors, FBMatrix& thumbFrame, double e[3]) {
    auto raw = [sensors](std::int64_t channel) {
        return (channel >= 0 && channel < kBindingSensorCount) ? sensors[channel] * kToDegrees
                                                               : 0.0;
    };
    double own = raw(kin.channel);
    double child = kin.children.count() > 0 ? raw(kin.children.at(0)->channel) : 0.0;
    const char* name = kin.name;

    if (startsWith(name, "base_thb")) {
        FBQuaternion q = product(rest, rotation(0.0, -child - thumbBias, -own));
        toEuler(q, e);
        // The thumb base's frame in the axes the middle thumb joint is measured in.
        FBQuaternion swapped(-q[2], q[0], -q[1], q[3]);
        FBVector3d angles;
        FBQuaternionToRotation(angles, swapped, kFBXYZ);
        FBRotationToMatrix(thumbFrame, angles, kFBXYZ);
    } else if (startsWith(name, "base")) {
        toEuler(product(product(rest, rotation(0.0, own, 0.0)), rotation(0.0, 0.0, -child)), e);
    } else if (startsWith(name, "middle_t")) {
        double theta = middleThumbRoll(thumbFrame, rightHand);
        toEuler(product(product(rest, rotation(theta, 0.0, 0.0)), rotation(0.0, 0.0, -own)), e);
    } else if (startsWith(name, "midd") || startsWith(name, "dist")) {
        toEuler(product(rest, rotation(0.0, 0.0, -own)), e);
    } else if (startsWith(name, "Wris")) {
        e[0] = 0.0;
        e[1] = -child;
        e[2] = -own;
    }
}

HandBinding::HandBinding(bool rightHand)
    : m_rightHand(rightHand), m_kinematics(std::make_unique<Avatar::HandKinematics>()) {
    m_kinematics->buildSkeleton(rightHand, !rightHand);
    const double sign = rightHand ? 1.0 : -1.0;
    for (int row = 0; row < kJointCount; ++row) {
        const JointRow& r = kJointTable[row];
        m_translation[row] = {r.length, r.offsetY, r.offsetZ * sign};
        m_rest[row] = {r.rest[0] * sign, r.rest[1] * sign, r.rest[2]};
        m_restQuaternion[row] = eulerToQuaternion(m_rest[row].data());
        m_thumbBias[row] = r.thumbBias * sign;
        const char* node = rightHand ? r.rightNode : r.leftNode;
        m_nodes[row] = *node ? m_kinematics->findNode(node) : nullptr;
    }
}

HandBinding::~HandBinding() = default;

void HandBinding::evaluate(const double* sensors, double rotations[kJointCount][3]) const {
    FBMatrix thumbFrame;
    for (int row = 0; row < kJointCount; ++row) {
        std::memcpy(rotations[row], m_rest[row].data(), 3 * sizeof(double));
        if (m_nodes[row] && std::strstr(kJointTable[row].joint, "_NA") == nullptr)
            bindJoint(*m_nodes[row], m_restQuaternion[row], m_thumbBias[row], m_rightHand, sensors,
                      thumbFrame, rotations[row]);
    }
}

}  // namespace Manuvia

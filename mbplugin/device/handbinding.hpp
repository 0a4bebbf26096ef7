#pragma once
// The glove-to-hand binding without the animation host: the local rotation of each of the 21
// joints for a set of glove sensor angles. The device plug-in evaluates its joints with
// bindJoint; tools that stream the hand elsewhere use HandBinding.

#include <array>
#include <memory>

#include "fbsdk/fbtypes.h"
#include "jointtable.hpp"

namespace Avatar {
class HandKinematics;
struct KinNode;
}  // namespace Avatar

namespace Manuvia {

// Sensor angles per glove, radians, in sensor order.
constexpr int kBindingSensorCount = 24;

// Adjusts the rest rotation of one joint bound to kinematic node `kin` for the sensor angles
// and writes its Euler angles (XYZ, degrees) to e. thumbFrame carries the thumb base's frame
// from the thumb base to the thumb's middle joint within one pass; start each pass from the
// identity. A node whose name matches no rule leaves e as it is.
void bindJoint(const Avatar::KinNode& kin, const FBQuaternion& rest, double thumbBias,
               bool rightHand, const double* sensors, FBMatrix& thumbFrame, double e[3]);

// Quaternion of Euler angles XYZ in degrees, as the host converts them.
FBQuaternion eulerToQuaternion(const double e[3]);

// A whole hand bound for one side, with the rest geometry of that side.
class HandBinding {
  public:
    explicit HandBinding(bool rightHand);
    ~HandBinding();
    HandBinding(const HandBinding&) = delete;
    HandBinding& operator=(const HandBinding&) = delete;

    bool rightHand() const { return m_rightHand; }
    // Rest translation of a row, centimetres.
    const std::array<double, 3>& restTranslation(int row) const { return m_translation[row]; }
    // Local rotations (Euler XYZ, degrees) of every row for the sensor angles; the finger
    // tips and unbound rows keep their rest rotation.
    void evaluate(const double* sensors, double rotations[kJointCount][3]) const;

  private:
    bool m_rightHand;
    std::unique_ptr<Avatar::HandKinematics> m_kinematics;
    std::array<const Avatar::KinNode*, kJointCount> m_nodes{};
    std::array<std::array<double, 3>, kJointCount> m_translation{};
    std::array<std::array<double, 3>, kJointCount> m_rest{};
    std::array<FBQuaternion, kJointCount> m_restQuaternion{};
    std::array<double, kJointCount> m_thumbBias{};
};

}  // namespace Manuvia

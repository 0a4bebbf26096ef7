#pragma once
// The Manuvia device: streams the chosen data glove into the 21-joint hand of jointtable.hpp,
// writing each joint's "Lcl Translation" and "Lcl Rotation" outputs at every evaluation and
// recording them as keys when the host records.
//
// Threads: the host runs DeviceOperation and the layout on its user-interface thread,
// DeviceIONotify and AnimationNodeNotify on threads of its choosing. The glove, the hand
// kinematics and the bindings change only under the device lock held exclusively (start,
// stop, glove choice); I/O and evaluation hold it shared. The glove's values are copied under
// the glove's own lock. The last written values have a lock of their own so the I/O thread
// and the layout read whole triples; the in-use flags are atomic.
//
// The glove belongs to the registry library (its configuration lives for the process); the
// device only points at it and keeps a copy of its registry name, so the glove's registry
// keys may go away first.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "fbsdk/fbsdk.h"

namespace Avatar {
class HandKinematics;
class KinNode;
}  // namespace Avatar
namespace Devices {
class Device;
class VexaGlove;
}  // namespace Devices

namespace Manuvia {

struct JointRecord {
    FBString name = "NoName";
    FBAnimationNode* translationNode = nullptr;  // owned by the device
    FBAnimationNode* rotationNode = nullptr;
    FBModelTemplate* modelTemplate = nullptr;  // owned by its parent template
    bool present = false;                      // false for the "_NA" finger tips
    Avatar::KinNode* kinNode = nullptr;        // in the device's hand kinematics; null unbound
    std::atomic<std::int32_t> inUse{1};        // the layout's "Enabled" cell
    double restTranslation[3] = {0, 0, 0};     // centimetres
    double restRotation[3] = {0, 0, 0};        // degrees
    FBQuaternion restQuaternion;               // the rest rotation, kept in step with it
    double thumbBias = 0.0;                    // degrees
    double lastTranslation[3] = {0, 0, 0};     // under the device's value lock
    double lastRotation[3] = {0, 0, 0};
};

}  // namespace Manuvia

class ORDeviceManuvia : public FBDevice {
  public:
    static int TypeInfo;

    explicit ORDeviceManuvia(const char* name);
    // Frees the hand kinematics and disconnects a glove still connected, so nothing keeps
    // streaming for a device that is gone.
    ~ORDeviceManuvia() override;

    const char* ClassName() override { return "ORDeviceManuvia"; }
    bool Is(int typeId) override;
    int GetTypeId() override { return ORDeviceManuvia::TypeInfo; }
    bool FBCreate() override;
    void FBDestroy() override {}
    bool AnimationNodeNotify(FBAnimationNode* node, FBEvaluateInfo* info) override;
    bool FbxStore(FBFbxObject* object, kFbxObjectStore what) override;
    bool FbxRetrieve(FBFbxObject* object, kFbxObjectStore what) override;
    bool DeviceOperation(kDeviceOperations operation) override;
    void DeviceIONotify(kDeviceIOs action, FBDeviceNotifyInfo& info) override;

    // For the layout (user-interface thread).
    Devices::Device* glove() const;
    // Disconnects the present glove, if any; failures to disconnect are ignored.
    void disconnectGlove();
    // The glove to use from now on, with its registry name and its configuration's name.
    void setGlove(Devices::Device* glove, const char* gloveName, const char* configName);
    FBString configurationName() const;
    void setConfigurationName(const char* name);
    FBString gloveName() const;
    int jointCount() const { return static_cast<int>(m_joints.size()); }
    const Manuvia::JointRecord& joint(int index) const { return *m_joints.at(index); }
    void setJointInUse(int index, std::int32_t inUse);
    void lastRotation(int index, double out[3]) const;

  private:
    void buildTemplates();
    bool start();
    bool stop();
    void record(FBTime time);
    // Adjusts the rotation e of a bound joint from the glove's values (radians).
    void evaluateJoint(Manuvia::JointRecord& joint, const double* sensors, FBMatrix& thumbFrame,
                       double* e) const;

    FBPlayerControl m_playerControl;
    FBModelTemplate* m_rootTemplate = nullptr;
    std::vector<std::unique_ptr<Manuvia::JointRecord>> m_joints;
    Devices::Device* m_glove = nullptr;
    Devices::VexaGlove* m_vexaGlove = nullptr;  // the same glove when it is one
    std::unique_ptr<Avatar::HandKinematics> m_handKinematics;
    FBString m_configurationName;
    FBString m_gloveName;
    bool m_rightHand = true;

    mutable std::shared_mutex m_lock;  // glove, kinematics, bindings, rest values, names
    mutable std::mutex m_valuesLock;   // last written translations and rotations
};

#include "ordevicemanuvia.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "avatar/handkinematics.hpp"
#include "devices/exceptions.hpp"
#include "devices/vexaglove.hpp"
#include "handbinding.hpp"
#include "jointtable.hpp"

using Manuvia::JointRecord;
using Manuvia::kJointTable;

int ORDeviceManuvia::TypeInfo = FBRegisterTypeId("ORDeviceManuvia");

namespace {

FBQuaternion rotation(double x, double y, double z) {
    FBQuaternion q;
    FBRotationToQuaternion(q, FBVector3d(x, y, z), kFBXYZ);
    return q;
}

}  // namespace

ORDeviceManuvia::ORDeviceManuvia(const char* name) : FBDevice(name) {}

ORDeviceManuvia::~ORDeviceManuvia() {
    std::unique_lock lock(m_lock);
    if (m_glove && m_glove->isConnected()) {
        try {
            m_glove->disconnect();
        } catch (...) {
            // Going away regardless; the glove object stays with its configuration.
        }
    }
}

bool ORDeviceManuvia::Is(int typeId) {
    return typeId == ORDeviceManuvia::TypeInfo || typeId == FBDevice::TypeInfo ||
           typeId == FBBox::TypeInfo || FBComponent::Is(typeId);
}

bool ORDeviceManuvia::FBCreate() {
    m_glove = nullptr;
    m_vexaGlove = nullptr;
    m_handKinematics.reset();
    m_configurationName = "";
    m_gloveName = "";
    buildTemplates();
    SamplingPeriod = FBTime::Frame(60);
    IconFilename = "devices_MCHand.tif";
    return true;
}

void ORDeviceManuvia::buildTemplates() {
    m_rootTemplate = new FBModelTemplate("Manuvia", "hand", kFBModelTemplateSkeleton);
    ModelTemplate.Add(m_rootTemplate);
    std::vector<FBModelTemplate*> templates;
    for (int row = 0; row < Manuvia::kJointCount; ++row) {
        const Manuvia::JointRow& r = kJointTable[row];
        auto joint = std::make_unique<JointRecord>();
        joint->name = r.joint;
        joint->present = std::strstr(r.joint, "_NA") == nullptr;
        double translation[3] = {r.length, r.offsetY, r.offsetZ};
        for (int i = 0; i < 3; ++i) {
            joint->restTranslation[i] = joint->lastTranslation[i] = translation[i];
            joint->restRotation[i] = joint->lastRotation[i] = r.rest[i];
        }
        joint->thumbBias = r.thumbBias;
        joint->restQuaternion = rotation(r.rest[0], r.rest[1], r.rest[2]);

        auto* model = new FBModelTemplate("Manuvia", r.templ, kFBModelTemplateJoint);
        model->DefaultTranslation = FBVector3d(r.length, r.offsetY, r.offsetZ);
        int parent = Manuvia::parentRow(row);
        (parent < 0 ? m_rootTemplate : templates[parent])->Children.Add(model);
        templates.push_back(model);

        joint->translationNode =
            AnimationNodeOutCreate(2 * row, r.templ, ANIMATIONNODE_TYPE_LOCAL_TRANSLATION);
        joint->rotationNode =
            AnimationNodeOutCreate(2 * row + 1, r.templ, ANIMATIONNODE_TYPE_LOCAL_ROTATION);
        model->AnimationNodes.Add(joint->translationNode);
        model->AnimationNodes.Add(joint->rotationNode);
        joint->modelTemplate = model;

        if (m_joints.size() == m_joints.capacity())
            m_joints.reserve(m_joints.capacity() + 10);
        m_joints.push_back(std::move(joint));
    }
}

bool ORDeviceManuvia::FbxStore(FBFbxObject* object, kFbxObjectStore what) {
    if (!object || (what & kAttributes) == 0)
        return true;
    std::shared_lock lock(m_lock);
    object->FieldWriteI("Version", 100);
    object->FieldWriteBegin("Configuration");
    object->FieldWriteC(m_configurationName);
    object->FieldWriteC(m_glove ? m_gloveName.c_str() : "No Glove");
    object->FieldWriteEnd();
    return true;
}

bool ORDeviceManuvia::FbxRetrieve(FBFbxObject* object, kFbxObjectStore what) {
    if (!object || (what & kAttributes) == 0)
        return true;
    object->FieldReadI("Version");
    if (object->FieldReadBegin("Configuration")) {
        std::unique_lock lock(m_lock);
        m_configurationName = object->FieldReadC();
        m_gloveName = object->FieldReadC();
        object->FieldReadEnd();
    }
    return true;
}

bool ORDeviceManuvia::DeviceOperation(kDeviceOperations operation) {
    switch (operation) {
        case kOpInit: {
            FBProgress progress;
            progress.Caption = "Manuvia/Filmbox";
            progress.Text = "Initializing device...";
            return true;
        }
        case kOpStart:
            return start();
        case kOpStop:
            return stop();
        case kOpReset:
            stop();
            return start();
        case kOpDone:
            return false;
        default:
            return FBDevice::DeviceOperation(operation);
    }
}

bool ORDeviceManuvia::start() {
    std::unique_lock lock(m_lock);
    if (!m_glove) {
        Status = "Could not Initialize";
        Information = "Invalid Glove device";
        return false;
    }
    HardwareVersionInformation = m_gloveName;
    Information = "";
    try {
        auto kinematics = std::make_unique<Avatar::HandKinematics>();
        m_glove->connect();
        bool right = !m_glove->isLeftHand();
        double sign = right ? 1.0 : -1.0;
        for (int row = 0; row < jointCount(); ++row) {
            JointRecord& joint = *m_joints[row];
            joint.restTranslation[2] = kJointTable[row].offsetZ * sign;
            joint.restRotation[0] = kJointTable[row].rest[0] * sign;
            joint.restRotation[1] = kJointTable[row].rest[1] * sign;
            joint.thumbBias = kJointTable[row].thumbBias * sign;
            joint.restQuaternion =
                rotation(joint.restRotation[0], joint.restRotation[1], joint.restRotation[2]);
        }
        kinematics->buildSkeleton(right, !right);
        // The new tree replaces the old one here, under the exclusive lock, so no evaluation
        // is walking the nodes being freed.
        for (int row = 0; row < jointCount(); ++row) {
            const char* name = right ? kJointTable[row].rightNode : kJointTable[row].leftNode;
            m_joints[row]->kinNode = *name ? kinematics->findNode(name) : nullptr;
        }
        m_handKinematics = std::move(kinematics);
        m_rightHand = right;
    } catch (...) {
        // A refused connection or anything else on the way: the glove is given up and the
        // user chooses one again.
        if (m_glove->isConnected()) {
            try {
                m_glove->disconnect();
            } catch (...) {
            }
        }
        m_glove = nullptr;
        m_vexaGlove = nullptr;
        Status = "Could not Initialize";
        Information = "Could not open device";
        return false;
    }
    Status = "Ok";
    return true;
}

bool ORDeviceManuvia::stop() {
    {
        FBProgress progress;
        progress.Caption = "Shutting down device";
        progress.Text = "Stopping data stream";
    }
    Information = "Stopping data stream";
    std::unique_lock lock(m_lock);
    if (m_glove) {
        try {
            m_glove->disconnect();
        } catch (...) {
            Information = "Could not stop data stream.";
        }
    }
    Status = "?";
    return false;
}

void ORDeviceManuvia::DeviceIONotify(kDeviceIOs action, FBDeviceNotifyInfo& info) {
    if (action != kIOPlayModeWrite && action != kIOStopModeWrite)
        return;
    std::shared_lock lock(m_lock);
    // No glove after a failed start: nothing to read, no sample.
    if (!m_glove)
        return;
    try {
        m_glove->update(false);
    } catch (...) {
        return;
    }
    try {
        record(info.GetLocalTime());
        AckOneSampleReceived();
    } catch (...) {
    }
}

void ORDeviceManuvia::record(FBTime time) {
    FBDeviceSamplingMode mode = SamplingMode;
    bool play = m_playerControl.GetTransportMode() == 0;
    for (auto& joint : m_joints) {
        if (!joint->present || !joint->kinNode)
            continue;
        double translation[3], rotation[3];
        {
            std::lock_guard<std::mutex> values(m_valuesLock);
            std::memcpy(translation, joint->lastTranslation, sizeof translation);
            std::memcpy(rotation, joint->lastRotation, sizeof rotation);
        }
        const std::pair<FBAnimationNode*, const double*> outputs[] = {
            {joint->translationNode, translation}, {joint->rotationNode, rotation}};
        for (const auto& [node, value] : outputs) {
            FBAnimationNode* target = node->GetAnimationToRecord();
            if (!target || !play)
                continue;
            if (mode == kFBHardwareTimestamp || mode == kFBSoftwareTimestamp)
                target->KeyAdd(time, value);
            else
                target->KeyAdd(value);
        }
    }
}

bool ORDeviceManuvia::AnimationNodeNotify(FBAnimationNode* node, FBEvaluateInfo* info) {
    (void)node;
    static_assert(Devices::VexaGlove::kSensorCount == Manuvia::kBindingSensorCount);
    double sensors[Devices::VexaGlove::kSensorCount] = {};
    std::shared_lock lock(m_lock);
    bool live = m_vexaGlove && m_vexaGlove->isConnected();
    if (live)
        m_vexaGlove->getSensorValues(sensors);
    // Identity unless the thumb base is adjusted in this pass.
    FBMatrix thumbFrame;
    double rotations[Manuvia::kJointCount][3];
    int count = std::min(jointCount(), Manuvia::kJointCount);
    for (int i = 0; i < count; ++i) {
        JointRecord& joint = *m_joints[i];
        double* rotation = rotations[i];
        std::memcpy(rotation, joint.restRotation, 3 * sizeof(double));
        if (live && joint.present && joint.inUse.load() != 0 && joint.kinNode)
            evaluateJoint(joint, sensors, thumbFrame, rotation);
        joint.translationNode->WriteData(joint.restTranslation, info);
        joint.rotationNode->WriteData(rotation, info);
    }
    std::lock_guard<std::mutex> values(m_valuesLock);
    for (int i = 0; i < count; ++i) {
        std::memcpy(m_joints[i]->lastTranslation, m_joints[i]->restTranslation, 3 * sizeof(double));
        std::memcpy(m_joints[i]->lastRotation, rotations[i], 3 * sizeof(double));
    }
    return true;
}

void ORDeviceManuvia::evaluateJoint(JointRecord& joint, const double* sensors, FBMatrix& thumbFrame,
                                    double* e) const {
    Manuvia::bindJoint(*joint.kinNode, joint.restQuaternion, joint.thumbBias, m_rightHand, sensors,
                       thumbFrame, e);
}

Devices::Device* ORDeviceManuvia::glove() const {
    std::shared_lock lock(m_lock);
    return m_glove;
}

void ORDeviceManuvia::disconnectGlove() {
    std::unique_lock lock(m_lock);
    if (!m_glove)
        return;
    try {
        m_glove->disconnect();
    } catch (...) {
        // A glove that cannot be closed is given up all the same.
    }
}

void ORDeviceManuvia::setGlove(Devices::Device* glove, const char* gloveName,
                               const char* configName) {
    std::unique_lock lock(m_lock);
    m_gloveName = gloveName;
    m_configurationName = configName;
    m_glove = glove;
    m_vexaGlove = dynamic_cast<Devices::VexaGlove*>(glove);
}

FBString ORDeviceManuvia::configurationName() const {
    std::shared_lock lock(m_lock);
    return m_configurationName;
}

void ORDeviceManuvia::setConfigurationName(const char* name) {
    std::unique_lock lock(m_lock);
    m_configurationName = name;
}

FBString ORDeviceManuvia::gloveName() const {
    std::shared_lock lock(m_lock);
    return m_gloveName;
}

void ORDeviceManuvia::setJointInUse(int index, std::int32_t inUse) {
    if (index >= 0 && index < jointCount())
        m_joints[index]->inUse.store(inUse);
}

void ORDeviceManuvia::lastRotation(int index, double out[3]) const {
    std::lock_guard<std::mutex> values(m_valuesLock);
    std::memcpy(out, m_joints.at(index)->lastRotation, 3 * sizeof(double));
}

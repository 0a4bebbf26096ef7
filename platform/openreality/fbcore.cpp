// Devices, animation nodes, model templates, the field store and the boxes.

#include "fbsdk/fbcore.h"

#include <algorithm>
#include <cstring>

#include "fbhost_internal.hpp"

int FBBox::TypeInfo = FBRegisterTypeId("FBBox");
int FBDevice::TypeInfo = FBRegisterTypeId("FBDevice");

namespace {

std::atomic<int> gTransportMode{kFBTransportStop};

int sizeOfType(const std::string& type) {
    return (type == ANIMATIONNODE_TYPE_LOCAL_TRANSLATION ||
            type == ANIMATIONNODE_TYPE_LOCAL_ROTATION || type == "Vector" ||
            type == "Translation" || type == "Rotation")
               ? 3
               : 1;
}

}  // namespace

namespace FBHost {

void setTransportMode(FBTransportMode mode) {
    gTransportMode.store(mode);
}

FBTransportMode transportMode() {
    return static_cast<FBTransportMode>(gTransportMode.load());
}

}  // namespace FBHost

FBTransportMode FBPlayerControl::GetTransportMode() const {
    return FBHost::transportMode();
}

FBAnimationNode::FBAnimationNode(FBDevice* owner, int userId, const char* name,
                                 const char* dataType, bool recordNode)
    : m_owner(owner),
      m_userId(userId),
      m_name(name ? name : ""),
      m_dataType(dataType ? dataType : ""),
      m_size(sizeOfType(m_dataType)),
      m_data(static_cast<std::size_t>(m_size), 0.0) {
    if (!recordNode)
        m_record = std::make_unique<FBAnimationNode>(owner, userId, name, dataType, true);
}

bool FBAnimationNode::WriteData(const double* data, FBEvaluateInfo* info) {
    (void)info;
    if (!data)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::copy(data, data + m_size, m_data.begin());
    ++m_writes;
    return true;
}

bool FBAnimationNode::ReadData(double* data, FBEvaluateInfo* info) const {
    (void)info;
    if (!data)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::copy(m_data.begin(), m_data.end(), data);
    return true;
}

FBAnimationNode* FBAnimationNode::GetAnimationToRecord() {
    return (m_record && m_owner && m_owner->IsRecording()) ? m_record.get() : nullptr;
}

void FBAnimationNode::KeyAdd(const FBTime& time, const double* data) {
    if (!data)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keys.push_back({time, true, std::vector<double>(data, data + m_size)});
}

void FBAnimationNode::KeyAdd(const double* data) {
    if (!data)
        return;
    FBTime now = m_owner ? m_owner->GetNotifyTime() : FBTime();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keys.push_back({now, false, std::vector<double>(data, data + m_size)});
}

std::vector<double> FBAnimationNode::LastWritten() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_data;
}

kFBLongLong FBAnimationNode::WriteCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writes;
}

std::vector<FBAnimationKey> FBAnimationNode::Keys() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_keys;
}

void FBAnimationNode::ClearKeys() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keys.clear();
}

FBModelTemplate::FBModelTemplate(const char* prefix, const char* name, FBModelTemplateType type)
    : Prefix(prefix), Name(name), Type(type) {}

FBString FBModelTemplate::GetFullName() const {
    if (Prefix.IsEmpty())
        return Name;
    return Prefix + ":" + Name.c_str();
}

void FBModelTemplate::ChildList::Add(FBModelTemplate* child) {
    if (child)
        m_items.emplace_back(child);
}

void FBPropertyListModelTemplate::Add(FBModelTemplate* root) {
    if (root)
        m_items.emplace_back(root);
}

FBPropertyDeviceOnline& FBPropertyDeviceOnline::operator=(bool online) {
    if (online == m_online.load())
        return *this;
    if (online) {
        m_online.store(m_device->DeviceOperation(kOpStart));
    } else {
        m_device->DeviceOperation(kOpStop);
        m_online.store(false);
    }
    return *this;
}

FBDevice::FBDevice(const char* name) : FBBox(name) {
    SamplingPeriod = FBTime::Frame(60);
}

FBDevice::~FBDevice() = default;

bool FBDevice::DeviceOperation(kDeviceOperations operation) {
    return operation == kOpInit;
}

bool FBDevice::DeviceSendCommand(kDeviceOperations operation) {
    bool result = DeviceOperation(operation);
    if (operation == kOpStart || operation == kOpReset)
        Online.m_online.store(result);
    else if (operation == kOpStop)
        Online.m_online.store(false);
    return result;
}

FBAnimationNode* FBDevice::AnimationNodeOutCreate(int userId, const char* name,
                                                  const char* dataType) {
    if (!name || !dataType)
        return nullptr;
    std::lock_guard<std::mutex> lock(m_nodesMutex);
    m_nodes.push_back(std::make_unique<FBAnimationNode>(this, userId, name, dataType));
    return m_nodes.back().get();
}

int FBDevice::GetAnimationNodeCount() const {
    std::lock_guard<std::mutex> lock(m_nodesMutex);
    return static_cast<int>(m_nodes.size());
}

FBAnimationNode* FBDevice::GetAnimationNode(int i) const {
    std::lock_guard<std::mutex> lock(m_nodesMutex);
    return (i >= 0 && i < static_cast<int>(m_nodes.size())) ? m_nodes[i].get() : nullptr;
}

FBAnimationNode* FBDevice::FindAnimationNode(const char* name, const char* dataType) const {
    std::lock_guard<std::mutex> lock(m_nodesMutex);
    for (const auto& node : m_nodes)
        if (name && dataType && std::strcmp(node->GetName(), name) == 0 &&
            std::strcmp(node->GetDataType(), dataType) == 0)
            return node.get();
    return nullptr;
}

void FBFbxObject::FieldWriteI(const char* name, int value) {
    Fields.push_back({name ? name : "", {value}});
    m_writing = -1;
}

void FBFbxObject::FieldWriteBegin(const char* name) {
    Fields.push_back({name ? name : "", {}});
    m_writing = static_cast<int>(Fields.size()) - 1;
}

void FBFbxObject::FieldWriteC(const char* text) {
    if (m_writing >= 0)
        Fields[m_writing].values.emplace_back(std::string(text ? text : ""));
}

void FBFbxObject::FieldWriteI(int value) {
    if (m_writing >= 0)
        Fields[m_writing].values.emplace_back(value);
}

void FBFbxObject::FieldWriteEnd() {
    m_writing = -1;
}

int FBFbxObject::FieldReadI(const char* name) {
    if (!FieldReadBegin(name))
        return 0;
    int value = FieldReadI();
    FieldReadEnd();
    return value;
}

bool FBFbxObject::FieldReadBegin(const char* name) {
    m_reading = -1;
    m_next = 0;
    for (std::size_t i = 0; i < Fields.size(); ++i)
        if (name && Fields[i].name == name) {
            m_reading = static_cast<int>(i);
            return true;
        }
    return false;
}

const char* FBFbxObject::FieldReadC() {
    m_text.clear();
    if (m_reading >= 0 && m_next < Fields[m_reading].values.size()) {
        if (auto* s = std::get_if<std::string>(&Fields[m_reading].values[m_next]))
            m_text = *s;
        ++m_next;
    }
    return m_text.c_str();
}

int FBFbxObject::FieldReadI() {
    int value = 0;
    if (m_reading >= 0 && m_next < Fields[m_reading].values.size()) {
        if (auto* i = std::get_if<int>(&Fields[m_reading].values[m_next]))
            value = *i;
        ++m_next;
    }
    return value;
}

void FBFbxObject::FieldReadEnd() {
    m_reading = -1;
    m_next = 0;
}

FBSystem::FBSystem() : OnUIIdle(FBHost::detail::uiIdleEvent()) {}

int FBMessageBox(const char* title, const char* message, const char* button1, const char* button2,
                 const char* button3, int defaultButton, int scroll) {
    (void)defaultButton;
    (void)scroll;
    auto text = [](const char* s) { return std::string(s ? s : ""); };
    FBHost::detail::recordMessageBox(
        {text(title), text(message), text(button1), text(button2), text(button3)});
    return 1;
}

FBProgress::~FBProgress() {
    FBHost::detail::recordProgress({Caption.Get().str(), Text.Get().str()});
}

// The host's side: registrations, creation, driving devices, the recorded boxes.

#include "fbsdk/fbhost.h"

#include <deque>
#include <mutex>

#include "fbhost_internal.hpp"

namespace FBHost {
namespace {

struct State {
    std::mutex mutex;
    std::deque<Registration> registrations;  // appended only: entries never move
    std::vector<MessageBoxRecord> messages;
    std::vector<ProgressRecord> progress;
};

// Lives for the process: plug-ins register from their load-time constructors, which may
// run before or after this library's own statics.
State& state() {
    static State* s = new State;
    return *s;
}

}  // namespace

namespace detail {

void addRegistration(Registration registration) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().registrations.push_back(std::move(registration));
}

void recordMessageBox(MessageBoxRecord record) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().messages.push_back(std::move(record));
}

void recordProgress(ProgressRecord record) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().progress.push_back(std::move(record));
}

FBPropertyEvent& uiIdleEvent() {
    static FBPropertyEvent* event = new FBPropertyEvent;
    return *event;
}

}  // namespace detail

std::vector<Registration> registrations() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return {state().registrations.begin(), state().registrations.end()};
}

const Registration* findRegistration(const std::string& group, const std::string& name) {
    std::lock_guard<std::mutex> lock(state().mutex);
    for (const Registration& r : state().registrations)
        if (r.group == group && r.name == name)
            return &r;
    return nullptr;
}

void clearRegistrations() {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().registrations.clear();
}

void ComponentDeleter::operator()(FBComponent* component) const {
    if (!component)
        return;
    component->FBDestroy();
    component->FBDelete();
}

ComponentPtr create(const std::string& group, const std::string& name, const char* objectName,
                    HIObject parent) {
    kFBObjectCreator creator = nullptr;
    {
        const Registration* r = findRegistration(group, name);
        if (r)
            creator = r->creator;
    }
    if (!creator)
        return nullptr;
    HIObject object = creator(parent, objectName ? objectName : name.c_str(), nullptr);
    return ComponentPtr(object ? FBGetFBObject(object) : nullptr);
}

ComponentPtr createLayout(FBDevice& device) {
    return create("UI_Associated_ClassName", device.ClassName(), nullptr, device.GetHIObject());
}

bool deviceOperation(FBDevice& device, kDeviceOperations operation) {
    bool result = device.DeviceSendCommand(operation);
    fireStatusChange(device);
    return result;
}

bool setOnline(FBDevice& device, bool online) {
    device.Online = online;
    fireStatusChange(device);
    return device.Online.Get();
}

kFBLongLong deviceIO(FBDevice& device, kDeviceIOs action, FBTime time) {
    kFBLongLong before = device.GetSampleCount();
    device.SetNotifyTime(time);
    FBDeviceNotifyInfo info(time, time);
    device.DeviceIONotify(action, info);
    return device.GetSampleCount() - before;
}

bool evaluate(FBDevice& device, FBTime time) {
    static std::atomic<kFBLongLong> evaluations{0};
    FBEvaluateInfo info(time, time, evaluations.fetch_add(1) + 1);
    return device.AnimationNodeNotify(device.GetAnimationNode(0), &info);
}

void setRecording(FBDevice& device, bool on) {
    device.SetRecording(on);
}

std::vector<FBAnimationKey> recordedKeys(const FBAnimationNode& output) {
    FBAnimationNode* record = output.RecordNode();
    return record ? record->Keys() : std::vector<FBAnimationKey>{};
}

void clearRecordedKeys(FBDevice& device) {
    for (int i = 0; i < device.GetAnimationNodeCount(); ++i)
        if (FBAnimationNode* record = device.GetAnimationNode(i)->RecordNode())
            record->ClearKeys();
}

void fireUIIdle() {
    FBEvent event;
    detail::uiIdleEvent().Fire(nullptr, &event);
}

void fireStatusChange(FBDevice& device) {
    FBEvent event;
    device.OnStatusChange.Fire(&device, &event);
}

std::vector<MessageBoxRecord> messageBoxes() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().messages;
}

std::vector<ProgressRecord> progressBoxes() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().progress;
}

void clearBoxes() {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().messages.clear();
    state().progress.clear();
}

SceneObject storeDevice(FBDevice& device) {
    SceneObject object;
    object.className = device.ClassName();
    object.name = device.Name.Get().str();
    device.FbxStore(&object.fields, kAttributes);
    return object;
}

bool retrieveDevice(FBDevice& device, SceneObject& object) {
    return device.FbxRetrieve(&object.fields, kAttributes);
}

}  // namespace FBHost

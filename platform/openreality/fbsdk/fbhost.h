#pragma once
// The host's side of the SDK layer, for whoever plays the animation host (the headless host
// program and the plug-in tests): the table of registrations, creating and destroying
// registered objects, driving a device's operations, I/O and evaluation, the transport mode,
// the message and progress boxes shown, the idle and status-change events, and the scene
// file that keeps objects' stored fields.
//
// Threads: the registration table, the transport mode and the box records are process-wide
// and locked; everything else runs on the thread that calls it, under the device's rules
// (fbcore.h).

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fbsdk/fbcore.h"
#include "fbsdk/fbui.h"

// Every SDK type is visible from the shared library, also to plug-ins built with hidden
// symbols, so type checks across libraries agree.
#pragma GCC visibility push(default)

// The names a plug-in library exports.
extern "C" {
using FBLibraryInitFunction = FBLibrary* (*)();
using FBEntryPointFunction = void (*)(kFBDllOperation);
}
#define FB_LIBRARY_INIT_SYMBOL "LIBRARY_INIT"

namespace FBHost {

struct Registration {
    std::string group, name, description, icon;
    kFBObjectCreator creator = nullptr;
    bool visible = false;
};

// Every FBObject_Register call so far, in call order.
std::vector<Registration> registrations();
// The first entry registered under group and name, or null; valid until clearRegistrations.
const Registration* findRegistration(const std::string& group, const std::string& name);
// Forgets every registration (for a host that unloads its plug-ins).
void clearRegistrations();

// Destroys a component the host made: FBDestroy, then FBDelete.
struct ComponentDeleter {
    void operator()(FBComponent* component) const;
};
using ComponentPtr = std::unique_ptr<FBComponent, ComponentDeleter>;

// Runs the creation function registered under group and name. Null when nothing is
// registered there or the creator refuses.
ComponentPtr create(const std::string& group, const std::string& name,
                    const char* objectName = nullptr, HIObject parent = nullptr);
// The layout registered for the device's class ("UI_Associated_ClassName"), made for it.
ComponentPtr createLayout(FBDevice& device);

// Process-wide transport mode read by every FBPlayerControl.
void setTransportMode(FBTransportMode mode);
FBTransportMode transportMode();

// Runs DeviceOperation through DeviceSendCommand (keeping Online in step), then fires the
// device's OnStatusChange.
bool deviceOperation(FBDevice& device, kDeviceOperations operation);
// Sets Online (which starts or stops the device), then fires OnStatusChange. Gives Online.
bool setOnline(FBDevice& device, bool online);
// One I/O notification at local time `time`; gives the samples acknowledged by it.
kFBLongLong deviceIO(FBDevice& device, kDeviceIOs action, FBTime time);
// One evaluation at local time `time`; gives AnimationNodeNotify's answer.
bool evaluate(FBDevice& device, FBTime time);

// Recording: output nodes hand out record nodes while on; keys of every output's record
// node, and clearing them.
void setRecording(FBDevice& device, bool on);
std::vector<FBAnimationKey> recordedKeys(const FBAnimationNode& output);
void clearRecordedKeys(FBDevice& device);

void fireUIIdle();
void fireStatusChange(FBDevice& device);

struct MessageBoxRecord {
    std::string title, message, button1, button2, button3;
};
struct ProgressRecord {
    std::string caption, text;
};
std::vector<MessageBoxRecord> messageBoxes();
std::vector<ProgressRecord> progressBoxes();
void clearBoxes();

// A scene: the stored fields of objects, each under its class and name.
struct SceneObject {
    std::string className;
    std::string name;
    FBFbxObject fields;
};

// A scene file that cannot be read: what is wrong and on which line.
class SceneError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Text form, one object per block:
//   manuvia-scene 1
//   object "ORDeviceManuvia" "Manuvia"
//   field "Version" int 100
//   field "Configuration" string "Simulated" string "No Glove"
//   end
// Strings are double-quoted with \" \\ \n \t escapes; names and texts at most 4096 bytes;
// at most 10000 objects, fields and values each. Anything else is a SceneError.
std::string writeScene(const std::vector<SceneObject>& objects);
std::vector<SceneObject> readScene(const std::string& text);
// Files: written to a temporary file then renamed; read at most 16 MiB. SceneError for I/O
// problems too.
void saveScene(const std::string& path, const std::vector<SceneObject>& objects);
std::vector<SceneObject> loadScene(const std::string& path);

// A device's fields as a scene object (FbxStore with kAttributes), and a scene object's
// fields given back to a device (FbxRetrieve with kAttributes).
SceneObject storeDevice(FBDevice& device);
bool retrieveDevice(FBDevice& device, SceneObject& object);

}  // namespace FBHost

#pragma GCC visibility pop

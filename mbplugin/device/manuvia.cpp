// The library's exports: the entry point the host calls on load, the library object, and
// the registration of the device and its layout (once per process, also at attach time).

#include <mutex>
#include <new>

#include "fbsdk/fbsdk.h"
#include "ordevicemanuvia.hpp"
#include "ordevicemanuvialayout.hpp"

#define MANUVIA_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kDescription = "Tessaline Manuvia(R) for MOTIONBUILDER";
constexpr const char* kIcon = "devices_MCHand.tif";

// Allocates with the SDK allocator, constructs, marks and runs FBCreate; nothing thrown
// crosses into the host.
template <class T, class Arg>
HIObject createComponent(Arg arg, const char* name, const char* className) {
    void* block = nullptr;
    try {
        block = FBComponentAllocate(sizeof(T));
        T* object = new (block) T(arg);
        block = nullptr;
        if (name)
            object->Name = name;
        object->FBSetAllocatedBySDK(className);
        bool created = false;
        try {
            created = object->FBCreate();
        } catch (...) {
        }
        if (!created) {
            object->FBDelete();
            return nullptr;
        }
        return object->GetHIObject();
    } catch (...) {
        FBComponentRelease(block);
        return nullptr;
    }
}

HIObject createDevice(HIObject parent, const char* name, void* data) {
    (void)parent;
    (void)data;
    return createComponent<ORDeviceManuvia>(name, name, "ORDeviceManuvia");
}

HIObject createLayout(HIObject parent, const char* name, void* data) {
    (void)data;
    return createComponent<ORDeviceManuviaLayout>(parent, name, "ORDeviceManuviaLayout");
}

std::once_flag gBoxRegistered, gStorableRegistered, gLayoutRegistered;

void registerClasses() {
    std::call_once(gBoxRegistered, [] {
        FBObject_Register("Boxes/Devices", "Manuvia", kDescription, createDevice, true, kIcon);
    });
    std::call_once(gStorableRegistered, [] {
        FBObject_Register("FbxStorable/Device", "ORDeviceManuvia", kDescription, createDevice, true,
                          kIcon);
    });
    std::call_once(gLayoutRegistered, [] {
        FBObject_Register("UI_Associated_ClassName", "ORDeviceManuvia",
                          "ORDeviceManuvia Device Layout", createLayout, true,
                          "openreality_noicon.png");
    });
}

__attribute__((constructor)) void registerOnAttach() {
    registerClasses();
}

class ManuviaLibrary : public FBLibrary {};

}  // namespace

MANUVIA_EXPORT void EntryPointordevicemanuvia(kFBDllOperation operation) {
    if (operation == kFBDllLoad)
        registerClasses();
}

MANUVIA_EXPORT FBLibrary* LIBRARY_INIT() {
    static ManuviaLibrary library;
    return &library;
}

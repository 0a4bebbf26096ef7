#pragma once
// Type codes of the device access library.

namespace Devices {

// Device types, decided from the registry's type name (see ConfigManager::getDeviceType).
enum DeviceType {
    kVexaGlove = 0,    // "vexaglove"
    kVexaGrasp = 1,    // "vexagrasp", grasp exoskeleton
    kVexaForce = 2,    // "kortavel", force arm
    kVexaTouch = 3,    // "vexatouch", vibrotactile glove
    kFlock = 4,        // "flock", magnetic tracker
    kFastrak = 5,      // "fastrak", magnetic tracker
    kVicon = 6,        // "vicon", optical tracker
    kNoDeviceType = 7  // held by a device whose type is not set
};

// Connection types, decided from the device key's connection sub-key.
enum ConnectionType {
    kDeviceManagerConnection = 0,  // "DeviceManager"
    kTrackdConnection = 1,         // "Trackd"
    kViconConnection = 2           // "ViconTransport"
};

}  // namespace Devices

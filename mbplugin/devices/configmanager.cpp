#include "devices/configmanager.hpp"

#include <cstring>
#include <exception>
#include <memory>

#include "devices/exceptions.hpp"
#include "devices/report.hpp"
#include "devices/rzidmconnection.hpp"
#include "devices/trackdconnection.hpp"
#include "devices/tracker.hpp"
#include "devices/types.hpp"
#include "devices/vexaglove.hpp"
#include "devices/vexagrasp.hpp"
#include "devices/vexatouch.hpp"
#include "devices/viconconnection.hpp"

namespace Devices {

namespace {

struct TypeName {
    const char* name;
    int code;
};

// Tested in this order.
const TypeName kTypeNames[] = {
    {"vexaglove", kVexaGlove}, {"vexatouch", kVexaTouch}, {"vexagrasp", kVexaGrasp},
    {"flock", kFlock},         {"fastrak", kFastrak},     {"kortavel", kVexaForce},
    {"vicon", kVicon},
};

}  // namespace

bool ConfigManager::isDefault() const {
    return m_configKey && m_configKey->getValue("DefaultFlag") != nullptr;
}

int ConfigManager::getConnectionType(int index) const {
    rziRegistryKey* key = getDeviceKey(index);
    if (!key)
        throw X_UnresolvedConnection("Unable to find the device key");
    if (key->getKey("DeviceManager"))
        return kDeviceManagerConnection;
    if (key->getKey("Trackd"))
        return kTrackdConnection;
    if (key->getKey("ViconTransport"))
        return kViconConnection;
    throw X_UnresolvedConnection("Unable to determine connection type from the registry.");
}

int ConfigManager::getDeviceType(int index) const {
    const char* name = getDeviceTypeName(index);
    if (!name)
        throw X_RegistryFileError("Couldn't get device type from registry");
    for (const TypeName& t : kTypeNames)
        if (std::strcmp(name, t.name) == 0)
            return t.code;
    throw X_IllegalDeviceType("Unrecognized Model Name");
}

Device* ConfigManager::createDevice(int index) {
    int connectionType = getConnectionType(index);
    // Owned here until both are in the arrays, so a throw part-way frees what was built.
    std::unique_ptr<Connection> connection;
    switch (connectionType) {
        case kDeviceManagerConnection: {
            auto rzidm = std::make_unique<RzidmConnection>();
            rzidm->setServerAddress(getDeviceIpAddr(index));
            rzidm->setDeviceName(getDeviceName(index));
            rzidm->setSerialPort(getDeviceSerialPort(index));
            rzidm->setTypeName(getDeviceTypeName(index));
            rzidm->setServerPort(getDeviceIpPort(index));
            rzidm->setBaudRate(getDeviceSerialBaudRate(index));
            connection = std::move(rzidm);
            break;
        }
        case kTrackdConnection:
            connection = std::make_unique<TrackdConnection>(getTrackdKey(index));
            break;
        default:
            connection = std::make_unique<ViconConnection>(getDeviceIpAddr(index));
            break;
    }

    int deviceType = getDeviceType(index);
    std::unique_ptr<Device> device;
    switch (deviceType) {
        case kVexaGlove:
            device = std::make_unique<VexaGlove>(connection.get());
            break;
        case kVexaGrasp:
            device = std::make_unique<VexaGrasp>(connection.get());
            break;
        case kVexaForce:
            device = std::make_unique<VexaForce>(connection.get());
            break;
        case kVexaTouch:
            device = std::make_unique<VexaTouch>(connection.get());
            break;
        default:
            device = std::make_unique<Tracker>(connection.get(), deviceType);
            break;
    }
    device->setRegistryKey(getDeviceKey(index), m_registry);
    try {
        device->loadCalibration();
    } catch (const X_CalibNotFound&) {
        // An uncalibrated device is not an error at creation time.
    }
    m_connections.append(connection.get());
    m_devices.append(device.get());
    connection.release();
    return device.release();
}

void ConfigManager::createDevices() {
    for (int i = 0; i < getDeviceCount(); ++i) {
        try {
            createDevice(i);
        } catch (const std::exception& e) {
            report("Error creating device!", e.what());
        }
    }
}

Device* ConfigManager::getDevice(int index) {
    if (index < 0 || static_cast<std::uint64_t>(index) >= m_devices.count())
        return nullptr;
    return m_devices.at(static_cast<std::uint64_t>(index));
}

Connection* ConfigManager::getConnection(int index) {
    if (index < 0 || static_cast<std::uint64_t>(index) >= m_connections.count())
        return nullptr;
    return m_connections.at(static_cast<std::uint64_t>(index));
}

}  // namespace Devices

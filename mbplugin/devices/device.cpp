#include "devices/device.hpp"

#include "devices/rzidmconnection.hpp"
#include "registry/registry.hpp"

namespace Devices {

Device::Device(Connection* connection, std::int32_t type) : m_connection(connection), m_type(type) {
    if (m_connection)
        m_connection->setDevice(this);
}

Connection::~Connection() {
    if (m_device)
        m_device->forgetConnection(this);
}

Device::~Device() {
    // Whichever of the pair goes first, the other never points at it afterwards.
    if (m_connection && m_connection->getDevice() == this)
        m_connection->setDevice(nullptr);
}

void Device::connect() {
    if (m_connection)
        m_connection->connect();
}

void Device::disconnect() {
    if (m_connection)
        m_connection->disconnect();
}

void Device::update(bool output) {
    if (m_connection)
        m_connection->update(output);
}

void Device::sendSettings() {
    if (m_calibrated && m_connection)
        m_connection->sendSettings();
}

bool Device::isConnected() const {
    return m_connection && m_connection->isConnected();
}

const char* Device::getName() const {
    return m_registryKey ? m_registryKey->getName() : nullptr;
}

const char* Device::getAddress() const {
    return m_connection ? m_connection->getAddress() : nullptr;
}

void Device::calibrateFromHardware() {
    auto* rzidm = dynamic_cast<RzidmConnection*>(m_connection);
    if (!rzidm || !rzidm->isConnected())
        return;
    rzidm->readCalibration();
    saveCalibration();
}

bool Device::isLeftHand() {
    auto* rzidm = dynamic_cast<RzidmConnection*>(m_connection);
    return rzidm && rzidm->isLeftHand();
}

}  // namespace Devices

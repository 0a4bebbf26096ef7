#include "registry/config.hpp"

#include <cstring>

Config::Config() = default;
Config::~Config() = default;

const char* Config::getName() const {
    return m_configKey ? m_configKey->getName() : nullptr;
}

int Config::getDeviceCount() const {
    return m_configKey ? m_configKey->getKeyCount() : 0;
}

rziRegistryKey* Config::getDeviceKey(int index) const {
    return m_configKey ? m_configKey->getKey(index) : nullptr;
}

rziRegistryValue* Config::findSetting(int index, const char* name) const {
    rziRegistryKey* device = getDeviceKey(index);
    if (!device)
        return nullptr;
    for (const char* sub : kConnectionKeys) {
        if (rziRegistryKey* connection = device->getKey(sub)) {
            if (rziRegistryValue* v = connection->getValue(name))
                return v;
            break;
        }
    }
    return device->getValue(name);
}

const char* Config::getDeviceTypeName(int index) const {
    rziRegistryKey* device = getDeviceKey(index);
    if (!device)
        return nullptr;
    rziRegistryValue* v = device->getValue(kTypeValue);
    return v ? v->getString() : nullptr;
}

const char* Config::getDeviceName(int index) const {
    rziRegistryKey* device = getDeviceKey(index);
    return device ? device->getName() : nullptr;
}

const char* Config::getDeviceIpAddr(int index) const {
    rziRegistryValue* v = findSetting(index, kServerAddressValue);
    return v ? v->getString() : nullptr;
}

int Config::getDeviceIpPort(int index) const {
    rziRegistryValue* v = findSetting(index, kServerPortValue);
    return v ? v->getInteger() : 0;
}

const char* Config::getDeviceSerialPort(int index) const {
    rziRegistryValue* v = findSetting(index, kSerialPortValue);
    return v ? v->getString() : nullptr;
}

int Config::getDeviceSerialBaudRate(int index) const {
    rziRegistryValue* v = findSetting(index, kBaudRateValue);
    return v ? v->getInteger() : 0;
}

int Config::getVexaGloveCount() const {
    int count = 0;
    for (int i = 0; i < getDeviceCount(); ++i) {
        const char* type = getDeviceTypeName(i);
        if (type && std::strcmp(type, "vexaglove") == 0)
            ++count;
    }
    return count;
}

int Config::getVexaGloveIndex(int n) const {
    if (n < 0)
        return -1;
    for (int i = 0; i < getDeviceCount(); ++i) {
        const char* type = getDeviceTypeName(i);
        if (type && std::strcmp(type, "vexaglove") == 0 && n-- == 0)
            return i;
    }
    return -1;
}

#include "devices/tracker.hpp"

#include <cstdio>

#include "devices/exceptions.hpp"
#include "registry/registry.hpp"

namespace Devices {

Tracker::Tracker(Connection* connection, std::int32_t type) : Device(connection, type) {
    m_setup.receiverCount = type == kFastrak ? 4 : 1;
    m_setup.receivers[0].active = 1;
}

void Tracker::setReceiverCount(int n) {
    m_setup.receiverCount = n < 0 ? 0 : (n > kMaxReceivers ? kMaxReceivers : n);
}

namespace {

void readInt(rziRegistryKey* key, const char* name, std::int32_t& out) {
    if (rziRegistryValue* v = key->getValue(name))
        out = v->getInteger();
}

void readDouble(rziRegistryKey* key, const char* name, double& out) {
    if (rziRegistryValue* v = key->getValue(name))
        out = v->getDouble();
}

void writeInt(rziRegistryKey* key, const char* name, std::int32_t v) {
    key->createValue(name)->setValue(static_cast<int>(v));
}

void writeDouble(rziRegistryKey* key, const char* name, double v) {
    key->createValue(name)->setValue(v);
}

}  // namespace

void Tracker::loadCalibration() {
    if (!m_registryKey)
        return;
    rziRegistryKey* calib = m_registryKey->getKey("Calibration");
    if (!calib)
        throw X_CalibNotFound("Unable to find the tracker's calibration key");
    // Checked before anything is taken, so a refused calibration changes nothing.
    if (calib->getKeyCount() > kMaxReceivers)
        throw X_CalibNotFound("Too many receivers in registry");
    Setup s = m_setup;
    readInt(calib, "CordDirection", s.cordDirection);
    readInt(calib, "MountingPlate", s.mountingPlate);
    readInt(calib, "EnableXmitterOffset", s.xmitterOffsetEnabled);
    readDouble(calib, "XmitterOffsetx", s.xmitterOffset[0]);
    readDouble(calib, "XmitterOffsety", s.xmitterOffset[1]);
    readDouble(calib, "XmitterOffsetz", s.xmitterOffset[2]);
    s.receiverCount = calib->getKeyCount();
    for (int i = 0; i < s.receiverCount; ++i) {
        rziRegistryKey* r = calib->getKey(i);
        Receiver& rec = s.receivers[i];
        if (rziRegistryValue* v = r->getValue("Active"))
            rec.active = v->getInteger() != 0 ? 1 : 0;
        readDouble(r, "Offsetx", rec.offset[0]);
        readDouble(r, "Offsety", rec.offset[1]);
        readDouble(r, "Offsetz", rec.offset[2]);
        readInt(r, "Hemisphere", rec.hemisphere);
    }
    m_setup = s;
    m_calibrated = true;
}

void Tracker::saveCalibration() {
    if (!m_registryKey)
        return;
    if (!m_calibrated)
        throw X_CalibNotFound("Device is not yet calibrated");
    rziRegistry::Batch batch(m_registryKey->getRegistry());
    rziRegistryKey* calib = m_registryKey->createKey("Calibration");
    writeInt(calib, "CordDirection", m_setup.cordDirection);
    writeInt(calib, "MountingPlate", m_setup.mountingPlate);
    writeInt(calib, "EnableXmitterOffset", m_setup.xmitterOffsetEnabled);
    writeDouble(calib, "XmitterOffsetx", m_setup.xmitterOffset[0]);
    writeDouble(calib, "XmitterOffsety", m_setup.xmitterOffset[1]);
    writeDouble(calib, "XmitterOffsetz", m_setup.xmitterOffset[2]);
    while (calib->getKeyCount() > 0)
        calib->deleteKey(calib->getKey(0)->getName());
    for (int i = 0; i < m_setup.receiverCount && i < kMaxReceivers; ++i) {
        char name[24];  // room for any int, so the compiler can prove no truncation
        std::snprintf(name, sizeof name, "Receiver%1d", i);
        rziRegistryKey* r = calib->createKey(name);
        const Receiver& rec = m_setup.receivers[i];
        writeInt(r, "Active", rec.active);
        writeDouble(r, "Offsetx", rec.offset[0]);
        writeDouble(r, "Offsety", rec.offset[1]);
        writeDouble(r, "Offsetz", rec.offset[2]);
        writeInt(r, "Hemisphere", rec.hemisphere);
    }
    batch.commit();
}

}  // namespace Devices

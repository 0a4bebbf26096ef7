#include "devices/vexaglove.hpp"

#include <string>

#include "devices/exceptions.hpp"
#include "registry/registry.hpp"

namespace Devices {

const char* const VexaGlove::kSensorNames[kCalibratedSensors] = {
    "Thumbroll",
    "Thumbinnerjoint",
    "Thumbouterjoint",
    "Thumb-Indexabduction",
    "Indexfingerinnerjoint",
    "Indexfingermiddlejoint",
    "Indexfingerouterjoint",
    "N/A",
    "Middlefingerinnerjoint",
    "Middlefingermiddlejoint",
    "Middlefingerouterjoint",
    "Middle-Indexabduction",
    "Ringfingerinnerjoint",
    "Ringfingermiddlejoint",
    "Ringfingerouterjoint",
    "Ring-Middleabduction",
    "Pinkyfingerinnerjoint",
    "Pinkyfingermiddlejoint",
    "Pinkyfingerouterjoint",
    "Pinky-Ringabduction",
    "Palmarch",
    "Wristflexion",
    "Wristabduction",
};

namespace {
constexpr int kNoSensor = 7;
}

VexaGlove::VexaGlove(Connection* connection, std::int32_t type) : Device(connection, type) {
    for (int s = 0; s < kCalibratedSensors; ++s) {
        m_gains[s] = 0.01;
        m_offsets[s] = 0.0;
    }
}

std::string VexaGlove::offsetValueName(int sensor) {
    return std::string(kSensorNames[sensor]) + (sensor == kNoSensor ? "Offset" : "sensorOffset");
}

std::string VexaGlove::gainValueName(int sensor) {
    return std::string(kSensorNames[sensor]) + (sensor == kNoSensor ? "Gain" : "sensorGain");
}

double VexaGlove::getSensorValue(int sensor) const {
    if (!valid(sensor))
        return 0.0;
    std::lock_guard<std::mutex> lock(m_valuesLock);
    return m_values[sensor];
}

void VexaGlove::getSensorValues(double out[kSensorCount]) const {
    std::lock_guard<std::mutex> lock(m_valuesLock);
    for (int s = 0; s < kSensorCount; ++s)
        out[s] = m_values[s];
}

void VexaGlove::setSensorValues(const double* values, int count) {
    if (count > kSensorCount)
        count = kSensorCount;
    std::lock_guard<std::mutex> lock(m_valuesLock);
    for (int s = 0; s < count; ++s)
        m_values[s] = values[s];
}

void VexaGlove::setCalibration(const double offsets[kCalibratedSensors],
                               const double gains[kCalibratedSensors]) {
    for (int s = 0; s < kCalibratedSensors; ++s) {
        m_offsets[s] = offsets[s];
        m_gains[s] = gains[s];
    }
    m_calibrated = true;
}

void VexaGlove::loadCalibration() {
    if (!m_registryKey)
        return;
    rziRegistryKey* calib = m_registryKey->getKey("Calibration");
    if (!calib)
        throw X_CalibNotFound("Unable to find the glove's calibration key");
    if (calib->getValueCount() != kCalibrationValues)
        throw X_CalibNotFound("Unable to find all the glove's calibration values");
    double offsets[kCalibratedSensors];
    double gains[kCalibratedSensors];
    for (int s = 0; s < kCalibratedSensors; ++s) {
        offsets[s] = calib->getValue(s)->getDouble();
        gains[s] = calib->getValue(kCalibratedSensors + s)->getDouble();
    }
    setCalibration(offsets, gains);
}

void VexaGlove::saveCalibration() {
    if (!m_registryKey)
        return;
    if (!m_calibrated)
        throw X_CalibNotFound("Device is not yet calibrated");
    rziRegistry::Batch batch(m_registryKey->getRegistry());
    rziRegistryKey* calib = m_registryKey->createKey("Calibration");
    if (calib->getValueCount() != kCalibrationValues) {
        while (calib->getValueCount() > 0)
            calib->deleteValue(calib->getValue(0)->getName());
        for (int s = 0; s < kCalibratedSensors; ++s)
            calib->createValue(offsetValueName(s).c_str());
        for (int s = 0; s < kCalibratedSensors; ++s)
            calib->createValue(gainValueName(s).c_str());
    }
    for (int s = 0; s < kCalibratedSensors; ++s) {
        calib->getValue(s)->setValue(m_offsets[s]);
        calib->getValue(kCalibratedSensors + s)->setValue(m_gains[s]);
    }
    batch.commit();
}

}  // namespace Devices

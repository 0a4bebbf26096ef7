#pragma once
// The data glove (type 0): 24 joint values in sensor order (radians, as the glove driver
// delivers them; the 24th has no sensor), its wrist switch, and a calibration of 23 offsets
// and gains kept in the registry key "Calibration" as 46 values.

#include <atomic>
#include <mutex>
#include <string>

#include "devices/device.hpp"

namespace Devices {

class VexaGlove : public Device {
  public:
    static constexpr int kSensorCount = 24;
    // Sensors with a calibration (the 24th has none).
    static constexpr int kCalibratedSensors = 23;
    static constexpr int kCalibrationValues = 2 * kCalibratedSensors;
    // Registry names of the sensors; value names add "sensorOffset" / "sensorGain"
    // ("Offset" / "Gain" for sensor 7).
    static const char* const kSensorNames[kCalibratedSensors];

    explicit VexaGlove(Connection* connection) : VexaGlove(connection, kVexaGlove) {}

    void loadCalibration() override;
    void saveCalibration() override;

    // The values are written by the thread that updates the glove and read by others, so
    // each access copies them under the glove's lock.
    double getSensorValue(int sensor) const;
    // All kSensorCount values of one sample at once.
    void getSensorValues(double out[kSensorCount]) const;
    // Replaces the first count values (at most kSensorCount); the others keep theirs.
    void setSensorValues(const double* values, int count);
    bool getSwitch() const { return m_switch; }
    void setSwitch(bool on) { m_switch = on; }
    bool hasSwitch() const { return m_hasSwitch; }
    void setHasSwitch(bool on) { m_hasSwitch = on; }

    double getGain(int sensor) const { return valid(sensor) ? m_gains[sensor] : 0.0; }
    double getOffset(int sensor) const { return valid(sensor) ? m_offsets[sensor] : 0.0; }
    // Replaces the whole calibration (23 offsets, 23 gains) and marks the glove calibrated.
    void setCalibration(const double offsets[kCalibratedSensors],
                        const double gains[kCalibratedSensors]);

    static std::string offsetValueName(int sensor);
    static std::string gainValueName(int sensor);

  protected:
    VexaGlove(Connection* connection, std::int32_t type);
    static bool valid(int sensor) { return sensor >= 0 && sensor < kSensorCount; }

    mutable std::mutex m_valuesLock;
    double m_values[kSensorCount] = {};
    std::atomic<bool> m_switch = false;
    double m_gains[kSensorCount] = {};
    double m_offsets[kSensorCount] = {};
    bool m_hasSwitch = false;
};

}  // namespace Devices

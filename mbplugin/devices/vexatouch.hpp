#pragma once
// The vibrotactile glove (type 3): a glove with six vibration actuators. Levels run from 0
// to 1; update(true) sends all six, vibrate sends one at once.

#include "devices/vexaglove.hpp"

namespace Devices {

class VexaTouch : public VexaGlove {
  public:
    static constexpr int kActuatorCount = 6;

    explicit VexaTouch(Connection* connection) : VexaGlove(connection, kVexaTouch) {}
    // Stops every actuator, so the glove does not go on vibrating.
    ~VexaTouch() override;

    // When connected: the actuator's stored level becomes its last sent level and the given
    // level is sent at once. Actuators outside 0..5 are ignored.
    void vibrate(int actuator, double level);

    double getLevel(int actuator) const { return valid(actuator) ? m_levels[actuator] : 0.0; }
    void setLevel(int actuator, double level) {
        if (valid(actuator))
            m_levels[actuator] = level;
    }
    double getLastSent(int actuator) const { return valid(actuator) ? m_lastSent[actuator] : 0.0; }
    void setLastSent(int actuator, double level) {
        if (valid(actuator))
            m_lastSent[actuator] = level;
    }

  private:
    static bool valid(int a) { return a >= 0 && a < kActuatorCount; }

    double m_levels[kActuatorCount] = {};
    double m_lastSent[kActuatorCount] = {};
};

}  // namespace Devices

#include "devices/vexatouch.hpp"

#include <exception>

#include "devices/rzidmconnection.hpp"

namespace Devices {

VexaTouch::~VexaTouch() {
    for (int a = 0; a < kActuatorCount; ++a) {
        try {
            vibrate(a, 0.0);
        } catch (const std::exception&) {
            // The glove is going away with us; nothing more can be done from a destructor.
        }
    }
}

void VexaTouch::vibrate(int actuator, double level) {
    if (!valid(actuator) || !isConnected())
        return;
    auto* rzidm = dynamic_cast<RzidmConnection*>(m_connection);
    if (!rzidm)
        return;
    m_lastSent[actuator] = m_levels[actuator];
    rzidm->sendVibration(actuator, level);
}

}  // namespace Devices

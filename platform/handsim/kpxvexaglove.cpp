#include "handsim/kpxvexaglove.hpp"

#include <string>

#include "devices/vexaglove.hpp"
#include "handsim/kpxdevicelink.hpp"

using kpxdevicelink::guarded;

kpxVexaGlove::kpxVexaGlove(kpxIOConn* conn, bool connectNow)
    : m_glove(kpxdevicelink::deviceOf<Devices::VexaGlove>(conn, "kpxVexaGlove", "a glove")) {
    if (connectNow)
        connect();
}

kpxVexaGlove::~kpxVexaGlove() {
    try {
        m_glove->disconnect();
    } catch (...) {
        // Closing never fails the caller's teardown.
    }
}

void kpxVexaGlove::connect() {
    guarded("kpxVexaGlove", [&] { m_glove->connect(); });
    if (!m_glove->isConnected())
        throw new kpxBaseException("kpxVexaGlove: \"" +
                                   std::string(m_glove->getName() ? m_glove->getName() : "") +
                                   "\" could not be connected");
}

void kpxVexaGlove::update() {
    if (!m_glove->isConnected())
        throw new kpxBaseException("kpxVexaGlove::update: the glove is not connected");
    guarded("kpxVexaGlove::update", [&] { m_glove->update(false); });
    for (int f = 0; f < kFingers; ++f)
        for (int j = 0; j < kJoints; ++j)
            m_angles[f][j] = m_glove->getSensorValue(kJoints * f + j);
    kpxDevice::update();
}

double kpxVexaGlove::getJointValue(int finger, int joint) const {
    checkJoint("kpxVexaGlove::getJointValue", finger, joint);
    return m_angles[finger][joint];
}

bool kpxVexaGlove::isLeftHand() {
    bool left = false;
    guarded("kpxVexaGlove::isLeftHand", [&] { left = m_glove->isLeftHand(); });
    return left;
}

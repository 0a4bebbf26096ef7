#include "handsim/kpxvexagrasp.hpp"

#include <string>

#include "devices/vexagrasp.hpp"
#include "handsim/kpxdevicelink.hpp"

using kpxdevicelink::guarded;

kpxVexaGrasp::kpxVexaGrasp(kpxIOConn* conn, bool connectNow)
    : m_grasp(kpxdevicelink::deviceOf<Devices::VexaGrasp>(conn, "kpxVexaGrasp", "a grasp")) {
    m_grasp->setContactPatches(m_patches);
    if (connectNow)
        connect();
}

kpxVexaGrasp::~kpxVexaGrasp() {
    try {
        if (m_grasp->isConnected())
            send(m_released);
    } catch (kpxBaseException* e) {
        delete e;
    }
    // The device library object outlives this one: it must not keep pointing at our patches.
    m_grasp->setContactPatches(nullptr);
    try {
        m_grasp->disconnect();
    } catch (...) {
        // Closing never fails the caller's teardown.
    }
}

void kpxVexaGrasp::connect() {
    guarded("kpxVexaGrasp", [&] { m_grasp->connect(); });
    if (!m_grasp->isConnected()) {
        const char* name = m_grasp->getName();
        throw new kpxBaseException(std::string("kpxVexaGrasp: \"") + (name ? name : "") +
                                   "\" could not be connected");
    }
}

void kpxVexaGrasp::setMode(int mode) {
    if (mode < MODE_OFF || mode > MODE_FORCE)
        throw new kpxBaseException("kpxVexaGrasp::setMode: no mode " + std::to_string(mode));
    m_mode = mode;
}

void kpxVexaGrasp::setContactPatches(kpxContactPatch* patches) {
    m_patches = patches ? patches : m_own;
}

kpxContactPatch& kpxVexaGrasp::getContactPatch(int k) {
    if (k < 0 || k >= kPatchCount)
        throw new kpxBaseException("kpxVexaGrasp::getContactPatch: no patch " + std::to_string(k));
    return m_patches[k];
}

void kpxVexaGrasp::clearContactPatches() {
    for (int k = 0; k < kPatchCount; ++k)
        m_patches[k] = kpxContactPatch();
}

void kpxVexaGrasp::update() {
    send(m_mode == MODE_FORCE ? m_patches : m_released);
}

void kpxVexaGrasp::sendZeroForces() {
    clearContactPatches();
    send(m_released);
}

void kpxVexaGrasp::send(const kpxContactPatch* patches) {
    if (!m_grasp->isConnected()) {
        m_mode = MODE_OFF;
        throw new kpxBaseException("kpxVexaGrasp::update: the grasp is not connected");
    }
    m_grasp->setContactPatches(patches);
    try {
        guarded("kpxVexaGrasp::update", [&] { m_grasp->update(false); });
    } catch (kpxBaseException*) {
        m_mode = MODE_OFF;
        throw;
    }
    kpxDevice::update();
}

#include "ghostdemo/simhand.hpp"

#include "framework/demomessage.hpp"
#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxghosthumanhand.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxioconn.hpp"
#include "handsim/kpxnode.hpp"
#include "handsim/kpxtracker.hpp"
#include "handsim/kpxvexaglove.hpp"

#include <string>

namespace {

// A toolkit failure while connecting shows `text` followed by the exception's.
template <typename Device>
std::unique_ptr<Device> connect(kpxIOConn* conn, const char* text) {
    try {
        return std::make_unique<Device>(conn, true);
    } catch (kpxBaseException* e) {
        const std::string message = std::string(text) + e->getMessage();
        delete e;
        demoMessageBox("Message", message.c_str());
        return nullptr;
    }
}

}  // namespace

SimHand::SimHand() : DemoApp("SimGhosting") {}

SimHand::~SimHand() = default;

bool SimHand::build() {
    bool left = false;
    kpxIOConn* glove = kpxIOConn::getDefault("RightGlove");
    if (glove == nullptr) {
        glove = kpxIOConn::getDefault("LeftGlove");
        left = glove != nullptr;
    }
    m_glove = connect<kpxVexaGlove>(
        glove,
        " Error with glove. If glove connects in KCU rename as RightGlove or LeftGlove "
        "accordingly. ");
    if (!m_glove) {
        return false;
    }
    m_tracker =
        connect<kpxTracker>(kpxIOConn::getDefault(kpxIOConn::TRACKER), "Error with tracker: ");
    if (!m_tracker) {
        return false;
    }

    m_master = std::make_unique<kpxHandMaster>(m_glove.get(), m_tracker->getDevice(0));
    m_hand = std::make_unique<kpxGhostHumanHand>(m_master.get(), 1.0,
                                                 left ? GHM::LEFT_HAND : GHM::RIGHT_HAND);

    if (openWindow() != 0) {
        return false;
    }
    m_drawer = std::make_unique<kpxOglDrawer>();
    m_transform.identity();
    m_scene = std::make_unique<GhostScene>();
    return true;
}

void SimHand::draw() {
    if (!m_scene) {
        return;
    }
    kpxSceneGraphGuard guard;
    m_drawer->draw(m_transform, &m_scene->root);
}

#include "ghostdemo/simhand.hpp"

#include "framework/demodevice.hpp"
#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxghosthumanhand.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxioconn.hpp"
#include "handsim/kpxnode.hpp"
#include "handsim/kpxtracker.hpp"
#include "handsim/kpxvexaglove.hpp"

#include <string>

SimHand::SimHand() : DemoApp("SimGhosting") {}

SimHand::~SimHand() = default;

bool SimHand::build() {
    bool left = false;
    kpxIOConn* glove = findRightOrLeft("RightGlove", "LeftGlove", &left);
    m_glove = connectDemoDevice<kpxVexaGlove>(
        glove,
        " Error with glove. If glove connects in KCU rename as RightGlove or LeftGlove "
        "accordingly. ");
    if (!m_glove) {
        return false;
    }
    m_tracker = connectDemoDevice<kpxTracker>(kpxIOConn::getDefault(kpxIOConn::TRACKER),
                                              "Error with tracker: ");
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

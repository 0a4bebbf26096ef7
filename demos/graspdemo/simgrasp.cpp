#include "graspdemo/simgrasp.hpp"

#include "framework/demodevice.hpp"
#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxcfhumanhand.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxioconn.hpp"
#include "handsim/kpxnode.hpp"
#include "handsim/kpxtracker.hpp"
#include "handsim/kpxvexaglove.hpp"
#include "handsim/kpxvexagrasp.hpp"

#include <string>

SimGrasp::SimGrasp() : DemoApp("SimForce") {}

SimGrasp::~SimGrasp() = default;

bool SimGrasp::build() {
    bool left = false;
    m_glove = connectDemoDevice<kpxVexaGlove>(
        findRightOrLeft("RightGlove", "LeftGlove", &left),
        " Error with glove. If glove connects in KCU rename as RightGlove or LeftGlove "
        "accordingly. ");
    if (!m_glove) {
        return false;
    }
    m_tracker = connectDemoDevice<kpxTracker>(
        findRightOrLeft("RightForce", "LeftForce"),
        " Error with tracker.If kortavel connects in KCU rename as RightForce or LeftForce "
        "accordingly. ");
    if (!m_tracker) {
        return false;
    }
    m_grasp = connectDemoDevice<kpxVexaGrasp>(
        findRightOrLeft("RightGrasp", "LeftGrasp"),
        " Error with grasp.If grasp connects in KCU rename as RightGrasp or LeftGrasp "
        "accordingly. ");
    if (!m_grasp) {
        return false;
    }
    m_grasp->setMode(kpxVexaGrasp::MODE_FORCE);

    m_master = std::make_unique<kpxHandMaster>(m_glove.get(), m_tracker->getDevice(0));
    m_hand = std::make_unique<kpxCFHumanHand>(m_master.get(), m_grasp.get(), 1.0,
                                              left ? GHM::LEFT_HAND : GHM::RIGHT_HAND);

    if (openWindow() != 0) {
        return false;
    }
    m_drawer = std::make_unique<kpxOglDrawer>();
    m_transform.identity();
    m_scene = std::make_unique<GraspScene>();
    return true;
}

void SimGrasp::draw() {
    if (!m_scene) {
        return;
    }
    kpxSceneGraphGuard guard;
    m_drawer->draw(m_transform, &m_scene->root);
}

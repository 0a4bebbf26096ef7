#include "graspdemo/simgrasp.hpp"

#include "framework/demomessage.hpp"
#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxcfhumanhand.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxioconn.hpp"
#include "handsim/kpxnode.hpp"
#include "handsim/kpxtracker.hpp"
#include "handsim/kpxvexaglove.hpp"
#include "handsim/kpxvexagrasp.hpp"

#include <string>

namespace {

// Connects a device of the right-hand name, else the left; a toolkit failure shows `text`
// followed by the exception's and gives null.
template <typename Device>
std::unique_ptr<Device> connect(const char* right, const char* left, const char* text,
                                bool* out_left = nullptr) {
    kpxIOConn* conn = kpxIOConn::getDefault(right);
    if (conn == nullptr) {
        conn = kpxIOConn::getDefault(left);
        if (out_left != nullptr && conn != nullptr) {
            *out_left = true;
        }
    }
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

SimGrasp::SimGrasp() : DemoApp("SimForce") {}

SimGrasp::~SimGrasp() = default;

bool SimGrasp::build() {
    bool left = false;
    m_glove = connect<kpxVexaGlove>(
        "RightGlove", "LeftGlove",
        " Error with glove. If glove connects in KCU rename as RightGlove or LeftGlove "
        "accordingly. ",
        &left);
    if (!m_glove) {
        return false;
    }
    m_tracker = connect<kpxTracker>(
        "RightForce", "LeftForce",
        " Error with tracker.If kortavel connects in KCU rename as RightForce or LeftForce "
        "accordingly. ");
    if (!m_tracker) {
        return false;
    }
    m_grasp = connect<kpxVexaGrasp>(
        "RightGrasp", "LeftGrasp",
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

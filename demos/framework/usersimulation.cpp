#include "framework/usersimulation.hpp"

#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxnode.hpp"

UserSimulation::UserSimulation(DemoApp* app, kpxGroup* root) : m_app(app), m_root(root) {
    if (root == nullptr) {
        throw new kpxBaseException("UserSimulation: a scene root is required");
    }
    m_ownCollision =
        std::make_unique<kpxCollisionEngine>(root, &m_factory, kpxCollisionEngine::CONTACTS);
    m_collision = m_ownCollision.get();
    addSubgraph(root);
}

UserSimulation::~UserSimulation() = default;

void UserSimulation::setCollisionEngine(kpxCollisionEngine* engine) {
    m_collision = engine != nullptr ? engine : m_ownCollision.get();
}

void UserSimulation::doSimulation() {
    updateDevices();
    kpxSceneGraphGuard guard;
    updateHands_locked();
    m_lastPairs = m_collision->collisionCheck();
    if (m_rule) {
        m_rule(m_collision->getCollidingPairs());
    }
    ++m_steps;
}

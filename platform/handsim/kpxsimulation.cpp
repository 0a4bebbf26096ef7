#include "handsim/kpxsimulation.hpp"

#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxhumanhand.hpp"
#include "handsim/kpxnode.hpp"
#include "handsim/kpxphalanx.hpp"

#include <algorithm>

kpxSimulation::kpxSimulation() = default;
kpxSimulation::~kpxSimulation() = default;

void kpxSimulation::doSimulation() {
    updateScene();
}

void kpxSimulation::addSubgraph(kpxGroup* subgraph) {
    if (subgraph == nullptr) {
        throw new kpxBaseException("kpxSimulation::addSubgraph: null subgraph");
    }
    std::lock_guard<std::mutex> lock(m_stepMutex);
    if (std::find(m_subgraphs.begin(), m_subgraphs.end(), subgraph) == m_subgraphs.end()) {
        m_subgraphs.push_back(subgraph);
    }
    attachHands();
}

void kpxSimulation::registerHand(kpxHumanHand* hand) {
    if (hand == nullptr) {
        throw new kpxBaseException("kpxSimulation::registerHand: null hand");
    }
    std::lock_guard<std::mutex> lock(m_stepMutex);
    if (std::find(m_hands.begin(), m_hands.end(), hand) == m_hands.end()) {
        m_hands.push_back(hand);
    }
    attachHands();
}

void kpxSimulation::attachHands() {
    kpxSceneGraphGuard guard;
    kpxGroup* target =
        m_subgraphs.empty() ? dynamic_cast<kpxGroup*>(kpxNode::getRoot()) : m_subgraphs.front();
    if (target == nullptr) {
        return;
    }
    for (kpxHumanHand* hand : m_hands) {
        for (int i = 0; i < kpxPhalanx::kCount; ++i) {
            kpxPhalanx* part = hand->getPhalanx(i);
            if (part->getParent() == nullptr) {
                target->addChild(part);
            }
        }
    }
}

void kpxSimulation::startSimulation() {
    m_running.store(true);
}

void kpxSimulation::stopSimulation() {
    m_running.store(false);
    std::lock_guard<std::mutex> lock(m_stepMutex);
}

void kpxSimulation::step() {
    std::lock_guard<std::mutex> lock(m_stepMutex);
    if (!m_running.load()) {
        return;
    }
    attachHands();
    doSimulation();
    for (kpxHumanHand* hand : m_hands) {
        hand->sendForces();
    }
}

void kpxSimulation::sendZeroForces() {
    std::lock_guard<std::mutex> lock(m_stepMutex);
    for (kpxHumanHand* hand : m_hands) {
        {
            kpxSceneGraphGuard guard;
            hand->clearContactPatches();
        }
        hand->sendForces();
    }
}

void kpxSimulation::updateDevices() {
    for (kpxHumanHand* hand : m_hands) {
        hand->pollDevices();
    }
}

void kpxSimulation::updateHands_locked() {
    for (kpxHumanHand* hand : m_hands) {
        hand->update(false);
        hand->clearContactPatches();
    }
}

void kpxSimulation::updateScene() {
    updateDevices();
    kpxSceneGraphGuard guard;
    updateHands_locked();
}

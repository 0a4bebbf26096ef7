#pragma once
// The demos' simulation step: update the scene from the devices, check collisions over the
// scene root, and hand this step's colliding pairs to the demo's contact rule. The pose
// update, the check and the rule run under one hold of the scene-graph lock, so a frame is
// never drawn half-resolved; device I/O stays outside it.
//
// Runs on the engine's thread (or a test's). The application, root and a collision engine
// given from outside are not owned.

#include "handsim/kpxcollisionengine.hpp"
#include "handsim/kpxsimulation.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class DemoApp;
class kpxGroup;

class UserSimulation : public kpxSimulation {
  public:
    // What a demo does with one step's colliding pairs; called with the scene-graph lock
    // held, also when there are none.
    using ContactRule = std::function<void(const std::vector<kpxCollisionPair>&)>;

    // Throws kpxBaseException* for a null root. Until setCollisionEngine(), the simulation
    // checks the root with a collision engine of its own (V-Clip factory, mode 2).
    UserSimulation(DemoApp* app, kpxGroup* root);
    ~UserSimulation() override;

    void setCollisionEngine(kpxCollisionEngine* engine);
    void setContactRule(ContactRule rule) { m_rule = std::move(rule); }

    void doSimulation() override;

    DemoApp* getApp() const { return m_app; }
    kpxGroup* getRoot() const { return m_root; }
    kpxCollisionEngine* getCollisionEngine() const { return m_collision; }
    // Steps done and pairs found by the last one (engine thread; for tests and status).
    std::uint64_t getStepCount() const { return m_steps; }
    int getLastPairCount() const { return m_lastPairs; }

  private:
    DemoApp* m_app;
    kpxGroup* m_root;
    kpxVClipCollisionFactory m_factory;
    std::unique_ptr<kpxCollisionEngine> m_ownCollision;
    kpxCollisionEngine* m_collision;
    ContactRule m_rule;
    std::uint64_t m_steps = 0;
    int m_lastPairs = 0;
};

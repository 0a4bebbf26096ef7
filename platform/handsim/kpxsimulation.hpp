#pragma once
// A simulation the engine steps: the user overrides doSimulation() and builds it from the
// helpers here. Registered hands put their parts (kpxPhalanx, physical kind 2) into the
// scene: under the first subgraph added, or under the scene root when there is none.
//
// Threads: step() and doSimulation() run on the engine's thread (or on whoever steps the
// engine); the rest may be called from any thread. Hands and subgraphs are not owned and
// must outlive the simulation's use of them.

#include <atomic>
#include <mutex>
#include <vector>

class kpxGroup;
class kpxHumanHand;
class kpxNode;

class kpxSimulation {
  public:
    kpxSimulation();
    virtual ~kpxSimulation();
    kpxSimulation(const kpxSimulation&) = delete;
    kpxSimulation& operator=(const kpxSimulation&) = delete;

    // One step of the user's simulation; the default only updates the scene.
    virtual void doSimulation();

    // Throws kpxBaseException* for null.
    void addSubgraph(kpxGroup* subgraph);
    void registerHand(kpxHumanHand* hand);
    const std::vector<kpxHumanHand*>& getHands() const { return m_hands; }

    // Stepping is on from construction. stopSimulation() returns once no step is running,
    // and no step starts until startSimulation().
    void startSimulation();
    void stopSimulation();
    bool isSimulationRunning() const { return m_running.load(); }

    // The engine's entry: doSimulation(), then each hand sends its forces (outside the
    // scene-graph lock). Does nothing while stopped.
    void step();
    // Empties every hand's contact patches and sends them: the force feedback goes slack.
    // Call with the engine stopped.
    void sendZeroForces();

  protected:
    // Polls every hand's devices (no lock held).
    void updateDevices();
    // Poses every hand from its devices' latest values and empties its contact patches, so
    // that only contacts found again in this step carry force. Caller holds the scene-graph
    // lock.
    void updateHands_locked();
    // updateDevices(), then updateHands_locked() under the lock.
    void updateScene();

  private:
    void attachHands();

    std::vector<kpxHumanHand*> m_hands;
    std::vector<kpxGroup*> m_subgraphs;
    std::atomic<bool> m_running{true};
    std::mutex m_stepMutex;  // held for the whole of a step
};

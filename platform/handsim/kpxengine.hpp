#pragma once
// Steps a kpxSimulation at a fixed period, on a thread of its own or on the caller's.
// Stopping wakes the thread and joins it; a step in progress finishes first. A toolkit
// exception thrown by a step ends the stepping and is kept as the engine's last error.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class kpxHumanHand;
class kpxSimulation;

class kpxEngine {
  public:
    // With `threaded` false nothing runs by itself: the owner calls step().
    explicit kpxEngine(bool threaded = true);
    // Stops and joins.
    ~kpxEngine();
    kpxEngine(const kpxEngine&) = delete;
    kpxEngine& operator=(const kpxEngine&) = delete;

    // Hands registered before or after useSimulation() all reach the simulation. Neither
    // hands nor the simulation are owned. Throws kpxBaseException* for null.
    void registerHand(kpxHumanHand* hand);
    void useSimulation(kpxSimulation* simulation);
    kpxSimulation* getSimulation() const { return m_simulation; }

    // Seconds between step starts; 0.03 by default. Throws kpxBaseException* unless in
    // 0.001 .. 10.
    void setPeriod(double seconds);
    double getPeriod() const { return m_period; }

    // Starts the stepping thread (threaded engines). Throws kpxBaseException* without a
    // simulation. Starting a running engine does nothing.
    void start();
    // Idempotent; returns when no step is running and the thread is joined.
    void stop();
    bool isRunning() const;

    // One step on the calling thread: the simulation's step(), exceptions caught and kept.
    void step();
    std::uint64_t getStepCount() const;
    // Empty while no step has failed.
    std::string getLastError() const;

  private:
    void run();

    bool m_threaded;
    double m_period = 0.03;
    kpxSimulation* m_simulation = nullptr;
    std::vector<kpxHumanHand*> m_hands;

    mutable std::mutex m_mutex;  // guards the fields below
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_failed = false;
    std::uint64_t m_steps = 0;
    std::string m_lastError;
    std::thread m_thread;
};

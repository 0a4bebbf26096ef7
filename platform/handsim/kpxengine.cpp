#include "handsim/kpxengine.hpp"

#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxsimulation.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>

kpxEngine::kpxEngine(bool threaded) : m_threaded(threaded) {}

kpxEngine::~kpxEngine() {
    stop();
}

void kpxEngine::registerHand(kpxHumanHand* hand) {
    if (hand == nullptr) {
        throw new kpxBaseException("kpxEngine::registerHand: null hand");
    }
    m_hands.push_back(hand);
    if (m_simulation != nullptr) {
        m_simulation->registerHand(hand);
    }
}

void kpxEngine::useSimulation(kpxSimulation* simulation) {
    if (simulation == nullptr) {
        throw new kpxBaseException("kpxEngine::useSimulation: null simulation");
    }
    if (isRunning()) {
        throw new kpxBaseException("kpxEngine::useSimulation: stop the engine first");
    }
    m_simulation = simulation;
    for (kpxHumanHand* hand : m_hands) {
        simulation->registerHand(hand);
    }
}

void kpxEngine::setPeriod(double seconds) {
    if (!(seconds >= 0.001 && seconds <= 10.0)) {
        throw new kpxBaseException("kpxEngine::setPeriod: period out of range");
    }
    m_period = seconds;
}

void kpxEngine::start() {
    if (m_simulation == nullptr) {
        throw new kpxBaseException("kpxEngine::start: no simulation in use");
    }
    if (!m_threaded || m_thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
    }
    m_thread = std::thread([this] { run(); });
}

void kpxEngine::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool kpxEngine::isRunning() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_thread.joinable() && !m_stop && !m_failed;
}

std::uint64_t kpxEngine::getStepCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_steps;
}

std::string kpxEngine::getLastError() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastError;
}

void kpxEngine::step() {
    if (m_simulation == nullptr) {
        return;
    }
    std::string error;
    try {
        m_simulation->step();
    } catch (kpxBaseException* e) {
        error = e->message();
        delete e;
    } catch (const std::exception& e) {
        error = e.what();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_steps;
    if (!error.empty()) {
        m_failed = true;
        m_lastError = error;
        std::fprintf(stderr, "kpxEngine: simulation step failed: %s\n", error.c_str());
    }
}

void kpxEngine::run() {
    using clock = std::chrono::steady_clock;
    const auto period =
        std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(m_period));
    auto next = clock::now();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_wake.wait_until(lock, next, [this] { return m_stop; }) || m_failed) {
                return;
            }
        }
        step();
        next += period;
        // A late step does not make the next ones hurry to catch up.
        const auto now = clock::now();
        if (next < now) {
            next = now;
        }
    }
}

// One simulation step of each window demo's scene (hand pose from its inputs, collision
// through FCL, then the demo's contact rule: force patches on the sphere, the ghost hand's
// resolution at the box) against the demos' 30 ms frame. The inputs are emulated and follow
// a script that sweeps the hand in and out of the object while the fingers curl, so most
// steps have contacts.

#include "framework/usersimulation.hpp"
#include "ghostdemo/ghostscene.hpp"
#include "graspdemo/graspscene.hpp"
#include "handsim/kpx6dofdevice.hpp"
#include "handsim/kpxghosthumanhand.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxhumanhand.hpp"
#include "handsim/kpxtrackeremulator.hpp"
#include "handsim/kpxvexagloveemulator.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>

namespace {

constexpr double kFrameSeconds = 0.030;
constexpr double kAim = 0.03;  // of a frame
constexpr int kScriptSteps = 256;

struct Inputs {
    kpxVexaGloveEmulator glove;
    kpxTrackerEmulator tracker;
    kpxHandMaster master{&glove, tracker.getDevice(0)};

    // Step i of the script: fingers pointing along +x, the hand's wrist swept from x0 - 6
    // to x0 + 6 and back, the fingers curling and opening twice per sweep.
    void pose(int i, double x0) {
        const double phase = 2.0 * std::numbers::pi * i / kScriptSteps;
        kpx6DofDevice* d = tracker.getDevice(0);
        d->setValue(0, x0 + 6.0 * std::sin(phase));
        d->setValue(1, 1.0);
        d->setValue(5, -std::numbers::pi / 2);
        const double curl = -0.6 * (1.0 - std::cos(2.0 * phase));
        for (int f = 0; f < 5; ++f) {
            for (int j = 0; j < 3; ++j) {
                glove.setJointValue(f, j, curl);
            }
        }
    }
};

// Wrist where the middle fingertip just reaches the object's near face at the sweep's middle.
constexpr double kGraspWrist = -8.0 - 19.0;
constexpr double kGhostWrist = -2.5 - 19.0;

// The console table, then each step as a fraction of the frame beside the aim.
class FrameReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.iterations <= 0) {
                continue;
            }
            const double step = run.real_accumulated_time / static_cast<double>(run.iterations);
            std::printf("%-10s %.4f of the %.0f ms frame (aim <= %.2f)%s\n",
                        run.benchmark_name().c_str(), step / kFrameSeconds, kFrameSeconds * 1e3,
                        kAim, step / kFrameSeconds <= kAim ? "" : "  OVER");
        }
    }
};

void GraspStep(benchmark::State& state) {
    GraspScene scene;
    Inputs in;
    kpxHumanHand hand(&in.master, 1.0, GHM::RIGHT_HAND);
    UserSimulation sim(nullptr, &scene.root);
    sim.registerHand(&hand);
    sim.setContactRule(
        [](const std::vector<kpxCollisionPair>& pairs) { applyGraspContacts(pairs, nullptr); });
    int i = 0;
    long contacts = 0;
    for (auto _ : state) {
        in.pose(i, kGraspWrist);
        sim.doSimulation();
        contacts += sim.getLastPairCount();
        i = (i + 1) % kScriptSteps;
    }
    state.counters["pairs_per_step"] =
        static_cast<double>(contacts) / static_cast<double>(state.iterations());
}
BENCHMARK(GraspStep);

void GhostStep(benchmark::State& state) {
    GhostScene scene;
    Inputs in;
    kpxGhostHumanHand hand(&in.master, 1.0, GHM::RIGHT_HAND);
    UserSimulation sim(nullptr, &scene.root);
    scene.createCollisionEngine();
    sim.setCollisionEngine(scene.collision.get());
    sim.registerHand(&hand);
    sim.setContactRule([&hand](const std::vector<kpxCollisionPair>& pairs) {
        for (const kpxCollisionPair& pair : pairs) {
            hand.handleCollision(pair);
        }
    });
    int i = 0;
    long contacts = 0;
    for (auto _ : state) {
        in.pose(i, kGhostWrist);
        sim.doSimulation();
        contacts += sim.getLastPairCount();
        i = (i + 1) % kScriptSteps;
    }
    state.counters["pairs_per_step"] =
        static_cast<double>(contacts) / static_cast<double>(state.iterations());
}
BENCHMARK(GhostStep);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::printf("frame budget: %.0f ms; aim: one step within %.2f of it (%.2f ms)\n",
                kFrameSeconds * 1e3, kAim, kAim * kFrameSeconds * 1e3);
    FrameReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

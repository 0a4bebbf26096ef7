// One I/O sample (the glove read through the device manager) plus one evaluation of all 21
// joints (hand kinematics, binding, node writes) of the hand device, as a fraction of a
// 120 Hz frame. The glove is kelbsim behind a pseudo-terminal, the device the real plug-in
// library loaded as the animation host loads it.

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fbsdk/fbhost.h"
#include "fbsdk/fbsdk.h"
#include "testsupport/simulator.hpp"

namespace {

constexpr double kFrameSeconds = 1.0 / 120.0;

// The sample registry with its simulated glove on our link, in a file of its own.
std::string registryFor(const std::string& link) {
    std::ifstream in(SAMPLE_REGISTRY);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const std::string fixed = "/tmp/manuvia-kelb0";
    if (auto at = text.find(fixed); at != std::string::npos)
        text.replace(at, fixed.size(), link);
    std::string path = "/tmp/bench-mbplugin-" + std::to_string(::getpid()) + ".json";
    std::ofstream(path) << text;
    return path;
}

void IoSampleAndEvaluation(benchmark::State& state) {
    const std::string link = "/tmp/mbb-" + std::to_string(::getpid());
    testsupport::Simulator sim(KELBSIM_PATH, link);
    if (!sim.ready()) {
        state.SkipWithError("kelbsim did not start");
        return;
    }
    const std::string registry = registryFor(link);
    ::setenv("MANUVIA_REGISTRY", registry.c_str(), 1);

    void* library = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    auto init =
        library ? reinterpret_cast<FBLibraryInitFunction>(dlsym(library, FB_LIBRARY_INIT_SYMBOL))
                : nullptr;
    auto entry =
        library
            ? reinterpret_cast<FBEntryPointFunction>(dlsym(library, "EntryPointordevicemanuvia"))
            : nullptr;
    if (!init || !entry) {
        state.SkipWithError("the plug-in library does not load");
        return;
    }
    init();
    entry(kFBDllLoad);
    FBHost::ComponentPtr component = FBHost::create("Boxes/Devices", "Manuvia", "Manuvia");
    auto* device = dynamic_cast<FBDevice*>(component.get());
    FBHost::ComponentPtr layout = device ? FBHost::createLayout(*device) : nullptr;
    if (!device || !layout || !FBHost::setOnline(*device, true)) {
        state.SkipWithError("the device did not start on the simulated glove");
        return;
    }
    FBHost::setTransportMode(kFBTransportStop);
    const FBTime period = device->SamplingPeriod.Get();
    long k = 0;
    auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        FBHost::deviceIO(*device, kIOStopModeWrite, period * k);
        benchmark::DoNotOptimize(FBHost::evaluate(*device, period * k));
        ++k;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Samples the device took, to show the glove answered every read.
    state.counters["acknowledged_share"] =
        static_cast<double>(device->GetSampleCount()) / static_cast<double>(k ? k : 1);
    FBHost::setOnline(*device, false);
    layout.reset();
    component.reset();
    std::remove(registry.c_str());

    // Wall time per sample over the frame: the share of a 120 Hz frame one sample costs.
    const double fraction = seconds / static_cast<double>(k ? k : 1) / kFrameSeconds;
    char label[96];
    std::snprintf(label, sizeof label, "%.5f of a 120 Hz frame (%.2f us; goal 0.001)", fraction,
                  kFrameSeconds * 1e6);
    state.SetLabel(label);
}
BENCHMARK(IoSampleAndEvaluation)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::printf("frame budget at 120 Hz: %.2f us; goal: at most 0.001 of it (%.2f us)\n",
                kFrameSeconds * 1e6, kFrameSeconds * 1e3);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

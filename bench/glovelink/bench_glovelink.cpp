// Frame decode plus raw-to-angle conversion on one core, with no Qt object anywhere, against the
// line rate of 61-byte frames at 115200 baud (10 bits a byte on the wire: about 189 frames per
// second).

#include "link/gloveprotocol.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr double kLineRate = 115200.0 / 10.0 / glove::kFrameSize;

// Frames with moving values, so the hysteresis takes most of them.
std::vector<std::array<char, glove::kFrameSize>> makeFrames(int count) {
    std::vector<std::array<char, glove::kFrameSize>> frames(static_cast<size_t>(count));
    for (int f = 0; f < count; ++f) {
        auto& frame = frames[static_cast<size_t>(f)];
        frame.fill('\0');
        std::snprintf(frame.data(), 14, "%02d:%02d:%02d:%1d:%02d", 12, f / 60 % 60, f % 60, f % 3,
                      f % 30);
        for (int s = 0; s < glove::kFrameSlotCount; ++s) {
            const int v = 1000 + ((f * 97 + s * 131) % 2000);
            frame[static_cast<size_t>(14 + 2 * s)] = static_cast<char>(v >> 8);
            frame[static_cast<size_t>(15 + 2 * s)] = static_cast<char>(v & 0xFF);
        }
    }
    return frames;
}

void DecodeAndAngles(benchmark::State& state) {
    glove::Decoder link;
    link.setSensorCount(static_cast<int>(state.range(0)));
    const auto frames = makeFrames(1024);
    size_t i = 0;
    for (auto _ : state) {
        const bool ok = link.decodeFrame(frames[i].data());
        link.computeAngles();
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(link.angle(1, 1));
        i = (i + 1) & 1023;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["line_rate_frames_per_s"] = kLineRate;
    state.counters["times_line_rate"] = benchmark::Counter(
        static_cast<double>(state.iterations()) / kLineRate, benchmark::Counter::kIsRate);
}
BENCHMARK(DecodeAndAngles)->Arg(18)->Arg(22);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::printf("line rate of 61-byte frames at 115200 baud: %.1f frames/s\n", kLineRate);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

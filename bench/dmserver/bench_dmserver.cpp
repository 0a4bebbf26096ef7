// Stream latency through dmserver: 8 dummy devices at 120 Hz, 32 remote clients each
// subscribed to all 8, on loopback. The server stamps each record inside the device's write
// (its stream reader runs on the plug-in's thread); a client's handler takes the difference
// on the same host's monotonic clock. Reported: median and 99th percentile in microseconds.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "remotesession.hpp"

namespace {

constexpr int kDevices = 8;
constexpr int kClients = 32;

uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// One per client, so that the 32 receive threads never wait for each other's bookkeeping,
// and reserved ahead, so that no sample pays for a vector growing under it.
struct Collector {
    std::mutex mutex;
    std::vector<double> micros;
    bool recording = false;
    Collector() { micros.reserve(1 << 13); }
};

// dmserver on an ephemeral loopback port; stopped with SIGTERM.
struct ServerProcess {
    pid_t pid = -1;
    int port = 0;
    ServerProcess() {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        // DMSERVER picks another build of the server, to compare two builds back to back.
        const char* env = std::getenv("DMSERVER");
        const std::string path = env != nullptr && *env != '\0' ? env : DMSERVER_PATH;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            execl(path.c_str(), path.c_str(), "--bind", "127.0.0.1:0", "--log-level", "warn",
                  "--config", "/dev/null", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string line;
        pollfd p{out[0], POLLIN, 0};
        char c = 0;
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0 &&
               read(out[0], &c, 1) == 1) {
            line += c;
        }
        close(out[0]);
        size_t at = line.find("127.0.0.1:");
        port = at == std::string::npos ? 0 : std::atoi(line.c_str() + at + 10);
    }
    ~ServerProcess() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

void BM_StreamLatency(benchmark::State& state) {
    ServerProcess server;
    if (server.port == 0) {
        state.SkipWithError("dmserver did not start");
        return;
    }
    std::vector<Collector> collectors(kClients);
    std::vector<std::unique_ptr<rzremote::Session>> clients;
    for (int c = 0; c < kClients; ++c) {
        int r = 0;
        auto s = rzremote::Session::connect(
            "127.0.0.1", server.port,
            [&collector = collectors[c]](uint32_t, const rzwire::DataRecord& rec) {
                double us = static_cast<double>(monotonicNs() - rec.stampNs) / 1000.0;
                std::lock_guard<std::mutex> lock(collector.mutex);
                if (collector.recording && rec.kind == rzwire::DataKind::Data) {
                    collector.micros.push_back(us);
                }
            },
            10000, r);
        if (!s) {
            state.SkipWithError("client could not connect");
            return;
        }
        for (int d = 0; d < kDevices; ++d) {
            uint32_t handle = 0, instance = 0, topic = 0;
            std::string device = "src" + std::to_string(d) + ":nsensors=24:rate=120";
            if (s->open("dummy", device, handle, instance) != 0 || s->attach(handle, topic) != 0) {
                state.SkipWithError("open or attach failed");
                return;
            }
        }
        clients.push_back(std::move(s));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // subscriptions settle
    for (auto _ : state) {
        for (Collector& collector : collectors) {
            std::lock_guard<std::mutex> lock(collector.mutex);
            collector.micros.clear();
            collector.recording = true;
        }
        std::this_thread::sleep_for(std::chrono::seconds(3));
        for (Collector& collector : collectors) {
            std::lock_guard<std::mutex> lock(collector.mutex);
            collector.recording = false;
        }
    }
    clients.clear();
    std::vector<double> v;
    for (Collector& collector : collectors) {
        v.insert(v.end(), collector.micros.begin(), collector.micros.end());
    }
    if (v.empty()) {
        state.SkipWithError("no records");
        return;
    }
    std::sort(v.begin(), v.end());
    state.counters["records"] = static_cast<double>(v.size());
    state.counters["p50_us"] = v[v.size() / 2];
    state.counters["p99_us"] = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    state.counters["max_us"] = v.back();
}
BENCHMARK(BM_StreamLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// Bytes written into a pseudo-terminal until the reader callback of the stream linemux feeds
// sees them, at 1000 records per second, beside the floor: the same records written and
// read straight through the same kind of terminal (poll and read on the other end).
//
// Each benchmark reports the median and the 99th percentile in microseconds.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"
#include "testsupport/pty.hpp"
#include "tty/tty.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRecords = 2000;    // two seconds at 1000 records per second
constexpr int kRecordBytes = 27;  // a glove record: kind, 24 sensors, status, NUL

using testsupport::Pty;

struct Timing {
    std::vector<Clock::time_point> written = std::vector<Clock::time_point>(kRecords);
    std::vector<Clock::time_point> seen = std::vector<Clock::time_point>(kRecords);
    std::atomic<int> count{0};
};

void record(uint8_t* out) {
    out[0] = 'S';
    for (int i = 1; i < kRecordBytes - 1; ++i) {
        out[i] = static_cast<uint8_t>(i);
    }
    out[kRecordBytes - 1] = 0;
}

// Writes kRecords records at 1 ms intervals, stamping each.
void feed(int fd, Timing& t) {
    uint8_t rec[kRecordBytes];
    record(rec);
    auto next = Clock::now();
    for (int i = 0; i < kRecords; ++i) {
        std::this_thread::sleep_until(next);
        t.written[static_cast<size_t>(i)] = Clock::now();
        if (write(fd, rec, sizeof(rec)) != static_cast<ssize_t>(sizeof(rec))) {
            break;
        }
        next += std::chrono::milliseconds(1);
    }
}

void report(benchmark::State& state, Timing& t) {
    int n = std::min(t.count.load(), kRecords);
    std::vector<double> us;
    for (int i = 0; i < n; ++i) {
        us.push_back(std::chrono::duration<double, std::micro>(t.seen[static_cast<size_t>(i)] -
                                                               t.written[static_cast<size_t>(i)])
                         .count());
    }
    std::sort(us.begin(), us.end());
    if (us.empty()) {
        state.SkipWithError("no record arrived");
        return;
    }
    state.counters["records"] = static_cast<double>(n);
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// Counts completed records (NUL-terminated) as the callback sees them.
int reader(RzDataStream* s, int reason) {
    auto* t = static_cast<Timing*>(RZ_DataStreamUser(s));
    if (reason != RZ_STREAM_DATA) {
        return 0;
    }
    int len;
    while ((len = RZ_DataStreamScan(s, 0, 1000000)) > 0) {
        uint8_t buf[2048];
        RZ_DataStreamRead(s, buf, len);
        int i = t->count.load();
        if (i < kRecords) {
            t->seen[static_cast<size_t>(i)] = Clock::now();
            t->count.store(i + 1);
        }
    }
    return RZERR_DATASTREAM_IN_PROGRESS;
}

void BM_Floor(benchmark::State& state) {
    for (auto _ : state) {
        Pty pty;
        int slave = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        tty::makeRaw(slave);
        Timing t;
        std::atomic<bool> stop{false};
        std::thread readerThread([&] {
            // The same priority linemux gives its watcher, so both run under the same terms.
            sched_param param{};
            param.sched_priority = sched_get_priority_max(SCHED_FIFO);
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
            int pendingNul = 0;
            while (!stop && t.count.load() < kRecords) {
                pollfd p{slave, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) {
                    continue;
                }
                uint8_t buf[4096];
                ssize_t n = read(slave, buf, sizeof(buf));
                for (ssize_t i = 0; i < n; ++i) {
                    if (buf[i] == 0) {
                        ++pendingNul;
                    }
                }
                auto now = Clock::now();
                for (; pendingNul > 0; --pendingNul) {
                    int i = t.count.load();
                    t.seen[static_cast<size_t>(i)] = now;
                    t.count.store(i + 1);
                }
            }
        });
        feed(pty.master(), t);
        for (int i = 0; i < 200 && t.count.load() < kRecords; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        stop = true;
        readerThread.join();
        close(slave);
        report(state, t);
    }
}

void BM_LinemuxStream(benchmark::State& state) {
    for (auto _ : state) {
        Pty pty;
        Timing t;
        RzInstance* port = RZ_InstanceOpen((pty.path() + ":device=ioman").c_str());
        if (port == nullptr) {
            state.SkipWithError("linemux did not open the terminal (is the plug-in built?)");
            return;
        }
        RzDataStream* stream = RZ_DataStreamNew(2048, reader, &t);
        RZ_InstanceAttach(port, stream);
        feed(pty.master(), t);
        for (int i = 0; i < 200 && t.count.load() < kRecords; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        RZ_InstanceDetach(port, stream);
        RZ_InstanceClose(port);
        RZ_DataStreamDestroy(stream);
        report(state, t);
    }
}

BENCHMARK(BM_Floor)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LinemuxStream)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    RZ_UnloadPlugins();
    return 0;
}

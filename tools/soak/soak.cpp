// soak: simulated wired gloves (kelbsim) streaming through the device manager's real core and
// glove plug-in to data-stream clients and polling readers for a given time, with a fault
// struck at every interval (in turn: the simulator killed and started again on the same link,
// a burst of garbage, a silence). Reports what was delivered and lost, the faults and their
// recoveries, and memory and descriptors at the start and the end; exits non-zero when
// something leaked, a glove never came back or a client saw a set made of two records.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"
#include "faults/resources.hpp"
#include "testsupport/checks.hpp"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kSets = 24;
constexpr int kSetBytes = kSets * 8;
constexpr double kRateHz = 100;
constexpr auto kRecoveryLimit = 40s;  // the plug-in's own silence recovery takes up to ~10 s

std::atomic<int> gHarnessFailures{0};
volatile sig_atomic_t gInterrupted = 0;

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// The joint set without the thumb roll, which follows the previous set.
using Set = std::array<double, kSets - 1>;

// One client: a data stream (sets pushed to it) or a polling reader (raw bytes pulled).
struct Client {
    bool polling = false;
    RzDataStream* stream = nullptr;
    std::atomic<long> received{0};
    std::atomic<long> corrupt{0};
    std::atomic<long> gaps{0};      // sets missing by the arrival times (data streams)
    std::atomic<double> lastAt{0};  // seconds since the start of the run
    std::mutex mutex;               // guards distinct
    std::set<Set> distinct;         // at most the two records' sets (else corrupt)
    Clock::time_point start;
};

int streamReader(RzDataStream* s, int reason) {
    auto* c = static_cast<Client*>(RZ_DataStreamUser(s));
    if (reason != RZ_STREAM_DATA) {
        return 0;
    }
    uint8_t buf[kSetBytes];
    for (int i = 0; i < 1000 && RZ_DataStreamAvailable(s) >= kSetBytes; ++i) {
        if (RZ_DataStreamRead(s, buf, kSetBytes) != kSetBytes) {
            break;
        }
        Set set;
        for (int k = 0; k < kSets - 1; ++k) {
            set[k] = RZ_GetDouble(buf + 8 * k);
        }
        {
            std::lock_guard<std::mutex> lock(c->mutex);
            if (c->distinct.count(set) == 0) {
                if (c->distinct.size() >= 2) {
                    c->corrupt.fetch_add(1);
                } else {
                    c->distinct.insert(set);
                }
            }
        }
        const double now = secondsSince(c->start);
        const double last = c->lastAt.exchange(now);
        const long missing = last > 0 ? std::lround((now - last) * kRateHz) - 1 : 0;
        // Deliveries come in batches; only a gap of several periods is a loss.
        if (missing > 3) {
            c->gaps.fetch_add(missing);
        }
        c->received.fetch_add(1);
    }
    return 0;
}

struct Glove {
    int index = 0;
    std::string link;
    std::vector<std::string> script;
    std::unique_ptr<testsupport::Simulator> sim;
    std::atomic<RzDeviceHandle> handle{0};
    std::vector<Client*> clients;
    Clock::time_point faultAt;
    bool awaitingRecovery = false;
    long receivedAtFault = 0;
    pid_t stoppedPid = 0;  // silence: the stopped simulator
    Clock::time_point resumeAt;
    bool garbageRun = false;  // running with the garbage faults until the next restart
    Clock::time_point garbageUntil;
};

const std::string kKelbsim = KELBSIM_PATH;

void startSim(Glove& g, std::vector<std::string> extra) {
    ::unlink(g.link.c_str());  // a killed simulator leaves its link behind
    std::vector<std::string> args = g.script;
    args.insert(args.end(), extra.begin(), extra.end());
    g.sim = std::make_unique<testsupport::Simulator>(kKelbsim, g.link, args);
}

void detachAll(Glove& g) {
    RzDeviceHandle h = g.handle.exchange(0);
    if (h == 0) {
        return;
    }
    for (Client* c : g.clients) {
        if (!c->polling) {
            RZ_DeviceDetachDataStream(h, c->stream);
        }
    }
    RZ_DeviceClose(h);
}

bool openAndAttach(Glove& g) {
    RzDeviceHandle h = 0;
    for (int i = 0; i < 50 && h == 0; ++i) {
        h = RZ_DeviceOpen("server=localhost:port=0", g.link.c_str(), "glove");
        if (h == 0) {
            std::this_thread::sleep_for(100ms);
        }
    }
    if (h == 0) {
        return false;
    }
    for (Client* c : g.clients) {
        if (!c->polling) {
            c->lastAt.store(0);
            RZ_DeviceAttachDataStream(h, c->stream);
        }
    }
    g.handle.store(h);
    return true;
}

// Sets pushed to the glove's data streams: what shows that it streams (pollers read the last
// values whether or not new ones came).
long receivedBy(const Glove& g) {
    long n = 0;
    for (const Client* c : g.clients) {
        n += c->polling ? 0 : c->received.load();
    }
    return n;
}

void restart(Glove& g, std::vector<std::string> extra) {
    detachAll(g);
    g.sim->signal(SIGKILL);
    g.sim->waitExit(10s);  // collected here: the kill was ours
    g.sim.reset();
    startSim(g, std::move(extra));
    if (!g.sim->ready() || !openAndAttach(g)) {
        std::fprintf(stderr, "soak: glove %d could not be opened again\n", g.index);
    }
}

// Polling readers: every 10 ms each reads the raw bytes (message 15, item 1) of its glove; a
// record's bytes are all alike, so bytes from two records show.
void pollLoop(std::vector<std::pair<Client*, Glove*>> pollers, const std::atomic<bool>& stop) {
    while (!stop.load()) {
        for (auto& [c, g] : pollers) {
            RzDeviceHandle h = g->handle.load();
            if (h == 0) {
                continue;
            }
            uint8_t raw[256];
            const int n = RZ_DeviceControlGet(h, 15, 1, raw, sizeof raw);
            if (n < kSets) {
                continue;
            }
            const bool whole =
                std::all_of(raw, raw + kSets, [&](uint8_t b) { return b == raw[0]; });
            if (!whole) {
                c->corrupt.fetch_add(1);
            }
            c->received.fetch_add(1);
        }
        std::this_thread::sleep_for(10ms);
    }
}

void onSignal(int) {
    gInterrupted = 1;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 600;
    int gloveCount = 3;
    int clientCount = 6;
    int faultEvery = 60;
    unsigned seed = 1;
    CLI::App app{"Gloves streaming through the device manager for a long time, with faults.",
                 "soak"};
    app.add_option("--seconds", seconds, "How long to run")->check(CLI::Range(1, 7 * 86400));
    app.add_option("--gloves", gloveCount, "Simulated gloves")->check(CLI::Range(1, 16));
    app.add_option("--clients", clientCount, "Clients (data streams and pollers, in turn)")
        ->check(CLI::Range(1, 64));
    app.add_option("--fault-every", faultEvery, "Seconds between faults")
        ->check(CLI::Range(1, 86400));
    app.add_option("--seed", seed, "Seed of the fault choices");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return e.get_exit_code() == 0 ? app.exit(e)
                                      : (std::fprintf(stderr, "soak: %s\n", e.what()), 2);
    }
    if (clientCount < gloveCount) {
        std::fprintf(stderr, "soak: --clients must be at least --gloves\n");
        return 2;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    testsupport::setFailureHandler([](const std::string& message) {
        std::fprintf(stderr, "soak: %s\n", message.c_str());
        gHarnessFailures.fetch_add(1);
    });

    if (RZ_LoadPlugins(nullptr) < 1) {
        std::fprintf(stderr, "soak: no device-manager plug-ins\n");
        return 1;
    }
    RZ_SetVerbosity(-1);
    testsupport::TempDir dir("manuvia-soak");
    const int fdsStart = faults::openDescriptors();
    const long rssStart = faults::residentKb();
    const auto start = Clock::now();

    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::unique_ptr<Glove>> gloves;
    for (int i = 0; i < gloveCount; ++i) {
        auto g = std::make_unique<Glove>();
        g->index = i;
        g->link = dir.file("glove" + std::to_string(i));
        // Two records in turn, every byte alike within one, far apart between them. kelbsim
        // holds its script's last line, so the turns are written out for the whole run.
        const std::string a = std::to_string(40 + 5 * i) + "\n";
        const std::string b = std::to_string(140 + 5 * i) + "\n";
        std::string turns;
        const long lines = std::min<long>(static_cast<long>(kRateHz) * (seconds + 60), 400000);
        for (long k = 0; k < lines; ++k) {
            turns += k % 2 == 0 ? a : b;
        }
        g->script = {"--rate", "100", "--script", dir.write("script" + std::to_string(i), turns)};
        gloves.push_back(std::move(g));
    }
    for (int i = 0; i < clientCount; ++i) {
        auto c = std::make_unique<Client>();
        c->polling = (i / gloveCount) % 2 == 1;  // every glove's first client is a stream
        c->start = start;
        if (!c->polling) {
            c->stream = RZ_DataStreamNew(kSetBytes * 64, streamReader, c.get());
        }
        gloves[static_cast<size_t>(i % gloveCount)]->clients.push_back(c.get());
        clients.push_back(std::move(c));
    }
    int failures = 0;
    for (auto& g : gloves) {
        startSim(*g, {});
        if (!g->sim->ready() || !openAndAttach(*g)) {
            std::fprintf(stderr, "soak: glove %d did not start\n", g->index);
            ++failures;
        }
    }
    std::atomic<bool> stopPolling{false};
    std::vector<std::pair<Client*, Glove*>> pollers;
    for (auto& g : gloves) {
        for (Client* c : g->clients) {
            if (c->polling) {
                pollers.emplace_back(c, g.get());
            }
        }
    }
    std::thread poller(pollLoop, pollers, std::cref(stopPolling));

    std::mt19937 random(seed);
    int faultsStruck = 0;
    int recovered = 0;
    int neverRecovered = 0;
    int kind = 0;
    auto nextFault = start + std::chrono::seconds(faultEvery);
    auto nextReport = start + 10s;
    const auto end = start + std::chrono::seconds(seconds);
    auto report = [&](const char* what) {
        long delivered = 0, lost = 0, corrupt = 0, polled = 0;
        for (auto& c : clients) {
            (c->polling ? polled : delivered) += c->received.load();
            lost += c->gaps.load();
            corrupt += c->corrupt.load();
        }
        std::printf(
            "soak %s: %.0f s, sets delivered %ld, polled %ld, lost %ld, corrupt %ld, "
            "faults %d, recovered %d, rss %ld kB, fds %d\n",
            what, secondsSince(start), delivered, polled, lost, corrupt, faultsStruck, recovered,
            faults::residentKb(), faults::openDescriptors());
        std::fflush(stdout);
        return corrupt;
    };
    auto strike = [&](Glove& g, Clock::time_point now) {
        ++faultsStruck;
        g.faultAt = now;
        g.awaitingRecovery = true;
        switch (kind++ % 3) {
            case 0:
                std::printf("soak: glove %d: simulator killed and started again\n", g.index);
                restart(g, {});
                break;
            case 1: {
                const int every = std::uniform_int_distribution<int>(2, 5)(random);
                std::printf("soak: glove %d: garbage burst (every %d records)\n", g.index, every);
                restart(g, {"--fault", "garbage=" + std::to_string(every), "--fault",
                            "truncate=" + std::to_string(every + 1)});
                g.garbageRun = true;
                g.garbageUntil = now + 3s;
                break;
            }
            default: {
                const int ms = std::uniform_int_distribution<int>(200, 9000)(random);
                std::printf("soak: glove %d: silent for %d ms\n", g.index, ms);
                g.stoppedPid = g.sim->pid();
                ::kill(g.stoppedPid, SIGSTOP);
                g.resumeAt = now + std::chrono::milliseconds(ms);
                break;
            }
        }
        g.receivedAtFault = receivedBy(g);
        std::fflush(stdout);
    };
    while (Clock::now() < end && !gInterrupted && failures == 0) {
        std::this_thread::sleep_for(100ms);
        const auto now = Clock::now();
        for (auto& gp : gloves) {
            Glove& g = *gp;
            if (g.stoppedPid != 0 && now >= g.resumeAt) {
                ::kill(g.stoppedPid, SIGCONT);
                g.stoppedPid = 0;
            }
            if (g.garbageRun && now >= g.garbageUntil) {
                g.garbageRun = false;
                restart(g, {});
                g.receivedAtFault = receivedBy(g);
            }
            if (g.awaitingRecovery && g.stoppedPid == 0 && !g.garbageRun) {
                if (receivedBy(g) > g.receivedAtFault + 20) {
                    g.awaitingRecovery = false;
                    ++recovered;
                } else if (now - g.faultAt > kRecoveryLimit) {
                    std::fprintf(stderr, "soak: glove %d never recovered\n", g.index);
                    g.awaitingRecovery = false;
                    ++neverRecovered;
                }
            }
        }
        if (now >= nextFault) {
            nextFault += std::chrono::seconds(faultEvery);
            Glove& g = *gloves[static_cast<size_t>(faultsStruck % gloveCount)];
            if (!g.awaitingRecovery) {  // else it is still coming back from the last one
                strike(g, now);
            }
        }
        if (now >= nextReport) {
            nextReport += 10s;
            report("progress");
        }
    }
    for (auto& g : gloves) {
        if (g->stoppedPid != 0) {
            ::kill(g->stoppedPid, SIGCONT);
        }
        if (g->awaitingRecovery) {
            // Struck too close to the end to judge: not counted either way.
            --faultsStruck;
        }
    }
    stopPolling.store(true);
    poller.join();
    const long corrupt = report("end");
    for (auto& g : gloves) {
        detachAll(*g);
        g->sim.reset();
    }
    for (auto& c : clients) {
        if (c->stream != nullptr) {
            RZ_DataStreamDestroy(c->stream);
        }
    }
    long delivered = 0;
    for (auto& c : clients) {
        delivered += c->received.load();
    }
    clients.clear();
    const int fdsEnd = faults::openDescriptors();
    const long rssEnd = faults::residentKb();
    std::printf(
        "soak: descriptors %d at the start, %d at the end; resident memory %ld kB at the "
        "start, %ld kB at the end\n",
        fdsStart, fdsEnd, rssStart, rssEnd);
    constexpr long kRssToleranceKb = 32 * 1024;
    bool ok = failures == 0 && gHarnessFailures.load() == 0;
    if (fdsEnd > fdsStart) {
        std::printf("soak: FAIL: %d descriptors leaked\n", fdsEnd - fdsStart);
        ok = false;
    }
    if (faults::kResidentMemoryTells && rssEnd - rssStart > kRssToleranceKb) {
        std::printf("soak: FAIL: resident memory grew by %ld kB\n", rssEnd - rssStart);
        ok = false;
    }
    if (neverRecovered > 0) {
        std::printf("soak: FAIL: %d faults never recovered from\n", neverRecovered);
        ok = false;
    }
    if (corrupt > 0) {
        std::printf("soak: FAIL: %ld sets made of two records\n", corrupt);
        ok = false;
    }
    if (delivered == 0) {
        std::printf("soak: FAIL: nothing delivered\n");
        ok = false;
    }
    std::printf("soak: %s\n", ok ? "ok" : "FAILED");
    RZ_UnloadPlugins();
    return ok ? 0 : 1;
}

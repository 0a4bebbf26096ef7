// The Qt-free meters with made-up streams and an injected clock.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <vector>

#include "meters/latencymeter.hpp"
#include "meters/plotbuffer.hpp"
#include "meters/sensorhealth.hpp"
#include "meters/stampfile.hpp"

namespace {

using glove::PlotBuffer;
using namespace std::chrono_literals;

TEST(PlotBuffer, KeepsTheNewestSamplesUpToItsCapacity) {
    PlotBuffer ring(4, 2);
    for (int i = 0; i < 10; ++i) {
        double v[2] = {i * 1.0, -i * 1.0};
        ring.push(i * 0.1, v);
        EXPECT_EQ(ring.size(), std::min<std::size_t>(i + 1, 4));
    }
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_DOUBLE_EQ(ring.value(i, 0), 6.0 + i);  // oldest first
        EXPECT_DOUBLE_EQ(ring.value(i, 1), -(6.0 + i));
        EXPECT_DOUBLE_EQ(ring.time(i), (6.0 + i) * 0.1);
    }
}

TEST(PlotBuffer, NeverRedrawsMoreThanThirtyTimesASecond) {
    // Samples at 1 kHz and 30 Hz, redraw asked after every one, on a clock the test steps.
    for (auto step : {1ms, 7ms, 33ms}) {
        PlotBuffer ring(256, 1);
        std::vector<std::chrono::nanoseconds> draws;
        for (std::chrono::nanoseconds now{0}; now < 5s; now += step) {
            double v = 1.0;
            ring.push(std::chrono::duration<double>(now).count(), {&v, 1});
            if (ring.takeRedraw(now)) {
                draws.push_back(now);
            }
        }
        // ...yet keeps up: at least one redraw per two periods.
        EXPECT_GE(draws.size(), 5u * 15) << "step " << step.count();
        // Any one second holds at most 30 redraws.
        for (std::size_t i = 30; i < draws.size(); ++i) {
            EXPECT_GE(draws[i] - draws[i - 30], 1s) << "step " << step.count();
        }
        EXPECT_LE(ring.size(), ring.capacity());
    }
    PlotBuffer idle(8, 1);
    EXPECT_FALSE(idle.takeRedraw(10s));  // nothing new, nothing to draw
}

// A 30 Hz stream of one sensor in counts, from a shape function of time.
std::uint8_t healthOf(const std::function<double(int, double)>& shape, double seconds = 3.0) {
    glove::SensorHealth health(1);
    for (int i = 0; i < seconds * 30; ++i) {
        double t = i / 30.0;
        double v = shape(i, t);
        health.add(t, {&v, 1});
    }
    return health.flags(0);
}

TEST(SensorHealth, FlagsFollowTheSignal) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> jitter(-40, 40);
    const double kPi = 3.141592653589793;
    struct Case {
        const char* name;
        std::function<double(int, double)> shape;
        std::uint8_t flags;
    } cases[] = {
        {"slow grasp", [&](int, double t) { return 120 + 60 * std::sin(2 * kPi * t / 4); }, 0},
        {"fast swing", [&](int, double t) { return 120 + 100 * std::sin(2 * kPi * t); }, 0},
        // The console's hysteresis turns a slow signal into steps of 5 counts.
        {"stepped", [](int i, double) { return 100.0 + 5 * (i / 6); }, 0},
        {"held still", [](int, double) { return 131.0; }, glove::kHealthFlat},
        {"one count of ripple", [](int i, double) { return 131.0 + i % 2; }, glove::kHealthFlat},
        {"pinned high", [](int, double) { return 255.0; },
         glove::kHealthFlat | glove::kHealthSaturated},
        {"pinned low, bumping", [](int i, double) { return i % 3 ? 0.0 : 30.0; },
         glove::kHealthSaturated | glove::kHealthNoisy},
        {"noise on motion",
         [&](int, double t) { return 120 + 40 * std::sin(2 * kPi * t / 4) + jitter(rng); },
         glove::kHealthNoisy},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(healthOf(c.shape), c.flags) << c.name;
    }
    // Too short a stretch to call a sensor flat.
    EXPECT_EQ(healthOf([](int, double) { return 131.0; }, 1.0), 0);
    EXPECT_STREQ(glove::healthFlagText(glove::kHealthFlat | glove::kHealthNoisy), "flat, noisy");
}

TEST(LatencyMeter, MeasuresDelayJitterRateAndDrift) {
    struct Case {
        double delayMs;
        double jitterMs;
        double clockRate;  // glove seconds per host second
    } cases[] = {{0, 0, 1.0}, {50, 0, 1.0 + 200e-6}, {120, 4, 1.0 - 50e-6}};
    for (const auto& c : cases) {
        glove::LatencyMeter meter(300);
        double host0 = 5000.0;  // large absolute times, as a monotonic clock gives
        for (int i = 0; i < 300; ++i) {
            double sent = host0 + i / 30.0;
            double wobble = (i % 2 ? 1 : -1) * c.jitterMs / 1e3;
            double received = sent + c.delayMs / 1e3 + wobble;
            meter.addLatency(sent, received);
            meter.addFrame(43200.0 + (sent - host0) * c.clockRate, received);
        }
        auto s = meter.stats();
        EXPECT_NEAR(s.latencyMs, c.delayMs, 1e-6) << c.delayMs;
        EXPECT_NEAR(s.jitterMs, c.jitterMs, 1e-6) << c.delayMs;
        EXPECT_NEAR(s.rateHz, 30.0, 0.5);
        ASSERT_TRUE(s.driftPpm.has_value());
        EXPECT_NEAR(*s.driftPpm, (c.clockRate - 1.0) * 1e6, 30) << c.delayMs;
    }
    // A glove clock passing midnight does not bend the line; too short a stretch gives none.
    glove::LatencyMeter wrap;
    for (int i = 0; i < 150; ++i) {
        wrap.addFrame(std::fmod(86398.0 + i / 30.0, 86400.0), 100.0 + i / 30.0);
    }
    EXPECT_NEAR(*wrap.stats().driftPpm, 0.0, 1.0);
    glove::LatencyMeter brief;
    brief.addFrame(1.0, 1.0);
    brief.addFrame(1.5, 1.5);
    EXPECT_FALSE(brief.stats().driftPpm.has_value());
    EXPECT_NE(glove::formatLatency(brief.stats()).find("latency n/a"), std::string::npos);
}

TEST(StampFile, ReadsAGrowingFileAndSkipsBadLines) {
    auto path = std::filesystem::temp_directory_path() / ("stamps-" + std::to_string(getpid()));
    std::ofstream out(path);
    out << "12:00:00:0:01 1000\n7 2000 2500\nnot-a-stamp\n8 -5\n9 3000 35";
    out.flush();
    glove::StampFile stamps(path.string(), 3);
    ASSERT_TRUE(stamps.poll());
    EXPECT_EQ(stamps.size(), 2u);
    EXPECT_EQ(stamps.malformed(), 2);
    EXPECT_EQ(stamps.find("12:00:00:0:01")->sentNs, 1000);
    out << "00\n10 4000 4100\n";  // the unfinished line completes
    out.flush();
    ASSERT_TRUE(stamps.poll());
    EXPECT_EQ(stamps.size(), 3u);  // the oldest went
    EXPECT_FALSE(stamps.find("12:00:00:0:01"));
    EXPECT_EQ(stamps.find("9")->sentNs, 3500);
    EXPECT_EQ(stamps.lastSentBy(3600)->key, "9");
    EXPECT_EQ(stamps.lastSentBy(4100)->key, "10");
    EXPECT_FALSE(stamps.lastSentBy(100));
    std::filesystem::remove(path);
    EXPECT_FALSE(glove::StampFile("/nonexistent/stamps").poll());
}

}  // namespace

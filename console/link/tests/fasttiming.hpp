// Link pacing for tests of the console on the simulated glove: pauses short enough for a
// loaded machine, time-outs generous. Tests of the real pacing use GloveTiming's defaults.
#pragma once

#include <chrono>

#include "link/glovetransport.hpp"

inline GloveTiming fastTiming() {
    using ms = std::chrono::milliseconds;
    GloveTiming t;
    t.serialWritePause = ms(20);
    t.splitFirstPause = ms(20);
    t.splitSecondPause = ms(20);
    t.splitReplyPause = ms(100);
    t.tcpEchoTimeout = ms(15000);
    t.tcpReplyTimeout = ms(3000);
    t.readGiveUp = ms(15000);
    t.downloadIdleLimit = ms(2000);
    t.downloadEmptyPause = ms(10);
    t.downloadStartPause = ms(10);
    t.hardwareWritePause = ms(20);
    t.tcpDownloadWait = ms(500);
    return t;
}

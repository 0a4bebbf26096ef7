// Arbitrary console bytes into the glove's protocol engine. The first byte picks the glove's
// set-up (transport, sensor count, faults); the rest arrives in pieces with time passing
// between them, and the output is drained as a transport would. The engine must never crash,
// leak or let its queue grow without bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "glovesim/glovecore.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace glovesim;
    if (size < 1) {
        return 0;
    }
    uint8_t setup = data[0];
    GloveConfig config;
    config.transport = (setup & 1) ? Transport::Tcp : Transport::Serial;
    config.sensors = (setup & 2) ? 18 : 22;
    config.leftHand = (setup & 4) != 0;
    config.streamStartDelay = Millis(0);
    config.partialTimeout = Millis(100);
    if (setup & 8) {
        config.faults.oversize = 1100;
    }
    if (setup & 16) {
        config.faults.chunkBytes = 7;
        config.faults.chunkPauseMs = 1;
    }
    if (setup & 32) {
        config.faults.burstFrames = 3;
        config.faults.badFrame = 2;
        config.faults.garbageAfterFrame = 1;
    }
    if (setup & 64) {
        Script script;
        script.frames.resize(2);
        script.frames[1].slots[3] = -5;
        script.polls.push_back(ScriptPoll{{1, 2, 3}});
        script.end = (setup & 128) ? ScriptEnd::Stop : ScriptEnd::Loop;
        config.script = script;
    }
    TimePoint now{};
    GloveCore core(config, now);
    size_t pos = 1;
    while (pos < size) {
        // a piece: length from one byte, then a time step
        size_t len = std::min<size_t>(1 + data[pos] % 64, size - pos);
        ++pos;
        len = std::min(len, size - pos);
        core.receive(std::span<const uint8_t>(data + pos, len), now);
        pos += len;
        now += Millis(pos < size ? data[pos - 1] % 50 : 10);
        core.advance(now);
        for (int i = 0; i < 64; ++i) {
            auto out = core.peekOutput(now);
            if (out.empty()) {
                break;
            }
            core.consumeOutput(std::max<size_t>(1, out.size() / 2), now);
        }
        if (core.queuedBytes() > 2 * 1024 * 1024) {
            std::abort();
        }
        if (core.disconnectRequested()) {
            core.clearDisconnectRequest();
            core.linkDown();
        }
    }
    return 0;
}

// Frame and poll decoding on arbitrary bytes: the first byte picks the glove (sensor count,
// hand), the rest is cut into 61-byte frames; a trailing piece goes to the poll decoder.

#include "link/gloveprotocol.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static glove::Decoder* link = new glove::Decoder();
    if (size == 0) {
        return 0;
    }
    link->setSensorCount((data[0] & 1) != 0 ? 22 : 18 + (data[0] >> 1) % 8);
    link->setRightHand((data[0] & 0x80) == 0);
    for (int i = 0; i < glove::kSensorIndexCount; ++i) {
        link->setRawValue(i, glove::kRawInitial);
    }
    ++data;
    --size;
    while (size >= glove::kFrameSize) {
        char frame[glove::kFrameSize];
        std::memcpy(frame, data, sizeof frame);
        uint32_t before[glove::kSensorIndexCount];
        link->copyRaw(before);
        if (!link->decodeFrame(frame)) {
            // A refused frame leaves the raw values as they were.
            uint32_t after[glove::kSensorIndexCount];
            link->copyRaw(after);
            if (std::memcmp(before, after, sizeof before) != 0) {
                __builtin_trap();
            }
        }
        link->computeAngles();
        data += glove::kFrameSize;
        size -= glove::kFrameSize;
    }
    // The poll decoder reads one slot past the reply length, never past the buffer.
    char reply[glove::kReplySize] = {};
    const int count = static_cast<int>(std::min<size_t>(size, sizeof reply));
    std::memcpy(reply, data, static_cast<size_t>(count));
    link->decodePollReply(reply, count);
    link->computeAngles();
    double angles[glove::kSensorIndexCount];
    link->copyAngles(angles);
    int t[5];
    link->frameTime(t);
    for (int f = 0; f < 5; ++f) {
        if (t[f] < 0) {
            __builtin_trap();  // fields are digits only
        }
    }
    return 0;
}

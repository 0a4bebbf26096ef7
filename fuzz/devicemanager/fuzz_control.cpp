// RZDP_Control of the dummy, linemux and forcesim plug-ins, loaded by the real core, with
// arbitrary headers, payloads and buffer sizes. Input: one selector byte (bits 0 and 3: the
// plug-in; bit 1: aim at its live instance; bit 2: keep the magic as it is), one buffer-size
// byte, the 32-byte header, then the payload.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"
#include "tty/tty.hpp"

namespace {

struct Target {
    const char* deviceText;
    RzInstance* inst = nullptr;
};

// Never destroyed: the instances' threads and the drain thread use the terminal until the
// process ends, and closing it under them at exit would race with their reads.
tty::Pty& gPty = *new tty::Pty;
int gMaster = -1;
std::string gPortText;
Target gTargets[3] = {{"fuzz:device=dummy:nsensors=24"}, {nullptr}, {"fuzzunit:device=kortavel"}};

void setUp() {
    RZ_LoadPlugins(nullptr);
    gPty.open({.nonBlocking = false, .raw = false});
    gMaster = gPty.master();
    gPortText = gPty.path() + ":device=ioman";
    gTargets[1].deviceText = gPortText.c_str();
    // Drains what message 16 writes so writes never wait on a full terminal.
    std::thread([] {
        char buf[4096];
        for (;;) {
            pollfd p{gMaster, POLLIN, 0};
            if (poll(&p, 1, 1000) > 0 && read(gMaster, buf, sizeof(buf)) < 0) {
                return;
            }
        }
    }).detach();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (setUp(), true);
    (void)ready;
    if (size < 2 + sizeof(RzMessageHeader)) {
        return 0;
    }
    Target& t = gTargets[std::min((data[0] & 1) + ((data[0] & 8) != 0 ? 2 : 0), 2)];
    if (t.inst == nullptr) {
        t.inst = RZ_InstanceOpen(t.deviceText);
        if (t.inst == nullptr) {
            return 0;
        }
    }
    RzMessageHeader header;
    std::memcpy(header.bytes, data + 2, sizeof(header.bytes));
    bool aimed = (data[0] & 2) != 0;
    if (aimed) {
        uint32_t id = t.inst->item.id;
        if ((data[0] & 4) == 0) {
            std::memcpy(header.bytes, "RZI ", 4);
        }
        header.bytes[RZ_HDR_RECEIVER_KIND] = static_cast<uint8_t>(t.inst->kind);
        for (int i = 0; i < 4; ++i) {
            header.bytes[RZ_HDR_RECEIVER_HANDLE + i] = static_cast<uint8_t>(id >> (24 - 8 * i));
        }
    }
    const uint8_t* payload = data + 2 + sizeof(header.bytes);
    size_t payloadSize = size - 2 - sizeof(header.bytes);
    // The buffer is exactly as large as the selector says, so a handler reading or writing
    // past it is caught by the address sanitizer.
    size_t bufferSize = std::min<size_t>(data[1], 255);
    std::vector<uint8_t> buffer(bufferSize);
    if (bufferSize > 0) {
        std::memcpy(buffer.data(), payload, std::min(payloadSize, bufferSize));
    }
    bool release =
        aimed && header.bytes[RZ_HDR_MESSAGE] == 2 && std::memcmp(header.bytes, "RZI", 3) == 0;
    RZ_MessageDeliver(&header, buffer.empty() ? nullptr : buffer.data(),
                      static_cast<int>(bufferSize));
    if (release) {
        t.inst = nullptr;  // released: open a new one next time
    }
    return 0;
}

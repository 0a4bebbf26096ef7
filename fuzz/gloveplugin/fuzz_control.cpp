// Control messages from an untrusted client to a live glove instance: the real core loads the
// real glove and linemux plug-ins, and the glove is opened against kelbsim on a
// pseudo-terminal, so its opening exchange is the real one. The simulator is then stopped:
// the line is gone, every command a handler sends fails at once, and each input costs
// microseconds instead of the glove's reply waits (the waits themselves are the glove
// tests' business). Input: a selector byte, then either
//  - argcode and capacity bytes and the payload, through RZ_DeviceControl, or
//  - a 32-byte header, delivered as it is (optionally aimed at the instance), and the payload.
// The payload parsers are also run on their own.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"
#include "glove/glovecodec.hpp"
#include "testsupport/checks.hpp"
#include "testsupport/simulator.hpp"

namespace {

std::unique_ptr<testsupport::Simulator> gKelbsim;
RzDeviceHandle gGlove = 0;        // open for the whole run
RzInstance* gInstance = nullptr;  // the same instance, for aimed headers

void stopKelbsim() {
    gKelbsim.reset();
}

// Runs at exit, after the main thread's thread-local state (which the plug-in frame uses) is
// gone: the device is closed from a fresh thread, so the run ends normally and the leak check
// still runs.
void closeAtExit() {
    std::thread([] {
        if (gInstance != nullptr) {
            RZ_InstanceClose(gInstance);
        }
        if (gGlove != 0) {
            RZ_DeviceClose(gGlove);
        }
    }).join();
    stopKelbsim();
}

// Messages a client may send; 2 (release) is left out so the instance stays.
constexpr uint8_t kMessages[] = {0, 3, 4, 9, 10, 11, 12, 13, 14, 15, 16, 19, 20, 23, 24, 99};

// The glove paces actuator commands (a millisecond or more each): a message drives at most
// two, so no input takes long. The actuator text parser sees the whole payload on its own.
constexpr size_t kActuatorBytes = 4;

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

void runParsers(const std::vector<uint8_t>& payload) {
    // An exact-size copy, so any overread is caught.
    gloved::Calibration cal;
    gloved::defaultCalibration(cal);
    std::vector<uint8_t> exact(payload);
    gloved::applyCalibrationBinary(exact.data(), static_cast<int>(exact.size()), cal);
    gloved::applyCalibrationText(exact.data(), static_cast<int>(exact.size()), cal);
    uint8_t pairs[2 * 64];
    check(gloved::parseActuatorText(exact.data(), static_cast<int>(exact.size()), pairs, 64) <= 64);
}

void viaDeviceControl(const uint8_t* data, size_t size) {
    if (size < 3) {
        return;
    }
    const int message = kMessages[data[0] / 2 % sizeof kMessages];
    const int argcode = data[1];
    const int capacity = data[2] * 8;
    std::vector<uint8_t> payload(data + 3, data + size);
    runParsers(payload);
    if (message == RZ_MSG_WRITE) {
        payload.resize(std::min<size_t>(payload.size(), kActuatorBytes));
    }
    int length = static_cast<int>(payload.size());
    const int cap = std::max(capacity, length);
    std::vector<uint8_t> buffer(static_cast<size_t>(cap) + 1, 0);
    std::copy(payload.begin(), payload.end(), buffer.begin());
    buffer[static_cast<size_t>(cap)] = 0xA5;  // canary one past the capacity
    const int r = RZ_DeviceControl(gGlove, message, argcode, buffer.data(), &length, cap);
    check(buffer[static_cast<size_t>(cap)] == 0xA5 && length <= cap && r <= 127);
}

void viaHeader(const uint8_t* data, size_t size) {
    if (size < 2 + sizeof(RzMessageHeader)) {
        return;
    }
    RzMessageHeader header;
    std::memcpy(header.bytes, data + 2, sizeof header.bytes);
    if ((data[0] & 2) != 0) {
        std::memcpy(header.bytes, "RZI ", 4);
        header.bytes[RZ_HDR_RECEIVER_KIND] = RZ_KIND_GLOVE;
        const uint32_t id = gInstance->item.id;
        for (int i = 0; i < 4; ++i) {
            header.bytes[RZ_HDR_RECEIVER_HANDLE + i] = static_cast<uint8_t>(id >> (24 - 8 * i));
        }
    }
    if (header.bytes[RZ_HDR_MESSAGE] == 2) {
        return;  // a release would end the instance (or its line) for every later input
    }
    const uint8_t* payload = data + 2 + sizeof header.bytes;
    const size_t payloadSize = size - 2 - sizeof header.bytes;
    // The buffer is exactly as large as byte 1 says, so a handler reading or writing past it
    // is caught by the address sanitizer.
    std::vector<uint8_t> buffer(header.bytes[RZ_HDR_MESSAGE] == RZ_MSG_WRITE
                                    ? std::min<size_t>(data[1], kActuatorBytes)
                                    : data[1]);
    if (!buffer.empty()) {
        std::memcpy(buffer.data(), payload, std::min(payloadSize, buffer.size()));
    }
    runParsers(std::vector<uint8_t>(payload, payload + payloadSize));
    RZ_MessageDeliver(&header, buffer.empty() ? nullptr : buffer.data(),
                      static_cast<int>(buffer.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No test runs here: a failing simulator ends the fuzzer, with the simulator's output.
    testsupport::setFailureHandler([](const std::string& message) {
        std::fprintf(stderr, "%s\n", message.c_str());
        std::abort();
    });
    // The simulator ends with the fuzzer, also when the fuzzer stops on a finding.
    gKelbsim = std::make_unique<testsupport::Simulator>(KELBSIM_PATH, "",
                                                        std::vector<std::string>{"--rate", "200"});
    const std::string pty = gKelbsim->terminal();
    check(gKelbsim->ready());
    gGlove = RZ_DeviceOpen("server=localhost:port=0", pty.c_str(), "glove");
    // Registered after the plug-ins were loaded, so it runs before their statics go.
    std::atexit(closeAtExit);
    if (gGlove == 0) {
        std::fprintf(stderr, "glove did not open on %s: %d\n", pty.c_str(), RZ_GetLastError());
        std::abort();
    }
    gInstance = RZ_InstanceOpen((pty + ":device=glove").c_str());
    check(gInstance != nullptr);
    stopKelbsim();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    if ((data[0] & 1) != 0) {
        viaHeader(data, size);
    } else {
        viaDeviceControl(data, size);
    }
    return 0;
}

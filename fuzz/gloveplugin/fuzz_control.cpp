// Control messages from an untrusted client to a live glove instance: the real core loads
// the real glove and linemux plug-ins and the glove talks to kelbsim over a pseudo-terminal.
// Input: message selector, argcode, capacity byte, then the payload. The payload parsers are
// also run on their own.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "devicemanager/rzclient.h"
#include "glove/glovecodec.hpp"

extern char** environ;

namespace {

pid_t gKelbsim = -1;
RzDeviceHandle gGlove = 0;  // open for the whole run

// Runs at exit. By then the thread-local state of the plug-in frame is gone (thread-local
// destructors run before exit handlers), so the device is not closed here: the simulator is
// stopped and the process ends at once, with the port's watcher still running.
void stopKelbsim() {
    if (gKelbsim > 0) {
        kill(gKelbsim, SIGTERM);
        waitpid(gKelbsim, nullptr, 0);
    }
    _exit(0);
}

// Messages a client may send; 2 (release) is left out so the instance stays.
constexpr uint8_t kMessages[] = {0, 3, 4, 9, 10, 11, 12, 13, 14, 15, 16, 19, 20, 23, 24, 99};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    int fds[2];
    if (pipe(fds) != 0) {
        std::abort();
    }
    char* argv[] = {const_cast<char*>(KELBSIM_PATH), const_cast<char*>("--rate"),
                    const_cast<char*>("200"), nullptr};
    gKelbsim = fork();
    if (gKelbsim < 0) {
        std::abort();
    }
    if (gKelbsim == 0) {
        // The simulator ends with the fuzzer, also when the fuzzer stops on a finding.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(fds[1], 1);
        close(fds[0]);
        execve(argv[0], argv, environ);
        _exit(127);
    }
    close(fds[1]);
    FILE* out = fdopen(fds[0], "r");
    char pty[256] = {};
    if (out == nullptr || std::fgets(pty, sizeof pty, out) == nullptr) {
        std::abort();
    }
    pty[std::strcspn(pty, "\n")] = '\0';
    gGlove = RZ_DeviceOpen("server=localhost:port=0", pty, "glove");
    // Registered after the plug-ins were loaded, so it runs before their statics go.
    std::atexit(stopKelbsim);
    if (gGlove == 0) {
        std::fprintf(stderr, "glove did not open on %s: %d\n", pty, RZ_GetLastError());
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    int message = kMessages[data[0] % sizeof kMessages];
    int argcode = data[1];
    int capacity = data[2] * 8;
    std::vector<uint8_t> payload(data + 3, data + size);
    if (message == 16 && payload.size() > 16) {
        payload.resize(16);  // every actuator pair costs 11 ms of pacing
    }
    if (message == 10 && (argcode & 0x7f) == 1 && payload.size() == 4) {
        payload[1] = 0xff, payload[2] = 0xff, payload[3] = 0xff;  // keep the records coming
    }

    // The parsers alone, on an exact-size copy so any overread is caught.
    {
        gloved::Calibration cal;
        gloved::defaultCalibration(cal);
        std::vector<uint8_t> exact(payload);
        gloved::applyCalibrationBinary(exact.data(), static_cast<int>(exact.size()), cal);
        gloved::applyCalibrationText(exact.data(), static_cast<int>(exact.size()), cal);
        uint8_t pairs[2 * 64];
        gloved::parseActuatorText(exact.data(), static_cast<int>(exact.size()), pairs, 64);
    }

    int length = static_cast<int>(payload.size());
    int cap = std::max(capacity, length);
    std::vector<uint8_t> buffer(static_cast<size_t>(cap) + 1, 0);
    std::copy(payload.begin(), payload.end(), buffer.begin());
    buffer[static_cast<size_t>(cap)] = 0xA5;  // canary one past the capacity
    int r = RZ_DeviceControl(gGlove, message, argcode, buffer.data(), &length, cap);
    if (buffer[static_cast<size_t>(cap)] != 0xA5 || length > cap || r > 127) {
        std::abort();
    }
    return 0;
}

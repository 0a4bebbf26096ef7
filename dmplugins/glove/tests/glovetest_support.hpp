// Test helpers: kelbsim's record of a run, and a device opened through the
// real device-manager core (which loads the real glove and linemux plug-ins).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"
#include "testsupport/checks.hpp"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace glovetest {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point from, Clock::time_point to = Clock::now()) {
    return std::chrono::duration<double>(to - from).count();
}

using testsupport::TempDir;

// kelbsim with a record of every byte the host wrote and of the unit's notes.
class Kelbsim {
  public:
    Kelbsim(const TempDir& dir, std::vector<std::string> options = {})
        : record_(dir.file("kelbsim-record.txt")) {
        options.insert(options.begin(), {"--record", record_});
        process_ = std::make_unique<testsupport::Simulator>(KELBSIM_PATH, "", options);
        if (process_->terminal().rfind("/dev/", 0) != 0) {
            throw std::runtime_error("kelbsim gave no terminal path");
        }
    }
    const std::string& pty() const { return process_->terminal(); }

    // Every byte the host sent, in order.
    std::vector<uint8_t> hostBytes() const {
        std::vector<uint8_t> out;
        std::ifstream in(record_);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#') {
                continue;
            }
            std::istringstream hex(line);
            std::string b;
            while (hex >> b) {
                out.push_back(static_cast<uint8_t>(std::stoul(b, nullptr, 16)));
            }
        }
        return out;
    }
    std::vector<std::string> notes() const {
        std::vector<std::string> out;
        std::ifstream in(record_);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("# ", 0) == 0) {
                out.push_back(line.substr(2));
            }
        }
        return out;
    }
    int countNotes(const std::string& note) const {
        int n = 0;
        for (const auto& s : notes()) {
            n += s == note;
        }
        return n;
    }

  private:
    std::string record_;
    std::unique_ptr<testsupport::Simulator> process_;
};

// Positions where `pattern` starts in `bytes`.
inline std::vector<std::size_t> find(const std::vector<uint8_t>& bytes,
                                     const std::vector<uint8_t>& pattern) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i + pattern.size() <= bytes.size(); ++i) {
        if (std::equal(pattern.begin(), pattern.end(), bytes.begin() + i)) {
            at.push_back(i);
        }
    }
    return at;
}

// Waits (polling) until `cond` holds or `timeoutSeconds` pass.
template <typename Cond>
bool waitFor(Cond cond, double timeoutSeconds = 10.0) {
    return testsupport::waitUntil(
        cond, std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000)));
}

// Control message with a payload in and the reply payload out.
inline int control(RzDeviceHandle h, int message, int argcode, std::vector<uint8_t>& io,
                   int capacity = 4096) {
    std::vector<uint8_t> buffer(static_cast<std::size_t>(std::max<int>(capacity, io.size())));
    std::copy(io.begin(), io.end(), buffer.begin());
    int length = static_cast<int>(io.size());
    int r = RZ_DeviceControl(h, message, argcode, buffer.data(), &length, capacity);
    io.assign(buffer.begin(), buffer.begin() + std::max(0, length));
    return r;
}

inline int control(RzDeviceHandle h, int message, int argcode) {
    std::vector<uint8_t> none;
    return control(h, message, argcode, none);
}

// The 24 joint values (message 15, item 2); empty when the read failed.
inline std::vector<double> jointValues(RzDeviceHandle h) {
    std::vector<uint8_t> io;
    if (control(h, 15, 2, io) != 0 || io.size() != 192) {
        return {};
    }
    std::vector<double> v;
    for (int k = 0; k < 24; ++k) {
        v.push_back(RZ_GetDouble(io.data() + 8 * k));
    }
    return v;
}

inline std::vector<uint8_t> rawBytes(RzDeviceHandle h) {
    std::vector<uint8_t> io;
    if (control(h, 15, 1, io) != 0) {
        return {};
    }
    return io;
}

// Closes the device when the test ends, however it ends.
class Device {
  public:
    explicit Device(const std::string& pty, const char* type = "glove")
        : handle_(RZ_DeviceOpen("server=localhost:port=0", pty.c_str(), type)) {}
    ~Device() { close(); }
    RzDeviceHandle get() const { return handle_; }
    explicit operator bool() const { return handle_ != 0; }
    int close() {
        int r = 0;
        if (handle_ != 0) {
            r = RZ_DeviceClose(handle_);
            handle_ = 0;
        }
        return r;
    }

  private:
    RzDeviceHandle handle_ = 0;
};

}  // namespace glovetest

// Test helpers: a running kelbsim on its own pseudo-terminal, and a device opened through the
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

extern char** environ;

namespace glovetest {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point from, Clock::time_point to = Clock::now()) {
    return std::chrono::duration<double>(to - from).count();
}

// A fresh folder for one test's files.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/gloveplugin-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        path_ = tmpl;
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(file(name)) << text;
        return file(name);
    }

  private:
    std::string path_;
};

// Runs a program with its standard output on a pipe; stopped with SIGTERM and reaped.
class Process {
  public:
    explicit Process(const std::vector<std::string>& argv) {
        int fds[2];
        if (pipe(fds) != 0) {
            throw std::runtime_error("pipe");
        }
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ < 0) {
            close(fds[0]);
            close(fds[1]);
            throw std::runtime_error("cannot start " + argv[0]);
        }
        if (pid_ == 0) {
            // Ends with the test program, also when a test crashes.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            execve(args[0], args.data(), environ);
            _exit(127);
        }
        close(fds[1]);
        out_ = fdopen(fds[0], "r");
    }
    ~Process() {
        stop();
        if (out_ != nullptr) {
            fclose(out_);
        }
    }
    // One line of the program's output without its newline; false at the end.
    bool readLine(std::string& line) {
        char buf[4096];
        if (out_ == nullptr || fgets(buf, sizeof buf, out_) == nullptr) {
            return false;
        }
        line = buf;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        return true;
    }
    // Exit status after the program ended by itself (waits).
    int wait() {
        int status = 0;
        if (pid_ > 0) {
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
};

// kelbsim with a record of every byte the host wrote and of the unit's notes.
class Kelbsim {
  public:
    Kelbsim(const TempDir& dir, std::vector<std::string> options = {})
        : record_(dir.file("kelbsim-record.txt")) {
        std::vector<std::string> argv{KELBSIM_PATH, "--record", record_};
        argv.insert(argv.end(), options.begin(), options.end());
        process_ = std::make_unique<Process>(argv);
        if (!process_->readLine(pty_) || pty_.rfind("/dev/", 0) != 0) {
            throw std::runtime_error("kelbsim gave no terminal path");
        }
    }
    const std::string& pty() const { return pty_; }

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
    std::string pty_;
    std::unique_ptr<Process> process_;
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

// Waits (polling) until `cond` holds or `timeoutSeconds` pass; gives the last value.
template <typename Cond>
bool waitFor(Cond cond, double timeoutSeconds = 10.0) {
    auto start = Clock::now();
    while (!cond()) {
        if (seconds(start) > timeoutSeconds) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
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

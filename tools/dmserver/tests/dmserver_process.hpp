// dmserver as a child process for tests: started on ports it picks on 127.0.0.1, with its
// standard error in a log file, stopped with SIGTERM and expected to exit cleanly.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devicemanager/rzclient.h"
#include "remotesession.hpp"

extern "C" char** environ;

namespace dmservertest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls `done` every few milliseconds until it holds or `limit` passes.
template <typename F>
inline bool eventually(F done, std::chrono::milliseconds limit = 10s) {
    auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// fork + execve with `env` added to the environment; everything is built before the fork,
// which happens in a process with threads.
inline pid_t spawn(const std::vector<std::string>& args, int stdoutFd, int stderrFd,
                   const std::vector<std::string>& env = {}) {
    std::vector<char*> argv, envp;
    for (auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    for (char** e = environ; *e != nullptr; ++e) {
        envp.push_back(*e);
    }
    for (auto& e : env) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(stdoutFd, 1);
        dup2(stderrFd, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// Exit status, or -1 when the process did not end within the limit (it is then killed).
inline int reap(pid_t pid, std::chrono::milliseconds limit = 20s) {
    int status = 0;
    if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Server {
  public:
    explicit Server(std::vector<std::string> extra = {}) {
        char dir[] = "/tmp/dmserver-test-XXXXXX";
        dir_ = mkdtemp(dir);
        log_ = dir_ + "/stderr.log";
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        int err = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        // The configuration file sets the lease; the command line overrides its log level.
        mkdir((dir_ + "/manuvia").c_str(), 0700);
        std::ofstream(dir_ + "/manuvia/dmserver.conf") << "lease-ms=600\nlog-level=error\n";
        std::vector<std::string> args = {DMSERVER_PATH, "--bind",      "127.0.0.1:0", "--verbose",
                                         "2",           "--log-level", "info"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = spawn(args, out[1], err, {"XDG_CONFIG_HOME=" + dir_});
        close(out[1]);
        close(err);
        // First line: "dmserver listening on 127.0.0.1:PORT, data on port N".
        std::string line;
        pollfd p{out[0], POLLIN, 0};
        char c = 0;
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0 &&
               read(out[0], &c, 1) == 1) {
            line += c;
        }
        close(out[0]);
        size_t colon = line.find("127.0.0.1:");
        port_ = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 10);
    }
    ~Server() {
        if (pid_ > 0) {
            // A clean exit also means no sanitizer report in the server.
            EXPECT_EQ(stop(), 0) << log();
        }
        std::remove(log_.c_str());
        std::remove((dir_ + "/manuvia/dmserver.conf").c_str());
        rmdir((dir_ + "/manuvia").c_str());
        rmdir(dir_.c_str());
    }
    int stop() {
        kill(pid_, SIGTERM);
        int status = reap(pid_);
        pid_ = -1;
        return status;
    }
    int port() const { return port_; }
    std::string text() const { return "server=127.0.0.1:port=" + std::to_string(port_); }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string log() const {
        std::ifstream in(log_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::unique_ptr<rzremote::Session> session(rzremote::Session::DataHandler onData = {}) {
        int r = 0;
        auto s = rzremote::Session::connect("127.0.0.1", port_, std::move(onData), 10000, r);
        EXPECT_EQ(r, 0) << RZ_ErrorName(r);
        return s;
    }
    rzremote::ServerStatus status() {
        rzremote::ServerStatus st;
        auto s = session();
        if (s) {
            s->status(st);
        }
        return st;
    }

  private:
    std::string dir_, log_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace dmservertest

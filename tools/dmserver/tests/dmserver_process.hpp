// dmserver as a child process for tests: started on ports it picks on 127.0.0.1, with its
// standard error kept by the shared launcher, stopped with SIGTERM and expected to exit
// cleanly.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "devicemanager/rzclient.h"
#include "remotesession.hpp"
#include "testsupport/checks.hpp"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace dmservertest {

using namespace std::chrono_literals;

// Polls `done` until it holds or `limit` (scaled for sanitizer builds) passes.
template <typename F>
inline bool eventually(F done, std::chrono::milliseconds limit = 10s) {
    return testsupport::waitUntil(done, limit);
}

class Server {
  public:
    explicit Server(std::vector<std::string> extra = {}) : dir_("dmserver-test") {
        // The configuration file sets the lease; the command line overrides its log level.
        dir_.write("manuvia/dmserver.conf", "lease-ms=600\nlog-level=error\n");
        std::vector<std::string> args = {"--bind", "127.0.0.1:0", "--verbose",
                                         "2",      "--log-level", "info"};
        args.insert(args.end(), extra.begin(), extra.end());
        testsupport::ChildOptions options;
        options.env = {"XDG_CONFIG_HOME=" + dir_.path()};
        options.waitFirstLine = true;
        process_ = std::make_unique<testsupport::ChildProcess>(DMSERVER_PATH, args, options);
        // First line: "dmserver listening on 127.0.0.1:PORT, data on port N".
        const std::string& line = process_->firstLine();
        size_t colon = line.find("127.0.0.1:");
        port_ = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 10);
    }
    ~Server() {
        if (process_->running()) {
            // A clean exit also means no sanitizer report in the server.
            EXPECT_EQ(stop(), 0) << log();
        }
    }
    int stop() { return process_->stop(); }
    int port() const { return port_; }
    std::string text() const { return "server=127.0.0.1:port=" + std::to_string(port_); }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string log() const { return process_->errorOutput(); }
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
    testsupport::TempDir dir_;
    std::unique_ptr<testsupport::ChildProcess> process_;
    int port_ = 0;
};

}  // namespace dmservertest

// The far end of a serial line for tests: the master side of a real pseudo-terminal whose
// slave the code under test opens, optionally also reachable through a stable link name.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "tty/tty.hpp"

namespace testsupport {

class Pty {
  public:
    // A blocking master and a slave left at the system's settings, as a real port would be.
    Pty();
    // With `link` the slave is also reached through that symbolic link, removed again with
    // the pair; an empty link makes none.
    explicit Pty(const tty::PtyOptions& options, const std::string& link = {});
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return pair_.ok() && !path_.empty(); }
    // The name clients open: the link when one was asked for, else the slave's path.
    const std::string& path() const { return path_; }
    const std::string& slavePath() const { return pair_.path(); }
    int master() const { return pair_.master(); }

    // Writes all of the bytes to the master; a short write fails the running test.
    void send(const void* bytes, std::size_t count);
    void send(const std::string& bytes) { send(bytes.data(), bytes.size()); }
    // Bytes the slave's user wrote, collected until `count` arrived or the time-out (scaled).
    std::string receive(std::size_t count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Hangs the line up for its client: the master goes, the link stays until destruction.
    void closeMaster();

  private:
    tty::Pty pair_;
    std::string link_;
    std::string path_;
};

}  // namespace testsupport

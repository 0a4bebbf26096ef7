#include "testsupport/pty.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "testsupport/checks.hpp"

namespace testsupport {

Pty::Pty() : Pty(tty::PtyOptions{.nonBlocking = false, .raw = false}) {}

Pty::Pty(const tty::PtyOptions& options, const std::string& link) {
    std::string error;
    if (!pair_.open(options, &error)) {
        fail("cannot make a pseudo-terminal: " + error);
        return;
    }
    path_ = pair_.path();
    if (!link.empty()) {
        if (!tty::placeLink(link, pair_.path(), &error)) {
            fail("cannot link " + link + " to the pseudo-terminal: " + error);
            path_.clear();
            return;
        }
        link_ = link;
        path_ = link;
    }
}

Pty::~Pty() {
    if (!link_.empty()) {
        tty::removeLink(link_);
    }
}

void Pty::send(const void* bytes, std::size_t count) {
    const auto* p = static_cast<const char*>(bytes);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(pair_.master(), p + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            fail("pseudo-terminal write stopped after " + std::to_string(done) + " of " +
                 std::to_string(count) + " bytes: " + std::strerror(errno));
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string Pty::receive(std::size_t count, std::chrono::milliseconds timeout) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd p{pair_.master(), POLLIN, 0};
        if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
            char buf[4096];
            const ssize_t n = ::read(pair_.master(), buf, std::min(sizeof buf, count - out.size()));
            if (n > 0) {
                out.append(buf, static_cast<std::size_t>(n));
            }
        }
    }
    return out;
}

void Pty::closeMaster() {
    pair_.close();
}

}  // namespace testsupport

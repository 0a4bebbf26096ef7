// glovesim: the wireless glove on a pseudo-terminal (serial) or on a TCP connection to a
// listening console. One thread: poll() on the link, a signal pipe and the engine's deadlines.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "glovesim/glovecore.hpp"
#include "glovesim/options.hpp"
#include "tty/tty.hpp"

namespace {

using glovesim::Clock;
using glovesim::GloveCore;
using glovesim::Millis;
using glovesim::TimePoint;

int gStopFd = -1;  // readable once SIGINT or SIGTERM came
bool gVerbose = false;

void logLine(const std::string& text) {
    if (gVerbose) {
        std::fprintf(stderr, "glovesim: %s\n", text.c_str());
    }
}

void errorLine(const std::string& text) {
    std::fprintf(stderr, "glovesim: %s\n", text.c_str());
}

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

bool signalled() {
    return tty::readableWithin(gStopFd, Millis(0));
}

// Waits for a stop signal only; true when one arrived.
bool sleepOrSignal(int ms) {
    return tty::readableWithin(gStopFd, Millis(ms));
}

int msUntil(TimePoint deadline, TimePoint now) {
    if (deadline <= now) {
        return 0;
    }
    auto ms = std::chrono::duration_cast<Millis>(deadline - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, 1000));
}

class Recorder {
  public:
    bool open(const std::string& path) {
        if (path.empty()) {
            return true;
        }
        fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        return fd_.get() >= 0;
    }
    // Raw bytes, written straight through so a reader sees them at once.
    void write(const uint8_t* data, size_t n) {
        while (fd_.get() >= 0 && n > 0) {
            ssize_t w = ::write(fd_.get(), data, n);
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w <= 0) {
                break;
            }
            data += w;
            n -= static_cast<size_t>(w);
        }
    }

  private:
    Fd fd_;
};

int64_t localTimeOfDayMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t secs = ts.tv_sec;
    tm local{};
    localtime_r(&secs, &local);
    return ((local.tm_hour * 60LL + local.tm_min) * 60 + local.tm_sec) * 1000 +
           ts.tv_nsec / 1000000;
}

// Writes what the engine offers; false when the descriptor failed.
bool flushOutput(int fd, GloveCore& core, bool isSocket, bool* out_blocked) {
    *out_blocked = false;
    for (;;) {
        TimePoint now = Clock::now();
        auto out = core.peekOutput(now);
        if (out.empty()) {
            return true;
        }
        ssize_t n = isSocket ? send(fd, out.data(), out.size(), MSG_NOSIGNAL)
                             : write(fd, out.data(), out.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                *out_blocked = true;
                return true;
            }
            return false;
        }
        core.consumeOutput(static_cast<size_t>(n), Clock::now());
    }
}

// ---------------------------------------------------------------- serial

class PtyLink {
  public:
    ~PtyLink() {
        if (!linkPath_.empty()) {
            tty::removeLink(linkPath_);
        }
    }

    bool open(const std::string& linkPath) {
        if (!linkPath.empty() && !tty::linkReplaceable(linkPath)) {
            errorLine(linkPath + " exists and is not a symbolic link");
            return false;
        }
        if (!create()) {
            return false;
        }
        linkPath_ = linkPath;
        return placeLink();
    }

    // A fresh terminal in place of the current one, for when the old one cannot be opened
    // again: a client that made it exclusive leaves it so after closing, and only a
    // privileged opener gets past that.
    bool recreate() {
        std::string old = pty_.path();
        if (!create() || !placeLink()) {
            return false;
        }
        logLine(old + " cannot be reopened; now on " + pty_.path());
        std::printf("%s\n", pty_.path().c_str());
        std::fflush(stdout);
        return true;
    }

    const std::string& path() const { return pty_.path(); }
    int fd() const { return pty_.master(); }

    // A client holds the slave open when the master reports no hang-up.
    bool clientPresent() const { return !tty::hungUp(pty_.master()); }

    // Bytes written before the client closed would greet the next client: throw them away.
    // False when the terminal cannot be opened any more.
    bool discardStale() const {
        tty::flush(pty_.master(), true, true);
        Fd slave(::open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (slave.get() < 0) {
            return false;
        }
        tty::flush(slave.get(), true, true);
        return true;
    }

  private:
    bool create() {
        std::string error;
        if (!pty_.open({.nonBlocking = true, .raw = true, .baud = 115200}, &error)) {
            errorLine(error);
            return false;
        }
        return true;
    }

    // Points the link at the current terminal; replaced in one step so it never dangles.
    bool placeLink() const {
        std::string error;
        if (!linkPath_.empty() && !tty::placeLink(linkPath_, pty_.path(), &error)) {
            errorLine(error);
            return false;
        }
        return true;
    }

    tty::Pty pty_;
    std::string linkPath_;
};

int runSerial(const glovesim::Options& opts, GloveCore& core, Recorder& recorder) {
    PtyLink pty;
    if (!pty.open(opts.linkPath)) {
        return 1;
    }
    std::printf("%s\n", pty.path().c_str());
    std::fflush(stdout);
    logLine("serial link on " + pty.path());

    bool connected = false;
    std::vector<uint8_t> buf(4096);
    while (!signalled()) {
        TimePoint now = Clock::now();
        if (!connected) {
            if (!pty.clientPresent()) {
                core.advance(now);
                core.linkDown();  // nothing reaches a closed terminal
                if (sleepOrSignal(50)) {
                    break;
                }
                continue;
            }
            connected = true;
            logLine("client opened the terminal");
        }
        core.advance(now);
        if (core.disconnectRequested()) {
            core.clearDisconnectRequest();  // a terminal cannot be unplugged; the link just stops
        }
        bool blocked = false;
        if (!flushOutput(pty.fd(), core, false, &blocked) && errno != EIO) {
            errorLine(std::string("write failed: ") + std::strerror(errno));
        }
        now = Clock::now();
        pollfd fds[2] = {{gStopFd, POLLIN, 0},
                         {pty.fd(), static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0}};
        int timeout = msUntil(core.nextDeadline(now), now);
        if (blocked) {
            timeout = std::max(timeout, 1);
        }
        int r = poll(fds, 2, timeout);
        if (r < 0 && errno != EINTR) {
            errorLine(std::string("poll failed: ") + std::strerror(errno));
            return 1;
        }
        if (r <= 0) {
            continue;
        }
        if (fds[0].revents & POLLIN) {
            break;
        }
        if (fds[1].revents & POLLIN) {
            ssize_t n = read(pty.fd(), buf.data(), buf.size());
            if (n > 0) {
                recorder.write(buf.data(), static_cast<size_t>(n));
                core.receive(std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)),
                             Clock::now());
                continue;
            }
        }
        if (fds[1].revents & (POLLHUP | POLLERR)) {
            logLine("client closed the terminal");
            core.linkDown();
            if (!pty.discardStale() && !pty.recreate()) {
                return 1;
            }
            connected = false;
        }
    }
    return 0;
}

// ---------------------------------------------------------------- TCP

// Starts a non-blocking connect; returns the socket or -1.
int connectOnce(const glovesim::Options& opts) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(opts.tcpHost.c_str(), opts.tcpPort.c_str(), &hints, &res) != 0) {
        return -1;
    }
    int result = -1;
    for (addrinfo* ai = res; ai && result < 0; ai = ai->ai_next) {
        Fd s(socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (s.get() < 0) {
            continue;
        }
        if (connect(s.get(), ai->ai_addr, ai->ai_addrlen) != 0 && errno != EINPROGRESS) {
            continue;
        }
        pollfd p{s.get(), POLLOUT, 0};
        if (poll(&p, 1, 1000) != 1) {
            continue;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            continue;
        }
        int one = 1;
        setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        result = s.release();
    }
    freeaddrinfo(res);
    return result;
}

// One connection's life. Returns true when the program should stop.
bool runTcpSession(int fd, GloveCore& core, Recorder& recorder, bool* out_peerClosed) {
    std::vector<uint8_t> buf(4096);
    *out_peerClosed = false;
    for (;;) {
        TimePoint now = Clock::now();
        core.advance(now);
        bool blocked = false;
        if (!flushOutput(fd, core, true, &blocked)) {
            logLine(std::string("connection lost: ") + std::strerror(errno));
            *out_peerClosed = true;
            return false;
        }
        if (core.disconnectRequested() && core.queuedBytes() == 0) {
            core.clearDisconnectRequest();
            logLine("dropping the connection");
            return false;
        }
        now = Clock::now();
        pollfd fds[2] = {{gStopFd, POLLIN, 0},
                         {fd, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0}};
        int timeout = msUntil(core.nextDeadline(now), now);
        int r = poll(fds, 2, timeout);
        if (r < 0 && errno != EINTR) {
            errorLine(std::string("poll failed: ") + std::strerror(errno));
            return true;
        }
        if (r <= 0) {
            continue;
        }
        if (fds[0].revents & POLLIN) {
            return true;
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n > 0) {
                recorder.write(buf.data(), static_cast<size_t>(n));
                core.receive(std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)),
                             Clock::now());
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                logLine("console closed the connection");
                *out_peerClosed = true;
                return false;
            }
        }
    }
}

int runTcp(const glovesim::Options& opts, GloveCore& core, Recorder& recorder) {
    logLine("connecting to " + opts.tcpHost + ":" + opts.tcpPort);
    while (!signalled()) {
        Fd sock(connectOnce(opts));
        if (sock.get() < 0) {
            if (sleepOrSignal(300)) {
                break;
            }
            continue;
        }
        logLine("connected");
        bool peerClosed = false;
        bool stop = runTcpSession(sock.get(), core, recorder, &peerClosed);
        core.linkDown();
        sock.reset();
        if (stop || (peerClosed && opts.once)) {
            break;
        }
        if (sleepOrSignal(300)) {
            break;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    auto opts = glovesim::parseOptions(args, &error);
    if (!opts) {
        std::fprintf(stderr, "glovesim: %s\n%s", error.c_str(), glovesim::usageText());
        return 2;
    }
    if (opts->help) {
        std::fputs(glovesim::usageText(), stdout);
        return 0;
    }
    if (opts->version) {
        std::puts("glovesim " MANUVIA_VERSION);
        return 0;
    }
    gVerbose = opts->verbose || std::getenv("GLOVESIM_VERBOSE") != nullptr;
    if (!opts->scriptPath.empty()) {
        auto script = glovesim::loadScript(opts->scriptPath, &error);
        if (!script) {
            errorLine(error);
            return 2;
        }
        opts->glove.script = std::move(script);
    }
    if (!opts->glove.sdcardDir.empty()) {
        struct stat st {};
        if (stat(opts->glove.sdcardDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            errorLine("--sdcard " + opts->glove.sdcardDir + " is not a folder");
            return 2;
        }
    }
    Recorder recorder;
    if (!recorder.open(opts->recordPath)) {
        errorLine("cannot open record file " + opts->recordPath + ": " + std::strerror(errno));
        return 2;
    }

    gStopFd = tty::stopSignals({SIGINT, SIGTERM});
    if (gStopFd < 0) {
        errorLine(std::string("cannot receive stop signals: ") + std::strerror(errno));
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);

    opts->glove.initialTimeOfDayMs = localTimeOfDayMs();
    GloveCore core(opts->glove, Clock::now());
    core.setLog(logLine);
    std::FILE* stamps = nullptr;
    if (!opts->stampPath.empty()) {
        stamps = std::fopen(opts->stampPath.c_str(), "a");
        if (!stamps) {
            errorLine("cannot open stamp file " + opts->stampPath + ": " + std::strerror(errno));
            return 2;
        }
        // Flushed per line so a reader following the file sees each frame's stamp before the
        // frame (held back by --delay-ms or not) can reach it.
        core.setFrameStamp([stamps](const std::string& timeText, glovesim::TimePoint made) {
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(made.time_since_epoch());
            std::fprintf(stamps, "%s %lld\n", timeText.c_str(), static_cast<long long>(ns.count()));
            std::fflush(stamps);
        });
    }
    int status = opts->tcp ? runTcp(*opts, core, recorder) : runSerial(*opts, core, recorder);
    if (stamps) {
        std::fclose(stamps);
    }
    logLine("stopped");
    return status;
}

#include "tty/tty.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tty {

namespace {

using Clock = std::chrono::steady_clock;

speed_t speedFor(uint32_t baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 921600:
            return B921600;
        default:
            return B0;
    }
}

// Rounded up: a wait never ends before its deadline.
int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void closeKeepingErrno(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

}  // namespace

bool knownBaud(uint32_t baud) {
    return speedFor(baud) != B0;
}

int openExclusive(const std::string& path) {
    // Non-blocking, so that a write to a stalled line ends at its time-out; reads wait in
    // poll() instead.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        closeKeepingErrno(fd);
        if (errno == EWOULDBLOCK) {
            errno = EBUSY;
        }
        return -1;
    }
    if (::ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
        closeKeepingErrno(fd);  // the flag, if set, belongs to whoever holds the line
        return -1;
    }
    return fd;
}

bool closeExclusive(int fd) {
    if (fd < 0) {
        return true;
    }
    ::ioctl(fd, TIOCNXCL);
    return ::close(fd) == 0;
}

bool setExclusive(int fd, bool on) {
    return ::ioctl(fd, on ? TIOCEXCL : TIOCNXCL) == 0;
}

namespace {

// speed B0 keeps the present speed.
Setup configureLine(int fd, speed_t speed, Lines lines) {
    // The time-outs first: a descriptor that cannot take them is no usable terminal.
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return Setup::kNotTerminal;
    }
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        return Setup::kNotTerminal;
    }
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (speed != B0) {
        if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) {
            return Setup::kRefused;
        }
    }
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        return Setup::kRefused;
    }
    if (lines != Lines::kLeave) {
        int bits = TIOCM_DTR | TIOCM_RTS;
        if (::ioctl(fd, lines == Lines::kOn ? TIOCMBIS : TIOCMBIC, &bits) != 0 && errno != ENOTTY &&
            errno != EINVAL && errno != ENOTSUP && errno != EIO) {
            return Setup::kRefused;
        }
    }
    return Setup::kOk;
}

}  // namespace

Setup configure(int fd, uint32_t baud, Lines lines) {
    const speed_t speed = speedFor(baud);
    if (speed == B0) {
        // Still a terminal question first: a plain file is no terminal whatever its speed.
        termios tio{};
        return ::tcgetattr(fd, &tio) != 0 ? Setup::kNotTerminal : Setup::kBadBaud;
    }
    return configureLine(fd, speed, lines);
}

bool makeRaw(int fd) {
    return configureLine(fd, B0, Lines::kLeave) == Setup::kOk;
}

WriteResult writeFor(int fd, const void* bytes, size_t count, std::chrono::milliseconds limit) {
    WriteResult result;
    if (bytes == nullptr) {
        return result;
    }
    const auto deadline = Clock::now() + limit;
    const char* p = static_cast<const char*>(bytes);
    while (result.written < count) {
        const ssize_t n = ::write(fd, p + result.written, count - result.written);
        if (n > 0) {
            result.written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            result.error = errno;
            return result;
        }
        pollfd pfd{fd, POLLOUT, 0};
        const int wait = remainingMs(deadline);
        const int ready = wait == 0 ? 0 : ::poll(&pfd, 1, wait);
        if (ready < 0 && errno != EINTR) {
            result.error = errno;
            return result;
        }
        if (ready == 0) {
            result.error = ETIMEDOUT;
            return result;
        }
    }
    return result;
}

ssize_t readFor(int fd, void* buffer, size_t count, std::chrono::milliseconds firstByte) {
    if (buffer == nullptr || count == 0) {
        return 0;
    }
    const auto deadline = Clock::now() + firstByte;
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return -1;
        }
        if (ready == 0) {
            return 0;
        }
        const ssize_t n = ::read(fd, buffer, count);
        if (n >= 0) {
            return n;  // 0: readiness without data (VMIN = 0), or a line that hung up
        }
        if (errno != EINTR && errno != EAGAIN) {
            return -1;
        }
        if (remainingMs(deadline) == 0) {
            return 0;
        }
    }
}

size_t drain(int fd, std::chrono::milliseconds firstByte, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    char scratch[1024];
    size_t total = 0;
    ssize_t n;
    while ((n = readFor(fd, scratch, sizeof scratch, firstByte)) > 0) {
        total += static_cast<size_t>(n);
        if (Clock::now() >= deadline) {
            break;
        }
    }
    return total;
}

void flush(int fd, bool input, bool output) {
    if (input || output) {
        ::tcflush(fd, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH);
    }
}

bool hungUp(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) < 0 || (p.revents & (POLLHUP | POLLNVAL)) != 0;
}

Pty::~Pty() {
    close();
}

Pty::Pty(Pty&& other) noexcept
    : master_(other.master_), slave_(other.slave_), path_(std::move(other.path_)) {
    other.master_ = -1;
    other.slave_ = -1;
    other.path_.clear();
}

Pty& Pty::operator=(Pty&& other) noexcept {
    if (this != &other) {
        close();
        master_ = other.master_;
        slave_ = other.slave_;
        path_ = std::move(other.path_);
        other.master_ = -1;
        other.slave_ = -1;
        other.path_.clear();
    }
    return *this;
}

void Pty::close() {
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    path_.clear();
}

bool Pty::open(const PtyOptions& options, std::string* out_error) {
    auto failed = [out_error](const std::string& text) {
        if (out_error != nullptr) {
            *out_error = text;
        }
        return false;
    };
    Pty fresh;
    fresh.master_ =
        ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | (options.nonBlocking ? O_NONBLOCK : 0));
    if (fresh.master_ < 0 || ::grantpt(fresh.master_) != 0 || ::unlockpt(fresh.master_) != 0) {
        return failed(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
    }
    char name[128];
    if (::ptsname_r(fresh.master_, name, sizeof name) != 0) {
        return failed("cannot name the pseudo-terminal");
    }
    fresh.path_ = name;
    if (options.raw || options.holdSlave) {
        // Raw from the start: with the default echo the line discipline would hand the
        // master's own output back to it as input before a client sets its modes.
        const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (slave < 0) {
            return failed("cannot open " + fresh.path_ + ": " + std::strerror(errno));
        }
        if (options.raw && options.baud != 0) {
            configure(slave, options.baud, Lines::kLeave);
        } else if (options.raw) {
            makeRaw(slave);
        }
        if (options.holdSlave) {
            fresh.slave_ = slave;
        } else {
            ::close(slave);
        }
    }
    // Only now let the old pair go: held until here, its number cannot come back as the new
    // one's, which a client still pointed at the old path would otherwise open unawares.
    *this = std::move(fresh);
    return true;
}

bool linkReplaceable(const std::string& link) {
    struct stat st {};
    return ::lstat(link.c_str(), &st) != 0 || S_ISLNK(st.st_mode);
}

bool placeLink(const std::string& link, const std::string& target, std::string* out_error) {
    auto failed = [&](const std::string& text) {
        if (out_error != nullptr) {
            *out_error = text;
        }
        return false;
    };
    if (!linkReplaceable(link)) {
        return failed(link + " exists and is not a symbolic link");
    }
    const std::string tmp = link + ".new" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str()) != 0) {
        const std::string text = "cannot create link " + link + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return failed(text);
    }
    return true;
}

void removeLink(const std::string& link) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        ::unlink(link.c_str());
    }
}

int stopSignals(std::initializer_list<int> signals) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : signals) {
        sigaddset(&set, sig);
    }
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        return -1;
    }
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

bool readableWithin(int fd, std::chrono::milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, static_cast<int>(limit.count()));
    } while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace tty

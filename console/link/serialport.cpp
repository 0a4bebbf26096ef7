#include "link/serialport.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

// The exclusive flag outlives our descriptor on a pseudo-terminal (its master keeps the line
// open), which would lock every later opener out; drop it before closing.
void closeExclusive(int fd) {
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

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

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

SerialPort::SerialPort(const char* portName, uint32_t baudRate) {
    std::string path = portName != nullptr ? portName : "";
    if (!path.empty() && path.front() != '/') {
        path = "/dev/" + path;
    }
    // Non-blocking, so that a write to a stalled line ends at its time-out; reads wait in
    // poll() instead.
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        throw std::runtime_error(kSerialOpenError);
    }
    // Not shared: TIOCEXCL keeps other openers out; the lock also holds against root, which
    // TIOCEXCL lets through.
    // A file that is no terminal at all fails below, at the time-outs.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0 || (::ioctl(fd_, TIOCEXCL) != 0 && errno != ENOTTY)) {
        ::close(fd_);  // the flag, if set, belongs to whoever holds the line
        throw std::runtime_error(kSerialOpenError);
    }

    // Time-outs: the descriptor itself never blocks in read (VMIN = VTIME = 0); read() waits
    // in poll() for the first byte, which gives "at once with what waits, else up to 100 ms".
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) {
        closeExclusive(fd_);
        throw std::runtime_error(kSerialTimeoutsError);
    }
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
        closeExclusive(fd_);
        throw std::runtime_error(kSerialTimeoutsError);
    }

    const speed_t speed = speedFor(baudRate);
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (speed == B0 || ::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 ||
        ::tcsetattr(fd_, TCSANOW, &tio) != 0) {
        closeExclusive(fd_);
        throw std::runtime_error(kSerialParamsError);
    }
    // DTR and RTS on. A pseudo-terminal has no modem lines and refuses this; that is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (::ioctl(fd_, TIOCMBIS, &lines) != 0 && errno != ENOTTY && errno != EINVAL &&
        errno != ENOTSUP && errno != EIO) {
        closeExclusive(fd_);
        throw std::runtime_error(kSerialParamsError);
    }
}

SerialPort::~SerialPort() {
    if (fd_ >= 0) {
        closeExclusive(fd_);
    }
}

int SerialPort::write(const void* bytes, int count) {
    if (count <= 0 || bytes == nullptr) {
        return 0;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(100 + count);
    const char* p = static_cast<const char*>(bytes);
    int done = 0;
    while (done < count) {
        ssize_t n = ::write(fd_, p + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            break;
        }
        pollfd pfd{fd_, POLLOUT, 0};
        const int wait = remainingMs(deadline);
        if (wait == 0 || ::poll(&pfd, 1, wait) <= 0) {
            break;
        }
    }
    return done;
}

int SerialPort::writeString(const char* text) {
    return text != nullptr ? write(text, static_cast<int>(std::strlen(text))) : 0;
}

int SerialPort::read(void* buffer, int size, bool terminate) {
    char* out = static_cast<char*>(buffer);
    const int want = terminate ? size - 1 : size;
    if (terminate && size > 0) {
        out[0] = '\0';
    }
    if (want <= 0 || out == nullptr) {
        return 0;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kFirstByteTimeoutMs);
    for (;;) {
        pollfd pfd{fd_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return 0;
        }
        ssize_t n = ::read(fd_, out, static_cast<size_t>(want));
        if (n > 0) {
            if (terminate) {
                out[n] = '\0';
            }
            return static_cast<int>(n);
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        // Hang-up or error: report no data, but only after the time-out, so that callers
        // polling in a loop do not spin.
        std::this_thread::sleep_until(deadline);
        return 0;
    }
}

void SerialPort::drain() {
    // A glove that keeps streaming would never let a read come back empty: cap the time.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    char scratch[1024];
    while (read(scratch, sizeof scratch, false) > 0 && Clock::now() < deadline) {
    }
}

namespace {

QString readSysText(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(f.read(512)).trimmed();
}

// Walks up from the tty's device node to the nearest USB device that names itself.
QString usbDescription(const QString& deviceDir) {
    QString dir = QFileInfo(deviceDir).canonicalFilePath();
    for (int depth = 0; depth < 8 && !dir.isEmpty() && dir != QLatin1String("/"); ++depth) {
        const QString product = readSysText(dir + QLatin1String("/product"));
        if (!product.isEmpty()) {
            const QString maker = readSysText(dir + QLatin1String("/manufacturer"));
            return maker.isEmpty() ? product : maker + QLatin1Char(' ') + product;
        }
        dir = QFileInfo(dir).path();
    }
    return {};
}

}  // namespace

bool discoverSerialPorts(QStringList& ports, QStringList& descriptions,
                         const std::string& sysClassTty, const std::string& devDir,
                         const std::string& byIdDir) {
    ports.clear();
    descriptions.clear();
    QDir ttyDir(QString::fromStdString(sysClassTty));
    if (!ttyDir.exists()) {
        return false;
    }
    // Stable names: /dev/serial/by-id/<name> -> ../../ttyUSB0.
    QHash<QString, QString> stableName;
    QDir byId(QString::fromStdString(byIdDir));
    for (const QFileInfo& link :
         byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        if (link.isSymLink()) {
            stableName.insert(QFileInfo(link.symLinkTarget()).fileName(), link.absoluteFilePath());
        }
    }
    const QStringList entries =
        ttyDir.entryList(QDir::Dirs | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : entries) {
        const QString base = ttyDir.absoluteFilePath(name);
        // Virtual consoles and ptys have no device behind them.
        if (!QFileInfo::exists(base + QLatin1String("/device"))) {
            continue;
        }
        const QString driver =
            QFileInfo(QFileInfo(base + QLatin1String("/device/driver")).symLinkTarget()).fileName();
        // Legacy 8250 ports are always listed by the kernel; type 0 means no UART answers.
        const QString type = readSysText(base + QLatin1String("/type"));
        if (driver.startsWith(QLatin1String("serial8250")) && type == QLatin1String("0")) {
            continue;
        }
        QString description = usbDescription(base + QLatin1String("/device"));
        if (description.isEmpty()) {
            description = driver;
        }
        const QString path =
            stableName.value(name, QDir(QString::fromStdString(devDir)).absoluteFilePath(name));
        ports.append(path);
        descriptions.append(description);
    }
    return true;
}

bool discoverSerialPorts(QStringList& ports, QStringList& descriptions) {
    return discoverSerialPorts(ports, descriptions, "/sys/class/tty", "/dev", "/dev/serial/by-id");
}

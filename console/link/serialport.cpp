#include "link/serialport.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "tty/tty.hpp"

SerialPort::SerialPort(const char* portName, uint32_t baudRate) {
    std::string path = portName != nullptr ? portName : "";
    if (!path.empty() && path.front() != '/') {
        path = "/dev/" + path;
    }
    fd_ = tty::openExclusive(path);
    if (fd_ < 0) {
        throw std::runtime_error(kSerialOpenError);
    }
    // A file that is no terminal at all fails here, at the time-outs.
    switch (tty::configure(fd_, baudRate, tty::Lines::kOn)) {
        case tty::Setup::kOk:
            return;
        case tty::Setup::kNotTerminal:
            tty::closeExclusive(fd_);
            throw std::runtime_error(kSerialTimeoutsError);
        case tty::Setup::kBadBaud:
        case tty::Setup::kRefused:
            break;
    }
    tty::closeExclusive(fd_);
    throw std::runtime_error(kSerialParamsError);
}

SerialPort::~SerialPort() {
    tty::closeExclusive(fd_);
}

int SerialPort::write(const void* bytes, int count) {
    if (count <= 0 || bytes == nullptr) {
        return 0;
    }
    const auto sent = tty::writeFor(fd_, bytes, static_cast<size_t>(count),
                                    std::chrono::milliseconds(100 + count));
    return static_cast<int>(sent.written);
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
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstByteTimeoutMs);
    const ssize_t n = tty::readFor(fd_, out, static_cast<size_t>(want),
                                   std::chrono::milliseconds(kFirstByteTimeoutMs));
    if (n <= 0) {
        // Hang-up or error: report no data, but only after the time-out, so that callers
        // polling in a loop do not spin.
        std::this_thread::sleep_until(deadline);
        return 0;
    }
    if (terminate) {
        out[n] = '\0';
    }
    return static_cast<int>(n);
}

void SerialPort::drain() {
    // A glove that keeps streaming would never let a read come back empty: cap the time.
    tty::drain(fd_, std::chrono::milliseconds(kFirstByteTimeoutMs), std::chrono::seconds(5));
}

bool SerialPort::hungUp() const {
    return tty::hungUp(fd_);
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

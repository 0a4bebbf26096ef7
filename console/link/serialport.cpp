#include "link/serialport.hpp"

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

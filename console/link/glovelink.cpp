#include "link/glovelink.hpp"

#include <QHostAddress>
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::atomic<bool>& debugFlag() {
    static std::atomic<bool> flag{[] {
        const char* env = std::getenv("MANUVIA_DEBUG");
        return env != nullptr && *env != '\0' && std::strcmp(env, "0") != 0;
    }()};
    return flag;
}

constexpr const char* kReadError = "Glove Read Error, reboot and reconnect";
constexpr const char* kLostError = "Glove connection lost";

}  // namespace

GloveLink::GloveLink(QObject* parent, GloveTiming timing) : QTcpServer(parent), timing_(timing) {}

GloveLink::~GloveLink() = default;

// ---------------------------------------------------------------------------------------------
// Transport

bool GloveLink::openSerial(const QString& portName, bool reportFailure) {
    serialChosen_ = true;
    transport_.reset();
    std::unique_ptr<SerialPort> port;
    try {
        port = std::make_unique<SerialPort>(portName.toLocal8Bit().constData(), kBaudRate);
    } catch (const std::exception& e) {
        if (reportFailure) {
            log(e.what());
        }
        return false;
    }
    char scratch[256];
    port->read(scratch, 255, true);
    transport_ = std::make_unique<SerialTransport>(std::move(port), timing_);
    connected_.store(true);
    errorState_.store(0);
    lossReported_ = false;
    frameCarryLength_ = 0;
    return true;
}

bool GloveLink::listen(quint16 port, const QHostAddress& address) {
    serialChosen_ = false;
    return QTcpServer::listen(address, port);
}

bool GloveLink::acceptConnection() {
    if (!hasPendingConnections()) {
        return false;
    }
    QTcpSocket* accepted = nextPendingConnection();
    if (accepted == nullptr) {
        return false;
    }
    accepted->setParent(nullptr);
    attachTransport(std::make_unique<TcpTransport>(std::unique_ptr<QTcpSocket>(accepted), timing_));
    return true;
}

void GloveLink::attachTransport(std::unique_ptr<GloveTransport> transport) {
    transport_ = std::move(transport);
    connected_.store(transport_ != nullptr);
    errorState_.store(0);
    lossReported_ = false;
    frameCarryLength_ = 0;
}

void GloveLink::close() {
    if (transport_) {
        transport_->close();
        transport_.reset();
    }
    if (!serialChosen_) {
        QTcpServer::close();
    }
    connected_.store(false);
    streaming_.store(false);
}

bool GloveLink::connectionLost() const {
    return transport_ && transport_->lost();
}

void GloveLink::dropConnection() {
    if (transport_) {
        transport_->close();
        transport_.reset();
    }
    connected_.store(false);
    streaming_.store(false);
    frameCarryLength_ = 0;
}

void GloveLink::pause(milliseconds duration) {
    if (duration.count() > 0) {
        std::this_thread::sleep_for(duration);
    }
}

void GloveLink::readFailed() {
    if (noteLost()) {
        return;
    }
    log(kReadError);
    errorState_.store(-1);
}

bool GloveLink::noteLost() {
    if (!connectionLost()) {
        return false;
    }
    if (!lossReported_) {
        lossReported_ = true;
        log(kLostError);
    }
    errorState_.store(-1);
    return true;
}

// Reads exactly length bytes; gives up after readGiveUp without completing.
bool GloveLink::readExact(char* out, int length, milliseconds perWait) {
    const auto deadline = Clock::now() + timing_.readGiveUp;
    int got = 0;
    while (got < length) {
        if (Clock::now() >= deadline) {
            readFailed();
            return false;
        }
        if (!transport_) {
            return false;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        const int n = transport_->read(out + got, length - got, std::min(perWait, left));
        if (n < 0) {
            readFailed();
            return false;
        }
        got += n;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Exchanges

int GloveLink::exchange(const char* cmd, int length, bool echo, bool nul, bool flood, char* reply,
                        int capacity) {
    std::memset(reply, 0, static_cast<size_t>(capacity));
    frameCarryLength_ = 0;
    if (!transport_ || noteLost()) {
        return 0;
    }
    const int count = transport_->exchange(cmd, length, {echo, nul, flood}, reply, capacity);
    if (count < 0) {
        readFailed();
        return 0;
    }
    noteLost();
    return count;
}

int GloveLink::splitExchange(const char* cmd, int length, bool echo, bool nul, char* reply,
                             int capacity) {
    std::memset(reply, 0, static_cast<size_t>(capacity));
    frameCarryLength_ = 0;
    if (!transport_ || noteLost()) {
        return 0;
    }
    const int count = transport_->splitExchange(cmd, length, {echo, nul, false}, reply, capacity);
    if (count < 0) {
        readFailed();
        return 0;
    }
    noteLost();
    return count;
}

// ---------------------------------------------------------------------------------------------
// Commands

int GloveLink::querySensorCount() {
    char reply[kReplySize];
    const char cmd[3] = {'?', 'S', '\0'};
    const int count = exchange(cmd, 3, true, true, false, reply, kReplySize);
    if (count > 3) {
        decoder_.setSensorCount(static_cast<int8_t>(reply[2]));
        log(sensorCount() == 18 ? "18 Sensor Glove\n" : "22 Sensor Glove\n");
    }
    return sensorCount() == 18 ? 18 : 22;
}

int GloveLink::readSerialNumber() {
    char digits[5] = {};
    for (int k = 0; k < 4; ++k) {
        char reply[kReplySize];
        const char cmd[3] = {'?', 'E', static_cast<char>(k)};
        if (exchange(cmd, 3, true, true, false, reply, kReplySize) != 4) {
            return 0;
        }
        digits[k] = reply[0] != '?' ? reply[1] : reply[2];
    }
    return glove::parseNumber(digits, 0, 4);
}

void GloveLink::writeSerialNumber(int number) {
    char text[32];
    std::snprintf(text, sizeof text, "%4d", number);
    for (int k = 0; k < 4; ++k) {
        char reply[kReplySize];
        const char cmd[3] = {'E', static_cast<char>(k), text[k]};
        if (exchange(cmd, 3, true, true, false, reply, kReplySize) != 2) {
            return;
        }
    }
    logFormat("Serial Number set to %d\n", number);
}

void GloveLink::reboot() {
    char reply[kReplySize];
    const char cmd[2] = {0x12, 0x00};
    exchange(cmd, 2, true, true, false, reply, kReplySize);
}

bool GloveLink::queryRightHand() {
    char reply[kReplySize];
    if (exchange("?R", 2, true, true, false, reply, kReplySize) >= 3) {
        decoder_.setRightHand(reply[2] != 0);
    }
    return rightHand();
}

float GloveLink::batteryVoltage() {
    char reply[kReplySize];
    if (exchange("V", 1, true, true, false, reply, kReplySize) < 5) {
        return 0.0f;
    }
    return static_cast<float>(glove::parseNumber(reply, 1, 5)) / 1000.0f;
}

int GloveLink::batteryLevel() {
    return glove::batteryLevelFor(batteryVoltage());
}

void GloveLink::setTime(int hours, int minutes, int seconds) {
    char cmd[64];
    const int length = std::snprintf(cmd, sizeof cmd, "1ts%.2d:%.2d:%.2d", hours, minutes, seconds);
    char reply[kReplySize + 1];
    const int count =
        exchange(cmd, std::min<int>(length, sizeof cmd - 1), true, true, false, reply, kReplySize);
    reply[std::clamp(count, 0, kReplySize)] = '\0';
    log(reply);
}

void GloveLink::getTime(int out[5]) {
    if (streaming()) {
        frameTime(out);
        return;
    }
    char reply[kReplySize];
    const int count = exchange("1tg", 3, true, true, false, reply, kReplySize);
    const char* text = reply + 3;
    const int length = count > 3 ? static_cast<int>(strnlen(text, count - 3)) : 0;
    for (int f = 0; f < 4; ++f) {
        const int at = f * 3;
        if (at < length) {
            out[f] = glove::parseNumber(text, at, length);
        }
    }
}

int GloveLink::getFileList(char* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) {
        return 0;
    }
    int count = splitExchange("?l", 2, true, true, buffer, capacity);
    if (count >= 2 && buffer[0] == '?' && buffer[1] == 'l') {
        std::memmove(buffer, buffer + 2, static_cast<size_t>(count - 2));
        count -= 2;
        std::memset(buffer + count, 0, static_cast<size_t>(capacity - count));
    }
    return count;
}

int GloveLink::setJamSync(bool on) {
    char reply[kReplySize];
    const char cmd[3] = {'1', 'o', static_cast<char>(on ? 1 : 0)};
    return exchange(cmd, 3, true, true, false, reply, kReplySize);
}

void GloveLink::configureOutputs(bool wifiOn, int wifiDivider, bool usbOn, int usbDivider,
                                 bool sdOn, int sdDivider) {
    char reply[kReplySize];
    auto output = [&](bool on, int divider, char letter) {
        if (on) {
            const char enable[3] = {'1', 'e', letter};
            exchange(enable, 3, true, true, false, reply, kReplySize);
            const char rate[3] = {'1', letter, static_cast<char>(divider)};
            exchange(rate, 3, true, true, false, reply, kReplySize);
        } else {
            const char disable[3] = {'1', 'd', letter};
            exchange(disable, 3, true, true, false, reply, kReplySize);
        }
    };
    output(wifiOn, wifiDivider, 'w');
    output(usbOn, usbDivider, 'u');
    output(sdOn, sdDivider, 's');
}

void GloveLink::setFrameRateMultiplier(int multiplier) {
    char reply[kReplySize];
    const char cmd[3] = {'1', 'm', static_cast<char>(std::clamp(multiplier, 1, 4))};
    exchange(cmd, 3, true, true, false, reply, kReplySize);
}

void GloveLink::applyDefaultStreamConfig() {
    setFrameRateMultiplier(3);
    configureOutputs(true, 3, true, 3, true, 1);
}

void GloveLink::setActiveFile(const char* fileName, const char* header) {
    // Commands are built in 256 bytes: name up to 253, header up to 255 characters.
    char cmd[256];
    const size_t nameLength = fileName != nullptr ? strnlen(fileName, 253) : 0;
    cmd[0] = '1';
    cmd[1] = 'A';
    std::memcpy(cmd + 2, fileName != nullptr ? fileName : "", nameLength);
    cmd[2 + nameLength] = 0x01;
    const int length = static_cast<int>(nameLength) + 3;
    char reply[kReplySize];
    const int count = splitExchange(cmd, length, true, true, reply, kReplySize);
    const bool endedWell = (count > 0 && reply[count - 1] == '\0') || count == length;
    if (!endedWell) {
        return;
    }
    const char* text = header != nullptr ? header : "DEFAULT HEADER";
    const size_t textLength = strnlen(text, 255);
    std::memcpy(cmd, text, textLength);
    cmd[textLength] = 0x01;
    exchange(cmd, static_cast<int>(textLength) + 1, true, true, false, reply, kReplySize);
}

void GloveLink::downloadActiveFile(std::vector<uint8_t>& out) {
    out.clear();
    if (!transport_) {
        return;
    }
    frameCarryLength_ = 0;
    transport_->write("1D", 2);
    char echo[2];
    if (!readExact(echo, 2, timing_.tcpDownloadWait)) {
        return;
    }
    pause(timing_.downloadStartPause);

    std::vector<char> chunk(kDownloadChunk + 1);
    auto lastData = Clock::now();
    auto now = lastData;
    qint64 total = 0;
    while (now - lastData < timing_.downloadIdleLimit) {
        // A line that went away reads as empty: the download ends after the quiet spell.
        const int n =
            std::max(0, transport_->read(chunk.data(), kDownloadChunk, timing_.tcpDownloadWait));
        total += n;
        logFormat("Read %lld bytes", static_cast<long long>(total));
        emit downloadProgress(total);
        if (n == 0) {
            pause(timing_.downloadEmptyPause);
        } else {
            // The terminator may straddle two chunks: look back over its length.
            const size_t from =
                out.size() >= kTerminatorLength - 1 ? out.size() - (kTerminatorLength - 1) : 0;
            out.insert(out.end(), chunk.begin(), chunk.begin() + n);
            lastData = Clock::now();
            if (glove::containsTerminator(out.data(), out.size(), from)) {
                log("Termination Sequence");
                return;
            }
        }
        now = Clock::now();
    }
}

void GloveLink::startStreaming() {
    char reply[kReplySize];
    exchange("1S", 2, true, true, false, reply, kReplySize);
    streaming_.store(true);
}

void GloveLink::stopStreaming() {
    char reply[kReplySize];
    const char cmd[1] = {0x03};
    exchange(cmd, 1, true, true, true, reply, kReplySize);
    streaming_.store(false);
}

bool GloveLink::readFrame() {
    if (!transport_) {
        return false;
    }
    char frame[glove::kFrameSize + 1] = {};
    const int carried = frameCarryLength_;
    std::memcpy(frame, frameCarry_.data(), static_cast<size_t>(carried));
    frameCarryLength_ = 0;
    if (!readExact(frame + carried, glove::kFrameSize - carried, timing_.tcpEchoTimeout)) {
        return false;
    }
    if (frame[glove::kFrameSize - 1] != '\0' || !glove::frameSeparatorsInPlace(frame)) {
        // Out of step (a lost or extra byte) or a damaged frame. The frame carries NULs at
        // two places (end of the time text and end of the frame), so "last byte is NUL"
        // alone can hold at a wrong offset: look for the start of the next frame among the
        // bytes already read, else restart after the last NUL seen. The bytes in hand are
        // refused whole: with a byte lost or added they are parts of two frames.
        keepFrameStart(frame);
        return false;
    }
    return decodeFrame(frame);
}

void GloveLink::keepFrameStart(const char* frame) {
    const int from = glove::frameResyncOffset(frame);
    frameCarryLength_ = glove::kFrameSize - from;
    std::memcpy(frameCarry_.data(), frame + from, static_cast<size_t>(frameCarryLength_));
}

void GloveLink::pollSample() {
    char reply[kReplySize];
    const int count = exchange("G", 1, true, true, true, reply, kReplySize);
    decodePollReply(reply, count);
}

void GloveLink::setLowPower(bool on) {
    char reply[kReplySize];
    exchange(on ? "Z1" : "Z0", 2, false, true, false, reply, kReplySize);
    lowPower_.store(on);
}

bool GloveLink::readHardwareCalibration(uint8_t out[glove::kHardwareBlockReadSize]) {
    char reply[kReplySize];
    exchange("", 0, false, true, true, reply, kReplySize);
    const int count = exchange("?C", 2, true, true, true, reply, kReplySize);
    if (count < 2 + glove::kHardwareBlockReadSize) {
        return false;
    }
    std::string text = "READ FROM GLOVE\t";
    for (int i = 0; i < glove::kHardwareBlockReadSize; ++i) {
        out[i] = static_cast<uint8_t>(reply[2 + i]);
        char value[8];
        std::snprintf(value, sizeof value, "%3u ", static_cast<unsigned>(out[i]));
        text += value;
    }
    text += "\n";
    log(text.c_str());
    return true;
}

void GloveLink::writeHardwareCalibration(const uint8_t block[glove::kHardwareBlockWriteSize]) {
    char cmd[2 + glove::kHardwareBlockWriteSize];
    cmd[0] = 'C';
    cmd[1] = 'A';
    std::memcpy(cmd + 2, block, glove::kHardwareBlockWriteSize);
    char reply[kReplySize];
    exchange(cmd, sizeof cmd, false, true, true, reply, kReplySize);
    log("WRITE TO GLOVE\n");
    pause(timing_.hardwareWritePause);
}

void GloveLink::commitEEPROM() {
    char reply[kReplySize];
    exchange("^W", 2, true, false, false, reply, kReplySize);
}

// ---------------------------------------------------------------------------------------------
// Decoders

bool GloveLink::decodeFrame(const char* frame) {
    if (!decoder_.decodeFrame(frame)) {
        return false;
    }
    logFrameTime();
    return true;
}

void GloveLink::decodePollReply(const char* reply, int count) {
    if (!decoder_.decodePollReply(reply, count)) {
        return;
    }
    std::string text;
    for (int i = 0; i < glove::kSensorIndexCount; ++i) {
        char value[16];
        std::snprintf(value, sizeof value, "%3d ", static_cast<int>(decoder_.rawValue(i) >> 4));
        text += value;
    }
    text += "\n";
    log(text.c_str());
}

// ---------------------------------------------------------------------------------------------
// Calibration files

bool GloveLink::saveSoftwareCalibration(const QString& path) const {
    return glove::writeSwcalFile(path.toStdString(), decoder_.calibrationTable());
}

bool GloveLink::loadSoftwareCalibration(const QString& path) {
    return glove::readSwcalFile(path.toStdString(), &decoder_.calibrationTable());
}

// ---------------------------------------------------------------------------------------------
// Log

void GloveLink::setDebugLog(bool on) {
    debugFlag().store(on);
}

bool GloveLink::debugLog() {
    return debugFlag().load(std::memory_order_relaxed);
}

void GloveLink::log(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    {
        std::lock_guard<std::mutex> lock(messageMutex_);
        const size_t n = strnlen(text, kMessageSize - 1);
        std::memcpy(lastMessage_, text, n);
        lastMessage_[n] = '\0';
        messageIsFrameTime_ = false;
    }
    if (debugLog()) {
        std::fprintf(stderr, "%s", text);
        if (*text != '\0' && text[std::strlen(text) - 1] != '\n') {
            std::fputc('\n', stderr);
        }
    }
}

void GloveLink::log(const QString& text) {
    log(text.toLocal8Bit().constData());
}

void GloveLink::logFormat(const char* format, ...) {
    char text[kMessageSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log(text);
}

void GloveLink::logFrameTime() {
    {
        std::lock_guard<std::mutex> lock(messageMutex_);
        messageIsFrameTime_ = true;
    }
    if (debugLog()) {
        int t[5];
        frameTime(t);
        std::fprintf(stderr, "%.2d:%.2d:%.2d:%.2d:%.2d\t\n", t[0], t[1], t[2], t[3], t[4]);
    }
}

void GloveLink::clearLog() {
    std::lock_guard<std::mutex> lock(messageMutex_);
    lastMessage_[0] = '\0';
    messageIsFrameTime_ = false;
}

QString GloveLink::lastMessage() const {
    std::lock_guard<std::mutex> lock(messageMutex_);
    if (messageIsFrameTime_) {
        char text[kMessageSize];
        std::snprintf(text, sizeof text, "%.2d:%.2d:%.2d:%.2d:%.2d\t", decoder_.frameTimeField(0),
                      decoder_.frameTimeField(1), decoder_.frameTimeField(2),
                      decoder_.frameTimeField(3), decoder_.frameTimeField(4));
        return QString::fromLatin1(text);
    }
    return QString::fromLocal8Bit(lastMessage_);
}

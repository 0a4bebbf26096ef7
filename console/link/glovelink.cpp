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

// Leading decimal digits of text[begin, end); 0 when there are none.
int leadingNumber(const char* text, int begin, int end) {
    int value = 0;
    for (int i = begin; i < end && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 99999999) {
            break;
        }
    }
    return value;
}

// atoi-like: leading white space, optional sign, digits of text[begin, end).
int parseNumber(const char* text, int begin, int end) {
    int i = begin;
    while (i < end && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < end && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    const int value = leadingNumber(text, i, end);
    return negative ? -value : value;
}

bool containsTerminator(const uint8_t* data, size_t size, size_t from) {
    int run = 0;
    for (size_t i = from; i < size; ++i) {
        run = data[i] == 0x0D ? run + 1 : 0;
        if (run >= GloveLink::kTerminatorLength) {
            return true;
        }
    }
    return false;
}

}  // namespace

GloveLink::GloveLink(QObject* parent, GloveTiming timing)
    : QTcpServer(parent), calibration_(glove::kDefaultCalibration), timing_(timing) {
    for (auto& r : raw_) {
        r.store(glove::kRawInitial, std::memory_order_relaxed);
    }
    for (auto& a : angles_) {
        a.store(0.0, std::memory_order_relaxed);
    }
    computeAngles();
}

GloveLink::~GloveLink() {
    socket_.reset();
    serialPort_.reset();
}

// ---------------------------------------------------------------------------------------------
// Transport

bool GloveLink::openSerial(const QString& portName) {
    transport_ = 1;
    socket_.reset();
    serialPort_.reset();
    try {
        serialPort_ = std::make_unique<SerialPort>(portName.toLocal8Bit().constData(), kBaudRate);
    } catch (const std::exception& e) {
        log(e.what());
        return false;
    }
    char scratch[256];
    serialPort_->read(scratch, 255, true);
    connected_.store(true);
    errorState_.store(0);
    frameCarryLength_ = 0;
    return true;
}

bool GloveLink::listen(quint16 port, const QHostAddress& address) {
    transport_ = 0;
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
    serialPort_.reset();
    socket_.reset(accepted);
    connected_.store(true);
    errorState_.store(0);
    frameCarryLength_ = 0;
    return true;
}

void GloveLink::close() {
    if (transport_ == 1) {
        serialPort_.reset();
    } else {
        if (socket_) {
            socket_->close();
            socket_.reset();
        }
        QTcpServer::close();
    }
    connected_.store(false);
    streaming_.store(false);
}

void GloveLink::pause(milliseconds duration) {
    if (duration.count() > 0) {
        std::this_thread::sleep_for(duration);
    }
}

bool GloveLink::writeBytes(const char* bytes, int length) {
    if (transport_ == 1) {
        if (!serialPort_) {
            return false;
        }
        return length == 0 || serialPort_->write(bytes, length) == length;
    }
    if (!socket_) {
        return false;
    }
    if (length > 0 && socket_->write(bytes, length) != length) {
        return false;
    }
    socket_->flush();
    if (socket_->bytesToWrite() > 0) {
        socket_->waitForBytesWritten(static_cast<int>(timing_.tcpReplyTimeout.count()));
    }
    return true;
}

void GloveLink::readFailed() {
    log(kReadError);
    errorState_.store(-1);
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
        if (transport_ == 1) {
            if (!serialPort_) {
                return false;
            }
            got += serialPort_->read(out + got, length - got, false);
            continue;
        }
        if (!socket_) {
            return false;
        }
        if (socket_->bytesAvailable() == 0) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            const int wait =
                static_cast<int>(std::max<int64_t>(1, std::min(perWait.count(), left.count())));
            if (!socket_->waitForReadyRead(wait)) {
                if (socket_->state() != QAbstractSocket::ConnectedState) {
                    readFailed();
                    return false;
                }
                continue;
            }
        }
        const qint64 n = socket_->read(out + got, length - got);
        if (n < 0) {
            readFailed();
            return false;
        }
        got += static_cast<int>(n);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Exchanges

int GloveLink::serialEchoPhase(int length, char* reply, int capacity) {
    int count = 0;
    // A reply that already ended with its NUL is complete even when shorter than the command
    // (the serial-number write is answered with 2 bytes to 3).
    for (int i = 0; i < 10 && count < length && (count == 0 || reply[count - 1] != '\0'); ++i) {
        const int room = std::min(length, capacity - count);
        if (room <= 0) {
            break;
        }
        count += serialPort_->read(reply + count, room, false);
    }
    return count;
}

// Reads until the reply ends with NUL, a read brings nothing, or the buffer is full. Each
// read is capped to the room left, so the NUL the port stores after the data stays inside.
int GloveLink::serialNulPhase(int count, char* reply, int capacity) {
    char last = count > 0 ? reply[count - 1] : 1;
    int previous = -1;
    char chunk[256];
    while (last != '\0' && count != previous && count < capacity) {
        previous = count;
        const int size = std::min(255, capacity + 1 - count);
        const int n = serialPort_->read(chunk, size, true);
        std::memcpy(reply + count, chunk, static_cast<size_t>(n));
        count += n;
        if (n > 0) {
            last = reply[count - 1];
        }
    }
    if (count >= capacity) {
        serialPort_->drain();
    }
    return count;
}

int GloveLink::tcpEchoPhase(int count, int length, bool flood, char* reply, int capacity) {
    while (count < length && (count == 0 || reply[count - 1] != '\0')) {
        if (socket_->bytesAvailable() == 0 &&
            !socket_->waitForReadyRead(static_cast<int>(timing_.tcpEchoTimeout.count()))) {
            readFailed();
            return -1;
        }
        if (flood && socket_->bytesAvailable() > 255) {
            // A streaming backlog: throw it away rather than take it for the echo.
            const int chunk = std::min(255, capacity);
            while (socket_->bytesAvailable() > 255) {
                socket_->read(reply, chunk);
            }
            count = chunk;
        } else {
            const qint64 room = capacity - count;
            if (room <= 0) {
                tcpDrainReply();
                return count;
            }
            const qint64 n = socket_->read(reply + count, room);
            if (n > 0) {
                count += static_cast<int>(n);
            }
        }
    }
    return count;
}

int GloveLink::tcpNulPhase(int count, char* reply, int capacity) {
    while (count == 0 || reply[count - 1] != '\0') {
        if (count >= capacity) {
            tcpDrainReply();
            break;
        }
        if (socket_->bytesAvailable() == 0 &&
            !socket_->waitForReadyRead(static_cast<int>(timing_.tcpReplyTimeout.count()))) {
            break;
        }
        const qint64 n = socket_->read(reply + count, capacity - count);
        if (n > 0) {
            count += static_cast<int>(n);
        }
    }
    return count;
}

// Discards the rest of a reply cut at its buffer: up to its NUL, a quiet spell or the
// overall read limit, whichever comes first.
void GloveLink::tcpDrainReply() {
    const auto deadline = Clock::now() + timing_.readGiveUp;
    char scratch[1024];
    char last = 1;
    while (last != '\0' && Clock::now() < deadline) {
        if (socket_->bytesAvailable() == 0 &&
            !socket_->waitForReadyRead(static_cast<int>(timing_.tcpReplyTimeout.count()))) {
            break;
        }
        const qint64 n = socket_->read(scratch, sizeof scratch);
        if (n > 0) {
            last = scratch[n - 1];
        } else if (n < 0) {
            break;
        }
    }
}

int GloveLink::exchange(const char* cmd, int length, bool echo, bool nul, bool flood, char* reply,
                        int capacity) {
    std::memset(reply, 0, static_cast<size_t>(capacity));
    frameCarryLength_ = 0;
    if (transport_ == 1) {
        if (!serialPort_) {
            return 0;
        }
        writeBytes(cmd, length);
        pause(timing_.serialWritePause);
        // Without an echo the reply is still read up to its NUL: left in the port it would be
        // taken for the next command's echo.
        int count = echo ? serialEchoPhase(length, reply, capacity) : 0;
        if (nul) {
            count = serialNulPhase(count, reply, capacity);
        }
        return count;
    }
    if (!socket_) {
        return 0;
    }
    writeBytes(cmd, length);
    int count = 0;
    if (echo) {
        count = tcpEchoPhase(0, length, flood, reply, capacity);
        if (count < 0) {
            return 0;
        }
    }
    if (nul) {
        count = tcpNulPhase(count, reply, capacity);
    }
    return count;
}

int GloveLink::splitExchange(const char* cmd, int length, bool echo, bool nul, char* reply,
                             int capacity) {
    std::memset(reply, 0, static_cast<size_t>(capacity));
    frameCarryLength_ = 0;
    const int head = std::min(length, 2);
    if (transport_ == 1) {
        if (!serialPort_) {
            return 0;
        }
        writeBytes(cmd, head);
        pause(timing_.splitFirstPause);
        writeBytes(cmd + head, length - head);
        pause(timing_.splitSecondPause);
        int count = echo ? serialEchoPhase(length, reply, capacity) : 0;
        pause(timing_.splitReplyPause);
        if (nul) {
            count = serialNulPhase(count, reply, capacity);
        }
        return count;
    }
    if (!socket_) {
        return 0;
    }
    writeBytes(cmd, head);
    int count = 0;
    if (echo) {
        count = tcpEchoPhase(0, head, false, reply, capacity);
        if (count < 0) {
            return 0;
        }
    }
    if (length > head) {
        writeBytes(cmd + head, length - head);
        pause(timing_.splitFirstPause);
        if (echo) {
            count = tcpEchoPhase(count, length, false, reply, capacity);
            if (count < 0) {
                return 0;
            }
        }
    }
    pause(timing_.splitReplyPause);
    if (nul) {
        count = tcpNulPhase(count, reply, capacity);
    }
    return count;
}

// ---------------------------------------------------------------------------------------------
// Commands

int GloveLink::querySensorCount() {
    char reply[kReplySize];
    const char cmd[3] = {'?', 'S', '\0'};
    const int count = exchange(cmd, 3, true, true, false, reply, kReplySize);
    if (count > 3) {
        sensorCount_.store(static_cast<int8_t>(reply[2]));
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
    return parseNumber(digits, 0, 4);
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
        rightHand_.store(reply[2] != 0);
    }
    return rightHand();
}

float GloveLink::batteryVoltage() {
    char reply[kReplySize];
    if (exchange("V", 1, true, true, false, reply, kReplySize) < 5) {
        return 0.0f;
    }
    return static_cast<float>(parseNumber(reply, 1, 5)) / 1000.0f;
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
            out[f] = parseNumber(text, at, length);
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
    if ((transport_ == 1 && !serialPort_) || (transport_ != 1 && !socket_)) {
        return;
    }
    frameCarryLength_ = 0;
    writeBytes("1D", 2);
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
        int n = 0;
        if (transport_ == 1) {
            n = serialPort_->read(chunk.data(), kDownloadChunk, true);
        } else {
            if (socket_->bytesAvailable() == 0) {
                socket_->waitForReadyRead(static_cast<int>(timing_.tcpDownloadWait.count()));
            }
            const qint64 got = socket_->read(chunk.data(), kDownloadChunk);
            n = got > 0 ? static_cast<int>(got) : 0;
        }
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
            if (containsTerminator(out.data(), out.size(), from)) {
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
    if ((transport_ == 1 && !serialPort_) || (transport_ != 1 && !socket_)) {
        return false;
    }
    char frame[glove::kFrameSize + 1] = {};
    const int carried = frameCarryLength_;
    std::memcpy(frame, frameCarry_.data(), static_cast<size_t>(carried));
    frameCarryLength_ = 0;
    if (!readExact(frame + carried, glove::kFrameSize - carried, timing_.tcpEchoTimeout)) {
        return false;
    }
    if (frame[glove::kFrameSize - 1] != '\0' || !frameSeparatorsInPlace(frame)) {
        // Out of step (a lost or extra byte) or a damaged frame. The frame carries NULs at
        // two places (end of the time text and end of the frame), so "last byte is NUL"
        // alone can hold at a wrong offset: look for the start of the next frame among the
        // bytes already read, else restart after the last NUL seen.
        keepFrameStart(frame);
    }
    return decodeFrame(frame);
}

bool GloveLink::frameSeparatorsInPlace(const char* frame) {
    return frame[2] == ':' && frame[5] == ':' && frame[8] == ':';
}

void GloveLink::keepFrameStart(const char* frame) {
    constexpr int n = glove::kFrameSize;
    int from = n;
    for (int p = 1; p + 8 < n; ++p) {
        if (frame[p - 1] == '\0' && frame[p + 2] == ':' && frame[p + 5] == ':' &&
            frame[p + 8] == ':') {
            from = p;
            break;
        }
    }
    if (from == n) {
        for (int p = n - 1; p >= 0; --p) {
            if (frame[p] == '\0') {
                from = p + 1;
                break;
            }
        }
    }
    frameCarryLength_ = n - from;
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
    if (!frameSeparatorsInPlace(frame)) {
        return false;
    }
    // Each field is read within its own place of the 14-byte time text.
    static constexpr int kBegin[5] = {0, 3, 6, 9, 11};
    static constexpr int kEnd[5] = {2, 5, 8, 11, 14};
    for (int f = 0; f < 5; ++f) {
        frameTime_[f].store(leadingNumber(frame, kBegin[f], kEnd[f]), std::memory_order_relaxed);
    }
    logFrameTime();

    const glove::SlotMap& map = glove::slotMapFor(sensorCount());
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame) + 14;
    for (int s = 0; s < glove::kFrameSlotCount; ++s) {
        const int idx = map[s];
        if (idx < 0) {
            continue;
        }
        const int32_t v = static_cast<int8_t>(bytes[2 * s]) * 256 + bytes[2 * s + 1];
        const int64_t old = raw_[idx].load(std::memory_order_relaxed);
        if (std::llabs(v - old) > 64) {
            raw_[idx].store(static_cast<uint32_t>(v), std::memory_order_relaxed);
        }
    }
    return true;
}

void GloveLink::decodePollReply(const char* reply, int count) {
    const int n = std::min(count, glove::kFrameSlotCount);
    if (n <= 1) {
        return;
    }
    const glove::SlotMap& map = glove::slotMapFor(sensorCount());
    for (int s = 0; s < n; ++s) {
        const int idx = map[s];
        if (idx < 0) {
            continue;
        }
        // With the NUL counted in n, the last slot may lie one past the reply: it reads as 0.
        const uint8_t byte = 1 + s < count ? static_cast<uint8_t>(reply[1 + s]) : 0;
        const uint32_t v = static_cast<uint32_t>(byte) * 16;
        const uint32_t old = raw_[idx].load(std::memory_order_relaxed);
        const int64_t diff = static_cast<int64_t>(v) - static_cast<int64_t>(old);
        if (std::llabs(diff) > 64 || old == glove::kRawInitial) {
            raw_[idx].store(v, std::memory_order_relaxed);
        }
    }
    std::string text;
    for (int i = 0; i < glove::kSensorIndexCount; ++i) {
        char value[16];
        std::snprintf(value, sizeof value, "%3d ",
                      static_cast<int>(raw_[i].load(std::memory_order_relaxed) >> 4));
        text += value;
    }
    text += "\n";
    log(text.c_str());
}

// ---------------------------------------------------------------------------------------------
// Angles and calibration

void GloveLink::computeAngles() {
    if (autoZeroEnabled_ && autoZeroPending_) {
        zeroOffsetsFromRaw();
        autoZeroPending_ = false;
    }
    double a[6][4];
    auto count = [this](int i) {
        return static_cast<double>(raw_[i].load(std::memory_order_relaxed) >> 4);
    };
    for (int r = 0; r < 6; ++r) {
        for (int k = 0; k < 4; ++k) {
            const int i = 4 * r + k;
            a[r][k] = (count(i) - calibration_[i].offset) * (-calibration_[i].gain);
        }
    }
    if (a[0][0] > 0.5) {
        a[0][0] = 0.5;
    }
    // Finger spread: index 7 has no sensor, its gain scales the index-middle spread; the
    // gain of index 11 is the middle finger's share of it.
    const double t = (count(11) - calibration_[11].offset) * calibration_[7].gain;
    const double u = -(a[3][3] + t) * calibration_[11].gain;
    a[1][3] = t + u;
    a[2][3] = u;
    a[3][3] = a[3][3] + u;
    a[4][3] = a[4][3] + a[3][3];
    if (sensorCount() == 18) {
        // No outer joint sensors: estimate them from the middle joints.
        for (int r = 1; r <= 4; ++r) {
            const double p = a[r][1];
            a[r][2] = a[r][2] > 0 ? (0.32 * p + 0.17) * p : -p * (0.32 * p + 0.17);
        }
    }
    if (!rightHand()) {
        for (int r = 0; r <= 4; ++r) {
            a[r][3] = -a[r][3];
        }
        a[5][2] = -a[5][2];
    }
    for (int r = 0; r < 6; ++r) {
        for (int k = 0; k < 4; ++k) {
            angles_[4 * r + k].store(a[r][k], std::memory_order_relaxed);
        }
    }
}

void GloveLink::zeroOffsetsFromRaw() {
    for (int i = 0; i < glove::kSensorIndexCount; ++i) {
        calibration_[i].offset = static_cast<double>(raw_[i].load(std::memory_order_relaxed) >> 4);
    }
}

void GloveLink::copyRaw(uint32_t out[glove::kSensorIndexCount]) const {
    for (int i = 0; i < glove::kSensorIndexCount; ++i) {
        out[i] = raw_[i].load(std::memory_order_relaxed);
    }
}

void GloveLink::copyAngles(double out[glove::kSensorIndexCount]) const {
    for (int i = 0; i < glove::kSensorIndexCount; ++i) {
        out[i] = angles_[i].load(std::memory_order_relaxed);
    }
}

double GloveLink::angle(int row, int column) const {
    if (row < 0 || row >= 6 || column < 0 || column >= 4) {
        return 0.0;
    }
    return angles_[4 * row + column].load(std::memory_order_relaxed);
}

uint32_t GloveLink::rawValue(int idx) const {
    return idx >= 0 && idx < glove::kSensorIndexCount ? raw_[idx].load(std::memory_order_relaxed)
                                                      : 0;
}

void GloveLink::setRawValue(int idx, uint32_t value) {
    if (idx >= 0 && idx < glove::kSensorIndexCount) {
        raw_[idx].store(value, std::memory_order_relaxed);
    }
}

glove::SensorCalibration GloveLink::calibration(int idx) const {
    return idx >= 0 && idx < glove::kSensorIndexCount ? calibration_[idx]
                                                      : glove::SensorCalibration{0, 0};
}

void GloveLink::setCalibration(int idx, glove::SensorCalibration value) {
    if (idx >= 0 && idx < glove::kSensorIndexCount) {
        calibration_[idx] = value;
    }
}

void GloveLink::setCalibrationOffset(int idx, double offset) {
    if (idx >= 0 && idx < glove::kSensorIndexCount) {
        calibration_[idx].offset = offset;
    }
}

void GloveLink::setCalibrationGain(int idx, double gain) {
    if (idx >= 0 && idx < glove::kSensorIndexCount) {
        calibration_[idx].gain = gain;
    }
}

bool GloveLink::saveSoftwareCalibration(const QString& path) const {
    return glove::writeSwcalFile(path.toStdString(), calibration_);
}

bool GloveLink::loadSoftwareCalibration(const QString& path) {
    return glove::readSwcalFile(path.toStdString(), &calibration_);
}

void GloveLink::frameTime(int out[5]) const {
    for (int f = 0; f < 5; ++f) {
        out[f] = frameTime_[f].load(std::memory_order_relaxed);
    }
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
        std::snprintf(text, sizeof text, "%.2d:%.2d:%.2d:%.2d:%.2d\t",
                      frameTime_[0].load(std::memory_order_relaxed),
                      frameTime_[1].load(std::memory_order_relaxed),
                      frameTime_[2].load(std::memory_order_relaxed),
                      frameTime_[3].load(std::memory_order_relaxed),
                      frameTime_[4].load(std::memory_order_relaxed));
        return QString::fromLatin1(text);
    }
    return QString::fromLocal8Bit(lastMessage_);
}

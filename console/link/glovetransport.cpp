#include "link/glovetransport.hpp"

#include <QTcpSocket>
#include <algorithm>
#include <cstring>
#include <thread>

namespace {

void pause(std::chrono::milliseconds duration) {
    if (duration.count() > 0) {
        std::this_thread::sleep_for(duration);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Serial

SerialTransport::SerialTransport(std::unique_ptr<SerialPort> port, const GloveTiming& timing)
    : port_(std::move(port)), timing_(timing) {}

void SerialTransport::close() {
    port_.reset();
}

bool SerialTransport::write(const char* bytes, int length) {
    if (!port_) {
        return false;
    }
    return length == 0 || port_->write(bytes, length) == length;
}

bool SerialTransport::lost() const {
    return !port_ || port_->hungUp();
}

int SerialTransport::read(char* out, int capacity, std::chrono::milliseconds /*wait*/) {
    if (!port_) {
        return -1;
    }
    const int n = port_->read(out, capacity, false);
    // A hung-up line reads as empty: tell it apart from a quiet glove.
    return n == 0 && port_->hungUp() ? -1 : n;
}

int SerialTransport::echoPhase(int length, char* reply, int capacity) {
    int count = 0;
    // A reply that already ended with its NUL is complete even when shorter than the command
    // (the serial-number write is answered with 2 bytes to 3).
    for (int i = 0; i < 10 && count < length && (count == 0 || reply[count - 1] != '\0'); ++i) {
        const int room = std::min(length, capacity - count);
        if (room <= 0) {
            break;
        }
        count += port_->read(reply + count, room, false);
    }
    return count;
}

// Reads until the reply ends with NUL, a read brings nothing, or the buffer is full. Each
// read is capped to the room left, so the NUL the port stores after the data stays inside.
int SerialTransport::nulPhase(int count, char* reply, int capacity) {
    char last = count > 0 ? reply[count - 1] : 1;
    int previous = -1;
    char chunk[256];
    while (last != '\0' && count != previous && count < capacity) {
        previous = count;
        const int size = std::min(255, capacity + 1 - count);
        const int n = port_->read(chunk, size, true);
        std::memcpy(reply + count, chunk, static_cast<size_t>(n));
        count += n;
        if (n > 0) {
            last = reply[count - 1];
        }
    }
    if (count >= capacity) {
        port_->drain();
    }
    return count;
}

int SerialTransport::exchange(const char* cmd, int length, Reply kind, char* reply, int capacity) {
    if (!port_) {
        return 0;
    }
    write(cmd, length);
    pause(timing_.serialWritePause);
    // Without an echo the reply is still read up to its NUL: left in the port it would be
    // taken for the next command's echo.
    int count = kind.echo ? echoPhase(length, reply, capacity) : 0;
    if (kind.nul) {
        count = nulPhase(count, reply, capacity);
    }
    return count;
}

int SerialTransport::splitExchange(const char* cmd, int length, Reply kind, char* reply,
                                   int capacity) {
    if (!port_) {
        return 0;
    }
    const int head = std::min(length, 2);
    write(cmd, head);
    pause(timing_.splitFirstPause);
    write(cmd + head, length - head);
    pause(timing_.splitSecondPause);
    int count = kind.echo ? echoPhase(length, reply, capacity) : 0;
    pause(timing_.splitReplyPause);
    if (kind.nul) {
        count = nulPhase(count, reply, capacity);
    }
    return count;
}

// ---------------------------------------------------------------------------------------------
// TCP

TcpTransport::TcpTransport(std::unique_ptr<QTcpSocket> socket, const GloveTiming& timing)
    : socket_(std::move(socket)), timing_(timing) {}

TcpTransport::~TcpTransport() = default;

void TcpTransport::close() {
    if (socket_) {
        socket_->close();
        socket_.reset();
    }
}

bool TcpTransport::lost() const {
    return !socket_ || socket_->state() != QAbstractSocket::ConnectedState;
}

bool TcpTransport::write(const char* bytes, int length) {
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

int TcpTransport::read(char* out, int capacity, std::chrono::milliseconds wait) {
    if (!socket_) {
        return -1;
    }
    if (socket_->bytesAvailable() == 0 &&
        !socket_->waitForReadyRead(static_cast<int>(std::max<int64_t>(1, wait.count())))) {
        return socket_->state() == QAbstractSocket::ConnectedState ? 0 : -1;
    }
    const qint64 n = socket_->read(out, capacity);
    return n < 0 ? -1 : static_cast<int>(n);
}

int TcpTransport::echoPhase(int count, int length, bool flood, char* reply, int capacity) {
    while (count < length && (count == 0 || reply[count - 1] != '\0')) {
        if (socket_->bytesAvailable() == 0 &&
            !socket_->waitForReadyRead(static_cast<int>(timing_.tcpEchoTimeout.count()))) {
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
                drainReply();
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

int TcpTransport::nulPhase(int count, char* reply, int capacity) {
    while (count == 0 || reply[count - 1] != '\0') {
        if (count >= capacity) {
            drainReply();
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
void TcpTransport::drainReply() {
    const auto deadline = std::chrono::steady_clock::now() + timing_.readGiveUp;
    char scratch[1024];
    char last = 1;
    while (last != '\0' && std::chrono::steady_clock::now() < deadline) {
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

int TcpTransport::exchange(const char* cmd, int length, Reply kind, char* reply, int capacity) {
    if (!socket_) {
        return 0;
    }
    write(cmd, length);
    int count = 0;
    if (kind.echo) {
        count = echoPhase(0, length, kind.flood, reply, capacity);
        if (count < 0) {
            return -1;
        }
    }
    if (kind.nul) {
        count = nulPhase(count, reply, capacity);
    }
    return count;
}

int TcpTransport::splitExchange(const char* cmd, int length, Reply kind, char* reply,
                                int capacity) {
    if (!socket_) {
        return 0;
    }
    const int head = std::min(length, 2);
    write(cmd, head);
    int count = 0;
    if (kind.echo) {
        count = echoPhase(0, head, false, reply, capacity);
        if (count < 0) {
            return -1;
        }
    }
    if (length > head) {
        write(cmd + head, length - head);
        pause(timing_.splitFirstPause);
        if (kind.echo) {
            count = echoPhase(count, length, false, reply, capacity);
            if (count < 0) {
                return -1;
            }
        }
    }
    pause(timing_.splitReplyPause);
    if (kind.nul) {
        count = nulPhase(count, reply, capacity);
    }
    return count;
}

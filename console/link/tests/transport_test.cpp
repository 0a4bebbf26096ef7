// Both glove lines against real descriptors: the far end is a pseudo-terminal's master side or
// the client end of a loopback TCP connection, driven with plain reads and writes.

#include "link/glovetransport.hpp"
#include "tty/tty.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QTcpServer>
#include <QTcpSocket>
#include <chrono>
#include <memory>
#include <string>

namespace {

using namespace std::chrono_literals;

enum class Line { Serial, Tcp };

struct Case {
    Line line;
    int silentExchange;  // result when the glove never answers
};

// No pacing, short waits: the lines' own behaviour, not the glove's slowness, is under test.
GloveTiming quickTiming() {
    GloveTiming t;
    t.serialWritePause = t.splitFirstPause = t.splitSecondPause = t.splitReplyPause = 0ms;
    t.tcpEchoTimeout = t.tcpReplyTimeout = 300ms;
    t.readGiveUp = 2s;
    return t;
}

class Transport : public testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        if (GetParam().line == Line::Serial) {
            std::string error;
            ASSERT_TRUE(pty_.open(tty::PtyOptions{}, &error)) << error;
            peer_ = pty_.master();
            transport_ = std::make_unique<SerialTransport>(
                std::make_unique<SerialPort>(pty_.path().c_str(), 115200), timing_);
            return;
        }
        ASSERT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
        peer_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server_.serverPort());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(peer_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_TRUE(server_.waitForNewConnection(10000));
        QTcpSocket* accepted = server_.nextPendingConnection();
        accepted->setParent(nullptr);
        transport_ = std::make_unique<TcpTransport>(std::unique_ptr<QTcpSocket>(accepted), timing_);
    }
    void TearDown() override { hangUp(); }

    void send(const std::string& bytes) {
        ASSERT_EQ(::write(peer_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string receive(size_t count) {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{peer_, POLLIN, 0};
            char buf[256];
            const ssize_t n = ::poll(&pfd, 1, 100) > 0 ? ::read(peer_, buf, sizeof buf) : 0;
            out.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        }
        return out;
    }
    void hangUp() {
        if (pty_.ok()) {
            pty_.close();
        } else if (peer_ >= 0) {
            ::close(peer_);
        }
        peer_ = -1;
    }

    GloveTiming timing_ = quickTiming();
    QTcpServer server_;
    tty::Pty pty_;
    int peer_ = -1;
    std::unique_ptr<GloveTransport> transport_;
};

TEST_P(Transport, BytesPassUnchangedBothWays) {
    EXPECT_EQ(transport_->isSerial(), GetParam().line == Line::Serial);
    const std::string control("\x03\x11\x13\r\n\0A", 7);
    ASSERT_TRUE(transport_->write(control.data(), static_cast<int>(control.size())));
    EXPECT_EQ(receive(control.size()), control);
    send(control);
    std::string got;
    char buf[16];
    for (int i = 0; i < 50 && got.size() < control.size(); ++i) {
        const int n = transport_->read(buf, sizeof buf, 200ms);
        ASSERT_GE(n, 0);
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, control);
}

TEST_P(Transport, SilentReadIsEmptyAndAHangUpEndsTheLine) {
    char buf[8];
    EXPECT_EQ(transport_->read(buf, sizeof buf, 50ms), 0);
    hangUp();
    // A closed terminal reports its hang-up as a dropped socket does, so a lost glove is
    // told apart from a quiet one on both lines.
    EXPECT_EQ(transport_->read(buf, sizeof buf, 500ms), -1);
    EXPECT_TRUE(transport_->lost());
}

TEST_P(Transport, ExchangesCollectTheEchoAndTheReplyUpToItsNul) {
    char reply[64] = {};
    send(std::string("V7800\0", 6));
    EXPECT_EQ(transport_->exchange("V", 1, {true, true, false}, reply, sizeof reply), 6);
    EXPECT_EQ(std::string(reply, 6), std::string("V7800\0", 6));
    EXPECT_EQ(receive(1), "V");

    // Split: the command arrives whole, the echo and its NUL come back as one reply.
    const std::string cmd("1AX.TXT\x01", 8);
    send(cmd + '\0');
    std::fill(std::begin(reply), std::end(reply), 0);
    EXPECT_EQ(transport_->splitExchange(cmd.data(), 8, {true, true, false}, reply, sizeof reply),
              9);
    EXPECT_EQ(std::string(reply, 9), cmd + '\0');
    EXPECT_EQ(receive(cmd.size()), cmd);
}

TEST_P(Transport, UnansweredExchange) {
    char reply[64] = {};
    EXPECT_EQ(transport_->exchange("?S", 2, {true, true, false}, reply, sizeof reply),
              GetParam().silentExchange);
    transport_->close();
    EXPECT_FALSE(transport_->write("V", 1));
    EXPECT_EQ(transport_->exchange("V", 1, {true, true, false}, reply, sizeof reply), 0);
}

INSTANTIATE_TEST_SUITE_P(Lines, Transport,
                         testing::Values(Case{Line::Serial, 0}, Case{Line::Tcp, -1}),
                         [](const testing::TestParamInfo<Case>& info) {
                             return info.param.line == Line::Serial ? "Serial" : "Tcp";
                         });

}  // namespace

#include "link/serialport.hpp"
#include "testsupport/pty.hpp"
#include "tty/tty.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using testsupport::Pty;

using Clock = std::chrono::steady_clock;

// Waits until the port has something to read, without consuming it.
void waitForInput(SerialPort& port, char* first) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (port.read(first, 1, false) == 1) {
            return;
        }
    }
    FAIL() << "nothing arrived";
}

}  // namespace

TEST(SerialPort, OpeningFailuresThrowTheOpenText) {
    try {
        SerialPort port("/nonexistent/tty", 115200);
        FAIL() << "opened a missing device";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "ERROR: Could not open com port");
    }
    // A regular file is no terminal: its line settings cannot be read.
    QTemporaryDir dir;
    const QString file = dir.filePath("plain");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    try {
        SerialPort port(file.toLocal8Bit().constData(), 115200);
        FAIL() << "opened a regular file";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "ERROR: Could not set com port time-outs");
    }
}

TEST(SerialPort, UnsupportedBaudRateIsAParameterError) {
    Pty pty;
    ASSERT_FALSE(pty.path().empty());
    EXPECT_THROW(
        {
            try {
                SerialPort port(pty.path().c_str(), 123);
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "ERROR: Could not set com port parameters");
                throw;
            }
        },
        std::runtime_error);
}

TEST(SerialPort, PseudoTerminalWithoutModemLinesOpens) {
    Pty pty;
    ASSERT_FALSE(pty.path().empty());
    EXPECT_NO_THROW(SerialPort port(pty.path().c_str(), 115200));
}

TEST(SerialPort, UseIsExclusive) {
    Pty pty;
    SerialPort first(pty.path().c_str(), 115200);
    try {
        SerialPort second(pty.path().c_str(), 115200);
        FAIL() << "a second opener got in";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "ERROR: Could not open com port");
    }
}

TEST(SerialPort, ControlBytesPassUnchangedBothWays) {
    Pty pty;
    SerialPort port(pty.path().c_str(), 115200);
    const std::string bytes("\x03\x11\x13\r\n\x00\x7f\xff\x04\x1a", 10);
    pty.send(bytes);
    std::string got(1, '\0');
    waitForInput(port, got.data());
    char rest[32];
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (got.size() < bytes.size() && Clock::now() < deadline) {
        const int n = port.read(rest, sizeof rest, false);
        got.append(rest, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(port.write(bytes.data(), static_cast<int>(bytes.size())), 10);
    EXPECT_EQ(pty.receive(bytes.size()), bytes);
    EXPECT_EQ(port.writeString("1S"), 2);
    EXPECT_EQ(pty.receive(2), "1S");
}

TEST(SerialPort, TerminatedReadKeepsRoomForTheNul) {
    Pty pty;
    SerialPort port(pty.path().c_str(), 115200);
    pty.send(std::string(300, 'a'));
    char first;
    waitForInput(port, &first);
    // Let the rest arrive, then one read of size 255 takes at most 254 bytes.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    char buf[300];
    std::memset(buf, 'z', sizeof buf);
    const int n = port.read(buf, 255, true);
    EXPECT_GT(n, 0);
    EXPECT_LE(n, 254);
    EXPECT_EQ(buf[n], '\0');
    EXPECT_EQ(buf[255], 'z');
}

TEST(SerialPort, SilentReadReturnsZeroAfterAboutTheTimeout) {
    Pty pty;
    SerialPort port(pty.path().c_str(), 115200);
    char buf[16] = {'x'};
    const auto start = Clock::now();
    EXPECT_EQ(port.read(buf, sizeof buf, true), 0);
    const auto took = Clock::now() - start;
    EXPECT_EQ(buf[0], '\0');
    EXPECT_GE(took, std::chrono::milliseconds(90));
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(SerialPort, ReadReturnsAsSoonAsTheFirstByteArrives) {
    Pty pty;
    SerialPort port(pty.path().c_str(), 115200);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pty.send("Q");
    });
    char buf[64];
    int n = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (n == 0 && Clock::now() < deadline) {
        n = port.read(buf, sizeof buf, false);  // asks for 64, gets the one that waits
    }
    late.join();
    EXPECT_EQ(n, 1);
    EXPECT_EQ(buf[0], 'Q');
}

TEST(SerialPort, DrainEmptiesThePendingInput) {
    Pty pty;
    SerialPort port(pty.path().c_str(), 115200);
    pty.send(std::string(3000, 'd'));
    char first;
    waitForInput(port, &first);
    port.drain();
    char buf[8];
    EXPECT_EQ(port.read(buf, sizeof buf, false), 0);
}

// glovectl stream --reconnect: glovesim is stopped mid-stream and started again on the same
// link name (serial) or against the same listening port (TCP); the stream must go on with the
// returning glove's values.

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testsupport/checks.hpp"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace {

using namespace std::chrono_literals;

enum class Wire { Serial, Tcp };

class StreamReconnect : public testing::TestWithParam<Wire> {
  protected:
    // A glove whose every slot holds value (12-bit scale) in every frame.
    void startSim(int value) {
        std::string line = "frame";
        for (int s = 0; s < 23; ++s) {
            line += " " + std::to_string(value);
        }
        const std::string script =
            dir_.write("glove" + std::to_string(value) + ".txt", line + "\nend hold\n");
        std::vector<std::string> args{"--script", script};
        testsupport::ChildOptions options;
        if (GetParam() == Wire::Serial) {
            args.insert(args.end(), {"--link", link()});
            options.waitForPath = link();
        } else {
            args.insert(args.end(), {"--tcp", "127.0.0.1:" + std::to_string(port_), "--once"});
        }
        sim_ = std::make_unique<testsupport::ChildProcess>(GLOVESIM_PATH, args, options);
        ASSERT_TRUE(sim_->ready());
    }

    // stop() itself fails the test on an unclean ending.
    void stopSim() { sim_->stop(); }

    std::string link() const { return dir_.file("glove"); }

    void startCtl(const std::vector<std::string>& args) {
        std::vector<std::string> argv{GLOVECTL_PATH};
        argv.insert(argv.end(), line_.begin(), line_.end());
        argv.insert(argv.end(), args.begin(), args.end());
        ctl_ = std::make_unique<testsupport::ChildProcess>(argv);
    }

    // Keeps reading glovectl's output (so it never blocks on a full pipe) until pred() holds.
    bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = 60s) {
        return testsupport::waitUntil(
            [&] {
                ctl_->readLine(50ms);
                return pred();
            },
            limit);
    }

    int rows() const { return static_cast<int>(std::ranges::count(ctl_->output(), '\n')) - 1; }
    bool said(const std::string& text) const {
        return ctl_->errorOutput().find(text) != std::string::npos;
    }

    // The glove's wire as glovectl names it; for TCP glovectl listens on a free port.
    void chooseLine() {
        if (GetParam() == Wire::Serial) {
            line_ = {"--serial", link()};
            return;
        }
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port_ = probe.serverPort();
        probe.close();
        line_ = {"--listen", std::to_string(port_), "--bind", "127.0.0.1"};
    }

    testsupport::TempDir dir_{"glovectl-reconnect"};
    std::unique_ptr<testsupport::ChildProcess> sim_;
    std::unique_ptr<testsupport::ChildProcess> ctl_;
    std::vector<std::string> line_;
    quint16 port_ = 0;
};

// The thumb-roll angle (first value after the five time fields) of a CSV row.
double thumbRoll(const QString& row) {
    return row.split(',').value(5).toDouble();
}

TEST_P(StreamReconnect, StreamGoesOnWithTheReturningGlove) {
    constexpr int kFrames = 150;
    ASSERT_NO_FATAL_FAILURE(chooseLine());
    if (GetParam() == Wire::Serial) {
        ASSERT_NO_FATAL_FAILURE(startSim(1600));
    }
    startCtl({"--wait", "60", "stream", "--frames", std::to_string(kFrames), "--reconnect"});
    if (GetParam() == Wire::Tcp) {
        ASSERT_NO_FATAL_FAILURE(startSim(1600));
    }
    ASSERT_TRUE(waitFor([&] { return rows() >= 20; })) << ctl_->errorOutput();

    ASSERT_NO_FATAL_FAILURE(stopSim());
    ASSERT_TRUE(waitFor([&] { return said("connection to the glove lost"); }))
        << ctl_->errorOutput();
    ASSERT_EQ(ctl_->waitExit(0ms), -1) << "the stream waits for the glove";
    ASSERT_NO_FATAL_FAILURE(startSim(800));
    EXPECT_EQ(ctl_->finish(120s), 0) << ctl_->errorOutput();

    EXPECT_TRUE(said("glove back, streaming resumed")) << ctl_->errorOutput();
    const QStringList rows = QString::fromStdString(ctl_->output()).trimmed().split('\n');
    ASSERT_EQ(rows.size(), kFrames + 1);
    for (const QString& row : rows) {
        ASSERT_EQ(row.count(','), 28) << row.toStdString();
    }
    // Counts of 100 bend the thumb roll one way, counts of 50 the other.
    EXPECT_LT(thumbRoll(rows[1]), 0.0);
    EXPECT_GT(thumbRoll(rows.back()), 0.0) << "the last rows are the returning glove's";
}

TEST_P(StreamReconnect, WithoutTheOptionADropEndsTheStreamWithAClearError) {
    ASSERT_NO_FATAL_FAILURE(chooseLine());
    if (GetParam() == Wire::Serial) {
        ASSERT_NO_FATAL_FAILURE(startSim(1600));
    }
    startCtl({"stream", "--frames", "100000"});
    if (GetParam() == Wire::Tcp) {
        ASSERT_NO_FATAL_FAILURE(startSim(1600));
    }
    ASSERT_TRUE(waitFor([&] { return rows() >= 5; })) << ctl_->errorOutput();
    ASSERT_NO_FATAL_FAILURE(stopSim());
    EXPECT_EQ(ctl_->finish(60s), 1);
    EXPECT_TRUE(said("stream: Glove connection lost")) << ctl_->errorOutput();
}

INSTANTIATE_TEST_SUITE_P(Wires, StreamReconnect, testing::Values(Wire::Serial, Wire::Tcp),
                         [](const testing::TestParamInfo<Wire>& info) {
                             return info.param == Wire::Serial ? "Serial" : "Tcp";
                         });

}  // namespace

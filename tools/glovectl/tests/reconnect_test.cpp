// glovectl stream --reconnect: glovesim is stopped mid-stream and started again on the same
// link name (serial) or against the same listening port (TCP); the stream must go on with the
// returning glove's values.

#include <gtest/gtest.h>

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <functional>
#include <memory>

namespace {

enum class Wire { Serial, Tcp };

using Clock = std::chrono::steady_clock;

class StreamReconnect : public testing::TestWithParam<Wire> {
  protected:
    ~StreamReconnect() override {
        for (auto* p : {&sim_, &ctl_}) {
            if (*p && (*p)->state() != QProcess::NotRunning) {
                (*p)->kill();
                (*p)->waitForFinished(5000);
            }
        }
    }

    // A glove whose every slot holds value (12-bit scale) in every frame.
    void startSim(int value) {
        const QString script = dir_.filePath(QStringLiteral("glove%1.txt").arg(value));
        QFile f(script);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        QByteArray line = "frame";
        for (int s = 0; s < 23; ++s) {
            line += " " + QByteArray::number(value);
        }
        f.write(line + "\nend hold\n");
        f.close();
        QStringList args{"--script", script};
        if (GetParam() == Wire::Serial) {
            args << "--link" << link();
        } else {
            args << "--tcp" << QStringLiteral("127.0.0.1:%1").arg(port_) << "--once";
        }
        sim_ = std::make_unique<QProcess>();
        sim_->start(QStringLiteral(GLOVESIM_PATH), args);
        ASSERT_TRUE(sim_->waitForStarted(10000));
        if (GetParam() == Wire::Serial) {
            ASSERT_TRUE(waitFor([&] { return QFile::exists(link()); }));
        }
    }

    void stopSim() {
        sim_->terminate();
        ASSERT_TRUE(sim_->waitForFinished(10000));
    }

    QString link() const { return dir_.filePath("glove"); }

    // Collects glovectl's output until pred() holds or the time is up.
    bool waitFor(const std::function<bool()>& pred, int seconds = 60) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (!pred() && Clock::now() < deadline) {
            if (ctl_) {
                ctl_->waitForReadyRead(100);
                out_ += QString::fromLocal8Bit(ctl_->readAllStandardOutput());
                err_ += QString::fromLocal8Bit(ctl_->readAllStandardError());
            } else {
                QThread::msleep(50);
            }
        }
        return pred();
    }

    int rows() const { return static_cast<int>(out_.count('\n')) - 1; }

    QTemporaryDir dir_;
    std::unique_ptr<QProcess> sim_;
    std::unique_ptr<QProcess> ctl_;
    quint16 port_ = 0;
    QString out_;
    QString err_;
};

// The thumb-roll angle (first value after the five time fields) of a CSV row.
double thumbRoll(const QString& row) {
    return row.split(',').value(5).toDouble();
}

TEST_P(StreamReconnect, StreamGoesOnWithTheReturningGlove) {
    constexpr int kFrames = 150;
    QStringList line;
    if (GetParam() == Wire::Serial) {
        ASSERT_NO_FATAL_FAILURE(startSim(1600));
        line = {"--serial", link()};
    } else {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port_ = probe.serverPort();
        probe.close();
        line = {"--listen", QString::number(port_), "--bind", "127.0.0.1"};
    }
    ctl_ = std::make_unique<QProcess>();
    ctl_->start(QStringLiteral(GLOVECTL_PATH),
                line + QStringList{"--wait", "60", "stream", "--frames", QString::number(kFrames),
                                   "--reconnect"});
    ASSERT_TRUE(ctl_->waitForStarted(10000));
    if (GetParam() == Wire::Tcp) {
        ASSERT_NO_FATAL_FAILURE(startSim(1600));
    }
    ASSERT_TRUE(waitFor([&] { return rows() >= 20; })) << err_.toStdString();

    ASSERT_NO_FATAL_FAILURE(stopSim());
    ASSERT_TRUE(waitFor([&] { return err_.contains("connection to the glove lost"); }))
        << err_.toStdString();
    ASSERT_EQ(ctl_->state(), QProcess::Running) << "the stream waits for the glove";
    ASSERT_NO_FATAL_FAILURE(startSim(800));
    ASSERT_TRUE(waitFor([&] { return ctl_->state() == QProcess::NotRunning; }, 120))
        << err_.toStdString();
    waitFor([] { return false; }, 0);
    out_ += QString::fromLocal8Bit(ctl_->readAllStandardOutput());
    err_ += QString::fromLocal8Bit(ctl_->readAllStandardError());

    EXPECT_EQ(ctl_->exitCode(), 0) << err_.toStdString();
    EXPECT_TRUE(err_.contains("glove back, streaming resumed")) << err_.toStdString();
    const QStringList rows = out_.trimmed().split('\n');
    ASSERT_EQ(rows.size(), kFrames + 1);
    for (const QString& row : rows) {
        ASSERT_EQ(row.count(','), 28) << row.toStdString();
    }
    // Counts of 100 bend the thumb roll one way, counts of 50 the other.
    EXPECT_LT(thumbRoll(rows[1]), 0.0);
    EXPECT_GT(thumbRoll(rows.back()), 0.0) << "the last rows are the returning glove's";
}

TEST_P(StreamReconnect, WithoutTheOptionADropEndsTheStreamWithAClearError) {
    QStringList line;
    if (GetParam() == Wire::Serial) {
        ASSERT_NO_FATAL_FAILURE(startSim(1600));
        line = {"--serial", link()};
    } else {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port_ = probe.serverPort();
        probe.close();
        line = {"--listen", QString::number(port_), "--bind", "127.0.0.1"};
    }
    ctl_ = std::make_unique<QProcess>();
    ctl_->start(QStringLiteral(GLOVECTL_PATH), line + QStringList{"stream", "--frames", "100000"});
    ASSERT_TRUE(ctl_->waitForStarted(10000));
    if (GetParam() == Wire::Tcp) {
        ASSERT_NO_FATAL_FAILURE(startSim(1600));
    }
    ASSERT_TRUE(waitFor([&] { return rows() >= 5; })) << err_.toStdString();
    ASSERT_NO_FATAL_FAILURE(stopSim());
    ASSERT_TRUE(waitFor([&] { return ctl_->state() == QProcess::NotRunning; }));
    err_ += QString::fromLocal8Bit(ctl_->readAllStandardError());
    EXPECT_EQ(ctl_->exitCode(), 1);
    EXPECT_TRUE(err_.contains("stream: Glove connection lost")) << err_.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Wires, StreamReconnect, testing::Values(Wire::Serial, Wire::Tcp),
                         [](const testing::TestParamInfo<Wire>& info) {
                             return info.param == Wire::Serial ? "Serial" : "Tcp";
                         });

}  // namespace

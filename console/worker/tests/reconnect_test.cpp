// A glove that drops out mid-stream and comes back: glovesim is killed and started again on
// the same link name (serial) or against the same listening port (TCP), and the worker must
// notice, keep what it had, and resume by itself.

#include "support.hpp"

#include <gtest/gtest.h>
#include <QFile>
#include <QTemporaryDir>

using namespace workertest;

namespace {

struct DropCase {
    const char* name;
    bool serial;
};

class Reconnect : public ::testing::TestWithParam<DropCase> {
  protected:
    void SetUp() override {
        state = MocapGloveState::instance();
        ASSERT_TRUE(state->workerRunning());
        ASSERT_TRUE(dir.isValid());
        GloveTiming timing = fastTiming();
        timing.reconnectInterval = std::chrono::milliseconds(200);
        state->setLinkTiming(timing);
        state->setListenAddress(QHostAddress::LocalHost);
        log = std::make_unique<SignalLog>(state);
    }

    void TearDown() override {
        state->disconnect();
        EXPECT_TRUE(waitUntil([&] { return !state->connected() && !state->reconnecting(); }));
        EXPECT_TRUE(waitUntil([&] { return state->pendingCommand() == 0; }));
        log.reset();
        state->setLinkTiming(fastTiming());
    }

    // Every slot of every frame holds value (12-bit scale), so the glove is recognisable.
    QStringList gloveArgs(int value) {
        const QString path = dir.filePath(QStringLiteral("frames%1.txt").arg(value));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        QByteArray line = "frame";
        for (int s = 0; s < 23; ++s) {
            line += " " + QByteArray::number(value);
        }
        f.write(line + "\nend hold\n");
        f.close();
        QStringList args{"--script", path};
        if (GetParam().serial) {
            args << "--link" << linkPath();
        }
        return args;
    }

    QString linkPath() const { return dir.filePath("glove-link"); }

    bool startGlove(GloveSim& glove, int value) {
        return GetParam().serial ? glove.startSerial(gloveArgs(value))
                                 : glove.startTcp(port, gloveArgs(value));
    }

    void connect(GloveSim& glove, int value) {
        state->setUseSerial(GetParam().serial);
        if (GetParam().serial) {
            ASSERT_TRUE(startGlove(glove, value));
            state->setPortName(linkPath().toStdString());
            state->connect();
        } else {
            state->setTcpPort(0);
            state->connect();
            ASSERT_TRUE(waitUntil([&] { return state->listeningPort() > 0; }));
            port = state->listeningPort();
            ASSERT_TRUE(startGlove(glove, value));
        }
        ASSERT_TRUE(log->waitFor("fileList"));
        ASSERT_TRUE(waitUntil([&] { return state->pendingCommand() == 0; }));
    }

    bool rawIs(uint32_t value) {
        return waitUntil(
            [&] { return state->rawValue(0) == value && state->rawValue(21) == value; }, 30000);
    }

    QTemporaryDir dir;
    MocapGloveState* state = nullptr;
    std::unique_ptr<SignalLog> log;
    int port = 0;
};

TEST_P(Reconnect, StreamResumesWithTheReturningGlovesValuesAndTheSettingsKept) {
    GloveSim first;
    ASSERT_NO_FATAL_FAILURE(connect(first, 1600));

    // Settings chosen before the drop: rates sent to the glove, a calibration of our own.
    MocapGloveState::StreamConfig config = state->streamConfig();
    config.frameRateMultiplier = 2;
    state->setStreamConfig(config);
    state->syncStreamConfig();
    ASSERT_TRUE(waitUntil([&] { return first.recorded().contains(QByteArray("1m\x02", 3)); }));
    const glove::SensorCalibration chosen{42.0, 0.02};
    state->withLinkLocked([&](GloveLink& link) { link.setCalibration(4, chosen); });

    state->startStreaming();
    ASSERT_TRUE(rawIs(1600));

    first.stop();
    ASSERT_TRUE(waitUntil([&] { return state->reconnecting(); }, 30000));
    EXPECT_FALSE(state->connected());
    EXPECT_FALSE(state->streaming());
    EXPECT_EQ(state->gloveLink()->lastMessage(), "Glove connection lost");
    EXPECT_TRUE(log->named({"commandStatus"}).back().text.startsWith("Glove connection lost"));
    EXPECT_EQ(state->rawValue(0), 1600u) << "the last values stay while the glove is away";
    if (!GetParam().serial) {
        EXPECT_EQ(state->listeningPort(), port) << "still listening for the glove";
    }
    // Requests while away go nowhere and do not stop the wait.
    state->getTime();
    waitUntil([] { return false; }, 600);
    EXPECT_TRUE(state->reconnecting());

    log->clear();
    GloveSim second;
    ASSERT_TRUE(startGlove(second, 800));
    ASSERT_TRUE(waitUntil([&] { return state->connected() && state->streaming(); }, 30000));
    EXPECT_FALSE(state->reconnecting());
    ASSERT_TRUE(rawIs(800)) << "values after the return are the new glove's";
    // Configured as a first connection, then given back the rates chosen before.
    const QByteArray sent = second.recorded();
    EXPECT_TRUE(sent.contains("1Adefault.txt\x01"));
    EXPECT_TRUE(sent.contains(QByteArray("1m\x02", 3)));
    EXPECT_TRUE(sent.contains("1S"));
    EXPECT_EQ(state->calibration(4).offset, chosen.offset);
    EXPECT_EQ(state->calibration(4).gain, chosen.gain);
    EXPECT_EQ(log->named({"commandStatus"}).back().text, "Glove reconnected");

    // A disconnect while waiting ends the wait for good.
    second.stop();
    ASSERT_TRUE(waitUntil([&] { return state->reconnecting(); }, 30000));
    state->disconnect();
    ASSERT_TRUE(waitUntil([&] { return !state->reconnecting(); }));
    EXPECT_FALSE(state->connected());
    EXPECT_EQ(state->listeningPort(), 0);
    GloveSim third;
    ASSERT_TRUE(startGlove(third, 800));
    waitUntil([] { return false; }, 1000);
    EXPECT_FALSE(state->connected());
    EXPECT_FALSE(state->reconnecting());
}

TEST_P(Reconnect, IdleGloveThatDropsIsNoticedAndTakenBackWithoutStreaming) {
    GloveSim first;
    ASSERT_NO_FATAL_FAILURE(connect(first, 1600));
    first.stop();
    ASSERT_TRUE(waitUntil([&] { return state->reconnecting(); }, 30000));

    log->clear();
    GloveSim second;
    ASSERT_TRUE(startGlove(second, 800));
    ASSERT_TRUE(log->waitFor("fileList", 1, 30000)) << "a returning glove is set up as a first one";
    EXPECT_TRUE(state->connected());
    EXPECT_FALSE(state->streaming());
    state->getTime();
    ASSERT_TRUE(log->waitFor("gloveTime"));
    EXPECT_TRUE(second.recorded().contains("1tg"));
}

INSTANTIATE_TEST_SUITE_P(Lines, Reconnect,
                         ::testing::Values(DropCase{"Serial", true}, DropCase{"Tcp", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

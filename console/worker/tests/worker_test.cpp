// MocapGloveState against the simulated glove over a real pseudo-terminal and a real TCP
// connection on the loopback.

#include "handsim/kpx6dofdevice.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxhumanhand.hpp"
#include "handsim/kpxtrackeremulator.hpp"
#include "handsim/kpxvexagloveemulator.hpp"
#include "support.hpp"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QTcpServer>
#include <atomic>
#include <thread>

using namespace workertest;

namespace {

std::string statusTexts(const std::vector<Event>& events) {
    QStringList texts;
    for (const Event& e : events) {
        texts << e.name + ": " + e.text;
    }
    return texts.join(" | ").toStdString();
}

class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        state = MocapGloveState::instance();
        ASSERT_TRUE(state->workerRunning());
        state->setTicksPaused(false);
        state->setLinkTiming(fastTiming());
        state->setListenAddress(QHostAddress::LocalHost);
        log = std::make_unique<SignalLog>(state);
    }

    void TearDown() override {
        state->setTicksPaused(false);
        if (state->connected()) {
            state->disconnect();
            EXPECT_TRUE(waitUntil([&] { return !state->connected(); }));
        }
        EXPECT_TRUE(waitUntil([&] { return state->pendingCommand() == 0; }));
        log.reset();
        glove.stop();
    }

    // Listens, lets glovesim connect and waits for the file list that follows.
    void connectTcp(const QStringList& gloveArgs = {}) {
        state->setUseSerial(false);
        state->setTcpPort(0);
        state->connect();
        ASSERT_TRUE(waitUntil([&] { return state->listeningPort() > 0; }));
        ASSERT_TRUE(glove.startTcp(state->listeningPort(), gloveArgs));
        ASSERT_TRUE(log->waitFor("fileList")) << statusTexts(log->events());
        ASSERT_TRUE(state->connected());
        ASSERT_TRUE(waitUntil([&] { return state->pendingCommand() == 0; }));
    }

    MocapGloveState* state = nullptr;
    std::unique_ptr<SignalLog> log;
    GloveSim glove;
};

TEST_F(WorkerTest, SerialConnectReportsStatusBatterySerialAndHandThenListsFiles) {
    QFile f(glove.sdcardDir() + "/walk1.csv");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("x\n");
    f.close();
    ASSERT_TRUE(glove.startSerial({"--serial-number", "4321", "--battery-mv", "7900", "--left"}));

    state->setUseSerial(true);
    state->setPortName(glove.ptyPath().toStdString());
    state->connect();
    ASSERT_TRUE(log->waitFor("fileList")) << statusTexts(log->events());

    const auto seq = log->named({"serialConnectStatus", "batteryStatus", "gloveSerialNumber",
                                 "gloveIsRightHand", "fileList"});
    ASSERT_EQ(seq.size(), 5u);
    EXPECT_EQ(seq[0].name, "serialConnectStatus");
    EXPECT_EQ(seq[0].value, 1);
    EXPECT_EQ(seq[1].name, "batteryStatus");
    EXPECT_EQ(seq[1].value, 2);  // 7.9 V
    EXPECT_EQ(seq[2].name, "gloveSerialNumber");
    EXPECT_EQ(seq[2].value, 4321);
    EXPECT_EQ(seq[3].name, "gloveIsRightHand");
    EXPECT_EQ(seq[3].value, 0);
    EXPECT_EQ(seq[4].name, "fileList");
    EXPECT_TRUE(seq[4].text.contains("walk1.csv")) << seq[4].text.toStdString();

    EXPECT_EQ(log->named({"commandStatus"}).back().text, "Requesting file list...");
    EXPECT_TRUE(state->connected());
    EXPECT_FALSE(state->rightHand());
    EXPECT_EQ(state->serialNumber(), 4321);
    EXPECT_EQ(state->currentHandModel(), state->leftHandModel());
    EXPECT_TRUE(glove.recorded().contains("1Adefault.txt\x01"));
    EXPECT_TRUE(glove.recorded().contains("HEADER String\x01"));
}

TEST_F(WorkerTest, SerialOpenFailureReportsFalseAndStaysDisconnected) {
    state->setUseSerial(true);
    state->setPortName("/nonexistent/ttyGLOVE");
    state->connect();
    ASSERT_TRUE(log->waitFor("serialConnectStatus"));
    EXPECT_EQ(log->named({"serialConnectStatus"})[0].value, 0);
    EXPECT_FALSE(state->connected());
    EXPECT_FALSE(state->gloveLink()->lastMessage().isEmpty());
    EXPECT_EQ(log->count("fileList"), 0);
}

TEST_F(WorkerTest, TcpConnectReportsProgressResetsClockAndReadsNoBattery) {
    ASSERT_NO_FATAL_FAILURE(connectTcp());
    const auto texts = log->named({"socketConnectStatus"});
    ASSERT_EQ(texts.size(), 3u) << statusTexts(texts);
    EXPECT_EQ(texts[0].text, "Glove Connection Request Received");
    EXPECT_EQ(texts[1].text, "Configuring Glove...");
    EXPECT_EQ(texts[2].text, "Glove Connected");
    EXPECT_EQ(log->count("batteryStatus"), 0);
    EXPECT_EQ(log->count("gloveSerialNumber"), 0);
    ASSERT_EQ(log->count("gloveIsRightHand"), 1);
    EXPECT_EQ(log->named({"gloveIsRightHand"})[0].value, 1);
    EXPECT_EQ(state->currentHandModel(), state->rightHandModel());
    EXPECT_TRUE(glove.recorded().contains("1ts00:00:00"));

    // The glove's clock (noon at start) now counts from midnight.
    state->getTime();
    ASSERT_TRUE(log->waitFor("gloveTime"));
    EXPECT_EQ(log->lastGloveTime(0), 0);
    EXPECT_EQ(log->lastGloveTime(1), 0);
    EXPECT_LT(log->lastGloveTime(2), 50);
}

TEST_F(WorkerTest, ListenFailureIsReported) {
    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::LocalHost, 0));
    state->setUseSerial(false);
    state->setTcpPort(occupier.serverPort());
    state->connect();
    ASSERT_TRUE(log->waitFor("socketConnectStatus"));
    EXPECT_EQ(log->named({"socketConnectStatus"})[0].text, "Error: Cannot open listen port");
    EXPECT_EQ(state->listeningPort(), 0);
    EXPECT_FALSE(state->connected());
}

TEST_F(WorkerTest, ListeningAgainKeepsWaitingWithoutAnError) {
    state->setUseSerial(false);
    state->setTcpPort(0);
    state->connect();
    ASSERT_TRUE(waitUntil([&] { return state->listeningPort() > 0; }));
    const int port = state->listeningPort();
    state->connect();
    ASSERT_TRUE(waitUntil([&] { return state->pendingCommand() == 0; }));
    EXPECT_EQ(state->listeningPort(), port);
    // The glove still finds the console where it was listening.
    ASSERT_TRUE(glove.startTcp(port));
    ASSERT_TRUE(log->waitFor("fileList"));
    EXPECT_EQ(log->count("socketConnectStatus"), 3) << statusTexts(log->events());
    EXPECT_TRUE(state->connected());
}

TEST_F(WorkerTest, SerialConnectWithTheGlovesOwnPacing) {
    // The glove's real pauses (250 ms after each write, 2.7 s split exchanges).
    state->setLinkTiming(GloveTiming());
    ASSERT_TRUE(glove.startSerial({"--serial-number", "77"}));
    state->setUseSerial(true);
    state->setPortName(glove.ptyPath().toStdString());
    state->connect();
    ASSERT_TRUE(log->waitFor("fileList", 1, 120000)) << statusTexts(log->events());
    EXPECT_EQ(log->named({"gloveSerialNumber"}).at(0).value, 77);
    EXPECT_EQ(log->named({"batteryStatus"}).at(0).value, 1);  // 7.4 V
    state->getTime();
    ASSERT_TRUE(log->waitFor("gloveTime", 1, 60000));
    // The serial connect leaves the glove's clock alone; only the TCP connect resets it.
    EXPECT_FALSE(glove.recorded().contains("1ts"));
    EXPECT_TRUE(glove.recorded().contains("1tg"));
    EXPECT_GE(log->lastGloveTime(0), 0);
}

TEST_F(WorkerTest, ActiveFileRequestIsFollowedByStreamConfig) {
    ASSERT_NO_FATAL_FAILURE(connectTcp());
    MocapGloveState::StreamConfig config = state->streamConfig();
    config.frameRateMultiplier = 2;
    config.usbDivider = 4;
    state->setStreamConfig(config);
    log->clear();

    state->setTicksPaused(true);
    state->setActiveFile("take1.csv");
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::SetActiveFile);
    state->runTickNow();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::SyncStreamConfig);
    state->runTickNow();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::None);

    ASSERT_TRUE(log->waitFor("commandStatus", 3));
    const auto texts = log->named({"commandStatus"});
    EXPECT_EQ(texts[0].text, "Setting active file...");
    EXPECT_EQ(texts[1].text, "Active file set");
    EXPECT_EQ(texts[2].text, "Configure streaming parameters.");

    const QByteArray sent = glove.recorded();
    const qsizetype name = sent.indexOf("1Atake1.csv\x01");
    ASSERT_GE(name, 0);
    EXPECT_GT(sent.indexOf("DEFAULT HEADER\x01", name), name);
    EXPECT_GT(sent.indexOf(QByteArray("1m\x02", 3), name), name);
    EXPECT_GT(sent.indexOf(QByteArray("1u\x04", 3), name), name);
}

TEST_F(WorkerTest, PollLoopPersistsUntilAnotherRequestReplacesIt) {
    ASSERT_NO_FATAL_FAILURE(connectTcp());
    state->setTicksPaused(true);
    state->startPollLoop();
    for (int i = 0; i < 3; ++i) {
        state->runTickNow();
        EXPECT_EQ(state->pendingCommand(), MocapGloveState::PollLoop) << "tick " << i;
    }
    EXPECT_EQ(glove.recorded().count("G"), 3);
    // The poll fed fresh raw values: at least one sensor left its initial 2032.
    bool moved = false;
    for (int i = 0; i < 23; ++i) {
        moved = moved || state->gloveLink()->rawValue(i) != glove::kRawInitial;
    }
    EXPECT_TRUE(moved);

    state->getTime();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::GetTime);
    state->runTickNow();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::None);
    EXPECT_TRUE(log->waitFor("gloveTime"));
}

TEST_F(WorkerTest, NewRequestReplacesPendingOne) {
    ASSERT_NO_FATAL_FAILURE(connectTcp());
    log->clear();
    state->setTicksPaused(true);
    state->getBatteryStatus();
    state->getTime();
    state->runTickNow();
    ASSERT_TRUE(log->waitFor("gloveTime"));
    state->runTickNow();
    QCoreApplication::processEvents();
    EXPECT_EQ(log->count("batteryStatus"), 0);
    EXPECT_EQ(glove.recorded().count("V"), 0);
}

TEST_F(WorkerTest, SetTimeIsIgnoredWhileARequestWaits) {
    ASSERT_NO_FATAL_FAILURE(connectTcp());
    state->setTicksPaused(true);
    state->getTime();
    state->setTime(7, 8, 9);
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::GetTime);
    state->runTickNow();
    EXPECT_FALSE(glove.recorded().contains("1ts07:08:09"));

    state->setTime(7, 8, 9);
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::SetTime);
    state->runTickNow();
    EXPECT_TRUE(glove.recorded().contains("1ts07:08:09"));
    log->clear();
    state->getTime();
    state->runTickNow();
    ASSERT_TRUE(log->waitFor("gloveTime"));
    EXPECT_EQ(log->lastGloveTime(0), 7);
    EXPECT_EQ(log->lastGloveTime(1), 8);
}

TEST_F(WorkerTest, HardwareCalibrationReadsBlockSendsEditsAndPolls) {
    ASSERT_NO_FATAL_FAILURE(connectTcp());
    state->setTicksPaused(true);
    state->setHWCalState(true);
    EXPECT_TRUE(state->hwCalMode());
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::EnterHardwareCalibration);
    state->runTickNow();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::PollLoop);
    EXPECT_TRUE(glove.recorded().contains(QByteArray("1dw", 3)));

    MocapGloveState::HardwareBlock offsets, gains;
    state->hardwareCalibration(offsets, gains);
    for (int i = 0; i < glove::kSensorIndexCount; ++i) {
        if (glove::kHardwarePosition[i] >= 0) {
            EXPECT_EQ(offsets[i], 25) << i;
            EXPECT_EQ(gains[i], 125) << i;
        }
    }
    state->runTickNow();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::PollLoop);
    EXPECT_GE(glove.recorded().count("G"), 1);

    offsets[0] = 40;
    gains[21] = 200;
    state->setHardwareCalibration(offsets, gains);
    state->syncHWCal();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::SyncHardwareCalibration);
    state->runTickNow();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::PollLoop);
    const QByteArray sent = glove.recorded();
    const qsizetype ca = sent.lastIndexOf("CA");
    ASSERT_GE(ca, 0);
    ASSERT_GE(sent.size(), ca + 38);
    EXPECT_EQ(static_cast<uint8_t>(sent[ca + 2 + 0]), 40);
    EXPECT_EQ(static_cast<uint8_t>(sent[ca + 2 + 18 + glove::kHardwarePosition[21]]), 200);

    state->writeEEPROM();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::CommitEEPROM);
    state->runTickNow();
    EXPECT_TRUE(glove.recorded().contains("^W"));

    state->setHWCalState(false);
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::LeaveHardwareCalibration);
    state->runTickNow();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::SyncStreamConfig);
    state->runTickNow();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::None);
    EXPECT_FALSE(state->hwCalMode());
}

// A slider moved while the previous block is still being written stores the same request
// again; the running tick must not replace it with its follow-up, or the glove keeps the
// stale block.
TEST_F(WorkerTest, SameRequestStoredDuringItsTickIsNotLost) {
    ASSERT_NO_FATAL_FAILURE(connectTcp());
    state->setTicksPaused(true);
    state->setHWCalState(true);
    state->runTickNow();
    ASSERT_EQ(state->pendingCommand(), MocapGloveState::PollLoop);

    GloveTiming slowWrite = fastTiming();
    slowWrite.hardwareWritePause = std::chrono::milliseconds(3000);
    state->setLinkTiming(slowWrite);
    const qsizetype before = glove.recorded().count("CA");
    state->syncHWCal();
    std::thread tick([&] { state->runTickNow(); });
    // The tick is inside its pause after "CA" once the glove has the bytes.
    EXPECT_TRUE(waitUntil([&] { return glove.recorded().count("CA") > before; }, 2500));
    state->syncHWCal();
    tick.join();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::SyncHardwareCalibration);

    state->setLinkTiming(fastTiming());
    state->runTickNow();
    EXPECT_EQ(glove.recorded().count("CA"), before + 2);
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::PollLoop);
    state->setHWCalState(false);
    state->runTickNow();
    state->runTickNow();
}

TEST_F(WorkerTest, HardwareCalibrationFileRoundTrip) {
    QTemporaryDir dir;
    MocapGloveState::HardwareBlock offsets{}, gains{};
    for (int i = 0; i < glove::kSensorIndexCount; ++i) {
        offsets[i] = static_cast<uint8_t>(i * 3);
        gains[i] = static_cast<uint8_t>(250 - i);
    }
    state->setHardwareCalibration(offsets, gains);
    const QString path = dir.path() + "/right.hwcal";
    ASSERT_TRUE(state->saveHardwareCalibration(path));
    EXPECT_EQ(QFile(path).size(), 48);

    state->setHardwareCalibration({}, {});
    ASSERT_TRUE(state->loadHardwareCalibration(path));
    MocapGloveState::HardwareBlock o2, g2;
    state->hardwareCalibration(o2, g2);
    EXPECT_EQ(o2, offsets);
    EXPECT_EQ(g2, gains);

    // A short file changes only the bytes it holds; a missing one changes nothing.
    QFile shortFile(dir.path() + "/short.hwcal");
    ASSERT_TRUE(shortFile.open(QIODevice::WriteOnly));
    shortFile.write("\x09\x09", 2);
    shortFile.close();
    ASSERT_TRUE(state->loadHardwareCalibration(shortFile.fileName()));
    state->hardwareCalibration(o2, g2);
    EXPECT_EQ(o2[0], 9);
    EXPECT_EQ(o2[1], 9);
    EXPECT_EQ(o2[2], offsets[2]);
    EXPECT_EQ(g2, gains);
    EXPECT_FALSE(state->loadHardwareCalibration(dir.path() + "/missing.hwcal"));
}

TEST_F(WorkerTest, StreamingFeedsAngleBlockEmulatorAndHandModel) {
    ASSERT_NO_FATAL_FAILURE(connectTcp());
    state->startStreaming();
    ASSERT_TRUE(waitUntil([&] { return state->streaming(); }));
    ASSERT_TRUE(log->waitFor("commandStatus"));

    kpxVector3d first;
    double travel = 0.0;
    bool haveFirst = false;
    QElapsedTimer clock;
    clock.start();
    int samples = 0;
    while (clock.elapsed() < 4000) {
        waitUntil([] { return false; }, 60);
        QMutexLocker hands(&state->handModelMutex());
        const kpxVector3d tip = state->rightHandModel()->getFingertipPosition(GHM::INDEX);
        // Row 5 (palm arch, wrist) never reaches the hand model.
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(state->gloveEmulator()->getJointValue(5, c), 0.0);
        }
        hands.unlock();
        if (!haveFirst) {
            first = tip;
            haveFirst = true;
        } else {
            travel = std::max(travel, (tip - first).length());
        }
        ++samples;
    }
    EXPECT_GT(samples, 10);
    EXPECT_GT(travel, 0.5) << "the index tip should follow the simulated motion (cm)";

    // At rest between ticks the emulator holds exactly angleBlock's rows 0..4.
    state->setTicksPaused(true);
    state->runTickNow();
    double block[24];
    state->copyAngleBlock(block);
    {
        QMutexLocker hands(&state->handModelMutex());
        for (int r = 0; r < 5; ++r) {
            for (int c = 0; c < 4; ++c) {
                EXPECT_EQ(state->gloveEmulator()->getJointValue(r, c), block[r * 4 + c]);
            }
        }
    }
    double linkAngles[24];
    state->gloveLink()->copyAngles(linkAngles);
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(block[i], linkAngles[i]) << i;
    }
    state->setTicksPaused(false);
    state->stopStreaming();
    EXPECT_TRUE(waitUntil([&] { return !state->streaming(); }));
}

TEST_F(WorkerTest, DisconnectReplacingStopLeavesStreamingOff) {
    ASSERT_NO_FATAL_FAILURE(connectTcp());
    state->startStreaming();
    ASSERT_TRUE(waitUntil([&] { return state->streaming(); }));
    state->setTicksPaused(true);
    state->stopStreaming();
    state->disconnect();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::Disconnect);
    state->runTickNow();
    EXPECT_FALSE(state->connected());
    EXPECT_FALSE(state->streaming());
    EXPECT_EQ(state->listeningPort(), 0);
}

TEST_F(WorkerTest, DrawingNeverSeesAHalfUpdatedHand) {
    // A second thread behaves like the hand view: under the hand-model lock it turns the hand
    // through its tracker input, runs the per-frame update and reads the posed links. A hand
    // posed from the emulator's values must match them exactly at every look.
    std::atomic<bool> go{false};
    std::atomic<bool> abandon{false};
    std::atomic<int> mismatches{0};
    std::atomic<int> draws{0};
    SideThread::instance().start([&] {
        kpxVexaGloveEmulator glove;
        kpxTrackerEmulator tracker;
        kpxHandMaster master(&glove, tracker.getDevice(0));
        kpxHumanHand reference(&master, 1.0, GHM::RIGHT_HAND);
        while (!go.load() && !abandon.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        QElapsedTimer clock;
        clock.start();
        while (go.load() && clock.elapsed() < 2000) {
            {
                QMutexLocker hands(&state->handModelMutex());
                kpxHumanHand* hand = state->rightHandModel();
                hand->getMaster()->get6DofDevice()->setValue(4, 0.01 * draws.load());
                hand->update(true);
                for (int r = 0; r < 5; ++r) {
                    for (int c = 0; c < 4; ++c) {
                        glove.setJointValue(r, c, state->gloveEmulator()->getJointValue(r, c));
                    }
                }
                reference.update(false);
                for (int f = 0; f < 5; ++f) {
                    const double d =
                        (hand->getFingertipPosition(f) - reference.getFingertipPosition(f))
                            .length();
                    if (d > 1e-12) {
                        ++mismatches;
                    }
                }
            }
            ++draws;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    struct Joiner {
        std::atomic<bool>& abandon;
        ~Joiner() {
            abandon.store(true);
            SideThread::instance().wait();
        }
    } joiner{abandon};

    ASSERT_NO_FATAL_FAILURE(connectTcp());
    state->startStreaming();
    ASSERT_TRUE(waitUntil([&] { return state->streaming(); }));
    go.store(true);
    waitUntil([&] { return false; }, 2300);
    go.store(false);
    EXPECT_GT(draws.load(), 20);
    EXPECT_EQ(mismatches.load(), 0);
    state->stopStreaming();
    EXPECT_TRUE(waitUntil([&] { return !state->streaming(); }));
}

TEST_F(WorkerTest, JamSyncAndRebootAreSentAtOnceFromTheCallersThread) {
    ASSERT_NO_FATAL_FAILURE(connectTcp());
    state->setTicksPaused(true);
    state->toggleJAMSync(true);
    EXPECT_TRUE(glove.recorded().contains(QByteArray("1o\x01", 3)));
    state->toggleJAMSync(false);
    EXPECT_TRUE(glove.recorded().contains(QByteArray("1o\x00", 3)));
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::None);
    state->sendRebootNow();
    EXPECT_TRUE(glove.recorded().contains(QByteArray("\x12\x00", 2)));
}

TEST_F(WorkerTest, SecondGloveCannotTakeOverTheConnection) {
    ASSERT_NO_FATAL_FAILURE(connectTcp());
    GloveSim intruder;
    ASSERT_TRUE(intruder.startTcp(state->listeningPort()));
    // Give the worker time to see and turn away the second connection.
    waitUntil([] { return false; }, 1500);
    EXPECT_TRUE(state->connected());
    EXPECT_EQ(log->count("socketConnectStatus"), 3);
    log->clear();
    state->getTime();
    ASSERT_TRUE(log->waitFor("gloveTime"));
    EXPECT_TRUE(glove.recorded().contains("1tg"));
    EXPECT_FALSE(intruder.recorded().contains("1tg"));
}

TEST_F(WorkerTest, RequestsWhileDisconnectedAreDropped) {
    ASSERT_FALSE(state->connected());
    state->setTicksPaused(true);
    state->startStreaming();
    state->getTime();
    state->getBatteryStatus();
    state->setActiveFile("x.csv");
    state->syncStreamConfig();
    state->setTime(1, 2, 3);
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::None);
    // These store unconditionally (or on hardware-calibration mode alone).
    state->syncHWCal();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::None);
    state->startPollLoop();
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::PollLoop);
    state->setHWCalState(false);
    EXPECT_EQ(state->pendingCommand(), MocapGloveState::LeaveHardwareCalibration);
    // Commands that still run on a closed link fail quietly and the machine moves on.
    state->setTicksPaused(false);
    EXPECT_TRUE(waitUntil([&] { return state->pendingCommand() == MocapGloveState::None; }));
    EXPECT_FALSE(state->connected());
}

TEST_F(WorkerTest, OkGestureFitsOnlyTheThumbOffsetsAndResumesHandUpdates) {
    glove::CalibrationTable before{};
    state->withLinkLocked([&](GloveLink& link) { before = link.calibrationTable(); });
    state->okGestureCalibration();
    EXPECT_FALSE(state->handUpdateSuspended());
    glove::CalibrationTable after{};
    state->withLinkLocked([&](GloveLink& link) { after = link.calibrationTable(); });
    for (int i = 0; i < glove::kSensorIndexCount; ++i) {
        EXPECT_EQ(after[i].gain, before[i].gain) << i;
        if (i != 0 && i != 3) {
            EXPECT_EQ(after[i].offset, before[i].offset) << i;
        }
    }
    // The search starts at 127 and steps on whole numbers.
    EXPECT_EQ(after[0].offset, std::floor(after[0].offset));
    EXPECT_EQ(after[3].offset, std::floor(after[3].offset));
    EXPECT_TRUE(after[0].offset != before[0].offset || after[3].offset != before[3].offset);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    SideThread::instance();
    MocapGloveState::instance();
    const int rc = RUN_ALL_TESTS();
    SideThread::instance().stop();
    MocapGloveState::instance()->shutdown();
    return rc;
}

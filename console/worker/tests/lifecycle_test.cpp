// The process-wide instance and the end of its worker thread.

#include "handsim/kpx6dofdevice.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxhumanhand.hpp"
#include "worker/mocapglovestate.hpp"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <thread>

namespace {

TEST(GloveStateLifecycle, OneInstanceWithItsOwnWorkerThreadAndHandModels) {
    MocapGloveState* a = MocapGloveState::instance();
    MocapGloveState* b = nullptr;
    std::thread other([&] { b = MocapGloveState::instance(); });
    other.join();
    EXPECT_EQ(a, b);
    EXPECT_TRUE(a->workerRunning());
    EXPECT_NE(a->thread(), QThread::currentThread());

    EXPECT_FALSE(a->connected());
    EXPECT_FALSE(a->streaming());
    EXPECT_EQ(a->tcpPort(), 5003);
    EXPECT_TRUE(a->rightHand());
    EXPECT_EQ(a->currentHandModel(), a->rightHandModel());
    EXPECT_TRUE(a->rightHandModel()->isRightHand());
    EXPECT_FALSE(a->leftHandModel()->isRightHand());
    // Both hands hang on the same glove emulator and the tracker's one 6-DOF device.
    EXPECT_EQ(a->rightHandModel()->getMaster()->getGlove(),
              a->leftHandModel()->getMaster()->getGlove());
    EXPECT_EQ(a->rightHandModel()->getMaster()->get6DofDevice(),
              a->leftHandModel()->getMaster()->get6DofDevice());
    const MocapGloveState::StreamConfig c = a->streamConfig();
    EXPECT_EQ(c.frameRateMultiplier, 3);
    EXPECT_TRUE(c.sdEnable && c.wifiEnable && c.usbEnable);
    EXPECT_EQ(c.sdDivider, 1);
    EXPECT_EQ(c.wifiDivider, 3);
    EXPECT_EQ(c.usbDivider, 3);

    a->setPortName(std::string(400, 'p'));
    EXPECT_EQ(a->portName().size(), 254u);
}

// Runs last in this program: it ends the worker.
TEST(GloveStateLifecycle, WorkerStopsWhenTheApplicationQuits) {
    MocapGloveState* s = MocapGloveState::instance();
    ASSERT_TRUE(s->workerRunning());
    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
    EXPECT_FALSE(s->workerRunning());
    // Nothing waits on a stopped worker.
    s->runTickNow();
    s->toggleJAMSync(true);
    s->setHWCalState(false);
    EXPECT_EQ(s->pendingCommand(), MocapGloveState::LeaveHardwareCalibration);
    s->shutdown();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

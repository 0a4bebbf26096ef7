// palmdesk's live plot dock against the simulated glove over a pseudo-terminal: the plot fills,
// the health flags mark the sensors the glove was told to spoil and only those, and the
// latency meter sees the delay the glove was told to add.
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <memory>

#include "app/mocapconsole.hpp"
#include "app/plotdock.hpp"
#include "guitestmain.hpp"
#include "link/glovelink.hpp"
#include "testsupport/glovesimprocess.hpp"
#include "worker/mocapglovestate.hpp"

namespace {

constexpr int kWaitMs = 60000;
constexpr int kDelayMs = 80;

MocapGloveState* state() {
    return MocapGloveState::instance();
}

GloveTiming fastTiming() {
    using ms = std::chrono::milliseconds;
    GloveTiming t;
    t.serialWritePause = ms(20);
    t.splitFirstPause = ms(20);
    t.splitSecondPause = ms(20);
    t.splitReplyPause = ms(100);
    return t;
}

}  // namespace

class TestPalmdeskPlots : public QObject {
    Q_OBJECT

  private slots:
    void plotHealthAndLatency() {
        struct Fault {
            int sensor;
            const char* option;
            std::uint8_t flag;
        } const faults[] = {{4, "flat=4", glove::kHealthFlat},
                            {9, "noise=9", glove::kHealthNoisy},
                            // Pinned at the top, the sensor is flat as well.
                            {16, "saturate=16", glove::kHealthSaturated | glove::kHealthFlat}};
        GloveSimProcess sim;
        const QString stamps = sim.path(QStringLiteral("stamps.txt"));
        QStringList args{QStringLiteral("--delay-ms"), QString::number(kDelayMs),
                         QStringLiteral("--stamp-file"), stamps};
        for (const Fault& f : faults) {
            args << QStringLiteral("--fault") << QString::fromLatin1(f.option);
        }
        QVERIFY(sim.startSerial(args));

        state()->setLinkTiming(fastTiming());
        MoCapConsole window({sim.ptyPath()});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* dock = window.findChild<PlotDock*>(QStringLiteral("plotDock"));
        QVERIFY(dock != nullptr);
        dock->setStampFile(stamps);
        dock->setSensorShown(9, true);

        window.findChild<QPushButton*>(QStringLiteral("serialConnectPB"))->click();
        QVERIFY(QTest::qWaitFor([] { return state()->connected(); }, kWaitMs));
        QVERIFY(QTest::qWaitFor([] { return state()->pendingCommand() == 0; }, kWaitMs));
        auto* streamButton = window.findChild<QPushButton*>(QStringLiteral("startStreamingPB"));
        QVERIFY(QTest::qWaitFor([&] { return streamButton->isEnabled(); }, kWaitMs));
        streamButton->click();

        // Three seconds of frames: the plot shows them and every fault has shown.
        QVERIFY(QTest::qWaitFor([&] { return dock->latency().latencySamples >= 90; }, kWaitMs));
        QVERIFY(dock->samples().size() <= dock->samples().capacity());
        QVERIFY(dock->pointsShown(9) > 30);
        QCOMPARE(dock->pointsShown(0), 0);  // not chosen
        for (const Fault& f : faults) {
            QVERIFY2(
                QTest::qWaitFor([&] { return dock->healthFlags(f.sensor) == f.flag; }, kWaitMs),
                f.option);
        }
        // The moving sensors stay healthy (7 carries no sensor).
        for (int i = 0; i < PlotDock::kSensors; ++i) {
            bool faulted = i == 4 || i == 9 || i == 16;
            if (!faulted && i != 7) {
                QVERIFY2(dock->healthFlags(i) == 0,
                         qPrintable(QStringLiteral("sensor %1: %2")
                                        .arg(i)
                                        .arg(glove::healthFlagText(dock->healthFlags(i)))));
            }
        }
        QVERIFY(window.findChild<QLabel*>(QStringLiteral("sensorValue_5"))->toolTip() == "flat");

        // Glove to display: the added delay plus the console's own tick. A loaded machine only
        // adds to it, so the fastest frame is the one that shows the delay.
        glove::LatencyStats l = dock->latency();
        QVERIFY2(
            l.minMs >= kDelayMs * 0.5 && l.minMs <= kDelayMs * 1.5 + 20 && l.latencyMs >= l.minMs,
            glove::formatLatency(l).c_str());
        QVERIFY2(l.rateHz > 10 && l.rateHz < 45, glove::formatLatency(l).c_str());
        QVERIFY(QTest::qWaitFor(
            [&] { return window.statusBar()->currentMessage().startsWith("latency "); }, kWaitMs));

        state()->disconnect();
        QVERIFY(QTest::qWaitFor([] { return !state()->connected(); }, kWaitMs));
        QVERIFY(QTest::qWaitFor([] { return state()->pendingCommand() == 0; }, kWaitMs));
    }
};

int main(int argc, char** argv) {
    return runGuiTest<TestPalmdeskPlots>(argc, argv);
}

#include "tst_palmdesk_plots.moc"

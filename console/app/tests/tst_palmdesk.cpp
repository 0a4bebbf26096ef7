// palmdesk's window driven as a user would, against the simulated glove over a
// pseudo-terminal and over TCP on the loopback.

#include "app/calibrationscales.hpp"
#include "app/glwidget.hpp"
#include "app/mocapconsole.hpp"
#include "guitestmain.hpp"
#include "handsim/kpxhumanhand.hpp"
#include "handsim/kpxtransform3d.hpp"
#include "handsim/kpxvector3d.hpp"
#include "link/glovelink.hpp"
#include "link/tests/fasttiming.hpp"
#include "take.hpp"
#include "testsupport/glovesimprocess.hpp"
#include "worker/mocapglovestate.hpp"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListView>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <fstream>
#include <memory>

namespace {

constexpr int kWaitMs = 60000;

MocapGloveState* state() {
    return MocapGloveState::instance();
}

// Angle of the thumb tip to the index tip of the current hand, as the OK gesture measures it.
double thumbIndexDistance() {
    QMutexLocker hands(&state()->handModelMutex());
    const kpxHumanHand* hand = state()->currentHandModel();
    kpxTransform3D t1, t2;
    for (int j = 0; j <= 3; ++j) {
        t1.mul(hand->getLinkTransform(0, j), 0);
        t2.mul(hand->getLinkTransform(1, j), 0);
    }
    kpxVector3d a, b, d;
    t1.transform(kpxVector3d(0, 0, 0), a);
    t2.transform(kpxVector3d(0, 0, 0), b);
    d.sub(a, b);
    return d.length();
}

}  // namespace

class TestPalmdesk : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<MoCapConsole> window;
    QTemporaryDir scratch;

    template <class W>
    W* child(const char* name) {
        W* w = window->findChild<W*>(QString::fromLatin1(name));
        if (w == nullptr) {
            qFatal("no widget %s", name);
        }
        return w;
    }

    QString log() { return child<QPlainTextEdit>("gloveLogLB")->toPlainText(); }

    void makeWindow(const QStringList& ports = {}) {
        state()->setListenAddress(QHostAddress::LocalHost);
        state()->setLinkTiming(fastTiming());
        window = std::make_unique<MoCapConsole>(ports);
        window->setDirectoryChooser([this] { return scratch.path(); });
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    // Connects through the port list's first entry and waits for the file list that follows.
    void connectSerial(GloveSimProcess& sim, const QStringList& simArgs = {}) {
        QVERIFY(sim.startSerial(simArgs));
        makeWindow({sim.ptyPath()});
        QCOMPARE(window->currentPort(), 0);
        QCOMPARE(QString::fromStdString(window->portNames()[0]), sim.ptyPath());
        child<QPushButton>("serialConnectPB")->click();
        QVERIFY(window->connectBox()->isVisible());
        QCOMPARE(window->connectBox()->text(), QStringLiteral("Connecting..."));
        QVERIFY(QTest::qWaitFor([] { return state()->connected(); }, kWaitMs));
        QVERIFY(QTest::qWaitFor([] { return state()->pendingCommand() == 0; }, kWaitMs));
        QVERIFY(QTest::qWaitFor([&] { return !window->connectBox()->isVisible(); }, kWaitMs));
    }

    void stream(bool on) {
        auto* button = child<QPushButton>("startStreamingPB");
        QVERIFY(QTest::qWaitFor([&] { return button->isEnabled(); }, kWaitMs));
        button->click();
        QVERIFY(QTest::qWaitFor([&] { return state()->streaming() == on; }, kWaitMs));
        QVERIFY(QTest::qWaitFor([] { return state()->pendingCommand() == 0; }, kWaitMs));
    }

  private slots:
    void cleanup() {
        MocapGloveState* s = state();
        s->setTicksPaused(false);
        if (s->hwCalMode()) {
            s->setHWCalState(false);
            QVERIFY(QTest::qWaitFor([s] { return s->pendingCommand() == 0; }, kWaitMs));
        }
        // A test whose simulator is gone leaves the state reconnecting: end that too.
        if (s->connected() || s->reconnecting()) {
            s->disconnect();
            QVERIFY(
                QTest::qWaitFor([s] { return !s->connected() && !s->reconnecting(); }, kWaitMs));
        }
        QVERIFY(QTest::qWaitFor([s] { return s->pendingCommand() == 0; }, kWaitMs));
        // Status texts still queued belong to the window: handed over before it goes.
        QCoreApplication::sendPostedEvents();
        window.reset();
    }

    void initialWindow() {
        makeWindow();
        QCOMPARE(window->windowTitle(), QStringLiteral("MoCapConsole"));
        auto* tabs = child<QTabWidget>("configureGloveTV");
        QCOMPARE(tabs->count(), 2);
        QCOMPARE(tabs->tabText(0), QStringLiteral("Configure"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("Calibration"));
        // The port box shows the port the state listens on.
        QCOMPARE(child<QSpinBox>("TCPPortSpinBox")->value(), state()->tcpPort());
        QCOMPARE(child<QSpinBox>("TCPPortSpinBox")->value(), 5003);
        QCOMPARE(child<QLabel>("sensorName_1")->text(), QStringLiteral("TR"));
        QCOMPARE(child<QLabel>("sensorName_8")->text(), QString());
        QCOMPARE(child<QLabel>("sensorName_23")->text(), QStringLiteral("WAB"));
        QCOMPARE(child<QPlainTextEdit>("activeFileNameTE")->toPlainText(),
                 QStringLiteral("default.txt"));
        QVERIFY(child<QPushButton>("serialConfigureWiFiPB")->isHidden());
        QVERIFY(child<QPushButton>("writeWiFiSDCardPB")->isHidden());
        QVERIFY(child<QPushButton>("pollLoopPB")->isHidden());
        QVERIFY(!child<QPushButton>("startStreamingPB")->isEnabled());
        QVERIFY(!child<QPushButton>("hardwareCalPB")->isEnabled());
        QCOMPARE(child<QPushButton>("serialConnectPB")->text(), QStringLiteral("Connect"));
        // One joint button per sensor, named by the short codes.
        QCOMPARE(child<QWidget>("sensorGroupBox")->findChildren<QRadioButton*>().size(), 22);
        QVERIFY(window->findChild<GLWidget*>(QStringLiteral("GLView")) != nullptr);
        // An empty port list leaves no port chosen, and connecting then does nothing.
        QCOMPARE(window->currentPort(), window->portNames().empty() ? -1 : 0);
        if (window->portNames().empty()) {
            child<QPushButton>("serialConnectPB")->click();
            QVERIFY(!window->connectBox()->isVisible());
            QCOMPARE(state()->pendingCommand(), 0);
        }
    }

    void dataRateRefresh() {
        makeWindow();
        auto* mult = child<QSpinBox>("frameRateMultSB");
        auto* usb = child<QSpinBox>("usbRateDividerSB");
        auto* wifi = child<QSpinBox>("wifiRateDividerSB");
        QCOMPARE(child<QLabel>("usbDataRateLB")->text(), QStringLiteral("30Hz"));
        mult->setValue(4);
        // USB and WiFi are held at 30 Hz: their dividers rise with the multiplier.
        QCOMPARE(window->usbDivider(), 4);
        QCOMPARE(usb->value(), 4);
        QCOMPARE(usb->minimum(), 4);
        QCOMPARE(child<QLabel>("usbDataRateLB")->text(), QStringLiteral("30Hz"));
        QCOMPARE(child<QLabel>("wifiDataRateLB")->text(), QStringLiteral("30Hz"));
        QCOMPARE(child<QLabel>("sdCardDataRateLB")->text(), QStringLiteral("120Hz"));
        MocapGloveState::StreamConfig config = state()->streamConfig();
        QCOMPARE(config.frameRateMultiplier, 4);
        QCOMPARE(config.usbDivider, 4);
        QCOMPARE(config.wifiDivider, 4);
        QCOMPARE(config.sdDivider, 1);
        mult->setValue(1);
        QCOMPARE(usb->minimum(), 1);
        QCOMPARE(child<QLabel>("usbDataRateLB")->text(), QStringLiteral("7.5Hz"));
        child<QSpinBox>("sdCardRateDividerSB")->setValue(7);
        QCOMPARE(child<QLabel>("sdCardDataRateLB")->text(), QStringLiteral("4.28571Hz"));
        mult->setValue(2);
        wifi->setValue(2);
        QCOMPARE(child<QLabel>("wifiDataRateLB")->text(), QStringLiteral("30Hz"));
        QCOMPARE(wifi->minimum(), 2);
        child<QPushButton>("usbEnablePB")->setChecked(false);
        QCOMPARE(state()->streamConfig().usbEnable, false);
        QCOMPARE(state()->streamConfig().frameRateMultiplier, 2);
        // Nothing to sync while no glove is connected.
        QVERIFY(!child<QPushButton>("setDataRatePB")->isEnabled());
    }

    void fileListParsing_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("two lines")
            << QByteArray("a.txt\r\nb.txt\r\n") << QStringList{"a.txt", "b.txt"};
        QTest::newRow("last line unended")
            << QByteArray("a.txt\r\nlost.txt") << QStringList{"a.txt"};
        QTest::newRow("trailing NUL") << QByteArray("one.txt\r\n\0", 10) << QStringList{"one.txt"};
        QTest::newRow("two characters keep the list") << QByteArray("\r\n") << QStringList{"keep"};
        QTest::newRow("empty keeps the list") << QByteArray() << QStringList{"keep"};
    }

    void fileListParsing() {
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, expected);
        makeWindow();
        std::string before = "keep\r\n";
        window->receiveFileList(&before);
        QCOMPARE(window->fileNames(), QStringList{"keep"});
        std::string text(reply.constData(), static_cast<std::size_t>(reply.size()));
        window->receiveFileList(&text);
        QCOMPARE(window->fileNames(), expected);
        auto* view = child<QListView>("fileListSDCardLV");
        QCOMPARE(view->model()->rowCount(), expected.size());
        QCOMPARE(view->model()->index(0, 0).data().toString(), expected.first());
    }

    void hardwareScales() {
        using namespace palmdesk;
        QCOMPARE(toHW(0), 0);
        QCOMPARE(toHW(1), 3);
        QCOMPARE(toHW(2), 5);
        QCOMPARE(toHW(3), 8);
        QCOMPARE(toHW(100), 250);
        QCOMPARE(fromHW(250), 100);
        QCOMPARE(fromHW(3), 1);
        QCOMPARE(fromHW(0), 0);
        // A position survives the trip through the glove's byte.
        for (int v = 0; v <= 100; ++v) {
            QCOMPARE(fromHW(toHW(v)), v);
        }
    }

    void softwareSliders() {
        makeWindow();
        GloveLink* link = state()->gloveLink();
        child<QRadioButton>("TIJ")->click();
        child<QRadioButton>("TR")->click();
        QCOMPARE(window->selectedJoint(), 0);
        QCOMPARE(child<QLabel>("selectedJointName")->text(), QStringLiteral("Thumb roll"));
        // Selecting writes the slider positions back: whole slider steps.
        QVERIFY(std::fabs(link->calibration(0).offset - 53.55) < 1e-9);
        QVERIFY(std::fabs(link->calibration(0).gain - 0.01575) < 1e-12);
        child<QSlider>("offsetSlider")->setValue(100);
        child<QSlider>("gainSlider")->setValue(100);
        QCOMPARE(link->calibration(0).offset, 255.0);
        QCOMPARE(link->calibration(0).gain, 0.025);
        QCOMPARE(child<QLabel>("offsetValueLB")->text(), QStringLiteral("255"));
        QCOMPARE(child<QLabel>("gainValueLB")->text(), QStringLiteral("0.0250"));
        QCOMPARE(link->calibration(2).offset, 109.0);  // the other joints keep theirs

        // A button whose name is no sensor code selects nothing; the sliders then change nothing.
        auto* stray = child<QRadioButton>("TIJ");
        stray->setObjectName(QStringLiteral("XX"));
        stray->click();
        QCOMPARE(window->selectedJoint(), -1);
        const glove::CalibrationTable before = link->calibrationTable();
        child<QSlider>("offsetSlider")->setValue(10);
        child<QSlider>("gainSlider")->setValue(10);
        for (int i = 0; i < glove::kSensorIndexCount; ++i) {
            QCOMPARE(link->calibration(i).offset, before[i].offset);
            QCOMPARE(link->calibration(i).gain, before[i].gain);
        }
    }

    void swcalRoundTrip() {
        makeWindow();
        GloveLink* link = state()->gloveLink();
        const QString file = scratch.filePath(QStringLiteral("hand.swcal"));
        QString caption;
        QString filter;
        auto chooser = [&](const QString& c, const QString&, const QString& f) {
            caption = c;
            filter = f;
            return file;
        };
        window->setSaveFileChooser(chooser);
        window->setOpenFileChooser(chooser);
        child<QRadioButton>("TR")->click();  // offset 53.55, gain 0.01575
        child<QPushButton>("saveCalibrationPB")->click();
        QCOMPARE(caption, QStringLiteral("Save Calibration"));
        QCOMPARE(filter, QStringLiteral("Mocap Glove Software Calibration Files (*.swcal)"));
        QFile saved(file);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = saved.readAll().split('\n');
        QCOMPARE(lines.size(), 25);  // 24 lines and the empty rest
        QCOMPARE(lines[0], QByteArray("   54 0.01575"));
        child<QSlider>("offsetSlider")->setValue(10);
        QCOMPARE(link->calibration(0).offset, 25.5);
        child<QPushButton>("loadCalibrationPB")->click();
        QCOMPARE(caption, QStringLiteral("Load Calibration"));
        // Loaded exactly as written, not moved to slider steps by the refreshed sliders.
        QCOMPARE(link->calibration(0).offset, 54.0);
        QCOMPARE(link->calibration(0).gain, 0.01575);
        QCOMPARE(link->calibration(1).offset, 114.0);
        QCOMPARE(child<QLabel>("offsetValueLB")->text(), QStringLiteral(" 54"));
        QCOMPARE(child<QSlider>("offsetSlider")->value(), 21);
        // A cancelled dialog changes nothing.
        window->setOpenFileChooser(
            [](const QString&, const QString&, const QString&) { return QString(); });
        child<QPushButton>("loadCalibrationPB")->click();
        QCOMPARE(link->calibration(0).offset, 54.0);
    }

    void handViewRotationAndViewport() {
        GLWidget view;
        QCOMPARE(view.xRotation(), 3224);
        QCOMPARE(view.yRotation(), 4375);
        QCOMPARE(view.zRotation(), 1150);
        QCOMPARE(view.sizeHint(), QSize(400, 400));
        QCOMPARE(view.minimumSizeHint(), QSize(50, 50));
        QSignalSpy xSpy(&view, &GLWidget::xRotationChanged);
        view.setXRotation(-16);
        QCOMPARE(view.xRotation(), 5744);
        view.setXRotation(5760);
        QCOMPARE(view.xRotation(), 5760);
        view.setXRotation(5761);
        QCOMPARE(view.xRotation(), 1);
        QCOMPARE(xSpy.count(), 3);
        view.setXRotation(1);
        view.setXRotation(5761);
        QCOMPARE(xSpy.count(), 3);  // the same angle again emits nothing
        view.setZRotation(-5760 * 2 - 10);
        QCOMPARE(view.zRotation(), 5750);

        view.resize(400, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QVERIFY(QTest::qWaitFor([&] { return view.viewportRect() == QRect(50, 0, 300, 300); },
                                kWaitMs));
        view.resize(200, 500);
        QVERIFY(QTest::qWaitFor([&] { return view.viewportRect() == QRect(0, 150, 200, 200); },
                                kWaitMs));

        // Dragging with the left button one pixel right lowers yRot by 8; down raises xRot.
        const int x0 = view.xRotation();
        const int y0 = view.yRotation();
        const int z0 = view.zRotation();
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(20, 20));
        QMouseEvent right(QEvent::MouseMove, QPointF(21, 20), view.mapToGlobal(QPointF(21, 20)),
                          Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &right);
        QCOMPARE(view.yRotation(), y0 - 8);
        QMouseEvent down(QEvent::MouseMove, QPointF(21, 22), view.mapToGlobal(QPointF(21, 22)),
                         Qt::NoButton, Qt::RightButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &down);
        QCOMPARE(view.xRotation(), x0 + 16);
        QCOMPARE(view.zRotation(), z0);
    }

    void connectFailureIsLogged() {
        makeWindow({QStringLiteral("/nonexistent/palmdesk-tty")});
        child<QPushButton>("serialConnectPB")->click();
        QVERIFY(QTest::qWaitFor([&] { return log().contains("ERROR: Could not open com port"); },
                                kWaitMs));
        QVERIFY(!window->connectBox()->isVisible());
        QVERIFY(!state()->connected());
    }

    void serialStreamShowsDegrees() {
        GloveSimProcess sim;
        // Thumb inner joint 50 counts and index inner joint 100 counts above their offsets.
        const QString script = sim.writeScript(
            "frame 2032 2624 2032 2032 3024 2032 2032 2032 2032 2032 2032 2032 2032 2032 2032 "
            "2032 2032 2032 2032 2032 2032 2032\nend hold\n");
        connectSerial(sim, {QStringLiteral("--script"), script, QStringLiteral("--serial-number"),
                            QStringLiteral("42")});
        QCOMPARE(child<QSpinBox>("serialNumberEB")->value(), 42);
        QVERIFY(child<QRadioButton>("rightHandRB")->isChecked());
        QVERIFY(!child<QRadioButton>("rightHandRB")->isEnabled());
        QVERIFY(window->handView()->boundHand() != nullptr);
        QVERIFY(
            QTest::qWaitFor([&] { return log().contains("Requesting file list..."); }, kWaitMs));
        QVERIFY(QTest::qWaitFor(
            [&] { return child<QLabel>("gloveStatusLB")->text() == "Connected"; }, kWaitMs));
        QCOMPARE(child<QPushButton>("serialConnectPB")->text(), QStringLiteral("Disconnect"));
        QVERIFY(!child<QPushButton>("tcpListenPB")->isEnabled());

        stream(true);
        QVERIFY(QTest::qWaitFor([&] { return child<QLabel>("sensorValue_2")->text() == "-41.8"; },
                                kWaitMs));
        QCOMPARE(child<QLabel>("sensorValue_5")->text(), QStringLiteral("-92.6"));
        QCOMPARE(child<QPushButton>("startStreamingPB")->text(), QStringLiteral("Stop\nStreaming"));
        QVERIFY(!child<QPushButton>("setGloveTimePB")->isEnabled());
        QVERIFY(!child<QSpinBox>("frameRateMultSB")->isEnabled());

        stream(false);
        QVERIFY(QTest::qWaitFor(
            [&] { return child<QPushButton>("startStreamingPB")->text() == "Start\nStreaming"; },
            kWaitMs));
        child<QPushButton>("serialConnectPB")->click();
        QVERIFY(QTest::qWaitFor([] { return !state()->connected(); }, kWaitMs));
        QVERIFY(QTest::qWaitFor(
            [&] { return child<QPushButton>("serialConnectPB")->text() == "Connect"; }, kWaitMs));
    }

    void tcpListenStreamsMovingHand() {
        GloveSimProcess sim;
        QFile(sim.sdcard() + "/take1.txt").open(QIODevice::WriteOnly);
        QFile(sim.sdcard() + "/take2.txt").open(QIODevice::WriteOnly);
        makeWindow();
        state()->setTcpPort(0);  // any free port; the glove is told which
        child<QPushButton>("tcpListenPB")->click();
        QCOMPARE(child<QPushButton>("tcpListenPB")->text(), QStringLiteral("Listening"));
        QVERIFY(QTest::qWaitFor([] { return state()->listeningPort() != 0; }, kWaitMs));
        QVERIFY(sim.startTcp(state()->listeningPort()));
        QVERIFY(QTest::qWaitFor([&] { return log().contains("Glove Connected"); }, kWaitMs));
        QVERIFY(log().contains("Glove Connection Request Received"));
        QVERIFY(QTest::qWaitFor([&] { return window->fileNames().size() >= 2; }, kWaitMs));
        QVERIFY(window->fileNames().contains("take1.txt"));
        QVERIFY(window->fileNames().contains("take2.txt"));
        QVERIFY(QTest::qWaitFor(
            [&] { return child<QPushButton>("tcpListenPB")->text() == "Disconnect"; }, kWaitMs));
        QVERIFY(!child<QPushButton>("serialConnectPB")->isEnabled());
        QVERIFY(window->handView()->boundHand() != nullptr);

        stream(true);
        // The motion model moves the fingers: the shown angle changes while streaming.
        auto* value = child<QLabel>("sensorValue_6");
        QVERIFY(QTest::qWaitFor([&] { return !value->text().isEmpty(); }, kWaitMs));
        const QString first = value->text();
        QVERIFY(QTest::qWaitFor([&] { return value->text() != first; }, kWaitMs));
        bool ok = false;
        value->text().toDouble(&ok);
        QVERIFY(ok);

        // Screenshots of both pages while streaming.
        window->resize(window->sizeHint().expandedTo(QSize(1200, 760)));
        auto* tabs = child<QTabWidget>("configureGloveTV");
        QTest::qWait(1200);
        QVERIFY(
            window->grab().save(QStringLiteral(PALMDESK_SCREENSHOT_DIR "/palmdesk-configure.png")));
        tabs->setCurrentIndex(1);
        QTest::qWait(1200);
        QVERIFY(window->grab().save(
            QStringLiteral(PALMDESK_SCREENSHOT_DIR "/palmdesk-calibration.png")));
        tabs->setCurrentIndex(0);

        stream(false);
        child<QPushButton>("tcpListenPB")->click();
        QVERIFY(QTest::qWaitFor([] { return !state()->connected(); }, kWaitMs));
        QCOMPARE(child<QPushButton>("tcpListenPB")->text(), QStringLiteral("Listen"));
    }

    void batteryAndTimePolling() {
        GloveSimProcess sim;
        connectSerial(sim, {QStringLiteral("--battery-mv"), QStringLiteral("8000")});
        window->setRefreshTimerActive(false);
        state()->setTicksPaused(true);
        MoCapConsole::setPollCounter(1);
        QList<int> requests;
        for (int i = 0; i < 7; ++i) {
            window->refresh();
            requests << state()->pendingCommand();
            state()->runTickNow();
        }
        // Nothing, battery, nothing, time, battery, nothing, time.
        QCOMPARE(requests, (QList<int>{0, 6, 0, 9, 6, 0, 9}));
        QVERIFY(QTest::qWaitFor([&] { return child<QLabel>("gloveBatteryLB")->text() == "High"; },
                                kWaitMs));
        QVERIFY(QTest::qWaitFor(
            [&] {
                return QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"))
                    .match(child<QLabel>("gloveTimeLB")->text())
                    .hasMatch();
            },
            kWaitMs));

        // A pending download pauses the polling until its data arrives.
        QFile file(sim.sdcard() + "/default.txt");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("some recorded lines\r\n");
        file.close();
        child<QPushButton>("DownloadFilePB")->click();
        QVERIFY(window->downloadPending());
        for (int i = 0; i < 4; ++i) {
            window->refresh();
            QCOMPARE(state()->pendingCommand(), 13);
        }
        state()->runTickNow();
        QVERIFY(QTest::qWaitFor([&] { return !window->downloadPending(); }, kWaitMs));
        requests.clear();
        for (int i = 0; i < 3; ++i) {
            window->refresh();
            requests << state()->pendingCommand();
            state()->runTickNow();
        }
        QVERIFY(requests.contains(6) || requests.contains(9));
        state()->setTicksPaused(false);
    }

    void downloadIsByteExact() {
        GloveSimProcess sim;
        QByteArray content;
        for (int i = 0; i < 5000; ++i) {
            content.append(static_cast<char>((i * 7 + i / 13) % 256));
        }
        QFile file(sim.sdcard() + "/default.txt");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        // Written in small pieces, so the download lasts long enough for the log to show
        // its progress.
        connectSerial(sim, {QStringLiteral("--fault"), QStringLiteral("chunk=128,30")});
        child<QPushButton>("DownloadFilePB")->click();
        QVERIFY(window->downloadPending());
        QVERIFY(QTest::qWaitFor([&] { return !window->downloadPending(); }, kWaitMs));
        QVERIFY(QRegularExpression(QStringLiteral("^Read \\d+ bytes$"),
                                   QRegularExpression::MultilineOption)
                    .match(log())
                    .hasMatch());
        const QString target = scratch.filePath(QStringLiteral("default.txt"));
        QFile saved(target);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        // Saved unchanged, with the glove's 15 carriage returns that end a download.
        QCOMPARE(saved.readAll(), content + QByteArray(15, '\r'));
        QVERIFY(QTest::qWaitFor(
            [&] {
                return log().contains(QStringLiteral("Download complete %1 bytes saved to %2")
                                          .arg(content.size() + 15)
                                          .arg(target));
            },
            kWaitMs));

        // A name that would leave the chosen folder is refused.
        child<QPlainTextEdit>("activeFileNameTE")->setPlainText(QStringLiteral("../escape.txt"));
        child<QPushButton>("setActiveFilePB")->click();
        QVERIFY(QTest::qWaitFor([] { return state()->pendingCommand() == 0; }, kWaitMs));
        child<QPushButton>("DownloadFilePB")->click();
        QVERIFY(QTest::qWaitFor([&] { return !window->downloadPending(); }, kWaitMs));
        QVERIFY(QTest::qWaitFor([&] { return log().contains("refusing"); }, kWaitMs));
        QVERIFY(!QFile::exists(scratch.filePath(QStringLiteral("../escape.txt"))));
    }

    void hardwareBlockFollowsSliders() {
        GloveSimProcess sim;
        connectSerial(sim);
        child<QTabWidget>("configureGloveTV")->setCurrentIndex(1);
        QVERIFY(QTest::qWaitFor([&] { return child<QPushButton>("hardwareCalPB")->isEnabled(); },
                                kWaitMs));
        child<QPushButton>("hardwareCalPB")->click();
        QCOMPARE(child<QPushButton>("hardwareCalPB")->text(),
                 QStringLiteral("Stop\nHardware\nCalibration"));
        for (int i = 0; i < glove::kSensorIndexCount; ++i) {
            QCOMPARE(window->hwOffsetEdit(i), -1.0);
            QCOMPARE(window->hwGainEdit(i), -1.0);
        }
        // Block read, then the poll loop runs by itself.
        QVERIFY(QTest::qWaitFor([] { return state()->pendingCommand() == 17; }, kWaitMs));
        QVERIFY(QTest::qWaitFor(
            [&] { return child<QLabel>("gloveStatusLB")->text() == "HW Cal Mode"; }, kWaitMs));
        MocapGloveState::HardwareBlock offsets, gains;
        state()->hardwareCalibration(offsets, gains);

        const int sent = sim.received().count("CA");
        child<QRadioButton>("IMJ")->click();
        QCOMPARE(window->selectedJoint(), 4);
        QVERIFY(child<QLabel>("selectedJointName")->text().startsWith("Index finger inner joint"));
        QCOMPARE(window->hwGainEdit(4), double(palmdesk::fromHW(gains[4])));
        child<QSlider>("gainSlider")->setValue(40);
        QCOMPARE(child<QLabel>("gainValueLB")->text(), QStringLiteral("102"));
        // The block goes to the glove at once: position 4 of the gains is byte 18 + 4.
        QByteArray block;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QByteArray bytes = sim.received();
                const qsizetype at = bytes.lastIndexOf("CA");
                if (bytes.count("CA") <= sent || at < 0 || bytes.size() < at + 38) {
                    return false;
                }
                block = bytes.mid(at + 2, 36);
                return static_cast<uint8_t>(block[18 + 4]) == 100;
            },
            kWaitMs));
        QCOMPARE(static_cast<uint8_t>(block[4]),
                 uint8_t(palmdesk::toHW(palmdesk::fromHW(offsets[4]))));
        QCOMPARE(static_cast<uint8_t>(block[18 + 0]), gains[0]);  // untouched joints as read
        // The write is over when the poll loop has taken over again.
        QVERIFY(QTest::qWaitFor([] { return state()->pendingCommand() == 17; }, kWaitMs));

        // Saved and loaded as a .hwcal file of 48 bytes.
        const QString file = scratch.filePath(QStringLiteral("glove.hwcal"));
        QString proposed;
        window->setSaveFileChooser([&](const QString&, const QString& start, const QString&) {
            proposed = start;
            return file;
        });
        child<QPushButton>("saveCalibrationPB")->click();
        QVERIFY(proposed.endsWith("/Hardware Calibration/MoCapGloveHWCAL_Right_0.hwcal"));
        QCOMPARE(QFileInfo(file).size(), 48);
        QFile edit(file);
        QVERIFY(edit.open(QIODevice::ReadWrite));
        edit.seek(24 + 4);
        edit.write(QByteArray(1, char(77)));
        edit.close();
        window->setOpenFileChooser(
            [&](const QString&, const QString&, const QString&) { return file; });
        child<QPushButton>("loadCalibrationPB")->click();
        QVERIFY(log().contains("Loaded " + file));
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QByteArray bytes = sim.received();
                const qsizetype at = bytes.lastIndexOf("CA");
                return at >= 0 && bytes.size() >= at + 38 &&
                       static_cast<uint8_t>(bytes[at + 2 + 18 + 4]) == 77;
            },
            kWaitMs));

        child<QPushButton>("hardwareCalPB")->click();
        QCOMPARE(child<QPushButton>("hardwareCalPB")->text(),
                 QStringLiteral("Start\nHardware\nCalibration"));
        QVERIFY(QTest::qWaitFor([] { return !state()->hwCalMode(); }, kWaitMs));
    }

    void okGestureOnHeldPose() {
        GloveSimProcess sim;
        const QString script = sim.writeScript(
            "frame 1800 2400 2200 1500 2600 2500 2300 2032 2700 2600 2200 2032 2900 2500 2400 "
            "2300 2800 2600 2200 2032 2032 2032\nend hold\n");
        connectSerial(sim, {QStringLiteral("--script"), script});
        stream(true);
        QVERIFY(QTest::qWaitFor([] { return state()->gloveLink()->rawValue(1) == 2400; }, kWaitMs));
        GloveLink* link = state()->gloveLink();
        state()->withLinkLocked([](GloveLink& l) {
            l.setCalibrationOffset(0, 127);
            l.setCalibrationOffset(3, 127);
        });
        QTest::qWait(300);  // a few ticks pose the hand with the start offsets
        const double start = thumbIndexDistance();
        const glove::CalibrationTable before = link->calibrationTable();

        window->okGestureCalibration();

        const glove::CalibrationTable after = link->calibrationTable();
        for (int i = 0; i < glove::kSensorIndexCount; ++i) {
            if (i == 0 || i == 3) {
                continue;
            }
            QCOMPARE(after[i].offset, before[i].offset);
            QCOMPARE(after[i].gain, before[i].gain);
        }
        QVERIFY(after[0].offset != 127.0 || after[3].offset != 127.0);
        QVERIFY(!state()->handUpdateSuspended());
        QTest::qWait(300);
        const double found = thumbIndexDistance();
        QVERIFY2(found <= start + 1e-9,
                 qPrintable(QStringLiteral("%1 > %2").arg(found).arg(start)));
        stream(false);
    }

    void rebootDisconnects() {
        GloveSimProcess sim;
        connectSerial(sim);
        QVERIFY(QTest::qWaitFor([&] { return child<QPushButton>("rebootGlovePB")->isEnabled(); },
                                kWaitMs));
        child<QPushButton>("rebootGlovePB")->click();
        QCOMPARE(child<QPushButton>("serialConnectPB")->text(), QStringLiteral("Connect"));
        QVERIFY(QTest::qWaitFor([] { return !state()->connected(); }, kWaitMs));
        QVERIFY(sim.received().contains(QByteArray("\x12\x00", 2)));
        QVERIFY(QTest::qWaitFor([&] { return log().contains("Rebooting glove"); }, kWaitMs));
    }

    // Record/Stop writes a take that reads back, with a BVH of as many frames beside it.
    void recordTake() {
        GloveSimProcess sim;
        connectSerial(sim);
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("take"));
        window->setSaveFileChooser(
            [&](const QString&, const QString&, const QString&) { return csv; });
        stream(true);
        auto* record = window->findChild<QAction*>(QStringLiteral("recordTakeAction"));
        auto* stop = window->findChild<QAction*>(QStringLiteral("stopRecordingAction"));
        QVERIFY(record && stop && record->isEnabled() && !stop->isEnabled());
        record->trigger();
        QVERIFY(window->recording() && stop->isEnabled());
        auto dataRows = [&] {
            QFile f(csv + ".csv");
            return f.open(QIODevice::ReadOnly) ? f.readAll().count('\n') - 3 : 0;
        };
        QVERIFY(QTest::qWaitFor([&] { return dataRows() >= 15; }, kWaitMs));
        stop->trigger();
        QVERIFY(!window->recording() && record->isEnabled());
        std::ifstream in((csv + ".csv").toStdString());
        const take::Take t = take::readTake(in);
        QVERIFY(t.frames.size() >= 15);
        std::ifstream bvh((csv + ".bvh").toStdString());
        const take::BvhSummary b = take::readBvh(bvh);
        QCOMPARE(b.framesDeclared, static_cast<long>(t.frames.size()));
        QCOMPARE(b.joints.size(), std::size_t{21});
        QVERIFY(log().contains("Take saved"));
        stream(false);
    }

    // The hand fills the view, whole, at any size: drawn pixels reach near two opposite edges
    // of the square viewport and touch none.
    void handViewFramesTheHand() {
        const QSize sizes[] = {{400, 400}, {900, 300}, {240, 700}};
        for (const QSize& size : sizes) {
            GLWidget view;
            view.resize(size);
            view.show();
            QVERIFY(QTest::qWaitForWindowExposed(&view));
            view.newGloveConnected(true);
            QTest::qWait(200);
            const QImage image = view.grabFramebuffer();
            image.save(QStringLiteral(PALMDESK_SCREENSHOT_DIR "/handview-%1x%2.png")
                           .arg(size.width())
                           .arg(size.height()));
            const int side = std::min(size.width(), size.height());
            const QRect square((size.width() - side) / 2, (size.height() - side) / 2, side, side);
            const QRgb background = image.pixel(square.topLeft());
            QRect drawn;
            for (int y = square.top(); y <= square.bottom(); ++y)
                for (int x = square.left(); x <= square.right(); ++x)
                    if (image.pixel(x * image.width() / size.width(),
                                    y * image.height() / size.height()) != background)
                        drawn |= QRect(x, y, 1, 1);
            QVERIFY2(!drawn.isEmpty(), "nothing drawn");
            QVERIFY2(square.adjusted(1, 1, -1, -1).contains(drawn), "the hand is cut by the edge");
            QVERIFY2(std::max(drawn.width(), drawn.height()) > side * 6 / 10,
                     "the hand is drawn small");
        }
    }
};

int main(int argc, char** argv) {
    QTEST_SET_MAIN_SOURCE_PATH
    return runGuiTest<TestPalmdesk>(argc, argv);
}

#include "tst_palmdesk.moc"

// glovepanel against the simulated glove over TCP on the loopback interface.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeEdit>
#include <QTimer>

#include <algorithm>
#include <memory>

#include "panel/mocap.hpp"
#include "testsupport/glovesimprocess.hpp"

namespace {

constexpr int kConnectTimeoutMs = 30000;
constexpr int kReplyTimeoutMs = 20000;
constexpr char kStop = 0x03;

const QString kConnected = QStringLiteral("Status: Connected");

// Writes a script of frames for the simulator (the slot values of each frame).
struct ScriptFrame {
    QByteArray time;  // "hh:mm:ss:f:ff", as the glove prints it
    std::array<int, 23> counts{};
};

}  // namespace

class GlovePanelTest : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();

    void formHasEveryWidget_data();
    void formHasEveryWidget();
    void backgroundIsBehindTheWidgets();
    void gloveButtonsWaitForAConnection();
    void failedListenIsReported_data();
    void failedListenIsReported();
    void stopListeningFreesThePort();
    void fileListItemFillsTheName();

    void connectStopsStreaming();
    void buttonsSendTheirBytes_data();
    void buttonsSendTheirBytes();
    void batteryPictureFollowsTheVoltage_data();
    void batteryPictureFollowsTheVoltage();
    void batteryPictureFoundFromAnyFolder();
    void setThenGetTime_data();
    void setThenGetTime();
    void fileListArrivingInPieces();
    void setActiveFileEnablesRecording();
    void framesShowScriptedValues();
    void twoFramesInOneRead();
    void framesSplitAcrossReads();
    void framesArrivingWithTheEcho();
    void startWithoutEchoGivesUp_data();
    void startWithoutEchoGivesUp();
    void stopRecordingStopsTheDisplay();
    void disconnectClosesTheSocket();
    void reconnectingGloveReplacesTheOld();
    void gloveDroppingIsShown();
    void screenshotWhileRecording();

  private:
    template <typename T>
    T* find(const char* name) {
        T* w = window->findChild<T*>(QString::fromLatin1(name));
        if (w == nullptr) {
            qFatal("no widget %s", name);
        }
        return w;
    }
    QPushButton* button(const char* name) { return find<QPushButton>(name); }
    QString text(const char* name) { return find<QLabel>(name)->text(); }
    void click(const char* name) { QTest::mouseClick(button(name), Qt::LeftButton); }

    // Listens on 127.0.0.1 at a port the system picks; returns that port (0 on failure).
    quint16 startListening();
    // Listens, starts the simulator with `extra` and waits until it connected.
    bool connectGlove(GloveSimProcess& sim, const QStringList& extra = {});
    // Waits until the simulator received `expected` after its first `from` bytes.
    bool receivedAfter(GloveSimProcess& sim, qsizetype from, const QByteArray& expected);
    // Waits until nothing arrived from the glove for half a second.
    bool waitQuiet();
    // Makes an active file so recording can start, and waits for the reply.
    bool prepareRecording(GloveSimProcess& sim);
    bool waitIdle() {
        return QTest::qWaitFor([&] { return window->pendingRequest() == mocap::kNone; },
                               kReplyTimeoutMs);
    }
    QString writeScript(const QTemporaryDir& dir, const QList<ScriptFrame>& frames,
                        const char* end = "loop");
    static bool aligned(const QByteArray& frame) {
        return frame.size() == mocap::kFrameSize && frame.at(2) == ':' && frame.at(5) == ':' &&
               frame.at(8) == ':' && frame.at(60) == '\0';
    }
    static int value(const QByteArray& frame, int slot) {
        return static_cast<signed char>(frame.at(14 + 2 * slot)) * 256 +
               static_cast<unsigned char>(frame.at(15 + 2 * slot));
    }
    static QImage batteryImage(const QString& picture) {
        QPixmap p(QDir(QCoreApplication::applicationDirPath()).filePath(picture));
        return p.scaled(80, 35, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
            .toImage()
            .convertToFormat(QImage::Format_ARGB32);
    }

    std::unique_ptr<mocap> window;
};

void GlovePanelTest::init() {
    window = std::make_unique<mocap>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void GlovePanelTest::cleanup() {
    window.reset();
}

quint16 GlovePanelTest::startListening() {
    find<QLineEdit>("ipEdit")->setText(QStringLiteral("127.0.0.1"));
    find<QLineEdit>("portEdit")->setText(QStringLiteral("0"));
    click("startListeningButton");
    if (button("startListeningButton")->text() != QStringLiteral("Stop Listening")) {
        return 0;
    }
    return window->findChild<QTcpServer*>()->serverPort();
}

bool GlovePanelTest::connectGlove(GloveSimProcess& sim, const QStringList& extra) {
    const quint16 port = startListening();
    if (port == 0 || !sim.start(port, extra)) {
        qWarning("cannot start glovesim");
        return false;
    }
    if (!QTest::qWaitFor([&] { return text("statusLabel") == kConnected; }, kConnectTimeoutMs)) {
        qWarning("glovesim did not connect: %s", sim.output().constData());
        return false;
    }
    // The three stop bytes sent on connecting are the first the glove sees. Their replies
    // must be in before a test's first command, or they would be taken as its reply.
    return sim.waitForReceivedSize(3, kReplyTimeoutMs) && waitIdle() && waitQuiet();
}

bool GlovePanelTest::waitQuiet() {
    auto* socket = window->findChild<QTcpSocket*>();
    if (socket == nullptr) {
        return false;
    }
    QElapsedTimer sinceRead;
    sinceRead.start();
    const QMetaObject::Connection c =
        connect(socket, &QTcpSocket::readyRead, this, [&] { sinceRead.restart(); });
    const bool quiet = QTest::qWaitFor([&] { return sinceRead.elapsed() > 500; }, kReplyTimeoutMs);
    disconnect(c);
    return quiet;
}

bool GlovePanelTest::receivedAfter(GloveSimProcess& sim, qsizetype from,
                                   const QByteArray& expected) {
    if (!sim.waitForReceivedSize(from + expected.size(), kReplyTimeoutMs)) {
        qWarning() << "received only" << sim.received().mid(from).toHex(' ');
        return false;
    }
    const QByteArray got = sim.received().mid(from, expected.size());
    if (got != expected) {
        qWarning() << "received" << got.toHex(' ') << "expected" << expected.toHex(' ');
    }
    return got == expected;
}

bool GlovePanelTest::prepareRecording(GloveSimProcess& sim) {
    find<QLineEdit>("fileNameEdit")->setText(QStringLiteral("TAKE1.CSV"));
    const qsizetype from = sim.received().size();
    click("setActiveFileButton");
    return QTest::qWaitFor([&] { return button("startRecordingButton")->isEnabled(); },
                           kReplyTimeoutMs) &&
           sim.waitForReceivedSize(from + 30, kReplyTimeoutMs);
}

QString GlovePanelTest::writeScript(const QTemporaryDir& dir, const QList<ScriptFrame>& frames,
                                    const char* end) {
    QString text = QStringLiteral("end %1\n").arg(QLatin1String(end));
    for (const ScriptFrame& f : frames) {
        text += QStringLiteral("frame");
        if (!f.time.isEmpty()) {
            text += QStringLiteral(" time=") + QString::fromLatin1(f.time);
        }
        for (int v : f.counts) {
            text += QLatin1Char(' ') + QString::number(v);
        }
        text += QLatin1Char('\n');
    }
    const QString path = dir.filePath(QStringLiteral("frames.script"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toLatin1()) < 0) {
        return {};
    }
    return path;
}

// ---------------------------------------------------------------- the window on its own

void GlovePanelTest::formHasEveryWidget_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("initial");
    auto row = [](const char* name, const char* kind, const char* initial) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind)
                            << QString::fromLatin1(initial);
    };
    row("ipEdit", "QLineEdit", "192.168.1.2");
    row("portEdit", "QLineEdit", "5003");
    row("startListeningButton", "QPushButton", "Start Listening");
    row("statusLabel", "QLabel", "status: Not connected");
    row("checkBatteryButton", "QPushButton", "check battery");
    row("batteryImageLabel", "QLabel", "");
    row("lowPowerButton", "QPushButton", "Enter Low Power Mode");
    row("setTimeEdit", "QTimeEdit", "");
    row("setTimeButton", "QPushButton", "set glove time");
    row("getTimeButton", "QPushButton", "get glove time");
    row("receivedTimeLabel", "QLabel", "00:00:00");
    row("showFilesButton", "QPushButton", "show files");
    row("listWidget", "QListWidget", "");
    row("fileNameLabel", "QLabel", "File Name:");
    row("fileNameEdit", "QLineEdit", "");
    row("setActiveFileButton", "QPushButton", "set active file");
    row("startRecordingButton", "QPushButton", "Start Recording");
    row("hourDataLabel", "QLabel", "");
    row("minuteDataLabel", "QLabel", "");
    row("secondDataLabel", "QLabel", "");
    row("frameDataLabel", "QLabel", "");
    row("logo", "QLabel", "");
    for (const char* code : Ui::mocapClass::kSensorCodes) {
        const QByteArray name = QByteArray(code).toLower() + "DataLabel";
        QTest::newRow(name.constData())
            << QString::fromLatin1(name) << QStringLiteral("QLabel") << QString();
    }
}

void GlovePanelTest::formHasEveryWidget() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, initial);
    QCOMPARE(window->windowTitle(), QStringLiteral("MOCAP Glove Control Console"));
    QCOMPARE(window->size(), QSize(554, 753));
    QWidget* w = window->findChild<QWidget*>(name);
    QVERIFY2(w != nullptr, qPrintable(name));
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), kind);
    if (initial.isEmpty()) {
        return;
    }
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        QCOMPARE(edit->text(), initial);
    } else if (auto* b = qobject_cast<QPushButton*>(w)) {
        QCOMPARE(b->text(), initial);
    } else if (auto* l = qobject_cast<QLabel*>(w)) {
        QCOMPARE(l->text(), initial);
    }
}

void GlovePanelTest::backgroundIsBehindTheWidgets() {
    auto* logo = find<QLabel>("logo");
    QVERIFY(!logo->pixmap().isNull());
    QImage resource(QStringLiteral(":/mocap/Resources/background.PNG"));
    QVERIFY(!resource.isNull());
    // Lowest in the stacking order: first among its siblings.
    QWidget* parent = logo->parentWidget();
    QWidget* first = nullptr;
    for (QObject* child : parent->children()) {
        if (child->isWidgetType()) {
            first = static_cast<QWidget*>(child);
            break;
        }
    }
    QCOMPARE(first, logo);
    QVERIFY(logo->geometry().contains(button("startRecordingButton")->geometry()));
    QCOMPARE(find<QTimeEdit>("setTimeEdit")->displayFormat(), QStringLiteral("hh:mm:ss"));
    QCOMPARE(find<QTimeEdit>("setTimeEdit")->minimumDate(), QDate(2000, 1, 1));
    for (const char* code : Ui::mocapClass::kSensorCodes) {
        // Each value has a caption with its code.
        bool captioned = false;
        for (QLabel* l : window->findChildren<QLabel*>()) {
            captioned = captioned || l->text() == QLatin1String(code);
        }
        QVERIFY2(captioned, code);
    }
}

void GlovePanelTest::gloveButtonsWaitForAConnection() {
    for (const char* name :
         {"checkBatteryButton", "lowPowerButton", "setTimeButton", "getTimeButton",
          "showFilesButton", "setActiveFileButton", "startRecordingButton"}) {
        QVERIFY2(!button(name)->isEnabled(), name);
    }
    QVERIFY(button("startListeningButton")->isEnabled());
}

void GlovePanelTest::failedListenIsReported_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("occupy");
    auto row = [](const char* name, const char* address, const char* port, bool occupy) {
        QTest::newRow(name) << QString::fromLatin1(address) << QString::fromLatin1(port) << occupy;
    };
    row("port in use", "127.0.0.1", "", true);
    row("not an address", "127.0.0.300", "5003", false);
    row("not a number", "127.0.0.1", "50x3", false);
    row("port too large", "127.0.0.1", "70000", false);
    // An address that is not one of this machine's cannot be bound.
    row("foreign address", "192.0.2.77", "5003", false);
}

void GlovePanelTest::failedListenIsReported() {
    QFETCH(QString, address);
    QFETCH(QString, port);
    QFETCH(bool, occupy);
    QTcpServer other;
    if (occupy) {
        QVERIFY(other.listen(QHostAddress::LocalHost, 0));
        port = QString::number(other.serverPort());
    }
    find<QLineEdit>("ipEdit")->setText(address);
    find<QLineEdit>("portEdit")->setText(port);
    click("startListeningButton");
    QCOMPARE(button("startListeningButton")->text(), QStringLiteral("Start Listening"));
    QVERIFY(!find<QLineEdit>("portEdit")->isReadOnly());
    QVERIFY2(text("statusLabel").contains(QStringLiteral("Cannot listen")),
             qPrintable(text("statusLabel")));
    QVERIFY(!window->findChild<QTcpServer*>()->isListening());

    // A correct second try still works.
    find<QLineEdit>("ipEdit")->setText(QStringLiteral("127.0.0.1"));
    find<QLineEdit>("portEdit")->setText(QStringLiteral("0"));
    click("startListeningButton");
    QCOMPARE(button("startListeningButton")->text(), QStringLiteral("Stop Listening"));
    QVERIFY(find<QLineEdit>("portEdit")->isReadOnly());
}

void GlovePanelTest::stopListeningFreesThePort() {
    const quint16 port = startListening();
    QVERIFY(port != 0);
    QVERIFY(find<QLineEdit>("portEdit")->isReadOnly());
    click("startListeningButton");
    QCOMPARE(button("startListeningButton")->text(), QStringLiteral("Start Listening"));
    QVERIFY(!find<QLineEdit>("portEdit")->isReadOnly());

    // Nothing listens there any more: a connection is refused and another server can bind.
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!probe.waitForConnected(5000));
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost, port));
    other.close();

    // And the panel listens on the same port again.
    find<QLineEdit>("portEdit")->setText(QString::number(port));
    click("startListeningButton");
    QCOMPARE(button("startListeningButton")->text(), QStringLiteral("Stop Listening"));
    QCOMPARE(window->findChild<QTcpServer*>()->serverPort(), port);
}

void GlovePanelTest::fileListItemFillsTheName() {
    auto* list = find<QListWidget>("listWidget");
    list->addItem(QStringLiteral("FIRST.CSV"));
    list->addItem(QStringLiteral("SECOND.CSV"));
    const QRect rect = list->visualItemRect(list->item(1));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    QCOMPARE(find<QLineEdit>("fileNameEdit")->text(), QStringLiteral("SECOND.CSV"));
}

// ---------------------------------------------------------------- with the simulated glove

void GlovePanelTest::connectStopsStreaming() {
    GloveSimProcess sim;
    QVERIFY(connectGlove(sim));
    QCOMPARE(sim.received().left(3), QByteArray(3, kStop));
    QCOMPARE(button("startListeningButton")->text(), QStringLiteral("Disconnect"));
    for (const char* name : {"checkBatteryButton", "lowPowerButton", "setTimeButton",
                             "getTimeButton", "showFilesButton", "setActiveFileButton"}) {
        QVERIFY2(button(name)->isEnabled(), name);
    }
    QVERIFY(!button("startRecordingButton")->isEnabled());
}

void GlovePanelTest::buttonsSendTheirBytes_data() {
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("lowPowerText");
    const QString enter = QStringLiteral("Enter Low Power Mode");
    const QString exit = QStringLiteral("Exit Low Power Mode");
    QTest::newRow("battery") << QStringList{"checkBatteryButton"} << QByteArray("V") << enter;
    QTest::newRow("get time") << QStringList{"getTimeButton"} << QByteArray("1tg") << enter;
    QTest::newRow("set time") << QStringList{"setTimeButton"} << QByteArray("1ts07:08:09") << enter;
    QTest::newRow("show files") << QStringList{"showFilesButton"} << QByteArray("?l") << enter;
    QTest::newRow("set active file") << QStringList{"setActiveFileButton"}
                                     << QByteArray(
                                            "1m\x03"
                                            "1es1du1ew1w\x09"
                                            "1s\x01"
                                            "1ATAKE1.CSV\x01\x01")
                                     << enter;
    QTest::newRow("low power on") << QStringList{"lowPowerButton"} << QByteArray("Z\x01", 2)
                                  << exit;
    QTest::newRow("low power on, off")
        << QStringList{"lowPowerButton", "lowPowerButton"} << QByteArray("Z\x01Z\x00", 4) << enter;
    QTest::newRow("start, stop recording")
        << QStringList{"setActiveFileButton", "startRecordingButton", "startRecordingButton"}
        << QByteArray(
               "1m\x03"
               "1es1du1ew1w\x09"
               "1s\x01"
               "1ATAKE1.CSV\x01\x01"
               "1S\x03")
        << enter;
}

void GlovePanelTest::buttonsSendTheirBytes() {
    QFETCH(QStringList, clicks);
    QFETCH(QByteArray, expected);
    QFETCH(QString, lowPowerText);
    GloveSimProcess sim;
    QVERIFY(connectGlove(sim));
    find<QTimeEdit>("setTimeEdit")->setTime(QTime(7, 8, 9));
    find<QLineEdit>("fileNameEdit")->setText(QStringLiteral("TAKE1.CSV"));
    const qsizetype from = sim.received().size();
    for (const QString& name : clicks) {
        QPushButton* b = button(name.toLatin1().constData());
        // Replies come back before the next click, as a person would wait for them.
        QVERIFY(QTest::qWaitFor([&] { return b->isEnabled(); }, kReplyTimeoutMs));
        QTest::mouseClick(b, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return window->pendingRequest() == mocap::kNone ||
                       window->pendingRequest() == mocap::kRecording;
            },
            kReplyTimeoutMs));
    }
    QVERIFY(receivedAfter(sim, from, expected));
    QCOMPARE(button("lowPowerButton")->text(), lowPowerText);
}

void GlovePanelTest::batteryPictureFollowsTheVoltage_data() {
    QTest::addColumn<int>("millivolts");
    QTest::addColumn<QString>("picture");
    QTest::addColumn<QStringList>("fault");
    const QStringList whole;
    QTest::newRow("7801 is full") << 7801 << QStringLiteral("full.PNG") << whole;
    QTest::newRow("7800 is half") << 7800 << QStringLiteral("half.PNG") << whole;
    QTest::newRow("6901 is half") << 6901 << QStringLiteral("half.PNG") << whole;
    QTest::newRow("6900 is empty") << 6900 << QStringLiteral("empty.PNG") << whole;
    // The reply is read up to its NUL, not just the first piece that arrives.
    QTest::newRow("7801 in pieces")
        << 7801 << QStringLiteral("full.PNG") << QStringList{QStringLiteral("--fault"), "chunk=2"};
    // 3000 bytes before the NUL: cut at the limit, the digits still read.
    QTest::newRow("7801 overlong") << 7801 << QStringLiteral("full.PNG")
                                   << QStringList{QStringLiteral("--fault"), "oversize=3000"};
}

void GlovePanelTest::batteryPictureFollowsTheVoltage() {
    QFETCH(int, millivolts);
    QFETCH(QString, picture);
    QFETCH(QStringList, fault);
    GloveSimProcess sim;
    QVERIFY(connectGlove(
        sim, QStringList{QStringLiteral("--battery-mv"), QString::number(millivolts)} + fault));
    auto* label = find<QLabel>("batteryImageLabel");
    QVERIFY(label->pixmap().isNull());
    click("checkBatteryButton");
    QVERIFY(QTest::qWaitFor([&] { return !label->pixmap().isNull(); }, kReplyTimeoutMs));
    const QImage shown = label->pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(shown.size(), QSize(80, 35));
    for (const char* candidate : {"full.PNG", "half.PNG", "empty.PNG"}) {
        const QImage expected = batteryImage(QString::fromLatin1(candidate));
        QVERIFY(!expected.isNull());
        QCOMPARE(shown == expected, picture == QLatin1String(candidate));
    }

    auto* timer = window->findChild<QTimer*>(QStringLiteral("batteryTimer"));
    QVERIFY(timer != nullptr);
    QVERIFY(timer->isActive());
    QVERIFY(timer->isSingleShot());
    QCOMPARE(timer->interval(), 15000);
    QSignalSpy timeouts(timer, &QTimer::timeout);
    // Fire the timer now instead of waiting 15 s.
    timer->start(0);
    QVERIFY(timeouts.wait(kReplyTimeoutMs));
    QVERIFY(label->pixmap().isNull());
}

void GlovePanelTest::batteryPictureFoundFromAnyFolder() {
    QTemporaryDir elsewhere;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    GloveSimProcess sim;
    const bool connected = connectGlove(sim, {QStringLiteral("--battery-mv"), "8100"});
    click("checkBatteryButton");
    auto* label = find<QLabel>("batteryImageLabel");
    const bool shown = QTest::qWaitFor([&] { return !label->pixmap().isNull(); }, kReplyTimeoutMs);
    QDir::setCurrent(before);
    QVERIFY(connected);
    QVERIFY(shown);
    QCOMPARE(label->pixmap().toImage().convertToFormat(QImage::Format_ARGB32),
             batteryImage(QStringLiteral("full.PNG")));
}

void GlovePanelTest::setThenGetTime_data() {
    QTest::addColumn<QStringList>("fault");
    QTest::newRow("whole replies") << QStringList();
    QTest::newRow("replies in pieces") << QStringList{QStringLiteral("--fault"), "chunk=3"};
}

void GlovePanelTest::setThenGetTime() {
    QFETCH(QStringList, fault);
    GloveSimProcess sim;
    QVERIFY(connectGlove(sim, fault));
    find<QTimeEdit>("setTimeEdit")->setTime(QTime(21, 34, 50));
    qsizetype from = sim.received().size();
    click("setTimeButton");
    QVERIFY(receivedAfter(sim, from, "1ts21:34:50"));
    QVERIFY(waitIdle());
    from = sim.received().size();
    click("getTimeButton");
    QVERIFY(receivedAfter(sim, from, "1tg"));
    QVERIFY(
        QTest::qWaitFor([&] { return text("receivedTimeLabel") != "00:00:00"; }, kReplyTimeoutMs));
    // The glove's clock runs on; on a loaded machine a few seconds may pass.
    const QTime shown = QTime::fromString(text("receivedTimeLabel"), QStringLiteral("hh:mm:ss"));
    QVERIFY2(shown.isValid(), qPrintable(text("receivedTimeLabel")));
    const int elapsed = QTime(21, 34, 50).secsTo(shown);
    QVERIFY2(elapsed >= 0 && elapsed <= 20, qPrintable(text("receivedTimeLabel")));
    QCOMPARE(window->pendingRequest(), mocap::kNone);
}

void GlovePanelTest::fileListArrivingInPieces() {
    GloveSimProcess sim;
    QTemporaryDir card;
    const QStringList names{"ALPHA.CSV", "BRAVO.CSV", "CHARLIE_LONG_NAME.CSV"};
    for (const QString& name : names) {
        QFile file(card.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("1,2,3\r\n");
    }
    QVERIFY(connectGlove(sim, {QStringLiteral("--sdcard"), card.path(), QStringLiteral("--fault"),
                               QStringLiteral("chunk=7")}));
    auto* list = find<QListWidget>("listWidget");
    list->addItem(QStringLiteral("stale entry"));

    // After each read, note how many names the list shows.
    QList<int> countAfterRead;
    auto* socket = window->findChild<QTcpSocket*>();
    QVERIFY(socket != nullptr);
    connect(socket, &QTcpSocket::readyRead, this, [&] { countAfterRead.append(list->count()); });
    click("showFilesButton");
    QCOMPARE(list->count(), 0);
    QVERIFY(QTest::qWaitFor([&] { return list->count() > 0; }, kReplyTimeoutMs));
    QVERIFY(waitIdle());

    QStringList shown;
    for (int i = 0; i < list->count(); ++i) {
        shown.append(list->item(i)->text());
    }
    shown.sort();
    QCOMPARE(shown, names);
    QVERIFY2(countAfterRead.size() >= 2, "the list did not arrive in pieces");
    // Nothing is shown before the piece that ends the list.
    for (int i = 0; i + 1 < countAfterRead.size(); ++i) {
        QCOMPARE(countAfterRead.at(i), 0);
    }
    QCOMPARE(countAfterRead.last(), names.size());
}

void GlovePanelTest::setActiveFileEnablesRecording() {
    GloveSimProcess sim;
    QVERIFY(connectGlove(sim));
    QVERIFY(!button("startRecordingButton")->isEnabled());
    QVERIFY(prepareRecording(sim));
    QVERIFY(button("startRecordingButton")->isEnabled());
    click("lowPowerButton");
    QCOMPARE(button("lowPowerButton")->text(), QStringLiteral("Exit Low Power Mode"));
    QVERIFY(waitQuiet());
    click("startRecordingButton");
    // Starting to record resets the low-power button.
    QCOMPARE(button("lowPowerButton")->text(), QStringLiteral("Enter Low Power Mode"));
    QVERIFY(QTest::qWaitFor(
        [&] { return button("startRecordingButton")->text() == QStringLiteral("Stop Recording"); },
        kReplyTimeoutMs));
    // While recording only the recording and low-power buttons act.
    for (const char* name : {"checkBatteryButton", "setTimeButton", "getTimeButton",
                             "showFilesButton", "setActiveFileButton"}) {
        QVERIFY2(!button(name)->isEnabled(), name);
    }
    QVERIFY(button("lowPowerButton")->isEnabled());
    QVERIFY(button("startRecordingButton")->isEnabled());
}

void GlovePanelTest::framesShowScriptedValues() {
    QTemporaryDir dir;
    ScriptFrame f;
    f.time = "13:45:27:8:02";
    for (int s = 0; s < 23; ++s) {
        // Negative values check the signed high byte; 300 needs both bytes.
        f.counts[s] = s == 0 ? -50 : s == 1 ? 300 : s * 37 - 200;
    }
    const QString script = writeScript(dir, {f}, "hold");
    QVERIFY(!script.isEmpty());
    GloveSimProcess sim;
    QVERIFY(connectGlove(sim, {QStringLiteral("--sensors"), QStringLiteral("22"),
                               QStringLiteral("--script"), script}));
    QVERIFY(prepareRecording(sim));
    QSignalSpy frames(window.get(), &mocap::frameDecoded);
    click("startRecordingButton");
    QVERIFY(QTest::qWaitFor([&] { return frames.count() >= 3; }, kReplyTimeoutMs));

    QCOMPARE(text("hourDataLabel"), QStringLiteral("13"));
    QCOMPARE(text("minuteDataLabel"), QStringLiteral("45"));
    QCOMPARE(text("secondDataLabel"), QStringLiteral("27"));
    // Two characters from offset 9: the one-digit fourth field and its separator.
    QCOMPARE(text("frameDataLabel"), QStringLiteral("8:"));
    for (int i = 0; i < 22; ++i) {
        const QByteArray name = QByteArray(Ui::mocapClass::kSensorCodes[i]).toLower() + "DataLabel";
        QCOMPARE(text(name.constData()), QString::number(f.counts[i]));
    }
}

void GlovePanelTest::twoFramesInOneRead() {
    QTemporaryDir dir;
    ScriptFrame a, b;
    a.time = "10:00:00:1:00";
    b.time = "10:00:00:2:00";
    for (int s = 0; s < 23; ++s) {
        a.counts[s] = 100 + s;
        b.counts[s] = 1000 + s;
    }
    const QString script = writeScript(dir, {a, b});
    GloveSimProcess sim;
    QVERIFY(connectGlove(sim, {QStringLiteral("--script"), script, QStringLiteral("--fault"),
                               QStringLiteral("burst=2")}));
    QVERIFY(prepareRecording(sim));
    QSignalSpy frames(window.get(), &mocap::frameDecoded);
    // Frames taken from each read.
    QList<qsizetype> perRead;
    qsizetype before = 0;
    connect(window->findChild<QTcpSocket*>(), &QTcpSocket::readyRead, this, [&] {
        perRead.append(frames.count() - before);
        before = frames.count();
    });
    click("startRecordingButton");
    QVERIFY(QTest::qWaitFor([&] { return frames.count() >= 10; }, kReplyTimeoutMs));

    // A loaded machine may read two bursts at once; every read still yields whole frames.
    QVERIFY2(std::any_of(perRead.begin(), perRead.end(), [](qsizetype n) { return n >= 2; }),
             "no read of 122 bytes gave two frames");
    // None lost, none doubled: the script's two frames alternate.
    for (int i = 0; i < frames.count(); ++i) {
        const QByteArray frame = frames.at(i).at(0).toByteArray();
        QVERIFY(aligned(frame));
        QCOMPARE(value(frame, 0), i % 2 == 0 ? 100 : 1000);
        QCOMPARE(value(frame, 22), i % 2 == 0 ? 122 : 1022);
    }
}

void GlovePanelTest::framesSplitAcrossReads() {
    QTemporaryDir dir;
    ScriptFrame a;
    a.time = "09:08:07:6:05";
    for (int s = 0; s < 23; ++s) {
        a.counts[s] = -(s + 1) * 3;
    }
    const QString script = writeScript(dir, {a}, "hold");
    GloveSimProcess sim;
    QVERIFY(connectGlove(sim, {QStringLiteral("--script"), script, QStringLiteral("--fault"),
                               QStringLiteral("chunk=17")}));
    QVERIFY(prepareRecording(sim));
    QSignalSpy frames(window.get(), &mocap::frameDecoded);
    int reads = 0;
    connect(window->findChild<QTcpSocket*>(), &QTcpSocket::readyRead, this, [&] { ++reads; });
    click("startRecordingButton");
    QVERIFY(QTest::qWaitFor([&] { return frames.count() >= 4; }, kReplyTimeoutMs));
    QVERIFY2(reads > frames.count(), "frames were not split across reads");
    for (const QList<QVariant>& args : frames) {
        const QByteArray frame = args.at(0).toByteArray();
        QVERIFY2(aligned(frame), frame.toHex(' ').constData());
        QCOMPARE(frame.left(13), QByteArray("09:08:07:6:05"));
        QCOMPARE(value(frame, 21), -66);
    }
    QCOMPARE(text("swDataLabel"), QStringLiteral("-66"));
}

void GlovePanelTest::framesArrivingWithTheEcho() {
    QTemporaryDir dir;
    QList<ScriptFrame> script;
    for (int n = 0; n < 5; ++n) {
        ScriptFrame f;
        f.time = QByteArray("11:22:33:") + QByteArray::number(n) + ":00";
        for (int s = 0; s < 23; ++s) {
            f.counts[s] = n * 100 + s;
        }
        script.append(f);
    }
    const QString path = writeScript(dir, script, "hold");
    GloveSimProcess sim;
    QVERIFY(connectGlove(sim, {QStringLiteral("--script"), path, QStringLiteral("--fault"),
                               QStringLiteral("burst=2")}));
    QVERIFY(prepareRecording(sim));
    QSignalSpy frames(window.get(), &mocap::frameDecoded);
    click("startRecordingButton");
    QVERIFY(QTest::qWaitFor([&] { return frames.count() >= 6; }, kReplyTimeoutMs));
    // The first frame came in the same read as the echo and is kept, in step.
    const QByteArray first = frames.first().at(0).toByteArray();
    QVERIFY2(aligned(first), first.toHex(' ').constData());
    QCOMPARE(value(first, 0), 0);
    for (const QList<QVariant>& args : frames) {
        QVERIFY(aligned(args.at(0).toByteArray()));
    }
}

void GlovePanelTest::startWithoutEchoGivesUp_data() {
    QTest::addColumn<bool>("streams");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<QString>("status");
    QTest::newRow("silent: the limit runs out")
        << false << 1000 << QStringLiteral("Status: Connected (recording did not start: no reply)");
    // Frames carrying "1S" in their data, which is not the echo; the long limit shows that the
    // frames, not the time, end the wait.
    QTest::newRow("frames without the reply")
        << true << 10 * kReplyTimeoutMs
        << QStringLiteral(
               "Status: Connected (recording did not start: frames came without the reply)");
}

void GlovePanelTest::startWithoutEchoGivesUp() {
    QFETCH(bool, streams);
    QFETCH(int, limitMs);
    QFETCH(QString, status);
    QTemporaryDir dir;
    ScriptFrame f;
    f.time = "12:34:56:0:01";
    f.counts.fill(0x3153);  // "1S" in every slot
    QStringList extra{QStringLiteral("--fault"), QStringLiteral("no-start-echo"),
                      QStringLiteral("--script"), writeScript(dir, {f}, "hold")};
    if (!streams) {
        extra << QStringLiteral("--fault") << QStringLiteral("silence=0");
    }
    GloveSimProcess sim;
    QVERIFY(connectGlove(sim, extra));
    QVERIFY(prepareRecording(sim));
    window->setStartEchoTimeout(limitMs);
    QSignalSpy frames(window.get(), &mocap::frameDecoded);
    const qsizetype from = sim.received().size();
    click("startRecordingButton");
    QVERIFY(!button("startRecordingButton")->isEnabled());
    QVERIFY(waitIdle());
    QCOMPARE(text("statusLabel"), status);
    // The glove is told to stop, in case it started after all.
    QVERIFY(receivedAfter(sim, from, QByteArray("1S\x03")));
    QCOMPARE(frames.count(), 0);
    QCOMPARE(button("startRecordingButton")->text(), QStringLiteral("Start Recording"));
    for (const char* name :
         {"checkBatteryButton", "lowPowerButton", "setTimeButton", "getTimeButton",
          "showFilesButton", "setActiveFileButton", "startRecordingButton"}) {
        QVERIFY2(button(name)->isEnabled(), name);
    }
}

void GlovePanelTest::stopRecordingStopsTheDisplay() {
    GloveSimProcess sim;
    QVERIFY(connectGlove(sim));
    QVERIFY(prepareRecording(sim));
    QSignalSpy frames(window.get(), &mocap::frameDecoded);
    click("startRecordingButton");
    QVERIFY(QTest::qWaitFor([&] { return frames.count() >= 2; }, kReplyTimeoutMs));
    const qsizetype from = sim.received().size();
    click("startRecordingButton");
    const qsizetype shown = frames.count();
    QCOMPARE(button("startRecordingButton")->text(), QStringLiteral("Start Recording"));
    QVERIFY(receivedAfter(sim, from, QByteArray(1, kStop)));
    for (const char* name :
         {"checkBatteryButton", "lowPowerButton", "setTimeButton", "getTimeButton",
          "showFilesButton", "setActiveFileButton", "startRecordingButton"}) {
        QVERIFY2(button(name)->isEnabled(), name);
    }
    // Frames still in flight are dropped, not shown.
    QTest::qWait(500);
    QCOMPARE(frames.count(), shown);

    // The glove answers commands again.
    click("checkBatteryButton");
    QVERIFY(QTest::qWaitFor([&] { return !find<QLabel>("batteryImageLabel")->pixmap().isNull(); },
                            kReplyTimeoutMs));
}

void GlovePanelTest::disconnectClosesTheSocket() {
    GloveSimProcess sim;
    // --once: the simulator ends when the panel closes the connection.
    QVERIFY(connectGlove(sim, {QStringLiteral("--once")}));
    click("startListeningButton");
    QCOMPARE(text("statusLabel"), QStringLiteral("Status: Not Connected"));
    QCOMPARE(button("startListeningButton")->text(), QStringLiteral("Stop Listening"));
    for (const char* name :
         {"checkBatteryButton", "lowPowerButton", "setTimeButton", "getTimeButton",
          "showFilesButton", "setActiveFileButton", "startRecordingButton"}) {
        QVERIFY2(!button(name)->isEnabled(), name);
    }
    QCOMPARE(window->pendingRequest(), mocap::kNone);
    // The glove sees its connection closed.
    QVERIFY2(sim.waitForExit(kReplyTimeoutMs), sim.output().constData());
    QCOMPARE(sim.exitCode(), 0);
}

void GlovePanelTest::reconnectingGloveReplacesTheOld() {
    GloveSimProcess first;
    QVERIFY(connectGlove(first, {QStringLiteral("--once")}));
    const quint16 port = window->findChild<QTcpServer*>()->serverPort();
    GloveSimProcess second;
    QVERIFY(second.start(port));
    // The old connection is closed, not left open and unread.
    QVERIFY2(first.waitForExit(kReplyTimeoutMs), first.output().constData());
    QVERIFY(second.waitForReceivedSize(3, kReplyTimeoutMs));
    QCOMPARE(text("statusLabel"), kConnected);
    QVERIFY(waitQuiet());
    click("checkBatteryButton");
    QVERIFY(receivedAfter(second, 3, "V"));
    QVERIFY(QTest::qWaitFor([&] { return !find<QLabel>("batteryImageLabel")->pixmap().isNull(); },
                            kReplyTimeoutMs));
}

void GlovePanelTest::gloveDroppingIsShown() {
    GloveSimProcess sim;
    QVERIFY(connectGlove(sim, {QStringLiteral("--fault"), QStringLiteral("drop-after-frames=3")}));
    QVERIFY(prepareRecording(sim));
    // The simulator connects again soon after dropping, so look right when the drop is seen
    // (the window handles it first: it connected first).
    QString status;
    bool batteryEnabled = true;
    bool recordingEnabled = true;
    QString recordingText;
    connect(window->findChild<QTcpSocket*>(), &QTcpSocket::disconnected, this, [&] {
        status = text("statusLabel");
        batteryEnabled = button("checkBatteryButton")->isEnabled();
        recordingEnabled = button("startRecordingButton")->isEnabled();
        recordingText = button("startRecordingButton")->text();
    });
    click("startRecordingButton");
    QVERIFY(QTest::qWaitFor([&] { return !status.isEmpty(); }, kReplyTimeoutMs));
    QCOMPARE(status, QStringLiteral("Status: Not Connected"));
    QVERIFY(!batteryEnabled);
    QVERIFY(!recordingEnabled);
    QCOMPARE(recordingText, QStringLiteral("Start Recording"));
    // Still listening: the glove comes back by itself.
    QVERIFY(window->findChild<QTcpServer*>()->isListening());
    QVERIFY(QTest::qWaitFor([&] { return text("statusLabel") == kConnected; }, kConnectTimeoutMs));
    QCOMPARE(button("startListeningButton")->text(), QStringLiteral("Disconnect"));
}

void GlovePanelTest::screenshotWhileRecording() {
    QTemporaryDir card;
    for (const char* name : {"WARMUP.CSV", "TAKE1.CSV", "TAKE2.CSV"}) {
        QFile file(card.filePath(QString::fromLatin1(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    GloveSimProcess sim;
    QVERIFY(connectGlove(sim, {QStringLiteral("--battery-mv"), QStringLiteral("7400"),
                               QStringLiteral("--sdcard"), card.path()}));
    click("checkBatteryButton");
    QVERIFY(QTest::qWaitFor([&] { return !find<QLabel>("batteryImageLabel")->pixmap().isNull(); },
                            kReplyTimeoutMs));
    click("showFilesButton");
    QVERIFY(waitIdle());
    auto* list = find<QListWidget>("listWidget");
    QCOMPARE(list->count(), 3);
    list->setCurrentRow(1);
    QVERIFY(prepareRecording(sim));
    QSignalSpy frames(window.get(), &mocap::frameDecoded);
    click("startRecordingButton");
    QVERIFY(QTest::qWaitFor([&] { return frames.count() >= 20; }, kReplyTimeoutMs));
    const QImage shot = window->grab().toImage();
    QCOMPARE(shot.size(), QSize(554, 753));
    const QString path =
        QDir(QStringLiteral(GLOVEPANEL_SCREENSHOT_DIR)).filePath("glovepanel-recording.png");
    QVERIFY(shot.save(path));
    qInfo("screenshot: %s", qPrintable(path));
}

QTEST_MAIN(GlovePanelTest)
#include "tst_glovepanel.moc"

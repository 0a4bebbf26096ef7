#include "mocap.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTime>
#include <QTimeEdit>

namespace {

const QString kStartListening = QStringLiteral("Start Listening");
const QString kStopListening = QStringLiteral("Stop Listening");
const QString kDisconnect = QStringLiteral("Disconnect");
const QString kStartRecordingText = QStringLiteral("Start Recording");
const QString kStopRecordingText = QStringLiteral("Stop Recording");
const QString kEnterLowPower = QStringLiteral("Enter Low Power Mode");
const QString kExitLowPower = QStringLiteral("Exit Low Power Mode");
const QString kNotConnected = QStringLiteral("Status: Not Connected");

constexpr char kStopStreaming = 0x03;

// A battery or time reply is a few bytes; anything this long is not one.
constexpr int kReplyLimit = 1024;
// A card listing far beyond any real card's; guards memory against a glove that never
// ends the list.
constexpr int kFileListLimit = 256 * 1024;

// Leading decimal digits as a number, like the glove's own parser (0 when none).
int leadingNumber(const QByteArray& text) {
    int value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') {
            break;
        }
        value = value * 10 + (ch - '0');
    }
    return value;
}

QString twoDigits(int value) {
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

}  // namespace

mocap::mocap(QWidget* parent) : QMainWindow(parent), server(new QTcpServer(this)) {
    ui.setupUi(this);
    server->setObjectName(QStringLiteral("server"));
    batteryTimer.setObjectName(QStringLiteral("batteryTimer"));
    batteryTimer.setSingleShot(true);
    startEchoTimer.setObjectName(QStringLiteral("startEchoTimer"));
    startEchoTimer.setSingleShot(true);
    startEchoTimer.setInterval(kStartEchoTimeoutMs);

    connect(ui.getTimeButton, &QPushButton::clicked, this, &mocap::ClickedGetTime);
    connect(ui.setTimeButton, &QPushButton::clicked, this, &mocap::ClickedSetTime);
    connect(ui.checkBatteryButton, &QPushButton::clicked, this, &mocap::ClickedBattery);
    connect(ui.startListeningButton, &QPushButton::clicked, this, &mocap::ClickedStartListening);
    connect(ui.showFilesButton, &QPushButton::clicked, this, &mocap::ClickedShowFiles);
    connect(ui.listWidget, &QListWidget::itemClicked, this, &mocap::ClickedFileList);
    connect(ui.setActiveFileButton, &QPushButton::clicked, this, &mocap::ClickedSetActiveFile);
    connect(ui.startRecordingButton, &QPushButton::clicked, this, &mocap::ClickedStartRecording);
    connect(ui.lowPowerButton, &QPushButton::clicked, this, &mocap::ClickedLowPower);
    connect(&batteryTimer, &QTimer::timeout, this, &mocap::TimerTimeout);
    connect(&startEchoTimer, &QTimer::timeout, this, [this] {
        if (pending == kStartRecording) {
            abandonStart(QStringLiteral("Status: Connected (recording did not start: no reply)"));
        }
    });

    // Nothing to talk to until a glove connects.
    setGloveButtonsEnabled(false);
    ui.startRecordingButton->setEnabled(false);
    pending = kNone;
}

mocap::~mocap() {
    // The server and socket die with the base classes, after this object stopped being a
    // mocap; a socket closing then must not call back into it.
    if (socket != nullptr) {
        disconnect(socket, nullptr, this, nullptr);
    }
    disconnect(server, nullptr, this, nullptr);
}

void mocap::setGloveButtonsEnabled(bool enabled) {
    ui.checkBatteryButton->setEnabled(enabled);
    ui.getTimeButton->setEnabled(enabled);
    ui.setTimeButton->setEnabled(enabled);
    ui.setActiveFileButton->setEnabled(enabled);
    ui.showFilesButton->setEnabled(enabled);
    ui.lowPowerButton->setEnabled(enabled);
}

void mocap::ClickedStartListening() {
    const QString mode = ui.startListeningButton->text();
    if (mode == kStartListening) {
        QHostAddress address;
        if (!address.setAddress(ui.ipEdit->text().trimmed())) {
            ui.statusLabel->setText(
                QStringLiteral("status: Cannot listen: \"%1\" is not an IP address")
                    .arg(ui.ipEdit->text()));
            return;
        }
        bool ok = false;
        const int port = ui.portEdit->text().trimmed().toInt(&ok, 10);
        if (!ok || port < 0 || port > 65535) {
            ui.statusLabel->setText(
                QStringLiteral("status: Cannot listen: \"%1\" is not a port number")
                    .arg(ui.portEdit->text()));
            return;
        }
        if (!server->listen(address, static_cast<quint16>(port))) {
            ui.statusLabel->setText(QStringLiteral("status: Cannot listen on %1:%2: %3")
                                        .arg(address.toString())
                                        .arg(port)
                                        .arg(server->errorString()));
            return;
        }
        connect(server, &QTcpServer::newConnection, this, &mocap::TcpConnected);
        ui.statusLabel->setText(QStringLiteral("status: Not connected"));
        ui.startListeningButton->setText(kStopListening);
        ui.portEdit->setReadOnly(true);
    } else if (mode == kStopListening) {
        disconnect(server, nullptr, this, nullptr);
        // Closing frees the port for the next listen.
        server->close();
        ui.startListeningButton->setText(kStartListening);
        ui.portEdit->setReadOnly(false);
    } else if (mode == kDisconnect) {
        dropConnection();
    }
}

void mocap::dropConnection() {
    if (socket != nullptr) {
        QTcpSocket* old = socket;
        socket = nullptr;
        disconnect(old, nullptr, this, nullptr);
        old->close();
        // May run inside one of the socket's own signals.
        old->deleteLater();
    }
    ui.startListeningButton->setText(kStopListening);
    ui.statusLabel->setText(kNotConnected);
    setGloveButtonsEnabled(false);
    ui.startRecordingButton->setEnabled(false);
    ui.startRecordingButton->setText(kStartRecordingText);
    startEchoTimer.stop();
    pending = kNone;
}

void mocap::TcpConnected() {
    QTcpSocket* incoming = server->nextPendingConnection();
    if (incoming == nullptr) {
        return;
    }
    if (socket != nullptr) {
        // A glove that reconnects replaces the old connection, which must not linger unread.
        QTcpSocket* old = socket;
        disconnect(old, nullptr, this, nullptr);
        old->close();
        old->deleteLater();
    }
    socket = incoming;
    socket->write(QByteArray(3, kStopStreaming));
    connect(socket, &QTcpSocket::readyRead, this, &mocap::TcpDataReceived);
    connect(socket, &QTcpSocket::disconnected, this, &mocap::dropConnection);
    setGloveButtonsEnabled(true);
    ui.startRecordingButton->setEnabled(false);
    ui.startRecordingButton->setText(kStartRecordingText);
    ui.statusLabel->setText(QStringLiteral("Status: Connected"));
    ui.startListeningButton->setText(kDisconnect);
    frames.clear();
    replyBuffer.clear();
    startEchoTimer.stop();
    pending = kNone;
}

void mocap::sendCommand(const QByteArray& bytes, PendingRequest next) {
    if (socket == nullptr) {
        return;
    }
    replyBuffer.clear();
    socket->write(bytes);
    if (pending == kStartRecording && next != kStartRecording) {
        // Low power asked while the echo was awaited: the start is off, the buttons come back.
        startEchoTimer.stop();
        setGloveButtonsEnabled(true);
        ui.startRecordingButton->setEnabled(true);
    }
    pending = next;
}

void mocap::ClickedBattery() {
    sendCommand(QByteArrayLiteral("V"), kBattery);
}

void mocap::ClickedGetTime() {
    sendCommand(QByteArrayLiteral("1tg"), kGetTime);
}

void mocap::ClickedSetTime() {
    const QTime t = ui.setTimeEdit->time();
    const QString text = twoDigits(t.hour()) + QLatin1Char(':') + twoDigits(t.minute()) +
                         QLatin1Char(':') + twoDigits(t.second());
    sendCommand(QByteArrayLiteral("1ts") + text.toLatin1(), kSetTime);
}

void mocap::ClickedShowFiles() {
    fileListBuffer.clear();
    ui.listWidget->clear();
    sendCommand(QByteArrayLiteral("?l"), kShowFiles);
}

void mocap::ClickedFileList(QListWidgetItem* item) {
    if (item != nullptr) {
        ui.fileNameEdit->setText(item->text());
    }
}

void mocap::ClickedSetActiveFile() {
    // Frame-rate multiplier 3, card output on, USB off, wireless on with divider 9,
    // card divider 1, the active file's name, then an empty header.
    QByteArray block;
    block += QByteArrayLiteral("1m\x03");
    block += QByteArrayLiteral("1es");
    block += QByteArrayLiteral("1du");
    block += QByteArrayLiteral("1ew");
    block += QByteArrayLiteral("1w\x09");
    block += QByteArrayLiteral("1s\x01");
    block += QByteArrayLiteral("1A");
    block += ui.fileNameEdit->text().toLatin1();
    block += '\x01';
    block += '\x01';
    sendCommand(block, kSetActiveFile);
}

void mocap::ClickedStartRecording() {
    if (socket == nullptr) {
        return;
    }
    if (ui.startRecordingButton->text() == kStartRecordingText) {
        frames.awaitEcho();
        sendCommand(QByteArrayLiteral("1S"), kStartRecording);
        startEchoTimer.start();
        ui.statusLabel->setText(QStringLiteral("Status: Connected"));
        // Until the echo comes, so that "1S" goes out once.
        ui.startRecordingButton->setEnabled(false);
        ui.checkBatteryButton->setEnabled(false);
        ui.getTimeButton->setEnabled(false);
        ui.setTimeButton->setEnabled(false);
        ui.setActiveFileButton->setEnabled(false);
        ui.showFilesButton->setEnabled(false);
        ui.lowPowerButton->setText(kEnterLowPower);
    } else {
        sendCommand(QByteArray(1, kStopStreaming), kNone);
        ui.startRecordingButton->setText(kStartRecordingText);
        setGloveButtonsEnabled(true);
    }
}

void mocap::ClickedLowPower() {
    if (ui.lowPowerButton->text() == kEnterLowPower) {
        sendCommand(QByteArrayLiteral("Z\x01"), kNone);
        ui.lowPowerButton->setText(kExitLowPower);
    } else {
        sendCommand(QByteArray("Z\0", 2), kNone);
        ui.lowPowerButton->setText(kEnterLowPower);
    }
}

void mocap::TimerTimeout() {
    ui.batteryImageLabel->setPixmap(QPixmap());
}

void mocap::TcpDataReceived() {
    if (socket == nullptr) {
        return;
    }
    const QByteArray data = socket->readAll();
    switch (pending) {
        case kBattery:
        case kGetTime:
        case kSetTime:
            handleShortReply(data);
            break;
        case kSetActiveFile:
            ui.startRecordingButton->setEnabled(true);
            pending = kNone;
            break;
        case kShowFiles:
            handleFileList(data);
            break;
        case kStartRecording:
            handleStartRecording(data);
            break;
        case kRecording:
            takeFrameBytes(data);
            break;
        default:
            break;
    }
}

void mocap::handleShortReply(const QByteArray& data) {
    replyBuffer += data;
    if (!replyBuffer.endsWith('\0') && replyBuffer.size() < kReplyLimit) {
        return;
    }
    // An overlong reply is cut at the limit; the fields are at its start, and the rest
    // arrives with nothing pending and is dropped.
    replyBuffer.truncate(kReplyLimit);
    if (pending == kBattery) {
        showBattery(replyBuffer);
    } else if (pending == kGetTime) {
        ui.receivedTimeLabel->setText(QString::fromLatin1(replyBuffer.mid(3, 8)));
    }
    replyBuffer.clear();
    pending = kNone;
}

void mocap::showBattery(const QByteArray& reply) {
    // Four digits of millivolts after the one-byte echo.
    const int millivolts = leadingNumber(reply.mid(1, 4));
    const char* picture = "empty.PNG";
    if (millivolts > 7800) {
        picture = "full.PNG";
    } else if (millivolts > 6900) {
        picture = "half.PNG";
    }
    // Installed beside the program, so found whatever the working folder.
    const QString path = QDir(QCoreApplication::applicationDirPath()).filePath(picture);
    QPixmap pixmap;
    if (pixmap.load(path)) {
        ui.batteryImageLabel->setText(QString());
        ui.batteryImageLabel->setPixmap(
            pixmap.scaled(80, 35, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
    batteryTimer.start(kBatteryTimeoutMs);
}

void mocap::handleFileList(const QByteArray& data) {
    fileListBuffer += data;
    if (!fileListBuffer.endsWith('\0')) {
        if (fileListBuffer.size() > kFileListLimit) {
            fileListBuffer.clear();
            pending = kNone;
            ui.statusLabel->setText(
                QStringLiteral("Status: Connected (file list too long, dropped)"));
        }
        return;
    }
    // Two echo bytes first, the NUL last; only names ended by CR or LF are complete.
    const QByteArray text = fileListBuffer.mid(2, fileListBuffer.size() - 3);
    QByteArray piece;
    for (char ch : text) {
        if (ch == '\r' || ch == '\n') {
            if (!piece.isEmpty()) {
                ui.listWidget->addItem(QString::fromLatin1(piece));
            }
            piece.clear();
        } else {
            piece += ch;
        }
    }
    fileListBuffer.clear();
    pending = kNone;
}

void mocap::handleStartRecording(const QByteArray& data) {
    QByteArray rest;
    switch (frames.takeEcho(data, rest)) {
        case FrameReassembler::Echo::Waiting:
            return;
        case FrameReassembler::Echo::Missing:
            abandonStart(QStringLiteral(
                "Status: Connected (recording did not start: frames came without the reply)"));
            return;
        case FrameReassembler::Echo::Found:
            break;
    }
    startEchoTimer.stop();
    ui.startRecordingButton->setEnabled(true);
    ui.startRecordingButton->setText(kStopRecordingText);
    pending = kRecording;
    takeFrameBytes(rest);
}

void mocap::abandonStart(const QString& status) {
    startEchoTimer.stop();
    frames.awaitEcho();
    sendCommand(QByteArray(1, kStopStreaming), kNone);
    ui.statusLabel->setText(status);
}

void mocap::takeFrameBytes(const QByteArray& data) {
    frames.takeFrameBytes(data, [this](const QByteArray& frame) { decodeFrame(frame); });
}

void mocap::decodeFrame(const QByteArray& frame) {
    ui.hourDataLabel->setText(QString::fromLatin1(frame.mid(0, 2)));
    ui.minuteDataLabel->setText(QString::fromLatin1(frame.mid(3, 2)));
    ui.secondDataLabel->setText(QString::fromLatin1(frame.mid(6, 2)));
    ui.frameDataLabel->setText(QString::fromLatin1(frame.mid(9, 2)));
    for (std::size_t i = 0; i < ui.sensorDataLabels.size(); ++i) {
        const int offset = 14 + static_cast<int>(i) * 2;
        const int high = static_cast<signed char>(frame.at(offset));
        const int low = static_cast<unsigned char>(frame.at(offset + 1));
        ui.sensorDataLabels[i]->setText(QString::number(high * 256 + low));
    }
    emit frameDecoded(frame);
}

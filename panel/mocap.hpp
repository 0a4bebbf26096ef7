// Main window of glovepanel: listens for the wireless glove on TCP, sends it single
// commands and shows the replies. Everything runs on the GUI thread; each command
// waits for nothing, and the next bytes received are taken as its reply according
// to the pending request. Only the start of recording has a limit: its echo, before
// which the buttons stay off.
#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QTimer>

#include "framereassembler.hpp"
#include "mocapclass.hpp"

class QListWidgetItem;
class QTcpServer;
class QTcpSocket;

class mocap : public QMainWindow {
    Q_OBJECT

  public:
    // Which reply the next received bytes belong to.
    enum PendingRequest : qint32 {
        kBattery = 0,
        kGetTime = 1,
        kSetTime = 2,
        kSetActiveFile = 3,
        kShowFiles = 4,
        kStartRecording = 5,
        kRecording = 6,
        kNone = 7,
    };

    static constexpr int kFrameSize = FrameReassembler::kFrameSize;
    static constexpr int kBatteryTimeoutMs = 15000;
    // The glove link's wait for a reply.
    static constexpr int kStartEchoTimeoutMs = 30000;

    explicit mocap(QWidget* parent = nullptr);
    ~mocap() override;

    // Which reply the window waits for (PendingRequest).
    qint32 pendingRequest() const { return pending; }
    // How long starting to record waits for the glove's echo (tests shorten it).
    void setStartEchoTimeout(int ms) { startEchoTimer.setInterval(ms); }

  signals:
    // A 61-byte streaming frame was taken and shown.
    void frameDecoded(const QByteArray& frame);

  public slots:
    void TcpConnected();
    void TcpDataReceived();
    void ClickedGetTime();
    void ClickedSetTime();
    void ClickedBattery();
    void ClickedStartListening();
    void ClickedShowFiles();
    void ClickedFileList(QListWidgetItem* item);
    void ClickedSetActiveFile();
    void ClickedStartRecording();
    void TimerTimeout();
    void ClickedLowPower();

  private:
    void sendCommand(const QByteArray& bytes, PendingRequest next);
    void setGloveButtonsEnabled(bool enabled);
    void dropConnection();
    void handleShortReply(const QByteArray& data);
    void handleFileList(const QByteArray& data);
    void handleStartRecording(const QByteArray& data);
    // The echo is not coming: stops the glove in case it started anyway, gives the buttons
    // back and shows why.
    void abandonStart(const QString& status);
    void takeFrameBytes(const QByteArray& data);
    void decodeFrame(const QByteArray& frame);
    void showBattery(const QByteArray& reply);

    Ui::mocapClass ui;
    QTcpServer* server = nullptr;  // owned through the QObject tree
    QTcpSocket* socket = nullptr;  // the glove's connection; child of the server
    qint32 pending = kNone;
    QByteArray fileListBuffer;
    QTimer batteryTimer{this};

    // A battery or time reply may arrive in pieces; it is complete at its NUL, and its
    // tail must not be taken for the reply of the next command.
    QByteArray replyBuffer;
    // The "1S" echo and the frames after it.
    FrameReassembler frames;
    QTimer startEchoTimer{this};  // single shot, runs while the echo is awaited
};

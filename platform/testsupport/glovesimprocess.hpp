// glovesim for the Qt Test window programs: the shared launcher with Qt types, waits that keep
// the window's event loop turning, and a failed ending reported through QTest.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

#include "testsupport/simulator.hpp"

class GloveSimProcess {
  public:
    GloveSimProcess();
    ~GloveSimProcess();
    GloveSimProcess(const GloveSimProcess&) = delete;
    GloveSimProcess& operator=(const GloveSimProcess&) = delete;

    // Serial with the SD card folder: waits for the pseudo-terminal's path.
    bool startSerial(const QStringList& extra = {});
    // TCP with the SD card folder: the glove connects to 127.0.0.1:port, retrying until the
    // console listens.
    bool startTcp(int port, const QStringList& extra = {});
    // TCP without a card: "glovesim --tcp 127.0.0.1:<port> --record <file>" and `extra`.
    bool start(quint16 port, const QStringList& extra = {});

    QString ptyPath() const { return ptyPath_; }
    // Every byte the console sent, as the glove recorded it.
    QByteArray received() const;
    // Waits (running the event loop) until at least `count` bytes were received.
    bool waitForReceivedSize(qsizetype count, int timeoutMs);
    // Waits (running the event loop) for the glove to end by itself; exitCode() then.
    bool waitForExit(int timeoutMs);
    bool isRunning() const { return process_ && process_->running(); }
    int exitCode() const { return exitCode_; }

    // The glove's SD card folder (exists from construction).
    QString sdcard() const { return dir_.filePath(QStringLiteral("sd")); }
    // A file in the glove's private folder.
    QString path(const QString& name) const { return dir_.filePath(name); }
    // Writes a script file and returns its path.
    QString writeScript(const QByteArray& text);
    // Standard output and error so far, for failure messages.
    QByteArray output() const;

  private:
    bool launch(const QStringList& args, bool serial);

    QTemporaryDir dir_;
    std::unique_ptr<testsupport::ChildProcess> process_;
    QString ptyPath_;
    int exitCode_ = -1;
};

#pragma once
// The simulated glove as a child process for the window tests: serial through its
// pseudo-terminal, or TCP connecting to the console on the loopback.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class GloveSimProcess {
  public:
    GloveSimProcess();
    ~GloveSimProcess();
    GloveSimProcess(const GloveSimProcess&) = delete;
    GloveSimProcess& operator=(const GloveSimProcess&) = delete;

    // Serial: waits for the pseudo-terminal's path.
    bool startSerial(const QStringList& extra = {});
    // TCP: the glove connects to 127.0.0.1:port, retrying until the console listens.
    bool startTcp(int port, const QStringList& extra = {});
    QString ptyPath() const { return ptyPath_; }
    // Every byte the console sent, as the glove recorded it.
    QByteArray received() const;
    // The glove's SD card folder (exists from construction).
    QString sdcard() const { return dir_.filePath(QStringLiteral("sd")); }
    QString path(const QString& name) const { return dir_.filePath(name); }
    // Writes a script file and returns its path.
    QString writeScript(const QByteArray& text);

  private:
    bool start(const QStringList& args);
    QTemporaryDir dir_;
    QProcess process_;
    QString ptyPath_;
};

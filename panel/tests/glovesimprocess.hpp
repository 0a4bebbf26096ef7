// The simulated glove as a child process: it connects to the panel's listening port and
// records every byte it receives, so tests see exactly what each button sent.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

class GloveSimProcess {
  public:
    GloveSimProcess();
    ~GloveSimProcess();  // stops the simulator if it still runs

    GloveSimProcess(const GloveSimProcess&) = delete;
    GloveSimProcess& operator=(const GloveSimProcess&) = delete;

    // Starts "glovesim --tcp 127.0.0.1:<port> --record <file>" followed by `extra`.
    bool start(quint16 port, const QStringList& extra = {});

    // Every byte the simulator received so far.
    QByteArray received() const;

    // Waits (running the event loop) until at least `count` bytes were received.
    bool waitForReceivedSize(qsizetype count, int timeoutMs);

    // Waits for the process to end by itself.
    bool waitForExit(int timeoutMs);
    bool isRunning() const { return process.state() != QProcess::NotRunning; }
    int exitCode() const { return process.exitCode(); }

    // A file in the simulator's private temporary folder.
    QString path(const QString& name) const { return dir.filePath(name); }

    // Standard output and error so far, for failure messages.
    QByteArray output();

  private:
    QTemporaryDir dir;
    QProcess process;
    QByteArray log;
};

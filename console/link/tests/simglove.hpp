#pragma once
// The simulated glove (glovesim) for the link's tests, over the shared launcher: over a
// pseudo-terminal it creates, or connecting over TCP to a listening link on 127.0.0.1.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <memory>

#include <ostream>

#include "testsupport/simulator.hpp"

class GloveLink;

// Readable QStrings in test failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

class SimGlove {
  public:
    SimGlove();
    ~SimGlove();

    // Serial: starts glovesim with extra arguments and reads the pty path it prints.
    bool startSerial(const QStringList& extra);
    // TCP: link listens on 127.0.0.1, glovesim connects, link accepts.
    bool startTcp(GloveLink& link, const QStringList& extra);
    // Serial and open: starts glovesim and opens the link on its pty.
    bool connectSerial(GloveLink& link, const QStringList& extra);

    const QString& ptyPath() const { return ptyPath_; }
    // Bytes glovesim received, waiting (bounded) until at least minBytes are recorded.
    QByteArray recorded(int minBytes = 0) const;
    // Writes a script (or any text) into the scratch folder and returns its path.
    QString writeFile(const QString& name, const QByteArray& content) const;
    QString scratch(const QString& name) const { return dir_.filePath(name); }
    QString log() const;
    void stop();

  private:
    bool launch(const QStringList& args, bool serial);

    QTemporaryDir dir_;
    std::unique_ptr<testsupport::ChildProcess> process_;
    QString ptyPath_;
    QString log_;  // the stopped simulator's standard error
};

// Timing for failure tests: the glove's pauses, but short give-ups so a silent glove is
// detected in seconds rather than half a minute.
#include "link/glovelink.hpp"
#include "link/tests/fasttiming.hpp"
GloveTiming impatientTiming();

void QThreadSleep();

// Waits for a condition with a generous bound; true when it held.
template <typename F>
bool waitFor(F condition, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        QThreadSleep();
    }
    return condition();
}

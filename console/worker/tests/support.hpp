#pragma once
// Test support: the simulated glove as a child process, a log of the state's signals, and
// condition waits that keep the test thread's event loop turning.

#include "link/tests/fasttiming.hpp"
#include "testsupport/simulator.hpp"
#include "worker/mocapglovestate.hpp"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

// Readable QString values in test failures.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace workertest {

// Pumps the test thread's events until pred() holds or timeoutMs passes.
bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 60000);

struct Event {
    QString name;
    QString text;     // status texts, file list
    long long value;  // bools, levels, numbers, byte counts
};

// Records the state's signals in the order they are emitted. Connected directly, so the
// record is taken on the emitting (worker) thread under a mutex of its own: Qt's queued
// delivery synchronises inside a Qt build thread checkers cannot see into.
class SignalLog {
  public:
    explicit SignalLog(MocapGloveState* state);
    ~SignalLog();
    SignalLog(const SignalLog&) = delete;
    SignalLog& operator=(const SignalLog&) = delete;

    std::vector<Event> events() const;
    std::vector<Event> named(const QStringList& names) const;
    int count(const QString& name) const;
    bool waitFor(const QString& name, int n = 1, int timeoutMs = 60000);
    void clear();
    int lastGloveTime(int field) const;

  private:
    void add(const char* name, QString text, long long value);

    MocapGloveState* state_;
    std::unique_ptr<QObject> context_;
    mutable std::mutex mutex_;
    std::vector<Event> events_;                // guarded by mutex_
    int gloveTime_[5] = {-1, -1, -1, -1, -1};  // guarded by mutex_
};

// One glovesim process over the shared launcher. Serial: start() waits for the
// pseudo-terminal's path. TCP: the glove connects to a listening console at 127.0.0.1:port.
class GloveSim {
  public:
    GloveSim();
    ~GloveSim();
    bool startSerial(const QStringList& extraArgs = {});
    bool startTcp(int port, const QStringList& extraArgs = {});
    QString ptyPath() const { return ptyPath_; }
    // Bytes the console sent, as glovesim recorded them.
    QByteArray recorded() const;
    QString sdcardDir() const { return dir_.path() + "/sd"; }
    void stop();

  private:
    bool start(const QStringList& args, bool serial);
    QTemporaryDir dir_;
    std::unique_ptr<testsupport::ChildProcess> process_;
    QString ptyPath_;
};

// A thread started once, before any glovesim is spawned (ThreadSanitizer does not allow new
// threads after a fork), that runs one job at a time for tests needing a second thread.
class SideThread {
  public:
    static SideThread& instance();
    // Hands a job to the thread; it starts at once unless one is still running.
    void start(std::function<void()> job);
    // Waits for the job handed last.
    void wait();
    void stop();

  private:
    SideThread();
    void loop();
    std::mutex mutex_;
    std::condition_variable cv_;
    std::function<void()> job_;
    bool busy_ = false;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace workertest

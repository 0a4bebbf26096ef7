#include "support.hpp"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace workertest {

bool waitUntil(const std::function<bool()>& pred, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

SignalLog::SignalLog(MocapGloveState* s) : state_(s), context_(std::make_unique<QObject>()) {
    QObject* c = context_.get();
    const auto direct = Qt::DirectConnection;
    QObject::connect(
        s, &MocapGloveState::serialConnectStatus, c,
        [this](bool ok) { add("serialConnectStatus", {}, ok); }, direct);
    QObject::connect(
        s, &MocapGloveState::socketConnectStatus, c,
        [this](QString* t) {
            add("socketConnectStatus", *t, 0);
            delete t;
        },
        direct);
    QObject::connect(
        s, &MocapGloveState::commandStatus, c,
        [this](QString* t) {
            add("commandStatus", *t, 0);
            delete t;
        },
        direct);
    QObject::connect(
        s, &MocapGloveState::batteryStatus, c,
        [this](int level) { add("batteryStatus", {}, level); }, direct);
    QObject::connect(
        s, &MocapGloveState::gloveSerialNumber, c,
        [this](int n) { add("gloveSerialNumber", {}, n); }, direct);
    QObject::connect(
        s, &MocapGloveState::gloveIsRightHand, c,
        [this](bool r) { add("gloveIsRightHand", {}, r); }, direct);
    QObject::connect(
        s, &MocapGloveState::gloveTime, c,
        [this](void* p) {
            const int* f = static_cast<const int*>(p);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (int i = 0; i < 5; ++i) {
                    gloveTime_[i] = f[i];
                }
            }
            add("gloveTime", {}, f[0] * 3600 + f[1] * 60 + f[2]);
        },
        direct);
    QObject::connect(
        s, &MocapGloveState::fileList, c,
        [this](void* p) {
            add("fileList", QString::fromStdString(*static_cast<const std::string*>(p)), 0);
        },
        direct);
    QObject::connect(
        s, &MocapGloveState::activeFileData, c,
        [this](void* p) {
            const auto* v = static_cast<const std::vector<uint8_t>*>(p);
            add("activeFileData", {}, static_cast<long long>(v->size()));
        },
        direct);
}

// Tests end with the machine idle; disconnecting first and taking the mutex lets a signal
// being recorded right now finish before the members go.
SignalLog::~SignalLog() {
    QObject::disconnect(state_, nullptr, context_.get(), nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    context_.reset();
}

void SignalLog::add(const char* name, QString text, long long value) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({QString::fromLatin1(name), std::move(text), value});
}

std::vector<Event> SignalLog::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

void SignalLog::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

int SignalLog::lastGloveTime(int field) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return gloveTime_[field];
}

std::vector<Event> SignalLog::named(const QStringList& names) const {
    std::vector<Event> out;
    for (const Event& e : events()) {
        if (names.contains(e.name)) {
            out.push_back(e);
        }
    }
    return out;
}

int SignalLog::count(const QString& name) const {
    return static_cast<int>(named({name}).size());
}

bool SignalLog::waitFor(const QString& name, int n, int timeoutMs) {
    return waitUntil([&] { return count(name) >= n; }, timeoutMs);
}

GloveSim::GloveSim() {
    QDir(dir_.path()).mkpath("sd");
}

GloveSim::~GloveSim() {
    stop();
}

bool GloveSim::start(const QStringList& args, bool serial) {
    QStringList all = args;
    all << "--record" << dir_.path() + "/record.bin"
        << "--sdcard" << sdcardDir();
    std::vector<std::string> strings;
    for (const QString& a : all) {
        strings.push_back(a.toStdString());
    }
    process_ = std::make_unique<testsupport::ChildProcess>(
        GLOVESIM_PATH, strings, testsupport::ChildOptions{.waitFirstLine = serial});
    ptyPath_ = QString::fromStdString(process_->firstLine()).trimmed();
    return process_->ready();
}

bool GloveSim::startSerial(const QStringList& extraArgs) {
    return start(extraArgs, true) && !ptyPath_.isEmpty();
}

bool GloveSim::startTcp(int port, const QStringList& extraArgs) {
    QStringList args = extraArgs;
    args << "--tcp" << QStringLiteral("127.0.0.1:%1").arg(port) << "--once";
    return start(args, false);
}

QByteArray GloveSim::recorded() const {
    QFile f(dir_.path() + "/record.bin");
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    return f.readAll();
}

void GloveSim::stop() {
    process_.reset();
}

SideThread& SideThread::instance() {
    static SideThread side;
    return side;
}

SideThread::SideThread() : thread_([this] { loop(); }) {}

void SideThread::loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        cv_.wait(lock, [&] { return quit_ || job_; });
        if (!job_) {
            return;
        }
        std::function<void()> job = std::move(job_);
        job_ = nullptr;
        lock.unlock();
        job();
        lock.lock();
        busy_ = false;
        cv_.notify_all();
    }
}

void SideThread::start(std::function<void()> job) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return !busy_; });
    job_ = std::move(job);
    busy_ = true;
    cv_.notify_all();
}

void SideThread::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return !busy_; });
}

void SideThread::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        cv_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace workertest

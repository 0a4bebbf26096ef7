#include "support.hpp"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

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

SignalLog::SignalLog(MocapGloveState* s) : context_(std::make_unique<QObject>()) {
    QObject* c = context_.get();
    auto add = [this](const char* name, QString text, long long value) {
        events_.push_back({QString::fromLatin1(name), std::move(text), value});
    };
    QObject::connect(s, &MocapGloveState::serialConnectStatus, c,
                     [add](bool ok) { add("serialConnectStatus", {}, ok); });
    QObject::connect(s, &MocapGloveState::socketConnectStatus, c, [add](QString* t) {
        add("socketConnectStatus", *t, 0);
        delete t;
    });
    QObject::connect(s, &MocapGloveState::commandStatus, c, [add](QString* t) {
        add("commandStatus", *t, 0);
        delete t;
    });
    QObject::connect(s, &MocapGloveState::batteryStatus, c,
                     [add](int level) { add("batteryStatus", {}, level); });
    QObject::connect(s, &MocapGloveState::gloveSerialNumber, c,
                     [add](int n) { add("gloveSerialNumber", {}, n); });
    QObject::connect(s, &MocapGloveState::gloveIsRightHand, c,
                     [add](bool r) { add("gloveIsRightHand", {}, r); });
    QObject::connect(s, &MocapGloveState::gloveTime, c, [this, add](void* p) {
        const int* f = static_cast<const int*>(p);
        for (int i = 0; i < 5; ++i) {
            gloveTime_[i] = f[i];
        }
        add("gloveTime", {}, f[0] * 3600 + f[1] * 60 + f[2]);
    });
    QObject::connect(s, &MocapGloveState::fileList, c, [add](void* p) {
        add("fileList", QString::fromStdString(*static_cast<const std::string*>(p)), 0);
    });
    QObject::connect(s, &MocapGloveState::activeFileData, c, [add](void* p) {
        const auto* v = static_cast<const std::vector<uint8_t>*>(p);
        add("activeFileData", {}, static_cast<long long>(v->size()));
    });
}

SignalLog::~SignalLog() {
    // Deliver what is still queued, so no heap text is left behind undelivered.
    QCoreApplication::processEvents();
}

std::vector<Event> SignalLog::named(const QStringList& names) const {
    std::vector<Event> out;
    for (const Event& e : events_) {
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
    process_.setProcessChannelMode(QProcess::SeparateChannels);
}

GloveSim::~GloveSim() {
    stop();
}

bool GloveSim::start(const QStringList& args) {
    QStringList all = args;
    all << "--record" << dir_.path() + "/record.bin"
        << "--sdcard" << sdcardDir();
    process_.start(QStringLiteral(GLOVESIM_PATH), all);
    return process_.waitForStarted(20000);
}

bool GloveSim::startSerial(const QStringList& extraArgs) {
    if (!start(extraArgs)) {
        return false;
    }
    QByteArray line;
    QDeadlineTimer deadline(20000);
    while (!line.contains('\n') && !deadline.hasExpired()) {
        process_.waitForReadyRead(200);
        line += process_.readAllStandardOutput();
    }
    ptyPath_ = QString::fromUtf8(line.left(line.indexOf('\n'))).trimmed();
    return !ptyPath_.isEmpty();
}

bool GloveSim::startTcp(int port, const QStringList& extraArgs) {
    QStringList args = extraArgs;
    args << "--tcp" << QStringLiteral("127.0.0.1:%1").arg(port) << "--once";
    return start(args);
}

QByteArray GloveSim::recorded() const {
    QFile f(dir_.path() + "/record.bin");
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    return f.readAll();
}

void GloveSim::stop() {
    if (process_.state() == QProcess::NotRunning) {
        return;
    }
    process_.terminate();
    if (!process_.waitForFinished(10000)) {
        process_.kill();
        process_.waitForFinished(10000);
    }
}

GloveTiming fastTiming() {
    using ms = std::chrono::milliseconds;
    GloveTiming t;
    t.serialWritePause = ms(20);
    t.splitFirstPause = ms(20);
    t.splitSecondPause = ms(20);
    t.splitReplyPause = ms(100);
    t.tcpEchoTimeout = ms(15000);
    t.tcpReplyTimeout = ms(3000);
    t.readGiveUp = ms(15000);
    t.downloadIdleLimit = ms(2000);
    t.downloadEmptyPause = ms(10);
    t.downloadStartPause = ms(10);
    t.hardwareWritePause = ms(20);
    t.tcpDownloadWait = ms(500);
    return t;
}

}  // namespace workertest

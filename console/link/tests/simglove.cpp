#include "simglove.hpp"

#include "link/glovelink.hpp"

#include <QFile>
#include <QHostAddress>
#include <QThread>

void QThreadSleep() {
    QThread::msleep(20);
}

GloveTiming impatientTiming() {
    GloveTiming t;
    t.tcpEchoTimeout = std::chrono::milliseconds(3000);
    t.readGiveUp = std::chrono::milliseconds(3000);
    return t;
}

SimGlove::SimGlove() = default;

SimGlove::~SimGlove() {
    stop();
}

void SimGlove::stop() {
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->terminate();
        if (!process_->waitForFinished(5000)) {
            process_->kill();
            process_->waitForFinished(5000);
        }
    }
}

bool SimGlove::launch(const QStringList& args) {
    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::SeparateChannels);
    process_->setStandardErrorFile(dir_.filePath("glovesim.log"));
    QStringList all = args;
    all << "--record" << dir_.filePath("received.bin") << "--verbose";
    process_->start(QStringLiteral(GLOVESIM_PATH), all);
    return process_->waitForStarted(10000);
}

bool SimGlove::startSerial(const QStringList& extra) {
    if (!launch(extra)) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!process_->canReadLine() && std::chrono::steady_clock::now() < deadline) {
        if (!process_->waitForReadyRead(500) && process_->state() == QProcess::NotRunning) {
            return false;
        }
    }
    ptyPath_ = QString::fromLocal8Bit(process_->readLine()).trimmed();
    return !ptyPath_.isEmpty();
}

bool SimGlove::connectSerial(GloveLink& link, const QStringList& extra) {
    return startSerial(extra) && link.openSerial(ptyPath_);
}

bool SimGlove::startTcp(GloveLink& link, const QStringList& extra) {
    if (!link.listen(0, QHostAddress::LocalHost)) {
        return false;
    }
    QStringList args = extra;
    args << "--tcp" << QStringLiteral("127.0.0.1:%1").arg(link.serverPort()) << "--once";
    if (!launch(args)) {
        return false;
    }
    return link.waitForNewConnection(20000) && link.acceptConnection();
}

QByteArray SimGlove::recorded(int minBytes) const {
    QByteArray bytes;
    waitFor([&] {
        QFile f(dir_.filePath("received.bin"));
        bytes = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        return bytes.size() >= minBytes;
    });
    return bytes;
}

QString SimGlove::writeFile(const QString& name, const QByteArray& content) const {
    const QString path = dir_.filePath(name);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) {
        f.write(content);
    }
    return path;
}

QString SimGlove::log() const {
    QFile f(dir_.filePath("glovesim.log"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
}

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
    if (process_) {
        log_ = QString::fromStdString(process_->errorOutput());
    }
    process_.reset();
}

bool SimGlove::launch(const QStringList& args, bool serial) {
    QStringList all = args;
    all << "--record" << dir_.filePath("received.bin") << "--verbose";
    std::vector<std::string> strings;
    for (const QString& a : all) {
        strings.push_back(a.toStdString());
    }
    process_ = std::make_unique<testsupport::ChildProcess>(
        GLOVESIM_PATH, strings, testsupport::ChildOptions{.waitFirstLine = serial});
    return process_->ready();
}

bool SimGlove::startSerial(const QStringList& extra) {
    if (!launch(extra, true)) {
        return false;
    }
    ptyPath_ = QString::fromStdString(process_->firstLine()).trimmed();
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
    if (!launch(args, false)) {
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
    return process_ ? QString::fromStdString(process_->errorOutput()) : log_;
}

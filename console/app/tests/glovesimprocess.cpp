#include "glovesimprocess.hpp"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

GloveSimProcess::GloveSimProcess() {
    QDir(dir_.path()).mkpath(QStringLiteral("sd"));
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.setReadChannel(QProcess::StandardOutput);
}

GloveSimProcess::~GloveSimProcess() {
    if (process_.state() == QProcess::NotRunning) {
        return;
    }
    process_.terminate();
    if (!process_.waitForFinished(10000)) {
        process_.kill();
        process_.waitForFinished(10000);
    }
}

bool GloveSimProcess::start(const QStringList& args) {
    const QString program = QStringLiteral(GLOVESIM_PATH);
    if (program.isEmpty() || !dir_.isValid()) {
        return false;
    }
    QStringList all{QStringLiteral("--record"), path(QStringLiteral("received.bin")),
                    QStringLiteral("--sdcard"), sdcard()};
    all += args;
    process_.start(program, all);
    return process_.waitForStarted(30000);
}

bool GloveSimProcess::startSerial(const QStringList& extra) {
    if (!start(extra)) {
        return false;
    }
    QDeadlineTimer deadline(30000);
    QByteArray line;
    while (!line.contains('\n') && !deadline.hasExpired()) {
        if (process_.bytesAvailable() == 0 && !process_.waitForReadyRead(500)) {
            if (process_.state() == QProcess::NotRunning) {
                return false;
            }
            continue;
        }
        line += process_.readAll();
    }
    ptyPath_ = QString::fromLocal8Bit(line.left(line.indexOf('\n'))).trimmed();
    return !ptyPath_.isEmpty();
}

bool GloveSimProcess::startTcp(int port, const QStringList& extra) {
    QStringList args{QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:%1").arg(port)};
    args += extra;
    return start(args);
}

QByteArray GloveSimProcess::received() const {
    QFile file(dir_.filePath(QStringLiteral("received.bin")));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

QString GloveSimProcess::writeScript(const QByteArray& text) {
    const QString p = path(QStringLiteral("script.txt"));
    QFile file(p);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(text);
    }
    return p;
}

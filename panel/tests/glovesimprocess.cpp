#include "glovesimprocess.hpp"

#include <QFile>
#include <QTest>

GloveSimProcess::GloveSimProcess() {
    process.setProcessChannelMode(QProcess::MergedChannels);
}

GloveSimProcess::~GloveSimProcess() {
    if (process.state() == QProcess::NotRunning) {
        return;
    }
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(10000);
    }
}

bool GloveSimProcess::start(quint16 port, const QStringList& extra) {
    const QString program = QStringLiteral(GLOVESIM_PATH);
    if (program.isEmpty() || !dir.isValid()) {
        return false;
    }
    QStringList args{QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:%1").arg(port),
                     QStringLiteral("--record"), path(QStringLiteral("received.bin"))};
    args += extra;
    process.start(program, args);
    return process.waitForStarted(30000);
}

QByteArray GloveSimProcess::received() const {
    QFile file(dir.filePath(QStringLiteral("received.bin")));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

bool GloveSimProcess::waitForReceivedSize(qsizetype count, int timeoutMs) {
    return QTest::qWaitFor([&] { return received().size() >= count; }, timeoutMs);
}

bool GloveSimProcess::waitForExit(int timeoutMs) {
    return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
}

QByteArray GloveSimProcess::output() {
    log += process.readAll();
    return log;
}

#include "testsupport/glovesimprocess.hpp"

#include <QDir>
#include <QFile>
#include <QTest>
#include <chrono>

#include "testsupport/checks.hpp"

GloveSimProcess::GloveSimProcess() {
    QDir(dir_.path()).mkpath(QStringLiteral("sd"));
    testsupport::setFailureHandler(
        [](const std::string& message) { QTest::qFail(message.c_str(), __FILE__, __LINE__); });
}

GloveSimProcess::~GloveSimProcess() = default;

bool GloveSimProcess::launch(const QStringList& args, bool serial) {
    if (!dir_.isValid()) {
        return false;
    }
    std::vector<std::string> strings;
    for (const QString& a : args) {
        strings.push_back(a.toStdString());
    }
    process_ = std::make_unique<testsupport::ChildProcess>(
        GLOVESIM_PATH, strings, testsupport::ChildOptions{.waitFirstLine = serial});
    ptyPath_ = QString::fromStdString(process_->firstLine()).trimmed();
    return process_->ready();
}

bool GloveSimProcess::startSerial(const QStringList& extra) {
    QStringList args{QStringLiteral("--record"), path(QStringLiteral("received.bin")),
                     QStringLiteral("--sdcard"), sdcard()};
    return launch(args + extra, true) && !ptyPath_.isEmpty();
}

bool GloveSimProcess::startTcp(int port, const QStringList& extra) {
    QStringList args{QStringLiteral("--record"), path(QStringLiteral("received.bin")),
                     QStringLiteral("--sdcard"), sdcard(),
                     QStringLiteral("--tcp"),    QStringLiteral("127.0.0.1:%1").arg(port)};
    return launch(args + extra, false);
}

bool GloveSimProcess::start(quint16 port, const QStringList& extra) {
    QStringList args{QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:%1").arg(port),
                     QStringLiteral("--record"), path(QStringLiteral("received.bin"))};
    return launch(args + extra, false);
}

QByteArray GloveSimProcess::received() const {
    QFile file(path(QStringLiteral("received.bin")));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

bool GloveSimProcess::waitForReceivedSize(qsizetype count, int timeoutMs) {
    return QTest::qWaitFor([&] { return received().size() >= count; }, timeoutMs);
}

bool GloveSimProcess::waitForExit(int timeoutMs) {
    return process_ && QTest::qWaitFor(
                           [&] {
                               exitCode_ = process_->waitExit(std::chrono::milliseconds(0));
                               return exitCode_ != -1;
                           },
                           timeoutMs);
}

QByteArray GloveSimProcess::output() const {
    if (!process_) {
        return {};
    }
    return QByteArray::fromStdString(process_->output() + process_->errorOutput());
}

QString GloveSimProcess::writeScript(const QByteArray& text) {
    const QString p = path(QStringLiteral("script.txt"));
    QFile file(p);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(text);
    }
    return p;
}

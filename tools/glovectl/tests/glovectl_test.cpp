// glovectl against the simulated glove, over a real pty and a real TCP socket on 127.0.0.1.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <memory>
#include <utility>
#include <vector>

#include "testsupport/simulator.hpp"

namespace {

struct Result {
    int status = -1;
    QString out;
    QString err;
};

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

Result finish(QProcess& p, int seconds) {
    Result r;
    if (!p.waitForFinished(seconds * 1000)) {
        p.kill();
        p.waitForFinished(5000);
        r.err = "glovectl did not finish in time";
        return r;
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err += QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

enum class Wire { Serial, Tcp };

// One glovesim for one glovectl run.
class CtlTest : public testing::TestWithParam<Wire> {
  protected:
    QString path(const QString& name) const { return dir_.filePath(name); }

    void writeFile(const QString& name, const QByteArray& data) {
        QDir().mkpath(QFileInfo(path(name)).path());
        QFile f(path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }

    QByteArray readFile(const QString& name) const {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    void startSim(QStringList args, bool serial) {
        args << "--record" << path("received.bin");
        std::vector<std::string> strings;
        for (const QString& a : args) {
            strings.push_back(a.toStdString());
        }
        sim_ = std::make_unique<testsupport::ChildProcess>(
            GLOVESIM_PATH, strings, testsupport::ChildOptions{.waitFirstLine = serial});
        ASSERT_TRUE(sim_->ready());
    }

    // Runs glovectl with a fresh glovesim on the chosen wire.
    Result run(const QStringList& simArgs, const QStringList& ctlArgs, int seconds = 120) {
        QProcess ctl;
        if (GetParam() == Wire::Serial) {
            startSim(simArgs, true);
            const QString pty = QString::fromStdString(sim_->firstLine()).trimmed();
            ctl.start(QStringLiteral(GLOVECTL_PATH), QStringList{"--serial", pty} + ctlArgs);
        } else {
            const quint16 port = freePort();
            ctl.start(QStringLiteral(GLOVECTL_PATH),
                      QStringList{"--listen", QString::number(port), "--bind", "127.0.0.1",
                                  "--wait", "30"} +
                          ctlArgs);
            ctl.waitForStarted(10000);
            startSim(simArgs + QStringList{"--tcp", QString("127.0.0.1:%1").arg(port), "--once"},
                     false);
        }
        return finish(ctl, seconds);
    }

    // glovectl alone (no glove needed).
    static Result runAlone(const QStringList& args) {
        QProcess ctl;
        ctl.start(QStringLiteral(GLOVECTL_PATH), args);
        return finish(ctl, 60);
    }

    QTemporaryDir dir_;
    std::unique_ptr<testsupport::ChildProcess> sim_;
};

std::string wireName(const testing::TestParamInfo<Wire>& info) {
    return info.param == Wire::Serial ? "Serial" : "Tcp";
}

const QByteArray kTerminator(15, '\r');

}  // namespace

TEST_P(CtlTest, InfoReportsTheGlove) {
    const Result r = run(
        {"--sensors", "18", "--left", "--serial-number", "1234", "--battery-mv", "7800"}, {"info"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("sensors: 18\n")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("hand: left\n"));
    EXPECT_TRUE(r.out.contains("serial number: 1234\n"));
    EXPECT_TRUE(r.out.contains("battery: 7.800 V, level 2\n"));
    EXPECT_TRUE(r.out.contains(QRegularExpression("time: \\d\\d:\\d\\d:\\d\\d:\\d\\d\n")));
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
}

TEST_P(CtlTest, FilesAndByteExactDownload) {
    QByteArray file;
    for (int i = 0; i < 25000; ++i) {
        const char c = static_cast<char>(i * 131 % 251);
        file.append(c == '\r' ? '\n' : c);
    }
    writeFile("card/TRIAL.DAT", file);
    writeFile("card/OTHER.TXT", "x");
    QDir().mkpath(path("out"));
    const Result list = run({"--sdcard", path("card")}, {"files"});
    ASSERT_EQ(list.status, 0) << list.err.toStdString();
    EXPECT_TRUE(list.out.split('\n').contains("TRIAL.DAT")) << list.out.toStdString();
    EXPECT_TRUE(list.out.split('\n').contains("OTHER.TXT"));

    const Result get =
        run({"--sdcard", path("card")}, {"download", "TRIAL.DAT", "--out", path("out")});
    ASSERT_EQ(get.status, 0) << get.err.toStdString();
    const QByteArray got = readFile("out/TRIAL.DAT");
    EXPECT_EQ(got.size(), file.size() + kTerminator.size());
    EXPECT_TRUE(got == file + kTerminator);
}

TEST_P(CtlTest, StreamWritesCsvWithShortCodes) {
    const Result r = run({}, {"stream", "--frames", "5"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 6) << r.out.toStdString();
    EXPECT_EQ(lines[0],
              "hh,mm,ss,f4,f5,TR,TIJ,TOJ,TIA,IMJ,IPJ,IDJ,index7,MMJ,MPJ,MDJ,IMA,RMJ,RPJ,RDJ,"
              "MRA,PMJ,PPJ,PDJ,RPA,PAR,WFL,WAB,index23");
    for (int i = 1; i < lines.size(); ++i) {
        const QStringList fields = lines[i].split(',');
        ASSERT_EQ(fields.size(), 29) << lines[i].toStdString();
        bool ok = false;
        fields[28].toDouble(&ok);
        EXPECT_TRUE(ok);
        EXPECT_LT(std::abs(fields[5].toDouble()), 360.0);
        EXPECT_FALSE(fields.contains("-0.000")) << lines[i].toStdString();
    }
}

TEST_P(CtlTest, SettingsReachTheGlove) {
    const Result t = run({}, {"set-time", "01:02:03"});
    ASSERT_EQ(t.status, 0) << t.err.toStdString();
    const QByteArray received = readFile("received.bin");
    EXPECT_TRUE(received.contains("1ts01:02:03")) << received.toHex().toStdString();
    writeFile("card/SESSION.TXT", "");
    const Result a =
        run({"--sdcard", path("card")}, {"set-active", "SESSION.TXT", "--header", "trial 4"});
    ASSERT_EQ(a.status, 0) << a.err.toStdString();
    EXPECT_TRUE(readFile("received.bin").contains("1ASESSION.TXT\x01trial 4\x01"));
}

TEST_P(CtlTest, VerboseLogGoesToStandardErrorOnly) {
    const Result r = run({}, {"--verbose", "stream", "--frames", "2"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.count('\n'), 3);  // header and two rows, nothing else
    EXPECT_TRUE(r.out.startsWith("hh,mm,ss,f4,f5,TR,"));
    EXPECT_TRUE(r.err.contains("22 Sensor Glove")) << r.err.toStdString();
}

TEST_P(CtlTest, HardwareCalibrationWriteThenRead) {
    QByteArray block(48, '\0');
    for (int i = 0; i < 48; ++i) {
        block[i] = static_cast<char>(10 + i);
    }
    writeFile("in.hwcal", block);
    // One glove session each; the glove keeps its block only while it runs, so write and
    // read go to the same simulator through a script of two glovectl runs over serial only.
    const Result w = run({}, {"hwcal", "write", path("in.hwcal")});
    ASSERT_EQ(w.status, 0) << w.err.toStdString();
    const QByteArray received = readFile("received.bin");
    const int at = received.indexOf("CA");
    ASSERT_GE(at, 0);
    const QByteArray sent = received.mid(at + 2, 36);
    ASSERT_EQ(sent.size(), 36);
    EXPECT_EQ(static_cast<uint8_t>(sent[0]), 10);        // index 0 -> position 0
    EXPECT_EQ(static_cast<uint8_t>(sent[6]), 18);        // index 8 -> position 6
    EXPECT_EQ(static_cast<uint8_t>(sent[18]), 34);       // gain of index 0
    EXPECT_EQ(static_cast<uint8_t>(sent[35]), 24 + 32);  // gain of index 22 -> position 17
}

TEST_P(CtlTest, HardwareCalibrationReadAndCommit) {
    const Result r = run({}, {"hwcal", "read", path("out.hwcal")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(readFile("out.hwcal").size(), 48);
    const Result c = run({}, {"hwcal", "commit"});
    ASSERT_EQ(c.status, 0) << c.err.toStdString();
}

TEST_P(CtlTest, RatesLowPowerAndReboot) {
    const Result r = run({}, {"rates", "--multiplier", "2", "--usb", "1", "--wifi", "0"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QByteArray received = readFile("received.bin");
    EXPECT_TRUE(
        received.contains(QByteArray("1m\x02"
                                     "1dw1eu1u\x01"
                                     "1es1s\x01",
                                     18)))
        << received.toHex(' ').toStdString();
    const Result lp = run({}, {"low-power", "on"});
    ASSERT_EQ(lp.status, 0) << lp.err.toStdString();
    EXPECT_TRUE(readFile("received.bin").contains("Z1"));
    const Result rb = run({}, {"reboot"});
    ASSERT_EQ(rb.status, 0) << rb.err.toStdString();
    EXPECT_TRUE(readFile("received.bin").endsWith(QByteArray("\x12\0", 2)));
}

TEST_P(CtlTest, NamesThatLeaveTheFolderAreRefused) {
    QDir().mkpath(path("out"));
    for (const char* name : {"../escape.txt", "sub/x.txt", ".."}) {
        const Result r = run({}, {"download", name, "--out", path("out")});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_TRUE(r.err.startsWith("glovectl: refusing file name")) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1);
    }
    EXPECT_FALSE(QFile::exists(dir_.filePath("escape.txt")));
    EXPECT_TRUE(QDir(path("out")).isEmpty());
}

TEST_P(CtlTest, SilentGloveEndsTheStreamWithAnError) {
    const Result r = run({"--fault", "silence=2"}, {"--timeout", "2", "stream", "--frames", "50"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "glovectl: stream: Glove Read Error, reboot and reconnect\n");
    EXPECT_EQ(r.out.count('\n'), 3);  // header and the two frames before the silence
}

INSTANTIATE_TEST_SUITE_P(Wires, CtlTest, testing::Values(Wire::Serial, Wire::Tcp), wireName);

TEST(Glovectl, UsageErrorsAreOneLineAndStatusTwo) {
    struct Case {
        QStringList args;
        const char* start;
    } cases[] = {
        {{}, "glovectl: give exactly one of --serial PATH and --listen PORT"},
        {{"--serial", "/dev/null"}, "glovectl: missing command"},
        {{"--serial", "/dev/null", "dance"}, "glovectl: unknown command 'dance'"},
        {{"--serial", "/dev/null", "--listen", "5003", "info"}, "glovectl: give exactly one"},
        {{"--listen", "70000", "info"}, "glovectl: bad port '70000'"},
        {{"--serial", "/dev/null", "set-time", "25:00:00"}, "glovectl: bad time '25:00:00'"},
        {{"--serial", "/dev/null", "rates", "--multiplier", "9"}, "glovectl: bad multiplier"},
        {{"--serial", "/dev/null", "low-power", "maybe"}, "glovectl: low-power takes on or off"},
    };
    for (const Case& c : cases) {
        QProcess ctl;
        ctl.start(QStringLiteral(GLOVECTL_PATH), c.args);
        const Result r = finish(ctl, 60);
        EXPECT_EQ(r.status, 2) << c.args.join(' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith(c.start)) << r.err.toStdString();
    }
}

// Every tool's command line: help and version on stdout, a bad option named, status 2.
TEST(ToolCommandLines, HelpVersionAndABadOption) {
    struct Case {
        const char* program;
        const char* name;
        QStringList args;
        int status;
        QString out;
        const char* err;
    };
    std::vector<Case> cases;
    const std::pair<const char*, const char*> tools[] = {
        {GLOVECTL_PATH, "glovectl"},
        {GLOVESIM_PATH, "glovesim"},
        {KELBSIM_PATH, "kelbsim"},
        {DMCTL_PATH, "dmctl"},
    };
    for (const auto& [program, name] : tools) {
        cases.push_back({program, name, {"--help"}, 0, "--version", ""});
        cases.push_back(
            {program, name, {"--version"}, 0, QString(name) + " " MANUVIA_VERSION "\n", ""});
        cases.push_back({program, name, {"--no-such-option"}, 2, "", "--no-such-option"});
    }
    for (const Case& c : cases) {
        QProcess tool;
        tool.start(QString::fromUtf8(c.program), c.args);
        const Result r = finish(tool, 60);
        const std::string what = std::string(c.name) + " " + c.args.join(' ').toStdString();
        EXPECT_EQ(r.status, c.status) << what << ": " << r.err.toStdString();
        EXPECT_TRUE(r.out.contains(c.out)) << what << ": " << r.out.toStdString();
        EXPECT_TRUE(r.err.contains(c.err)) << what << ": " << r.err.toStdString();
    }
}

TEST(Glovectl, MissingPortIsAClearError) {
    QProcess ctl;
    ctl.start(QStringLiteral(GLOVECTL_PATH), {"--serial", "/nonexistent/ttyGLOVE", "info"});
    const Result r = finish(ctl, 60);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "glovectl: /nonexistent/ttyGLOVE: ERROR: Could not open com port\n");
}

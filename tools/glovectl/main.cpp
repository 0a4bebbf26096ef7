// glovectl: a command-line client for the wireless glove, for people who script their glove.

#include "link/glovelink.hpp"
#include "streaming/handstream.hpp"
#include "take.hpp"
#include "takebvh.hpp"

#include <unistd.h>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

const char* const kCommands =
    "\nCommands:\n"
    "  info                            sensor count, hand, serial number, battery, glove time\n"
    "  files                           list the files on the glove's card\n"
    "  set-active NAME [--header TEXT] make NAME the file the glove records to\n"
    "  download NAME --out DIR         make NAME active and download it into DIR/NAME\n"
    "  stream --frames N [--reconnect] N frames as CSV: time fields, 24 angles in degrees;\n"
    "                                  with --reconnect a glove that drops out is waited\n"
    "                                  for (up to --wait seconds) and streams on;\n"
    "                                  also sends each frame with --osc HOST:PORT,\n"
    "                                  --vmc HOST:PORT, --dds (ROS 2 JointState),\n"
    "                                  --rate HZ (at most), --name NAME (default gloveSERIAL)\n"
    "  record --out FILE.csv [--bvh FILE.bvh] [--seconds N] [--frames N]\n"
    "                                  record a take (raw values, angles, time stamps, holes\n"
    "                                  marked); a glove that drops out is waited for\n"
    "  set-time HH:MM:SS               set the glove's clock\n"
    "  low-power on|off\n"
    "  rates [--multiplier M] [--wifi D] [--usb D] [--sd D]   (D = divider, 0 = off)\n"
    "  hwcal read FILE | hwcal write FILE | hwcal commit\n"
    "  reboot\n";

struct Failure {
    std::string message;
    int status = 1;
};

[[noreturn]] void fail(const std::string& message, int status = 1) {
    throw Failure{message, status};
}

int toInt(const std::string& text, const char* what, int low, int high) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < low || v > high) {
        fail(std::string("bad ") + what + " '" + text + "' (expected " + std::to_string(low) +
                 ".." + std::to_string(high) + ")",
             2);
    }
    return static_cast<int>(v);
}

// Command-line words after the global options.
class Args {
  public:
    explicit Args(std::vector<std::string> words) : words_(std::move(words)) {}
    bool empty() const { return pos_ >= words_.size(); }
    std::string next(const char* what) {
        if (empty()) {
            fail(std::string("missing ") + what, 2);
        }
        return words_[pos_++];
    }
    // Takes "--name VALUE" pairs until the words run out; flags take no value.
    std::map<std::string, std::string> options(std::initializer_list<const char*> allowed,
                                               std::initializer_list<const char*> flags = {}) {
        std::map<std::string, std::string> out;
        while (!empty()) {
            const std::string name = words_[pos_++];
            bool flag = false;
            for (const char* f : flags) {
                flag = flag || name == f;
            }
            if (flag) {
                out[name] = "";
                continue;
            }
            bool known = false;
            for (const char* a : allowed) {
                known = known || name == a;
            }
            if (!known) {
                fail("unexpected argument '" + name + "'", 2);
            }
            out[name] = next(("value for " + name).c_str());
        }
        return out;
    }
    void done() {
        if (!empty()) {
            fail("unexpected argument '" + words_[pos_] + "'", 2);
        }
    }

  private:
    std::vector<std::string> words_;
    size_t pos_ = 0;
};

void checkHealthy(GloveLink& link, const char* doing) {
    if (link.errorState() != 0) {
        const QString m = link.lastMessage().trimmed();
        fail(std::string(doing) + ": " +
             (m.isEmpty() ? std::string("no answer from the glove") : m.toStdString()));
    }
}

void writeFile(const QString& path, const char* data, qint64 size) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data, size) != size ||
        !f.flush()) {
        fail("cannot write " + path.toStdString() + ": " + f.errorString().toStdString());
    }
}

using Action = std::function<void(GloveLink&)>;

// Where the glove is reached, for opening the line and for opening it again after a drop.
struct Line {
    std::optional<std::string> serial;
    std::optional<int> listenPort;
    QHostAddress bind = QHostAddress::Any;
    int waitSeconds = 60;
};

// Opens the line: the serial port, or the glove's next connection to the listening port.
// Gives up after waitSeconds; quiet leaves failed serial opens out of the link's log.
bool openLine(GloveLink& link, const Line& line, bool quiet) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(line.waitSeconds);
    if (line.listenPort) {
        while (!link.acceptConnection()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            link.waitForNewConnection(static_cast<int>(left.count()));
        }
        return true;
    }
    const QString port = QString::fromStdString(*line.serial);
    while (!link.openSerial(port, !quiet)) {
        if (Clock::now() + link.timing().reconnectInterval > deadline) {
            return false;
        }
        std::this_thread::sleep_for(link.timing().reconnectInterval);
    }
    return true;
}

// The glove's line went away mid-stream: waits for it to come back and starts it streaming
// again, configured as at the start.
void reconnectStream(GloveLink& link, const Line& line) {
    std::fprintf(stderr, "glovectl: connection to the glove lost, waiting for it to return\n");
    link.dropConnection();
    if (!openLine(link, line, true)) {
        fail("stream: the glove did not return within " + std::to_string(line.waitSeconds) + " s");
    }
    link.stopStreaming();
    link.querySensorCount();
    link.queryRightHand();
    link.startStreaming();
    checkHealthy(link, "stream");
    std::fprintf(stderr, "glovectl: glove back, streaming resumed\n");
}

Action commandInfo(Args& args, const Line& /*line*/) {
    args.done();
    return [](GloveLink& link) {
        const int sensors = link.querySensorCount();
        checkHealthy(link, "info");
        const bool right = link.queryRightHand();
        const int serial = link.readSerialNumber();
        const float volts = link.batteryVoltage();
        int time[5] = {0, 0, 0, 0, 0};
        link.getTime(time);
        checkHealthy(link, "info");
        std::printf("sensors: %d\n", link.sensorCount() > 0 ? link.sensorCount() : sensors);
        std::printf("hand: %s\n", right ? "right" : "left");
        std::printf("serial number: %d\n", serial);
        std::printf("battery: %.3f V, level %d\n", static_cast<double>(volts),
                    glove::batteryLevelFor(volts));
        std::printf("time: %.2d:%.2d:%.2d:%.2d\n", time[0], time[1], time[2], time[3]);
    };
}

Action commandFiles(Args& args, const Line& /*line*/) {
    args.done();
    return [](GloveLink& link) {
        std::vector<char> buffer(GloveLink::kFileListSize);
        const int count = link.getFileList(buffer.data(), static_cast<int>(buffer.size()));
        checkHealthy(link, "files");
        for (const std::string& name : glove::parseFileList(buffer.data(), count)) {
            const QString text =
                QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
            std::printf("%s\n", text.toLocal8Bit().constData());
        }
    };
}

std::string checkedName(const std::string& name) {
    if (name.size() > 253) {
        fail("file name too long (at most 253 characters)", 2);
    }
    return name;
}

Action commandSetActive(Args& args, const Line& /*line*/) {
    const std::string name = checkedName(args.next("file name"));
    auto opts = args.options({"--header"});
    std::optional<std::string> header;
    if (opts.count("--header")) {
        header = opts["--header"].substr(0, 255);
    }
    return [name, header](GloveLink& link) {
        link.setActiveFile(name.c_str(), header ? header->c_str() : nullptr);
        checkHealthy(link, "set-active");
    };
}

Action commandDownload(Args& args, const Line& /*line*/) {
    const std::string name = checkedName(args.next("file name"));
    auto opts = args.options({"--out"});
    if (!opts.count("--out")) {
        fail("download needs --out DIR", 2);
    }
    // The name comes from the glove's card: it must stay a plain name inside DIR.
    if (!glove::isSafeFileName(name)) {
        fail("refusing file name '" + name + "': it would leave the output folder");
    }
    const QDir dir(QString::fromStdString(opts["--out"]));
    if (!dir.exists()) {
        fail("output folder " + opts["--out"] + " does not exist");
    }
    return [name, dir](GloveLink& link) {
        const bool progress = isatty(STDERR_FILENO) != 0;
        if (progress) {
            QObject::connect(&link, &GloveLink::downloadProgress, [&name](qint64 total) {
                std::fprintf(stderr, "\rdownloading %s: %lld bytes", name.c_str(),
                             static_cast<long long>(total));
            });
        }
        link.setActiveFile(name.c_str(), nullptr);
        checkHealthy(link, "download");
        std::vector<uint8_t> data;
        link.downloadActiveFile(data);
        if (progress) {
            std::fprintf(stderr, "\n");
        }
        checkHealthy(link, "download");
        if (data.empty()) {
            fail("Active file download: No Data Received");
        }
        const QString path = dir.filePath(QString::fromStdString(name));
        writeFile(path, reinterpret_cast<const char*>(data.data()),
                  static_cast<qint64>(data.size()));
        std::fprintf(stderr, "%s: %zu bytes\n", path.toLocal8Bit().constData(), data.size());
    };
}

Action commandStream(Args& args, const Line& line) {
    auto opts =
        args.options({"--frames", "--osc", "--vmc", "--rate", "--name"}, {"--reconnect", "--dds"});
    if (!opts.count("--frames")) {
        fail("stream needs --frames N", 2);
    }
    const int frames = toInt(opts["--frames"], "frame count", 1, 100000000);
    const bool reconnect = opts.count("--reconnect") != 0;
    auto targets = std::make_shared<streaming::StreamOptions>();
    try {
        if (opts.count("--osc")) {
            targets->osc = streaming::parseTarget(opts["--osc"]);
        }
        if (opts.count("--vmc")) {
            targets->vmc = streaming::parseTarget(opts["--vmc"]);
        }
    } catch (const std::invalid_argument& e) {
        fail(e.what(), 2);
    }
    targets->dds = opts.count("--dds") != 0;
    if (opts.count("--rate")) {
        targets->rateHz = toInt(opts["--rate"], "rate", 1, 10000);
    }
    const std::string name = opts.count("--name") ? opts["--name"] : "";
    return [frames, reconnect, line, targets, name](GloveLink& link) {
        link.querySensorCount();
        checkHealthy(link, "stream");
        const bool right = link.queryRightHand();
        std::unique_ptr<streaming::HandStream> sink;
        streaming::Frame out;
        if (targets->any()) {
            out.name = name.empty() ? "glove" + std::to_string(link.readSerialNumber()) : name;
            out.rightHand = right;
            checkHealthy(link, "stream");
            sink = std::make_unique<streaming::HandStream>(*targets);
        }
        std::printf("hh,mm,ss,f4,f5");
        for (int i = 0; i < glove::kSensorIndexCount; ++i) {
            const char* code = glove::sensorShortCode(i);
            if (*code != '\0') {
                std::printf(",%s", code);
            } else {
                std::printf(",index%d", i);
            }
        }
        std::printf("\n");
        link.startStreaming();
        checkHealthy(link, "stream");
        int written = 0;
        int ignored = 0;
        while (written < frames) {
            if (!link.readFrame()) {
                if (reconnect && link.connectionLost()) {
                    std::fflush(stdout);
                    reconnectStream(link, line);
                    continue;
                }
                checkHealthy(link, "stream");
                // Frames with broken separators are skipped; a stream of nothing else is not.
                if (++ignored > 1000 + 10 * frames) {
                    link.stopStreaming();
                    fail("stream: no well-formed frames from the glove");
                }
                continue;
            }
            link.computeAngles();
            int t[5];
            link.frameTime(t);
            double a[glove::kSensorIndexCount];
            link.copyAngles(a);
            if (sink) {
                static_assert(glove::kSensorIndexCount == streaming::kSensorCount);
                std::memcpy(out.angles, a, sizeof a);
                out.received = std::chrono::system_clock::now();
                sink->send(out);
            }
            std::printf("%d,%d,%d,%d,%d", t[0], t[1], t[2], t[3], t[4]);
            for (double v : a) {
                // Rounded first and then lifted off negative zero, so a joint at rest reads
                // 0.000, not -0.000.
                const double degrees = std::round(v * 180.0 / kPi * 1000.0) / 1000.0 + 0.0;
                std::printf(",%.3f", degrees);
            }
            std::printf("\n");
            ++written;
        }
        std::fflush(stdout);
        link.stopStreaming();
    };
}

// Records frames until the seconds or frames run out. Silence and dropped connections are
// waited out (within --wait for a return) and marked as holes in the take.
Action commandRecord(Args& args, const Line& line) {
    auto opts = args.options({"--out", "--bvh", "--seconds", "--frames"});
    if (!opts.count("--out")) {
        fail("record needs --out FILE.csv", 2);
    }
    const int seconds = opts.count("--seconds") ? toInt(opts["--seconds"], "seconds", 1, 86400)
                                                : (opts.count("--frames") ? 86400 : 10);
    const long frames =
        opts.count("--frames") ? toInt(opts["--frames"], "frame count", 1, 100000000) : 100000000L;
    const std::string out = opts["--out"];
    const std::string bvh = opts.count("--bvh") ? opts["--bvh"] : std::string();
    return [=](GloveLink& link) {
        using Clock = std::chrono::steady_clock;
        link.querySensorCount();
        checkHealthy(link, "record");
        const bool right = link.queryRightHand();
        std::ofstream file(out, std::ios::binary | std::ios::trunc);
        if (!file) {
            fail("cannot write " + out);
        }
        take::Recorder recorder(file, right);
        recorder.keepFrames(!bvh.empty());
        link.startStreaming();
        checkHealthy(link, "record");
        const GloveTiming timing = link.timing();
        const auto start = Clock::now();
        const auto end = start + std::chrono::seconds(seconds);
        std::exception_ptr gone;  // the glove left and did not return
        auto since = [start] {
            return std::chrono::duration<double>(Clock::now() - start).count();
        };
        while (recorder.frames() < frames && Clock::now() < end) {
            // A silent glove holds the read no longer than the recording lasts.
            GloveTiming bounded = timing;
            bounded.readGiveUp = std::min<std::chrono::milliseconds>(
                timing.readGiveUp,
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()) +
                    std::chrono::milliseconds(1));
            link.setTiming(bounded);
            if (link.readFrame()) {
                link.computeAngles();
                int t[5];
                link.frameTime(t);
                uint32_t raw[glove::kSensorIndexCount];
                link.copyRaw(raw);
                std::int32_t values[take::kValues];
                for (int i = 0; i < take::kValues; ++i) {
                    values[i] = static_cast<std::int32_t>(raw[i]);
                }
                double a[glove::kSensorIndexCount];
                link.copyAngles(a);
                recorder.add(since(), t, values, a);
            } else if (link.connectionLost() && Clock::now() < end) {
                recorder.connectionLost();
                link.setTiming(timing);
                try {
                    reconnectStream(link, line);
                } catch (const Failure&) {
                    // The take so far is kept, ending in the hole the glove left.
                    gone = std::current_exception();
                    break;
                }
            }
        }
        link.setTiming(timing);
        recorder.finish(since());
        file.close();
        if (!file) {
            fail("cannot write " + out);
        }
        if (!link.connectionLost()) {
            link.stopStreaming();
        }
        if (!bvh.empty()) {
            std::ofstream b(bvh, std::ios::binary | std::ios::trunc);
            b << take::takeToBvh(recorder.take());
            b.close();
            if (!b) {
                fail("cannot write " + bvh);
            }
        }
        std::fprintf(stderr, "glovectl: %ld frames, %ld gaps recorded to %s\n", recorder.frames(),
                     recorder.gaps(), out.c_str());
        if (gone) {
            std::rethrow_exception(gone);
        }
    };
}

Action commandSetTime(Args& args, const Line& /*line*/) {
    const std::string text = args.next("time HH:MM:SS");
    args.done();
    int h = -1;
    int m = -1;
    int s = -1;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%d:%d:%d%c", &h, &m, &s, &extra) != 3 || h < 0 || h > 23 ||
        m < 0 || m > 59 || s < 0 || s > 59) {
        fail("bad time '" + text + "' (expected HH:MM:SS)", 2);
    }
    return [h, m, s](GloveLink& link) {
        link.setTime(h, m, s);
        checkHealthy(link, "set-time");
    };
}

Action commandLowPower(Args& args, const Line& /*line*/) {
    const std::string mode = args.next("on or off");
    args.done();
    if (mode != "on" && mode != "off") {
        fail("low-power takes on or off, not '" + mode + "'", 2);
    }
    const bool on = mode == "on";
    return [on](GloveLink& link) {
        link.setLowPower(on);
        checkHealthy(link, "low-power");
    };
}

Action commandRates(Args& args, const Line& /*line*/) {
    auto opts = args.options({"--multiplier", "--wifi", "--usb", "--sd"});
    // Unnamed settings keep the glove's default stream configuration.
    const int multiplier =
        opts.count("--multiplier") ? toInt(opts["--multiplier"], "multiplier", 1, 4) : 3;
    auto divider = [&](const char* name, int fallback) {
        return opts.count(name) ? toInt(opts[name], "divider", 0, 255) : fallback;
    };
    const int wifi = divider("--wifi", 3);
    const int usb = divider("--usb", 3);
    const int sd = divider("--sd", 1);
    return [=](GloveLink& link) {
        link.setFrameRateMultiplier(multiplier);
        link.configureOutputs(wifi > 0, wifi, usb > 0, usb, sd > 0, sd);
        checkHealthy(link, "rates");
    };
}

Action commandHwcal(Args& args, const Line& /*line*/) {
    const std::string what = args.next("read, write or commit");
    if (what == "read") {
        const std::string file = args.next("file");
        args.done();
        return [file](GloveLink& link) {
            uint8_t block[glove::kHardwareBlockReadSize];
            if (!link.readHardwareCalibration(block)) {
                checkHealthy(link, "hwcal read");
                fail("hwcal read: the glove's reply held no calibration block");
            }
            writeFile(QString::fromStdString(file), reinterpret_cast<const char*>(block),
                      sizeof block);
        };
    }
    if (what == "write") {
        const std::string file = args.next("file");
        args.done();
        QFile f(QString::fromStdString(file));
        if (!f.open(QIODevice::ReadOnly)) {
            fail("cannot read " + file + ": " + f.errorString().toStdString());
        }
        const QByteArray bytes = f.read(glove::kHardwareBlockReadSize + 1);
        if (bytes.size() != glove::kHardwareBlockReadSize) {
            fail(file + ": not a .hwcal file (" + std::to_string(bytes.size()) +
                 " bytes, expected 48)");
        }
        std::array<uint8_t, glove::kSensorIndexCount> offsets{};
        std::array<uint8_t, glove::kSensorIndexCount> gains{};
        for (int i = 0; i < glove::kSensorIndexCount; ++i) {
            offsets[i] = static_cast<uint8_t>(bytes[i]);
            gains[i] = static_cast<uint8_t>(bytes[glove::kSensorIndexCount + i]);
        }
        const auto block = glove::encodeHardwareBlock(offsets, gains);
        return [block](GloveLink& link) {
            link.writeHardwareCalibration(block.data());
            checkHealthy(link, "hwcal write");
        };
    }
    if (what == "commit") {
        args.done();
        return [](GloveLink& link) {
            link.commitEEPROM();
            checkHealthy(link, "hwcal commit");
        };
    }
    fail("hwcal takes read, write or commit, not '" + what + "'", 2);
}

Action commandReboot(Args& args, const Line& /*line*/) {
    args.done();
    return [](GloveLink& link) { link.reboot(); };
}

int run(const QStringList& words) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Talks to a real or simulated wireless glove."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    // Not addVersionOption(): it takes -v, which has always meant --verbose here.
    const QCommandLineOption versionOption(QStringLiteral("version"),
                                           QStringLiteral("Displays version information."));
    parser.addOption(versionOption);
    const QCommandLineOption serialOption(QStringLiteral("serial"),
                                          QStringLiteral("The glove's serial port."),
                                          QStringLiteral("PATH"));
    const QCommandLineOption listenOption(QStringLiteral("listen"),
                                          QStringLiteral("Wait for the glove on this TCP port."),
                                          QStringLiteral("PORT"));
    const QCommandLineOption bindOption(QStringLiteral("bind"),
                                        QStringLiteral("Address to listen on (default: all)."),
                                        QStringLiteral("ADDR"));
    const QCommandLineOption waitOption(
        QStringLiteral("wait"),
        QStringLiteral(
            "Seconds to wait for the glove, also for its return after a drop (default 60)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption timeoutOption(
        QStringLiteral("timeout"), QStringLiteral("Seconds to wait for a reply (default 30)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption verboseOption({QStringLiteral("v"), QStringLiteral("verbose")},
                                           QStringLiteral("Log every exchange."));
    parser.addOptions(
        {serialOption, listenOption, bindOption, waitOption, timeoutOption, verboseOption});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("See below."),
                                 QStringLiteral("COMMAND [ARGS]"));
    // The command's own options ("stream --frames N") belong to the command.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!parser.parse(words)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString dashes = unknown.front().size() == 1 ? "-" : "--";
            fail("unknown option '" + (dashes + unknown.front()).toStdString() + "'", 2);
        }
        fail(parser.errorText().toStdString(), 2);
    }
    if (parser.isSet(helpOption)) {
        std::fputs(parser.helpText().toStdString().c_str(), stdout);
        std::fputs(kCommands, stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::puts("glovectl " MANUVIA_VERSION);
        return 0;
    }
    Line line;
    int timeoutSeconds = 30;
    if (parser.isSet(serialOption)) {
        line.serial = parser.value(serialOption).toStdString();
    }
    if (parser.isSet(listenOption)) {
        line.listenPort = toInt(parser.value(listenOption).toStdString(), "port", 1, 65535);
    }
    if (parser.isSet(bindOption)) {
        const QString a = parser.value(bindOption);
        if (!line.bind.setAddress(a)) {
            fail("bad address '" + a.toStdString() + "'", 2);
        }
    }
    if (parser.isSet(waitOption)) {
        line.waitSeconds = toInt(parser.value(waitOption).toStdString(), "wait", 1, 86400);
    }
    if (parser.isSet(timeoutOption)) {
        timeoutSeconds = toInt(parser.value(timeoutOption).toStdString(), "timeout", 1, 3600);
    }
    if (parser.isSet(verboseOption)) {
        GloveLink::setDebugLog(true);
    }
    if (line.serial.has_value() == line.listenPort.has_value()) {
        fail("give exactly one of --serial PATH and --listen PORT", 2);
    }
    const QStringList rest = parser.positionalArguments();
    if (rest.isEmpty()) {
        fail("missing command", 2);
    }
    const std::string command = rest.front().toStdString();
    std::vector<std::string> commandWords;
    for (qsizetype k = 1; k < rest.size(); ++k) {
        commandWords.push_back(rest[k].toStdString());
    }
    Args args(std::move(commandWords));

    using Handler = Action (*)(Args&, const Line&);
    const std::map<std::string, Handler> handlers = {
        {"info", commandInfo},          {"files", commandFiles},   {"set-active", commandSetActive},
        {"download", commandDownload},  {"stream", commandStream}, {"set-time", commandSetTime},
        {"low-power", commandLowPower}, {"rates", commandRates},   {"hwcal", commandHwcal},
        {"reboot", commandReboot},      {"record", commandRecord},
    };
    const auto handler = handlers.find(command);
    if (handler == handlers.end()) {
        fail("unknown command '" + command + "'", 2);
    }
    // Arguments are checked before any glove is touched.
    const Action action = handler->second(args, line);

    GloveTiming timing;
    timing.tcpEchoTimeout = std::chrono::seconds(timeoutSeconds);
    timing.readGiveUp = std::chrono::seconds(timeoutSeconds);
    GloveLink link(nullptr, timing);
    if (line.serial) {
        if (!link.openSerial(QString::fromStdString(*line.serial))) {
            fail(*line.serial + ": " + link.lastMessage().toStdString());
        }
    } else {
        if (!link.listen(static_cast<quint16>(*line.listenPort), line.bind)) {
            fail("cannot listen on port " + std::to_string(*line.listenPort) + ": " +
                 link.errorString().toStdString());
        }
        if (!openLine(link, line, false)) {
            fail("no glove connected to port " + std::to_string(*line.listenPort) + " within " +
                 std::to_string(line.waitSeconds) + " s");
        }
    }
    // A glove left streaming by an earlier session would bury every reply.
    if (command != "reboot") {
        link.stopStreaming();
        checkHealthy(link, command.c_str());
    }
    action(link);
    link.close();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        return run(QCoreApplication::arguments());
    } catch (const Failure& f) {
        std::fflush(stdout);
        std::fprintf(stderr, "glovectl: %s\n", f.message.c_str());
        if (f.status == 2) {
            std::fprintf(stderr, "(glovectl --help shows the usage)\n");
        }
        return f.status;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "glovectl: %s\n", e.what());
        return 1;
    }
}

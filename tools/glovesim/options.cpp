#include "glovesim/options.hpp"

#include <cerrno>
#include <cstdlib>

#include <CLI/CLI.hpp>

namespace glovesim {

namespace {

bool toLong(const std::string& s, long lo, long hi, long* out) {
    if (s.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    *out = v;
    return true;
}

// "A" or "A,B"; B keeps its default when absent.
bool toPair(const std::string& s, long lo, long hi, long* a, long* b) {
    auto comma = s.find(',');
    if (comma == std::string::npos) {
        return toLong(s, lo, hi, a);
    }
    return toLong(s.substr(0, comma), lo, hi, a) && toLong(s.substr(comma + 1), 0, 600000, b);
}

}  // namespace

const char* usageText() {
    return "usage: glovesim [--link PATH] [--tcp HOST:PORT] [--sensors 18|22] [--left]\n"
           "                [--serial-number N] [--battery-mv N] [--sdcard DIR] [--script FILE]\n"
           "                [--fault MODE[=ARG]]... [--record FILE] [--once] [--verbose] "
           "[--version]\n"
           "                [--delay-ms N] [--stamp-file FILE]\n"
           "faults: silence=N[,B[,MS]] bad-frame=N garbage=N[,K] drop-download[=N]\n"
           "        drop-after-frames=N oversize[=N] slow[=MS] chunk=N[,MS] burst=N\n"
           "        no-start-echo flip[=N] insert[=N] delete[=N] flood[=F]\n"
           "        flat=SENSOR saturate=SENSOR noise=SENSOR (sensor index 0..22)\n";
}

bool applyFault(const std::string& text, Faults* f, std::string* out_error) {
    auto eq = text.find('=');
    std::string mode = text.substr(0, eq);
    std::string arg = eq == std::string::npos ? std::string() : text.substr(eq + 1);
    bool hasArg = eq != std::string::npos;
    constexpr long kMax = 1000000000L;
    long a = 0;
    long b = 0;
    bool ok = true;
    if (mode == "silence") {
        a = 10;
        b = 0;
        long ms = -1;
        // N[,B[,MS]]: the duration follows the byte count.
        std::string pair = arg;
        if (auto first = arg.find(','); first != std::string::npos) {
            if (auto second = arg.find(',', first + 1); second != std::string::npos) {
                pair = arg.substr(0, second);
                ok = toLong(arg.substr(second + 1), 0, 3600000, &ms);
            }
        }
        ok = ok && (!hasArg || (toPair(pair, 0, kMax, &a, &b) && b <= 60));
        f->silenceAfterFrames = a;
        f->silenceBytes = static_cast<int>(b);
        f->silenceMs = ms;
    } else if (mode == "bad-frame") {
        a = 3;
        ok = !hasArg || toLong(arg, 1, kMax, &a);
        f->badFrame = a;
    } else if (mode == "garbage") {
        a = 1;
        b = 16;
        ok = !hasArg || (toPair(arg, 1, kMax, &a, &b) && b >= 1 && b <= 4096);
        f->garbageAfterFrame = a;
        f->garbageCount = static_cast<int>(b);
    } else if (mode == "drop-download") {
        a = -2;
        ok = !hasArg || toLong(arg, 0, kMax, &a);
        f->dropDownloadAfter = a;
    } else if (mode == "drop-after-frames") {
        a = 10;
        ok = !hasArg || toLong(arg, 1, kMax, &a);
        f->dropAfterFrames = a;
    } else if (mode == "oversize") {
        a = 1100;
        ok = !hasArg || toLong(arg, 1, 1000000, &a);
        f->oversize = static_cast<int>(a);
    } else if (mode == "slow") {
        a = 500;
        ok = !hasArg || toLong(arg, 0, 600000, &a);
        f->slowMs = static_cast<int>(a);
    } else if (mode == "chunk") {
        a = 8;
        b = 50;
        ok = !hasArg || toPair(arg, 1, 1000000, &a, &b);
        f->chunkBytes = static_cast<int>(a);
        f->chunkPauseMs = static_cast<int>(b);
    } else if (mode == "burst") {
        a = 2;
        ok = !hasArg || toLong(arg, 1, 1000, &a);
        f->burstFrames = static_cast<int>(a);
    } else if (mode == "flat" || mode == "saturate" || mode == "noise") {
        // The sensor index as the console numbers it; 7 and 23 carry no sensor.
        ok = hasArg && toLong(arg, 0, 22, &a) && a != 7;
        if (ok) {
            f->sensor[static_cast<size_t>(a)] = mode == "flat"       ? SensorFault::Flat
                                                : mode == "saturate" ? SensorFault::Saturate
                                                                     : SensorFault::Noise;
        }
    } else if (mode == "no-start-echo") {
        ok = !hasArg;
        f->noStartEcho = true;
    } else if (mode == "flip" || mode == "insert" || mode == "delete") {
        a = 10;
        ok = !hasArg || toLong(arg, 1, kMax, &a);
        (mode == "flip" ? f->flipEvery : mode == "insert" ? f->insertEvery : f->deleteEvery) = a;
    } else if (mode == "flood") {
        a = 30;
        ok = !hasArg || toLong(arg, 1, 1000, &a);
        f->flood = static_cast<int>(a);
    } else {
        if (out_error) {
            *out_error = "unknown fault mode '" + mode + "'";
        }
        return false;
    }
    if (!ok && out_error) {
        *out_error = "bad argument for fault " + mode + ": '" + arg + "'";
    }
    return ok;
}

std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string* out_error) {
    Options o;
    auto fail = [&](const std::string& why) -> std::optional<Options> {
        if (out_error) {
            *out_error = why;
        }
        return std::nullopt;
    };
    std::string tcp;
    std::string sensors;
    std::string serialNumber;
    std::string batteryMv;
    std::string delayMs;
    std::vector<std::string> faults;
    CLI::App app;
    // A repeated option takes its last value, as it always has.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // Help and version are printed by main with the fault list, not by the parser.
    app.set_help_flag();
    app.add_flag("-h,--help", o.help);
    app.add_flag("--version", o.version);
    app.add_flag("-v,--verbose", o.verbose);
    app.add_flag("--left", o.glove.leftHand);
    app.add_flag("--once", o.once);
    app.add_option("--link", o.linkPath);
    app.add_option("--tcp", tcp);
    app.add_option("--sensors", sensors);
    app.add_option("--serial-number", serialNumber);
    app.add_option("--battery-mv", batteryMv);
    app.add_option("--sdcard", o.glove.sdcardDir);
    app.add_option("--script", o.scriptPath);
    app.add_option("--record", o.recordPath);
    app.add_option("--delay-ms", delayMs);
    app.add_option("--stamp-file", o.stampPath);
    app.add_option("--fault", faults)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    try {
        // CLI11 takes the words last first.
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::ParseError& e) {
        return fail(e.what());
    }
    long n = 0;
    if (app.count("--link") && o.linkPath.empty()) {
        return fail("--link needs a path");
    }
    if (app.count("--tcp")) {
        auto colon = tcp.rfind(':');
        if (colon == std::string::npos || colon == 0 ||
            !toLong(tcp.substr(colon + 1), 1, 65535, &n)) {
            return fail("--tcp needs HOST:PORT, got '" + tcp + "'");
        }
        o.tcp = true;
        o.tcpHost = tcp.substr(0, colon);
        if (o.tcpHost.size() > 2 && o.tcpHost.front() == '[' && o.tcpHost.back() == ']') {
            o.tcpHost = o.tcpHost.substr(1, o.tcpHost.size() - 2);
        }
        o.tcpPort = tcp.substr(colon + 1);
    }
    if (app.count("--sensors")) {
        if (!toLong(sensors, 18, 22, &n) || (n != 18 && n != 22)) {
            return fail("--sensors takes 18 or 22");
        }
        o.glove.sensors = static_cast<int>(n);
    }
    if (app.count("--serial-number")) {
        if (!toLong(serialNumber, 0, 9999, &n)) {
            return fail("--serial-number takes 0..9999");
        }
        o.glove.serialNumber = static_cast<int>(n);
    }
    if (app.count("--battery-mv")) {
        if (!toLong(batteryMv, 0, 9999, &n)) {
            return fail("--battery-mv takes 0..9999");
        }
        o.glove.batteryMv = static_cast<int>(n);
    }
    if (app.count("--sdcard") && o.glove.sdcardDir.empty()) {
        return fail("--sdcard needs a folder");
    }
    if (app.count("--script") && o.scriptPath.empty()) {
        return fail("--script needs a file");
    }
    if (app.count("--record") && o.recordPath.empty()) {
        return fail("--record needs a file");
    }
    if (app.count("--delay-ms")) {
        if (!toLong(delayMs, 0, 60000, &n)) {
            return fail("--delay-ms takes 0..60000");
        }
        o.glove.outputDelay = Millis(n);
    }
    if (app.count("--stamp-file") && o.stampPath.empty()) {
        return fail("--stamp-file needs a file");
    }
    for (const std::string& fault : faults) {
        std::string err;
        if (!applyFault(fault, &o.glove.faults, &err)) {
            return fail(err);
        }
    }
    if (o.tcp && !o.linkPath.empty()) {
        return fail("--link applies to the serial mode only");
    }
    o.glove.transport = o.tcp ? Transport::Tcp : Transport::Serial;
    return o;
}

}  // namespace glovesim

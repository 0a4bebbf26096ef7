// dmctl: lists the device-manager plug-ins, reads a device's values, sends raw control
// messages.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"
#include "meters/latencymeter.hpp"
#include "meters/stampfile.hpp"

namespace {

void fail(const char* what, int code) {
    std::fprintf(stderr, "dmctl: %s: %s (%d)\n", what, RZ_ErrorName(code), code);
}

bool parseInt(const char* text, long min, long max, long& out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 0);
    if (end == text || *end != '\0' || v < min || v > max) {
        return false;
    }
    out = v;
    return true;
}

bool parseHex(const std::string& text, std::vector<uint8_t>& out) {
    std::string digits;
    for (char c : text) {
        if (c != ' ' && c != ':') {
            digits += c;
        }
    }
    if (digits.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        char* end = nullptr;
        std::string pair = digits.substr(i, 2);
        long v = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0') {
            return false;
        }
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

// Server text of RZ_DeviceOpen: in-process unless --server named a dmserver.
std::string gServer = "server=localhost:port=0";

int remotePlugins() {
    RzPluginInfo infos[64];
    int n = RZ_GetServerPlugins(gServer.c_str(), infos, 64);
    if (n < 0) {
        fail("server", n);
        return 1;
    }
    std::printf("%-10s %-4s %-14s %s\n", "module", "kind", "name", "versions");
    for (int i = 0; i < n && i < 64; ++i) {
        std::printf("%-10s %-4d %-14s %d/%d\n", infos[i].module, infos[i].kind, infos[i].name,
                    infos[i].versionA, infos[i].versionB);
    }
    return 0;
}

int plugins() {
    if (gServer.rfind("server=localhost:port=0", 0) != 0) {
        return remotePlugins();
    }
    int n = RZ_PluginCount();
    if (n == 0) {
        char folder[1024] = {};
        RZ_GetPluginFolder(folder, sizeof(folder));
        std::fprintf(stderr, "dmctl: no plug-ins in %s\n", folder);
        return 1;
    }
    std::printf("%-10s %-4s %-14s %s\n", "module", "kind", "name", "versions");
    for (int i = 0; i < n; ++i) {
        RzPluginInfo info{};
        if (RZ_GetPluginInfo(i, &info) == 0) {
            std::printf("%-10s %-4d %-14s %d/%d\n", info.module, info.kind, info.name,
                        info.versionA, info.versionB);
        }
    }
    return 0;
}

RzDeviceHandle open(const std::string& type, const std::string& device,
                    const std::string& settings) {
    std::string url = device;
    if (!settings.empty()) {
        url += ":" + settings;
    }
    RzDeviceHandle h = RZ_DeviceOpen(gServer.c_str(), url.c_str(), type.c_str());
    if (h == 0) {
        std::string what = "cannot open " + type + " \"" + url + "\"";
        fail(what.c_str(), RZ_GetLastError());
    }
    return h;
}

// Prints the records the device writes to an attached data stream. The stream delivers on
// its own thread, so the device's feeding thread (a serial watcher) never waits for the
// reader or for a stdout that is slow to drain.
struct Printer {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
    // Lines queued at most, however long stdout stalls: more could never be printed.
    size_t keep = 0;
    int width = 0;
    bool quit = false;
    // Receive times (steady clock, ns) of the kept records, for --latency.
    std::vector<int64_t> received;
};

int printerReader(RzDataStream* s, int reason) {
    auto* p = static_cast<Printer*>(RZ_DataStreamUser(s));
    std::lock_guard<std::mutex> lock(p->mutex);
    if (reason == RZ_STREAM_QUIT) {
        p->quit = true;
    } else if (reason == RZ_STREAM_FULL) {
        RZ_DataStreamPurge(s);
    } else if (reason == RZ_STREAM_DATA) {
        std::vector<uint8_t> record(static_cast<size_t>(p->width));
        while (RZ_DataStreamAvailable(s) >= p->width) {
            RZ_DataStreamRead(s, record.data(), p->width);
            if (p->lines.size() >= p->keep) {
                continue;
            }
            if (p->received.size() < p->keep) {
                p->received.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
            }
            std::string line;
            for (int i = 0; i < p->width; i += 8) {
                char value[32];
                std::snprintf(value, sizeof(value), "%s%.6f", i ? "," : "",
                              RZ_GetDouble(record.data() + i));
                line += value;
            }
            p->lines.push_back(line);
        }
    }
    p->changed.notify_all();
    return 0;
}

// Matches each record's receive time with the newest stamp the simulator had sent by then
// (records arrive in order and the driver publishes the newest of a batch) and prints latency,
// jitter, rate and the drift between the sender's clock and this one.
void printLatency(const std::vector<int64_t>& received, const std::string& stampPath) {
    glove::StampFile stamps(stampPath, received.size() + 4096);
    if (!stamps.poll()) {
        std::fprintf(stderr, "dmctl: cannot read stamp file %s\n", stampPath.c_str());
        return;
    }
    glove::LatencyMeter meter(std::max<size_t>(received.size(), 2));
    for (int64_t r : received) {
        if (auto st = stamps.lastSentBy(r)) {
            meter.addLatency(static_cast<double>(st->madeNs) * 1e-9, static_cast<double>(r) * 1e-9);
            meter.addFrame(static_cast<double>(st->madeNs) * 1e-9, static_cast<double>(r) * 1e-9);
        }
    }
    std::fprintf(stderr, "dmctl: %s\n", glove::formatLatency(meter.stats()).c_str());
}

int streamValues(RzDeviceHandle h, int item, long count, const std::string& latencyStamps) {
    std::vector<uint8_t> probe(65536);
    int width =
        RZ_DeviceControlGet(h, RZ_MSG_READ, item, probe.data(), static_cast<int>(probe.size()));
    if (width <= 0 || width % 8 != 0) {
        std::fprintf(stderr, "dmctl: the device gives no values to stream\n");
        return 1;
    }
    Printer printer;
    printer.width = width;
    printer.keep = static_cast<size_t>(count);
    RzDataStream* stream = RZ_DataStreamNewEx(65536, printerReader, &printer, RZ_STREAM_OWN_THREAD);
    int r = stream ? RZ_DeviceAttachDataStream(h, stream) : RZERR_OUT_OF_MEMORY;
    if (r != 0) {
        fail("attach", r);
        RZ_DataStreamDestroy(stream);
        return 1;
    }
    std::printf("n");
    for (int i = 0; i < width / 8; ++i) {
        std::printf(",v%d", i);
    }
    std::printf("\n");
    long printed = 0;
    int status = 0;
    while (printed < count) {
        std::vector<std::string> lines;
        {
            std::unique_lock<std::mutex> lock(printer.mutex);
            if (!printer.changed.wait_for(lock, std::chrono::seconds(10),
                                          [&] { return !printer.lines.empty() || printer.quit; })) {
                std::fprintf(stderr, "dmctl: no data for 10 s\n");
                status = 1;
                break;
            }
            lines.swap(printer.lines);
            if (lines.empty() && printer.quit) {
                break;
            }
        }
        for (const auto& line : lines) {
            if (printed < count) {
                std::printf("%ld,%s\n", printed++, line.c_str());
            }
        }
    }
    std::fflush(stdout);
    RZ_DeviceDetachDataStream(h, stream);
    RZ_DataStreamDestroy(stream);
    if (!latencyStamps.empty()) {
        printLatency(printer.received, latencyStamps);  // the reader thread has ended
    }
    return status;
}

struct ReadArgs {
    std::string type, device, settings;
    std::string item, count, interval;
    std::string latency;  // a simulator's stamp file
    bool stream = false;
};

int read(const ReadArgs& args) {
    long item = 2, count = 20, interval = 20;
    const struct {
        const char* option;
        const std::string& text;
        long min, max;
        long& out;
    } numbers[] = {
        {"--item", args.item, 0, 127, item},
        {"--count", args.count, 1, 1000000, count},
        {"--interval", args.interval, 0, 3600000, interval},
    };
    for (const auto& n : numbers) {
        if (!n.text.empty() && !parseInt(n.text.c_str(), n.min, n.max, n.out)) {
            std::fprintf(stderr, "dmctl: bad value for %s: %s\n", n.option, n.text.c_str());
            return 2;
        }
    }
    const std::string& type = args.type;
    const std::string& device = args.device;
    const std::string& settings = args.settings;
    const bool stream = args.stream;
    if (!args.latency.empty() && !stream) {
        std::fprintf(stderr, "dmctl: --latency needs --stream\n");
        return 2;
    }
    RzDeviceHandle h = open(type, device, settings);
    if (h == 0) {
        return 1;
    }
    if (stream) {
        int status = streamValues(h, static_cast<int>(item), count, args.latency);
        RZ_DeviceClose(h);
        return status;
    }
    int status = 0;
    std::vector<uint8_t> buffer(65536);
    auto start = std::chrono::steady_clock::now();
    for (long n = 0; n < count; ++n) {
        if (n > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(interval));
        }
        int length = 0;
        int r = RZ_DeviceControl(h, 15, static_cast<int>(item), buffer.data(), &length,
                                 static_cast<int>(buffer.size()));
        if (r < 0) {
            fail("read", r);
            status = 1;
            break;
        }
        double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (n == 0) {
            std::printf("t");
            for (int i = 0; i < length / 8; ++i) {
                std::printf(",v%d", i);
            }
            std::printf("\n");
        }
        std::printf("%.3f", t);
        if (length % 8 == 0) {
            for (int i = 0; i < length; i += 8) {
                std::printf(",%.6f", RZ_GetDouble(buffer.data() + i));
            }
        } else {
            for (int i = 0; i < length; ++i) {
                std::printf(",%d", buffer[static_cast<size_t>(i)]);
            }
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    RZ_DeviceClose(h);
    return status;
}

struct SendArgs {
    std::string type, device, message, item, hex;
};

int send(const SendArgs& args) {
    long message = 0, item = 0;
    if (!parseInt(args.message.c_str(), 0, 255, message) ||
        !parseInt(args.item.c_str(), 0, 255, item)) {
        std::fprintf(stderr, "dmctl: MESSAGE and ITEM are numbers from 0 to 255\n");
        return 2;
    }
    std::vector<uint8_t> payload;
    if (!args.hex.empty() && !parseHex(args.hex, payload)) {
        std::fprintf(stderr, "dmctl: HEX must be pairs of hexadecimal digits\n");
        return 2;
    }
    RzDeviceHandle h = open(args.type, args.device, "");
    if (h == 0) {
        return 1;
    }
    std::vector<uint8_t> buffer(65536);
    std::copy(payload.begin(), payload.end(), buffer.begin());
    int length = static_cast<int>(payload.size());
    int r = RZ_DeviceControl(h, static_cast<int>(message), static_cast<int>(item), buffer.data(),
                             &length, static_cast<int>(buffer.size()));
    std::printf("result %d %s, %d bytes", r, RZ_ErrorName(r), length);
    for (int i = 0; i < length; ++i) {
        std::printf("%s%02x", i == 0 ? ": " : " ", buffer[static_cast<size_t>(i)]);
    }
    std::printf("\n");
    RZ_DeviceClose(h);
    return r < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Lists the device-manager plug-ins, reads a device's values, sends raw control "
        "messages.",
        "dmctl"};
    app.set_version_flag("--version", std::string("dmctl ") + MANUVIA_VERSION);
    app.require_subcommand(0, 1);
    std::string verbose;
    app.add_option("--verbose", verbose, "Device-manager log level, 0 to 9")->option_text("N");
    std::string server;
    app.add_option("--server", server, "Go through the dmserver at HOST:PORT")->option_text("ADDR");

    ReadArgs readArgs;
    app.add_subcommand("plugins", "List the plug-ins and their device types");
    CLI::App* readCommand = app.add_subcommand("read", "Print a device's values as CSV");
    readCommand->add_option("TYPE", readArgs.type, "Device type")->required();
    readCommand->add_option("DEVICE", readArgs.device, "Device name or port")->required();
    readCommand->add_option("--settings", readArgs.settings, "Settings text for the device")
        ->option_text("TEXT");
    readCommand->add_option("--item", readArgs.item, "Item to read (default 2)")->option_text("N");
    readCommand->add_option("--count", readArgs.count, "Number of readings (default 20)")
        ->option_text("N");
    readCommand->add_option("--interval", readArgs.interval, "Pause between readings (default 20)")
        ->option_text("MS");
    readCommand->add_flag("--stream", readArgs.stream,
                          "Take the readings from the device's stream");
    readCommand
        ->add_option("--latency", readArgs.latency,
                     "With --stream: print latency, jitter, rate and drift measured against "
                     "the send stamps a simulator writes to FILE")
        ->option_text("FILE");

    SendArgs sendArgs;
    CLI::App* sendCommand =
        app.add_subcommand("send", "Send one control message and print the reply");
    sendCommand->add_option("TYPE", sendArgs.type, "Device type")->required();
    sendCommand->add_option("DEVICE", sendArgs.device, "Device name or port")->required();
    sendCommand->add_option("MESSAGE", sendArgs.message, "Message number, 0 to 255")->required();
    sendCommand->add_option("ITEM", sendArgs.item, "Item number, 0 to 255")->required();
    sendCommand->add_option("HEX", sendArgs.hex, "Payload as pairs of hexadecimal digits");

    // A repeated option takes its last value, as it always has.
    for (CLI::App* sub : {&app, readCommand, sendCommand}) {
        for (CLI::Option* option : sub->get_options()) {
            option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "dmctl: %s\n(dmctl --help shows the usage)\n", e.what());
        return 2;
    }
    // Checked here rather than by the parser, which would not name a bad option first.
    if (app.get_subcommands().empty()) {
        std::fprintf(stderr, "dmctl: missing command\n(dmctl --help shows the usage)\n");
        return 2;
    }
    if (!server.empty()) {
        size_t colon = server.rfind(':');
        long port = 0;
        if (colon == std::string::npos || colon == 0 ||
            !parseInt(server.c_str() + colon + 1, 1, 65535, port)) {
            std::fprintf(stderr, "dmctl: bad value for --server: %s (HOST:PORT)\n", server.c_str());
            return 2;
        }
        gServer = "server=" + server.substr(0, colon) + ":port=" + std::to_string(port);
    }
    if (!verbose.empty()) {
        long level = 0;
        if (!parseInt(verbose.c_str(), 0, 9, level)) {
            std::fprintf(stderr, "dmctl: bad value for --verbose: %s\n", verbose.c_str());
            return 2;
        }
        RZ_SetVerbosity(static_cast<int>(level));
    }
    int status;
    if (readCommand->parsed()) {
        status = read(readArgs);
    } else if (sendCommand->parsed()) {
        status = send(sendArgs);
    } else {
        status = plugins();
    }
    RZ_UnloadPlugins();
    return status;
}

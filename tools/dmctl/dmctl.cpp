// dmctl: lists the device-manager plug-ins, reads a device's values, sends raw control
// messages.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: dmctl [--verbose N] plugins\n"
                 "       dmctl [--verbose N] read TYPE DEVICE [--settings TEXT] [--item N]\n"
                 "                               [--count N] [--interval MS] [--stream]\n"
                 "       dmctl [--verbose N] send TYPE DEVICE MESSAGE ITEM [HEX]\n");
    return 2;
}

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

int plugins() {
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
    RzDeviceHandle h = RZ_DeviceOpen("server=localhost:port=0", url.c_str(), type.c_str());
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

int streamValues(RzDeviceHandle h, int item, long count) {
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
    return status;
}

int read(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    std::string type = argv[0], device = argv[1], settings;
    long item = 2, count = 20, interval = 20;
    bool stream = false;
    for (int i = 2; i < argc; ++i) {
        std::string opt = argv[i];
        if (opt == "--stream") {
            stream = true;
            continue;
        }
        if (i + 1 >= argc) {
            return usage();
        }
        const char* value = argv[++i];
        bool ok = true;
        if (opt == "--settings") {
            settings = value;
        } else if (opt == "--item") {
            ok = parseInt(value, 0, 127, item);
        } else if (opt == "--count") {
            ok = parseInt(value, 1, 1000000, count);
        } else if (opt == "--interval") {
            ok = parseInt(value, 0, 3600000, interval);
        } else {
            return usage();
        }
        if (!ok) {
            std::fprintf(stderr, "dmctl: bad value for %s: %s\n", opt.c_str(), value);
            return 2;
        }
    }
    RzDeviceHandle h = open(type, device, settings);
    if (h == 0) {
        return 1;
    }
    if (stream) {
        int status = streamValues(h, static_cast<int>(item), count);
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

int send(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        return usage();
    }
    long message = 0, item = 0;
    if (!parseInt(argv[2], 0, 255, message) || !parseInt(argv[3], 0, 255, item)) {
        std::fprintf(stderr, "dmctl: MESSAGE and ITEM are numbers from 0 to 255\n");
        return 2;
    }
    std::vector<uint8_t> payload;
    if (argc == 5 && !parseHex(argv[4], payload)) {
        std::fprintf(stderr, "dmctl: HEX must be pairs of hexadecimal digits\n");
        return 2;
    }
    RzDeviceHandle h = open(argv[0], argv[1], "");
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
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "--verbose") == 0) {
        long level = 0;
        if (!parseInt(argv[i + 1], 0, 9, level)) {
            return usage();
        }
        RZ_SetVerbosity(static_cast<int>(level));
        i += 2;
    }
    if (i >= argc) {
        return usage();
    }
    std::string command = argv[i++];
    int status;
    if (command == "plugins") {
        status = plugins();
    } else if (command == "read") {
        status = read(argc - i, argv + i);
    } else if (command == "send") {
        status = send(argc - i, argv + i);
    } else {
        return usage();
    }
    RZ_UnloadPlugins();
    return status;
}

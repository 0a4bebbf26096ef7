// dmserver: the device manager as a network service. Loads the device-manager plug-ins and
// serves remote clients of the core (RZ_DeviceOpen with "server=HOST:port=N") over ZeroMQ;
// the message format is in PROTOCOL.md.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "devicemanager/rzclient.h"
#include "handforward.hpp"
#include "log.hpp"
#include "server.hpp"
#include "tty/tty.hpp"

namespace {

std::string defaultConfigFile() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        return std::string(xdg) + "/manuvia/dmserver.conf";
    }
    if (const char* home = std::getenv("HOME"); home && *home) {
        return std::string(home) + "/.config/manuvia/dmserver.conf";
    }
    return {};
}

// "HOST:PORT" or "[V6]:PORT"; the port may be 0 (any free port).
bool parseBind(const std::string& text, std::string& host, int& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    char* end = nullptr;
    std::string digits = text.substr(colon + 1);
    long v = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || v < 0 || v > 65535 || host.empty()) {
        return false;
    }
    port = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Serves the device-manager plug-ins to remote clients over ZeroMQ. Clients open devices "
        "with the server text \"server=HOST:port=PORT\".",
        "dmserver"};
    app.set_version_flag("--version", std::string("dmserver ") + MANUVIA_VERSION);
    dmserver::ServerOptions options;
    std::string bind = "127.0.0.1:7800";
    std::string logLevel = "info";
    std::string plugins;
    int verbose = 0;
    std::string osc, vmc;
    bool dds = false;
    double rate = 0.0;
    app.set_config("--config", defaultConfigFile(),
                   "key=value file (default $XDG_CONFIG_HOME/manuvia/dmserver.conf); "
                   "command-line options override it")
        ->option_text("FILE");
    app.add_option("--bind", bind,
                   "Control address HOST:PORT (default 127.0.0.1:7800, port 0: any)")
        ->option_text("ADDR");
    app.add_option("--data-port", options.dataPort,
                   "Port of the stream publisher on the same host (default 0: any)")
        ->check(CLI::Range(0, 65535))
        ->option_text("PORT");
    app.add_option("--plugins", plugins,
                   "Plug-in folder (default RZ_PLUGIN_PATH, else rzplugins next to the core)")
        ->option_text("DIR");
    app.add_option("--lease-ms", options.leaseMs,
                   "A client silent this long loses its devices (default 5000)")
        ->check(CLI::Range(100, 3600000))
        ->option_text("MS");
    app.add_option("--workers", options.workers, "Threads that call into the plug-ins (default 8)")
        ->check(CLI::Range(1, 256))
        ->option_text("N");
    app.add_option("--io-threads", options.ioThreads,
                   "ZeroMQ I/O threads sending to the clients (default 1)")
        ->check(CLI::Range(1, 16))
        ->option_text("N");
    app.add_option("--log-level", logLevel, "error, warn, info (default) or debug")
        ->check(CLI::IsMember({"error", "warn", "info", "debug"}))
        ->option_text("LEVEL");
    app.add_option("--verbose", verbose, "Plug-in verbosity, 0 to 9 (default RZ_VERBOSE)")
        ->check(CLI::Range(0, 9))
        ->option_text("N");
    app.add_option("--osc", osc, "Also send every glove's joint angles as OSC to HOST:PORT")
        ->option_text("ADDR");
    app.add_option("--vmc", vmc, "Also send every glove's hand as VMC bones to HOST:PORT")
        ->option_text("ADDR");
    app.add_flag("--dds", dds, "Also publish every glove as a ROS 2 JointState over DDS");
    app.add_option("--rate", rate, "Send at most HZ frames a second per glove (default: all)")
        ->check(CLI::Range(0.01, 10000.0))
        ->option_text("HZ");
    for (CLI::Option* option : app.get_options()) {
        option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "dmserver: %s\n(dmserver --help shows the usage)\n", e.what());
        return 2;
    }
    if (!parseBind(bind, options.host, options.port)) {
        std::fprintf(stderr, "dmserver: bad value for --bind: %s (HOST:PORT)\n", bind.c_str());
        return 2;
    }
    streaming::StreamOptions targets;
    const char* option = "--osc";
    try {
        if (!osc.empty()) {
            targets.osc = streaming::parseTarget(osc);
        }
        option = "--vmc";
        if (!vmc.empty()) {
            targets.vmc = streaming::parseTarget(vmc);
        }
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "dmserver: %s: %s\n", option, e.what());
        return 2;
    }
    targets.dds = dds;
    targets.rateHz = rate;
    dmserver::setLogLevel(logLevel);
    if (app.count("--verbose") > 0) {
        RZ_SetVerbosity(verbose);
    }

    // Before any thread starts, so that every thread keeps the stop signals blocked.
    const int stopFd = tty::stopSignals({SIGINT, SIGTERM});
    if (stopFd < 0) {
        dmserver::log(dmserver::LogLevel::Error, "cannot receive stop signals: %s",
                      std::strerror(errno));
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);

    int loaded = RZ_LoadPlugins(plugins.empty() ? nullptr : plugins.c_str());
    if (loaded < 0) {
        char folder[1024] = {};
        RZ_GetPluginFolder(folder, sizeof(folder));
        dmserver::log(dmserver::LogLevel::Error, "cannot read the plug-in folder %s: %s",
                      plugins.empty() ? folder : plugins.c_str(), RZ_ErrorName(loaded));
        return 1;
    }
    if (loaded == 0) {
        dmserver::log(dmserver::LogLevel::Warn, "no plug-ins loaded: every open will fail");
    }
    int status = 0;
    // Outlives the server, which closes its devices (and so their glove streams) on the way out.
    std::unique_ptr<dmserver::HandForwarder> forward;
    if (targets.any()) {
        try {
            forward = std::make_unique<dmserver::HandForwarder>(targets);
        } catch (const std::runtime_error& e) {
            dmserver::log(dmserver::LogLevel::Error, "cannot stream: %s", e.what());
            RZ_UnloadPlugins();
            return 1;
        }
        options.forward = forward.get();
    }
    {
        dmserver::DeviceServer server(options);
        std::string error;
        if (!server.bind(error)) {
            dmserver::log(dmserver::LogLevel::Error, "cannot bind %s", error.c_str());
            RZ_UnloadPlugins();
            return 1;
        }
        // The first line of standard output tells scripts and tests the ports in use.
        std::printf("dmserver listening on %s:%d, data on port %d\n", options.host.c_str(),
                    server.controlPort(), server.dataPort());
        std::fflush(stdout);
        dmserver::log(dmserver::LogLevel::Info, "%d plug-in(s), lease %d ms, %d worker(s)", loaded,
                      options.leaseMs, options.workers);
        server.run(stopFd);
    }
    forward.reset();
    RZ_UnloadPlugins();
    dmserver::log(dmserver::LogLevel::Info, "stopped");
    return status;
}

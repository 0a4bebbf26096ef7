// kelbsim: the wired glove behind its interface unit, on a pseudo-terminal it creates.
// Prints the terminal's path as the first line of standard output.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "kelbunit.hpp"
#include "tty/tty.hpp"

namespace {

int complain(const std::string& text) {
    std::cerr << "kelbsim: " << text << "\n";
    return 2;
}

// For the command line only: nothing is open yet that would need cleaning up.
[[noreturn]] void fail(const std::string& text) {
    std::exit(complain(text));
}

long toLong(const std::string& text, const char* what) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0') {
        fail(std::string("bad ") + what + ": '" + text + "'");
    }
    return v;
}

double toDouble(const std::string& text, const char* what) {
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0') {
        fail(std::string("bad ") + what + ": '" + text + "'");
    }
    return v;
}

// AFTER:SECONDS, as silence, noise and error take it.
void parseAfterSeconds(const std::string& name, const std::string& value, long& out_after,
                       double& out_seconds) {
    auto colon = value.find(':');
    if (colon == std::string::npos) {
        fail(name + " needs AFTER:SECONDS");
    }
    out_after = toLong(value.substr(0, colon), (name + " record count").c_str());
    out_seconds = toDouble(value.substr(colon + 1), (name + " seconds").c_str());
    if (out_after < 0 || out_seconds < 0) {
        fail(name + " takes a record count and seconds of at least 0");
    }
}

void parseFault(const std::string& fault, kelbsim::Faults& f) {
    if (fault == "mute") {
        f.mute = true;
        return;
    }
    auto eq = fault.find('=');
    if (eq == std::string::npos) {
        fail("fault needs a value: '" + fault + "'");
    }
    std::string name = fault.substr(0, eq);
    std::string value = fault.substr(eq + 1);
    if (name == "silence") {
        parseAfterSeconds(name, value, f.silenceAfter, f.silenceSeconds);
    } else if (name == "noise") {
        parseAfterSeconds(name, value, f.noiseAfter, f.noiseSeconds);
    } else if (name == "error") {
        parseAfterSeconds(name, value, f.errorAfter, f.errorSeconds);
    } else if (name == "truncate") {
        f.truncateEvery = toLong(value, "truncate period");
    } else if (name == "garbage") {
        f.garbageEvery = toLong(value, "garbage period");
    } else if (name == "oversize") {
        f.oversizeAfter = toLong(value, "oversize record count");
    } else if (name == "slow") {
        auto colon = value.find(':');
        long ms = toLong(value.substr(0, colon), "slow milliseconds");
        if (ms <= 0 || ms > 600000) {
            fail("slow takes 1 to 600000 milliseconds");
        }
        f.slowSeconds = static_cast<double>(ms) / 1000.0;
        f.slowCommand = colon == std::string::npos ? std::string() : value.substr(colon + 1);
        if (colon != std::string::npos && !kelbsim::knownCommandName(f.slowCommand)) {
            fail("slow: unknown command '" + f.slowCommand + "'");
        }
    } else {
        fail("unknown fault '" + name + "'");
    }
}

std::string hex(const std::uint8_t* data, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) {
            out += ' ';
        }
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

double monotonicSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The link named on the command line, removed again however the run ends.
class LinkGuard {
  public:
    ~LinkGuard() {
        if (placed_) {
            tty::removeLink(path_);
        }
    }
    bool place(const std::string& path, const std::string& target, std::string* out_error) {
        path_ = path;
        placed_ = tty::placeLink(path, target, out_error);
        return placed_;
    }

  private:
    std::string path_;
    bool placed_ = false;
};

}  // namespace

int run(int argc, char** argv) {
    kelbsim::Options options;
    kelbsim::Faults faults;
    std::string link;
    std::string recordPath;
    std::string stampPath;
    long delayMs = 0;
    bool verbose = false;

    std::string mask;
    std::string serialNumber;
    std::string rate;
    std::string script;
    std::vector<std::string> faultTexts;
    CLI::App app{"The wired glove behind its interface unit, on a pseudo-terminal it creates.",
                 "kelbsim"};
    // A repeated option takes its last value, as before.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.set_version_flag("--version", std::string("kelbsim ") + MANUVIA_VERSION);
    app.add_option("--link", link, "Also reach the terminal through this symbolic link")
        ->option_text("PATH");
    bool left = false;
    bool unplugged = false;
    app.add_flag("--left", left, "Be a left glove");
    app.add_flag("--unplugged", unplugged, "Report the glove unplugged");
    app.add_option("--mask", mask, "Sensor mask, 24 bits with no zero byte")->option_text("HEX");
    app.add_option("--serial-number", serialNumber, "Serial number")->option_text("N");
    app.add_option("--rate", rate, "Records per second")->option_text("HZ");
    app.add_flag("--wrist", options.wristSwitch, "Report the wrist switch");
    app.add_option("--script", script, "Play the records in FILE")->option_text("FILE");
    app.add_option("--record", recordPath, "Write every exchange to FILE")->option_text("FILE");
    app.add_option("--delay-ms", delayMs, "Hold everything sent back this long")
        ->option_text("N")
        ->check(CLI::Range(0L, 60000L));
    app.add_option("--stamp-file", stampPath, "Write each record's send times to FILE")
        ->option_text("FILE");
    app.add_option("--fault", faultTexts,
                   "silence=AFTER:SECONDS, truncate=EVERY, garbage=EVERY, oversize=AFTER, "
                   "noise=AFTER:SECONDS, slow=MS[:COMMAND], mute or error=AFTER:SECONDS "
                   "(see the README)")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->option_text("FAULT");
    app.add_flag("--verbose", verbose, "Log every exchange");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return complain(e.what());
    }
    options.rightHand = !left;
    options.plugged = !unplugged;
    if (!mask.empty()) {
        long m = toLong(mask, "mask");
        if (m <= 0 || m > 0xffffff || (m & 0xff) == 0 || (m & 0xff00) == 0 || (m & 0xff0000) == 0) {
            fail("mask must be 24 bits with no zero byte (it travels inside NUL-framed replies)");
        }
        options.mask = static_cast<std::uint32_t>(m);
    }
    if (!serialNumber.empty()) {
        options.serialNumber = static_cast<int>(toLong(serialNumber, "serial number"));
    }
    if (!rate.empty()) {
        options.rateHz = toDouble(rate, "rate");
        if (options.rateHz <= 0 || options.rateHz > 10000) {
            fail("rate must be in (0, 10000] records per second");
        }
    }
    if (!script.empty()) {
        std::ifstream in(script);
        if (!in) {
            fail("cannot open script '" + script + "'");
        }
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            auto hash = line.find('#');
            if (hash != std::string::npos) {
                line.resize(hash);
            }
            if (line.find_first_not_of(" \t\r") == std::string::npos) {
                continue;
            }
            try {
                options.script.push_back(kelbsim::parseScriptLine(line));
            } catch (const std::exception& e) {
                fail(script + ":" + std::to_string(number) + ": " + e.what());
            }
        }
        if (options.script.empty()) {
            fail("script '" + script + "' has no records");
        }
    }
    for (const std::string& fault : faultTexts) {
        parseFault(fault, faults);
    }

    // Holding the slave open keeps the master from reporting hang-ups between clients.
    tty::Pty pty;
    std::string error;
    if (!pty.open({.nonBlocking = true, .raw = true, .baud = 0, .holdSlave = true}, &error)) {
        return complain(error);
    }
    const int master = pty.master();
    const std::string slavePath = pty.path();

    LinkGuard linkGuard;
    if (!link.empty() && !linkGuard.place(link, slavePath, &error)) {
        return complain(error);
    }

    std::ofstream record;
    if (!recordPath.empty()) {
        record.open(recordPath, std::ios::app);
        if (!record) {
            return complain("cannot open record file '" + recordPath + "'");
        }
    }

    // A hang-up of the terminal kelbsim was started from ends it like an interrupt, with the
    // link removed.
    const int stopFd = tty::stopSignals({SIGINT, SIGTERM, SIGHUP});
    if (stopFd < 0) {
        return complain(std::string("cannot receive stop signals: ") + std::strerror(errno));
    }
    std::signal(SIGPIPE, SIG_IGN);

    std::FILE* stamps = nullptr;
    if (!stampPath.empty() && !(stamps = std::fopen(stampPath.c_str(), "a"))) {
        return complain("cannot open stamp file '" + stampPath + "'");
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> stampsGuard(stamps, &std::fclose);

    auto writeOut = [master, verbose](const std::vector<std::uint8_t>& bytes) {
        std::size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = write(master, bytes.data() + off, bytes.size() - off);
            if (n > 0) {
                off += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                // Nobody is reading the line: the unit's output is lost, as on a real wire.
                if (verbose) {
                    std::cerr << "kelbsim: output dropped\n";
                }
                return;
            }
        }
    };
    // Everything the unit sends waits here for --delay-ms. Streamed records are numbered and
    // stamped when made and when written: the line has no room for a host time.
    struct Outgoing {
        double due;
        double made;
        std::vector<std::uint8_t> bytes;
        long sequence;  // 0: not a sensor record
    };
    std::deque<Outgoing> outgoing;
    long sequence = 0;
    const double delay = static_cast<double>(delayMs) / 1000.0;
    auto flushDue = [&]() {
        while (!outgoing.empty() && outgoing.front().due <= monotonicSeconds()) {
            Outgoing& o = outgoing.front();
            // Stamped before the write: the reader may have the record before write() returns.
            double sent = monotonicSeconds();
            writeOut(o.bytes);
            if (stamps && o.sequence > 0) {
                auto ns = [](double sec) { return static_cast<long long>(sec * 1e9); };
                std::fprintf(stamps, "%ld %lld %lld\n", o.sequence, ns(o.made), ns(sent));
                std::fflush(stamps);
            }
            outgoing.pop_front();
        }
    };
    auto sink = [&](const std::vector<std::uint8_t>& bytes) {
        constexpr std::size_t kMaxOutgoing = 4096;  // a stalled line loses output, not memory
        if (outgoing.size() >= kMaxOutgoing) {
            return;
        }
        double now = monotonicSeconds();
        bool sensorRecord = bytes.size() > 3 && (bytes[0] == 'S' || bytes[0] == 'G');
        outgoing.push_back(Outgoing{now + delay, now, bytes, sensorRecord ? ++sequence : 0});
        flushDue();
    };
    auto note = [&record, verbose](const std::string& text) {
        if (record) {
            record << "# " << text << "\n";
            record.flush();
        }
        if (verbose) {
            std::cerr << "kelbsim: " << text << "\n";
        }
    };
    kelbsim::KelbUnit unit(options, faults, sink, note);

    std::cout << slavePath << std::endl;

    std::uint8_t buf[512];
    while (!tty::readableWithin(stopFd, std::chrono::milliseconds(0))) {
        double now = monotonicSeconds();
        unit.tick(now);
        flushDue();
        double due = unit.secondsUntilDue(monotonicSeconds());
        if (!outgoing.empty()) {
            double out = std::max(outgoing.front().due - monotonicSeconds(), 0.0);
            due = due < 0 ? out : std::min(due, out);
        }
        int timeoutMs = due < 0 ? 200 : static_cast<int>(std::ceil(due * 1000.0));
        pollfd fds[2] = {{master, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const pollfd& p = fds[0];
        int r = poll(fds, 2, std::min(timeoutMs, 200));
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return complain(std::string("poll: ") + std::strerror(errno));
        }
        if (r > 0 && (p.revents & (POLLERR | POLLNVAL)) != 0) {
            return complain("the terminal failed");
        }
        if (r > 0 && (p.revents & POLLIN)) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return complain(std::string("read: ") + std::strerror(errno));
            }
            if (n > 0) {
                if (record) {
                    record << hex(buf, static_cast<std::size_t>(n)) << "\n";
                    record.flush();
                }
                unit.tick(monotonicSeconds());
                unit.feed(buf, static_cast<std::size_t>(n));
            }
        }
    }
    return 0;
}

int main(int argc, char** argv) {
    // Caught here so that the link's guard is unwound on the way out.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        return complain(e.what());
    }
}

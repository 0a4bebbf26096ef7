#include "testsupport/simulator.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "testsupport/checks.hpp"
#include "testsupport/tempdir.hpp"
#include "tty/tty.hpp"

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kStartLimit = 20s;  // a child becoming ready (scaled)
constexpr std::size_t kKeptOutput = 1 << 20;
constexpr uid_t kNobody = 65534;

const char* const kSanitizerReports[] = {"ERROR: AddressSanitizer",
                                         "runtime error:", "WARNING: ThreadSanitizer",
                                         "ERROR: LeakSanitizer"};

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int statusCode(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// The test's environment with `extra` added; NAME=VALUE pairs replace a variable of that name.
std::vector<std::string> environment(const std::vector<std::string>& extra) {
    std::vector<std::string> out;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& x : extra) {
            replaced = replaced || x.substr(0, x.find('=')) == name;
        }
        if (!replaced) {
            out.push_back(entry);
        }
    }
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

}  // namespace

std::vector<std::string> assignments(const std::map<std::string, std::string>& vars) {
    std::vector<std::string> out;
    for (const auto& [name, value] : vars) {
        out.push_back(name + "=" + value);
    }
    return out;
}

struct ChildProcess::Scratch {
    TempDir dir{"manuvia-child"};
    std::string errors = dir.file("stderr");
};

ChildProcess::ChildProcess(const std::vector<std::string>& argv, ChildOptions options)
    : ChildProcess(argv.empty() ? std::string() : argv.front(),
                   argv.empty() ? argv : std::vector<std::string>(argv.begin() + 1, argv.end()),
                   std::move(options)) {}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           ChildOptions options)
    : name_(baseName(program)),
      options_(std::move(options)),
      scratch_(std::make_unique<Scratch>()) {
    // Everything the child needs is made before the fork: between fork and exec it may only
    // make async-signal-safe calls.
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = environment(options_.env);
    std::vector<char*> envp;
    for (auto& e : envStrings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    int out[2] = {-1, -1};
    int in[2] = {-1, -1};
    const int err =
        ::open(scratch_->errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (err < 0 || null < 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        (options_.withStdin && ::pipe2(in, O_CLOEXEC) != 0)) {
        fail("cannot prepare " + name_ + ": " + std::strerror(errno));
        for (int fd : {err, null, out[0], out[1], in[0], in[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return;
    }
    const bool dropRoot = options_.unprivileged && ::geteuid() == 0;
    const bool merge = options_.mergeStderr;
    pid_ = ::fork();
    if (pid_ == 0) {
        // Ends with the test program, also when a test crashes.
        ::dup2(options_.withStdin ? in[0] : null, 0);
        ::dup2(out[1], 1);
        ::dup2(merge ? out[1] : err, 2);
        if (dropRoot &&
            (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
            ::_exit(126);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(out[1]);
    ::close(err);
    ::close(null);
    if (in[0] >= 0) {
        ::close(in[0]);
    }
    out_ = out[0];
    in_ = in[1];
    if (pid_ < 0) {
        fail("cannot start " + name_ + ": " + std::strerror(forkError));
        return;
    }
    ready_ = true;
    if (options_.waitFirstLine) {
        firstLine_ = readLine(kStartLimit);
        if (firstLine_.empty()) {
            ready_ = false;
            fail(name_ + " printed no first line\n" + errorOutput());
        }
    }
    if (ready_ && !options_.waitForPath.empty()) {
        struct stat st {};
        ready_ = waitUntil(
            [&] {
                return ::lstat(options_.waitForPath.c_str(), &st) == 0 || (reap(WNOHANG), false) ||
                       pid_ <= 0;
            },
            kStartLimit);
        ready_ = ready_ && pid_ > 0;
        if (!ready_) {
            fail(name_ + " made no " + options_.waitForPath + "\n" + errorOutput());
        }
    }
}

ChildProcess::~ChildProcess() {
    stop();
    closeStdin();
    if (out_ >= 0) {
        ::close(out_);
    }
}

bool ChildProcess::readSome(Clock::time_point deadline) {
    if (out_ < 0) {
        return false;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{out_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready <= 0) {
        return false;
    }
    char buf[4096];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) {
        ::close(out_);
        out_ = -1;
        return false;
    }
    pending_.append(buf, static_cast<std::size_t>(n));
    output_.append(buf, static_cast<std::size_t>(n));
    if (output_.size() > 2 * kKeptOutput) {
        output_.erase(0, output_.size() - kKeptOutput);
    }
    return true;
}

std::string ChildProcess::readLine(std::chrono::milliseconds timeout) {
    std::string line;
    readLine(line, timeout);
    return line;
}

bool ChildProcess::readLine(std::string& line, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + scaled(timeout);
    for (;;) {
        const auto end = pending_.find('\n');
        if (end != std::string::npos) {
            line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return true;
        }
        if (Clock::now() >= deadline || (!readSome(deadline) && out_ < 0)) {
            line.clear();
            return false;
        }
    }
}

std::string ChildProcess::readAll(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + scaled(timeout);
    while (out_ >= 0 && Clock::now() < deadline) {
        readSome(deadline);
    }
    return std::exchange(pending_, {});
}

const std::string& ChildProcess::readUntil(const std::function<bool(const std::string&)>& done,
                                           std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + scaled(timeout);
    while (!done(output_) && out_ >= 0 && Clock::now() < deadline) {
        readSome(deadline);
    }
    return output_;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    readUntil([&](const std::string& out) { return out.find(text) != std::string::npos; }, timeout);
    return output_.find(text) != std::string::npos;
}

int ChildProcess::finish(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + scaled(timeout);
    while (out_ >= 0 && Clock::now() < deadline) {
        readSome(deadline);
    }
    const int status = waitExit(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(Clock::duration(0), deadline - Clock::now()) / slowdown() + 10ms));
    if (status == -1 && pid_ > 0) {
        killed_ = true;
        ::kill(pid_, SIGKILL);
        reap(0);
        judged_ = true;
        fail(name_ + " did not end within its time and was killed; its output:\n" + errorOutput());
    }
    return status;
}

bool ChildProcess::write(const std::string& bytes) {
    std::size_t done = 0;
    while (in_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return in_ >= 0;
}

void ChildProcess::closeStdin() {
    if (in_ >= 0) {
        ::close(in_);
        in_ = -1;
    }
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0) {
        sent_.fetch_or(std::uint64_t{1} << (sig & 63));
        ::kill(pid_, sig);
    }
}

bool ChildProcess::reap(int flags) {
    if (pid_ <= 0) {
        return true;
    }
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, flags);
    } while (r < 0 && errno == EINTR);
    if (r == pid_ || (r < 0 && errno == ECHILD)) {
        status_ = r == pid_ ? status : -1;
        pid_ = -1;
        return true;
    }
    return false;
}

int ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    const bool wasRunning = pid_ > 0;
    waitUntil([&] { return reap(WNOHANG); }, timeout);
    if (pid_ > 0) {
        return -1;
    }
    if (wasRunning || !judged_) {
        judge(true);
    }
    return statusCode(status_);
}

int ChildProcess::stop() {
    if (pid_ > 0 && !reap(WNOHANG)) {
        signal(SIGTERM);
        if (!waitUntil([&] { return reap(WNOHANG); }, options_.stopLimit)) {
            killed_ = true;
            ::kill(pid_, SIGKILL);
            reap(0);
        }
    }
    if (!judged_) {
        judge(false);
    }
    return killed_ ? -1 : statusCode(status_);
}

std::string ChildProcess::errorOutput() const {
    if (options_.mergeStderr) {
        return output_;
    }
    return readFile(scratch_->errors);
}

void ChildProcess::judge(bool collectedByTest) {
    if (pid_ > 0) {
        return;
    }
    judged_ = true;
    if (status_ == -1 && !killed_) {
        return;  // never started, reported then
    }
    std::string verdict;
    if (killed_) {
        verdict = "did not stop within " + std::to_string(scaled(options_.stopLimit).count()) +
                  " ms of SIGTERM and was killed";
    } else if (!collectedByTest && WIFEXITED(status_) && WEXITSTATUS(status_) != 0) {
        verdict = "exited with status " + std::to_string(WEXITSTATUS(status_));
    } else if (!collectedByTest && WIFSIGNALED(status_) &&
               (sent_.load() & (std::uint64_t{1} << (WTERMSIG(status_) & 63))) == 0) {
        verdict = std::string("died by signal ") + ::strsignal(WTERMSIG(status_));
    }
    const std::string errors = errorOutput();
    for (const char* report : kSanitizerReports) {
        if (errors.find(report) != std::string::npos) {
            verdict += std::string(verdict.empty() ? "" : "; ") + "reported \"" + report + "\"";
            break;
        }
    }
    if (!verdict.empty()) {
        fail(name_ + " " + verdict + "; its standard error:\n" + errors);
    }
}

namespace {

std::vector<std::string> withLink(const std::string& link, const std::vector<std::string>& extra) {
    std::vector<std::string> args;
    if (!link.empty()) {
        args = {"--link", link};
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

ChildOptions readyOnLink(ChildOptions options, const std::string& link) {
    options.waitFirstLine = true;
    options.waitForPath = link;
    return options;
}

}  // namespace

Simulator::Simulator(const std::string& program, const std::string& link,
                     const std::vector<std::string>& extra, ChildOptions options)
    : ChildProcess(program, withLink(link, extra), readyOnLink(std::move(options), link)),
      link_(link) {}

// The simulator removes its link when it exits cleanly; one that was killed leaves it behind.
Simulator::~Simulator() {
    stop();
    if (!link_.empty()) {
        tty::removeLink(link_);
    }
}

}  // namespace testsupport

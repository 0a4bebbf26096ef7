// A program under test as a child process: the simulated gloves (glovesim, kelbsim) and the
// tools and demos tests drive. Started with fork and exec (thread checkers follow a fork, not
// the shared-memory clone of posix_spawn or QProcess), standard output on a pipe, standard
// error in a file. How the child ended is checked: a non-zero exit, a signal the test did not
// send, a child that would not stop, or a sanitizer report on standard error fails the test
// that ran it, with that standard error shown.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// NAME=VALUE assignments for ChildOptions::env.
std::vector<std::string> assignments(const std::map<std::string, std::string>& vars);

struct ChildOptions {
    std::vector<std::string> env;  // NAME=VALUE, added to (or replacing) the test's own
    bool withStdin = false;        // a pipe to standard input, else /dev/null
    bool mergeStderr = false;      // standard error on the output pipe too (still scanned)
    bool unprivileged = false;     // run as nobody when the tests run as root
    // Ready once the first line of standard output arrived (a simulator's terminal path);
    // it is then firstLine(). A child that ends or stays silent past the start deadline
    // fails the test.
    bool waitFirstLine = false;
    // Ready once this path exists (a simulator's --link name).
    std::string waitForPath;
    // How long stop() waits after SIGTERM before the last resort (scaled).
    std::chrono::milliseconds stopLimit = std::chrono::seconds(10);
};

class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 ChildOptions options = {});
    // argv[0] is the program.
    explicit ChildProcess(const std::vector<std::string>& argv, ChildOptions options = {});
    ~ChildProcess();  // stop()
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Started and, when asked, ready; false once a start failure was reported.
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    const std::string& firstLine() const { return firstLine_; }

    // The next line of standard output without its line end; empty at the end of output or
    // when none completes within `timeout` (scaled).
    std::string readLine(std::chrono::milliseconds timeout);
    // The same into `line`; false at the end of output or the time-out.
    bool readLine(std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Standard output until it ends or `timeout` (scaled) passes.
    std::string readAll(std::chrono::milliseconds timeout);
    // Everything read from standard output so far (its last megabyte), also what readLine
    // handed out.
    const std::string& output() const { return output_; }
    // Reads standard output until `done(output())` holds, the output ends or `timeout`
    // (scaled) passes; gives output().
    const std::string& readUntil(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Reads standard output until `text` appeared in output() or `timeout` (scaled) passed.
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Reads standard output to its end and collects the exit status as waitExit does; a
    // child still running at `timeout` (scaled) is killed and -1 returned.
    int finish(std::chrono::milliseconds timeout = std::chrono::seconds(120));
    // Bytes to standard input (withStdin); false when the child no longer reads.
    bool write(const std::string& bytes);
    void closeStdin();

    // Sends `sig`; the child ending by it is then no fault.
    void signal(int sig);
    // Waits up to `timeout` (scaled) for the child to end by itself and returns its status:
    // the exit code, 128 + the signal that ended it, or -1 while it still runs. An ending
    // collected here is the test's to judge; only sanitizer reports are still checked.
    int waitExit(std::chrono::milliseconds timeout);
    // SIGTERM, then waits (scaled); SIGKILL only when it would not stop. Returns the status
    // as waitExit does, -1 when it had to be killed. Checks the ending; idempotent.
    int stop();
    bool running() const { return pid_ > 0; }

    // Standard error so far (the output pipe's text too with mergeStderr).
    std::string errorOutput() const;

  private:
    bool readSome(std::chrono::steady_clock::time_point deadline);
    bool reap(int flags);
    void judge(bool collectedByTest);

    std::string name_;
    ChildOptions options_;
    struct Scratch;
    std::unique_ptr<Scratch> scratch_;
    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    bool ready_ = false;
    bool judged_ = false;
    bool killed_ = false;
    // Signals the test (or stop) sent, one bit each: a SIGKILL not yet delivered when stop()
    // adds its SIGTERM is still the test's. Atomic: tests signal from their own threads.
    std::atomic<std::uint64_t> sent_{0};
    int status_ = -1;
    std::string firstLine_;
    std::string pending_;  // output read but not yet handed out
    std::string output_;   // everything read from the pipe
};

// A simulated glove (glovesim, kelbsim) on the pseudo-terminal it makes: ready once it printed
// the terminal's path and, with a `link`, made that link too (removed again at the end).
class Simulator : public ChildProcess {
  public:
    Simulator(const std::string& program, const std::string& link,
              const std::vector<std::string>& extra = {}, ChildOptions options = {});
    ~Simulator();

    const std::string& terminal() const { return firstLine(); }
    // The name a client opens: the link when there is one, else the terminal.
    const std::string& path() const { return link_.empty() ? firstLine() : link_; }

  private:
    std::string link_;
};

}  // namespace testsupport

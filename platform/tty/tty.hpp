// Raw serial lines and pseudo-terminals on Linux: the one place that speaks termios. Callers
// hold plain descriptors; what differs between them (modem lines, accepted speeds, time-outs)
// comes in as parameters. Nothing here throws; failures come back as results with errno set.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace tty {

// True for the speeds the line can be set to, in bits per second (1200 to 921600).
bool knownBaud(uint32_t baud);

// Opens a line read/write, non-blocking, close-on-exec and not as controlling terminal, and
// takes it for this descriptor alone: an advisory lock (which holds against root too) and the
// terminal's exclusive flag, both checked. A file that is no terminal keeps only the lock.
// Returns the descriptor, or -1 with errno set (EBUSY when someone else holds the line).
int openExclusive(const std::string& path);
// Drops the exclusive flag and closes. On a pseudo-terminal the flag outlives the descriptor
// (the master keeps the line open) and would lock every later opener out. False when close
// reports a failure.
bool closeExclusive(int fd);
// Sets or clears the exclusive flag alone; false when the terminal refuses.
bool setExclusive(int fd, bool on);

enum class Lines { kLeave, kOn, kOff };  // what to do with DTR and RTS

enum class Setup {
    kOk,
    kNotTerminal,  // the descriptor has no terminal settings (or refused its time-outs)
    kBadBaud,      // not a known speed
    kRefused,      // the terminal refused the line settings or the modem lines
};

// Raw 8N1 without flow control or character translation, reads that never wait in the driver
// (VMIN = VTIME = 0: the waiting is readFor's), at `baud`, and
// DTR/RTS as asked. A pseudo-terminal has no modem lines; its refusal is not an error.
Setup configure(int fd, uint32_t baud, Lines lines);
// The same raw modes at the present speed, modem lines untouched: the far end of a test line.
bool makeRaw(int fd);

// Writes all of count bytes unless the line stays full past `limit`: waits for room with
// poll(). `error` is 0 when everything went, ETIMEDOUT at the time-out, else the errno.
struct WriteResult {
    size_t written = 0;
    int error = 0;
};
WriteResult writeFor(int fd, const void* bytes, size_t count, std::chrono::milliseconds limit);

// Returns at once with what is waiting, else waits up to `firstByte` for the first byte, and
// reads at most count bytes. Returns the bytes read, 0 when nothing came (also, at once, on a
// line whose far end hung up: hungUp() tells), or -1 with errno on a failure.
ssize_t readFor(int fd, void* buffer, size_t count, std::chrono::milliseconds firstByte);

// Reads and throws away input until a read waiting `firstByte` comes back empty, for at most
// `limit` (a peer that keeps sending would never let it end). Returns the bytes thrown away.
size_t drain(int fd, std::chrono::milliseconds firstByte, std::chrono::milliseconds limit);

// Discards queued input and/or output.
void flush(int fd, bool input, bool output);

// True when the far end of the descriptor has gone (a pty master whose slave nobody holds, a
// slave whose master closed).
bool hungUp(int fd);

struct PtyOptions {
    bool nonBlocking = true;  // on the master
    bool raw = true;          // slave set raw at `baud` before any client opens it
    uint32_t baud = 115200;   // 0 keeps the system's speed
    bool holdSlave = false;   // keep a slave descriptor open: no hang-up between clients
};

// A pseudo-terminal pair, owned: the master for this process, the slave path for a client.
class Pty {
  public:
    Pty() = default;
    ~Pty();
    Pty(Pty&& other) noexcept;
    Pty& operator=(Pty&& other) noexcept;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Creates a fresh pair in place of any held one, always under a new name. False with
    // out_error filled (when given) when the system refuses; the held pair stays then.
    bool open(const PtyOptions& options, std::string* out_error = nullptr);
    void close();

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    int slave() const { return slave_; }  // -1 unless holdSlave
    const std::string& path() const { return path_; }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// True when `link` may be pointed elsewhere: nothing is there, or a symbolic link.
bool linkReplaceable(const std::string& link);
// Points `link` at `target` in one rename, so it never dangles or goes missing, and never
// replaces a file that is not a symbolic link. False with out_error filled otherwise.
bool placeLink(const std::string& link, const std::string& target, std::string* out_error);
// Removes `link` when it is a symbolic link; anything else there is left alone.
void removeLink(const std::string& link);

// Stop requests for a program serving a line from one poll loop: `signals` are blocked (in
// the calling thread and the threads it starts later) and arrive on the returned descriptor,
// which stays readable once one came. No handler runs at an arbitrary point, so a request is
// never held back the way sanitizer runtimes defer handlers. -1 with errno set on failure.
int stopSignals(std::initializer_list<int> signals);
// True when `fd` is readable within `limit` (0: without waiting).
bool readableWithin(int fd, std::chrono::milliseconds limit);

}  // namespace tty

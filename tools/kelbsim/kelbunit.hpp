#pragma once
// The wired glove behind its interface unit, as a transport-free state machine: bytes from
// the host go in through feed(), every reply or record comes out through the sink. The
// program wraps it around a pseudo-terminal; tests and the fuzzer drive it directly.
//
// Every record and reply ends in one NUL and carries no other NUL byte, because the host
// frames the line on NUL.

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace kelbsim {

struct Options {
    bool rightHand = true;
    bool plugged = true;              // false: identity reply without "S/N"
    std::uint32_t mask = 0x00ffffff;  // 24 bits, each byte non-zero
    int serialNumber = 1234;
    double rateHz = 100.0;  // streamed records per second
    bool wristSwitch = false;
    std::vector<std::vector<std::uint8_t>> script;  // exact sensor bytes per record
};

struct Faults {
    long silenceAfter = -1;  // records streamed before a silence (-1: never)
    double silenceSeconds = 0;
    long truncateEvery = 0;   // every Nth record loses its last sensor byte
    long garbageEvery = 0;    // every Nth record is replaced by garbage (NUL-framed)
    long oversizeAfter = -1;  // after N records, one record of 3000 bytes
    // After N records, streamed records are replaced by noise that carries no NUL, so the
    // host's framing character never comes (-1: never).
    long noiseAfter = -1;
    double noiseSeconds = 0;
    // Commands are carried out (and answered) this late, in arrival order. With a command
    // name (commandName()), only that command is late; the ones behind it wait their turn.
    double slowSeconds = 0;
    std::string slowCommand;
    bool mute = false;  // commands are taken but nothing is ever sent back
    // After N records, the unit reports an error for a while: status bit 7 clear in records
    // and in the parameter reply (-1: never).
    long errorAfter = -1;
    double errorSeconds = 0;
};

// The name of a complete command as faults refer to it: "abort", "reboot", "A" or the
// command's letters ("U", "M", "P", "S", "G", "?i", "?p", "?M" ...).
std::string commandName(const std::vector<std::uint8_t>& cmd);
// True when `name` is a command the unit knows by that name.
bool knownCommandName(const std::string& name);

class KelbUnit {
  public:
    using Sink = std::function<void(const std::vector<std::uint8_t>&)>;
    using Note = std::function<void(const std::string&)>;

    KelbUnit(Options options, Faults faults, Sink sink, Note note = {});

    // Bytes from the host, in any split; commands may straddle calls.
    void feed(const std::uint8_t* data, std::size_t size);
    // Advances the clock to `nowSeconds` (monotonic), carrying out late commands and
    // streaming records that are due.
    void tick(double nowSeconds);
    // Seconds until the next late command or streamed record is due, or a negative value
    // when idle.
    double secondsUntilDue(double nowSeconds) const;

    bool streaming() const { return streaming_; }
    std::uint32_t mask() const { return mask_; }
    bool lightFlag() const { return light_; }
    long recordsSent() const { return recordsSent_; }
    // Actuator commands received, as (index, amplitude) pairs in arrival order.
    const std::vector<std::pair<int, int>>& actuators() const { return actuators_; }
    // Maximum bytes a pending command may hold before it is dropped as garbage.
    static constexpr std::size_t kMaxCommand = 16;

  private:
    std::size_t commandLength(std::size_t have) const;
    void execute(const std::vector<std::uint8_t>& cmd);
    void sendRecord(std::uint8_t kind, double now);
    std::vector<std::uint8_t> sensorBytes(double now);
    std::uint8_t statusByte();
    bool unitError();
    void reply(std::vector<std::uint8_t> bytes);
    void emit(const std::vector<std::uint8_t>& bytes);
    std::vector<std::uint8_t> junk();
    void say(const std::string& text);

    struct Late {
        double due;
        std::vector<std::uint8_t> cmd;
    };

    Options options_;
    Faults faults_;
    Sink sink_;
    Note note_;
    std::vector<std::uint8_t> pending_;
    std::uint32_t mask_;
    bool streaming_ = false;
    bool light_ = false;
    std::uint8_t paramFlags_ = 0;  // flags A-D bits of the second parameter byte
    double now_ = 0;
    double nextDue_ = 0;
    double silentUntil_ = -1;
    bool silenceUsed_ = false;
    bool oversizeUsed_ = false;
    double noiseUntil_ = -1;  // end of the noise once it began
    double errorUntil_ = -1;  // end of the error once it began
    std::deque<Late> late_;
    long recordsSent_ = 0;
    std::size_t scriptIndex_ = 0;
    std::uint32_t noise_ = 0x2545f491;
    std::vector<std::pair<int, int>> actuators_;
};

// Parses one script line: decimal sensor bytes (1-255) separated by blanks. Throws
// std::invalid_argument with a message naming the problem.
std::vector<std::uint8_t> parseScriptLine(const std::string& line);

}  // namespace kelbsim

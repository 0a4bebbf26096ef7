// The simulated wireless glove's protocol engine, independent of any transport.
//
// The owner feeds every byte received from the console into receive(), calls advance() whenever
// nextDeadline() is reached, and writes what peekOutput() offers (one write per offered span,
// so that a frame or a reply leaves in one piece unless a fault asks otherwise). All times are
// passed in, so tests and the fuzz target drive the engine with their own clock.
// Single-threaded: one owner calls every member.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "glovesim/script.hpp"
#include "glovesim/sdcard.hpp"

namespace glovesim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Millis = std::chrono::milliseconds;

enum class Transport { Serial, Tcp };

enum class SensorFault : uint8_t {
    None,
    Flat,      // held at the relaxed-hand count
    Saturate,  // pinned at the top of the 8-bit range
    Noise,     // the motion plus large random steps from frame to frame
};

// Faults injected on request; a negative count means "off".
struct Faults {
    long silenceAfterFrames = -1;  // nothing at all is sent after this many frames...
    int silenceBytes = 0;          // ...except this many bytes of the next one (mid-frame)
    long silenceMs = -1;           // ...until this much time has passed (-1: for ever)
    long badFrame = -1;            // this frame (1-based) has ';' in place of its ':' separators
    long garbageAfterFrame = -1;   // junk bytes follow this frame (1-based)
    int garbageCount = 16;
    long dropDownloadAfter = -1;  // bytes of file data; -2 = half the file
    long dropAfterFrames = -1;    // the glove drops the link after this many frames
    int oversize = 0;             // filler bytes added to every NUL-ended reply
    int slowMs = 0;               // every reply is held back this long
    int chunkBytes = 0;           // every write carries at most this many bytes...
    int chunkPauseMs = 50;        // ...with this pause between pieces
    int burstFrames = 0;          // frames are written this many at a time
    bool noStartEcho = false;     // "1S" starts streaming without its echo and NUL
    // Per sensor index: a signal fault in place of the motion (frames and polls alike).
    std::array<SensorFault, 24> sensor{};
    long flipEvery = 0;    // every Nth frame has one bit flipped...
    long insertEvery = 0;  // ...one extra byte inserted...
    long deleteEvery = 0;  // ...one byte left out (at a pseudo-random place)
    int flood = 1;         // the frame rate is multiplied by this
};

struct GloveConfig {
    Transport transport = Transport::Serial;
    int sensors = 22;  // 18 or 22
    bool leftHand = false;
    int serialNumber = 0;
    int batteryMv = 7400;
    std::string sdcardDir;  // empty: no card
    std::optional<Script> script;
    Faults faults;
    int64_t initialTimeOfDayMs = 12LL * 3600 * 1000;  // the glove's clock at construction
    Millis streamStartDelay{500};  // first frame after "1S"; lets the echo arrive on its own
    Millis partialTimeout{5000};   // an unfinished command is given up after this long
    Millis outputDelay{0};         // everything sent leaves this much later
};

class GloveCore {
  public:
    using LogFn = std::function<void(const std::string&)>;

    GloveCore(GloveConfig config, TimePoint now);
    ~GloveCore();
    GloveCore(const GloveCore&) = delete;
    GloveCore& operator=(const GloveCore&) = delete;

    void setLog(LogFn log) { log_ = std::move(log); }
    // Called with each streamed frame's time text and the moment the frame was made.
    using FrameStampFn = std::function<void(const std::string& timeText, TimePoint made)>;
    void setFrameStamp(FrameStampFn stamp) { stamp_ = std::move(stamp); }

    // Bytes from the console, in arrival order.
    void receive(std::span<const uint8_t> bytes, TimePoint now);
    // Runs streaming, downloads and time-outs up to now.
    void advance(TimePoint now);
    // The next time advance() has work to do (a bounded wait when nothing is scheduled).
    TimePoint nextDeadline(TimePoint now) const;

    // Bytes ready to be written now, as one write; empty when nothing is due.
    std::span<const uint8_t> peekOutput(TimePoint now) const;
    void consumeOutput(size_t count, TimePoint now);
    size_t queuedBytes() const { return queuedBytes_; }

    // The console went away (pty closed, socket lost): streaming and downloads stop and
    // anything unsent is dropped.
    void linkDown();
    // The glove wants to drop the link (a fault) once its queue has been written.
    bool disconnectRequested() const { return disconnectRequested_; }
    void clearDisconnectRequest() { disconnectRequested_ = false; }

    // Read-outs for tests and the program's log.
    bool streaming() const { return streaming_; }
    bool lowPower() const { return lowPower_; }
    int multiplier() const { return multiplier_; }
    long framesSent() const { return framesSent_; }
    const std::string& activeFile() const { return activeFile_; }
    std::array<uint8_t, 36> hardwareBlock() const { return hwcal_; }
    std::array<uint8_t, 36> eepromBlock() const { return eepromHwcal_; }
    std::string eepromSerial() const {
        return std::string(eepromSerial_.begin(), eepromSerial_.end());
    }
    int64_t timeOfDayMs(TimePoint now) const;

    static constexpr int kBaseRateHz = 30;  // frames per second at multiplier 1, divider 1
    static constexpr size_t kFrameSize = 61;
    static constexpr int kTerminatorLength = 15;

  private:
    struct Chunk {
        std::vector<uint8_t> bytes;
        size_t offset = 0;
        TimePoint notBefore;
        bool frame = false;
    };
    enum class Parse { Done, NeedMore, Invalid };

    void processInput(TimePoint now);
    Parse parseCommand(const uint8_t* p, size_t n, size_t* out_used, TimePoint now);
    Parse parseHeader(const uint8_t* p, size_t n, size_t* out_used, TimePoint now);
    void dropFirstInputByte();

    void reply(const uint8_t* echo, size_t echoLen, const std::string& data, TimePoint now);
    void replyRaw(std::vector<uint8_t> bytes, TimePoint now);
    void enqueue(std::vector<uint8_t> bytes, TimePoint notBefore, bool frame);

    void startStreaming(TimePoint now);
    void stopStreaming();
    void reboot(TimePoint now);
    void startDownload(TimePoint now);
    void pumpDownload(TimePoint now);
    void finishDownload(bool sendTerminator, TimePoint now);
    void emitFrame(TimePoint frameTime, TimePoint now);
    void damageFrame(long number, std::vector<uint8_t>& frame);
    uint32_t nextDamage();
    void recordFrame(TimePoint frameTime);
    std::array<int16_t, 23> motionSlots(TimePoint t) const;
    std::string frameTimeText(TimePoint t) const;
    std::string timeReply(TimePoint now) const;
    std::string pollReply(TimePoint now);
    std::string fileListReply() const;
    std::string hardwareReadReply() const;
    std::chrono::microseconds linkPeriod() const;
    std::chrono::microseconds periodFor(int divider) const;
    int slotToIndex(int slot) const;
    void log(const std::string& text) const;

    GloveConfig config_;
    LogFn log_;
    FrameStampFn stamp_;
    TimePoint start_;

    // console input not yet parsed, and when the oldest unfinished command began
    std::vector<uint8_t> input_;
    TimePoint partialSince_;
    bool nameEchoed_ = false;  // "1A" was echoed on its own, the name is still arriving
    bool expectHeader_ = false;
    bool processing_ = false;

    std::deque<Chunk> queue_;
    size_t queuedBytes_ = 0;
    TimePoint nextWriteAt_;  // chunk fault: the pause between pieces
    bool silent_ = false;
    bool silenceBegun_ = false;
    TimePoint silentUntil_;          // a timed silence: no frames before this
    uint32_t damage_ = 0x2545f491u;  // position source of the flip, insert and delete faults
    bool disconnectRequested_ = false;

    // clock: time of day at clockRef_
    int64_t clockMs_ = 0;
    TimePoint clockRef_;

    // output configuration
    int multiplier_ = 3;
    bool wifiOn_ = true, usbOn_ = true, sdOn_ = true;
    int wifiDivider_ = 3, usbDivider_ = 3, sdDivider_ = 1;
    bool jamSync_ = false;
    bool lowPower_ = false;

    bool streaming_ = false;
    TimePoint nextFrameAt_;
    TimePoint nextRecordAt_;
    long framesSent_ = 0;
    std::vector<uint8_t> burst_;
    std::vector<uint8_t> startReply_;  // burst fault: "1S" reply leaves with the first frames

    std::array<uint8_t, 36> hwcal_{};
    std::array<uint8_t, 36> eepromHwcal_{};
    std::array<char, 4> eepromSerial_{};

    SdCard card_;
    std::string activeFile_;
    std::string header_;
    bool recording_ = false;
    bool downloading_ = false;
    long long downloadSent_ = 0;
    long long downloadDropAt_ = -1;

    size_t scriptFrame_ = 0;
    size_t scriptPoll_ = 0;
};

}  // namespace glovesim

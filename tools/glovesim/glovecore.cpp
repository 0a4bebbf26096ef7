#include "glovesim/glovecore.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace glovesim {

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;

// The glove's tables are written out here again rather than taken from the console's link
// library, on purpose: the simulator is the oracle the link is tested against, so a slip in
// one copy shows up as a failing test instead of agreeing with itself. The names follow the
// console's.
constexpr int kSensorIndexCount = 24;

// Frame slot -> sensor index; -1 = the slot carries nothing.
constexpr std::array<int, kFrameSlotCount> kSlotMap18 = {
    0, 1, 2, 3, 4, 5, 8, 9, 11, 12, 13, 15, 16, 17, 19, 20, 21, 22, -1, -1, -1, -1, -1};
constexpr std::array<int, kFrameSlotCount> kSlotMap22 = {
    0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, -1};

// Sensor index -> position in the glove's 18-entry hardware calibration block.
constexpr std::array<int, kSensorIndexCount> kHardwarePosition = {
    0, 1, 2, 3, 4, 5, -1, -1, 6, 7, -1, 8, 9, 10, -1, 11, 12, 13, -1, 14, 15, 16, 17, -1};

// Counts of a relaxed flat hand and radians per count, per sensor index: the motion model
// bends each joint from its flat count by an angle that stays inside 0..255 counts.
constexpr std::array<double, kSensorIndexCount> kFlatCounts = {56, 114, 109, 69,  89, 64,  65, 125,
                                                               81, 74,  91,  151, 78, 63,  81, 162,
                                                               70, 73,  101, 131, 71, 143, 89, 60};
constexpr std::array<double, kSensorIndexCount> kRadPerCount = {
    0.01584, 0.01459, 0.01427, 0.00502, 0.01616, 0.01459, 0.00753, 0.00449,
    0.01725, 0.01804, 0.01051, 0.00449, 0.01757, 0.01788, 0.01051, 0.00612,
    0.01663, 0.0182,  0.00988, 0.00596, 0.0091,  0.00863, 0.00392, 0.00781};

// The hardware block shapes each sensor's counts around these power-on values:
// counts' = (counts - (offset - 25)) x gain / 125, so the power-on block changes nothing.
constexpr uint8_t kNeutralOffset = 25;
constexpr uint8_t kNeutralGain = 125;

constexpr uint8_t kStop = 0x03;
constexpr uint8_t kReboot = 0x12;
constexpr uint8_t kFieldEnd = 0x01;
constexpr size_t kMaxInput = 4096;
constexpr size_t kMaxText = 255;  // name or header, before its 0x01
constexpr size_t kMaxQueue = 1024 * 1024;
constexpr size_t kFrameBacklog = 8 * 1024;  // frames are dropped, not queued, past this
constexpr size_t kDownloadWindow = 64 * 1024;
constexpr size_t kDownloadChunk = 4096;
constexpr Millis kIdleWait{1000};
constexpr int64_t kDayMs = 24LL * 3600 * 1000;

std::string format(const char* fmt, auto... args) {
    char buf[128];
    int n = std::snprintf(buf, sizeof buf, fmt, args...);
    return std::string(buf,
                       static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof buf) - 1)));
}

bool isDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

}  // namespace

GloveCore::GloveCore(GloveConfig config, TimePoint now)
    : config_(std::move(config)),
      start_(now),
      partialSince_(now),
      nextWriteAt_(now),
      clockRef_(now),
      card_(config_.sdcardDir) {
    if (config_.sensors != 18) {
        config_.sensors = 22;
    }
    clockMs_ = ((config_.initialTimeOfDayMs % kDayMs) + kDayMs) % kDayMs;
    for (size_t p = 0; p < 18; ++p) {
        hwcal_[p] = kNeutralOffset;
        hwcal_[18 + p] = kNeutralGain;
    }
    eepromHwcal_ = hwcal_;
    std::string serial = format("%4d", std::clamp(config_.serialNumber, 0, 9999));
    std::copy_n(serial.begin(), 4, eepromSerial_.begin());
}

GloveCore::~GloveCore() = default;

void GloveCore::log(const std::string& text) const {
    if (log_) {
        log_(text);
    }
}

int GloveCore::slotToIndex(int slot) const {
    if (slot < 0 || slot >= kFrameSlotCount) {
        return -1;
    }
    return config_.sensors == 18 ? kSlotMap18[slot] : kSlotMap22[slot];
}

int64_t GloveCore::timeOfDayMs(TimePoint now) const {
    int64_t elapsed = duration_cast<Millis>(now - clockRef_).count();
    return (((clockMs_ + elapsed) % kDayMs) + kDayMs) % kDayMs;
}

// ---------------------------------------------------------------- output queue

void GloveCore::enqueue(std::vector<uint8_t> bytes, TimePoint notBefore, bool frame) {
    if (silent_ || bytes.empty()) {
        return;
    }
    if (frame && queuedBytes_ > kFrameBacklog) {
        return;  // the console is not reading; a real glove drops frames too
    }
    if (queuedBytes_ + bytes.size() > kMaxQueue) {
        log("output queue full, reply dropped");
        return;
    }
    queuedBytes_ += bytes.size();
    queue_.push_back(Chunk{std::move(bytes), 0, notBefore + config_.outputDelay, frame});
}

void GloveCore::replyRaw(std::vector<uint8_t> bytes, TimePoint now) {
    enqueue(std::move(bytes), now + Millis(config_.faults.slowMs), false);
}

// Echo, then the reply data, then a NUL; a bare echo that already ends in NUL ("1o" 0x00) gets
// no second one, which would be left over and read as the start of the next reply.
void GloveCore::reply(const uint8_t* echo, size_t echoLen, const std::string& data, TimePoint now) {
    std::vector<uint8_t> out(echo, echo + echoLen);
    out.insert(out.end(), data.begin(), data.end());
    if (!data.empty() || out.empty() || out.back() != 0) {
        out.insert(out.end(), static_cast<size_t>(std::max(config_.faults.oversize, 0)), 'x');
        out.push_back(0);
    }
    replyRaw(std::move(out), now);
}

std::span<const uint8_t> GloveCore::peekOutput(TimePoint now) const {
    if (queue_.empty() || now < nextWriteAt_) {
        return {};
    }
    const Chunk& c = queue_.front();
    if (now < c.notBefore) {
        return {};
    }
    std::span<const uint8_t> s(c.bytes.data() + c.offset, c.bytes.size() - c.offset);
    if (config_.faults.chunkBytes > 0 &&
        s.size() > static_cast<size_t>(config_.faults.chunkBytes)) {
        s = s.first(static_cast<size_t>(config_.faults.chunkBytes));
    }
    return s;
}

void GloveCore::consumeOutput(size_t count, TimePoint now) {
    while (count > 0 && !queue_.empty()) {
        Chunk& c = queue_.front();
        size_t take = std::min(count, c.bytes.size() - c.offset);
        c.offset += take;
        count -= take;
        queuedBytes_ -= take;
        if (c.offset == c.bytes.size()) {
            queue_.pop_front();
        }
    }
    if (config_.faults.chunkBytes > 0) {
        nextWriteAt_ = now + Millis(config_.faults.chunkPauseMs);
    }
}

void GloveCore::linkDown() {
    stopStreaming();
    if (downloading_) {
        card_.closeRead();
        downloading_ = false;
    }
    queue_.clear();
    queuedBytes_ = 0;
    input_.clear();
    nameEchoed_ = false;
    expectHeader_ = false;
    burst_.clear();
    startReply_.clear();
}

// ---------------------------------------------------------------- input

void GloveCore::receive(std::span<const uint8_t> bytes, TimePoint now) {
    if (input_.empty()) {
        partialSince_ = now;
    }
    size_t room = kMaxInput - std::min(kMaxInput, input_.size());
    if (bytes.size() > room) {
        log("input overflow, " + std::to_string(bytes.size() - room) + " bytes dropped");
    }
    input_.insert(input_.end(), bytes.begin(), bytes.begin() + std::min(room, bytes.size()));
    processInput(now);
}

void GloveCore::dropFirstInputByte() {
    input_.erase(input_.begin());
    nameEchoed_ = false;
}

void GloveCore::processInput(TimePoint now) {
    if (processing_) {
        return;  // a command finished inside the loop below; the loop carries on
    }
    processing_ = true;
    while (!input_.empty() && !downloading_) {
        size_t used = 0;
        Parse r = expectHeader_ ? parseHeader(input_.data(), input_.size(), &used, now)
                                : parseCommand(input_.data(), input_.size(), &used, now);
        if (r == Parse::NeedMore) {
            break;
        }
        if (r == Parse::Invalid) {
            if (expectHeader_) {
                expectHeader_ = false;  // take the bytes as commands instead
                continue;
            }
            log(format("unknown byte 0x%02x ignored", input_[0]));
            dropFirstInputByte();
        } else {
            input_.erase(input_.begin(), input_.begin() + static_cast<long>(used));
        }
        partialSince_ = now;
    }
    processing_ = false;
}

GloveCore::Parse GloveCore::parseHeader(const uint8_t* p, size_t n, size_t* out_used,
                                        TimePoint now) {
    const uint8_t* end =
        static_cast<const uint8_t*>(std::memchr(p, kFieldEnd, std::min(n, kMaxText + 1)));
    if (!end) {
        return n > kMaxText ? Parse::Invalid : Parse::NeedMore;
    }
    size_t len = static_cast<size_t>(end - p) + 1;
    header_.assign(reinterpret_cast<const char*>(p), len - 1);
    expectHeader_ = false;
    log("header: " + header_);
    reply(p, len, "", now);
    *out_used = len;
    return Parse::Done;
}

GloveCore::Parse GloveCore::parseCommand(const uint8_t* p, size_t n, size_t* out_used,
                                         TimePoint now) {
    auto done = [&](size_t len) {
        *out_used = len;
        return Parse::Done;
    };
    const uint8_t c0 = p[0];
    switch (c0) {
        case 0x00:
            // The NUL some commands carry after their letters ("?S" 0x00, 0x12 0x00).
            return done(1);
        case kStop:
            stopStreaming();
            reply(p, 1, "", now);
            return done(1);
        case kReboot:
            reboot(now);
            reply(p, 1, "", now);
            return done(1);
        case 'V': {
            int mv = std::clamp(config_.batteryMv, 0, 9999);
            reply(p, 1, format("%04d", mv), now);
            return done(1);
        }
        case 'G':
            reply(p, 1, pollReply(now), now);
            return done(1);
        default:
            break;
    }
    if (n < 2) {
        return Parse::NeedMore;
    }
    const uint8_t c1 = p[1];
    if (c0 == '?') {
        switch (c1) {
            case 'S':
                reply(p, 2, std::string(1, static_cast<char>(config_.sensors)), now);
                return done(2);
            case 'R':
                // left: "?R" NUL, so reply byte 2 (the NUL) reads as 0
                reply(p, 2, config_.leftHand ? std::string() : std::string(1, '\1'), now);
                return done(2);
            case 'l':
                reply(p, 2, fileListReply(), now);
                return done(2);
            case 'C':
                reply(p, 2, hardwareReadReply(), now);
                return done(2);
            case 'E': {
                if (n < 3) {
                    return Parse::NeedMore;
                }
                int k = p[2] <= 3 ? p[2] : p[2] - '0';
                if (k < 0 || k > 3) {
                    reply(p, 2, "", now);  // too short to be read as a character
                } else {
                    reply(p, 2, std::string(1, eepromSerial_[static_cast<size_t>(k)]), now);
                }
                return done(3);
            }
            default:
                return Parse::Invalid;
        }
    }
    if (c0 == 'E') {
        if (n < 3) {
            return Parse::NeedMore;
        }
        int k = p[1] <= 3 ? p[1] : p[1] - '0';
        if (k >= 0 && k <= 3) {
            eepromSerial_[static_cast<size_t>(k)] = static_cast<char>(p[2]);
        }
        reply(p, 1, "", now);
        return done(3);
    }
    if (c0 == 'Z') {
        bool on;
        if (c1 == '1' || c1 == 1) {
            on = true;
        } else if (c1 == '0' || c1 == 0) {
            on = false;
        } else {
            return Parse::Invalid;
        }
        lowPower_ = on;
        if (on) {
            stopStreaming();
        }
        log(on ? "low power on" : "low power off");
        // Not echoed. Over serial the console reads nothing after this command, so any answer
        // would be taken as the start of the next reply; over TCP it waits for a NUL.
        if (config_.transport == Transport::Tcp) {
            replyRaw({0}, now);
        }
        return done(2);
    }
    if (c0 == 'C') {
        if (c1 != 'A') {
            return Parse::Invalid;
        }
        if (n < 38) {
            return Parse::NeedMore;
        }
        std::copy_n(p + 2, 36, hwcal_.begin());
        log("hardware calibration written");
        if (config_.transport == Transport::Tcp) {
            replyRaw({0}, now);
        }
        return done(38);
    }
    if (c0 == '^') {
        if (c1 != 'W') {
            return Parse::Invalid;
        }
        eepromHwcal_ = hwcal_;
        log("hardware calibration committed");
        replyRaw({p[0], p[1]}, now);  // echo only: the console reads no NUL here
        return done(2);
    }
    if (c0 != '1') {
        return Parse::Invalid;
    }
    switch (c1) {
        case 'S':
            if (config_.faults.noStartEcho) {
                log("fault: \"1S\" not answered");
            } else if (config_.faults.burstFrames > 0 && !streaming_) {
                // the reply leaves in the same write as the first frames
                startReply_ = {p[0], p[1], 0};
            } else {
                reply(p, 2, "", now);
            }
            startStreaming(now);
            return done(2);
        case 'D':
            replyRaw({p[0], p[1]}, now);
            startDownload(now);
            return done(2);
        case 'A': {
            if (!nameEchoed_) {
                // The console waits for these two letters before it sends the name.
                replyRaw({p[0], p[1]}, now);
                nameEchoed_ = true;
            }
            size_t avail = std::min(n - 2, kMaxText + 1);
            const uint8_t* end = static_cast<const uint8_t*>(std::memchr(p + 2, kFieldEnd, avail));
            if (!end) {
                if (n - 2 > kMaxText) {
                    log("file name too long, dropped");
                    nameEchoed_ = false;
                    replyRaw({0}, now);
                    return done(2 + kMaxText + 1);
                }
                return Parse::NeedMore;
            }
            size_t len = static_cast<size_t>(end - p) + 1;
            std::string name(reinterpret_cast<const char*>(p + 2), len - 3);
            nameEchoed_ = false;
            if (card_.touch(name)) {
                if (recording_) {
                    card_.closeAppend();
                    recording_ = false;
                }
                activeFile_ = name;
                header_.clear();
                log("active file " + name);
            } else {
                log("active file refused: '" + name + "'");
            }
            // The header always follows a name exchange that ended well, so it is expected
            // even when the name was refused; otherwise its text would be read as commands.
            expectHeader_ = true;
            reply(p + 2, len - 2, "", now);
            return done(len);
        }
        case 'o':
        case 'm':
        case 'w':
        case 'u':
        case 's':
        case 'e':
        case 'd':
        case 't':
            break;
        default:
            return Parse::Invalid;
    }
    if (n < 3) {
        return Parse::NeedMore;
    }
    const uint8_t c2 = p[2];
    switch (c1) {
        case 'o':
            jamSync_ = c2 != 0;
            break;
        case 'm':
            multiplier_ = std::clamp<int>(c2, 1, 4);
            break;
        case 'w':
            wifiDivider_ = std::max<int>(c2, 1);
            break;
        case 'u':
            usbDivider_ = std::max<int>(c2, 1);
            break;
        case 's':
            sdDivider_ = std::max<int>(c2, 1);
            break;
        case 'e':
        case 'd': {
            bool on = c1 == 'e';
            if (c2 == 'w') {
                wifiOn_ = on;
            } else if (c2 == 'u') {
                usbOn_ = on;
            } else if (c2 == 's') {
                sdOn_ = on;
            } else {
                return Parse::Invalid;
            }
            break;
        }
        case 't':
            if (c2 == 'g') {
                reply(p, 3, timeReply(now), now);
                return done(3);
            }
            if (c2 != 's') {
                return Parse::Invalid;
            }
            if (n < 11) {
                return Parse::NeedMore;
            } else {
                const uint8_t* t = p + 3;
                bool shape = isDigit(t[0]) && isDigit(t[1]) && t[2] == ':' && isDigit(t[3]) &&
                             isDigit(t[4]) && t[5] == ':' && isDigit(t[6]) && isDigit(t[7]);
                if (shape) {
                    int h = (t[0] - '0') * 10 + (t[1] - '0');
                    int m = (t[3] - '0') * 10 + (t[4] - '0');
                    int s = (t[6] - '0') * 10 + (t[7] - '0');
                    if (h < 24 && m < 60 && s < 60) {
                        clockMs_ = ((h * 60LL + m) * 60 + s) * 1000;
                        clockRef_ = now;
                        log(format("clock set to %02d:%02d:%02d", h, m, s));
                    }
                }
                reply(p, 11, "", now);
                return done(11);
            }
        default:
            break;
    }
    reply(p, 3, "", now);
    return done(3);
}

// ---------------------------------------------------------------- replies

std::string GloveCore::timeReply(TimePoint now) const {
    int64_t ms = timeOfDayMs(now);
    int64_t sec = ms / 1000;
    int frame = static_cast<int>((ms % 1000) * kBaseRateHz / 1000);
    return format("%02d:%02d:%02d:%02d", static_cast<int>(sec / 3600),
                  static_cast<int>(sec / 60 % 60), static_cast<int>(sec % 60), frame);
}

std::string GloveCore::pollReply(TimePoint now) {
    std::string out;
    if (config_.script && !config_.script->polls.empty()) {
        const auto& polls = config_.script->polls;
        size_t i = scriptPoll_;
        if (i >= polls.size()) {
            switch (config_.script->end) {
                case ScriptEnd::Loop:
                    i = i % polls.size();
                    break;
                case ScriptEnd::Hold:
                    i = polls.size() - 1;
                    break;
                case ScriptEnd::Stop:
                    return out;
            }
        }
        ++scriptPoll_;
        for (uint8_t b : polls[i].bytes) {
            out.push_back(static_cast<char>(b));
        }
        return out;
    }
    auto slots = motionSlots(now);
    for (int s = 0; s < config_.sensors; ++s) {
        // a zero count would end the reply early at the console
        int counts = std::clamp(slots[static_cast<size_t>(s)] >> 4, 1, 255);
        out.push_back(static_cast<char>(counts));
    }
    return out;
}

std::string GloveCore::fileListReply() const {
    std::string out;
    for (const auto& name : card_.list()) {
        out += name;
        out += "\r\n";
    }
    return out;
}

// 48 bytes by sensor index (offsets of indexes 0..23, then gains), the layout the console
// reads; indexes without a hardware position read as 0.
std::string GloveCore::hardwareReadReply() const {
    std::string out(48, '\0');
    for (size_t i = 0; i < 24; ++i) {
        int pos = kHardwarePosition[i];
        if (pos >= 0) {
            out[i] = static_cast<char>(hwcal_[static_cast<size_t>(pos)]);
            out[24 + i] = static_cast<char>(hwcal_[18 + static_cast<size_t>(pos)]);
        }
    }
    return out;
}

// ---------------------------------------------------------------- state changes

void GloveCore::reboot(TimePoint now) {
    (void)now;
    log("reboot");
    stopStreaming();
    lowPower_ = false;
    hwcal_ = eepromHwcal_;
    multiplier_ = 3;
    wifiOn_ = usbOn_ = sdOn_ = true;
    wifiDivider_ = usbDivider_ = 3;
    sdDivider_ = 1;
    jamSync_ = false;
    activeFile_.clear();
    header_.clear();
    expectHeader_ = false;
}

microseconds GloveCore::periodFor(int divider) const {
    // divider / (30 x multiplier) seconds
    int64_t us = 1000000LL * std::max(divider, 1) /
                 (kBaseRateHz * std::clamp(multiplier_, 1, 4) * std::max(config_.faults.flood, 1));
    return microseconds(std::max<int64_t>(us, 1000));
}

microseconds GloveCore::linkPeriod() const {
    return periodFor(config_.transport == Transport::Serial ? usbDivider_ : wifiDivider_);
}

void GloveCore::startStreaming(TimePoint now) {
    if (streaming_) {
        return;
    }
    streaming_ = true;
    lowPower_ = false;
    nextFrameAt_ = now + config_.streamStartDelay;
    nextRecordAt_ = nextFrameAt_;
    if (sdOn_ && !activeFile_.empty() && card_.openForAppend(activeFile_)) {
        recording_ = true;
        if (card_.isAppendEmpty()) {
            card_.append((header_.empty() ? std::string("DEFAULT HEADER") : header_) + "\r\n");
        }
    }
}

void GloveCore::stopStreaming() {
    streaming_ = false;
    if (recording_) {
        card_.closeAppend();
        recording_ = false;
    }
    if (!burst_.empty() || !startReply_.empty()) {
        std::vector<uint8_t> rest = std::move(startReply_);
        rest.insert(rest.end(), burst_.begin(), burst_.end());
        burst_.clear();
        startReply_.clear();
        enqueue(std::move(rest), start_, false);
    }
}

void GloveCore::startDownload(TimePoint now) {
    stopStreaming();
    downloadSent_ = 0;
    if (activeFile_.empty() || !card_.openForRead(activeFile_)) {
        log("download: no active file");
        finishDownload(true, now);
        return;
    }
    downloading_ = true;
    downloadDropAt_ = config_.faults.dropDownloadAfter;
    if (downloadDropAt_ == -2) {
        long long size = 0;
        uint8_t buf[kDownloadChunk];
        size_t got;
        while ((got = card_.readChunk(buf, sizeof buf)) > 0) {
            size += static_cast<long long>(got);
        }
        card_.openForRead(activeFile_);
        downloadDropAt_ = size / 2;
    }
    pumpDownload(now);
}

void GloveCore::pumpDownload(TimePoint now) {
    while (downloading_ && queuedBytes_ < kDownloadWindow) {
        std::vector<uint8_t> chunk(kDownloadChunk);
        size_t got = card_.readChunk(chunk.data(), chunk.size());
        if (downloadDropAt_ >= 0 &&
            downloadSent_ + static_cast<long long>(got) >= downloadDropAt_) {
            chunk.resize(static_cast<size_t>(downloadDropAt_ - downloadSent_));
            downloadSent_ = downloadDropAt_;
            enqueue(std::move(chunk), now, false);
            log("fault: link dropped mid-download");
            disconnectRequested_ = true;
            finishDownload(false, now);
            return;
        }
        if (got == 0) {
            finishDownload(true, now);
            return;
        }
        chunk.resize(got);
        downloadSent_ += static_cast<long long>(got);
        enqueue(std::move(chunk), now, false);
    }
}

void GloveCore::finishDownload(bool sendTerminator, TimePoint now) {
    card_.closeRead();
    downloading_ = false;
    if (sendTerminator) {
        enqueue(std::vector<uint8_t>(kTerminatorLength, '\r'), now, false);
    }
    processInput(now);  // commands that arrived during the download
}

// ---------------------------------------------------------------- streaming

namespace {

// -40..40 counts, a pure function of the moment and the sensor, so frames and polls of the same
// moment agree and the engine keeps no generator state.
double noiseCounts(TimePoint t, int idx) {
    auto x = static_cast<uint64_t>(t.time_since_epoch().count()) ^
             (static_cast<uint64_t>(idx + 1) * 0x9E3779B97F4A7C15ULL);
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 33;
    return static_cast<double>(x % 81) - 40.0;
}

}  // namespace

std::array<int16_t, 23> GloveCore::motionSlots(TimePoint t) const {
    double sec = std::chrono::duration<double>(t - start_).count();
    constexpr double kTwoPi = 6.283185307179586;
    std::array<double, 24> angle{};  // radians, flexion positive here (more counts)
    for (int row = 0; row < 5; ++row) {
        double grip = 0.5 - 0.5 * std::cos(kTwoPi * (sec / 4.0 + 0.07 * row));
        int base = row * 4;
        if (row == 0) {
            angle[0] = 0.4 * grip;
            angle[1] = 0.8 * grip;
            angle[2] = 0.9 * grip;
            angle[3] = 0.3 * grip;
        } else {
            angle[static_cast<size_t>(base)] = 1.2 * grip;
            angle[static_cast<size_t>(base + 1)] = 1.4 * grip;
            angle[static_cast<size_t>(base + 2)] = 0.9 * grip;
        }
    }
    double spread = 0.5 - 0.5 * std::cos(kTwoPi * sec / 4.0);
    angle[11] = 0.25 * (1.0 - spread);
    angle[15] = 0.15 * (1.0 - spread);
    angle[19] = 0.15 * (1.0 - spread);
    angle[20] = 0.3 * spread;
    angle[21] = 0.3 * std::sin(kTwoPi * sec / 7.0);
    angle[22] = 0.12 * std::sin(kTwoPi * sec / 5.0);

    std::array<int16_t, 23> slots{};
    for (int s = 0; s < kFrameSlotCount; ++s) {
        int idx = slotToIndex(s);
        if (idx < 0) {
            continue;
        }
        auto i = static_cast<size_t>(idx);
        double counts = kFlatCounts[i] + angle[i] / kRadPerCount[i];
        int pos = kHardwarePosition[i];
        if (pos >= 0) {
            auto p = static_cast<size_t>(pos);
            counts = (counts - (hwcal_[p] - kNeutralOffset)) * hwcal_[18 + p] / kNeutralGain;
        }
        switch (config_.faults.sensor[i]) {
            case SensorFault::None:
                break;
            case SensorFault::Flat:
                counts = kFlatCounts[i];
                break;
            case SensorFault::Saturate:
                counts = 255.0;
                break;
            case SensorFault::Noise:
                counts += noiseCounts(t, idx);
                break;
        }
        counts = std::clamp(counts, 1.0, 255.0);
        slots[static_cast<size_t>(s)] = static_cast<int16_t>(std::lround(counts * 16.0));
    }
    return slots;
}

// "HH:MM:SS:F:FF": the fourth field is the sub-frame of the multiplier (0..m-1), the fifth the
// frame within the second at the base rate (00..29). Followed by a NUL, 14 bytes in all.
std::string GloveCore::frameTimeText(TimePoint t) const {
    int64_t ms = timeOfDayMs(t);
    int64_t sec = ms / 1000;
    int m = std::clamp(multiplier_, 1, 4);
    int n = static_cast<int>((ms % 1000) * kBaseRateHz * m / 1000);
    return format("%02d:%02d:%02d:%1d:%02d", static_cast<int>(sec / 3600),
                  static_cast<int>(sec / 60 % 60), static_cast<int>(sec % 60), n % m, n / m);
}

void GloveCore::emitFrame(TimePoint frameTime, TimePoint now) {
    std::string timeText;
    std::array<int16_t, 23> slots{};
    if (config_.script && !config_.script->frames.empty()) {
        const auto& frames = config_.script->frames;
        size_t i = static_cast<size_t>(scriptFrame_);
        if (i >= frames.size()) {
            if (config_.script->end == ScriptEnd::Stop) {
                return;
            }
            i = config_.script->end == ScriptEnd::Loop ? i % frames.size() : frames.size() - 1;
        }
        ++scriptFrame_;
        slots = frames[i].slots;
        timeText = frames[i].timeText.value_or(frameTimeText(frameTime));
    } else {
        slots = motionSlots(frameTime);
        timeText = frameTimeText(frameTime);
    }

    if (stamp_) {
        stamp_(timeText, now);
    }
    std::vector<uint8_t> frame(kFrameSize, 0);
    std::copy_n(timeText.begin(), std::min<size_t>(timeText.size(), 14), frame.begin());
    for (size_t s = 0; s < 23; ++s) {
        auto v = static_cast<uint16_t>(slots[s]);
        frame[14 + 2 * s] = static_cast<uint8_t>(v >> 8);
        frame[15 + 2 * s] = static_cast<uint8_t>(v & 0xff);
    }
    long number = framesSent_ + 1;
    const Faults& f = config_.faults;
    if (number == f.badFrame) {
        frame[2] = frame[5] = frame[8] = ';';
    }
    framesSent_ = number;

    if (f.silenceAfterFrames >= 0 && f.silenceMs >= 0 && number > f.silenceAfterFrames &&
        !silenceBegun_) {
        // A silence that ends: the head of this frame now, its tail when the silence is over,
        // and no frames in between (the glove stalls rather than catching up).
        silenceBegun_ = true;
        if (!burst_.empty()) {
            enqueue(std::move(burst_), now, false);
            burst_.clear();
        }
        silentUntil_ = now + Millis(f.silenceMs);
        const size_t head = static_cast<size_t>(std::clamp(f.silenceBytes, 0, 60));
        enqueue(std::vector<uint8_t>(frame.begin(), frame.begin() + static_cast<long>(head)), now,
                false);
        enqueue(std::vector<uint8_t>(frame.begin() + static_cast<long>(head), frame.end()),
                silentUntil_, false);
        log("fault: silent for " + std::to_string(f.silenceMs) + " ms");
        return;
    }
    if (f.silenceAfterFrames >= 0 && f.silenceMs < 0 && number > f.silenceAfterFrames) {
        if (!silent_) {
            if (!burst_.empty()) {
                enqueue(std::move(burst_), now, false);
                burst_.clear();
            }
            if (f.silenceBytes > 0) {
                frame.resize(static_cast<size_t>(std::min(f.silenceBytes, 60)));
                enqueue(std::move(frame), now, false);
            }
            log("fault: silent from now on");
            silent_ = true;
        }
        return;
    }
    damageFrame(number, frame);
    if (f.burstFrames > 0) {
        if (burst_.empty()) {
            burst_ = std::move(startReply_);
            startReply_.clear();
        }
        burst_.insert(burst_.end(), frame.begin(), frame.end());
        if (number % f.burstFrames == 0) {
            enqueue(std::move(burst_), now, true);
            burst_.clear();
        }
    } else {
        enqueue(std::move(frame), now, true);
    }
    if (number == f.garbageAfterFrame) {
        std::vector<uint8_t> junk(static_cast<size_t>(std::clamp(f.garbageCount, 1, 4096)));
        uint32_t x = 0x9e3779b9u;
        for (auto& b : junk) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(1 + (x >> 24) % 255);  // never NUL
        }
        enqueue(std::move(junk), now, false);
    }
    if (number == f.silenceAfterFrames && f.silenceBytes == 0 && f.silenceMs < 0) {
        log("fault: silent from now on");
        silent_ = true;  // at once: not even a reply slips out before the next frame is due
    }
    if (number == f.dropAfterFrames) {
        log("fault: dropping the link");
        disconnectRequested_ = true;
        stopStreaming();
    }
}

uint32_t GloveCore::nextDamage() {
    damage_ = damage_ * 1664525u + 1013904223u;
    return damage_ >> 8;
}

void GloveCore::damageFrame(long number, std::vector<uint8_t>& frame) {
    const Faults& f = config_.faults;
    if (f.flipEvery > 0 && number % f.flipEvery == 0) {
        const uint32_t r = nextDamage();
        frame[r % frame.size()] ^= static_cast<uint8_t>(1u << ((r >> 16) % 8));
    }
    if (f.insertEvery > 0 && number % f.insertEvery == 0) {
        const uint32_t r = nextDamage();
        frame.insert(frame.begin() + static_cast<long>(r % (frame.size() + 1)),
                     static_cast<uint8_t>(r >> 16));
    }
    if (f.deleteEvery > 0 && number % f.deleteEvery == 0) {
        frame.erase(frame.begin() + static_cast<long>(nextDamage() % frame.size()));
    }
}

void GloveCore::recordFrame(TimePoint frameTime) {
    auto slots = motionSlots(frameTime);
    std::string line = frameTimeText(frameTime);
    for (int s = 0; s < config_.sensors; ++s) {
        line += ',' + std::to_string(slots[static_cast<size_t>(s)]);
    }
    line += "\r\n";
    card_.append(line);
}

void GloveCore::advance(TimePoint now) {
    if (streaming_) {
        bool linkOn = config_.transport == Transport::Serial ? usbOn_ : wifiOn_;
        microseconds period = linkPeriod();
        while (streaming_ && nextFrameAt_ <= now) {
            if (linkOn && nextFrameAt_ >= silentUntil_) {
                emitFrame(nextFrameAt_, now);
            }
            nextFrameAt_ += period;
            if (now - nextFrameAt_ > 5 * period) {
                nextFrameAt_ = now + period;  // stalled: skip rather than burst
            }
        }
        if (recording_) {
            microseconds recordPeriod = periodFor(sdDivider_);
            while (recording_ && nextRecordAt_ <= now) {
                recordFrame(nextRecordAt_);
                nextRecordAt_ += recordPeriod;
                if (now - nextRecordAt_ > 5 * recordPeriod) {
                    nextRecordAt_ = now + recordPeriod;
                }
            }
        }
    }
    if (downloading_) {
        pumpDownload(now);
    }
    if (!input_.empty() && !downloading_ && now - partialSince_ >= config_.partialTimeout) {
        // an unfinished command that never completed: resynchronise on the next byte
        if (expectHeader_) {
            expectHeader_ = false;
        } else {
            log(format("unfinished command 0x%02x dropped", input_[0]));
            dropFirstInputByte();
        }
        partialSince_ = now;
        processInput(now);
    }
}

TimePoint GloveCore::nextDeadline(TimePoint now) const {
    TimePoint next = now + kIdleWait;
    if (streaming_) {
        next = std::min(next, nextFrameAt_);
        if (recording_) {
            next = std::min(next, nextRecordAt_);
        }
    }
    if (downloading_ && queuedBytes_ < kDownloadWindow) {
        next = now;
    }
    if (!input_.empty() && !downloading_) {
        next = std::min(next, partialSince_ + config_.partialTimeout);
    }
    if (!queue_.empty()) {
        next = std::min(next, std::max(nextWriteAt_, queue_.front().notBefore));
    }
    return std::max(next, now);
}

}  // namespace glovesim

#include "kelbunit.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <sstream>
#include <stdexcept>

namespace kelbsim {

namespace {

constexpr std::uint8_t kAbort = 0x03;
constexpr std::uint8_t kReboot = 0x12;
constexpr double kPi = 3.14159265358979323846;

}  // namespace

KelbUnit::KelbUnit(Options options, Faults faults, Sink sink, Note note)
    : options_(std::move(options)),
      faults_(faults),
      sink_(std::move(sink)),
      note_(std::move(note)),
      mask_(options_.mask & 0x00ffffff) {}

std::size_t KelbUnit::commandLength(std::size_t have) const {
    switch (pending_[0]) {
        case kAbort:
        case kReboot:
        case 'S':
        case 'G':
            return 1;
        case 'U':
        case '?':
            return 2;
        case 'M':
        case 'P':
            return 4;
        case 'A':
            if (have < 2) {
                return 0;  // count byte still to come
            }
            return pending_[1] == 6 ? 14 : 4;
        default:
            return 1;  // unknown: consumed and ignored
    }
}

void KelbUnit::feed(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        pending_.push_back(data[i]);
        std::size_t need = commandLength(pending_.size());
        if (need != 0 && pending_.size() >= need) {
            std::vector<std::uint8_t> cmd(pending_.begin(), pending_.begin() + need);
            pending_.erase(pending_.begin(), pending_.begin() + need);
            const bool slow = faults_.slowSeconds > 0 && (faults_.slowCommand.empty() ||
                                                          faults_.slowCommand == commandName(cmd));
            if (slow || !late_.empty()) {
                // One command interpreter: whatever comes behind a late command waits for it.
                double due = now_ + (slow ? faults_.slowSeconds : 0);
                if (!late_.empty()) {
                    due = std::max(due, late_.back().due);
                }
                late_.push_back({due, std::move(cmd)});
            } else {
                execute(cmd);
            }
        }
        if (pending_.size() > kMaxCommand) {
            pending_.clear();
        }
    }
}

void KelbUnit::say(const std::string& text) {
    if (note_) {
        note_(text);
    }
}

void KelbUnit::emit(const std::vector<std::uint8_t>& bytes) {
    if (!faults_.mute) {
        sink_(bytes);
    }
}

void KelbUnit::reply(std::vector<std::uint8_t> bytes) {
    bytes.push_back(0);
    emit(bytes);
}

// Odd bytes only: never the NUL that frames the line.
std::vector<std::uint8_t> KelbUnit::junk() {
    std::vector<std::uint8_t> out;
    for (int i = 0; i < 11; ++i) {
        noise_ = noise_ * 1664525u + 1013904223u;
        out.push_back(static_cast<std::uint8_t>((noise_ >> 24) | 1u));
    }
    return out;
}

bool KelbUnit::unitError() {
    if (faults_.errorAfter < 0) {
        return false;
    }
    if (errorUntil_ < 0 && recordsSent_ >= faults_.errorAfter) {
        errorUntil_ = now_ + faults_.errorSeconds;
        say("unit error");
    }
    return errorUntil_ >= 0 && now_ < errorUntil_;
}

std::uint8_t KelbUnit::statusByte() {
    // Bit 0 and bit 7 together say the unit is ready; an error clears bit 7.
    std::uint8_t s = unitError() ? 0x01 : 0x81;
    if (options_.wristSwitch) {
        s |= 0x02;
    }
    if (light_) {
        s |= 0x04;
    }
    return s;
}

void KelbUnit::execute(const std::vector<std::uint8_t>& cmd) {
    switch (cmd[0]) {
        case kAbort:
            streaming_ = false;
            say("abort");
            reply({kAbort});
            break;
        case kReboot:
            streaming_ = false;
            say("reboot");
            reply({kReboot});
            break;
        case 'U':
            say("U-set");
            reply({'U', cmd[1] != 0 ? cmd[1] : std::uint8_t{1}});
            break;
        case '?': {
            const std::uint8_t status = statusByte();
            const std::uint8_t p0 = status & 0x07;
            const std::uint8_t p1 = static_cast<std::uint8_t>(
                (status & 0x80) | (options_.rightHand ? 0x40 : 0) | paramFlags_);
            if (cmd[1] == 'p') {
                std::string text = "?p " + std::to_string(p0) + " " + std::to_string(p1) + " 1";
                reply(std::vector<std::uint8_t>(text.begin(), text.end()));
            } else if (cmd[1] == 'P') {
                // p0 always has bit 0 set and p2 is unused, so no field is NUL.
                reply({'?', 'P', p0, p1, 1});
            } else if (cmd[1] == 'i') {
                std::string text = "?iKELB sim 1.0";
                if (options_.plugged) {
                    text += " S/N " + std::to_string(options_.serialNumber);
                }
                reply(std::vector<std::uint8_t>(text.begin(), text.end()));
            } else if (cmd[1] == 'M') {
                reply({'?', 'M', static_cast<std::uint8_t>(mask_ & 0xff),
                       static_cast<std::uint8_t>((mask_ >> 8) & 0xff),
                       static_cast<std::uint8_t>((mask_ >> 16) & 0xff)});
            } else {
                say("unknown query");
            }
            break;
        }
        case 'M': {
            std::uint32_t m = cmd[1] | (cmd[2] << 8) | (cmd[3] << 16);
            // A zero mask byte could not be reported inside a NUL-framed reply.
            if (cmd[1] != 0 && cmd[2] != 0 && cmd[3] != 0) {
                mask_ = m;
                say("set mask");
            } else {
                say("set mask refused");
            }
            reply({'M'});
            break;
        }
        case 'P':
            light_ = (cmd[1] & 0x04) != 0;
            paramFlags_ = cmd[2] & 0x1d;
            say("set parameters");
            reply({'P'});
            break;
        case 'S':
            say("start streaming");
            streaming_ = true;
            nextDue_ = now_;
            sendRecord('S', now_);
            break;
        case 'G':
            say("get record");
            sendRecord('G', now_);
            break;
        case 'A':
            if (cmd[1] == 6) {
                for (int i = 0; i < 6; ++i) {
                    actuators_.emplace_back(cmd[2 + 2 * i], cmd[3 + 2 * i]);
                }
                say("six actuators");
            } else {
                actuators_.emplace_back(cmd[2], cmd[3]);
                say("one actuator");
            }
            break;
        default:
            say("ignored byte");
            break;
    }
}

std::vector<std::uint8_t> KelbUnit::sensorBytes(double now) {
    const int n = std::popcount(mask_);
    std::vector<std::uint8_t> out;
    if (!options_.script.empty()) {
        const auto& line = options_.script[std::min(scriptIndex_, options_.script.size() - 1)];
        ++scriptIndex_;
        for (int i = 0; i < n; ++i) {
            out.push_back(i < static_cast<int>(line.size()) ? line[i] : line.back());
        }
        return out;
    }
    // Slow flexing of the whole hand, each sensor a little out of phase; kept in 20..230.
    for (int k = 0, i = 0; k < 24; ++k) {
        if ((mask_ >> k) & 1u) {
            double v = 125.0 + 90.0 * std::sin(2 * kPi * 0.4 * now + 0.3 * k);
            out.push_back(static_cast<std::uint8_t>(std::lround(v)));
            ++i;
        }
    }
    return out;
}

void KelbUnit::sendRecord(std::uint8_t kind, double now) {
    const std::uint8_t status = statusByte();  // counted before this record
    ++recordsSent_;
    if (faults_.garbageEvery > 0 && recordsSent_ % faults_.garbageEvery == 0) {
        reply(junk());
        return;
    }
    if (faults_.oversizeAfter >= 0 && !oversizeUsed_ && recordsSent_ > faults_.oversizeAfter) {
        oversizeUsed_ = true;
        std::vector<std::uint8_t> big(3000, 0x5a);
        big[0] = kind;
        reply(std::move(big));
        return;
    }
    std::vector<std::uint8_t> rec{kind};
    auto bytes = sensorBytes(now);
    if (faults_.truncateEvery > 0 && recordsSent_ % faults_.truncateEvery == 0 && !bytes.empty()) {
        bytes.pop_back();
    }
    rec.insert(rec.end(), bytes.begin(), bytes.end());
    rec.push_back(status);
    reply(std::move(rec));
}

void KelbUnit::tick(double nowSeconds) {
    now_ = nowSeconds;
    while (!late_.empty() && late_.front().due <= nowSeconds) {
        std::vector<std::uint8_t> cmd = std::move(late_.front().cmd);
        late_.pop_front();
        execute(cmd);
    }
    if (!streaming_) {
        return;
    }
    const double period = 1.0 / options_.rateHz;
    // Never burst more than a handful of late records after a stall.
    if (nowSeconds - nextDue_ > 5 * period) {
        nextDue_ = nowSeconds;
    }
    while (streaming_ && nowSeconds >= nextDue_) {
        if (silentUntil_ >= 0 && nowSeconds < silentUntil_) {
            nextDue_ = silentUntil_;
            return;
        }
        if (faults_.silenceAfter >= 0 && !silenceUsed_ && recordsSent_ >= faults_.silenceAfter) {
            silenceUsed_ = true;
            silentUntil_ = nowSeconds + faults_.silenceSeconds;
            say("silent");
            nextDue_ = silentUntil_;
            return;
        }
        if (faults_.noiseAfter >= 0 && recordsSent_ >= faults_.noiseAfter &&
            (noiseUntil_ < 0 || nowSeconds < noiseUntil_)) {
            if (noiseUntil_ < 0) {
                noiseUntil_ = nowSeconds + faults_.noiseSeconds;
                say("noise");
            }
            emit(junk());
        } else {
            sendRecord('S', nowSeconds);
        }
        nextDue_ += period;
    }
}

double KelbUnit::secondsUntilDue(double nowSeconds) const {
    double due = -1;
    if (streaming_) {
        due = std::max(0.0, nextDue_ - nowSeconds);
    }
    if (!late_.empty()) {
        double first = std::max(0.0, late_.front().due - nowSeconds);
        due = due < 0 ? first : std::min(due, first);
    }
    return due;
}

std::string commandName(const std::vector<std::uint8_t>& cmd) {
    if (cmd.empty()) {
        return {};
    }
    switch (cmd[0]) {
        case kAbort:
            return "abort";
        case kReboot:
            return "reboot";
        case '?':
            return cmd.size() >= 2 ? std::string{'?', static_cast<char>(cmd[1])} : "?";
        default:
            return std::string(1, static_cast<char>(cmd[0]));
    }
}

bool knownCommandName(const std::string& name) {
    static const char* const kNames[] = {"abort", "reboot", "U",  "M",  "P",  "S",
                                         "G",     "A",      "?p", "?P", "?i", "?M"};
    for (const char* n : kNames) {
        if (name == n) {
            return true;
        }
    }
    return false;
}

std::vector<std::uint8_t> parseScriptLine(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::uint8_t> out;
    std::string token;
    while (in >> token) {
        std::size_t used = 0;
        long v = 0;
        try {
            v = std::stol(token, &used, 0);
        } catch (const std::exception&) {
            throw std::invalid_argument("not a number: '" + token + "'");
        }
        if (used != token.size() || v < 1 || v > 255) {
            throw std::invalid_argument("sensor byte must be 1..255: '" + token + "'");
        }
        out.push_back(static_cast<std::uint8_t>(v));
    }
    if (out.empty()) {
        throw std::invalid_argument("empty record");
    }
    return out;
}

}  // namespace kelbsim

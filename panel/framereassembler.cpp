#include "framereassembler.hpp"

#include <algorithm>

namespace {

bool opensFrame(const char* p) {
    auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
    for (qsizetype i = 0; i < FrameReassembler::kStampLength; ++i) {
        const bool colon = i == 2 || i == 5 || i == 8 || (i == 10 && p[i] == ':');
        if (colon ? p[i] != ':' : !digit(p[i])) {
            return false;
        }
    }
    return true;
}

// Whether a frame opens in data before `end` (its whole time stamp inside data).
bool frameOpensBefore(const QByteArray& data, qsizetype end) {
    for (qsizetype at = 0; at < end && at + FrameReassembler::kStampLength <= data.size(); ++at) {
        if (opensFrame(data.constData() + at)) {
            return true;
        }
    }
    return false;
}

}  // namespace

void FrameReassembler::clear() {
    frameBuffer_.clear();
    echoBuffer_.clear();
    skipEchoNul_ = false;
}

void FrameReassembler::awaitEcho() {
    echoBuffer_.clear();
    skipEchoNul_ = false;
}

FrameReassembler::Echo FrameReassembler::takeEcho(const QByteArray& data, QByteArray& rest) {
    echoBuffer_ += data;
    const qsizetype at = echoBuffer_.indexOf(QByteArrayLiteral("1S"));
    if (frameOpensBefore(echoBuffer_, at < 0 ? echoBuffer_.size() : at)) {
        echoBuffer_.clear();
        return Echo::Missing;
    }
    if (at < 0) {
        // Enough of the end to find an echo or a time stamp split between reads.
        echoBuffer_ = echoBuffer_.right(kStampLength - 1);
        return Echo::Waiting;
    }
    rest = echoBuffer_.mid(at + 2);
    echoBuffer_.clear();
    frameBuffer_.clear();
    skipEchoNul_ = true;
    return Echo::Found;
}

void FrameReassembler::takeFrameBytes(const QByteArray& data,
                                      const std::function<void(const QByteArray&)>& onFrame) {
    qsizetype pos = 0;
    if (skipEchoNul_ && !data.isEmpty()) {
        // A frame starts with a digit of the hour, never with NUL.
        if (data.at(0) == '\0') {
            pos = 1;
        }
        skipEchoNul_ = false;
    }
    while (pos < data.size()) {
        const qsizetype take =
            std::min<qsizetype>(kFrameSize - frameBuffer_.size(), data.size() - pos);
        frameBuffer_.append(data.constData() + pos, take);
        pos += take;
        if (frameBuffer_.size() == kFrameSize) {
            onFrame(frameBuffer_);
            frameBuffer_.clear();
        }
    }
}

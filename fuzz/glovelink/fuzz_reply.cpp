// Arbitrary glove replies into every command's reply handling, through the real TCP
// transport's echo and NUL phases, with the socket replaced by bytes in memory: byte 0 picks
// the command, byte 1 the largest piece one read returns, the rest is what the "glove" sends
// back. When the bytes run out the glove has hung up, so no wait lasts beyond one check.

#include "link/glovelink.hpp"
#include "link/glovetransport.hpp"

#include <QTcpSocket>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// A connected socket whose peer's bytes are already all there; what is written is dropped.
class MemorySocket final : public QTcpSocket {
  public:
    MemorySocket(const uint8_t* data, size_t size, qint64 piece)
        : data_(data), size_(size), piece_(piece) {
        setOpenMode(QIODevice::ReadWrite | QIODevice::Unbuffered);
        setSocketState(QAbstractSocket::ConnectedState);
    }
    qint64 bytesAvailable() const override { return static_cast<qint64>(size_ - at_); }
    qint64 bytesToWrite() const override { return 0; }
    bool waitForReadyRead(int) override {
        if (at_ < size_) {
            return true;
        }
        setSocketState(QAbstractSocket::UnconnectedState);
        return false;
    }
    bool waitForBytesWritten(int) override { return true; }

  protected:
    qint64 readData(char* out, qint64 max) override {
        const qint64 n = std::min({max, piece_, bytesAvailable()});
        std::memcpy(out, data_ + at_, static_cast<size_t>(n));
        at_ += static_cast<size_t>(n);
        return n;
    }
    qint64 writeData(const char*, qint64 n) override { return n; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    qint64 piece_;
};

GloveTiming fuzzTiming() {
    GloveTiming t;
    using ms = std::chrono::milliseconds;
    t.serialWritePause = ms(0);
    t.splitFirstPause = ms(0);
    t.splitSecondPause = ms(0);
    t.splitReplyPause = ms(0);
    t.tcpEchoTimeout = ms(0);
    t.tcpReplyTimeout = ms(0);
    t.readGiveUp = ms(50);
    // A download runs until the line stays quiet this long: keep it short but long enough
    // to take every piece the bytes hold.
    t.downloadIdleLimit = ms(1);
    t.downloadEmptyPause = ms(0);
    t.downloadStartPause = ms(0);
    t.hardwareWritePause = ms(0);
    t.tcpDownloadWait = ms(0);
    return t;
}

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

void runCommand(GloveLink& link, uint8_t which) {
    // A download ends only after its idle limit (a millisecond of waiting on an empty line,
    // ten times the cost of any other command): it takes one selector value, not one in 17.
    switch (which == 9 ? 9 : (which % 17 == 9 ? 16 : which % 17)) {
        case 0:
            check(link.querySensorCount() == 18 || link.sensorCount() != 18);
            break;
        case 1:
            check(link.readSerialNumber() >= -999);
            break;
        case 2:
            link.writeSerialNumber(1234);
            break;
        case 3:
            link.queryRightHand();
            break;
        case 4: {
            const int level = link.batteryLevel();
            check(level >= 0 && level <= 3);
            break;
        }
        case 5:
            link.setTime(12, 34, 56);
            break;
        case 6: {
            int t[5] = {-1, -1, -1, -1, -1};
            link.getTime(t);
            for (int f = 0; f < 4; ++f) {
                // At most nine digits either side of zero: never an overflow.
                check(t[f] >= -999999999 && t[f] <= 999999999);
            }
            break;
        }
        case 7: {
            std::vector<char> list(GloveLink::kFileListSize);
            const int n = link.getFileList(list.data(), static_cast<int>(list.size()));
            check(n >= 0 && n <= GloveLink::kFileListSize);
            for (const std::string& name : glove::parseFileList(list.data(), n)) {
                check(!name.empty() && name.size() <= static_cast<size_t>(n));
            }
            break;
        }
        case 8:
            link.setActiveFile("DATA.TXT", nullptr);
            break;
        case 9: {
            std::vector<uint8_t> data;
            link.downloadActiveFile(data);
            break;
        }
        case 10:
            link.readFrame();
            link.readFrame();
            break;
        case 11:
            link.pollSample();
            break;
        case 12: {
            uint8_t block[glove::kHardwareBlockReadSize];
            link.readHardwareCalibration(block);
            break;
        }
        case 13:
            link.stopStreaming();
            break;
        case 14:
            link.setLowPower(true);
            break;
        case 15:
            link.configureOutputs(true, 3, false, 1, true, 1);
            break;
        default:
            link.setJamSync(true);
            break;
    }
    link.computeAngles();
    check(link.lastMessage().size() < GloveLink::kMessageSize);
}

// A well-formed frame of second `second`: time text, NUL, values with neither NUL nor ':'.
void appendFrame(std::vector<uint8_t>& out, int second) {
    char time[32];
    std::snprintf(time, sizeof time, "12:34:%02d:07:0", second);
    out.insert(out.end(), time, time + 13);
    out.push_back(0);
    for (int s = 0; s < 2 * glove::kFrameSlotCount; ++s) {
        out.push_back(static_cast<uint8_t>(0x40 + (s + second) % 60));
    }
    out.push_back(0);
}

// Whatever garbage (without ':') precedes the stream, the reader is back in step within a
// few frames and the last frame read is the last one sent.
void checkResync(GloveLink& link, const uint8_t* data, size_t size, qint64 piece) {
    std::vector<uint8_t> stream(data, data + std::min<size_t>(size, 3 * glove::kFrameSize));
    std::replace(stream.begin(), stream.end(), uint8_t{':'}, uint8_t{';'});
    constexpr int kFrames = 5;
    for (int f = 1; f <= kFrames; ++f) {
        appendFrame(stream, f);
    }
    link.attachTransport(std::make_unique<TcpTransport>(
        std::make_unique<MemorySocket>(stream.data(), stream.size(), piece), link.timing()));
    // Reading past the end fails and marks the link; that ends the loop.
    for (int i = 0; i < 2 * kFrames + 8 && link.errorState() == 0; ++i) {
        link.readFrame();
    }
    int t[5];
    link.frameTime(t);
    check(t[0] == 12 && t[1] == 34 && t[2] == kFrames);
    link.close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static GloveLink* link = new GloveLink(nullptr, fuzzTiming());
    if (size < 2) {
        return 0;
    }
    const qint64 piece = 1 + data[1] % 64 * 17;
    if (data[0] == 0xff) {
        checkResync(*link, data + 2, size - 2, piece);
        return 0;
    }
    link->attachTransport(std::make_unique<TcpTransport>(
        std::make_unique<MemorySocket>(data + 2, size - 2, piece), link->timing()));
    runCommand(*link, data[0]);
    link->close();
    return 0;
}

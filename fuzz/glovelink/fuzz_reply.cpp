// Arbitrary glove replies into every command's reply handling, over a real loopback TCP
// connection: byte 0 picks the command, the rest is what the "glove" sends back.

#include "link/glovelink.hpp"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpSocket>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

GloveTiming fuzzTiming() {
    GloveTiming t;
    using ms = std::chrono::milliseconds;
    t.serialWritePause = ms(0);
    t.splitFirstPause = ms(0);
    t.splitSecondPause = ms(0);
    t.splitReplyPause = ms(0);
    t.tcpEchoTimeout = ms(5);
    t.tcpReplyTimeout = ms(5);
    t.readGiveUp = ms(30);
    t.downloadIdleLimit = ms(20);
    t.downloadEmptyPause = ms(1);
    t.downloadStartPause = ms(0);
    t.hardwareWritePause = ms(0);
    t.tcpDownloadWait = ms(5);
    return t;
}

struct Rig {
    Rig() {
        static int argc = 1;
        static char name[] = "fuzz_glovelink_reply";
        static char* argv[] = {name, nullptr};
        app = new QCoreApplication(argc, argv);
        link = new GloveLink(nullptr, fuzzTiming());
        if (!link->listen(0, QHostAddress::LocalHost)) {
            __builtin_trap();
        }
    }
    QCoreApplication* app;
    GloveLink* link;
};

void runCommand(GloveLink& link, uint8_t which) {
    switch (which % 16) {
        case 0:
            link.querySensorCount();
            break;
        case 1:
            link.readSerialNumber();
            break;
        case 2:
            link.writeSerialNumber(1234);
            break;
        case 3:
            link.queryRightHand();
            break;
        case 4:
            link.batteryLevel();
            break;
        case 5:
            link.setTime(12, 34, 56);
            break;
        case 6: {
            int t[5] = {};
            link.getTime(t);
            break;
        }
        case 7: {
            std::vector<char> list(GloveLink::kFileListSize);
            const int n = link.getFileList(list.data(), static_cast<int>(list.size()));
            if (n < 0 || n > GloveLink::kFileListSize) {
                __builtin_trap();
            }
            glove::parseFileList(list.data(), n);
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
        default:
            link.setJamSync(true);
            break;
    }
    link.computeAngles();
    (void)link.lastMessage();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig rig;
    if (size == 0 || size > 64 * 1024) {
        return 0;
    }
    QTcpSocket glove;
    glove.connectToHost(QHostAddress::LocalHost, rig.link->serverPort());
    if (!glove.waitForConnected(2000) || !rig.link->waitForNewConnection(2000) ||
        !rig.link->acceptConnection()) {
        __builtin_trap();
    }
    glove.write(reinterpret_cast<const char*>(data + 1), static_cast<qint64>(size - 1));
    glove.waitForBytesWritten(2000);
    // The glove hangs up after its reply: waits end at once instead of at their time-outs,
    // and a closed connection is one more case the reply handling has to survive.
    glove.disconnectFromHost();
    runCommand(*rig.link, data[0]);
    glove.abort();
    return 0;
}

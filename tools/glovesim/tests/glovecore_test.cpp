// The protocol engine driven directly with its own clock: exact reply bytes, streaming, card,
// scripts and faults.
#include <gtest/gtest.h>

#include <unistd.h>
#include <bit>

#include <bit>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "glovesim/glovecore.hpp"
#include "testsupport/tempdir.hpp"

namespace glovesim {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

class Engine {
  public:
    explicit Engine(GloveConfig config = {}) : core(config, now) {}

    std::string send(const std::string& bytes) {
        core.receive(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
            now);
        return drain();
    }
    std::string drain() {
        std::string out;
        for (int i = 0; i < 100000; ++i) {
            core.advance(now);
            auto s = core.peekOutput(now);
            if (s.empty()) {
                break;
            }
            out.append(reinterpret_cast<const char*>(s.data()), s.size());
            core.consumeOutput(s.size(), now);
        }
        return out;
    }
    std::string run(Millis d, Millis step = Millis(1)) {
        std::string out;
        for (Millis t{0}; t < d; t += step) {
            now += step;
            out += drain();
        }
        return out;
    }

    TimePoint now{};
    GloveCore core;
};

GloveConfig fastStart(GloveConfig c = {}) {
    c.streamStartDelay = Millis(1);
    return c;
}

using testsupport::TempDir;

TEST(GloveCoreReplies, EachCommandIsEchoedAndEndedAsTheConsoleReadsIt) {
    GloveConfig c;
    c.serialNumber = 42;
    c.batteryMv = 7400;
    c.initialTimeOfDayMs = ((10 * 60 + 11) * 60 + 12) * 1000LL;
    Engine e(c);
    EXPECT_EQ(e.send("?S\0"s), "?S\x16\0"s);
    EXPECT_EQ(e.send("?R"), "?R\x01\0"s);
    EXPECT_EQ(e.send("V"), "V7400\0"s);
    EXPECT_EQ(e.send("?E\0"s), "?E \0"s);
    EXPECT_EQ(e.send("?E\x01"), "?E \0"s);
    EXPECT_EQ(e.send("?E\x02"), "?E4\0"s);
    EXPECT_EQ(e.send("?E3"), "?E2\0"s);
    EXPECT_EQ(e.send("1tg"), "1tg10:11:12:00\0"s);
    EXPECT_EQ(e.send("1o\x01"), "1o\x01\0"s);
    EXPECT_EQ(e.send("1o\0"s), "1o\0"s) << "an echo ending in NUL gets no second NUL";
    EXPECT_EQ(e.send("1m\x03"), "1m\x03\0"s);
    EXPECT_EQ(e.send("1ew"), "1ew\0"s);
    EXPECT_EQ(e.send("1du"), "1du\0"s);
    EXPECT_EQ(e.send("1s\x01"), "1s\x01\0"s);
    EXPECT_EQ(e.send("1w\0"s), "1w\0"s);
    EXPECT_EQ(e.send("^W"), "^W") << "commit is answered by its echo alone";
    EXPECT_EQ(e.send("\x12\0"s), "\x12\0"s);
    EXPECT_EQ(e.send("\x03"), "\x03\0"s);
    EXPECT_EQ(e.send("?l"), "?l\0"s) << "no card, empty list";
    EXPECT_EQ(e.send("1D"), "1D" + std::string(15, '\r'));
}

TEST(GloveCoreReplies, LeftHandAndEighteenSensors) {
    GloveConfig c;
    c.leftHand = true;
    c.sensors = 18;
    Engine e(c);
    EXPECT_EQ(e.send("?R"), "?R\0"s);
    EXPECT_EQ(e.send("?S\0"s), "?S\x12\0"s);
    std::string poll = e.send("G");
    ASSERT_EQ(poll.size(), 20u);
    EXPECT_EQ(poll.front(), 'G');
    EXPECT_EQ(poll.back(), '\0');
    EXPECT_EQ(poll.find('\0'), 19u) << "no count may be 0, it would end the reply early";
}

TEST(GloveCoreReplies, LowPowerAndCalibrationWriteAreSilentOnSerialAndNulOnTcp) {
    Engine serial;
    std::string block(36, '\x07');
    EXPECT_EQ(serial.send("Z1"), "");
    EXPECT_TRUE(serial.core.lowPower());
    EXPECT_EQ(serial.send("Z\0"s), "");
    EXPECT_FALSE(serial.core.lowPower());
    EXPECT_EQ(serial.send("CA" + block), "");
    GloveConfig c;
    c.transport = Transport::Tcp;
    Engine tcp(c);
    EXPECT_EQ(tcp.send("Z\x01"), "\0"s);
    EXPECT_TRUE(tcp.core.lowPower());
    EXPECT_EQ(tcp.send("Z0"), "\0"s);
    EXPECT_EQ(tcp.send("CA" + block), "\0"s);
}

TEST(GloveCoreReplies, SerialNumberWrittenByCharactersReadsBack) {
    Engine e;
    EXPECT_EQ(e.send("E\0 "s), "E\0"s);
    EXPECT_EQ(e.send("E\x01 "), "E\0"s);
    EXPECT_EQ(e.send("E\x02"
                     "4"),
              "E\0"s);
    EXPECT_EQ(e.send("E\x03"
                     "2"),
              "E\0"s);
    EXPECT_EQ(e.core.eepromSerial(), "  42");
    EXPECT_EQ(e.send("?E\x02"), "?E4\0"s);
    EXPECT_EQ(e.send("?E\x09"), "?E\0"s) << "an unknown position gives a reply too short to use";
}

TEST(GloveCoreReplies, ClockSetIsKeptAndRuns) {
    Engine e;
    EXPECT_EQ(e.send("1ts23:59:58"), "1ts23:59:58\0"s);
    e.now += Millis(2500);
    EXPECT_EQ(e.send("1tg"), "1tg00:00:00:15\0"s) << "wraps at midnight, frame = half second";
    EXPECT_EQ(e.send("1ts99:00:00"), "1ts99:00:00\0"s);
    EXPECT_EQ(e.send("1tg"), "1tg00:00:00:15\0"s) << "an impossible time is ignored";
}

TEST(GloveCoreReplies, HardwareBlockIsWrittenByPositionAndReadBySensorIndex) {
    Engine e;
    std::string block(36, '\0');
    for (int p = 0; p < 18; ++p) {
        block[static_cast<size_t>(p)] = static_cast<char>(10 + p);
        block[18 + static_cast<size_t>(p)] = static_cast<char>(100 + p);
    }
    e.send("CA" + block);
    std::string r = e.send("?C");
    ASSERT_EQ(r.size(), 51u);
    EXPECT_EQ(r.substr(0, 2), "?C");
    EXPECT_EQ(r.back(), '\0');
    // index 8 has hardware position 6, index 22 position 17; index 6 has none
    EXPECT_EQ(r[2 + 8], 16);
    EXPECT_EQ(r[2 + 22], 27);
    EXPECT_EQ(r[2 + 24 + 8], 106);
    EXPECT_EQ(r[2 + 6], 0);
    EXPECT_EQ(r[2 + 24 + 23], 0);

    e.send("\x12\0"s);
    EXPECT_NE(e.send("?C")[2 + 8], 16) << "an uncommitted block is lost on reboot";
    e.send("CA" + block);
    e.send("^W");
    e.send("\x12\0"s);
    EXPECT_EQ(e.send("?C")[2 + 8], 16) << "a committed block survives reboot";
}

TEST(GloveCoreReplies, HardwareBlockShapesTheCountsTheGloveReports) {
    Engine e;
    std::string before = e.send("G");
    std::string block(36, '\0');
    for (size_t p = 0; p < 18; ++p) {
        block[p] = 25;
        block[18 + p] = 125;
    }
    block[4] = 25 + 20;                      // index 4 (position 4): offset up by 20 counts
    block[18 + 1] = static_cast<char>(250);  // index 1 (position 1): gain doubled
    e.send("CA" + block);
    std::string after = e.send("G");
    ASSERT_EQ(before.size(), 24u);
    ASSERT_EQ(after.size(), 24u);
    auto count = [](const std::string& r, int slot) {
        return static_cast<int>(static_cast<uint8_t>(r[1 + static_cast<size_t>(slot)]));
    };
    EXPECT_NEAR(count(after, 4), count(before, 4) - 20, 1);
    EXPECT_NEAR(count(after, 1), std::min(255, 2 * count(before, 1)), 2);
    EXPECT_EQ(count(after, 0), count(before, 0)) << "other sensors unchanged";
}

TEST(GloveCoreParsing, CommandsInPiecesOrTogetherGiveTheSameReplies) {
    const std::string commands =
        "?S\0V1m\x03"
        "1es1du1ew1w\x09"
        "1s\x01"
        "?E\x01"
        "1tg"s;
    Engine whole;
    std::string expected = whole.send(commands);
    Engine bytewise;
    std::string got;
    for (char ch : commands) {
        got += bytewise.send(std::string(1, ch));
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(expected.substr(0, 4), "?S\x16\0"s);
    EXPECT_NE(expected.find("1w\x09\0"s), std::string::npos);
}

TEST(GloveCoreParsing, ActiveFileBlockOfTheSmallConsoleIsAnsweredInOrder) {
    TempDir card;
    GloveConfig c;
    c.sdcardDir = card.path();
    c.transport = Transport::Tcp;
    Engine e(c);
    std::string out = e.send(
        "1m\x03"
        "1es1du1ew1w\x09"
        "1s\x01"
        "1ARUN1.DAT\x01\x01"
        "1S"s);
    EXPECT_EQ(out,
              "1m\x03\0"
              "1es\0"
              "1du\0"
              "1ew\0"
              "1w\x09\0"
              "1s\x01\0"
              "1ARUN1.DAT\x01\0"
              "\x01\0"
              "1S\0"s);
    EXPECT_EQ(e.core.activeFile(), "RUN1.DAT");
    EXPECT_TRUE(e.core.streaming());
}

TEST(GloveCoreParsing, NameLettersAreEchoedBeforeTheNameArrives) {
    TempDir card;
    GloveConfig c;
    c.sdcardDir = card.path();
    Engine e(c);
    EXPECT_EQ(e.send("1A"), "1A");
    EXPECT_EQ(e.send("abc"), "");
    EXPECT_EQ(e.send("\x01"), "abc\x01\0"s);
    EXPECT_EQ(e.send("MY HEADER\x01"), "MY HEADER\x01\0"s);
    EXPECT_EQ(e.send("V"), "V7400\0"s) << "after the header the glove reads commands again";
    EXPECT_TRUE(fs::exists(card.path() + "/abc"));
}

TEST(GloveCoreParsing, NameThatWouldLeaveTheCardIsRefusedButItsHeaderStillConsumed) {
    TempDir card;
    GloveConfig c;
    c.sdcardDir = card.path();
    Engine e(c);
    EXPECT_EQ(e.send("1A../evil\x01"), "1A../evil\x01\0"s);
    EXPECT_EQ(e.core.activeFile(), "");
    EXPECT_EQ(e.send("DEFAULT HEADER\x01"), "DEFAULT HEADER\x01\0"s)
        << "the header text must not be taken for commands";
    EXPECT_FALSE(fs::exists(card.path() + "/../evil"));
}

TEST(GloveCoreParsing, UnfinishedCommandIsGivenUpAndJunkSkipped) {
    Engine e;
    EXPECT_EQ(e.send("\xff\xfe"
                     "V"),
              "V7400\0"s)
        << "unknown bytes are skipped";
    EXPECT_EQ(e.send("?V"), "V7400\0"s) << "a broken prefix resynchronises on the next byte";
    Engine f;
    EXPECT_EQ(f.send("1t"), "");
    f.run(Millis(5100), Millis(100));
    EXPECT_EQ(f.send("V"), "V7400\0"s);
}

TEST(GloveCoreParsing, EndlessInputStaysBounded) {
    Engine e;
    e.send("1A");
    std::string flood(100000, 'a');
    std::string out = e.send(flood);
    EXPECT_LE(out.size(), 10u);
    EXPECT_LE(e.core.queuedBytes(), 1024u * 1024u);
    // a name longer than the glove's buffer ends its exchange with a NUL
    EXPECT_NE(out.find('\0'), std::string::npos);
}

std::vector<std::string> framesOf(const std::string& bytes) {
    std::vector<std::string> frames;
    for (size_t i = 0; i + 61 <= bytes.size(); i += 61) {
        frames.push_back(bytes.substr(i, 61));
    }
    return frames;
}

int slot(const std::string& frame, int s) {
    return static_cast<int8_t>(frame[14 + 2 * static_cast<size_t>(s)]) * 256 +
           static_cast<uint8_t>(frame[15 + 2 * static_cast<size_t>(s)]);
}

TEST(GloveCoreStreaming, FramesHaveTheirLayoutAndComeAtTheConfiguredRate) {
    Engine e(fastStart());
    e.core.advance(e.now);
    EXPECT_EQ(e.send("1S"), "1S\0"s);
    std::string bytes = e.run(Millis(1000));
    ASSERT_EQ(bytes.size() % 61, 0u);
    auto frames = framesOf(bytes);
    EXPECT_NEAR(static_cast<double>(frames.size()), 30.0, 1.0) << "multiplier 3, divider 3";
    for (const auto& f : frames) {
        EXPECT_EQ(f[2], ':');
        EXPECT_EQ(f[5], ':');
        EXPECT_EQ(f[8], ':');
        EXPECT_EQ(f[10], ':');
        EXPECT_EQ(f[13], '\0');
        EXPECT_EQ(f[60], '\0');
        EXPECT_EQ(slot(f, 22), 0) << "slot 22 carries no sensor";
    }
    EXPECT_EQ(e.send("1m\x04"), "1m\x04\0"s);
    EXPECT_EQ(e.send("1u\x01"), "1u\x01\0"s);
    EXPECT_NEAR(static_cast<double>(framesOf(e.run(Millis(1000))).size()), 120.0, 2.0);
    e.send("1du");
    EXPECT_EQ(e.run(Millis(300)), "") << "a disabled output streams nothing over its link";
    e.send("1eu");
    e.send("\x03");
    EXPECT_EQ(e.run(Millis(300)), "");
}

TEST(GloveCoreStreaming, TcpUsesTheWifiDividerAndFirstFrameWaitsForTheDelay) {
    GloveConfig c;
    c.transport = Transport::Tcp;
    c.streamStartDelay = Millis(500);
    Engine e(c);
    e.send("1w\x09");
    e.send("1S");
    EXPECT_EQ(e.run(Millis(450)), "");
    std::string bytes = e.run(Millis(1550));
    EXPECT_NEAR(static_cast<double>(bytes.size() / 61), 16.0, 1.0) << "30 x 3 / 9 = 10 Hz";
}

TEST(GloveCoreStreaming, MotionIsSmoothBoundedAndFollowsTheSlotMap) {
    for (int sensors : {18, 22}) {
        GloveConfig c = fastStart();
        c.sensors = sensors;
        Engine e(c);
        e.send("1S");
        auto frames = framesOf(e.run(Millis(8000)));
        ASSERT_GT(frames.size(), 200u);
        for (size_t i = 0; i < frames.size(); ++i) {
            for (int s = 0; s < 23; ++s) {
                int v = slot(frames[i], s);
                if (s >= sensors) {
                    EXPECT_EQ(v, 0) << sensors << " sensors, slot " << s;
                    continue;
                }
                EXPECT_GE(v, 16);
                EXPECT_LE(v, 255 * 16);
                if (i > 0) {
                    EXPECT_LE(std::abs(v - slot(frames[i - 1], s)), 200) << "slot " << s;
                }
            }
        }
        // the hand really moves: the index finger's inner joint spans a wide range
        int lo = 1 << 20, hi = 0;
        for (const auto& f : frames) {
            lo = std::min(lo, slot(f, 4));
            hi = std::max(hi, slot(f, 4));
        }
        EXPECT_GT(hi - lo, 60 * 16);
    }
}

TEST(GloveCoreStreaming, FrameTimeFollowsTheClock) {
    GloveConfig c = fastStart();
    c.initialTimeOfDayMs = ((8 * 60 + 30) * 60 + 5) * 1000LL;
    Engine e(c);
    e.send("1S");
    auto frames = framesOf(e.run(Millis(100)));
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].substr(0, 9), "08:30:05:");
    EXPECT_EQ(frames[0].substr(9, 4), "0:00");
    EXPECT_EQ(frames[1].substr(9, 4), "0:01") << "30 Hz at multiplier 3: every third sub-frame";
}

TEST(GloveCoreScript, FramesAndPollsCarryTheScriptedValues) {
    std::string err;
    auto script = parseScript(
        "frame 2032 2096 2097 -5\n"
        "frame time=12:34:56:07123 1 2 3\n"
        "poll 1 2 3 255\n"
        "poll 9\n"
        "end stop\n",
        &err);
    ASSERT_TRUE(script) << err;
    GloveConfig c = fastStart();
    c.script = script;
    Engine e(c);
    EXPECT_EQ(e.send("G"), "G\x01\x02\x03\xff\0"s);
    EXPECT_EQ(e.send("G"), "G\x09\0"s);
    EXPECT_EQ(e.send("G"), "G\0"s) << "after the last poll with end stop";
    e.send("1S");
    auto frames = framesOf(e.run(Millis(500)));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(slot(frames[0], 0), 2032);
    EXPECT_EQ(slot(frames[0], 1), 2096);
    EXPECT_EQ(slot(frames[0], 2), 2097);
    EXPECT_EQ(slot(frames[0], 3), -5);
    EXPECT_EQ(slot(frames[0], 4), 0);
    EXPECT_EQ(frames[1].substr(0, 14), "12:34:56:07123");
}

TEST(GloveCoreScript, LoopAndHoldRepeatDifferently) {
    for (auto [end, third] : {std::pair{"loop", 1}, std::pair{"hold", 2}}) {
        auto script = parseScript(std::string("frame 1\nframe 2\nend ") + end + "\n", nullptr);
        ASSERT_TRUE(script);
        GloveConfig c = fastStart();
        c.script = script;
        Engine e(c);
        e.send("1S");
        auto frames = framesOf(e.run(Millis(150)));
        ASSERT_GE(frames.size(), 3u);
        EXPECT_EQ(slot(frames[2], 0), third) << end;
    }
}

TEST(GloveCoreScript, BadLinesAreReportedWithTheirNumber) {
    std::string err;
    EXPECT_FALSE(parseScript("frame 1\nframe 99999\n", &err));
    EXPECT_EQ(err.rfind("line 2:", 0), 0u) << err;
    EXPECT_FALSE(parseScript("poll 256\n", &err));
    EXPECT_FALSE(parseScript("frame time=1:2 3\n", &err));
    EXPECT_FALSE(parseScript("end sometimes\n", &err));
    EXPECT_FALSE(parseScript("jump 3\n", &err));
    std::string many = "frame";
    for (int i = 0; i < 24; ++i) {
        many += " 1";
    }
    EXPECT_FALSE(parseScript(many, &err));
    EXPECT_TRUE(parseScript("# nothing\n\n  frame 1 # one\n", &err));
}

TEST(GloveCoreCard, ListDownloadAndRecording) {
    TempDir card;
    std::string data = "line one\r\nline two\r\n";
    card.write("B.DAT", data);
    card.write("A.DAT", "x");
    fs::create_directory(card.path() + "/folder");
    GloveConfig c = fastStart();
    c.sdcardDir = card.path();
    Engine e(c);
    EXPECT_EQ(e.send("?l"), "?lA.DAT\r\nB.DAT\r\n\0"s) << "files only, sorted";
    e.send("1AB.DAT\x01");
    e.send("DEFAULT HEADER\x01");
    EXPECT_EQ(e.send("1D"), "1D" + data + std::string(15, '\r'));
    EXPECT_EQ(card.read("B.DAT"), data) << "setting the active file changes nothing";

    e.send("1ANEW.DAT\x01");
    e.send("trial 7\x01");
    e.send("1S");
    e.run(Millis(200));
    e.send("\x03");
    std::string recorded = card.read("NEW.DAT");
    EXPECT_EQ(recorded.rfind("trial 7\r\n", 0), 0u);
    size_t lines = 0;
    for (char ch : recorded) {
        lines += ch == '\n';
    }
    EXPECT_NEAR(static_cast<double>(lines - 1), 18.0, 2.0) << "SD divider 1: 90 Hz";
}

TEST(GloveCoreCard, LargeDownloadIsPacedAndCommandsWaitForIt) {
    TempDir card;
    std::string data;
    for (int i = 0; i < 300000; ++i) {
        data.push_back(static_cast<char>('a' + i % 26));
    }
    card.write("BIG", data);
    GloveConfig c;
    c.sdcardDir = card.path();
    Engine e(c);
    e.send("1ABIG\x01");
    e.send("h\x01");
    e.core.receive(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("1D"), 2), e.now);
    EXPECT_LE(e.core.queuedBytes(), 70u * 1024u) << "the file is not read into memory at once";
    e.core.receive(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("V"), 1), e.now);
    std::string out = e.drain();
    EXPECT_EQ(out, "1D" + data + std::string(15, '\r') + "V7400\0"s);
}

TEST(GloveCoreFaults, BadFrameGarbageAndSilence) {
    GloveConfig c = fastStart();
    c.faults.badFrame = 2;
    c.faults.garbageAfterFrame = 3;
    c.faults.garbageCount = 5;
    c.faults.silenceAfterFrames = 4;
    Engine e(c);
    e.send("1S");
    std::string bytes = e.run(Millis(1000));
    ASSERT_EQ(bytes.size(), 4u * 61 + 5);
    EXPECT_EQ(bytes.substr(61 + 2, 1), ";");
    EXPECT_EQ(bytes.substr(61 + 5, 1), ";");
    EXPECT_EQ(bytes[2], ':');
    std::string junk = bytes.substr(3 * 61, 5);
    EXPECT_EQ(junk.find('\0'), std::string::npos);
    EXPECT_EQ(bytes[3 * 61 + 5 + 2], ':') << "frame 4 follows the junk";
    EXPECT_EQ(e.send("V"), "") << "silent for good";
    Engine quick(c);
    quick.send("1S");
    quick.run(Millis(110));  // four frames; the fifth is not due yet
    EXPECT_EQ(quick.send("V"), "") << "silent right after the last frame";

    GloveConfig m = fastStart();
    m.faults.silenceAfterFrames = 2;
    m.faults.silenceBytes = 30;
    Engine mid(m);
    mid.send("1S");
    std::string cut = mid.run(Millis(1000));
    ASSERT_EQ(cut.size(), 2u * 61 + 30) << "silent in the middle of the third frame";
    EXPECT_EQ(cut[122 + 2], ':');
    EXPECT_EQ(mid.send("V"), "");
}

TEST(GloveCoreFaults, DamageTouchesOneByteOfEveryNthFrame) {
    struct Case {
        long Faults::*every;
        long sizeChange;  // per damaged frame
    };
    for (Case k : {Case{&Faults::flipEvery, 0}, Case{&Faults::insertEvery, 1},
                   Case{&Faults::deleteEvery, -1}}) {
        GloveConfig c = fastStart();
        c.faults.*k.every = 3;
        Engine clean(fastStart());
        Engine e(c);
        clean.send("1S");
        e.send("1S");
        const std::string want = clean.run(Millis(1000));
        const std::string got = e.run(Millis(1000));
        ASSERT_EQ(want.size() % 61, 0u);
        const long frames = static_cast<long>(want.size() / 61);
        ASSERT_GE(frames, 5);
        ASSERT_EQ(static_cast<long>(got.size()),
                  static_cast<long>(want.size()) + frames / 3 * k.sizeChange);
        // Frames 1 and 2 are whole; frame 3 differs, and only within itself.
        EXPECT_EQ(got.substr(0, 122), want.substr(0, 122));
        EXPECT_NE(got.substr(122, 61), want.substr(122, 61));
        const size_t tail = 183 + static_cast<size_t>(k.sizeChange);
        EXPECT_EQ(got.substr(tail, 122), want.substr(183, 122));
        if (k.sizeChange == 0) {
            int bits = 0;
            for (size_t i = 122; i < 183; ++i) {
                bits += std::popcount(static_cast<unsigned>(got[i] ^ want[i]) & 0xffu);
            }
            EXPECT_EQ(bits, 1);
        }
    }
}

TEST(GloveCoreFaults, TimedSilenceResumesWithTheRestOfTheFrame) {
    GloveConfig c = fastStart();
    c.faults.silenceAfterFrames = 2;
    c.faults.silenceBytes = 20;
    c.faults.silenceMs = 400;
    Engine e(c);
    e.send("1S");
    std::string head = e.run(Millis(300));
    ASSERT_EQ(head.size(), 2u * 61 + 20) << "silent in the middle of the third frame";
    std::string rest = e.run(Millis(1000));
    ASSERT_GE(rest.size(), 41u + 61u);
    EXPECT_EQ(rest[40], '\0') << "the third frame ends first";
    EXPECT_EQ((rest.size() - 41) % 61, 0u);
    EXPECT_EQ(rest[41 + 2], ':') << "then whole frames again";
    EXPECT_LE(rest.size() - 41, 61u * 26) << "no catching up on the silent stretch";
}

TEST(GloveCoreFaults, OversizeSlowAndChunk) {
    GloveConfig c;
    c.faults.oversize = 1100;
    Engine big(c);
    std::string r = big.send("V");
    EXPECT_EQ(r.size(), 6u + 1100u);
    EXPECT_EQ(r.substr(0, 5), "V7400");
    EXPECT_EQ(r.back(), '\0');

    GloveConfig s;
    s.faults.slowMs = 300;
    Engine slow(s);
    EXPECT_EQ(slow.send("V"), "");
    EXPECT_EQ(slow.run(Millis(250), Millis(10)), "");
    EXPECT_EQ(slow.run(Millis(100), Millis(10)), "V7400\0"s);

    GloveConfig k;
    k.faults.chunkBytes = 4;
    k.faults.chunkPauseMs = 50;
    Engine chunk(k);
    chunk.core.receive(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("1tg"), 3),
                       chunk.now);
    auto first = chunk.core.peekOutput(chunk.now);
    EXPECT_EQ(first.size(), 4u);
    chunk.core.consumeOutput(first.size(), chunk.now);
    EXPECT_TRUE(chunk.core.peekOutput(chunk.now + Millis(49)).empty());
    EXPECT_EQ(chunk.core.peekOutput(chunk.now + Millis(50)).size(), 4u);
}

TEST(GloveCoreFaults, BurstSendsTheStartReplyWithTheFirstFrames) {
    GloveConfig c = fastStart();
    c.faults.burstFrames = 2;
    Engine e(c);
    e.core.receive(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("1S"), 2), e.now);
    EXPECT_TRUE(e.core.peekOutput(e.now).empty());
    for (int i = 0; i < 100 && e.core.peekOutput(e.now).empty(); ++i) {
        e.now += Millis(5);
        e.core.advance(e.now);
    }
    auto w = e.core.peekOutput(e.now);
    ASSERT_EQ(w.size(), 3u + 2 * 61) << "one write: reply and two frames";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(w.data()), 3), "1S\0"s);
}

TEST(GloveCoreFaults, StartWithoutEchoStreamsFramesOnly) {
    for (int burst : {0, 2}) {
        GloveConfig c = fastStart();
        c.faults.noStartEcho = true;
        c.faults.burstFrames = burst;
        Engine e(c);
        EXPECT_EQ(e.send("1S"), "") << "burst " << burst;
        const std::string bytes = e.run(Millis(200));
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(bytes.size() % 61, 0u) << "burst " << burst;
        EXPECT_EQ(bytes[2], ':') << "burst " << burst;
    }
}

TEST(GloveCoreFaults, DownloadDropAndFrameDropAskToCloseTheLink) {
    TempDir card;
    card.write("F", std::string(1000, 'z'));
    GloveConfig c = fastStart();
    c.sdcardDir = card.path();
    c.faults.dropDownloadAfter = -2;
    Engine e(c);
    e.send("1AF\x01");
    e.send("\x01");
    EXPECT_EQ(e.send("1D"), "1D" + std::string(500, 'z'));
    EXPECT_TRUE(e.core.disconnectRequested());
    e.core.clearDisconnectRequest();
    e.core.linkDown();
    EXPECT_EQ(e.send("V"), "V7400\0"s);

    GloveConfig d = fastStart();
    d.faults.dropAfterFrames = 3;
    Engine f(d);
    f.send("1S");
    EXPECT_EQ(f.run(Millis(500)).size(), 3u * 61);
    EXPECT_TRUE(f.core.disconnectRequested());
}

TEST(GloveCoreLink, LinkDownStopsStreamingAndDropsUnsentBytes) {
    Engine e(fastStart());
    e.send("1S");
    e.now += Millis(100);
    e.core.advance(e.now);
    EXPECT_GT(e.core.queuedBytes(), 0u);
    e.core.linkDown();
    EXPECT_EQ(e.core.queuedBytes(), 0u);
    EXPECT_FALSE(e.core.streaming());
    EXPECT_EQ(e.run(Millis(200)), "");
}

TEST(GloveCoreLink, UnreadFramesDoNotPileUp) {
    Engine e(fastStart());
    e.send("1m\x04");
    e.send("1u\x01");
    e.send("1S");
    for (int i = 0; i < 10000; ++i) {
        e.now += Millis(1);
        e.core.advance(e.now);
    }
    EXPECT_LT(e.core.queuedBytes(), 16u * 1024u);
    e.send("\x03");
}

}  // namespace
}  // namespace glovesim

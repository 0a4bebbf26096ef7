// Takes end to end: glovectl records glovesim over a pseudo-terminal, and the dummy plug-in,
// loaded by the real device-manager core, plays the take back.
#include <gtest/gtest.h>

#include <QTcpServer>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devicemanager/rzclient.h"
#include "take.hpp"
#include "testsupport/checks.hpp"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace {

using namespace std::chrono_literals;

class Recording : public testing::Test {
  protected:
    void SetUp() override { ASSERT_GE(RZ_LoadPlugins(nullptr), 1); }
    void TearDown() override { RZ_UnloadPlugins(); }

    std::string path(const char* name) const { return dir_.file(name); }

    // Records a take from a fresh glovesim; gives glovectl's exit status.
    int record(const std::vector<std::string>& simArgs,
               const std::vector<std::string>& recordArgs) {
        testsupport::Simulator sim(GLOVESIM_PATH, "", simArgs);
        if (!sim.ready()) {
            return -1;
        }
        std::vector<std::string> args{"--serial", sim.terminal(), "record"};
        args.insert(args.end(), recordArgs.begin(), recordArgs.end());
        testsupport::ChildProcess ctl(GLOVECTL_PATH, args);
        const int status = ctl.finish(120s);
        log_ = ctl.errorOutput();
        return status;
    }

    testsupport::TempDir dir_{"recording"};
    std::string log_;
};

struct Client {
    std::mutex mutex;
    std::vector<std::vector<double>> records;  // guarded by mutex
    std::vector<std::chrono::steady_clock::time_point> times;
};

int reader(RzDataStream* s, int reason) {
    auto* c = static_cast<Client*>(RZ_DataStreamUser(s));
    if (reason == RZ_STREAM_QUIT)
        return 0;
    uint8_t rec[8 * take::kValues];
    while (RZ_DataStreamAvailable(s) >= static_cast<int>(sizeof rec)) {
        RZ_DataStreamRead(s, rec, sizeof rec);
        std::vector<double> v;
        for (int i = 0; i < take::kValues; ++i)
            v.push_back(RZ_GetDouble(rec + 8 * i));
        std::lock_guard<std::mutex> lock(c->mutex);
        c->records.push_back(std::move(v));
        c->times.push_back(std::chrono::steady_clock::now());
    }
    return 0;
}

TEST_F(Recording, RecordedTakeReplaysThroughTheDeviceManagerToTheSameValues) {
    const std::string csv = path("take.csv");
    ASSERT_EQ(record({}, {"--out", csv, "--bvh", path("take.bvh"), "--frames", "30"}), 0) << log_;
    const take::Take t = take::readTakeFile(csv);
    ASSERT_EQ(t.frames.size(), 30u);
    for (const take::Frame& f : t.frames)
        EXPECT_EQ(f.gapSeconds, 0.0);
    EXPECT_EQ(t.endGapSeconds, 0.0);
    std::ifstream bvhFile(path("take.bvh"));
    const take::BvhSummary bvh = take::readBvh(bvhFile);
    EXPECT_EQ(bvh.joints.size(), 21u);
    EXPECT_EQ(bvh.framesDeclared, 30);
    EXPECT_EQ(bvh.frameLines, 30);

    const std::string device = "replay:take=" + csv;
    RzDeviceHandle dev = RZ_DeviceOpen("", device.c_str(), "dummy");
    ASSERT_NE(dev, 0u) << RZ_GetLastError();
    Client client;
    RzDataStream* stream = RZ_DataStreamNew(1 << 16, reader, &client);
    ASSERT_EQ(RZ_DeviceAttachDataStream(dev, stream), 0);
    // Until the whole take has come, or nothing more came for a while (the replay began
    // before the stream was attached).
    std::size_t seen = 0;
    auto still = std::chrono::steady_clock::now();
    for (int i = 0; i < 600; ++i) {
        std::this_thread::sleep_for(50ms);
        std::lock_guard<std::mutex> lock(client.mutex);
        if (client.records.size() >= 30 ||
            (seen > 0 && std::chrono::steady_clock::now() - still > testsupport::scaled(2s)))
            break;
        if (client.records.size() != seen) {
            seen = client.records.size();
            still = std::chrono::steady_clock::now();
        }
    }
    RZ_DeviceClose(dev);
    std::lock_guard<std::mutex> lock(client.mutex);
    // The replay may start while the stream is attached: the records received are a run of
    // consecutive frames, exactly as recorded. Neighbouring frames can hold the same values, so
    // the run is placed where all of it fits, not where its first record does.
    ASSERT_GE(client.records.size(), 20u);
    auto frameAt = [&](std::size_t i) {
        return std::vector<double>(t.frames[i].angles.begin(), t.frames[i].angles.end());
    };
    std::size_t first = 0;
    for (; first < t.frames.size(); ++first) {
        std::size_t k = 0;
        while (k < client.records.size() && first + k < t.frames.size() &&
               client.records[k] == frameAt(first + k))
            ++k;
        if (k == client.records.size())
            break;
    }
    ASSERT_LT(first, t.frames.size()) << "the records are no run of the take's frames";
    // Played at the take's pace, not as fast as the stream takes it.
    const std::size_t last = std::min(client.records.size(), t.frames.size() - first) - 1;
    const double span = t.frames[first + last].gloveSeconds - t.frames[first].gloveSeconds;
    EXPECT_GE(std::chrono::duration<double>(client.times[last] - client.times[0]).count(),
              0.8 * span);
    RZ_DataStreamDestroy(stream);
}

TEST_F(Recording, SilenceIsAGapAtTheEndOfTheTake) {
    const std::string csv = path("silent.csv");
    ASSERT_EQ(record({"--fault", "silence=8"}, {"--out", csv, "--seconds", "3"}), 0) << log_;
    const take::Take t = take::readTakeFile(csv);
    EXPECT_EQ(t.frames.size(), 8u);
    EXPECT_GT(t.endGapSeconds, 1.0);
    EXPECT_NE(log_.find("1 gaps"), std::string::npos) << log_;
}

TEST_F(Recording, ADroppedConnectionIsAGapInTheTake) {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const std::string port = std::to_string(probe.serverPort());
    probe.close();
    const std::string csv = path("dropped.csv");
    testsupport::ChildProcess ctl(GLOVECTL_PATH, {"--listen", port, "--bind", "127.0.0.1", "--wait",
                                                  "3", "record", "--out", csv, "--seconds", "6"});
    testsupport::ChildProcess sim(
        GLOVESIM_PATH, {"--tcp", "127.0.0.1:" + port, "--once", "--fault", "drop-after-frames=12"});
    EXPECT_EQ(ctl.finish(120s), 0) << ctl.errorOutput();
    // The glove comes back after the drop and streams on: one hole, after frame 12.
    const take::Take t = take::readTakeFile(csv);
    ASSERT_GT(t.frames.size(), 13u);
    for (std::size_t k = 0; k < t.frames.size(); ++k)
        EXPECT_EQ(t.frames[k].gapSeconds > 0, k == 12) << "frame " << k;
}

TEST_F(Recording, ABrokenTakeIsRefusedAtOpen) {
    std::ofstream(path("broken.csv")) << "# manuvia take 1\nhost_s,glove_s\n1,2\n";
    std::ofstream(path("empty.csv")) << "# manuvia take 1\n" << take::columnLine() << "\n";
    for (const char* name : {"broken.csv", "empty.csv", "missing.csv"}) {
        const std::string device = "replay:take=" + path(name);
        EXPECT_EQ(RZ_DeviceOpen("", device.c_str(), "dummy"), 0u) << name;
        EXPECT_EQ(RZ_GetLastError(), RZERR_FILE_INVALID_CONTENT) << name;
    }
}

}  // namespace

// The toolkit's hardware devices against real peers: the device registry in a file of the
// test's own, the device-manager core with the glove, linemux and forcesim plug-ins, and
// kelbsim behind a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <numbers>
#include <string>
#include <thread>

#include "devicemanager/rzclient.h"
#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxioconn.hpp"
#include "handsim/kpxtracker.hpp"
#include "handsim/kpxvexaglove.hpp"
#include "handsim/kpxvexagrasp.hpp"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace {

// Runs f and gives the message of the kpxBaseException* it throws ("" when none).
template <typename F>
std::string thrown(F&& f) {
    try {
        f();
    } catch (kpxBaseException* e) {
        std::unique_ptr<kpxBaseException> owned(e);
        return e->message();
    }
    return {};
}

std::string registryText(const std::string& kelbLink, const std::string& unit) {
    return R"({"Configurations": {
  "Studio": {"RightGlove": {"Type": "vexaglove", "DeviceManager": {"SerialPort": "/dev/null"}}},
  "Desk": {"DefaultFlag": 1,
    "LeftGlove": {"Type": "vexaglove", "DeviceManager": {"ServerAddress": "localhost",
      "SerialPort": ")" +
           kelbLink + R"(", "BaudRate": 115200}},
    "RightForce": {"Type": "kortavel", "DeviceManager": {"SerialPort": ")" +
           unit + R"("}},
    "RightGrasp": {"Type": "vexagrasp", "DeviceManager": {"SerialPort": ")" +
           unit + R"("}}}}})";
}

class IODevices : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        temp = std::make_unique<testsupport::TempDir>("manuvia-iodev");
        dir = temp->path();
        link = "/tmp/mkio-" + std::to_string(::getpid());
        unit = "fsim" + std::to_string(::getpid());
        std::ofstream(dir + "/devices.json") << registryText(link, unit);
        std::ofstream(dir + "/dm.conf")
            << "[device=forcesim:item=script:name=" << unit << "]\n0 4 5 6 90 -30 45\n";
        ::setenv("MANUVIA_REGISTRY", (dir + "/devices.json").c_str(), 1);
        ::setenv("RZ_CONFIG_FILE", (dir + "/dm.conf").c_str(), 1);
        kelbsim = std::make_unique<testsupport::Simulator>(KELBSIM_PATH, link);
        kpxIOConn::reload();
    }
    static void TearDownTestSuite() {
        kpxIOConn::reload();
        kelbsim.reset();
        temp.reset();
    }
    void SetUp() override { ASSERT_TRUE(kelbsim && kelbsim->ready()) << "kelbsim did not start"; }

    // The forcesim unit's last force packet, asked of the unit itself through a handle of
    // the test's own (which also keeps the unit alive after the toolkit closes it).
    static std::vector<unsigned char> lastPacket() {
        static RzDeviceHandle h = RZ_DeviceOpen("server=localhost:port=", unit.c_str(), "kortavel");
        std::vector<unsigned char> buf(4096);
        int len = 0;
        int r = h ? RZ_DeviceControl(h, 15, 16, buf.data(), &len, 4096) : -1;
        buf.resize(r == 0 ? static_cast<size_t>(len) : 0);
        return buf;
    }

    static inline std::unique_ptr<testsupport::TempDir> temp;
    static inline std::unique_ptr<testsupport::Simulator> kelbsim;
    static inline std::string dir, link, unit;
};

TEST_F(IODevices, DefaultFindsByNameOrToolkitTypeInTheDefaultConfiguration) {
    const struct {
        const char* name;
        int type;
        const char* found;  // null: none
    } rows[] = {
        {"LeftGlove", -1, "LeftGlove"}, {"RightGrasp", -1, "RightGrasp"},
        {"RightGlove", -1, nullptr},  // only in a configuration that is not the default
        {nullptr, 0, "LeftGlove"},      {nullptr, 1, "RightForce"},
        {nullptr, 3, nullptr},          {nullptr, 2, nullptr},  // the registry's code, not ours
    };
    for (const auto& r : rows) {
        kpxIOConn* conn = r.name ? kpxIOConn::getDefault(r.name) : kpxIOConn::getDefault(r.type);
        SCOPED_TRACE(r.name ? r.name : std::to_string(r.type));
        if (!r.found) {
            EXPECT_EQ(conn, nullptr);
            EXPECT_FALSE(kpxIOConn::lastError().empty());
        } else {
            ASSERT_NE(conn, nullptr) << kpxIOConn::lastError();
            EXPECT_EQ(conn->getName(), r.found);
        }
    }
    EXPECT_EQ(kpxIOConn::getDefault("LeftGlove"), kpxIOConn::getDefault(0));
}

TEST_F(IODevices, MissingOrWrongConnectionThrowsAPointer) {
    EXPECT_NE(thrown([] { kpxVexaGlove g(nullptr); }).find("no connection"), std::string::npos);
    EXPECT_NE(thrown([] { kpxTracker t(nullptr); }), "");
    EXPECT_NE(thrown([] { kpxVexaGrasp g(nullptr); }), "");
    kpxIOConn* grasp = kpxIOConn::getDefault("RightGrasp");
    ASSERT_NE(grasp, nullptr);
    EXPECT_NE(thrown([&] { kpxVexaGlove g(grasp); }).find("not a glove"), std::string::npos);
    EXPECT_NE(thrown([&] { kpxTracker t(grasp); }).find("not a tracker"), std::string::npos);
}

TEST_F(IODevices, GloveAndTrackerReadTheirHardware) {
    kpxVexaGlove glove(kpxIOConn::getDefault(0), true);
    double t0 = glove.getLastUpdateTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    glove.update();
    EXPECT_GT(glove.getLastUpdateTime(), t0);
    double sum = 0;
    for (int f = 0; f < 6; ++f)
        for (int j = 0; j < 4; ++j) {
            ASSERT_TRUE(std::isfinite(glove.getJointValue(f, j)));
            EXPECT_LE(std::fabs(glove.getJointValue(f, j)), 2 * std::numbers::pi);
            sum += std::fabs(glove.getJointValue(f, j));
        }
    EXPECT_GT(sum, 0.0) << "kelbsim's hand is never perfectly flat";
    EXPECT_EQ(glove.getPalmValue(1), glove.getJointValue(5, 1));

    kpxTracker tracker(kpxIOConn::getDefault(1), true);
    kpx6DofDevice* d = tracker.getDevice(0);
    d->update();  // as a hand master polls it: reads the tracker
    const double deg = std::numbers::pi / 180;
    // Script: azimuth 90, elevation -30, roll 45 degrees; values 3..5 turn about x, y, z.
    const double expected[6] = {4, 5, 6, 45 * deg, -30 * deg, 90 * deg};
    for (int k = 0; k < 6; ++k)
        EXPECT_NEAR(d->getValue(k), expected[k], 1e-9) << k;
    EXPECT_NE(thrown([&] { tracker.getDevice(1); }), "");
}

TEST_F(IODevices, GraspSendsItsPatchesOnlyInForceMode) {
    auto stiffnessOf = [](const std::vector<unsigned char>& p, int k) {
        return p.size() == 3953 ? RZ_GetDouble(p.data() + 74 * k + 2) : -1.0;
    };
    lastPacket();
    {
        kpxVexaGrasp grasp(kpxIOConn::getDefault("RightGrasp"), true);
        grasp.setMode(kpxVexaGrasp::MODE_FORCE);
        kpxContactPatch& patch = grasp.getContactPatch(4);
        patch.setStiffness(0.45);
        patch.setDamping(1.0);
        patch.setFlag(0, 1);
        grasp.update();
        std::vector<unsigned char> sent = lastPacket();
        ASSERT_EQ(sent.size(), 3953u);
        EXPECT_DOUBLE_EQ(stiffnessOf(sent, 4), 0.45);
        EXPECT_DOUBLE_EQ(RZ_GetDouble(sent.data() + 74 * 4 + 10), 1.0);
        EXPECT_EQ(sent[74 * 4 + 1], 2 + 8);

        grasp.setMode(kpxVexaGrasp::MODE_FREE);
        grasp.update();
        EXPECT_DOUBLE_EQ(stiffnessOf(lastPacket(), 4), 0.0);
        EXPECT_DOUBLE_EQ(grasp.getContactPatch(4).getStiffness(), 0.45) << "kept for later";
        EXPECT_NE(thrown([&] { grasp.setMode(3); }), "");
        grasp.setMode(kpxVexaGrasp::MODE_FORCE);
        grasp.update();
        EXPECT_DOUBLE_EQ(stiffnessOf(lastPacket(), 4), 0.45);
    }
    EXPECT_DOUBLE_EQ(stiffnessOf(lastPacket(), 4), 0.0) << "closing sends zero forces";
}

}  // namespace

// The wired glove end to end: the sample registry, the real core with the `linemux` and
// `glove` plug-ins, and `kelbsim` behind a pseudo-terminal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "devices/configmanager.hpp"
#include "devices/registrymanager.hpp"
#include "devices/rzidmconnection.hpp"
#include "devices/vexaglove.hpp"
#include "registry/registry.hpp"
#include "testsupport.hpp"
#include "testsupport/simulator.hpp"

using namespace Devices;
using testsupport::readFile;
using testsupport::TempDir;

namespace {

std::string sampleWithPort(const std::string& port) {
    std::string text = readFile(SAMPLE_REGISTRY);
    const std::string fixed = "/tmp/manuvia-kelb0";
    auto at = text.find(fixed);
    if (at != std::string::npos)
        text.replace(at, fixed.size(), port);
    return text;
}

class WiredGlove : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef KELBSIM_PATH
        GTEST_SKIP() << "kelbsim is not part of this build";
#else
        if (!testsupport::pluginLoaded("glove") || !testsupport::pluginLoaded("linemux"))
            GTEST_SKIP() << "the glove and linemux plug-ins are not part of this build";
#endif
    }
    // Short enough for the registry's 20-character serial-port field.
    std::string link = "/tmp/mkelb-" + std::to_string(::getpid());
};

}  // namespace

TEST_F(WiredGlove, SampleRegistryGloveConnectsCalibratesAndStreams) {
    ASSERT_LE(link.size(), 20u);
    testsupport::Simulator sim(KELBSIM_PATH, link);
    ASSERT_TRUE(sim.ready()) << "kelbsim did not start";
    TempDir dir;
    std::string path = dir.write("devices.json", sampleWithPort(link));

    testsupport::Manager manager;
    manager->loadRegistry(path.c_str());
    testsupport::ReportCatcher::clear();
    testsupport::ReportCatcher catcher;
    manager->createAllDevices();
    EXPECT_TRUE(catcher.reports().empty());
    ConfigManager* config = manager->getDefaultConfig();
    ASSERT_NE(config, nullptr);
    auto* glove = dynamic_cast<VexaGlove*>(config->getDevice(config->getVexaGloveIndex(0)));
    ASSERT_NE(glove, nullptr);
    EXPECT_FALSE(glove->isCalibrated());

    glove->connect();
    ASSERT_TRUE(glove->isConnected());
    // Calibration read from the hardware and saved into the registry file.
    EXPECT_TRUE(glove->isCalibrated());
    rziRegistry saved;
    saved.load(path.c_str());
    rziRegistryKey* calib = saved.getRoot()
                                ->getKey("Configurations")
                                ->getKey("Simulated")
                                ->getKey("RightGlove")
                                ->getKey("Calibration");
    ASSERT_NE(calib, nullptr);
    ASSERT_EQ(calib->getValueCount(), 46);
    for (int s = 0; s < 23; ++s) {
        EXPECT_DOUBLE_EQ(calib->getValue(s)->getDouble(), glove->getOffset(s)) << s;
        EXPECT_DOUBLE_EQ(calib->getValue(23 + s)->getDouble(), glove->getGain(s)) << s;
    }
    EXPECT_NE(glove->getGain(0), 0.01) << "the hardware's gains, not the defaults";
    EXPECT_FALSE(glove->isLeftHand());

    // Values change as the simulated hand moves.
    std::vector<double> first;
    glove->update(false);
    for (int s = 0; s < 24; ++s)
        first.push_back(glove->getSensorValue(s));
    bool changed = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!changed && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        glove->update(false);
        for (int s = 0; s < 24; ++s) {
            EXPECT_TRUE(std::isfinite(glove->getSensorValue(s)));
            changed = changed || glove->getSensorValue(s) != first[s];
        }
    }
    EXPECT_TRUE(changed);

    glove->sendSettings();
    glove->disconnect();
    EXPECT_FALSE(glove->isConnected());
}

TEST_F(WiredGlove, LeftHandGloveAnswersTheHandTest) {
    testsupport::Simulator sim(KELBSIM_PATH, link, {"--left"});
    ASSERT_TRUE(sim.ready());
    auto* c = new RzidmConnection();
    c->setSerialPort(link.c_str());
    c->setBaudRate(115200);
    c->setTypeName("vexaglove");
    {
        VexaGlove glove(c);
        glove.connect();
        ASSERT_TRUE(glove.isConnected());
        EXPECT_TRUE(glove.isLeftHand());
        glove.disconnect();
    }
    delete c;
}

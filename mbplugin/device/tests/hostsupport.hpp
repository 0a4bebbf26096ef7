#pragma once
// Playing the animation host for the plug-in tests: the real plug-in library loaded once per
// process, its device and layout made through the registration table, samples driven on a
// simulated clock, kelbsim behind a pseudo-terminal and a registry file of the test's own.

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fbsdk/fbhost.h"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace hostsupport {

// dlopen'ed once and never closed: the plug-in keeps glove objects for the process.
struct Plugin {
    void* handle = nullptr;
    FBEntryPointFunction entry = nullptr;
    FBLibraryInitFunction init = nullptr;
    static Plugin& get() {
        static Plugin plugin;
        return plugin;
    }

  private:
    Plugin() {
        handle = ::dlopen(MANUVIA_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (!handle)
            return;
        entry =
            reinterpret_cast<FBEntryPointFunction>(::dlsym(handle, "EntryPointordevicemanuvia"));
        init = reinterpret_cast<FBLibraryInitFunction>(::dlsym(handle, FB_LIBRARY_INIT_SYMBOL));
    }
};

using testsupport::readFile;
using testsupport::TempDir;

// The sample registry with its glove on another serial line.
inline std::string sampleRegistry(const std::string& port) {
    std::string text = readFile(SAMPLE_REGISTRY);
    const std::string fixed = "/tmp/manuvia-kelb0";
    auto at = text.find(fixed);
    if (at != std::string::npos)
        text.replace(at, fixed.size(), port);
    return text;
}

template <class T>
T* control(FBLayout& layout, const char* region) {
    return dynamic_cast<T*>(layout.GetControl(region));
}

using Triple = std::array<double, 3>;

// One device (and optionally its layout) made through the plug-in's registrations, on a
// registry file of the test's own.
class Host : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Plugin::get().handle, nullptr) << ::dlerror();
        FBHost::clearBoxes();
        FBHost::setTransportMode(kFBTransportPlay);
    }
    void TearDown() override {
        layout.reset();
        device.reset();
    }
    void useRegistry(const std::string& text) {
        registryPath = dir.write("devices.json", text);
        ::setenv("MANUVIA_REGISTRY", registryPath.c_str(), 1);
    }
    FBDevice& makeDevice() {
        device = FBHost::create("Boxes/Devices", "Manuvia");
        return dev();
    }
    FBDevice& dev() { return *dynamic_cast<FBDevice*>(device.get()); }
    FBDeviceLayout& openLayout() {
        layout = FBHost::createLayout(dev());
        return lay();
    }
    FBDeviceLayout& lay() { return *dynamic_cast<FBDeviceLayout*>(layout.get()); }
    FBLayout& selectionLayout() {
        control<FBTabPanel>(lay(), "TabPanel")->HostSelect(1);
        return *control<FBLayout>(lay(), "MainLayout");
    }
    FBSpread& spread() {
        control<FBTabPanel>(lay(), "TabPanel")->HostSelect(0);
        return *control<FBSpread>(*control<FBLayout>(lay(), "MainLayout"), "SpreadMarkers");
    }
    // One host frame: an I/O notification, then an evaluation, at frame i of the clock.
    kFBLongLong step(int i) {
        FBTime t = dev().SamplingPeriod.Get() * i;
        kFBLongLong acked = FBHost::deviceIO(dev(), kIOPlayModeWrite, t);
        FBHost::evaluate(dev(), t);
        return acked;
    }
    Triple output(const char* templ, const char* type) {
        std::vector<double> v = dev().FindAnimationNode(templ, type)->LastWritten();
        return {v.at(0), v.at(1), v.at(2)};
    }
    Triple rotation(const char* templ) { return output(templ, ANIMATIONNODE_TYPE_LOCAL_ROTATION); }
    Triple translation(const char* templ) {
        return output(templ, ANIMATIONNODE_TYPE_LOCAL_TRANSLATION);
    }
    std::vector<std::string> messages() {
        std::vector<std::string> out;
        for (const auto& m : FBHost::messageBoxes())
            out.push_back(m.title + "|" + m.message);
        return out;
    }

    TempDir dir;
    std::string registryPath;
    // Short enough for the registry's 20-character serial-port field.
    std::string link = "/tmp/mbkelb-" + std::to_string(::getpid());
    FBHost::ComponentPtr device;
    FBHost::ComponentPtr layout;  // destroyed first
};

}  // namespace hostsupport

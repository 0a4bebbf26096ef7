// Plug-in loading refusals, configuration queries and client calls without a device.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"

namespace {

TEST(RzLoader, LibrariesThatAreNoPluginsOrOfAnotherVersionAreSkipped) {
    RZ_UnloadPlugins();
    EXPECT_EQ(RZ_LoadPlugins(BAD_PLUGIN_DIR), 0);
    EXPECT_EQ(RZ_PluginCount(), 0);
    EXPECT_EQ(RZ_DeviceOpen("", "dummy", "dummy"), 0u);
    EXPECT_EQ(RZ_GetLastError(), RZERR_INVALID_DEVICE);
    RZ_UnloadPlugins();
    EXPECT_EQ(RZ_LoadPlugins("/nonexistent/rzplugins"), RZERR_INVALID_PLUGIN_DIR);
    RZ_UnloadPlugins();
}

TEST(RzLoader, DefaultFolderIsNextToTheCoreUnlessTheEnvironmentSaysOtherwise) {
    char folder[1024];
    unsetenv("RZ_PLUGIN_PATH");
    ASSERT_GT(RZ_GetPluginFolder(folder, sizeof(folder)), 0);
    EXPECT_NE(std::string(folder).find("/lib/rzplugins"), std::string::npos) << folder;
    setenv("RZ_PLUGIN_PATH", "/opt/elsewhere", 1);
    RZ_GetPluginFolder(folder, sizeof(folder));
    EXPECT_STREQ(folder, "/opt/elsewhere");
    unsetenv("RZ_PLUGIN_PATH");
    EXPECT_EQ(RZ_GetPluginFolder(folder, 3), RZERR_BUFFER_TOO_SMALL);
}

TEST(RzClient, UnknownHandlesAreRefused) {
    unsigned char buf[16];
    int len = 0;
    EXPECT_EQ(RZ_DeviceControl(12345, 15, 2, buf, &len, sizeof(buf)), RZERR_INVALID_DID);
    EXPECT_EQ(RZ_DeviceControlGet(12345, 15, 2, buf, sizeof(buf)), RZERR_INVALID_DID);
    EXPECT_EQ(RZ_DeviceClose(12345), RZERR_INVALID_DID);
    EXPECT_EQ(RZ_MessageDeliver(nullptr, buf, 16), RZERR_INVALID_MESSAGE);
    RzMessageHeader h;
    RZ_MessagePrepare(&h, 15, 0, 0, 0, 99, 1, 1, 1, 0);
    EXPECT_EQ(RZ_MessageDeliver(&h, buf, 16), RZERR_MESSAGE_DELIVER_ERROR);
    h.bytes[0] = 'X';
    EXPECT_EQ(RZ_MessageDeliver(&h, buf, 16), RZERR_INVALID_MESSAGE);
}

class ConfigFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/rzconfXXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = tmpl;
        setenv("RZ_CONFIG_FILE", path_.c_str(), 1);
    }
    void TearDown() override {
        std::remove(path_.c_str());
        unsetenv("RZ_CONFIG_FILE");
    }
    void write(const std::string& text) { std::ofstream(path_) << text; }
    std::string path_;
};

TEST_F(ConfigFile, QueriesMatchWhateverTheKeyOrder) {
    write(
        "# glove calibration\n"
        "[device=glove:item=offsetgain:id=77:port=serial1]\n"
        "56 0.01584\n"
        "114 0.01459\n"
        "\n"
        "[device=glove:item=offsetgain:id=78:port=serial1]\n"
        "1 2\n");
    char out[512];
    int n = RZ_ConfigQuery("port=serial1:id=77:device=glove:item=offsetgain", out, sizeof(out));
    EXPECT_EQ(n, static_cast<int>(std::string("56 0.01584\n114 0.01459").size()));
    EXPECT_STREQ(out, "56 0.01584\n114 0.01459");
    EXPECT_EQ(RZ_ConfigQuery("device=glove:item=offsetgain:id=78:port=serial1", out, 512), 3);
    EXPECT_EQ(RZ_ConfigQuery("device=glove:item=offsetgain:id=79:port=serial1", out, 512),
              RZERR_MESSAGE_INVALID_KEY);
    EXPECT_EQ(RZ_ConfigQuery("device=glove:item=offsetgain:id=77:port=serial1", out, 8),
              RZERR_BUFFER_TOO_SMALL);
}

TEST_F(ConfigFile, MissingOrBrokenFilesAreReported) {
    char out[64];
    write("[device=glove\nnumbers\n");
    EXPECT_EQ(RZ_ConfigQuery("device=glove", out, sizeof(out)), RZERR_FILE_INVALID_CONTENT);
    setenv("RZ_CONFIG_FILE", "/nonexistent/devicemanager.conf", 1);
    EXPECT_EQ(RZ_ConfigQuery("device=glove", out, sizeof(out)), RZERR_INVALID_FILE);
}

}  // namespace

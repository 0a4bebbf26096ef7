#include "registry/registry.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "testsupport/tempdir.hpp"

using testsupport::TempDir;

namespace {

// Sets an environment variable for one scope and restores the old value.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = getenv(name)) {
            m_had = true;
            m_old = old;
        }
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_had)
            setenv(m_name, m_old.c_str(), 1);
        else
            unsetenv(m_name);
    }

  private:
    const char* m_name;
    bool m_had = false;
    std::string m_old;
};

int fileCount(const std::string& dir) {
    int n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir))
        ++n;
    return n;
}

}  // namespace

TEST(RegistryLoad, SampleKeepsKeyAndValueOrder) {
    rziRegistry reg;
    reg.load(SAMPLE_REGISTRY);
    rziRegistryKey* configs = reg.getRoot()->getKey("Configurations");
    ASSERT_NE(configs, nullptr);
    ASSERT_EQ(configs->getKeyCount(), 2);
    EXPECT_STREQ(configs->getKey(0)->getName(), "Simulated");
    EXPECT_STREQ(configs->getKey(1)->getName(), "Studio");
    rziRegistryKey* dm = configs->getKey(0)->getKey("RightGlove")->getKey("DeviceManager");
    ASSERT_NE(dm, nullptr);
    ASSERT_EQ(dm->getValueCount(), 4);
    EXPECT_STREQ(dm->getValue(0)->getName(), "ServerAddress");
    EXPECT_STREQ(dm->getValue(3)->getName(), "BaudRate");
    EXPECT_EQ(dm->getValue(3)->getInteger(), 115200);
    EXPECT_STREQ(dm->getValue("SerialPort")->getString(), "/tmp/manuvia-kelb0");
    EXPECT_LE(std::string(dm->getValue("SerialPort")->getString()).size(), 20u);
    EXPECT_EQ(reg.getFileName(), SAMPLE_REGISTRY);
}

TEST(RegistryLoad, KeysAndValuesByIndexAreBounded) {
    rziRegistry reg;
    reg.loadText(R"({"a": 1, "b": 2.5, "k": {}})");
    rziRegistryKey* root = reg.getRoot();
    EXPECT_EQ(root->getValue(-1), nullptr);
    EXPECT_EQ(root->getValue(2), nullptr);
    EXPECT_EQ(root->getKey(-1), nullptr);
    EXPECT_EQ(root->getKey(1), nullptr);
    EXPECT_EQ(root->getKey(nullptr), nullptr);
    EXPECT_EQ(root->getValue(nullptr), nullptr);
    EXPECT_EQ(root->getKey("a"), nullptr) << "a value is not a key";
    EXPECT_EQ(root->getValue("k"), nullptr) << "a key is not a value";
    EXPECT_EQ(root->getValue("b")->getType(), rziRegistryValue::Double);
    EXPECT_EQ(root->getValue("b")->getInteger(), 2);
    EXPECT_DOUBLE_EQ(root->getValue("a")->getDouble(), 1.0);
}

TEST(RegistryLoad, NumbersAndTextsConvert) {
    rziRegistry reg;
    reg.loadText(R"({"t": "42.5", "w": "abc", "big": 1e300, "neg": -1e300, "flag": true})");
    rziRegistryKey* root = reg.getRoot();
    EXPECT_DOUBLE_EQ(root->getValue("t")->getDouble(), 42.5);
    EXPECT_EQ(root->getValue("t")->getInteger(), 42);
    EXPECT_EQ(root->getValue("w")->getInteger(), 0);
    EXPECT_EQ(root->getValue("big")->getInteger(), INT32_MAX);
    EXPECT_EQ(root->getValue("neg")->getInteger(), INT32_MIN);
    EXPECT_EQ(root->getValue("flag")->getInteger(), 1);
    EXPECT_EQ(root->getValue("big")->getString(), nullptr);
}

TEST(RegistryLoad, MalformedTextIsAClearErrorAndKeepsTheOldTree) {
    TempDir dir;
    std::string good = dir.write("good.json", R"({"Configurations": {"A": {}}})");
    const char* bad[] = {
        "",
        "not json",
        "[1, 2]",
        "42",
        R"({"a": [1, 2]})",
        R"({"a": null})",
        R"({"a": 1} trailing)",
        R"({"a": 1, "a": 2})",
        R"({"a": {}, "a": 3})",
        R"({"a": 4294967296})",
        R"({"a": -2147483649})",
        R"({"a": "x\u0000y"})",
        R"({"a": )",
        R"({} {})",
    };
    for (const char* text : bad) {
        rziRegistry reg;
        reg.load(good.c_str());
        std::string path = dir.write("bad.json", text);
        try {
            reg.load(path.c_str());
            ADD_FAILURE() << "accepted: " << text;
        } catch (const rziRegistryError& e) {
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("malformed"), std::string::npos) << e.what();
        }
        ASSERT_NE(reg.getRoot(), nullptr);
        EXPECT_NE(reg.getRoot()->getKey("Configurations"), nullptr) << "old tree lost by: " << text;
        EXPECT_EQ(reg.getFileName(), good);
    }
}

TEST(RegistryLoad, DeepNestingAndHugeFilesAreRefused) {
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "{\"k\":";
    deep += "1";
    for (int i = 0; i < 100000; ++i)
        deep += "}";
    rziRegistry reg;
    EXPECT_THROW(reg.loadText(deep), rziRegistryError);
    EXPECT_EQ(reg.getRoot(), nullptr);

    std::string nested;
    for (int i = 0; i < rziRegistry::kMaxDepth - 1; ++i)
        nested += "{\"k\":";
    nested += "{}";
    for (int i = 0; i < rziRegistry::kMaxDepth - 1; ++i)
        nested += "}";
    EXPECT_NO_THROW(reg.loadText(nested)) << "the limit itself is accepted";

    TempDir dir;
    std::string big = dir.file("big.json");
    {
        std::string text = "{\"a\": \"" + std::string(rziRegistry::kMaxFileSize, 'x') + "\"}";
        dir.write("big.json", text);
    }
    EXPECT_THROW(reg.load(big.c_str()), rziRegistryError);
}

TEST(RegistryLoad, MissingNamedFileThrows) {
    TempDir dir;
    rziRegistry reg;
    std::string path = dir.file("absent.json");
    try {
        reg.load(path.c_str());
        FAIL() << "no exception";
    } catch (const rziRegistryError& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
    }
    EXPECT_EQ(reg.getRoot(), nullptr);
}

TEST(RegistryDefault, EnvironmentThenXdgThenHome) {
    TempDir dir;
    {
        ScopedEnv env(rziRegistry::kEnvironmentVariable, "/somewhere/reg.json");
        EXPECT_EQ(rziRegistry::defaultFileName(), "/somewhere/reg.json");
    }
    ScopedEnv noEnv(rziRegistry::kEnvironmentVariable, nullptr);
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", dir.path().c_str());
        EXPECT_EQ(rziRegistry::defaultFileName(), dir.path() + "/manuvia/devices.json");
    }
    ScopedEnv relative("XDG_CONFIG_HOME", "relative/dir");
    ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(rziRegistry::defaultFileName(), "/home/someone/.config/manuvia/devices.json");
}

TEST(RegistryDefault, MissingOrMalformedDefaultThrows) {
    TempDir dir;
    ScopedEnv noEnv(rziRegistry::kEnvironmentVariable, nullptr);
    ScopedEnv xdg("XDG_CONFIG_HOME", dir.path().c_str());
    rziRegistry reg;
    try {
        reg.load(nullptr);
        FAIL() << "no exception";
    } catch (const rziRegistryError& e) {
        EXPECT_NE(std::string(e.what()).find(dir.path() + "/manuvia/devices.json"),
                  std::string::npos)
            << e.what();
        EXPECT_NE(std::string(e.what()).find("MANUVIA_REGISTRY"), std::string::npos) << e.what();
    }
    std::filesystem::create_directories(dir.path() + "/manuvia");
    dir.write("manuvia/devices.json", "{\"Configurations\": ");
    EXPECT_THROW(reg.load(nullptr), rziRegistryError);
    dir.write("manuvia/devices.json", "{\"Configurations\": {}}");
    reg.load(nullptr);
    EXPECT_NE(reg.getRoot()->getKey("Configurations"), nullptr);

    ScopedEnv env(rziRegistry::kEnvironmentVariable, SAMPLE_REGISTRY);
    reg.load(nullptr);
    EXPECT_EQ(reg.getFileName(), SAMPLE_REGISTRY);
}

TEST(RegistryWrite, EveryChangeIsWrittenBackInOrder) {
    TempDir dir;
    std::string path = dir.write("reg.json", R"({"z": 1, "a": {"y": 2.5, "b": "text"}, "m": {}})");
    rziRegistry reg;
    reg.load(path.c_str());
    reg.getRoot()->getKey("a")->getValue("y")->setValue(7.25);
    {
        rziRegistry again;
        again.load(path.c_str());
        EXPECT_DOUBLE_EQ(again.getRoot()->getKey("a")->getValue("y")->getDouble(), 7.25);
    }
    rziRegistryKey* added = reg.getRoot()->createKey("c");
    added->createValue("second")->setValue(2);
    added->createValue("first")->setValue("one");
    reg.getRoot()->deleteKey("m");

    rziRegistry again;
    again.load(path.c_str());
    rziRegistryKey* root = again.getRoot();
    ASSERT_EQ(root->getKeyCount(), 2);
    EXPECT_STREQ(root->getKey(0)->getName(), "a");
    EXPECT_STREQ(root->getKey(1)->getName(), "c");
    EXPECT_STREQ(root->getKey(0)->getValue(0)->getName(), "y");
    EXPECT_STREQ(root->getKey(0)->getValue(1)->getName(), "b");
    EXPECT_STREQ(root->getKey(1)->getValue(0)->getName(), "second");
    EXPECT_STREQ(root->getKey(1)->getValue(1)->getString(), "one");
    EXPECT_EQ(fileCount(dir.path()), 1) << "no temporary file left behind";
}

TEST(RegistryWrite, CreateReturnsExistingAndRefusesNameClashes) {
    rziRegistry reg;
    reg.loadText(R"({"v": 1, "k": {}})");
    rziRegistryKey* root = reg.getRoot();
    EXPECT_EQ(root->createKey("k"), root->getKey("k"));
    EXPECT_EQ(root->createValue("v"), root->getValue("v"));
    EXPECT_EQ(root->getValue("v")->getInteger(), 1) << "createValue keeps an existing value";
    EXPECT_THROW(root->createKey("v"), rziRegistryError);
    EXPECT_THROW(root->createValue("k"), rziRegistryError);
    EXPECT_THROW(root->createKey(nullptr), rziRegistryError);
    EXPECT_FALSE(root->deleteKey("v"));
    EXPECT_FALSE(root->deleteValue("k"));
    EXPECT_TRUE(root->deleteValue("v"));
    EXPECT_EQ(root->getValueCount(), 0);
}

TEST(RegistryWrite, BatchWritesOnceAtTheEnd) {
    TempDir dir;
    std::string path = dir.write("reg.json", R"({"n": 0})");
    rziRegistry reg;
    reg.load(path.c_str());
    {
        rziRegistry::Batch outer(&reg);
        reg.getRoot()->getValue("n")->setValue(1);
        {
            rziRegistry::Batch inner(&reg);
            reg.getRoot()->createValue("m")->setValue(2);
        }
        EXPECT_EQ(testsupport::readFile(path), R"({"n": 0})") << "nothing written inside the batch";
        outer.commit();
        EXPECT_NE(testsupport::readFile(path).find("\"m\": 2"), std::string::npos);
    }
    {
        rziRegistry::Batch batch(&reg);
        reg.getRoot()->getValue("m")->setValue(3);
    }
    EXPECT_NE(testsupport::readFile(path).find("\"m\": 3"), std::string::npos)
        << "a batch left without commit still writes";
}

TEST(RegistryWrite, KeepsModeAndFollowsSymlinks) {
    TempDir dir;
    std::string target = dir.write("real.json", R"({"n": 0})");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    std::string link = dir.file("link.json");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    rziRegistry reg;
    reg.load(link.c_str());
    reg.getRoot()->getValue("n")->setValue(5);
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_NE(testsupport::readFile(target).find("\"n\": 5"), std::string::npos);
}

TEST(RegistryWrite, FailedWriteThrowsAndKeepsTheChangePending) {
    TempDir dir;
    std::string sub = dir.path() + "/sub";
    std::filesystem::create_directories(sub);
    std::string path = sub + "/reg.json";
    rziRegistry reg;
    reg.create(path.c_str());
    EXPECT_EQ(testsupport::readFile(path), "{}\n");
    std::filesystem::remove_all(sub);
    EXPECT_THROW(reg.getRoot()->createValue("x"), rziRegistryError);
    EXPECT_NE(reg.getRoot()->getValue("x"), nullptr);
    std::filesystem::create_directories(sub);
    reg.save();
    EXPECT_NE(testsupport::readFile(path).find("\"x\""), std::string::npos);
    EXPECT_THROW(reg.create((dir.path() + "/no/such/dir/r.json").c_str()), rziRegistryError);
}

TEST(RegistryWrite, NonFiniteDoublesSurviveARoundTrip) {
    TempDir dir;
    std::string path = dir.write("reg.json", "{}");
    rziRegistry reg;
    reg.load(path.c_str());
    reg.getRoot()->createValue("nan")->setValue(std::nan(""));
    reg.getRoot()->createValue("inf")->setValue(HUGE_VAL);
    reg.getRoot()->createValue("ninf")->setValue(-HUGE_VAL);
    rziRegistry again;
    again.load(path.c_str());
    EXPECT_TRUE(std::isnan(again.getRoot()->getValue("nan")->getDouble()));
    EXPECT_EQ(again.getRoot()->getValue("inf")->getDouble(), HUGE_VAL);
    EXPECT_EQ(again.getRoot()->getValue("ninf")->getDouble(), -HUGE_VAL);
}

TEST(RegistryWrite, TextRoundTripIsStable) {
    rziRegistry reg;
    reg.load(SAMPLE_REGISTRY);
    std::string once = reg.toText();
    rziRegistry again;
    again.loadText(once);
    EXPECT_EQ(again.toText(), once);
    EXPECT_EQ(again.getFileName(), "") << "text-loaded registries write nothing";
}

// The shared helpers against real programs: the simulators, and a shell playing a faulty one.
#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/pty.hpp"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

struct BadEnding {
    const char* what;
    std::vector<std::string> args;
    const char* expected;
};

TEST(ChildProcess, BadEndingsFailTheTestWithStandardError) {
    const BadEnding cases[] = {
        {"non-zero exit", {"-c", "echo broken >&2; exit 3"}, "exited with status 3"},
        {"crash", {"-c", "echo dying >&2; kill -SEGV $$"}, "died by signal"},
        {"sanitizer report",
         {"-c", "echo '==1==ERROR: AddressSanitizer: heap-use-after-free' >&2; exec sleep 30"},
         "AddressSanitizer"},
        {"undefined behaviour",
         {"-c", "echo 'x.cpp:3: runtime error: overflow' >&2"},
         "runtime error:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NONFATAL_FAILURE(
            {
                ChildProcess child("/bin/sh", c.args);
                std::this_thread::sleep_for(100ms);
            },
            c.expected);
    }
}

TEST(ChildProcess, ChildIgnoringTermIsKilledAndReported) {
    EXPECT_NONFATAL_FAILURE(
        {
            ChildProcess child("/bin/sh", {"-c", "trap '' TERM; echo up; exec sleep 60"},
                               {.waitFirstLine = true, .stopLimit = 300ms});
            EXPECT_EQ(child.firstLine(), "up");
            EXPECT_EQ(child.stop(), -1);
        },
        "was killed");
}

TEST(ChildProcess, SimulatorsStartOnTheirTerminalAndStopCleanly) {
    for (const char* program : {GLOVESIM_PATH, KELBSIM_PATH}) {
        SCOPED_TRACE(program);
        testsupport::TempDir dir;
        const std::string link = dir.file("glove");
        ChildProcess sim(program, {"--link", link}, {.waitFirstLine = true, .waitForPath = link});
        ASSERT_TRUE(sim.ready());
        EXPECT_EQ(sim.firstLine().rfind("/dev/pts/", 0), 0u) << sim.firstLine();
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.firstLine());
        EXPECT_EQ(sim.stop(), 0);
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    }
}

TEST(ChildProcess, EndingCollectedByTheTestIsItsOwn) {
    ChildProcess sim(KELBSIM_PATH, {"--bogus"});
    EXPECT_EQ(sim.waitExit(10s), 2);
    EXPECT_NE(sim.errorOutput().find("--bogus"), std::string::npos) << sim.errorOutput();
    EXPECT_EQ(sim.stop(), 2);
}

TEST(ChildProcess, InputAndEnvironmentReachTheChild) {
    ChildProcess child("/bin/sh", {"-c", "read line; echo \"$line $EXTRA\""},
                       {.env = {"EXTRA=there"}, .withStdin = true});
    ASSERT_TRUE(child.write("hello\n"));
    EXPECT_EQ(child.readLine(10s), "hello there");
    EXPECT_EQ(child.waitExit(10s), 0);
}

TEST(ChildProcess, MergedOutputIsReadToItsEndAndAHungChildIsCutOff) {
    ChildProcess chatty({"/bin/sh", "-c", "echo out; echo err >&2; echo done"},
                        {.mergeStderr = true});
    EXPECT_TRUE(chatty.waitForOutput("done", 10s)) << chatty.output();
    EXPECT_EQ(chatty.finish(10s), 0);
    EXPECT_NE(chatty.errorOutput().find("err"), std::string::npos) << chatty.errorOutput();
    EXPECT_NONFATAL_FAILURE(
        {
            ChildProcess hung("/bin/sh", {"-c", "exec sleep 60"});
            EXPECT_EQ(hung.finish(300ms), -1);
        },
        "did not end within its time");
}

TEST(Pty, LinkNamesTheSlaveAndBytesCrossBothWays) {
    testsupport::TempDir dir;
    const std::string link = dir.file("port");
    {
        testsupport::Pty pty(tty::PtyOptions{.nonBlocking = false}, link);
        ASSERT_TRUE(pty.ok());
        EXPECT_EQ(pty.path(), link);
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), pty.slavePath());
        const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        pty.send("ping");
        char buf[8] = {};
        EXPECT_EQ(::read(fd, buf, 4), 4);
        EXPECT_STREQ(buf, "ping");
        ASSERT_EQ(::write(fd, "pong!", 5), 5);
        EXPECT_EQ(pty.receive(4), "pong") << "no more than asked for";
        EXPECT_EQ(pty.receive(8, 200ms), "!");
        ::close(fd);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(TempDir, WritesNestedFilesAndIsRemoved) {
    std::string path;
    {
        testsupport::TempDir dir("ts");
        path = dir.path();
        EXPECT_EQ(path.rfind("/tmp/ts-", 0), 0u);
        const std::string file = dir.write("a/b/c.txt", std::string("x\0y", 3));
        EXPECT_EQ(testsupport::readFile(file), std::string("x\0y", 3));
        EXPECT_EQ(dir.read(file), dir.read("a/b/c.txt"));
        dir.write("env", "# set up\nexport A='1 2'\nexport B=''\nC='x'\nexport D='unclosed\n");
        const std::map<std::string, std::string> expected{{"A", "1 2"}, {"B", ""}};
        EXPECT_EQ(testsupport::readExports(dir.file("env")), expected);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace

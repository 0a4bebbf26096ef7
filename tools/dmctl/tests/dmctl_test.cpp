// dmctl run as a program against the real core and plug-ins.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "dmctlrun.hpp"
#include "tty/tty.hpp"

namespace {

using dmctltest::dmctl;
using dmctltest::Outcome;

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::stringstream in(s);
    std::string part;
    while (std::getline(in, part, sep)) {
        parts.push_back(part);
    }
    return parts;
}

TEST(Dmctl, PluginsListsKindNameAndVersions) {
    Outcome r = dmctl("plugins");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("dummy      128  dummy V1.00    96/256"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("linemux    7    Serial V1.20   96/256"), std::string::npos) << r.out;
}

TEST(Dmctl, ReadPrintsBoundedSineChannelsAsCsv) {
    Outcome r = dmctl("read dummy \"dummy\" --settings nsensors=4 --count 12 --interval 7");
    ASSERT_EQ(r.status, 0) << r.out;
    std::vector<std::string> lines = split(r.out, '\n');
    ASSERT_EQ(lines.size(), 13u) << r.out;
    EXPECT_EQ(lines[0], "t,v0,v1,v2,v3");
    double lo = 1e9, hi = -1e9;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> fields = split(lines[i], ',');
        ASSERT_EQ(fields.size(), 5u) << lines[i];
        for (size_t f = 1; f < fields.size(); ++f) {
            double v = std::stod(fields[f]);
            EXPECT_GE(v, -1.0);
            EXPECT_LE(v, 1.0);
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    EXPECT_LT(lo, hi);  // values move
}

TEST(Dmctl, StreamPrintsEveryRecordTheDeviceWrites) {
    Outcome r =
        dmctl("read dummy streamed --settings nsensors=3:upper=5:lower=4 --stream --count 50");
    ASSERT_EQ(r.status, 0) << r.out;
    std::vector<std::string> lines = split(r.out, '\n');
    ASSERT_EQ(lines.size(), 51u);
    EXPECT_EQ(lines[0], "n,v0,v1,v2");
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> fields = split(lines[i], ',');
        ASSERT_EQ(fields.size(), 4u) << lines[i];
        EXPECT_EQ(std::stoi(fields[0]), static_cast<int>(i - 1));
        for (size_t f = 1; f < 4; ++f) {
            EXPECT_GE(std::stod(fields[f]), 4.0);
            EXPECT_LE(std::stod(fields[f]), 5.0);
        }
    }
}

TEST(Dmctl, ErrorsCarryTheCodeName) {
    Outcome bad = dmctl("read dummy x --settings freq=fast");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("RZERR_INVALID_URL (-39)"), std::string::npos) << bad.out;
    Outcome unknown = dmctl("read nosuchdevice x");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.out.find("RZERR_INVALID_DEVICE"), std::string::npos) << unknown.out;
    Outcome msg = dmctl("send dummy dummy 99 0");
    EXPECT_NE(msg.out.find("RZERR_MESSAGE_NOT_IMPLEMENTED"), std::string::npos) << msg.out;
    Outcome usage = dmctl("frobnicate");
    EXPECT_EQ(usage.status, 2);
    Outcome hex = dmctl("send dummy dummy 15 0 zz");
    EXPECT_EQ(hex.status, 2);
}

TEST(Dmctl, SendWritesMessageSixteenToAPort) {
    tty::Pty pty;
    ASSERT_TRUE(pty.open({.nonBlocking = false, .raw = false}));
    const int master = pty.master();
    std::string path = pty.path();
    Outcome r = dmctl("send linemux " + path + " 16 0 41420043");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("result 0 RZERR_NO_ERROR"), std::string::npos) << r.out;
    std::string got;
    for (int i = 0; i < 50 && got.size() < 4; ++i) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[16];
            ssize_t n = read(master, buf, sizeof(buf));
            if (n > 0) {
                got.append(buf, static_cast<size_t>(n));
            }
        }
    }
    EXPECT_EQ(got, std::string("AB\0C", 4));
}

}  // namespace

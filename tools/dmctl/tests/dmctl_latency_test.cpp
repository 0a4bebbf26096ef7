// dmctl's stream latency against kelbsim, which delays and stamps what it sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "dmctlrun.hpp"
#include "testsupport/simulator.hpp"
#include "testsupport/tempdir.hpp"

namespace {

using dmctltest::dmctl;
using dmctltest::Outcome;

TEST(Dmctl, StreamLatencyReportsTheDelayTheGloveAdds) {
    for (int delayMs : {0, 80}) {
        testsupport::TempDir dir("dmctl-stamps");
        const std::string stamps = dir.file("stamps");
        testsupport::Simulator kelb(
            KELBSIM_PATH, "", {"--delay-ms", std::to_string(delayMs), "--stamp-file", stamps});
        ASSERT_TRUE(kelb.ready());
        Outcome r =
            dmctl("read glove " + kelb.terminal() + " --stream --count 150 --latency " + stamps);
        ASSERT_EQ(r.status, 0) << r.out;
        auto at = r.out.find("dmctl: latency ");
        ASSERT_NE(at, std::string::npos) << r.out;
        double latency = std::strtod(r.out.c_str() + at + 15, nullptr);
        // The machine may be loaded: 50 % or 20 ms, whichever is wider.
        double margin = std::max(0.5 * delayMs, 20.0);
        EXPECT_NEAR(latency, delayMs, margin) << r.out.substr(at);
        EXPECT_NE(r.out.find("rate "), std::string::npos);
    }
    EXPECT_EQ(dmctl("read glove /dev/null --latency x").status, 2);  // needs --stream
}

}  // namespace

// glovectl streaming a glovesim glove over a pty to an OSC receiver on 127.0.0.1: every frame
// printed is also received, in order, with the same angles.

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "oscreceiver.hpp"
#include "testsupport/simulator.hpp"

namespace {

TEST(GlovectlStream, OscReceivesEveryPrintedFrame) {
    Receiver receiver;
    testsupport::Simulator sim(GLOVESIM_PATH, "");
    ASSERT_TRUE(sim.ready());
    constexpr int kFrames = 20;
    testsupport::ChildProcess ctl({GLOVECTL_PATH, "--serial", sim.terminal(), "stream", "--frames",
                                   std::to_string(kFrames), "--name", "left_7", "--osc",
                                   "127.0.0.1:" + receiver.port()});
    std::vector<std::vector<double>> printed;
    std::string line;
    bool header = true;
    while (ctl.readLine(line)) {
        if (header) {
            header = false;
            continue;
        }
        std::vector<double> fields;
        std::stringstream in(line);
        std::string field;
        while (std::getline(in, field, ','))
            fields.push_back(std::stod(field));
        printed.push_back(fields);
    }
    ASSERT_EQ(ctl.finish(), 0) << ctl.errorOutput();
    ASSERT_EQ(printed.size(), size_t{kFrames});
    const auto got = receiver.take(kFrames);
    ASSERT_EQ(got.size(), size_t{kFrames});
    for (int k = 0; k < kFrames; ++k) {
        ASSERT_EQ(got[k].strings.size(), 2u);
        EXPECT_EQ(got[k].strings[0], "left_7");
        ASSERT_EQ(got[k].numbers.size(), 24u);
        ASSERT_EQ(printed[k].size(), 29u);
        // The CSV has degrees to three places after five time fields.
        for (int s = 0; s < 24; ++s)
            EXPECT_NEAR(got[k].numbers[s] * 180.0 / M_PI, printed[k][5 + s], 2e-3) << k << "/" << s;
    }
}

}  // namespace

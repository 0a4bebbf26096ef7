// One fault scenario struck several times at seeded offsets, with what it must give back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>

#include "resources.hpp"

namespace faults {

// Strikes a scenario `runs` times, `once(offset)` at offsets drawn from [lo, hi] with the
// scenario's own seed (printed with a failure), then checks that descriptors and memory came
// back to where they were.
template <typename Once>
void strikeSeeded(const std::string& scenario, long lo, long hi, int runs, Once once) {
    const std::uint32_t seed =
        faults::seed() ^ static_cast<std::uint32_t>(std::hash<std::string>{}(scenario));
    std::mt19937 random(seed);
    std::uniform_int_distribution<long> pick(lo, hi);
    const int fds = openDescriptors();
    const long rss = residentKb();
    for (int run = 0; run < runs; ++run) {
        const long offset = pick(random);
        SCOPED_TRACE(where(seed, run, offset));
        once(offset);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
    EXPECT_EQ(openDescriptors(), fds);
    EXPECT_LT(residentGrowthKb(rss), 16 * 1024) << "kB more resident memory";
}

}  // namespace faults

// The middle thumb roll where its plane is undefined.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "../handmapping.hpp"

TEST(Mapping, UndefinedThumbPlaneGivesNoRollRatherThanNaN) {
    const double k = 1.0 / std::sqrt(62.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double a[3], b[3];
        bool right;
    };
    // Second row along the (mirrored) reference, then a frame that is not finite.
    const Case cases[] = {{{3 * k, -7 * k, 0}, {7 * k, 3 * k, -2 * k}, true},
                          {{3 * k, -7 * k, 0}, {-7 * k, -3 * k, 2 * k}, false},
                          {{1, 0, 0}, {nan, 1, 0}, true}};
    for (const Case& c : cases) {
        FBMatrix m;
        for (int j = 0; j < 3; ++j) {
            m(0, j) = c.a[j];
            m(1, j) = c.b[j];
        }
        EXPECT_EQ(Manuvia::middleThumbRoll(m, c.right), 0.0);
    }
}

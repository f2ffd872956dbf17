// fast_exp2 follows its cubic, not an exact power of two.
#include <gtest/gtest.h>

#include <cmath>

#include "modules/fast_math.h"

namespace {
// The cubic on the fraction in [0, 1) times an exact power of two, in double.
double cubic_exp2(double x) {
    double i = std::floor(x);
    double y = (x - i) * 0.6931472;
    return (1 + y * (1 + y * (0.5 + y * 0.200064))) * std::ldexp(1.0, static_cast<int>(i));
}
} // namespace

TEST(FastMath, FastExp2FollowsItsPolynomial) {
    for (float x : {0.0f, 1.0f, -1.0f, 0.5f, -0.25f, 0.999f, 3.75f, -7.3f, 10.999f, -0.0001f, 100.5f, -100.25f}) {
        SCOPED_TRACE(x);
        EXPECT_NEAR(fast_exp2(x), cubic_exp2(x), cubic_exp2(x) * 2e-7);
    }
    // Integers are exact; the fraction is not an exact exponential.
    EXPECT_EQ(fast_exp2(3), 8);
    EXPECT_EQ(fast_exp2(-2), 0.25f);
    EXPECT_GT(std::fabs(fast_exp2(0.5f) - std::sqrt(2.0f)), 5e-4f);
    // Negative fractions fold into [0, 1) below the next lower integer.
    EXPECT_FLOAT_EQ(fast_exp2(-0.25f), fast_exp2(0.75f) / 2);
}

TEST(FastMath, FastExp2StaysDefinedAtTheExtremes) {
    EXPECT_EQ(fast_exp2(-1000), 0);
    EXPECT_TRUE(std::isinf(fast_exp2(1000)));
    EXPECT_EQ(fast_exp2(-1e30f), 0);
    EXPECT_EQ(fast_exp2(NAN), 0);  // no NaN comes out of a pitch or cutoff scaling
}

// The shared anti-denormal table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "modules/denormal_noise.h"

namespace {
struct RestoreTimeSeed {
    ~RestoreTimeSeed() {
        denormal_noise::set_fixed_seed(0);
        denormal_noise::fill_default();
    }
};
} // namespace

TEST(DenormalNoise, EveryEntryIsTinyNonZeroAndNotDenormal) {
    RestoreTimeSeed restore;
    for (uint32_t seed : {1u, 2u, 12345u, 0xffffffffu, 0u}) {
        SCOPED_TRACE(seed);
        denormal_noise::fill(seed);
        int positive = 0;
        for (float x : denormal_noise::g_table) {
            EXPECT_EQ(std::fpclassify(x), FP_NORMAL) << x;
            EXPECT_GE(std::fabs(x), 1e-30f);
            EXPECT_LE(std::fabs(x), 5.01e-21f);
            positive += x > 0;
        }
        EXPECT_GT(positive, 0);
        EXPECT_LT(positive, 128);
    }
}

TEST(DenormalNoise, FixedSeedIsReproducible) {
    RestoreTimeSeed restore;
    float first[128], second[128];
    denormal_noise::set_fixed_seed(42);
    denormal_noise::fill_default();
    std::memcpy(first, denormal_noise::g_table, sizeof first);
    denormal_noise::fill(7);
    denormal_noise::fill_default();
    std::memcpy(second, denormal_noise::g_table, sizeof second);
    EXPECT_EQ(std::memcmp(first, second, sizeof first), 0);
    denormal_noise::fill(43);
    EXPECT_NE(std::memcmp(first, denormal_noise::g_table, sizeof first), 0);
}

TEST(DenormalNoise, OneCursorWalksTheTableCyclically) {
    denormal_noise::g_cursor.store(127);
    EXPECT_EQ(denormal_noise::next(), denormal_noise::g_table[0]);
    EXPECT_EQ(denormal_noise::next(), denormal_noise::g_table[1]);
    for (int i = 0; i < 126; ++i) denormal_noise::next();
    EXPECT_EQ(denormal_noise::g_cursor.load(), 127u);
}

#include "modules/wet_dry_crossfader.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Runs the crossfader over `frames` samples of dry 1 and wet 3 in blocks of `block`.
std::vector<float> run(t_wet_dry_crossfader& f, int frames, int block) {
    std::vector<float> out;
    for (int done = 0; done < frames; done += block) {
        const int n = std::min(block, frames - done);
        std::vector<float> dry(n, 1.0f), wet(n, 3.0f);
        crossfader_apply(f, dry.data(), wet.data(), n);
        out.insert(out.end(), wet.begin(), wet.end());
    }
    return out;
}

} // namespace

TEST(WetDryCrossfader, AtRestPassesWetOrDryExactly) {
    t_wet_dry_crossfader f;
    crossfader_set_rest(f, true);
    for (float v : run(f, 100, 37))
        ASSERT_EQ(v, 3.0f);
    crossfader_set_rest(f, false);
    EXPECT_TRUE(crossfader_bypassed(f));
    for (float v : run(f, 100, 37))
        ASSERT_EQ(v, 1.0f);
}

TEST(WetDryCrossfader, TurningOffGlidesLinearlyThenBypasses) {
    for (int block : {1, 7, 1024}) {
        SCOPED_TRACE(block);
        t_wet_dry_crossfader f;
        crossfader_set_ramp_steps(f, 100);
        crossfader_set_rest(f, true);
        crossfader_turn_off(f);
        EXPECT_FALSE(crossfader_bypassed(f));
        const std::vector<float> out = run(f, 300, block);
        EXPECT_FLOAT_EQ(out[0], 3.0f); // the first sample is still all wet
        EXPECT_NEAR(out[50], 2.0f, 1e-4);
        for (int i = 100; i < 300; ++i)
            ASSERT_EQ(out[i], 1.0f) << i;
        EXPECT_TRUE(crossfader_bypassed(f));
    }
}

TEST(WetDryCrossfader, TurningOnHalfwayGlidesFromWhereItIs) {
    t_wet_dry_crossfader f;
    crossfader_set_ramp_steps(f, 100);
    crossfader_set_rest(f, true);
    crossfader_turn_off(f);
    run(f, 50, 50); // halfway out
    crossfader_turn_on(f);
    const std::vector<float> out = run(f, 200, 64);
    EXPECT_NEAR(out[0], 2.0f, 1e-4);
    EXPECT_NEAR(out[50], 2.5f, 1e-4); // 100 steps from 0.5 to 1
    EXPECT_EQ(out[150], 3.0f);
    EXPECT_FALSE(f.active);
    // Turning on what is on changes nothing.
    crossfader_turn_on(f);
    EXPECT_FALSE(f.active);
}

TEST(WetDryCrossfader, SwitchingOnFromRestAtZeroFadesTheWetIn) {
    t_wet_dry_crossfader f;
    crossfader_set_ramp_steps(f, 10);
    crossfader_set_rest(f, false);
    crossfader_turn_on(f);
    const std::vector<float> out = run(f, 20, 3);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_NEAR(out[5], 2.0f, 1e-5);
    EXPECT_EQ(out[10], 3.0f);
    EXPECT_EQ(out[19], 3.0f);
}

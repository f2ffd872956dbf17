#include "modules/lfo_shaper.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(LfoShaper, ShapesAtKnownPhases) {
    struct Case {
        int type;
        float duty, phase, expected;
    };
    const Case cases[] = {
        {kLfoSquare, 0.5f, 0.1f, -1},
        {kLfoSquare, 0.5f, 0.6f, 1},
        {kLfoSquare, 0.25f, 0.3f, 1},
        {kLfoTriangle, 0.5f, 0.0f, -1},
        {kLfoTriangle, 0.5f, 0.25f, 0},
        {kLfoTriangle, 0.5f, 0.5f, 1},
        {kLfoTriangle, 0.5f, 0.75f, 0},
        {kLfoTriangle, 0.25f, 0.25f, 1},
        {kLfoTriangle, 0.25f, 0.625f, 0},
        {kLfoRampUp, 0.5f, 0.75f, 0.5f},
        {kLfoRampDown, 0.5f, 0.75f, -0.5f},
        {kLfoSine, 0.5f, 0.0f, 0},
        {kLfoSine, 0.5f, 0.5f, 0},
        {kLfoSine, 0.5f, 1.0f, 0},
        {99, 0.5f, 0.5f, 0}, // an unknown type is the sine
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " duty " << c.duty << " phase " << c.phase);
        t_lfo_shaper s;
        lfo_shaper_init(s, c.type, c.duty);
        EXPECT_NEAR(lfo_shaper_value(s, c.phase), c.expected, 1e-3);
    }
}

TEST(LfoShaper, SineApproximationSwingsFullRange) {
    t_lfo_shaper s;
    lfo_shaper_init(s, kLfoSine, 0.5f);
    float lo = 0, hi = 0;
    for (int i = 0; i < 1000; ++i) {
        const float v = lfo_shaper_value(s, i / 1000.0f);
        lo = std::min(lo, v), hi = std::max(hi, v);
        EXPECT_NEAR(v, std::sin(2 * M_PI * i / 1000.0), 0.03) << i;
    }
    EXPECT_NEAR(hi, 1, 0.02);
    EXPECT_NEAR(lo, -1, 0.02);
}

TEST(LfoShaper, DutyIsClampedSoTheTriangleStaysFinite) {
    for (float duty : {0.0f, 1.0f, -3.0f, NAN}) {
        t_lfo_shaper s;
        lfo_shaper_init(s, kLfoTriangle, duty);
        EXPECT_GE(s.duty, 0.0025f);
        EXPECT_LE(s.duty, 0.9975f);
        for (float a = 0; a < 1; a += 0.001f) {
            const float v = lfo_shaper_value(s, a);
            ASSERT_TRUE(std::isfinite(v));
            ASSERT_LE(std::fabs(v), 1.0001f);
        }
    }
}

TEST(LfoShaper, RandomShapesHoldForACycleAndGlideBetweenDraws) {
    t_lfo_shaper hold, glide;
    lfo_shaper_init(hold, kLfoSampleHold, 0.5f);
    lfo_shaper_init(glide, kLfoSmoothRandom, 0.5f);
    int changes = 0;
    float last = lfo_shaper_value(hold, 0);
    for (int cycle = 0; cycle < 50; ++cycle) {
        for (int i = 0; i < 100; ++i) {
            const float a = i / 100.0f;
            const float v = lfo_shaper_value(hold, a);
            ASSERT_GE(v, -1.0f);
            ASSERT_LT(v, 1.0f);
            if (i > 0) {
                ASSERT_EQ(v, last) << "held within a cycle";
            }
            if (i == 0 && v != last) ++changes;
            last = v;
            const float g = lfo_shaper_value(glide, a);
            // The smoothed shape starts a cycle at the previous draw and heads for the new one.
            if (i == 0) {
                EXPECT_FLOAT_EQ(g, glide.previous);
            }
            EXPECT_FLOAT_EQ(g, (1 - a) * glide.previous + a * glide.held);
        }
    }
    EXPECT_GT(changes, 45);
}

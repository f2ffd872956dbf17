// Linear smoothing and the model switcher's cross-fade weight.
#include <gtest/gtest.h>

#include "modules/smooth.h"

TEST(Smooth, RampEndsExactlyOnTheTargetAfterRampSteps) {
    const struct {
        float from, to;
        int steps;
    } cases[] = {{0, 1, 3}, {1, 0, 7}, {0.1f, 0.7f, 10}, {-2, 5, 1}, {3, 3, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to << " in " << c.steps);
        t_smooth_var s;
        s.ramp_steps = c.steps;
        s.current = s.target = c.from;
        smooth_set_target(s, c.to);
        int steps = 0;
        while (s.remaining > 0 && steps < 1000) smooth_step(s), ++steps;
        EXPECT_EQ(steps, c.from == c.to ? 0 : c.steps);
        EXPECT_EQ(s.current, c.to);
        smooth_step(s);
        EXPECT_EQ(s.current, c.to);
    }
    t_smooth_var s;
    s.ramp_steps = 4;
    smooth_set_target(s, 8);
    smooth_step(s);
    EXPECT_EQ(s.current, 2);
    smooth_jump(s);
    EXPECT_EQ(s.current, 8);
    EXPECT_EQ(s.remaining, 0);
}

TEST(Smooth, ModelSwitcherFadesTheOutgoingModelFromOneToZero) {
    SmoothModelSwitcher sw(4);
    sw.set_now(0.3f);
    EXPECT_EQ(sw.weight(), 0.3f);
    EXPECT_EQ(sw.smooth_var().remaining, 0);
    sw.start_fade();
    EXPECT_EQ(sw.weight(), 1);
    const float expected[] = {0.75f, 0.5f, 0.25f, 0};
    for (float e : expected) {
        sw.step();
        EXPECT_EQ(sw.weight(), e);
    }
    EXPECT_EQ(sw.smooth_var().remaining, 0);
    EXPECT_EQ(&sw.smooth_var(), &sw.var());
}

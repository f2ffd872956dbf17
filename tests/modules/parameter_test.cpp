// Module parameters: curves, value kinds, integer stepping, clamping, smoothing and text.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>

#include "modules/parameter.h"

namespace {

using LinFloat = Parameter_T<LinearDriver, ParameterFloatValue>;
using SqFloat = Parameter_T<SquareDriver, ParameterFloatValue>;
using CubeFloat = Parameter_T<CubeDriver, ParameterFloatValue>;
using ExpFloat = Parameter_T<ExponentialDriver, ParameterFloatValue>;
using ExpZero = Parameter_T<ExponentialDriver, ParameterFloatZeroValue>;
using LinInt = Parameter_T<LinearDriver, ParameterIntValue>;
using LinSmooth = Parameter_T<LinearDriver, ParameterSmoothValue>;
using Smooth = SmoothParameter_T<LinearDriver>;

using Make = std::function<std::unique_ptr<Parameter>()>;
template <class P>
Make make(float mn, float mx, float dflt) {
    return [=] { return std::make_unique<P>(1, mn, mx, dflt, "p"); };
}

} // namespace

// Controller position -> value, for every curve and value kind in use.
TEST(Parameter, ControllerPositionsThroughEachCurveAndKind) {
    const float third = 1.0f / 127.0f;
    const struct {
        const char* what;
        Make make;
        float c;  // given through set_controller_float
        float value;
        float tolerance;
    } cases[] = {
        {"linear 0", make<LinFloat>(-1, 3, 0), 0, -1, 0},
        {"linear centre is exact", make<LinFloat>(-1, 3, 0), 64, 1, 0},
        {"linear centre window", make<LinFloat>(-1, 3, 0), 64.00005f, 1, 0},
        {"linear 64.5 is not snapped", make<LinFloat>(0, 127, 0), 64.5f, 64.5f, 1e-4f},
        {"linear top", make<LinFloat>(-1, 3, 0), 127, 3, 1e-5f},
        {"square 32", make<SqFloat>(0, 1, 0), 32, (32 * third) * (32 * third), 1e-6f},
        {"square centre", make<SqFloat>(0, 1, 0), 64, 0.25f, 0},
        {"square 64.5 snaps (truncated test)", make<SqFloat>(0, 1, 0), 64.5f, 0.25f, 0},
        {"square top", make<SqFloat>(0, 1, 0), 127, 1, 1e-6f},
        {"cube centre", make<CubeFloat>(0, 8, 0), 64, 1, 0},
        {"cube 64.9 snaps", make<CubeFloat>(0, 8, 0), 64.9f, 1, 0},
        {"cube 100", make<CubeFloat>(0, 8, 0), 100, 8 * std::pow(100.0f / 127, 3.0f), 1e-4f},
        {"exponential bottom", make<ExpFloat>(20, 20000, 1000), 0, 20, 1e-3f},
        {"exponential geometric middle", make<ExpFloat>(20, 20000, 1000), 63.5f, 20 * std::sqrt(1000.0f), 0.05f},
        {"exponential top", make<ExpFloat>(20, 20000, 1000), 127, 20000, 0.5f},
        {"exponential-zero at 0 is off", make<ExpZero>(20, 20000, 1000), 0, 0, 0},
        {"exponential-zero at 1", make<ExpZero>(20, 20000, 1000), 1, 20 * std::pow(1000.0f, 1 / 127.0f), 1e-3f},
        {"exponential-zero top", make<ExpZero>(20, 20000, 1000), 127, 20000, 0.5f},
        {"smooth target", make<LinSmooth>(0, 10, 0), 64, 5, 0},
        // A range from 0 has no ratio: the exponential curve falls back to a straight line.
        {"exponential from 0 is linear", make<ExpFloat>(0, 10, 0), 100, 100 * 0.007874016f * 10, 1e-5f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto p = c.make();
        p->set_controller_float(c.c);
        EXPECT_NEAR(p->target_value(), c.value, c.tolerance);
        EXPECT_EQ(p->controller_float(), c.c);
        EXPECT_EQ(p->controller(), static_cast<int>(c.c));
    }
}

// Value -> controller position: the centres snap to 64, the rest rounds with +0.4.
TEST(Parameter, ValuesReportTheirControllerPosition) {
    const struct {
        const char* what;
        Make make;
        float v;
        int controller;
    } cases[] = {
        {"linear middle", make<LinFloat>(-1, 3, 0), 1, 64},
        {"linear bottom", make<LinFloat>(-1, 3, 0), -1, 0},
        {"linear top", make<LinFloat>(-1, 3, 0), 3, 127},
        {"linear 0.7 of a step rounds up", make<LinFloat>(0, 127, 0), 10.7f, 11},
        {"linear 0.5 of a step rounds down", make<LinFloat>(0, 127, 0), 10.5f, 10},
        {"square quarter", make<SqFloat>(0, 1, 0), 0.25f, 64},
        {"cube eighth", make<CubeFloat>(0, 8, 0), 1, 64},
        {"exponential geometric middle", make<ExpFloat>(20, 20000, 20), 20 * std::sqrt(1000.0f), 63},
        {"exponential top", make<ExpFloat>(20, 20000, 20), 20000, 127},
        {"exponential-zero off", make<ExpZero>(20, 20000, 1000), 0, 0},
        {"integer offset from minimum", make<LinInt>(10, 137, 10), 74, 64},
        {"smooth middle", make<LinSmooth>(0, 10, 0), 5, 64},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto p = c.make();
        p->set_value(c.v);
        EXPECT_EQ(p->controller(), c.controller);
        EXPECT_NEAR(p->target_value(), c.v, std::fabs(c.v) * 1e-6f);
    }
}

TEST(Parameter, IntegerKindStepsOneIntegerPerControllerStep) {
    LinInt p(1, 0, 3, 0, "steps");
    const struct {
        const char* what;
        std::function<void(LinInt&)> apply;
        float value;
    } cases[] = {
        {"set_controller(100) lands on the top", [](LinInt& q) { q.set_controller(100); }, 3},
        {"set_controller(2)", [](LinInt& q) { q.set_controller(2); }, 2},
        {"set_controller(-5) lands on the bottom", [](LinInt& q) { q.set_controller(-5); }, 0},
        {"set_controller_float(1.5): 1.999 truncates", [](LinInt& q) { q.set_controller_float(1.5f); }, 1},
        {"set_controller_float(2.6)", [](LinInt& q) { q.set_controller_float(2.6f); }, 3},
        {"set_controller_float(200) is limited", [](LinInt& q) { q.set_controller_float(200); }, 3},
        {"set_value(2.6) rounds to 3", [](LinInt& q) { q.set_value(2.6f); }, 3},
        {"set_value(0.4) rounds to 0", [](LinInt& q) { q.set_value(0.4f); }, 0},
        {"set_value(-0.6) clamps to 0", [](LinInt& q) { q.set_value(-0.6f); }, 0},
        {"set_value(9) clamps to 3", [](LinInt& q) { q.set_value(9); }, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.apply(p);
        EXPECT_EQ(p.value(), c.value);
        EXPECT_EQ(p.controller(), static_cast<int>(c.value));
    }
    LinInt signed_range(2, -3, 3, 0, "signed");
    signed_range.set_value(-0.6f);
    EXPECT_EQ(signed_range.value(), -1);
    signed_range.set_value(-2.6f);
    EXPECT_EQ(signed_range.value(), -3);
    EXPECT_EQ(signed_range.controller(), 0);
    EXPECT_EQ(signed_range.value_text(), "-3");

    // Controller 64 on a 128-value integer keeps 64 steps above the minimum: the kind
    // rounds where the float curves add 0.4, because the linear curve snaps 64 to one half.
    LinInt wide(3, 0, 127, 0, "wide");
    for (int c : {1, 63, 64, 65, 126, 127}) {
        wide.set_controller(c);
        EXPECT_EQ(wide.value(), c) << c;
    }
}

TEST(Parameter, SetValueClampsIntoTheBoundsEvenWhenMinimumExceedsMaximum) {
    const struct {
        const char* what;
        Make make;
        float v, want;
    } cases[] = {
        {"above", make<LinFloat>(0, 2, 1), 5, 2},
        {"below", make<LinFloat>(0, 2, 1), -5, 0},
        {"reversed above", make<LinFloat>(2, 0, 1), 5, 2},
        {"reversed below", make<LinFloat>(2, 0, 1), -5, 0},
        {"exponential below", make<ExpFloat>(20, 20000, 20), 1, 20},
        {"exponential-zero below its minimum", make<ExpZero>(20, 20000, 20), 10, 20},
        {"exponential-zero keeps 0", make<ExpZero>(20, 20000, 20), 0, 0},
        {"smooth above", make<LinSmooth>(0, 10, 0), 50, 10},
        {"infinity is ignored", make<LinFloat>(0, 2, 1), INFINITY, 1},
        {"nan is ignored", make<LinFloat>(0, 2, 1), NAN, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto p = c.make();
        p->set_value(c.v);
        EXPECT_EQ(p->target_value(), c.want);
    }
    // The constructor's default is clamped the same way.
    EXPECT_EQ(LinFloat(1, 2, 0, 7, "r").value(), 2);
    EXPECT_EQ(Smooth(1, 0, 1, -3, 4, "s").value(), 0);
}

TEST(Parameter, SmoothedParameterGlidesInExactlyItsRampSteps) {
    Smooth p(7, 0, 100, 0, 4, "level");
    EXPECT_EQ(p.smooth_var().ramp_steps, 4);
    p.set_controller(127);
    const float target = p.target_value();
    EXPECT_NEAR(target, 100, 1e-4f);
    EXPECT_EQ(p.value(), 0);  // the value the signal uses moves only when stepped
    EXPECT_EQ(p.value_text(), format_float(target));
    float last = 0;
    for (int step = 1; step <= 4; ++step) {
        p.step();
        EXPECT_GT(p.value(), last);
        last = p.value();
        if (step < 4) {
            EXPECT_LT(p.value(), target);
        }
    }
    EXPECT_EQ(p.value(), target);  // exactly on the target, not a rounding away
    EXPECT_EQ(p.smooth_var().remaining, 0);
    p.step();
    EXPECT_EQ(p.value(), target);

    // set_value glides too; the same value again starts nothing.
    p.set_value(50);
    EXPECT_EQ(p.smooth_var().remaining, 4);
    p.set_value(p.value());
    EXPECT_EQ(p.smooth_var().remaining, 0);
}

// A preset load jumps: no glide. The text is clamped into the bounds here (the reader
// is fed hostile text, so a stored value never leaves the parameter's range).
TEST(Parameter, SmoothedParameterJumpsOnTextLoad) {
    Smooth p(7, 0, 100, 0, 4, "level");
    p.set_controller(127);
    p.set_value_text("25");
    EXPECT_EQ(p.value(), 25);
    EXPECT_EQ(p.target_value(), 25);
    EXPECT_EQ(p.smooth_var().remaining, 0);
    EXPECT_EQ(p.controller(), 32);  // trunc(0.25 * 127 + 0.4)
    p.set_value_text("1000");
    EXPECT_EQ(p.value(), 100);
    EXPECT_EQ(p.value_text(), "100");
}

TEST(Parameter, ValueTextParsesTheLeadingNumber) {
    const struct {
        const char* text;
        float want;
    } cases[] = {
        {"0.5", 0.5f}, {"  1.25", 1.25f}, {"-0.25", 0}, {"1.5abc", 1.5f}, {"+1", 1}, {".5", 0.5f},
        {"1e0", 1}, {"abc", 0}, {"", 0}, {"-", 0},
        {"nan", 0}, {"inf", 0},             // not numbers: 0, like any other word
        {"1e39", 0.75f}, {"-1e39", 0.75f},  // beyond a float: ignored
        {"1e400", 0.75f}, {"1e-400", 0}, {"1e-40", 0},  // a denormal reads as 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        LinFloat p(1, 0, 2, 0.75f, "p");
        p.set_value_text(c.text);
        EXPECT_EQ(p.value(), c.want);
    }
    LinFloat p(1, 0, 2, 0.75f, "p");
    EXPECT_EQ(p.value_text(), "0.75");
    p.set_value(1.0f / 3);
    EXPECT_EQ(p.value_text(), "0.333333");  // six significant digits
}

TEST(Parameter, ClonesCopyStateUnderANewIdentity) {
    Smooth p(7, 0, 100, 20, 4, "level", 16);
    p.set_controller(100);
    auto same = p.clone();
    auto other = p.clone_as(9, "other");
    EXPECT_EQ(same->id(), 7);
    EXPECT_EQ(same->name(), "level");
    EXPECT_EQ(same->display_type(), 16);
    EXPECT_EQ(same->controller(), 100);
    EXPECT_EQ(same->target_value(), p.target_value());
    EXPECT_EQ(other->id(), 9);
    EXPECT_EQ(other->name(), "other");
    auto* smooth = dynamic_cast<Smooth*>(other.get());
    ASSERT_NE(smooth, nullptr);  // still smoothed
    EXPECT_EQ(smooth->smooth_var().remaining, 4);
    EXPECT_EQ(LinFloat(1, 0, 1, 0).name(), "");
}

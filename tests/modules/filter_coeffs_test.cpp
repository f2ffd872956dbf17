#include "modules/filter_coeffs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "modules/denormal_noise.h"

namespace {

constexpr double kPi = 3.14159265358979;

// Magnitude of the settled section at angle w (radians per sample), gain included.
double response(const t_filter_coeffs& c, double w) {
    const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
    const std::complex<double> num =
        double(c.b0.target) + double(c.b1.target) * z1 + double(c.b2.target) * z2;
    const std::complex<double> den =
        double(c.a0.target) + double(c.a1.target) * z1 + double(c.a2.target) * z2;
    return std::abs(num / den) * c.gain.target;
}

// Measured gain for a sine at angle w, running the filtering step itself.
double measured_gain(t_filter_coeffs c, double w) {
    t_biquad_history h;
    const int settle = 20000, window = 20000;
    double in = 0, out = 0;
    for (int i = 0; i < settle + window; ++i) {
        const float x = static_cast<float>(std::sin(w * i));
        const float y = filter_coeffs_process(c, h, x);
        if (i >= settle) in += double(x) * x, out += double(y) * y;
    }
    return std::sqrt(out / in);
}

} // namespace

TEST(FilterCoeffs, StartsAtRestWithUnityGain) {
    t_filter_coeffs c;
    EXPECT_EQ(c.a0.current, 0.1f);
    EXPECT_EQ(c.gain.current, 1.0f);
    EXPECT_EQ(c.b0.current, 0.0f);
    EXPECT_FALSE(c.ramping());
}

TEST(FilterCoeffs, DesignsHaveTheirShapes) {
    const double w = 2 * kPi * 1000 / 44100, q = 4;
    struct Case {
        t_filter_design design;
        double at, expected; // gain at angle `at`
    };
    const Case cases[] = {
        {kFilterLowPass, 0.001, 1.0}, {kFilterLowPass, w, q},        {kFilterLowPass, 3.0, 0.0},
        {kFilterBandPass, w, q},      {kFilterBandPass, 0.001, 0.0}, {kFilterBandPass, 3.1, 0.0},
        {kFilterHighPass, kPi, 1.0},  {kFilterHighPass, w, q},       {kFilterHighPass, 0.0, 0.0},
        {kFilterNotch, w, 0.0},       {kFilterNotch, 0.001, 1.0},    {kFilterNotch, kPi, 1.0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "design " << k.design << " at " << k.at);
        t_filter_coeffs c;
        filter_design(c, k.design, static_cast<float>(w), 0, static_cast<float>(q), 0);
        EXPECT_NEAR(response(c, k.at), k.expected, 0.01 * std::max(1.0, k.expected));
    }
}

TEST(FilterCoeffs, ShelvesAndPeakOfTheEqualiser) {
    const double w = 2 * kPi * 1000 / 44100;
    t_filter_coeffs low, peak, high;
    filter_design_low_shelf(low, static_cast<float>(w), 4, false);
    filter_design_peak(peak, static_cast<float>(w), 4, 2, false);
    filter_design_high_shelf(high, static_cast<float>(w), 4, false);
    EXPECT_NEAR(response(low, 0), 4, 1e-3);
    EXPECT_NEAR(response(low, kPi), 1, 1e-3);
    EXPECT_NEAR(response(low, w), 2, 0.05); // the half-way gain at the corner
    EXPECT_NEAR(response(high, 0), 1, 1e-3);
    EXPECT_NEAR(response(high, kPi), 4, 1e-3);
    EXPECT_NEAR(response(peak, w), 4, 1e-3);
    EXPECT_NEAR(response(peak, 0), 1, 1e-3);
    // The first-order shelves leave b2 and a2 at 0 at once, not after a glide.
    EXPECT_EQ(low.b2.current, 0.0f);
    EXPECT_EQ(high.a2.remaining, 0);
    // An angle past Nyquist (a low rate) stays finite.
    filter_design_high_shelf(high, 4.0f, 4, true);
    EXPECT_TRUE(std::isfinite(high.b0.current) && std::isfinite(high.a1.current));
}

TEST(FilterCoeffs, PedalIsABandPassAtItsAngle) {
    // A zero at DC and a resonance at theta whose peak, about 2 / (1 + theta * Q), the
    // wah's output gain makes up for.
    const float theta = static_cast<float>(2 * kPi * 800 / 44100);
    for (float q : {3.0f, 10.0f, 15.0f}) {
        SCOPED_TRACE(q);
        t_filter_coeffs c;
        filter_design(c, kFilterPedal, theta, 0, q, 0);
        EXPECT_LT(response(c, 1e-4), 1e-3);
        double best = 0, best_w = 0;
        for (double w = 0.001; w < 1.0; w += 0.0002)
            if (response(c, w) > best) best = response(c, w), best_w = w;
        EXPECT_NEAR(best_w, theta, theta * 0.02);
        EXPECT_NEAR(best, 2 / (1 + theta * q), 0.05);
        EXPECT_LT(response(c, 4 * theta), best * 0.2);
    }
}

TEST(FilterCoeffs, AngleAndQualityLimits) {
    // 2200 Hz raised by 10 octaves asks for far above Nyquist: the angle stops at 0.45 of the rate.
    t_filter_coeffs c, limit;
    filter_design(c, kFilterLowPass, static_cast<float>(2 * kPi * 2200 / 44100), 10, 1, 0);
    filter_design(limit, kFilterLowPass, 2.8274333f, 0, 1, 0);
    EXPECT_FLOAT_EQ(c.a1.target, limit.a1.target);
    EXPECT_FLOAT_EQ(c.b0.target, limit.b0.target);
    // And far below: 0.0003 of the rate.
    filter_design(c, kFilterLowPass, 1e-3f, -10, 1, 0);
    filter_design(limit, kFilterLowPass, 0.0018849557f, 0, 1, 0);
    EXPECT_FLOAT_EQ(c.a1.target, limit.a1.target);
    // Resonance 120 plus an octave is held at Q 100: the band-pass peak is then 100.
    const float w = static_cast<float>(2 * kPi * 1000 / 44100);
    filter_design(c, kFilterBandPass, w, 0, 120, 1);
    EXPECT_NEAR(response(c, w), 100.0, 0.5);
    // A quality at or below zero (or NaN) must not give a growing filter.
    for (float q : {0.0f, -5.0f, NAN}) {
        filter_design(c, kFilterPedal, w, 0, q, 0);
        EXPECT_GT(c.a0.target, c.a2.target) << q;
        filter_design(c, kFilterLowPass, w, 0, q, 0);
        EXPECT_GT(c.a0.target, std::fabs(c.a2.target)) << q;
    }
}

TEST(FilterCoeffs, FilteringStepMatchesTheDesignAfterTheGlide) {
    denormal_noise::fill(1);
    const double w = 2 * kPi * 1500 / 48000;
    t_filter_coeffs c;
    filter_design(c, kFilterBandPass, static_cast<float>(w), 0, 2, 0);
    filter_set(c.gain, 0.5f);
    EXPECT_TRUE(c.ramping());
    t_filter_coeffs stepped = c;
    t_biquad_history h;
    for (int i = 0; i < kFilterCoefficientRamp - 1; ++i)
        filter_coeffs_process(stepped, h, 0);
    EXPECT_TRUE(stepped.ramping());
    filter_coeffs_process(stepped, h, 0);
    EXPECT_FALSE(stepped.ramping()); // 30 samples exactly
    EXPECT_EQ(stepped.b0.current, c.b0.target);
    EXPECT_NEAR(measured_gain(c, w), 2 * 0.5, 0.01);
    EXPECT_NEAR(measured_gain(c, w * 4), response(c, w * 4), 0.01);
}

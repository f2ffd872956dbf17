#include "modules/eq_3band.h"

#include <gtest/gtest.h>

#include <memory>

#include "modules/denormal_noise.h"
#include "tests/modules/voice_fx_rig.h"
#include "tests/support/alloc_counter.h"

using namespace voice_fx_test;

namespace {

std::unique_ptr<Rig> make_eq(float rate = 44100) {
    denormal_noise::fill(1);
    t_module* m = eq_3band_create(std::to_string(static_cast<int>(rate)) + " 512 Eq");
    EXPECT_NE(m, nullptr);
    return std::make_unique<Rig>(m);
}

// A few partials spread over the bands.
float music(int n, float rate) {
    const float t = static_cast<float>(n) / rate;
    return 0.3f * std::sin(kTwoPi * 110 * t) + 0.2f * std::sin(kTwoPi * 1300 * t) +
           0.1f * std::sin(kTwoPi * 7000 * t);
}

std::vector<float> render_music(Rig& rig, int frames, int block, int& clock, float rate = 44100) {
    return rig.render(frames, block, [&](int, int n) {
        for (int i = 0; i < n; ++i)
            rig.in(1)[i] = music(clock++, rate);
    })[0];
}

// Gain of the equaliser for a sine at hz, after the glides and the filters have settled.
double gain_at(Rig& rig, double hz, double rate = 44100) {
    const int settle = 8192, window = 26460; // whole periods of every test frequency
    long n = 0;
    std::vector<float> in_copy;
    std::vector<float> y = rig.render(settle + window, 1024, [&](int, int k) {
        for (int i = 0; i < k; ++i, ++n) {
            rig.in(1)[i] =
                0.5f * static_cast<float>(std::sin(2.0 * M_PI * hz * static_cast<double>(n) / rate));
            in_copy.push_back(rig.in(1)[i]);
        }
    })[0];
    return amplitude_at(y, settle, window, hz, rate) / amplitude_at(in_copy, settle, window, hz, rate);
}

} // namespace

TEST(Eq3Band, UnitGainsPassTheSignalUnchanged) {
    auto rig = make_eq();
    int clock = 0;
    render_music(*rig, 4096, 1024, clock); // the initial glides and their transient
    std::vector<float> y = render_music(*rig, 8192, 1024, clock);
    for (int i = 0; i < 8192; ++i)
        ASSERT_NEAR(y[i], music(4096 + i, 44100), 1e-5f) << i;
}

TEST(Eq3Band, SwitchedOffCopiesTheInputExactly) {
    auto rig = make_eq();
    rig->settings("on_off 0 low_gain 10 peak_gain 0.1");
    int clock = 0;
    std::vector<float> y = render_music(*rig, 2048, 37, clock);
    for (int i = 0; i < 2048; ++i)
        ASSERT_EQ(y[i], music(i, 44100)) << i;
}

TEST(Eq3Band, BoostsAndCutsWhereItsBandsAre) {
    struct Case {
        const char* settings;
        double hz;
        double gain;
        double tolerance; // relative
    };
    const Case cases[] = {
        {"low_cutoff 100 low_gain 4", 5, 4.0, 0.02},     // a decade and more below the shelf: g
        {"low_cutoff 100 low_gain 4", 10000, 1.0, 0.01}, // far above: untouched
        {"low_cutoff 100 low_gain 0.25", 5, 0.25, 0.02},
        {"peak_cutoff 1000 peak_gain 4 peak_Q 2", 1000, 4.0, 0.01}, // g itself at the centre
        {"peak_cutoff 1000 peak_gain 0.25 peak_Q 2", 1000, 0.25, 0.01},
        {"peak_cutoff 1000 peak_gain 4 peak_Q 2", 100, 1.0, 0.03},
        {"high_cutoff 2000 high_gain 0.25", 18000, 0.25, 0.02},
        {"high_cutoff 2000 high_gain 4", 18000, 4.0, 0.02},
        {"high_cutoff 2000 high_gain 4", 100, 1.0, 0.01},
        {"amplitude 0.5", 1000, 0.5, 0.001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.settings << " at " << c.hz << " Hz");
        auto rig = make_eq();
        rig->settings(c.settings);
        EXPECT_NEAR(gain_at(*rig, c.hz), c.gain, c.gain * c.tolerance);
    }
}

TEST(Eq3Band, BandsStayInPlaceAfterARateChange) {
    auto rig = make_eq(44100);
    rig->settings("peak_cutoff 1000 peak_gain 4 peak_Q 2");
    rig->dut->set_sample_rate(rig->dut, 96000);
    EXPECT_NEAR(gain_at(*rig, 1000, 96000), 4.0, 0.04);
}

TEST(Eq3Band, SettingsTextRoundTrip) {
    auto a = make_eq();
    a->settings("on_off 0 low_cutoff 255.381 low_gain 1.31018 peak_cutoff 643.558 peak_gain 1.05582 peak_Q 5 "
                "high_cutoff 1716.57 high_gain 1.05582 amplitude 1.5");
    const std::string text = a->state_text();
    EXPECT_NE(text.find(" peak_Q 5\n"), std::string::npos) << text;
    auto b = make_eq();
    KelTextReader reader(text);
    module_read_state(b->dut, reader);
    EXPECT_EQ(b->state_text(), text);
}

TEST(Eq3Band, FiniteAndSilentAfterTheSignalAtEveryRateAndBlockSize) {
    for (float rate : kRates)
        for (int block : kBlocks) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, block " << block);
            auto rig = make_eq(rate);
            rig->settings("low_gain 31 peak_gain 31 peak_Q 8 high_gain 31 high_cutoff 8000");
            int clock = 0;
            std::vector<float> y = render_music(*rig, 4096, block, clock, rate);
            EXPECT_TRUE(all_finite(y));
            EXPECT_GT(rms(y, 2048, 2048), 0.1);
            std::vector<float> tail = rig->render(static_cast<int>(rate), block, [&](int, int n) {
                std::fill(rig->in(1), rig->in(1) + n, 0.0f);
            })[0];
            EXPECT_TRUE(all_finite(tail));
            EXPECT_LT(max_abs(tail, tail.size() - 1024, 1024), 1e-6f);
        }
}

TEST(Eq3Band, RenderingAllocatesNothing) {
    auto rig = make_eq();
    for (int i = 0; i < 1024; ++i)
        rig->in(1)[i] = music(i, 44100);
    t_message msg = make_int_message(0, 5, 100); // a knob move starts the glides
    mellora::test::AllocationCounter counter;
    for (int k = 0; k < 4; ++k)
        rig->run(1024);
    module_dispatch_message(rig->dut, &msg);
    for (int k = 0; k < 4; ++k)
        rig->run(1024);
    EXPECT_EQ(counter.count(), 0u);
}

#include "modules/auto_wah.h"

#include <gtest/gtest.h>

#include <complex>
#include <memory>

#include "engine/modular.h"
#include "modules/denormal_noise.h"
#include "modules/parameter.h"
#include "tests/modules/effect_rig.h"
#include "tests/support/alloc_counter.h"

using namespace effect_test;

namespace {

t_module* make_auto_wah(float rate) {
    return auto_wah_create(std::to_string(static_cast<int>(rate)) + " 512 Auto_Wah_Left_A");
}

struct AutoWah {
    float rate;
    std::unique_ptr<Rig> rig;
    Noise noise;
    std::vector<float> input;
    AutoWah(float rate, const std::string& settings, t_module* m = nullptr) : rate(rate) {
        denormal_noise::fill(1);
        rig = std::make_unique<Rig>(m ? m : make_auto_wah(rate));
        rig->settings(settings);
    }
    std::vector<float> render(int frames, std::function<float(int)> signal = {}) {
        return rig->render(frames, 512, [&](int, int n) {
            for (int i = 0; i < n; ++i) {
                const float x = signal ? signal(static_cast<int>(input.size())) : noise.next();
                rig->in(1)[i] = x;
                input.push_back(x);
            }
        })[0];
    }
};

double pedal_peak_hz(double hz, double rate) {
    const double k = (hz - 430) / 1770, q = std::max(15 - 12 * k, 0.1), theta = 2 * M_PI * hz / rate,
                 u = theta / q;
    double best = 0, best_w = 0;
    for (double w = theta * 0.8; w < theta * 1.2; w += theta * 1e-4) {
        const std::complex<double> z1 = std::polar(1.0, -w);
        const double g = std::abs(2 * u * (1.0 - z1) / ((u + theta * theta + 1) - (u + 2) * z1 + z1 * z1));
        if (g > best) best = g, best_w = w;
    }
    return best_w * rate / (2 * M_PI);
}

} // namespace

TEST(AutoWah, EnvelopePutsTheCentre) {
    // Uniform noise of amplitude A has a mean rectified level of A/2; the ten stages
    // smooth it to that constant envelope e, and the filter moves by e * depth.
    struct Case {
        float rate;
        int selector;
        float amplitude, depth, cutoff;
        double expected_hz;
    };
    const Case cases[] = {
        {44100, 2, 0.5f, 0, 500, 500},  // no depth: at the cutoff
        {44100, 2, 0.5f, 4, 500, 1000}, // e = 0.25, +1 octave
        {96000, 2, 0.25f, 8, 400, 800}, // e = 0.125: depth 8 is +1 octave
        {48000, 0, 0.5f, 2, 700, 700 * std::exp2(0.5)},
        {44100, 5, 0.5f, 2, 600, 0}, // pedal, linear: 600 + 0.5 * 0.5 * 1770 Hz
        {44100, 6, 0.5f, 4, 600, 0}, // pedal, octaves: 1200 Hz
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "rate " << c.rate << " selector " << c.selector << " depth " << c.depth);
        AutoWah w(c.rate, "resonance 5 env_follow_freq 10 filter_selector " + std::to_string(c.selector) +
                              " depth " + std::to_string(c.depth) + " cutoff " + std::to_string(c.cutoff));
        w.noise.amplitude = c.amplitude;
        const int settle = static_cast<int>(c.rate * 0.6);
        std::vector<float> out = w.render(settle + 32768);
        double expected = c.expected_hz;
        if (c.selector == 5) expected = pedal_peak_hz(c.cutoff + 0.25 * c.depth * 885, c.rate);
        if (c.selector == 6) expected = pedal_peak_hz(c.cutoff * std::exp2(0.25 * c.depth), c.rate);
        const double hz = extreme_hz(w.input, out, static_cast<std::size_t>(settle), 32768, c.rate,
                                     expected / 1.5, expected * 1.5, true);
        EXPECT_NEAR(hz, expected, expected * 0.03);
    }
}

TEST(AutoWah, HugeSweepStopsAtTheAngleLimit) {
    // Cutoff 2200 Hz, depth 10 and an envelope of 1 on the low-pass ask for 2200 * 2^10 Hz:
    // the corner stops at 0.45 of the rate, so the filter stays a resonant low-pass there.
    const float rate = 44100;
    AutoWah w(rate, "filter_selector 1 cutoff 2200 depth 10 resonance 5 env_follow_freq 40");
    const double probe = 5000;
    std::vector<float> out = w.render(static_cast<int>(rate), [&](int n) {
        return 1.0f + 0.01f * static_cast<float>(std::sin(2 * M_PI * probe * n / rate));
    });
    ASSERT_TRUE(bounded(out, 10));
    const std::size_t from = static_cast<std::size_t>(rate * 0.5), count = 22050;
    double dc = 0;
    for (std::size_t i = from; i < from + count; ++i)
        dc += out[i];
    EXPECT_NEAR(dc / count, 1.0, 1e-3);
    // The low-pass at theta = 2.8274333, Q 5, seen at 5 kHz.
    const double theta = 2.8274333, alpha = std::sin(theta) / 10, k = std::cos(theta);
    const std::complex<double> z1 = std::polar(1.0, -2 * M_PI * probe / rate);
    const double model = std::abs((1 - k) / 2 * (1.0 + 2.0 * z1 + z1 * z1) /
                                  ((1 + alpha) - 2 * k * z1 + (1 - alpha) * z1 * z1));
    EXPECT_NEAR(voice_fx_test::amplitude_at(out, from, count, probe, rate), 0.01 * model,
                0.01 * model * 0.02);
}

TEST(AutoWah, SquaredDetectionKeepsTheVoicedBandPassInThePedalsTravel) {
    const float rate = 44100;
    t_module* m = auto_wah_create_with("44100 512 Auto_Wah_Left_A", 215, 2200, 976, 1);
    ASSERT_NE(m, nullptr);
    AutoWah w(rate, "filter_selector 0 cutoff 2200 depth 10", m);
    std::vector<float> out = w.render(static_cast<int>(rate * 0.6) + 32768);
    const double hz =
        extreme_hz(w.input, out, static_cast<std::size_t>(rate * 0.6), 32768, rate, 1000, 6000, true);
    EXPECT_NEAR(hz, 2200, 2200 * 0.02);
    EXPECT_EQ(auto_wah_create_with("44100 512 x", 2200, 215, 976, 0), nullptr);
}

TEST(AutoWah, SwitchingOffFadesThenPassesTheInput) {
    const float rate = 48000;
    AutoWah w(rate, "filter_selector 2");
    w.render(8192);
    w.input.clear();
    w.rig->send(0xffff, 0);
    std::vector<float> out = w.render(static_cast<int>(rate * 0.1));
    const std::size_t fade = static_cast<std::size_t>(rate * 0.05);
    EXPECT_NE(out[fade - 10], w.input[fade - 10]);
    for (std::size_t i = fade; i < out.size(); ++i)
        ASSERT_EQ(out[i], w.input[i]) << i;
}

TEST(AutoWah, PresetTextLoadsItsSettings) {
    int count = 0;
    const char* const* texts = auto_wah_preset_texts(&count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(std::string(texts[0]).rfind("auto_wah AutoWah version 1\n{\n", 0), 0u);
    AutoWah w(44100, "");
    KelTextReader reader(texts[0]);
    ASSERT_TRUE(module_read_state(w.rig->dut, reader));
    for (auto [name, value] : {std::pair{"cutoff", 400.0f},
                               {"resonance", 4.21163f},
                               {"depth", 4.0f},
                               {"env_follow_freq", 20.0f},
                               {"filter_selector", 0.0f},
                               {"on_off", 1.0f}})
        EXPECT_FLOAT_EQ(module_find_parameter(w.rig->dut, name)->param->value(), value) << name;
}

TEST(AutoWah, StableAtEveryRateWithSettingsAtTheirEnds) {
    SweepCase sweep;
    sweep.make = make_auto_wah;
    sweep.limit = 200;
    for (int selector = 0; selector <= 6; ++selector)
        for (const char* ends : {"cutoff 215 resonance 0.1 depth 0 env_follow_freq 4",
                                 "cutoff 2200 resonance 120 depth 10 env_follow_freq 40"})
            sweep.settings.push_back(std::string(ends) + " filter_selector " + std::to_string(selector));
    stability_sweep(sweep);
}

TEST(AutoWah, RenderingAllocatesNothing) {
    AutoWah w(44100, "filter_selector 6");
    w.render(1024);
    mellora::test::AllocationCounter counter;
    for (int k = 0; k < 20; ++k)
        w.rig->run(1024);
    EXPECT_EQ(counter.count(), 0u);
}

TEST(AutoWah, NonFiniteInputDoesNotLeaveTheModule) {
    for (int selector : {0, 6})
        expect_recovers_from_non_finite(make_auto_wah(44100), 1, 1,
                                        "filter_selector " + std::to_string(selector));
}

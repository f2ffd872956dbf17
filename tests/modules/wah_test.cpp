#include "modules/wah.h"

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

// Where the pedal section of a centre `hz` peaks: a little below its design angle,
// since its zero at DC pulls the resonance down (heel Q 15, toe Q 3).
double pedal_peak_hz(double hz, double rate) {
    const double k = (hz - 430) / 1770, q = 15 - 12 * k, theta = 2 * M_PI * hz / rate, u = theta / q;
    double best = 0, best_w = 0;
    for (double w = theta * 0.8; w < theta * 1.2; w += theta * 1e-4) {
        const std::complex<double> z1 = std::polar(1.0, -w);
        const double g = std::abs(2 * u * (1.0 - z1) / ((u + theta * theta + 1) - (u + 2) * z1 + z1 * z1));
        if (g > best) best = g, best_w = w;
    }
    return best_w * rate / (2 * M_PI);
}

t_module* make_wah(float rate) {
    return wah_create(std::to_string(static_cast<int>(rate)) + " 512 Wah_Wah_Left_A");
}

struct Wah {
    float rate;
    std::unique_ptr<Rig> rig;
    Noise noise;
    std::vector<float> input;
    explicit Wah(float rate, const std::string& settings = "") : rate(rate) {
        denormal_noise::fill(1);
        rig = std::make_unique<Rig>(make_wah(rate));
        rig->settings(settings);
    }
    // Renders noise (or `signal` when given) and keeps the input for the measurements.
    std::vector<float> render(int frames, int block = 512, std::function<float(int)> signal = {}) {
        return rig->render(frames, block, [&](int, int n) {
            std::fill(rig->in(1), rig->in(1) + n, 0.0f);
            std::fill(rig->in(2), rig->in(2) + n, 0.0f);
            for (int i = 0; i < n; ++i) {
                const float x = signal ? signal(static_cast<int>(input.size())) : noise.next();
                rig->in(3)[i] = x;
                input.push_back(x);
            }
        })[0];
    }
    float value(const char* name) { return module_find_parameter(rig->dut, name)->param->value(); }
};

} // namespace

TEST(Wah, CentreSitsAtTheCutoffForEveryBandDesign) {
    // Depth 0: the filter rests at the cutoff. Selector 0 is the voiced band-pass (Q 5
    // and gain 1 at 976 Hz, so a peak of 5), 2 the plain band-pass (peak = resonance),
    // 5 the pedal.
    struct Case {
        float rate;
        int selector;
        float cutoff;
        double peak_gain; // 0: not checked
    };
    const Case cases[] = {
        {44100, 0, 976, 5.0},   {96000, 0, 976, 5.0}, {44100, 0, 2000, 0}, {44100, 2, 600, 4.0},
        {192000, 2, 1500, 4.0}, {44100, 5, 430, 0},   {48000, 5, 1200, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "rate " << c.rate << " selector " << c.selector << " cutoff " << c.cutoff);
        Wah w(c.rate, "depth 0 resonance 4 filter_selector " + std::to_string(c.selector) + " cutoff " +
                          std::to_string(c.cutoff));
        // The cutoff glides over 10 designs of 401 samples: measure after 5000 samples.
        std::vector<float> out = w.render(5000 + 32768);
        double gain = 0;
        const double hz =
            extreme_hz(w.input, out, 5000, 32768, c.rate, c.cutoff / 1.5, c.cutoff * 1.5, true, &gain);
        const double expected = c.selector == 5 ? pedal_peak_hz(c.cutoff, c.rate) : c.cutoff;
        EXPECT_NEAR(hz, expected, expected * 0.02); // a tenth of the band-pass width at Q 5
        if (c.peak_gain > 0) {
            EXPECT_NEAR(gain, c.peak_gain, c.peak_gain * 0.05);
        }
    }
}

TEST(Wah, LfoSweepsTheCentreByDepthOctaves) {
    // 5 cycles per minute: a cycle of 12 s. The sine is +1 at a quarter cycle and -1 at
    // three quarters; a window of 0.37 s around either sees a nearly still filter.
    for (int selector : {0, 2}) {
        SCOPED_TRACE(selector);
        const float rate = 44100;
        Wah w(rate, "speed 5 depth 1 cutoff 800 resonance 6 filter_selector " + std::to_string(selector));
        std::vector<float> out = w.render(static_cast<int>(rate * 9.2));
        const std::size_t window = 16384;
        for (double quarter : {1.0, 3.0}) {
            const std::size_t mid = static_cast<std::size_t>(quarter * 3.0 * rate);
            const double expected = quarter == 1.0 ? 1600 : 400;
            const double hz = extreme_hz(w.input, out, mid - window / 2, window, rate, expected / 1.6,
                                         expected * 1.6, true);
            EXPECT_NEAR(hz, expected, expected * 0.03) << "quarter " << quarter;
        }
    }
}

TEST(Wah, PedalStaysWithinItsTravel) {
    // Selector 5 moves the pedal linearly; at full depth the sweep would leave 430..2200 Hz.
    const float rate = 44100;
    Wah w(rate, "speed 5 depth 1.17 cutoff 2200 filter_selector 5");
    std::vector<float> out = w.render(static_cast<int>(rate * 3.3));
    const std::size_t mid = static_cast<std::size_t>(3.0 * rate), window = 16384;
    const double expected = pedal_peak_hz(2200, rate);
    EXPECT_NEAR(extreme_hz(w.input, out, mid - window / 2, window, rate, 1000, 5000, true), expected,
                expected * 0.02);
}

TEST(Wah, ChangingTheSelectorClearsTheFilterAtTheNextSample) {
    Wah w(44100, "depth 0 filter_selector 2 resonance 60");
    w.render(4096);
    // Silence from here: a resonance of 60 would ring for thousands of samples.
    w.rig->send(6, 1); // filter_selector 1 by event
    std::vector<float> out = w.render(64, 64, [](int) { return 0.0f; });
    EXPECT_LT(voice_fx_test::max_abs(out, 0, out.size()), 1e-15f);

    // Without a change the tail rings on.
    Wah ringing(44100, "depth 0 filter_selector 2 resonance 60");
    ringing.render(4096);
    out = ringing.render(64, 64, [](int) { return 0.0f; });
    EXPECT_GT(voice_fx_test::max_abs(out, 0, out.size()), 1e-3f);
}

TEST(Wah, SwitchingOffFadesOverFiftyMillisecondsThenPassesTheInput) {
    for (float rate : {44100.0f, 96000.0f}) {
        SCOPED_TRACE(rate);
        Wah w(rate, "depth 0 filter_selector 2");
        w.render(8192);
        w.input.clear();
        w.rig->send(0xffff, 0);
        std::vector<float> out = w.render(static_cast<int>(rate * 0.1), 100);
        const int fade = static_cast<int>(rate * 0.05);
        EXPECT_NE(out[static_cast<std::size_t>(fade / 2)], w.input[static_cast<std::size_t>(fade / 2)]);
        for (std::size_t i = static_cast<std::size_t>(fade); i < out.size(); ++i)
            ASSERT_EQ(out[i], w.input[i]) << i;

        // On again: the wet path fades in from a cleared filter, starting from the dry input.
        w.input.clear();
        w.rig->send(0xffff, 1);
        out = w.render(fade + 100, 100);
        EXPECT_NEAR(out[0], w.input[0], 1e-6);
        double diff = 0;
        for (std::size_t i = static_cast<std::size_t>(fade); i < out.size(); ++i)
            diff += std::fabs(out[i] - w.input[i]);
        EXPECT_GT(diff, 1.0);
    }
}

TEST(Wah, PresetTextsLoadTheirSettings) {
    int count = 0;
    const char* const* texts = wah_preset_texts(&count);
    ASSERT_EQ(count, 2);
    for (int k = 0; k < count; ++k)
        EXPECT_EQ(std::string(texts[k]).rfind("wah WahWah version 1\n{\n", 0), 0u);
    Wah w(44100);
    KelTextReader reader(texts[1]);
    ASSERT_TRUE(module_read_state(w.rig->dut, reader));
    EXPECT_FLOAT_EQ(w.value("cutoff"), 600);
    EXPECT_FLOAT_EQ(w.value("resonance"), 0.5f);
    EXPECT_FLOAT_EQ(w.value("depth"), 0.6f);
    EXPECT_FLOAT_EQ(w.value("speed"), 60);
    EXPECT_EQ(w.value("filter_selector"), 4);
    // The written text reads back to the same settings.
    const std::string written = w.rig->state_text();
    Wah copy(44100);
    KelTextReader again(written);
    ASSERT_TRUE(module_read_state(copy.rig->dut, again));
    EXPECT_EQ(copy.rig->state_text(), written);
}

TEST(Wah, StableAtEveryRateWithSettingsAtTheirEnds) {
    SweepCase sweep;
    sweep.make = make_wah;
    sweep.audio_input = 3;
    sweep.limit = 200;
    for (int selector = 0; selector <= 5; ++selector)
        for (const char* ends :
             {"cutoff 430 resonance 0.1 depth 0 speed 5", "cutoff 2200 resonance 120 depth 1.17 speed 500"})
            sweep.settings.push_back(std::string(ends) + " filter_selector " + std::to_string(selector));
    stability_sweep(sweep);
}

TEST(Wah, RenderingAllocatesNothing) {
    Wah w(48000, "sync_index 14");
    w.render(1024);
    std::vector<float> in(1024, 0.5f);
    std::copy(in.begin(), in.end(), w.rig->in(3));
    mellora::test::AllocationCounter counter;
    for (int k = 0; k < 20; ++k)
        w.rig->run(1024);
    w.rig->send(0xffff, 0);
    for (int k = 0; k < 5; ++k)
        w.rig->run(1024);
    EXPECT_EQ(counter.count(), 0u);
}

TEST(Wah, RateChangeKeepsTheCentreInHertz) {
    Wah w(44100, "depth 0 resonance 4 filter_selector 2 cutoff 1000");
    w.rig->dut->set_sample_rate(w.rig->dut, 96000);
    w.rate = 96000;
    std::vector<float> out = w.render(5000 + 32768);
    // Left at the old rate the centre would sit at 2177 Hz.
    EXPECT_NEAR(extreme_hz(w.input, out, 5000, 32768, 96000, 600, 1600, true), 1000, 30);
}

TEST(Wah, NonFiniteInputDoesNotLeaveTheModule) {
    expect_recovers_from_non_finite(make_wah(44100), 3, 3, "filter_selector 2 resonance 30");
}

#include "modules/phaser.h"

#include <gtest/gtest.h>

#include <complex>
#include <memory>
#include <set>

#include "engine/modular.h"
#include "modules/denormal_noise.h"
#include "modules/parameter.h"
#include "tests/modules/effect_rig.h"
#include "tests/support/alloc_counter.h"

using namespace effect_test;

namespace {

t_module* make_phaser(float rate) {
    return phaser_create(std::to_string(static_cast<int>(rate)) + " 512 550. 0.5 0. 0. Phaser_Left_A");
}

// The phaser as a fixed filter: four allpass sections of coefficient a in a loop with
// gain fb and one sample of delay, mixed with the dry signal at wet share d.
std::complex<double> model(double w, double a, double fb, double d) {
    const std::complex<double> z1 = std::polar(1.0, -w);
    const std::complex<double> section = (a + z1) / (1.0 + a * z1);
    const std::complex<double> chain = std::pow(section, 4);
    return (1 - d) + d * chain / (1.0 - fb * z1 * chain);
}

double coefficient(double rate, double hz, double t) {
    const double tu = t * rate / (8 * hz);
    return (1 - tu) / (1 + tu);
}

// The first notch of the model: where the four sections turn the phase by 180 degrees.
double model_first_notch(double rate, double a, double fb, double d) {
    double best = 1e9, best_hz = 0;
    for (double hz = 20; hz < rate * 0.3; hz *= 1.0005) {
        const double g = std::abs(model(2 * M_PI * hz / rate, a, fb, d));
        if (g < best) best = g, best_hz = hz;
        if (g > best * 4 && best < 0.1) break; // past the first notch
    }
    return best_hz;
}

struct Phaser {
    float rate;
    std::unique_ptr<Rig> rig;
    Noise noise;
    std::vector<float> input;
    float external = 0; // the value on input 4
    Phaser(const std::string& settings, float rate = 44100, int driven = -1) : rate(rate) {
        denormal_noise::fill(1);
        rig = std::make_unique<Rig>(make_phaser(rate), driven);
        rig->settings(settings);
    }
    std::vector<float> render(int frames, int block = 512) {
        return rig->render(frames, block, [&](int, int n) {
            std::fill(rig->in(1), rig->in(1) + n, 0.0f);
            std::fill(rig->in(2), rig->in(2) + n, 0.0f);
            if (rig->dut->input_count > 3 && rig->source->output_count >= 4)
                std::fill(rig->in(4), rig->in(4) + n, external);
            for (int i = 0; i < n; ++i) {
                rig->in(3)[i] = noise.next();
                input.push_back(rig->in(3)[i]);
            }
        })[0];
    }
    double notch(const std::vector<float>& out, std::size_t from, std::size_t count, double lo, double hi) {
        return extreme_hz(input, out, from, count, rate, lo, hi, false);
    }
};

struct ToldRecorder : ModuleObserver {
    std::multiset<int> ids;
    void told(t_module*, int id) override { ids.insert(id); }
};

} // namespace

TEST(Phaser, ResponseMatchesTheAllpassLoop) {
    // Modulation 0: the coefficient stays (1 - u)/(1 + u) however fast the LFO runs.
    struct Case {
        float rate, frequency, feedback, depth;
    };
    const Case cases[] = {{44100, 550, 0, 0.5f},           {44100, 550, 0.7f, 0.5f}, {96000, 200, 0.5f, 0.8f},
                          {48000, 1500, 0.9921875f, 0.5f}, {44100, 550, 0, 1},       {44100, 550, 0.5f, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "rate " << c.rate << " frequency " << c.frequency << " feedback "
                                        << c.feedback << " depth " << c.depth);
        Phaser p("external_lfo 0 speed 360 modulation 0 frequency " + std::to_string(c.frequency) +
                     " feedback " + std::to_string(c.feedback) + " depth " + std::to_string(c.depth),
                 c.rate);
        std::vector<float> out = p.render(8192 + 65536);
        const double a = coefficient(c.rate, c.frequency, 1);
        for (double hz : {100.0, 300.0, 700.0, 1500.0, 4000.0, 10000.0}) {
            const double expected = std::abs(model(2 * M_PI * hz / c.rate, a, c.feedback, c.depth));
            const double measured = transfer_gain(p.input, out, 8192, 65536, hz, c.rate);
            EXPECT_NEAR(measured, expected, 0.03 * std::max(expected, 0.3)) << hz << " Hz";
        }
    }
}

TEST(Phaser, DepthZeroIsTheDryInput) {
    Phaser p("depth 0 feedback 0.9 modulation 3 external_lfo 0");
    std::vector<float> out = p.render(4096);
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], p.input[i]) << i;
}

TEST(Phaser, ExternalModulationMovesTheNotchByOctaves) {
    // t = 2^(-modulation e): e = +1 with modulation 1 halves t u, which raises the notch
    // by about an octave; the inverter mirrors e and lowers it instead.
    const float rate = 44100;
    struct Case {
        float e;
        int inverter;
        double t;
    };
    for (const Case& c : {Case{0, 0, 1}, Case{1, 0, 0.5}, Case{1, 1, 2}, Case{-0.5f, 0, std::sqrt(2.0)}}) {
        SCOPED_TRACE(testing::Message() << "e " << c.e << " inverter " << c.inverter);
        Phaser p("external_lfo 1 modulation 1 feedback 0 depth 0.5 frequency 550 inverter " +
                     std::to_string(c.inverter),
                 rate);
        p.external = c.e;
        std::vector<float> out = p.render(8192 + 32768);
        const double expected = model_first_notch(rate, coefficient(rate, 550, c.t), 0, 0.5);
        EXPECT_NEAR(p.notch(out, 8192, 32768, expected / 1.5, expected * 1.5), expected, expected * 0.03);
    }
    // The notch with e = 1 is close to twice the one with e = 0.
    EXPECT_NEAR(model_first_notch(rate, coefficient(rate, 550, 0.5), 0, 0.5) /
                    model_first_notch(rate, coefficient(rate, 550, 1), 0, 0.5),
                2.0, 0.1);
}

TEST(Phaser, ExternalModulationWithNothingConnectedHoldsStill) {
    Phaser p("external_lfo 1 modulation 4 feedback 0 depth 0.5 frequency 550", 44100, 3);
    std::vector<float> out = p.render(8192 + 32768);
    const double expected = model_first_notch(44100, coefficient(44100, 550, 1), 0, 0.5);
    EXPECT_NEAR(p.notch(out, 8192, 32768, expected / 1.5, expected * 1.5), expected, expected * 0.03);
}

TEST(Phaser, InternalLfoSweepsTheNotch) {
    // 9 cycles per minute: 6.67 s a cycle; the triangle is 0 at a quarter cycle and +1
    // at half a cycle, where the notch sits `modulation` octaves higher.
    const float rate = 44100;
    Phaser p("external_lfo 0 speed 9 modulation 1.5 feedback 0 depth 0.5 frequency 300", rate);
    std::vector<float> out = p.render(static_cast<int>(rate * 3.5));
    const std::size_t window = 8192;
    const double cycle = rate * 60 / 9;
    const double still = model_first_notch(rate, coefficient(rate, 300, 1), 0, 0.5);
    const double top = model_first_notch(rate, coefficient(rate, 300, std::exp2(-1.5)), 0, 0.5);
    const std::size_t quarter = static_cast<std::size_t>(cycle / 4),
                      half = static_cast<std::size_t>(cycle / 2);
    EXPECT_NEAR(p.notch(out, quarter - window / 2, window, still / 2, still * 2), still, still * 0.05);
    EXPECT_NEAR(p.notch(out, half - window / 2, window, top / 2, top * 2), top, top * 0.05);
}

TEST(Phaser, SwitchingOffFadesOverAHundredMillisecondsThenPassesTheInput) {
    const float rate = 48000;
    Phaser p("external_lfo 0 modulation 2 depth 0.5 feedback 0.5", rate);
    p.render(4096);
    p.input.clear();
    p.rig->send(0xffff, 0);
    std::vector<float> out = p.render(static_cast<int>(rate * 0.2), 300);
    const std::size_t fade = static_cast<std::size_t>(rate * 0.1);
    EXPECT_NE(out[fade - 10], p.input[fade - 10]);
    for (std::size_t i = fade; i < out.size(); ++i)
        ASSERT_EQ(out[i], p.input[i]) << i;
}

TEST(Phaser, QueriesAnswerTheFrequencyInHertz) {
    Phaser p("frequency 123.7");
    ToldRecorder observer;
    p.rig->dut->observer = &observer;
    EXPECT_EQ(p.rig->query(5), 123);
    EXPECT_TRUE(observer.ids.empty());
    EXPECT_GE(p.rig->query(1), 0); // the controller position, and the owner hears of setting 5
    EXPECT_EQ(observer.ids, std::multiset<int>{5});
    p.rig->dut->observer = nullptr;
    // The descriptor's defaults are the settings until text changes them.
    t_module* m = phaser_create("44100 512 550. 0.5 0. 0. Phaser_Left_A");
    ASSERT_NE(m, nullptr);
    EXPECT_FLOAT_EQ(module_find_parameter(m, "frequency")->param->value(), 550);
    EXPECT_FLOAT_EQ(module_find_parameter(m, "feedback")->param->value(), 0.5f);
    module_free(m);
    EXPECT_EQ(phaser_create("44100 512 550. 0.5 x Phaser_Left_A"), nullptr);
    EXPECT_EQ(phaser_create_type(3, "44100 512 550. 0.5 0. 0. Phaser_Left_A"), nullptr);
}

TEST(Phaser, PresetTextLoadsItsSettings) {
    int count = 0;
    const char* const* texts = phaser_preset_texts(&count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(std::string(texts[0]).rfind("phaser Phaser version 2\n{\n", 0), 0u);
    Phaser p("");
    KelTextReader reader(texts[0]);
    ASSERT_TRUE(module_read_state(p.rig->dut, reader));
    for (auto [name, value] : {std::pair{"frequency", 120.0f},
                               {"feedback", 0.5f},
                               {"modulation", 2.0f},
                               {"inverter", 1.0f},
                               {"depth", 0.503937f},
                               {"speed", 43.0f},
                               {"external_lfo", 0.0f}})
        EXPECT_FLOAT_EQ(module_find_parameter(p.rig->dut, name)->param->value(), value) << name;
    EXPECT_NE(p.rig->state_text().find("phaser Phaser_Left_A version 2"), std::string::npos);
}

TEST(Phaser, StableAtEveryRateWithSettingsAtTheirEnds) {
    SweepCase sweep;
    sweep.make = make_phaser;
    sweep.audio_input = 3;
    sweep.limit = 400; // feedback 127/128 rings up to about 128 times
    sweep.tail_seconds = 1.5;
    // A high feedback at a low frequency rings for tens of seconds (each loop is the
    // sections' group delay long and keeps 127/128): bounded, but not silent here.
    sweep.settings = {"external_lfo 0 frequency 32 modulation 0 feedback 0 depth 0 speed 9",
                      "external_lfo 0 frequency 4096 modulation 4 feedback 0 depth 1 speed 360 inverter 1",
                      "external_lfo 0 frequency 32 modulation 4 feedback 0.5 depth 1 speed 360",
                      "external_lfo 0 frequency 4096 modulation 0 feedback 0.9921875 depth 1 speed 9"};
    stability_sweep(sweep);
    SweepCase ringing = sweep;
    ringing.settings = {"external_lfo 0 frequency 32 modulation 4 feedback 0.9921875 depth 1 speed 360"};
    ringing.check_silence = false;
    stability_sweep(ringing);
}

TEST(Phaser, RenderingAllocatesNothing) {
    Phaser p("external_lfo 0 sync_index 14 modulation 2 depth 0.5");
    p.render(1024);
    mellora::test::AllocationCounter counter;
    for (int k = 0; k < 20; ++k)
        p.rig->run(1024);
    p.rig->send(0xffff, 0);
    for (int k = 0; k < 5; ++k)
        p.rig->run(1024);
    EXPECT_EQ(counter.count(), 0u);
}

TEST(Phaser, RateChangeGlidesTheSweepBaseToTheNewRate) {
    Phaser p("external_lfo 0 modulation 0 feedback 0 depth 0.5 frequency 550", 44100);
    p.rig->dut->set_sample_rate(p.rig->dut, 96000);
    p.rate = 96000;
    std::vector<float> out = p.render(8192 + 32768); // the base glides over 1000 samples
    const double expected = model_first_notch(96000, coefficient(96000, 550, 1), 0, 0.5);
    EXPECT_NEAR(p.notch(out, 8192, 32768, expected / 1.5, expected * 1.5), expected, expected * 0.03);
}

TEST(Phaser, NonFiniteInputDoesNotLeaveTheModule) {
    expect_recovers_from_non_finite(make_phaser(44100), 3, 3,
                                    "external_lfo 0 modulation 2 depth 0.5 feedback 0.9");
    // The external modulation too: 2^(-NaN) must not reach the coefficient for good.
    expect_recovers_from_non_finite(make_phaser(44100), 3, 4, "external_lfo 1 modulation 2 depth 0.5");
}

#include "modules/distortion.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "engine/modular.h"
#include "modules/denormal_noise.h"
#include "modules/parameter.h"
#include "tests/modules/effect_rig.h"
#include "tests/support/alloc_counter.h"

using namespace effect_test;

namespace {

t_module* make_distortion(float rate) {
    return distortion_create(std::to_string(static_cast<int>(rate)) + " 1024 Distortion_Left_A");
}

struct Distortion {
    float rate;
    std::unique_ptr<Rig> rig;
    explicit Distortion(const std::string& settings = "", float rate = 44100) : rate(rate) {
        denormal_noise::fill(1);
        rig = std::make_unique<Rig>(make_distortion(rate));
        rig->settings(settings);
    }
    std::vector<float> render(int frames, const std::function<float(int)>& signal, int block = 512) {
        int n0 = 0;
        return rig->render(frames, block, [&](int, int n) {
            for (int i = 0; i < n; ++i)
                rig->in(1)[i] = signal(n0 + i);
            n0 += n;
        })[0];
    }
    // The settled output for a constant input.
    double dc_out(float x) {
        std::vector<float> out = render(8192, [&](int) { return x; });
        double s = 0;
        for (std::size_t i = 4096; i < out.size(); ++i)
            s += out[i];
        return s / 4096;
    }
    double gain_at(double hz, float amplitude = 0.001f) {
        std::vector<float> out = render(static_cast<int>(rate), [&](int n) {
            return amplitude * static_cast<float>(std::sin(2 * M_PI * hz * n / rate));
        });
        const std::size_t from = static_cast<std::size_t>(rate / 2);
        return voice_fx_test::amplitude_at(out, from, out.size() - from, hz, rate) / amplitude;
    }
    float value(const char* name) { return module_find_parameter(rig->dut, name)->param->value(); }
};

// The pre-equaliser's gain at DC is its low shelf's.
constexpr float kLowShelfGain[7] = {0.168577f, 0.523522f, 0.1982f, 0.1982f, 1.24136f, 0.220787f, 1};

struct ToldRecorder : ModuleObserver {
    std::multiset<int> told_ids;
    void told(t_module*, int id) override { told_ids.insert(id); }
};

} // namespace

TEST(Distortion, CurvesOfEveryType) {
    struct Case {
        int type;
        float v, expected;
    };
    const Case cases[] = {
        // Straight between the thresholds, meeting them exactly.
        {0, 0.35f, 0.35f},
        {0, -0.5f, -0.5f},
        {0, 0.1f, 0.1f},
        {1, 0.8f, 0.8f},
        {1, -0.4f, -0.4f},
        {2, -0.8f, -0.8f},
        {3, 0.15f, 0.15f},
        {3, -0.15f, -0.15f},
        {4, -0.9f, -0.9f},
        {5, -0.01f, -0.01f},
        // Far out: towards each type's limits (types 1, 2 and 5 lopsided).
        {0, 10, 0.9674f},
        {0, 1000, 0.97f},
        {0, -1000, -1},
        {6, 10, 0.9674f},
        {1, 1000, 1},
        {1, -1000, -0.85f},
        {2, 1000, 0.96f},
        {2, -1000, -1.03f},
        {3, 1000, 1},
        {3, -1000, -1},
        {4, 1000, 1},
        {4, -1000, -1},
        {5, 1000, 1},
        {5, -1000, -0.2f},
        // In between: type 3's lower side uses a square, its upper side a cube.
        {3, -1.85f, -1 + 0.85f / 4},
        {3, 1.85f, 1 - 0.85f / 8},
        {2, -1.03f, -1.03f + 0.23f / 2},
        {4, -1.0f, -1 + 0.1f / 2},
        // Outside the table: untouched.
        {7, 50, 50},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(distortion_shape(c.type, c.v), c.expected, 2e-4) << "type " << c.type << " v " << c.v;
}

TEST(Distortion, CurvesAreContinuousAtTheirThresholds) {
    // Where a curve leaves the straight line it starts from the line's value (its slope
    // may change there: types 2 and 4 bend to 0.6, type 3 steepens to 1.5).
    const std::pair<int, float> thresholds[] = {{0, 0.35f}, {0, -0.5f}, {1, 0.8f},  {1, -0.4f},
                                                {2, 0.8f},  {2, -0.8f}, {3, 0.15f}, {3, -0.15f},
                                                {4, 0.55f}, {4, -0.9f}, {5, 0.4f},  {5, -0.01f}};
    for (auto [type, t] : thresholds) {
        const float outside = t + (t > 0 ? 1e-4f : -1e-4f);
        EXPECT_NEAR(distortion_shape(type, outside), t, 2.5e-4) << "type " << type << " at " << t;
    }
}

TEST(Distortion, TransferCurveThroughTheModuleAtDc) {
    // Type 6 with unity settings gives the chain's small-signal gain; every other type
    // scales it by its pre-equaliser (its low shelf at DC) times drive, and far into the
    // curve the output sits at the curve's limit times the decimator's DC gain
    // (1.1034 x 0.9485).
    Distortion unity("distortion_type 6");
    const double chain = unity.dc_out(0.01f) / 0.01;
    EXPECT_NEAR(chain, 1.0, 0.1);
    const double decimator = 1.10344 * 0.94845;
    for (int type = 0; type <= 6; ++type) {
        SCOPED_TRACE(type);
        Distortion d("distortion_type " + std::to_string(type) + " drive 1 tone 1 level 1");
        const float g = kLowShelfGain[type];
        const float small = 0.005f / g; // the curve sees about 0.005
        EXPECT_NEAR(d.dc_out(small), small * g * chain, 0.005 * 0.01);
        EXPECT_NEAR(d.dc_out(-small), -small * g * chain, 0.005 * 0.01);
        Distortion hot("distortion_type " + std::to_string(type) + " drive 400 tone 1 level 1");
        // The curve sees about +-80: each side flat at its limit.
        const float x = 0.2f / g;
        EXPECT_NEAR(hot.dc_out(x), distortion_shape(type, 80) * decimator, 0.01);
        EXPECT_NEAR(hot.dc_out(-x), distortion_shape(type, -80) * decimator, 0.01);
    }
}

TEST(Distortion, TypeSixWithUnitySettingsPassesSmallSignalsAtUnityGain) {
    for (float rate : {44100.0f, 96000.0f}) {
        Distortion d("distortion_type 6 drive 1 tone 1 level 1", rate);
        // Within 1 dB up to 5 kHz; the oversampling filters roll off gently above.
        for (double hz : {50.0, 440.0, 2000.0, 5000.0})
            EXPECT_NEAR(20 * std::log10(d.gain_at(hz)), 0.0, 1.0) << hz << " Hz at " << rate;
        EXPECT_NEAR(20 * std::log10(d.gain_at(8000)), 0.0, 3.0) << rate;
    }
}

TEST(Distortion, ToneTiltsAroundFlat) {
    Distortion flat("distortion_type 6 tone 1"), bright("distortion_type 6 tone 3.16228"),
        dark("distortion_type 6 tone 0.316228");
    const double lo = flat.gain_at(60), hi = flat.gain_at(9000);
    EXPECT_NEAR(bright.gain_at(60) / lo, 1 / 3.16228, 0.05); // the low shelf cuts by 1/tone
    EXPECT_NEAR(bright.gain_at(9000) / hi, 1.0, 0.1);
    EXPECT_NEAR(dark.gain_at(9000) / hi, 0.316228, 0.08); // the high shelf cuts by tone
    EXPECT_NEAR(dark.gain_at(60) / lo, 1.0, 0.02);
}

TEST(Distortion, TypeByEventSetsDriveToneAndLevelByTextDoesNot) {
    Distortion d("drive 1 tone 1 level 1 distortion_type 0");
    ToldRecorder observer;
    d.rig->dut->observer = &observer;
    d.rig->settings("distortion_type 2");
    EXPECT_FLOAT_EQ(d.value("drive"), 1);
    EXPECT_FLOAT_EQ(d.value("tone"), 1);
    EXPECT_FLOAT_EQ(d.value("level"), 1);
    observer.told_ids.clear(); // a text read reports every setting

    d.rig->send(4, 3); // distortion_type 3 by event
    EXPECT_FLOAT_EQ(d.value("drive"), 381.567f);
    EXPECT_FLOAT_EQ(d.value("tone"), 1.12507f);
    EXPECT_FLOAT_EQ(d.value("level"), 0.284689f);
    EXPECT_EQ(observer.told_ids, (std::multiset<int>{1, 2, 3}));
    // The new tone is in the filters: type 6's unity voicing is flat again.
    d.rig->send(4, 6);
    EXPECT_NEAR(20 * std::log10(d.gain_at(440)), 0.0, 1.0);
    d.rig->dut->observer = nullptr;
}

TEST(Distortion, BankChangesNothingAudible) {
    Distortion a("distortion_type 2 bank 0"), b("distortion_type 2 bank 3");
    Noise na, nb;
    na.amplitude = nb.amplitude = 0.3f;
    std::vector<float> oa = a.render(8192, [&](int) { return na.next(); });
    std::vector<float> ob = b.render(8192, [&](int) { return nb.next(); });
    EXPECT_EQ(oa, ob);
    EXPECT_EQ(b.value("bank"), 3);
    EXPECT_NE(b.rig->state_text().find("bank 3"), std::string::npos);
}

TEST(Distortion, SwitchingOffFadesOverFiftyMillisecondsThenPassesTheInput) {
    const float rate = 48000;
    Distortion d("distortion_type 1", rate);
    Noise noise;
    std::vector<float> input;
    auto signal = [&](int) {
        input.push_back(noise.next());
        return input.back();
    };
    d.render(4096, signal);
    input.clear();
    d.rig->send(0xffff, 0);
    std::vector<float> out = d.render(static_cast<int>(rate * 0.1), signal, 256);
    const std::size_t fade = static_cast<std::size_t>(rate * 0.05);
    EXPECT_NE(out[fade - 10], input[fade - 10]);
    for (std::size_t i = fade; i < out.size(); ++i)
        ASSERT_EQ(out[i], input[i]) << i;
}

TEST(Distortion, LevelZeroIsSilence) {
    Distortion d("distortion_type 0 level 0");
    std::vector<float> out = d.render(4096, [](int n) { return 0.5f * std::sin(0.05f * n); });
    EXPECT_EQ(voice_fx_test::max_abs(out, 0, out.size()), 0.0f);
}

TEST(Distortion, PresetTextLoadsItsSettings) {
    int count = 0;
    const char* const* texts = distortion_preset_texts(&count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(std::string(texts[0]).rfind("distortion Disto version 1\n{\n", 0), 0u);
    Distortion d("distortion_type 3");
    KelTextReader reader(texts[0]);
    ASSERT_TRUE(module_read_state(d.rig->dut, reader));
    // The type comes from text, so drive, tone and level keep the preset's own values.
    EXPECT_FLOAT_EQ(d.value("drive"), 2.79574f);
    EXPECT_FLOAT_EQ(d.value("level"), 0.431645f);
    EXPECT_FLOAT_EQ(d.value("tone"), 1);
    EXPECT_EQ(d.value("distortion_type"), 6);
}

TEST(Distortion, StableAtEveryRateWithSettingsAtTheirEnds) {
    SweepCase sweep;
    sweep.make = make_distortion;
    sweep.limit = 5; // the curves stop near 1; level 2 and the filters' overshoot on a clipped edge
    for (int type = 0; type <= 6; ++type)
        for (const char* ends : {"drive 0.1 tone 0.316228 level 0", "drive 400 tone 3.16228 level 2"})
            sweep.settings.push_back(std::string(ends) + " distortion_type " + std::to_string(type));
    stability_sweep(sweep);
}

TEST(Distortion, RenderingAllocatesNothing) {
    Distortion d("distortion_type 4");
    d.render(1024, [](int n) { return std::sin(0.01f * n); });
    mellora::test::AllocationCounter counter;
    for (int k = 0; k < 20; ++k)
        d.rig->run(1024);
    d.rig->send(4, 2);
    d.rig->send(0xffff, 0);
    for (int k = 0; k < 5; ++k)
        d.rig->run(1024);
    EXPECT_EQ(counter.count(), 0u);
}

TEST(Distortion, NonFiniteInputDoesNotLeaveTheModule) {
    expect_recovers_from_non_finite(make_distortion(44100), 1, 1, "distortion_type 0");
}

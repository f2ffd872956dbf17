#include "modules/pick_up.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/modules/voice_fx_rig.h"
#include "tests/support/alloc_counter.h"

using namespace voice_fx_test;

namespace {

// The instrument's preset values for the pickup.
constexpr const char* kPreset =
    "a 0.67389 b 0.278472 saturation 0.11 amp_in 0.235437 amp_out 1.64295 amp_out_kbd -0.295276 model 0";

struct PickUp {
    std::unique_ptr<Rig> rig;
    float rate;
    double phase = 0;
    float gate = 0, pitch = 0, hz = 262.5f, // 168 samples per period at 44.1 kHz
        amplitude = 1.0f, offset = 0;

    explicit PickUp(float rate = 44100, const char* settings = kPreset, int model = -1) : rate(rate) {
        t_module* m = pick_up_create(std::to_string(static_cast<int>(rate)) + " 512 1. 1. 0. 0. pick_up0");
        EXPECT_NE(m, nullptr);
        rig = std::make_unique<Rig>(m);
        rig->settings(settings);
        if (model >= 0) rig->settings("model " + std::to_string(model));
    }

    // A sine of the fork's vibration plus an optional constant offset.
    std::vector<float> render(int frames, int block = 256) {
        return rig->render(frames, block, [&](int, int n) {
            for (int i = 0; i < n; ++i) {
                rig->in(1)[i] = offset + amplitude * static_cast<float>(std::sin(phase));
                phase += 2.0 * M_PI * hz / rate;
                rig->in(2)[i] = pitch;
                rig->in(3)[i] = gate;
            }
        })[0];
    }
};

} // namespace

TEST(PickUp, SilentBeforeTheFirstGateThenSounds) {
    PickUp p;
    std::vector<float> before = p.render(4096);
    EXPECT_EQ(max_abs(before, 0, before.size()), 0.0f);
    p.gate = 0.005f; // below the gate threshold
    before = p.render(1024);
    EXPECT_EQ(max_abs(before, 0, before.size()), 0.0f);
    p.gate = 1;
    std::vector<float> after = p.render(4096);
    EXPECT_GT(rms(after, 1024, 2048), 1e-3);
    EXPECT_TRUE(all_finite(after));
}

TEST(PickUp, ConstantInputGivesNoOutput) {
    for (int model : {0, 1, 1001}) {
        SCOPED_TRACE(model);
        PickUp moving(44100, kPreset, model);
        moving.gate = 1;
        const double level = rms(moving.render(8192), 4096, 4096);
        ASSERT_GT(level, 1e-4);

        PickUp still(44100, kPreset, model);
        still.gate = 1;
        still.amplitude = 0;
        still.offset = 0.4f;
        std::vector<float> y = still.render(8192);
        // After the step onto the offset has passed, the tip at rest induces nothing.
        EXPECT_LT(max_abs(y, 2048, 6144), level * 1e-5);
    }
}

TEST(PickUp, SettingsAreLatchedAtTheNextNoteOn) {
    PickUp p;
    p.gate = 1;
    const double before = rms(p.render(8064), 4032, 4032); // whole periods
    // amp_out controller 100: 10^((100/128*30 - 6)/20).
    p.rig->send(7, 100);
    const double held = rms(p.render(4032), 0, 4032);
    EXPECT_NEAR(held / before, 1.0, 1e-4);

    p.gate = 0;
    p.render(504);
    p.gate = 1;
    const double after = rms(p.render(8064), 4032, 4032);
    const double expected = std::pow(10.0, (100.0 / 128.0 * 30.0 - 6.0) * 0.05) / 1.64295;
    EXPECT_NEAR(after / before, expected, expected * 1e-3);
}

TEST(PickUp, LevelFollowsTheKeyByAmpOutKbd) {
    PickUp low, high;
    for (PickUp* p : {&low, &high}) {
        p->rig->settings("amp_out_kbd 1");
        p->gate = 1;
    }
    high.pitch = 1; // one octave up
    const double a = rms(low.render(8192), 4096, 4096);
    const double b = rms(high.render(8192), 4096, 4096);
    EXPECT_NEAR(b / a, 2.0, 1e-4);
}

TEST(PickUp, ModelSwitchFadesOutSwitchesAndFadesIn) {
    const int fade = 441; // 10 ms at 44.1 kHz
    PickUp p, ref0(44100, kPreset, 0), ref1(44100, kPreset, 1);
    for (PickUp* x : {&p, &ref0, &ref1})
        x->gate = 1;
    for (PickUp* x : {&p, &ref0, &ref1})
        x->render(4096);

    p.rig->send(11, 1);
    std::vector<float> y = p.render(4096, 128);
    std::vector<float> r0 = ref0.render(4096, 128);
    std::vector<float> r1 = ref1.render(4096, 128);
    const float peak0 = max_abs(r0, 0, 4096), peak1 = max_abs(r1, 0, 4096);

    // Fade-out: model 0 under a linear weight from 1 to 0.
    for (int i = 0; i < fade; ++i)
        ASSERT_NEAR(y[i], r0[i] * (1.0f - static_cast<float>(i) / fade), peak0 * 1e-3) << i;
    // Through silence at 10 ms ...
    EXPECT_LT(max_abs(y, fade - 4, 8), 0.02f * peak0);
    // ... and after the fade-in exactly the second model.
    for (int i = 2 * fade + 2; i < 4096; ++i)
        ASSERT_NEAR(y[i], r1[i], peak1 * 1e-5) << i;
    EXPECT_EQ(p.rig->query(11), 1);
}

TEST(PickUp, SwitchingBackDuringTheFadeCancelsIt) {
    PickUp p, ref0;
    for (PickUp* x : {&p, &ref0}) {
        x->gate = 1;
        x->render(4096);
    }
    p.rig->send(11, 1);
    std::vector<float> faded = p.render(200, 200);
    std::vector<float> r0 = ref0.render(200, 200);
    EXPECT_LT(std::fabs(faded[199]), std::fabs(r0[199]));

    p.rig->send(11, 0);
    std::vector<float> y = p.render(2048);
    std::vector<float> r = ref0.render(2048);
    // The weight is back at 1 and model 0 runs on with its history: identical output.
    for (std::size_t i = 0; i < y.size(); ++i)
        ASSERT_EQ(y[i], r[i]) << i;
    EXPECT_EQ(p.rig->query(11), 0);
}

TEST(PickUp, ModelsFromSettingsTextAndEvents) {
    {
        PickUp p(44100, kPreset, 1001); // the third model, text only
        p.gate = 1;
        EXPECT_GT(rms(p.render(4096), 2048, 2048), 1e-4);
        EXPECT_EQ(p.rig->query(11), 127); // reported clamped to the controller range
    }
    {
        PickUp p(44100, kPreset, 5); // unknown: silence
        p.gate = 1;
        std::vector<float> y = p.render(4096);
        EXPECT_EQ(max_abs(y, 0, y.size()), 0.0f);
    }
    {
        PickUp p;
        p.rig->send(11, 5); // beyond the two models: the second one
        EXPECT_EQ(p.rig->query(11), 1);
    }
}

TEST(PickUp, AmpOutControllerZeroIsExactSilence) {
    PickUp p;
    p.rig->send(7, 0);
    EXPECT_EQ(p.rig->query(7), 0);
    p.gate = 1;
    std::vector<float> y = p.render(4096);
    EXPECT_EQ(max_abs(y, 0, y.size()), 0.0f);
}

TEST(PickUp, SettingsTextRoundTrip) {
    PickUp a(44100, "a -0.5 b 0.9 saturation 0.3 amp_in 0.2 amp_out 2 amp_out_kbd 0.5 model 1");
    const std::string text = a.rig->state_text();
    EXPECT_NE(text.find(" a           0.5\n"), std::string::npos) << text; // a negative "a" is its size
    EXPECT_NE(text.find(" model       1\n"), std::string::npos) << text;

    PickUp b(44100, "");
    KelTextReader reader(text);
    module_read_state(b.rig->dut, reader);
    EXPECT_EQ(b.rig->state_text(), text);
    for (int id : {1, 2, 3, 7, 8, 9, 11})
        EXPECT_EQ(b.rig->query(id), a.rig->query(id)) << id;
    EXPECT_EQ(b.rig->query(4), -1); // not a pickup setting

    // Queries use the event scales: amp_in 0.2 is -14 dB.
    EXPECT_EQ(a.rig->query(3), static_cast<int>((20 * std::log10(0.2f) + 30) * 5.3333335f + 0.5f));
    EXPECT_EQ(a.rig->query(9), 38);
}

TEST(PickUp, DamagedSettingsTextLeavesASaneVoice) {
    const char* texts[] = {
        "a nan b inf amp_in 1e38 amp_out 1e38 amp_out_kbd 1e30",
        "srate 0 model -2147483648",
        "srate -44100 b -3 a 99 saturation inf",
        "amp_in 1e30 amp_out -1e30 { model 1 } model",
        "model 99999999999999999999 srate 1e30 amp_out_kbd -1e9",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        PickUp p(44100, kPreset);
        p.rig->settings(text);
        p.gate = 1;
        p.pitch = 3;
        std::vector<float> y = p.render(4096, 37);
        EXPECT_TRUE(all_finite(y));
        for (int id : {1, 2, 3, 7, 8, 9, 11}) {
            const int c = p.rig->query(id);
            EXPECT_GE(c, 0);
            EXPECT_LE(c, 127);
        }
    }
}

TEST(PickUp, LevelIsTheSameAtEveryRate) {
    for (int model : {0, 1}) {
        SCOPED_TRACE(model);
        double reference = 0;
        for (float rate : kRates) {
            PickUp p(rate, kPreset, model);
            p.gate = 1;
            const int n = static_cast<int>(rate);
            const double level = rms(p.render(n), n / 2, n / 2);
            if (reference == 0) reference = level;
            EXPECT_NEAR(level / reference, 1.0, 0.02) << rate;

            // Built at 44.1 kHz and then told the new rate: the same again.
            PickUp moved(44100, kPreset, model);
            moved.rig->dut->set_sample_rate(moved.rig->dut, rate);
            moved.rate = rate;
            moved.gate = 1;
            EXPECT_NEAR(rms(moved.render(n), n / 2, n / 2) / reference, 1.0, 0.02) << rate;
        }
    }
}

TEST(PickUp, FiniteAndSilentAfterReleaseAtEveryRateAndBlockSize) {
    for (float rate : kRates)
        for (int block : kBlocks) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, block " << block);
            for (int model : {0, 1}) {
                PickUp p(rate, kPreset, model);
                p.gate = 1;
                std::vector<float> y = p.render(4096, block);
                EXPECT_TRUE(all_finite(y));
                EXPECT_GT(rms(y, 2048, 2048), 1e-4);
                // The fork stops: the output falls silent.
                p.amplitude = 0;
                p.gate = 0;
                std::vector<float> tail = p.render(4096, block);
                EXPECT_TRUE(all_finite(tail));
                EXPECT_LT(max_abs(tail, 3072, 1024), 1e-6f);
            }
        }
}

TEST(PickUp, RenderingAllocatesNothing) {
    PickUp p;
    p.gate = 1;
    Rig& rig = *p.rig;
    for (int i = 0; i < 1024; ++i)
        rig.in(1)[i] = std::sin(0.05f * i), rig.in(3)[i] = 1;
    mellora::test::AllocationCounter counter;
    for (int k = 0; k < 8; ++k)
        rig.run(1024);
    rig.send(11, 1);
    for (int k = 0; k < 8; ++k)
        rig.run(1024);
    EXPECT_EQ(counter.count(), 0u);
}

#include "modules/tremolo.h"

#include <gtest/gtest.h>

#include <memory>

#include "modules/tempo_division.h"
#include "tests/modules/voice_fx_rig.h"
#include "tests/support/alloc_counter.h"

using namespace voice_fx_test;

namespace {

struct Tremolo {
    std::unique_ptr<Rig> rig;
    TestClock clock;
    float rate;
    double phase = 0;
    float hz = 0; // 0: a constant 1 on the audio input, so the outputs are the two gains

    explicit Tremolo(float rate = 44100, float tempo = 120, const std::string& settings = "", int type = 2)
        : clock(rate, tempo), rate(rate) {
        t_module* m = tremolo_create_type(type, std::to_string(static_cast<int>(rate)) + " 1024 Tremolo");
        EXPECT_NE(m, nullptr);
        rig = std::make_unique<Rig>(m);
        rig->settings(settings);
    }
    int audio_input() const { return rig->dut->input_count == 1 ? 1 : 3; }

    std::vector<std::vector<float>> render(int frames, int block = 512) {
        return rig->render(frames, block, [&](int, int n) {
            if (rig->dut->input_count > 1) {
                clock.fill(rig->in(1), n);
                std::fill(rig->in(2), rig->in(2) + n, 0.0f);
            }
            for (int i = 0; i < n; ++i) {
                const float x = hz == 0 ? 1.0f : static_cast<float>(std::sin(phase));
                phase += 2.0 * M_PI * hz / rate;
                for (int k = audio_input(); k <= rig->dut->input_count; ++k)
                    rig->in(k)[i] = x;
            }
        });
    }
};

// Cycle length in samples: the triangle rises through gain 1 once per cycle.
double cycle_length(const std::vector<float>& left) {
    return mean_period(upward_crossings(left, 1.0f), 2);
}

} // namespace

TEST(Tremolo, SyncedCycleFollowsTheClock) {
    struct Case {
        int sync_index;
        float tempo, rate;
        double beats;
    };
    const Case cases[] = {
        {14, 120, 44100, 1.0},            // "1": one cycle per quarter note
        {24, 120, 44100, 0.16666667 / 4}, // "1/8t"
        {11, 100, 48000, 2.0},            // "2"
        {20, 140, 96000, 0.25},           // "1/4"
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "index " << c.sync_index << " at " << c.tempo << " BPM");
        Tremolo t(c.rate, c.tempo, "sync_index " + std::to_string(c.sync_index));
        const double expected = c.beats * 60.0 / c.tempo * c.rate;
        std::vector<float> left = t.render(static_cast<int>(expected * 8) + 4096)[0];
        EXPECT_NEAR(cycle_length(left), expected, expected * 0.003);
    }
}

TEST(Tremolo, FreeRunningSpeedAndBackFromSync) {
    Tremolo t(96000, 120, "speed 326.1");
    EXPECT_NEAR(cycle_length(t.render(96000 * 2)[0]), 96000 * 60 / 326.1, 5.0);
    // Locked, then free again at the "speed" setting.
    t.rig->settings("sync_index 14");
    t.render(96000);
    t.rig->settings("sync_index 0");
    EXPECT_NEAR(cycle_length(t.render(96000 * 2)[0]), 96000 * 60 / 326.1, 5.0);
}

TEST(Tremolo, KeepsItsSpeedAcrossARateChange) {
    Tremolo t(44100, 120, "speed 326.1");
    t.rig->dut->set_sample_rate(t.rig->dut, 96000);
    t.rate = 96000;
    EXPECT_NEAR(cycle_length(t.render(96000 * 2)[0]), 96000 * 60 / 326.1, 5.0);
}

TEST(Tremolo, StereoGainsOppositeMonoGainsEqual) {
    Tremolo stereo(44100, 120, "mono_stereo 1 depth 1");
    auto y = stereo.render(44100);
    std::size_t top = 0;
    for (std::size_t i = 0; i < y[0].size(); ++i) {
        ASSERT_NEAR(y[0][i] + y[1][i], 2.0f, 1e-5f) << i; // an auto-pan: the sum stays
        if (y[0][i] > y[0][top]) top = i;
    }
    // Mid-cycle (d = 0.5): left gain 2, right gain 0.
    EXPECT_NEAR(y[0][top], 2.0f, 1e-3f);
    EXPECT_NEAR(y[1][top], 0.0f, 1e-3f);

    Tremolo mono(44100, 120, "mono_stereo 0 depth 0.5");
    auto m = mono.render(44100);
    EXPECT_EQ(m[0], m[1]);
    EXPECT_NEAR(max_abs(m[0], 0, m[0].size()), 1.5f, 1e-3f);
}

TEST(Tremolo, RhodesWaveIsASmoothedSquare) {
    Tremolo t(44100, 120, "wave_type 1 depth 1");
    std::vector<float> left = t.render(44100)[0];
    // Most of the cycle sits at the extremes; each edge takes 53 ms, not a sample.
    int high = 0, low = 0;
    float step = 0;
    for (std::size_t i = 1; i < left.size(); ++i) {
        high += left[i] > 1.99f;
        low += left[i] < 0.01f;
        step = std::max(step, std::fabs(left[i] - left[i - 1]));
    }
    EXPECT_GT(high, 44100 / 4);
    EXPECT_GT(low, 44100 / 4);
    // A full swing from gain 0 to 2 spread over trunc(44100 * 0.053) samples.
    EXPECT_NEAR(step, 2.0f / 2337, 1e-5f);
}

TEST(Tremolo, SwitchingOffByEventFadesTheDepthThenBypassesExactly) {
    Tremolo t(44100, 120, "depth 1 speed 600"), ref(44100, 120, "depth 1 speed 600");
    t.render(8192);
    ref.render(8192);
    t.rig->send(0xffff, 0);
    const int fade = 4410; // trunc(rate * 0.02) steps of 5 samples: 100 ms
    auto y = t.render(fade + 64, 37);
    auto r = ref.render(fade + 64, 37);
    // With a constant input the modulation o = gain - 1: its ratio to an unswitched
    // tremolo's is the depth, which falls linearly to 0.
    for (int i = 0; i < fade; ++i) {
        const float o_ref = r[0][i] - 1;
        if (std::fabs(o_ref) < 0.2f) continue;
        ASSERT_NEAR((y[0][i] - 1) / o_ref, 1.0f - static_cast<float>(i) / fade, 0.01f) << i;
    }
    for (int i = fade; i < fade + 64; ++i)
        ASSERT_EQ(y[0][i], 1.0f) << i;

    // Then it bypasses exactly.
    t.hz = 440;
    auto bypass = t.render(2048, 37);
    double phase = 0;
    for (int i = 0; i < 2048; ++i, phase += 2.0 * M_PI * 440 / 44100) {
        const float x = static_cast<float>(std::sin(phase));
        ASSERT_EQ(bypass[0][i], x) << i;
        ASSERT_EQ(bypass[1][i], x) << i;
    }

    // Switching on fades the modulation in from nothing.
    t.hz = 0;
    t.rig->send(0xffff, 1);
    auto on = t.render(8192);
    EXPECT_LT(max_abs(on[0], 0, 50), 1.01f);
    float full = 0;
    for (std::size_t i = fade; i < on[0].size(); ++i)
        full = std::max(full, on[0][i]);
    EXPECT_GT(full, 1.9f);
}

TEST(Tremolo, ReportsThePanelLampOncePerMeterPeriod) {
    struct Lamp : ModuleObserver {
        std::vector<float> values;
        void received(t_module*, int id, float v) override {
            if (id == 6) values.push_back(v);
        }
    } lamp;
    Tremolo t(44100, 120, "speed 60");
    t.rig->dut->observer = &lamp;
    t.render(44100 * 2);
    ASSERT_GT(lamp.values.size(), 10u);
    EXPECT_LE(lamp.values.size(), static_cast<std::size_t>(44100 * 2 / 2502));
    for (float v : lamp.values) {
        EXPECT_GE(v, 0);
        EXPECT_LE(v, 32);
        EXPECT_EQ(std::fmod(v, 4.0f), 0.0f);
    }
}

TEST(Tremolo, SettingsTextRoundTrip) {
    Tremolo a(44100, 120,
              "on_off 0 sync_index 7 speed 326.1 depth 0.346457 mono_stereo 1 wave_type 1 wave_mix 0.3");
    const std::string text = a.rig->state_text();
    for (const char* name :
         {" on_off 0", " sync_index 7", " speed 326.1", " depth 0.346457", " mono_stereo 1", " wave_type 1"})
        EXPECT_NE(text.find(name), std::string::npos) << name << "\n" << text;
    // The mix follows the wave type and the frequency belongs to type 1: neither is written.
    EXPECT_EQ(text.find("wave_mix"), std::string::npos);
    EXPECT_EQ(text.find("frequency"), std::string::npos);
    Tremolo b;
    KelTextReader reader(text);
    module_read_state(b.rig->dut, reader);
    EXPECT_EQ(b.rig->state_text(), text);
}

TEST(Tremolo, TypeOneTakesItsFrequencyInHertz) {
    Tremolo t(48000, 120, "frequency 4", 1);
    EXPECT_NEAR(cycle_length(t.render(48000)[0]), 48000 / 4.0, 2.0);
    EXPECT_NE(t.rig->state_text().find(" frequency 4"), std::string::npos);
}

TEST(Tremolo, FiniteAtEveryRateBlockSizeAndType) {
    for (int type : {1, 2, 3})
        for (float rate : kRates)
            for (int block : kBlocks) {
                SCOPED_TRACE(testing::Message() << "type " << type << ", " << rate << " Hz, block " << block);
                Tremolo t(rate, 120, "speed 1150 depth 1 wave_type 1 mono_stereo 1 sync_index 24", type);
                t.hz = 1000;
                auto y = t.render(8192, block);
                EXPECT_TRUE(all_finite(y[0]));
                EXPECT_TRUE(all_finite(y[1]));
                EXPECT_GT(rms(y[0], 0, 8192), 0.1);
                EXPECT_LE(max_abs(y[0], 0, 8192), 2.0f);
            }
}

TEST(Tremolo, RenderingAllocatesNothing) {
    Tremolo t(44100, 120, "sync_index 14");
    t.render(1024); // warm the rig's output vectors
    Rig& rig = *t.rig;
    for (int i = 0; i < 1024; ++i)
        rig.in(1)[i] = (i / 46) % 2, rig.in(3)[i] = 1;
    mellora::test::AllocationCounter counter;
    for (int k = 0; k < 8; ++k)
        rig.run(1024);
    rig.send(0xffff, 0);
    for (int k = 0; k < 8; ++k)
        rig.run(1024);
    EXPECT_EQ(counter.count(), 0u);
}

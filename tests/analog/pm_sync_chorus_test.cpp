#include "analog/pm_sync_chorus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/modular.h"
#include "modules/parameter.h"
#include "tests/modules/voice_fx_rig.h"
#include "tests/support/alloc_counter.h"

using namespace voice_fx_test;

namespace {

const float kAllRates[] = {44100.0f, 48000.0f, 88200.0f, 96000.0f, 192000.0f};

// The chorus in a rig: input 1 the master clock, 2 and 3 the left and right audio.
struct Chorus {
    std::unique_ptr<Rig> rig;
    float rate;
    TestClock clock;
    std::function<void(long, float&, float&)> audio = [](long, float& l, float& r) { l = r = 0; };
    long t = 0;

    explicit Chorus(float rate, const std::string& settings = "", float tempo = 120)
        : rate(rate), clock(rate, tempo) {
        t_module* m = pm_sync_chorus_create(std::to_string(static_cast<int>(rate)) + " 1024 Chorus_A");
        EXPECT_NE(m, nullptr);
        rig = std::make_unique<Rig>(m);
        if (!settings.empty()) rig->settings(settings);
        m->reset(m);
    }
    std::vector<std::vector<float>> render(long frames, int block = 512) {
        return rig->render(static_cast<int>(frames), block, [&](int, int n) {
            clock.fill(rig->in(1), n);
            for (int i = 0; i < n; ++i, ++t)
                audio(t, rig->in(2)[i], rig->in(3)[i]);
        });
    }
};

// The delay of the swept tap, sampled by impulses every `spacing` samples on one input:
// each echo's centre (the centroid of its few samples around the peak) less the impulse time.
struct Sweep {
    std::vector<double> at, delay;
    double min() const { return *std::min_element(delay.begin(), delay.end()); }
    double max() const { return *std::max_element(delay.begin(), delay.end()); }
};

Sweep measure_sweep(Chorus& c, long spacing, long frames, int side) {
    c.audio = [spacing, side](long i, float& l, float& r) {
        const float x = i % spacing == 0 ? 1.0f : 0.0f;
        l = side == 0 ? x : 0.0f;
        r = side == 1 ? x : 0.0f;
    };
    const std::vector<float> out = c.render(frames)[static_cast<std::size_t>(side)];
    Sweep s;
    for (long start = 0; start + spacing <= frames; start += spacing) {
        std::size_t peak = static_cast<std::size_t>(start + 1);
        for (long i = start + 1; i < start + spacing; ++i)
            if (std::fabs(out[static_cast<std::size_t>(i)]) > std::fabs(out[peak]))
                peak = static_cast<std::size_t>(i);
        double weight = 0, moment = 0;
        for (std::size_t i = peak - 3; i <= peak + 3; ++i) {
            weight += out[i];
            moment += out[i] * static_cast<double>(i);
        }
        s.at.push_back(static_cast<double>(start));
        s.delay.push_back(moment / weight - static_cast<double>(start));
    }
    return s;
}

// LFO cycle length in samples, from the times the swept delay rises through its middle.
double sweep_period(const Sweep& s) {
    const double mid = (s.min() + s.max()) / 2;
    std::vector<double> up;
    for (std::size_t i = 1; i < s.delay.size(); ++i)
        if (s.delay[i - 1] < mid && s.delay[i] >= mid)
            up.push_back(s.at[i - 1] +
                         (mid - s.delay[i - 1]) / (s.delay[i] - s.delay[i - 1]) * (s.at[i] - s.at[i - 1]));
    if (up.size() < 3) return 0;
    return (up.back() - up[1]) / static_cast<double>(up.size() - 2);
}

struct Told : ModuleObserver {
    std::vector<int> ids;
    void told(t_module*, int id) override { ids.push_back(id); }
};

} // namespace

// The swept tap moves between delay - depth and delay + depth (in samples, one more for the
// interpolation's centre) and reaches both ends; a depth beyond 0.95 of the delay is held
// there. In mode 0 the right tap sweeps against the left, in mode 2 with it.
TEST(PmSyncChorus, SweepStaysWithinTheDepth) {
    struct Case {
        int mode;
        float rate, delay, depth;
    };
    const Case cases[] = {
        {0, 44100, 0.009477f, 0.0140096f}, // preset 4: the depth is held at 0.95 of the delay
        {2, 96000, 0.0054549f, 0.0024f},
        {0, 48000, 0.003f, 0.0005f},
        {2, 192000, 0.15f, 0.05f}, // 0.2 s behind the writer: far beyond 8192 samples
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " at " << c.rate << " delay " << c.delay);
        const double base = std::trunc(c.delay * c.rate) + 1;
        const double depth = std::min(c.depth, 0.95f * c.delay) * c.rate;
        const double reach = depth * 1.0003 + 0.6; // the polynomial sine peaks 0.03 % above 1
        const long spacing = static_cast<long>(base + depth) + 16;
        // An LFO slow enough for 24 impulses per cycle (144 pulses, 0.6 beat); three cycles.
        const int tempo = std::max(1, static_cast<int>(0.6 * 60 * c.rate / (24.0 * spacing)));
        const long frames = static_cast<long>(3 * 0.6 * 60 / tempo * c.rate) + spacing;
        const std::string settings = "steps_param 0 mix 1 spread 0.5 feedback 0.01 tempo_coarse_param " +
                                     std::to_string(tempo) + " mode " + std::to_string(c.mode) + " delay " +
                                     std::to_string(c.delay) + " depth " + std::to_string(c.depth);
        Chorus left(c.rate, settings), right(c.rate, settings);
        const Sweep l = measure_sweep(left, spacing, frames, 0);
        const Sweep r = measure_sweep(right, spacing, frames, 1);
        EXPECT_GE(l.min(), base - reach);
        EXPECT_LE(l.max(), base + reach);
        EXPECT_LT(l.min(), base - 0.95 * depth);
        EXPECT_GT(l.max(), base + 0.95 * depth);
        EXPECT_GE(r.min(), base + (c.mode == 0 ? 1 : 0) - reach);
        EXPECT_LE(r.max(), base + (c.mode == 0 ? 1 : 0) + reach);
        if (c.mode == 2) {
            for (std::size_t i = 0; i < l.delay.size(); ++i)
                ASSERT_NEAR(r.delay[i], l.delay[i], 1e-6) << "impulse " << i;
        } else {
            // The same sweep read the other way: the two delays move in opposite directions.
            double lr = 0, ll = 0, rr = 0;
            for (std::size_t i = 0; i < l.delay.size(); ++i) {
                const double a = l.delay[i] - base, b = r.delay[i] - base - 1;
                lr += a * b, ll += a * a, rr += b * b;
            }
            EXPECT_LT(lr / std::sqrt(ll * rr), -0.9);
        }
    }
}

// Mode 1: two taps per channel, a quarter cycle apart, around the delay and 0.58 of it,
// each within 0.399 of the delay; all the wet signal lies within those reaches.
TEST(PmSyncChorus, TwoTapModeStaysWithinItsReach) {
    for (float rate : {44100.0f, 192000.0f}) {
        SCOPED_TRACE(testing::Message() << rate << " Hz");
        Chorus c(rate, "mode 1 steps_param 0 tempo_coarse_param 100 mix 1 delay 0.01 depth 0.05");
        const long spacing = static_cast<long>(0.03 * rate);
        c.audio = [spacing](long i, float& l, float& r) { l = r = i % spacing == 0 ? 1.0f : 0.0f; };
        const auto out = c.render(static_cast<long>(rate * 1.2));
        const double d = 0.01 * rate, reach = 0.399 * d;
        double inside = 0, total = 0;
        for (std::size_t i = 0; i < out[0].size(); ++i) {
            const double lag = static_cast<double>(i % static_cast<std::size_t>(spacing));
            const double e = static_cast<double>(out[0][i]) * out[0][i];
            total += e;
            if (lag >= 0.58 * d - reach - 3 && lag <= d + reach + 4) inside += e;
        }
        EXPECT_GT(total, 0.0);
        EXPECT_NEAR(inside / total, 1.0, 1e-9);
    }
}

// One LFO cycle lasts 144 pulses (0.6 beat) of the own generator at tempo coarse + fine/10,
// or a tempo division of the master clock when a sync step is chosen.
TEST(PmSyncChorus, CycleFollowsTheTempo) {
    struct Case {
        const char* settings;
        float rate, clock_tempo;
        double seconds;
    };
    const Case cases[] = {
        {"steps_param 0 tempo_coarse_param 35 tempo_fine_param 0", 44100, 120, 0.6 * 60 / 35},
        {"steps_param 0 tempo_coarse_param 119 tempo_fine_param 5", 48000, 120, 0.6 * 60 / 119.5},
        {"steps_param 14 tempo_coarse_param 35", 96000, 120, 0.5},  // "1": one beat of the clock
        {"steps_param 11 tempo_coarse_param 35", 192000, 100, 1.2}, // "2": two beats
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        Chorus ch(c.rate, std::string(c.settings) + " mode 2 mix 1 delay 0.002 depth 0.001", c.clock_tempo);
        const long spacing = static_cast<long>(0.0035 * c.rate);
        const Sweep s = measure_sweep(ch, spacing, static_cast<long>(c.seconds * c.rate * 5), 0);
        EXPECT_NEAR(sweep_period(s) / c.rate, c.seconds, c.seconds * 0.004);
    }
}

// Mix 0 passes the input unchanged in every mode.
TEST(PmSyncChorus, MixZeroPassesTheDrySignal) {
    for (int mode : {0, 1, 2}) {
        Chorus c(48000, "mix 0.7 depth 0.01 feedback 0.9 mode " + std::to_string(mode));
        std::mt19937 gen(5);
        std::uniform_real_distribution<float> u(-1, 1);
        std::vector<float> in_l, in_r;
        c.audio = [&](long, float& l, float& r) {
            l = u(gen), r = u(gen);
            in_l.push_back(l), in_r.push_back(r);
        };
        c.render(4000);
        c.rig->send(kChorusMix, 0);
        in_l.clear(), in_r.clear();
        const auto out = c.render(9000, 77);
        EXPECT_EQ(out[0], in_l) << "mode " << mode;
        EXPECT_EQ(out[1], in_r) << "mode " << mode;
    }
}

TEST(PmSyncChorus, EventsAndQueriesAgree) {
    Chorus c(44100);
    struct Case {
        int id, position, answer;
    };
    const Case cases[] = {
        {kChorusCoarse, 34, 34},  {kChorusFine, 7, 7},  {kChorusSteps, 14, 14},  {kChorusSteps, 60, 24},
        {kChorusDelay, 100, 100}, {kChorusMix, 64, 64}, {kChorusSpread, 20, 20}, {kChorusDepth, 90, 90},
        {kChorusFeedback, 5, 5},  {kChorusMode, 2, 2},  {kChorusMode, 0, 0},     {kChorusSteps, 0, 0},
    };
    for (const Case& k : cases) {
        c.rig->send(k.id, k.position);
        EXPECT_EQ(c.rig->query(k.id), k.answer) << "id " << k.id << " at " << k.position;
    }
    // The sync step decides the clock: the master clock for 1..24, the own generator for 0.
    c.rig->send(kChorusSteps, 3);
    EXPECT_EQ(c.rig->query(kChorusClockSource), 1);
    c.rig->send(kChorusSteps, 0);
    EXPECT_EQ(c.rig->query(kChorusClockSource), 0);
    // "alt_tempo" splits into coarse and fine.
    c.rig->send(kChorusAltTempo, 64);
    const float tempo = c.rig->dut->params[0].param->value();
    EXPECT_NEAR(c.rig->query(kChorusCoarse) + 1 + c.rig->query(kChorusFine) * 0.1, tempo, 0.01);
    EXPECT_NEAR(tempo, 2 * std::pow(120.0, 64.0 / 127), 0.11);
    EXPECT_EQ(c.rig->query(99), -1);
}

TEST(PmSyncChorus, SettingsTextRoundTripsAndTellsTheOwner) {
    int count = 0;
    const char* const* presets = chorus_preset_texts(&count);
    ASSERT_EQ(count, 5);
    for (int p = 0; p < count; ++p) {
        SCOPED_TRACE(testing::Message() << "preset " << p);
        Chorus a(44100);
        Told told;
        a.rig->dut->observer = &told;
        KelTextReader reader(presets[p]);
        ASSERT_TRUE(module_read_state(a.rig->dut, reader));
        EXPECT_EQ(std::vector<int>(told.ids.begin(), told.ids.begin() + 11),
                  (std::vector<int>{1, 10, 2, 3, 4, 16, 17, 18, 20, 21, 19}));
        const std::string text = a.rig->state_text();
        EXPECT_EQ(text.rfind("pm_sync_chorus Chorus_A version 1\n{\n   clock_source_param   0\n", 0), 0u)
            << text;
        Chorus b(96000);
        KelTextReader again(text);
        module_read_state(b.rig->dut, again);
        EXPECT_EQ(b.rig->state_text(), text);
    }
    Chorus a(44100, "tempo_coarse_param 160 depth 0.00021879");
    EXPECT_EQ(a.rig->query(kChorusCoarse), 127); // 159, clamped to the controller scale
    EXPECT_NE(a.rig->state_text().find("   tempo_coarse_param   160\n"), std::string::npos);
    EXPECT_NE(a.rig->state_text().find("   depth                0.00021879\n"), std::string::npos);
}

// At every rate, with the settings at both ends, the output stays finite; with the presets
// the sound dies away to silence after the input stops.
TEST(PmSyncChorus, StableAtEveryRateAndSilentAfterTheTail) {
    const char* extremes[] = {
        "mode 0 delay 0.001 depth 0.05 feedback 0.999 mix 1 spread 1 tempo_coarse_param 240",
        "mode 2 delay 0.15 depth 0.05 feedback 0.999 mix 1 spread 0.5 tempo_coarse_param 1",
        "mode 1 delay 0.15 depth 0.0001 feedback 0.01 mix 1 spread 1 steps_param 24",
        "mode 0 delay 0.15 depth 0.05 feedback 0.999 mix 1 spread 1 steps_param 1",
    };
    int count = 0;
    const char* const* presets = chorus_preset_texts(&count);
    for (float rate : kAllRates) {
        SCOPED_TRACE(testing::Message() << rate << " Hz");
        for (const char* settings : extremes) {
            Chorus c(rate, settings, 240);
            std::mt19937 gen(2);
            std::uniform_real_distribution<float> u(-1, 1);
            c.audio = [&](long, float& l, float& r) { l = u(gen), r = u(gen); };
            const auto out = c.render(static_cast<long>(rate * 1.5), 1024);
            EXPECT_TRUE(all_finite(out[0]) && all_finite(out[1])) << settings;
            EXPECT_LT(std::max(max_abs(out[0], 0, out[0].size()), max_abs(out[1], 0, out[1].size())), 1e4f)
                << settings;
        }
        for (int p = 0; p < count; ++p) {
            Chorus c(rate);
            KelTextReader reader(presets[p]);
            ASSERT_TRUE(module_read_state(c.rig->dut, reader));
            c.rig->dut->reset(c.rig->dut);
            c.audio = [&](long i, float& l, float& r) {
                l = r = i < rate * 0.3 ? std::sin(0.03f * i) : 0.0f;
            };
            const auto out = c.render(static_cast<long>(rate * 2), 1024);
            const auto tail = static_cast<std::size_t>(rate * 1.5);
            EXPECT_LT(max_abs(out[0], tail, out[0].size() - tail), 1e-6f) << "preset " << p;
            EXPECT_LT(max_abs(out[1], tail, out[1].size() - tail), 1e-6f) << "preset " << p;
        }
    }
}

// After a rate change the delay and the depth keep their times in seconds.
TEST(PmSyncChorus, SampleRateChangeKeepsTheTimes) {
    Chorus c(44100, "mode 2 mix 1 steps_param 0 delay 0.1 depth 0.0001");
    c.rig->dut->set_sample_rate(c.rig->dut, 192000);
    c.rate = 192000;
    const Sweep s = measure_sweep(c, 30000, 192000 * 2, 0);
    for (double d : s.delay)
        EXPECT_NEAR(d, 19201, 19.2 + 0.6);
    EXPECT_GT(s.max() - s.min(), 5.0);
}

TEST(PmSyncChorus, RenderingAllocatesNothing) {
    for (int mode : {0, 1, 2}) {
        Chorus c(96000, "mix 0.5 steps_param 14 mode " + std::to_string(mode));
        c.render(2048);
        mellora::test::AllocationCounter count;
        for (int b = 0; b < 100; ++b) {
            c.clock.fill(c.rig->in(1), 1024);
            for (int i = 0; i < 1024; ++i)
                c.rig->in(2)[i] = c.rig->in(3)[i] = std::sin(0.02f * static_cast<float>(i));
            c.rig->run(1024);
            if (b == 30) c.rig->send(kChorusDelay, 80);
            if (b == 50) c.rig->send(kChorusAltTempo, 20);
            if (b == 70) c.rig->dut->reset(c.rig->dut);
        }
        EXPECT_EQ(count.count(), 0u) << "mode " << mode;
    }
}

TEST(PmSyncChorus, InstrumentDefaultsAndMalformedDescriptors) {
    for (int slot : {0, 1}) {
        Chorus c(44100, chorus_instrument_default_body(slot));
        EXPECT_EQ(c.rig->query(kChorusMode), slot == 0 ? 2 : 1);
        EXPECT_EQ(c.rig->query(kChorusCoarse), slot == 0 ? 127 : 34);
    }
    for (const char* line : {"", "44100 1024", "x 1024 Chorus_A", "-5 1024 Chorus_A"})
        EXPECT_EQ(pm_sync_chorus_create(line), nullptr) << line;
}

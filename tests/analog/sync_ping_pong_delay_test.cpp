#include "analog/sync_ping_pong_delay.h"

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

// The delay in a rig: input 1 the clock, 2 and 3 the left and right audio.
struct Delay {
    std::unique_ptr<Rig> rig;
    float rate;
    TestClock clock;
    // Audio source: (absolute sample index) -> left and right input.
    std::function<void(long, float&, float&)> audio = [](long, float& l, float& r) { l = r = 0; };
    long t = 0;

    explicit Delay(float rate, const std::string& settings = "", float tempo = 120)
        : rate(rate), clock(rate, tempo) {
        t_module* m = sync_ping_pong_delay_create(std::to_string(static_cast<int>(rate)) + " 1024 Delay_A");
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
    // A unit impulse on the left input at absolute sample `at`.
    void impulse_left(long at) {
        audio = [at](long i, float& l, float& r) {
            l = i == at ? 1.0f : 0.0f;
            r = 0;
        };
    }
};

// Free delay, no low-pass (cutoff event 127 gives a coefficient of 1), all wet.
const char* kPlainEcho = "steps_param 0 sync 0 cutoff 20000 angle 1 wet 1 dry 0";

std::size_t peak_index(const std::vector<float>& x, std::size_t from, std::size_t to) {
    std::size_t best = from;
    for (std::size_t i = from; i < to && i < x.size(); ++i)
        if (std::fabs(x[i]) > std::fabs(x[best])) best = i;
    return best;
}

double sum(const std::vector<float>& x, std::size_t from, std::size_t to) {
    double s = 0;
    for (std::size_t i = from; i < to && i < x.size(); ++i)
        s += x[i];
    return s;
}

struct Told : ModuleObserver {
    std::vector<int> ids;
    void told(t_module*, int id) override { ids.push_back(id); }
    bool has(int id) const { return std::find(ids.begin(), ids.end(), id) != ids.end(); }
};

} // namespace

// An impulse on the left returns after the delay on the left, then crosses to the right,
// back to the left, each echo lower by the feedback; the delay keeps its time at every rate.
TEST(SyncPingPongDelay, ImpulsePingPongsWithFeedbackAtEveryRate) {
    for (float rate : kAllRates) {
        SCOPED_TRACE(testing::Message() << rate << " Hz");
        Delay d(rate, std::string(kPlainEcho) + " delay 4410 feedback 0.5"); // 0.1 s
        d.impulse_left(0);
        const auto out = d.render(static_cast<long>(rate * 0.45));
        const double L = 0.1 * rate;
        const float send = 0.97431f; // the left send gain at angle 1
        for (int echo = 1; echo <= 4; ++echo) {
            const bool left = echo % 2 == 1;
            const std::vector<float>& hot = out[left ? 0 : 1];
            const std::vector<float>& cold = out[left ? 1 : 0];
            const auto from = static_cast<std::size_t>(L * echo - L / 2),
                       to = static_cast<std::size_t>(L * echo + L / 2);
            EXPECT_NEAR(static_cast<double>(peak_index(hot, from, to)), L * echo, 1.0) << "echo " << echo;
            EXPECT_NEAR(hot[peak_index(hot, from, to)], send * std::pow(0.5f, echo - 1), 1e-4)
                << "echo " << echo;
            EXPECT_LT(max_abs(cold, from, to - from), 1e-6f) << "echo " << echo;
        }
    }
}

// With the feedback low-pass on, each echo (its area: the low-pass passes DC) is still lower
// by the feedback, and its colour, the first echo's level at 5 kHz against DC, is the same at
// every rate.
TEST(SyncPingPongDelay, FeedbackLowPassKeepsItsColourAcrossRates) {
    double colour_44 = 0;
    for (float rate : kAllRates) {
        SCOPED_TRACE(testing::Message() << rate << " Hz");
        Delay d(rate, "steps_param 0 sync 0 cutoff 3309.29 angle 1 wet 1 dry 0 delay 4410 feedback 0.390625");
        d.impulse_left(0);
        const auto out = d.render(static_cast<long>(rate * 0.45));
        const double L = 0.1 * rate;
        double previous = 0;
        for (int echo = 1; echo <= 3; ++echo) {
            const auto from = static_cast<std::size_t>(L * echo - 2),
                       to = static_cast<std::size_t>(L * echo + L / 2);
            const double area = sum(out[echo % 2 == 1 ? 0 : 1], from, to);
            if (echo > 1) {
                EXPECT_NEAR(area / previous, 0.390625, 0.003) << "echo " << echo;
            }
            previous = area;
        }
        const auto from = static_cast<std::size_t>(L - 2), count = static_cast<std::size_t>(L / 2);
        const double colour =
            amplitude_at(out[0], from, count, 5000, rate) * count / 2 / sum(out[0], from, from + count);
        if (rate == 44100.0f)
            colour_44 = colour;
        else
            EXPECT_NEAR(colour, colour_44, colour_44 * 0.04);
    }
}

// "delay" in text is samples at 44.1 kHz, or seconds when small: 0.5 and 22050 are both
// half a second at any rate.
TEST(SyncPingPongDelay, TextDelayIsHalfASecondEitherWay) {
    for (const char* value : {"0.5", "22050"})
        for (float rate : {44100.0f, 96000.0f}) {
            SCOPED_TRACE(testing::Message() << value << " at " << rate);
            Delay d(rate, std::string(kPlainEcho) + " delay " + value);
            d.impulse_left(0);
            const auto out = d.render(static_cast<long>(rate * 0.7));
            EXPECT_NEAR(static_cast<double>(peak_index(out[0], 1, out[0].size())), 0.5 * rate, 1.0);
            EXPECT_NE(d.rig->state_text().find("delay        22050\n"), std::string::npos);
        }
}

// Locked to the clock the echo comes back after the division's length in beats at the
// clock's tempo, once the first 60 pulses have been measured and the glide has settled
// (about a second: the unmeasured clock starts a quarter note at 2 s).
TEST(SyncPingPongDelay, SyncedEchoFollowsTheClock) {
    struct Case {
        int steps;
        float tempo, rate;
        double beats;
    };
    const Case cases[] = {
        {14, 120, 44100, 1.0},  // "1": a quarter note, half a second
        {17, 100, 48000, 0.5},  // "1/2"
        {13, 90, 96000, 1.5},   // "1d"
        {20, 140, 192000, 0.25} // "1/4"
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "steps " << c.steps << " at " << c.tempo << " BPM, " << c.rate << " Hz");
        Delay d(c.rate,
                "sync 1 cutoff 20000 angle 1 wet 1 dry 0 feedback 0 steps_param " + std::to_string(c.steps),
                c.tempo);
        const long at = static_cast<long>(c.rate * 1.5); // the glide (one second) has ended
        d.impulse_left(at);
        const double expected = c.beats * 60.0 / c.tempo * c.rate;
        const auto out = d.render(at + static_cast<long>(expected * 1.5));
        const double measured = static_cast<double>(peak_index(out[0], at + 1, out[0].size()) - at);
        // The measured clock period is a whole number of samples.
        EXPECT_NEAR(measured, expected, 0.002 * expected + 2);
        EXPECT_EQ(d.rig->query(kDelaySync), 1);
    }
}

// The unmeasured clock makes a quarter note 2 s long; 60 pulses into a 120 BPM clock the
// length glides to half a second and is there within one second.
TEST(SyncPingPongDelay, LockReachesTheBeatWithinASecond) {
    Delay d(44100, "sync 1 steps_param 14 cutoff 20000 angle 1 wet 1 dry 0 feedback 0");
    const long at = 5513 + 44100; // the 60th pulse comes a quarter beat in
    d.impulse_left(at);
    const auto out = d.render(at + 30000);
    EXPECT_NEAR(static_cast<double>(peak_index(out[0], at + 1, out[0].size()) - at), 22050.0, 0.001 * 22050);
}

// Sync off by event takes the "delay" setting at once and tells the owner; steps 0 while
// locked ends the lock too; steps 1..24 start it.
TEST(SyncPingPongDelay, SyncEventsSwitchBetweenClockAndSetting) {
    Delay d(44100, "sync 1 steps_param 14 delay 4410 cutoff 20000 angle 1 wet 1 dry 0 feedback 0");
    Told told;
    d.rig->dut->observer = &told;
    d.rig->send(kDelaySync, 0);
    EXPECT_EQ(d.rig->query(kDelaySync), 0);
    EXPECT_TRUE(told.has(kDelayTime));
    d.impulse_left(0);
    auto out = d.render(8000);
    EXPECT_EQ(peak_index(out[0], 1, out[0].size()), 4410u);

    d.rig->send(kDelaySteps, 11); // "2": the lock starts again
    EXPECT_EQ(d.rig->query(kDelaySync), 1);
    EXPECT_EQ(d.rig->query(kDelaySteps), 11);
    d.rig->send(kDelaySteps, 0);
    EXPECT_EQ(d.rig->query(kDelaySync), 0);
    told.ids.clear();
    d.rig->send(kDelaySync, 1);
    EXPECT_TRUE(told.has(kDelaySteps));
    d.rig->send(kDelaySteps, 40); // beyond the table: the last entry
    EXPECT_EQ(d.rig->query(kDelaySteps), 24);
}

// Events move the settings on the controller scale and queries answer the same positions.
TEST(SyncPingPongDelay, EventsAndQueriesAgree) {
    Delay d(44100);
    struct Case {
        int id, position, answer;
    };
    const Case cases[] = {
        {kDelayCutoff, 0, 0},    {kDelayCutoff, 65, 65}, {kDelayCutoff, 127, 127}, {kDelayAngle, 0, 0},
        {kDelayAngle, 100, 100}, {kDelayFeedback, 0, 0}, {kDelayFeedback, 42, 42}, {kDelayFeedback, 127, 127},
        {kDelayTime, 90, 90},    {kDelayDry, 30, 30},    {kDelayWet, 127, 127},    {kDelayMix, 127, 127},
        {kDelayMix, 0, 0},       {kDelayOnOff, 0, 0},    {kDelayOnOff, 1, 1},
    };
    for (const Case& c : cases) {
        d.rig->send(c.id, c.position);
        EXPECT_EQ(d.rig->query(c.id), c.answer) << "id " << c.id << " at " << c.position;
    }
    d.rig->send(kDelayMix, 127);
    EXPECT_EQ(d.rig->dut->params[2].param->value(), 1.0f); // wet
    EXPECT_EQ(d.rig->dut->params[1].param->value(), 0.0f); // dry
    // No balance when both levels are 0.
    d.rig->send(kDelayWet, 0);
    EXPECT_EQ(d.rig->query(kDelayMix), 0);
    EXPECT_EQ(d.rig->query(2), -1); // not a setting of the delay
}

// Mix 0 and bypass both pass the input unchanged.
TEST(SyncPingPongDelay, DryAndBypassPassTheInput) {
    for (int id : {kDelayMix, kDelayOnOff}) {
        Delay d(48000, "delay 0.05 feedback 0.9");
        std::mt19937 gen(3);
        std::uniform_real_distribution<float> u(-1, 1);
        std::vector<float> in_l, in_r;
        d.audio = [&](long, float& l, float& r) {
            l = u(gen), r = u(gen);
            in_l.push_back(l), in_r.push_back(r);
        };
        d.render(5000);
        d.rig->send(id, 0);
        in_l.clear(), in_r.clear();
        const auto out = d.render(10000, 333);
        EXPECT_EQ(out[0], in_l) << "id " << id;
        EXPECT_EQ(out[1], in_r) << "id " << id;
    }
}

TEST(SyncPingPongDelay, SettingsTextRoundTripsAndMissingSwitchesClear) {
    Delay a(44100,
            "steps_param 9 delay 13230 feedback 0.25 cutoff 1000 angle 0.25 dry 0.8 wet 0.7 sync 1 bypass 1");
    const std::string text = a.rig->state_text();
    EXPECT_EQ(text.rfind("sync_ping_pong_delay Delay_A version 2\n{\n", 0), 0u) << text;
    for (const char* line : {"   steps_param  9\n", "   delay        13230\n", "   feedback     0.25\n",
                             "   cutoff       1000\n", "   angle        0.25\n", "   dry          0.8\n",
                             "   wet          0.7\n", "   sync         1\n", "   bypass       1\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;

    Delay b(96000);
    KelTextReader reader(text);
    module_read_state(b.rig->dut, reader);
    EXPECT_EQ(b.rig->state_text(), text);

    // No "sync" or "bypass" line: both cleared.
    b.rig->settings("feedback 0.5");
    EXPECT_EQ(b.rig->query(kDelaySync), 0);
    EXPECT_EQ(b.rig->query(kDelayOnOff), 1);
}

// Hostile text is limited to what events can set: no runaway feedback, no negative cutoff.
TEST(SyncPingPongDelay, OutOfRangeTextStaysStable) {
    Delay d(44100, "delay -3 feedback 40 cutoff -100 angle 7 wet 1e30 dry nan steps_param 1e20 sync 1");
    EXPECT_EQ(d.rig->query(kDelayFeedback), 127);
    EXPECT_EQ(d.rig->query(kDelayCutoff), 0);
    EXPECT_EQ(d.rig->query(kDelaySteps), 24);
    d.audio = [](long i, float& l, float& r) { l = r = i < 2000 ? 1.0f : 0.0f; };
    const auto out = d.render(44100 * 4);
    EXPECT_TRUE(all_finite(out[0]) && all_finite(out[1]));
    EXPECT_LT(max_abs(out[0], 0, out[0].size()), 200.0f);
}

// At every rate, with settings at both ends of their ranges, the output stays finite and
// bounded; with the presets the echoes die away to silence.
TEST(SyncPingPongDelay, StableAtEveryRateAndSilentAfterTheTail) {
    const char* extremes[] = {
        "delay 0.05 feedback 0.9921875 cutoff 20000 angle 0 wet 2 dry 2 sync 0",
        "delay 3 feedback 0.9921875 cutoff 16 angle 1 wet 2 dry 0 sync 0",
        "steps_param 24 feedback 0.9921875 cutoff 20000 angle 0.5 wet 2 dry 2 sync 1",
    };
    int count = 0;
    const char* const* presets = delay_preset_texts(&count);
    for (float rate : kAllRates) {
        SCOPED_TRACE(testing::Message() << rate << " Hz");
        for (const char* settings : extremes) {
            Delay d(rate, settings, 200);
            std::mt19937 gen(1);
            std::uniform_real_distribution<float> u(-1, 1);
            d.audio = [&](long, float& l, float& r) { l = u(gen), r = u(gen); };
            const auto out = d.render(static_cast<long>(rate * 2), 1024);
            EXPECT_TRUE(all_finite(out[0]) && all_finite(out[1])) << settings;
            EXPECT_LT(std::max(max_abs(out[0], 0, out[0].size()), max_abs(out[1], 0, out[1].size())),
                      1000.0f);
        }
        for (int p = 0; p < count; ++p) {
            Delay d(rate);
            KelTextReader reader(presets[p]);
            ASSERT_TRUE(module_read_state(d.rig->dut, reader));
            d.rig->dut->reset(d.rig->dut);
            d.audio = [&](long i, float& l, float& r) {
                l = r = i < rate * 0.2 ? std::sin(0.05f * i) : 0.0f;
            };
            const auto out = d.render(static_cast<long>(rate * 14), 1024);
            const auto tail = static_cast<std::size_t>(rate * 13);
            EXPECT_LT(max_abs(out[0], tail, out[0].size() - tail), 1e-5f) << "preset " << p;
            EXPECT_LT(max_abs(out[1], tail, out[1].size() - tail), 1e-5f) << "preset " << p;
        }
    }
}

// The block size does not change the sound.
TEST(SyncPingPongDelay, BlockSizeDoesNotMatter) {
    std::vector<std::vector<float>> first;
    for (int block : kBlocks) {
        SCOPED_TRACE(testing::Message() << "block " << block);
        Delay d(44100, "sync 1 steps_param 20 feedback 0.6 cutoff 2000 angle 0.3", 133);
        d.audio = [](long i, float& l, float& r) {
            l = std::sin(0.01f * i) * (i < 3000);
            r = 0;
        };
        const auto out = d.render(30000, block);
        if (first.empty()) first = out;
        // Equal but for the anti-denormal values, which come from a cursor shared by all.
        else
            for (int k = 0; k < 2; ++k)
                for (std::size_t i = 0; i < out[k].size(); ++i)
                    ASSERT_NEAR(out[k][i], first[k][i], 1e-12f) << "sample " << i;
    }
}

// A reset empties both lines, including the part written after the write position wrapped.
TEST(SyncPingPongDelay, ResetSilencesEverythingWritten) {
    Delay d(44100, "delay 3 feedback 0.5 sync 0");
    d.audio = [](long i, float& l, float& r) { l = r = std::sin(0.3f * i); };
    const long line = 1L << 21; // the line length at 44.1 kHz
    d.render(line - 30000, 1024);
    d.rig->dut->reset(d.rig->dut);
    d.render(44100 * 3, 1024); // wraps past the end of the line
    d.rig->dut->reset(d.rig->dut);
    d.audio = [](long, float& l, float& r) { l = r = 0; };
    const auto out = d.render(44100 * 7, 1024);
    EXPECT_LT(max_abs(out[0], 0, out[0].size()), 1e-15f);
    EXPECT_LT(max_abs(out[1], 0, out[1].size()), 1e-15f);
}

// A rate change re-sizes the lines and keeps delays, free and locked, in seconds.
TEST(SyncPingPongDelay, SampleRateChangeKeepsTheTimes) {
    Delay free_delay(44100, std::string(kPlainEcho) + " delay 2.5 feedback 0");
    free_delay.rig->dut->set_sample_rate(free_delay.rig->dut, 192000);
    free_delay.rate = 192000;
    free_delay.impulse_left(0);
    auto out = free_delay.render(192000 * 3, 1024);
    EXPECT_EQ(peak_index(out[0], 1, out[0].size()), 480000u);

    Delay locked(48000, "sync 1 steps_param 14 cutoff 20000 angle 1 wet 1 dry 0 feedback 0", 120);
    locked.render(48000 * 2, 1024); // measures the clock
    locked.rig->dut->set_sample_rate(locked.rig->dut, 96000);
    // The clock goes on at the new rate without a break.
    locked.clock.half_period *= 2, locked.clock.phase *= 2;
    locked.impulse_left(locked.t + 10);
    out = locked.render(96000, 1024);
    EXPECT_NEAR(static_cast<double>(peak_index(out[0], 11, out[0].size())) - 10, 48000.0, 4.0);
}

TEST(SyncPingPongDelay, RenderingAllocatesNothing) {
    Delay d(96000, "sync 1 steps_param 14");
    d.audio = [](long i, float& l, float& r) { l = r = std::sin(0.02f * i); };
    d.render(2048); // first blocks outside the count: the rig's vectors grow
    std::vector<float> keep_l(1024), keep_r(1024);
    mellora::test::AllocationCounter count;
    for (int b = 0; b < 300; ++b) {
        d.clock.fill(d.rig->in(1), 1024);
        for (int i = 0; i < 1024; ++i)
            d.rig->in(2)[i] = d.rig->in(3)[i] = std::sin(0.02f * static_cast<float>(i));
        d.rig->run(1024);
        if (b == 100) d.rig->send(kDelayTime, 30);
        if (b == 150) d.rig->send(kDelaySync, 0);
        if (b == 200) d.rig->dut->reset(d.rig->dut);
    }
    EXPECT_EQ(count.count(), 0u);
}

TEST(SyncPingPongDelay, MalformedDescriptorCreatesNothing) {
    for (const char* line : {"", "44100", "44100 1024", "abc 1024 Delay_A", "0 1024 Delay_A"})
        EXPECT_EQ(sync_ping_pong_delay_create(line), nullptr) << line;
}

// Every preset of an effect slot, heard through the slot: it switches the slot to the
// effect it names and that effect does what it should to a measured signal; the three
// knobs move the effect's settings around the preset's values.
#include <gtest/gtest.h>

#include "modules/tempo_division.h"
#include "tests/fx_chain/fx_chain_rig.h"

namespace {

using namespace fx_chain_test;

constexpr int kRate = 44100;

// How much the complex response changes between two stretches of the output, relative
// to its size: 0 for a fixed filter, of order 1 when delays or notches move.
double response_change(const std::vector<float>& x, const std::vector<float>& y, std::size_t t1, std::size_t t2,
                       std::size_t count) {
    double diff = 0, size = 0;
    for (double f = 200; f <= 8000; f *= std::exp2(1.0 / 12.0)) {
        const auto h1 = transfer(x, y, t1, count, f, kRate, 2048);
        const auto h2 = transfer(x, y, t2, count, f, kRate, 2048);
        diff += std::norm(h1 - h2);
        size += 0.5 * (std::norm(h1) + std::norm(h2));
    }
    return std::sqrt(diff / size);
}

// The spread in dB between the strongest and the weakest band of the response.
double ripple_db(const std::vector<float>& x, const std::vector<float>& y, std::size_t from, std::size_t count) {
    const std::vector<double> g = response_db(x, y, from, count, kRate, 200, 8000, 2048);
    return *std::max_element(g.begin(), g.end()) - *std::min_element(g.begin(), g.end());
}

class SlotPreset : public ::testing::TestWithParam<int> {};

TEST_P(SlotPreset, MakesItsEffectActiveAndAudible) {
    const int p = GetParam();
    const int entry = entry_of_preset(p);
    Chain chain(kRate);
    ASSERT_TRUE(chain.ok());
    chain.choose(p, kSlotPresets, kReverbPresets); // slot B and the reverb pass their input
    EXPECT_EQ(Chain::position_of(chain.a.wrapper, kFxWrapperPreset), p);
    EXPECT_EQ(Chain::position_of(chain.a.wrapper, kFxWrapperLabelIndex), kEntries[entry].label);

    std::vector<float> ol, or_;
    switch (entry) {
    case 0:   // chorus: a comb whose teeth move as the swept delay moves
    case 2: { // phaser: notches that move with the LFO
        const std::vector<float> l = noise(3 * kRate, 0.3f, 1), r = noise(3 * kRate, 0.3f, 2);
        chain.render(l, r, ol, or_);
        // Against a stretch a quarter of a second to two seconds later: the phaser's sweep
        // lasts about two seconds, so one of them lies near the other end of it.
        double change = 0;
        for (std::size_t t = 3 * kRate / 4; t + kRate / 4 <= 3 * kRate; t += kRate / 4)
            change = std::max(change, response_change(l, ol, kRate / 2, t, kRate / 4));
        EXPECT_GT(change, 0.2) << "the response moves over time";
        EXPECT_GT(ripple_db(l, ol, kRate / 2, kRate / 4), 6.0) << "a comb, not a flat gain";
        break;
    }
    case 1: { // ping-pong delay: the impulse comes back 22050 samples (0.5 s) later
        std::vector<float> l(2 * kRate, 0.0f), r(2 * kRate, 0.0f);
        const std::size_t at = 1000;
        l[at] = 1;
        chain.render(l, r, ol, or_);
        std::vector<float> sum(ol.size());
        for (std::size_t i = 0; i < ol.size(); ++i) sum[i] = std::fabs(ol[i]) + std::fabs(or_[i]);
        EXPECT_NEAR(ol[at], 1.0f, 1e-3f) << "the dry path";
        EXPECT_LT(peak_abs(sum, at + 50, at + 22050 - 50), 1e-4) << "nothing between the impulse and its echo";
        const double echo = peak_abs(sum, at + 22050 - 50, at + 22050 + 400);
        std::size_t onset = at + 22050 - 50;
        while (sum[onset] < 0.2 * echo) ++onset;
        EXPECT_GT(echo, 0.02) << "preset 7's 500 Hz low-pass leaves about 0.035 of the click";
        EXPECT_NEAR(static_cast<double>(onset - at), 22050.0, 30.0);
        break;
    }
    case 3: { // auto-wah: the band-pass peak rises as the input grows louder
        double peaks[2];
        const float levels[2] = {0.02f, 0.5f};
        for (int k = 0; k < 2; ++k) {
            Chain c(kRate);
            c.choose(p, kSlotPresets, kReverbPresets);
            const std::vector<float> l = noise(kRate, levels[k], 1), r = noise(kRate, levels[k], 2);
            c.render(l, r, ol, or_);
            peaks[k] = extreme_hz(l, ol, kRate / 4, kRate / 2, kRate, 100, 10000, true, 4096);
        }
        // Quiet, the peak sits near the preset's 400 Hz cutoff; loud, the envelope lifts it.
        EXPECT_NEAR(std::log2(peaks[0] / 400), 0.0, 0.25);
        EXPECT_GT(peaks[1], 1.5 * peaks[0]);
        break;
    }
    case 4: { // wah: the LFO sweeps the peak (preset 10) or the notch (preset 11)
        const std::vector<float> l = noise(2 * kRate, 0.3f, 1), r = noise(2 * kRate, 0.3f, 2);
        chain.render(l, r, ol, or_);
        double lo = 1e9, hi = 0;
        for (std::size_t t = kRate / 4; t + 4096 <= 2 * kRate; t += kRate / 16) {
            const double f = extreme_hz(l, ol, t, 4096, kRate, 150, 8000, p == 10, 1024);
            lo = std::min(lo, f);
            hi = std::max(hi, f);
        }
        // The sine LFO sweeps the preset's 600 Hz cutoff by its depth, 0.6 octaves each way.
        EXPECT_NEAR(std::log2(lo / 600), -0.6, 0.2);
        EXPECT_NEAR(std::log2(hi / 600), 0.6, 0.2);
        break;
    }
    case 5: { // distortion: a sine gains harmonics
        const std::vector<float> x = sine(kRate, 441, kRate, 0.5f);
        chain.render(x, x, ol, or_);
        const std::size_t span = 10000; // 100 whole periods of the 100-sample sine
        const double h1 = amplitude_at(ol, kRate / 2, span, 441, kRate);
        const double h2 = amplitude_at(ol, kRate / 2, span, 882, kRate);
        const double h3 = amplitude_at(ol, kRate / 2, span, 1323, kRate);
        const double in3 = amplitude_at(x, kRate / 2, span, 1323, kRate);
        EXPECT_GT(h1, 0.05);
        EXPECT_GT(std::max(h2, h3), 0.05 * h1);
        EXPECT_LT(in3, 1e-4);
        break;
    }
    }
    EXPECT_TRUE(all_finite(ol) && all_finite(or_));
}

INSTANTIATE_TEST_SUITE_P(EffectSlot, SlotPreset, ::testing::Range(0, kSlotPresets));

// Knob value v around the preset's controller position c: 0 gives 0, 1 gives c, 2 gives
// 127, linear in between. Read back from the effect itself (both sides of a pair).
TEST(SlotKnobs, ScaleTheEffectsSettingsAroundThePreset) {
    Chain chain(kRate);
    ASSERT_TRUE(chain.ok());
    struct Case {
        t_module* wrapper;
        int preset;
        t_module* left;
        t_module* right;
        const int* knobs;
    };
    std::vector<Case> cases;
    for (int p : {0, 5, 8, 9, 10, 12}) {
        const int e = entry_of_preset(p);
        cases.push_back({chain.a.wrapper, p, chain.a.left(e), chain.a.right(e), kEntries[e].knobs});
    }
    cases.push_back({chain.reverb, 0, chain.reverb_module, nullptr, kReverbKnobs});
    for (const Case& c : cases) {
        Chain::send(c.wrapper, kFxWrapperPreset, static_cast<float>(c.preset));
        for (int k = 0; k < 3; ++k) {
            SCOPED_TRACE(testing::Message() << c.left->name << " knob " << k + 1);
            const float centre = Chain::position_of(c.left, c.knobs[k]);
            ASSERT_GE(centre, 0);
            for (float v : {0.5f, 1.5f, 0.0f, 2.0f, 1.0f}) {
                Chain::send(c.wrapper, kFxWrapperParam1 + k, v * 63.5f); // knob 0..2 on 0..127
                const float want = v <= 1 ? v * centre : centre + (v - 1) * (127 - centre);
                EXPECT_NEAR(Chain::position_of(c.left, c.knobs[k]), want, 1.01f) << "knob " << v;
                if (c.right) {
                    EXPECT_NEAR(Chain::position_of(c.right, c.knobs[k]), want, 1.01f) << "knob " << v;
                }
            }
        }
    }
}

// The slot's "sync" reaches the delay's sync selector, and the delay then measures the
// master clock: an echo one division of the clock's tempo after the click, at any rate.
TEST(SlotSync, LocksTheDelayToTheMasterClock) {
    struct Case {
        int rate;
        int bpm;
        int division; // index into the shared note lengths: 17 is half a beat, 14 a beat;
                      // 0 leaves the delay free at the preset's 0.5 s
    } cases[] = {{44100, 120, 17}, {96000, 120, 17}, {48000, 90, 14}, {192000, 90, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.bpm << " BPM, division " << c.division);
        Chain chain(c.rate);
        ASSERT_TRUE(chain.ok());
        Chain::send(chain.clock, kTransportParamCoarse, static_cast<float>(c.bpm - 1));
        chain.choose(5, kSlotPresets, kReverbPresets);
        Chain::send(chain.a.wrapper, kFxWrapperSync, static_cast<float>(c.division));
        // Two seconds for the first clock measurement and the one-second glide after it.
        const std::size_t at = 2 * static_cast<std::size_t>(c.rate);
        const double want = c.division ? tempo_division_samples(c.division, c.bpm, c.rate) : 0.5 * c.rate;
        std::vector<float> l(at + static_cast<std::size_t>(1.5 * want), 0.0f), r(l.size(), 0.0f), ol, or_;
        l[at] = 1;
        chain.render(l, r, ol, or_);
        std::vector<float> sum(ol.size());
        for (std::size_t i = 0; i < ol.size(); ++i) sum[i] = std::fabs(ol[i]) + std::fabs(or_[i]);
        const double echo = peak_abs(sum, at + 50, sum.size());
        ASSERT_GT(echo, 0.05);
        std::size_t onset = at + 50;
        while (sum[onset] < 0.2 * echo) ++onset;
        EXPECT_NEAR(static_cast<double>(onset - at), want, 0.002 * want + 30);
    }
}

// A knob at 0 sends 0: the chorus's mix knob there leaves only the dry signal.
TEST(SlotKnobs, ChorusMixKnobAtZeroPassesTheDrySignal) {
    Chain chain(kRate);
    ASSERT_TRUE(chain.ok());
    chain.choose(0, kSlotPresets, kReverbPresets);
    Chain::send(chain.a.wrapper, kFxWrapperParam1, 0); // knob 1 of the chorus: "mix"
    const std::vector<float> l = noise(kRate / 2, 0.3f, 1), r = noise(kRate / 2, 0.3f, 2);
    std::vector<float> ol, or_;
    chain.render(l, r, ol, or_);
    for (std::size_t i = 0; i < l.size(); ++i) {
        ASSERT_NEAR(ol[i], l[i], 1e-6f) << i;
        ASSERT_NEAR(or_[i], r[i], 1e-6f) << i;
    }
}

} // namespace

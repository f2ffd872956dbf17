// The two effect slots placed by the topology, with real effects in them, and the
// switch of a slot: off means the dry signal exactly, and the effect stops running once
// the countdown after the last change has run out.
#include <gtest/gtest.h>

#include "tests/fx_chain/fx_chain_rig.h"

namespace {

using namespace fx_chain_test;

constexpr int kRate = 44100;
constexpr int kDistortion = 12, kWah = 10, kDelay = 5;

struct Stereo {
    std::vector<float> l, r;
};

// Noise through a fresh chain with the given presets and topology.
Stereo through(int preset_a, int preset_b, int order) {
    Chain chain(kRate);
    EXPECT_TRUE(chain.ok());
    chain.choose(preset_a, preset_b, kReverbPresets);
    Chain::send(chain.topology, kTopologyParam, static_cast<float>(order));
    const std::vector<float> l = noise(kRate, 0.4f, 1), r = noise(kRate, 0.4f, 2);
    Stereo y;
    chain.render(l, r, y.l, y.r);
    return y;
}

double rms_difference(const std::vector<float>& a, const std::vector<float>& b) {
    double s = 0;
    for (std::size_t i = 0; i < a.size(); ++i) s += (static_cast<double>(a[i]) - b[i]) * (a[i] - b[i]);
    return std::sqrt(s / static_cast<double>(a.size()));
}

TEST(TopologyChain, DistortionBeforeOrAfterWahAndBothInParallel) {
    const Stereo ab = through(kDistortion, kWah, kTopologySerialAB);
    const Stereo ba = through(kDistortion, kWah, kTopologySerialBA);
    const Stereo parallel = through(kDistortion, kWah, kTopologyParallel);
    // Each effect alone: the other slot selects nothing and passes its input.
    const Stereo dist_only = through(kDistortion, kSlotPresets, kTopologySerialAB);
    const Stereo wah_only = through(kSlotPresets, kWah, kTopologySerialAB);

    const double level = rms(ab.l, 0, ab.l.size());
    ASSERT_GT(level, 0.01);
    // Distorting the filtered noise is not filtering the distorted noise.
    EXPECT_GT(rms_difference(ab.l, ba.l), 0.1 * level);
    EXPECT_GT(rms_difference(ab.l, parallel.l), 0.1 * level);
    EXPECT_GT(rms_difference(ab.l, dist_only.l), 0.1 * level);
    for (std::size_t i = 0; i < parallel.l.size(); ++i) {
        ASSERT_NEAR(parallel.l[i], 0.5f * (dist_only.l[i] + wah_only.l[i]), 1e-5f) << i;
        ASSERT_NEAR(parallel.r[i], 0.5f * (dist_only.r[i] + wah_only.r[i]), 1e-5f) << i;
    }
}

// "on_off" 0: the slot's output is its input from the first sample on; the effect keeps
// running, unheard, until 2048 samples after the change, and not one block longer.
TEST(SlotSwitch, BypassesExactlyAndStopsTheEffectAfterTheCountdown) {
    for (int block : {256, 100, 1}) {
        SCOPED_TRACE(testing::Message() << "block " << block);
        Chain chain(kRate);
        ASSERT_TRUE(chain.ok());
        chain.choose(kDistortion, kSlotPresets, kReverbPresets);
        const std::vector<float> x = sine(4 * 4096, 441, kRate, 0.5f);
        std::size_t at = 0;
        auto step = [&] {
            std::copy_n(x.data() + at, block, chain.in(1));
            std::copy_n(x.data() + at, block, chain.in(2));
            chain.run(block);
            at += static_cast<std::size_t>(block);
        };
        while (at < 4096) step();
        // The distortion's own output returns on slot input 5.
        const float* effect_out = module_input(chain.a.wrapper, 5);
        ASSERT_NE(std::vector<float>(effect_out, effect_out + block), std::vector<float>(chain.in(1), chain.in(1) + block));

        Chain::send(chain.a.wrapper, kFxWrapperOnOff, 0);
        const int running_blocks = (2048 + block - 1) / block; // the countdown, in samples
        for (int k = 0; k < running_blocks + 3; ++k) {
            const std::vector<float> before(effect_out, effect_out + block);
            step();
            const bool ran = std::vector<float>(effect_out, effect_out + block) != before;
            EXPECT_EQ(ran, k < running_blocks) << "block " << k;
            for (int i = 0; i < block; ++i) ASSERT_EQ(chain.out(1)[i], chain.in(1)[i]) << "block " << k;
        }
        EXPECT_EQ(fx_wrapper_countdown(chain.a.wrapper), 0);
    }
}

// Switching the slot off resets its effect, so an echo still in the delay line when it
// goes off never comes back when it is on again.
TEST(SlotSwitch, OffAndOnAgainStartsTheEffectFromSilence) {
    for (bool switch_off : {false, true}) {
        Chain chain(kRate);
        ASSERT_TRUE(chain.ok());
        chain.choose(kDelay, kSlotPresets, kReverbPresets);
        std::vector<float> l(kRate, 0.0f), r(kRate, 0.0f), ol(kRate), or_(kRate);
        l[100] = 1;
        for (std::size_t at = 0; at < l.size(); at += 441) {
            if (switch_off && at == 4410) Chain::send(chain.a.wrapper, kFxWrapperOnOff, 0);
            if (switch_off && at == 8820) Chain::send(chain.a.wrapper, kFxWrapperOnOff, 1);
            std::copy_n(l.data() + at, 441, chain.in(1));
            std::copy_n(r.data() + at, 441, chain.in(2));
            chain.run(441);
            for (int i = 0; i < 441; ++i) ol[at + i] = std::fabs(chain.out(1)[i]) + std::fabs(chain.out(2)[i]);
        }
        const double echo = peak_abs(ol, 100 + 22050 - 50, 100 + 22050 + 400);
        if (switch_off)
            EXPECT_LT(echo, 1e-4);
        else
            EXPECT_GT(echo, 0.1);
    }
}

} // namespace

// Every preset of every slot at the instrument's sample rates: a loud burst leaves no
// NaN, no Inf and no runaway, and the chain falls silent after the effect's tail.
// Rendering allocates nothing.
#include <gtest/gtest.h>

#include "tests/fx_chain/fx_chain_rig.h"
#include "tests/support/alloc_counter.h"

namespace {

using namespace fx_chain_test;

// Seconds after the burst by which each preset has fallen silent (below -80 dB): the
// delays lose about 6 dB per 0.5 s pass, a reverb 80 dB in 4/3 of its decay time.
double tail_seconds(bool reverb, int preset) {
    if (reverb) return 1.5 * reverb_design_seconds(preset) + 1.5;
    return entry_of_preset(preset) == 1 ? 8.0 : 1.0;
}

class ChainAtRate : public ::testing::TestWithParam<int> {};

TEST_P(ChainAtRate, EveryPresetStableAndSilentAfterItsTail) {
    const int rate = GetParam();
    // An odd sub-block at one rate, so block edges fall everywhere.
    const int block = rate == 48000 ? 97 : kBlock;
    Chain chain(rate);
    ASSERT_TRUE(chain.ok());
    const std::size_t burst = static_cast<std::size_t>(rate) / 4;
    const std::vector<float> bl = noise(burst, 1.0f, 7), br = noise(burst, 1.0f, 8);
    for (int k = 0; k < kSlotPresets + kReverbPresets; ++k) {
        const bool reverb = k >= kSlotPresets;
        const int p = reverb ? k - kSlotPresets : k;
        SCOPED_TRACE(testing::Message() << (reverb ? "reverb preset " : "slot preset ") << p);
        if (reverb)
            chain.choose(kSlotPresets, kSlotPresets, p);
        else
            chain.choose(p, kSlotPresets, kReverbPresets);
        const std::size_t total = burst + static_cast<std::size_t>(tail_seconds(reverb, p) * rate);
        std::vector<float> l(total, 0.0f), r(total, 0.0f), ol, or_;
        std::copy(bl.begin(), bl.end(), l.begin());
        std::copy(br.begin(), br.end(), r.begin());
        chain.render(l, r, ol, or_, block);
        ASSERT_TRUE(all_finite(ol) && all_finite(or_));
        EXPECT_LT(std::max(peak_abs(ol, 0, total), peak_abs(or_, 0, total)), 8.0) << "no runaway";
        EXPECT_GT(peak_abs(ol, 0, burst), 0.05) << "the burst is heard";
        const std::size_t last = total - static_cast<std::size_t>(rate) / 10;
        EXPECT_LT(std::max(peak_abs(ol, last, total), peak_abs(or_, last, total)), 1e-4) << "silent after the tail";
    }
}

// All three knobs of the slot at an end (0 sends controller 0, 2 sends 127) push each
// preset's settings to the ends of their ranges: longest feedback, highest drive and
// resonance, slowest decay. The tails may then ring for long; they must not grow.
class KnobEndsAtRate : public ::testing::TestWithParam<int> {};

TEST_P(KnobEndsAtRate, EveryPresetStableWithItsKnobsAtBothEnds) {
    const int rate = GetParam();
    Chain chain(rate);
    ASSERT_TRUE(chain.ok());
    const std::size_t burst = static_cast<std::size_t>(rate) / 4, total = 2 * static_cast<std::size_t>(rate);
    std::vector<float> l(total, 0.0f), r(total, 0.0f), ol, or_;
    const std::vector<float> bl = noise(burst, 1.0f, 7), br = noise(burst, 1.0f, 8);
    std::copy(bl.begin(), bl.end(), l.begin());
    std::copy(br.begin(), br.end(), r.begin());
    for (float knob : {0.0f, 127.0f}) {
        for (int k = 0; k < kSlotPresets + kReverbPresets; ++k) {
            const bool reverb = k >= kSlotPresets;
            const int p = reverb ? k - kSlotPresets : k;
            SCOPED_TRACE(testing::Message() << (reverb ? "reverb preset " : "slot preset ") << p << ", knobs " << knob);
            t_module* slot = reverb ? chain.reverb : chain.a.wrapper;
            if (reverb)
                chain.choose(kSlotPresets, kSlotPresets, p);
            else
                chain.choose(p, kSlotPresets, kReverbPresets);
            for (int id : {kFxWrapperParam1, kFxWrapperParam2, kFxWrapperParam3}) Chain::send(slot, id, knob);
            chain.render(l, r, ol, or_);
            ASSERT_TRUE(all_finite(ol) && all_finite(or_));
            const double first_half = std::max(peak_abs(ol, 0, total / 2), peak_abs(or_, 0, total / 2));
            const double last_quarter =
                std::max(peak_abs(ol, total - total / 4, total), peak_abs(or_, total - total / 4, total));
            EXPECT_LT(first_half, 100.0) << "no runaway";
            EXPECT_LE(last_quarter, first_half) << "the tail does not grow";
            // Back to the preset's own values for the next one.
            for (int id : {kFxWrapperParam1, kFxWrapperParam2, kFxWrapperParam3}) Chain::send(slot, id, 63.5f);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, ChainAtRate, ::testing::Values(44100, 48000, 96000, 192000));
INSTANTIATE_TEST_SUITE_P(LowestAndHighestRate, KnobEndsAtRate, ::testing::Values(44100, 192000));

TEST(ChainRender, AllocatesNothingWithAnyPreset) {
    Chain chain(44100);
    ASSERT_TRUE(chain.ok());
    const std::vector<float> x = noise(kBlock, 0.5f);
    for (int k = 0; k < kSlotPresets + kReverbPresets; ++k) {
        const bool reverb = k >= kSlotPresets;
        if (reverb)
            chain.choose(5, 12, k - kSlotPresets); // delay and distortion before the reverb
        else
            chain.choose(k, (k + 5) % kSlotPresets, 0);
        Chain::send(chain.topology, kTopologyParam, static_cast<float>(k % 3));
        mellora::test::AllocationCounter counter;
        for (int b = 0; b < 8; ++b) {
            std::copy(x.begin(), x.end(), chain.in(1));
            std::copy(x.begin(), x.end(), chain.in(2));
            chain.run(b % 2 ? kBlock : 333);
            Chain::send(chain.a.wrapper, kFxWrapperParam1, static_cast<float>(16 * b));
        }
        EXPECT_EQ(counter.count(), 0u) << "preset " << k;
    }
}

} // namespace

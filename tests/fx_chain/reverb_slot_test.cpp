// The reverb slot's nine presets, heard through the slot: the impulse response decays
// at the rate each preset's "decay" asks for.
#include <gtest/gtest.h>

#include "tests/fx_chain/fx_chain_rig.h"

namespace {

using namespace fx_chain_test;

constexpr int kRate = 44100;

// Reverberation time from the backward-integrated energy of y after `from`: the time the
// curve takes from -5 to -25 dB, times three (a T20 estimate of the 60 dB decay).
double rt60(const std::vector<float>& y, std::size_t from, double rate) {
    std::vector<double> tail(y.size() + 1, 0.0);
    for (std::size_t i = y.size(); i-- > from;) tail[i] = tail[i + 1] + static_cast<double>(y[i]) * y[i];
    const double total = tail[from];
    std::size_t t5 = from, t25 = from;
    while (t5 < y.size() && tail[t5] > total * std::pow(10.0, -0.5)) ++t5;
    while (t25 < y.size() && tail[t25] > total * std::pow(10.0, -2.5)) ++t25;
    return 3.0 * static_cast<double>(t25 - t5) / rate;
}

// The measured time tracks decay * ratio^1.5 (the damping low-pass shortens the bright
// presets' broadband tail a little), and between presets of one room size it scales
// with the decay setting.
TEST(ReverbSlot, DecayTimeFollowsEachPresetsDecay) {
    double measured[kReverbPresets];
    for (int p = 0; p < kReverbPresets; ++p) {
        SCOPED_TRACE(testing::Message() << "preset " << p);
        Chain chain(kRate);
        ASSERT_TRUE(chain.ok());
        chain.choose(kSlotPresets, kSlotPresets, p); // both effect slots pass their input
        const std::size_t n = static_cast<std::size_t>((1.5 * reverb_design_seconds(p) + 1) * kRate);
        std::vector<float> l(n, 0.0f), r(n, 0.0f), ol, or_;
        l[0] = r[0] = 1;
        chain.render(l, r, ol, or_);
        EXPECT_TRUE(all_finite(ol) && all_finite(or_));
        measured[p] = rt60(ol, kRate / 20, kRate); // past the dry click and early reflections
        const double design = reverb_design_seconds(p);
        EXPECT_GT(measured[p], 0.5 * design);
        EXPECT_LT(measured[p], 1.3 * design);
        EXPECT_NEAR(rt60(or_, kRate / 20, kRate), measured[p], 0.15 * measured[p]) << "both sides alike";
    }
    // Same room, longer decay setting: presets 0 and 2 (ratio 1), 6 and 7 (ratio 2).
    for (auto [longer, shorter] : {std::pair{0, 2}, std::pair{6, 7}}) {
        const double want = kReverbDecay[longer] / kReverbDecay[shorter];
        EXPECT_NEAR(measured[longer] / measured[shorter], want, 0.2 * want) << longer << " vs " << shorter;
    }
}

} // namespace

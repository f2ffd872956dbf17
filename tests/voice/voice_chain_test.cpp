// Single notes through the test-side voice chain: keyboard, mallet and damper, fork,
// pickup, equaliser and tremolo, measured on the tremolo's output.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/modules/voice_fx_rig.h"
#include "tests/voice/voice_chain.h"

using voice_chain::Chain;
using voice_fx_test::amplitude_at;
using voice_fx_test::rms;

namespace {

constexpr double kMiddleCHz = 261.6255653;

// The strongest component between lo and hi Hz, scanned in 0.1 Hz steps.
double peak_hz(const std::vector<float>& x, std::size_t from, std::size_t count, double lo, double hi,
               double rate) {
    double best = lo, best_a = -1;
    for (double f = lo; f <= hi; f += 0.1) {
        const double a = amplitude_at(x, from, count, f, rate);
        if (a > best_a) best_a = a, best = f;
    }
    return best;
}

} // namespace

TEST(VoiceChain, MiddleCRingsAt261HzAndDecaysAfterRelease) {
    const int rate = 44100;
    Chain c(4, rate);
    ASSERT_TRUE(c.ok());
    c.on(60);
    c.render(rate);
    c.off(60);
    c.render(2 * rate);
    const std::vector<float>& y = c.left();
    const std::size_t window = rate / 2, from = rate / 5;
    EXPECT_NEAR(peak_hz(y, from, window, 240, 285, rate), kMiddleCHz, 0.3);
    // The fundamental, not an octave below it.
    const double fundamental = amplitude_at(y, from, window, kMiddleCHz, rate);
    EXPECT_GT(fundamental, 1e-3);
    EXPECT_GT(fundamental, 20 * amplitude_at(y, from, window, kMiddleCHz / 2, rate));
    // After the key goes up the dampers stop the note within a fraction of a second.
    const std::size_t ms = rate / 1000;
    const double held = rms(y, 900 * ms, 50 * ms);
    const double r1 = rms(y, 1050 * ms, 50 * ms), r2 = rms(y, 1200 * ms, 50 * ms),
                 r3 = rms(y, 1500 * ms, 50 * ms);
    EXPECT_LT(r1, held * 0.1);
    EXPECT_LT(r2, r1 * 0.1);
    EXPECT_LT(r3, r2 * 0.1);
    // The silent voice was handed back.
    EXPECT_EQ(c.block().active_count, 0);
}

TEST(VoiceChain, TwoNotesUseTwoVoices) {
    const int rate = 44100;
    Chain c(4, rate);
    ASSERT_TRUE(c.ok());
    c.on(60);
    c.on(67);
    c.render(rate / 2);
    EXPECT_EQ(c.block().active_count, 2);
    const double fifth = kMiddleCHz * std::exp2(7.0 / 12);
    const std::size_t from = rate / 10, window = rate / 4;
    const double a = amplitude_at(c.left(), from, window, kMiddleCHz, rate);
    const double b = amplitude_at(c.left(), from, window, fifth, rate);
    EXPECT_GT(a, 1e-3);
    EXPECT_GT(b, 1e-3);
    EXPECT_GT(a, 20 * amplitude_at(c.left(), from, window, (kMiddleCHz + fifth) / 2, rate));
    c.off(60);
    c.off(67);
    // The silence detector's follower moves once per sub-block while it hears the
    // note, so a released voice is handed back a few seconds later.
    c.render(4 * rate);
    EXPECT_EQ(c.block().active_count, 0);
}

TEST(VoiceChain, FiniteSamePitchAndSilentAtEveryRateWithoutAllocating) {
    for (int rate : {44100, 48000, 96000, 192000}) {
        SCOPED_TRACE(rate);
        Chain c(2, rate);
        ASSERT_TRUE(c.ok());
        c.render(rate / 100);
        c.on(60, 90);
        c.render(rate * 3 / 10);
        c.off(60);
        c.render(rate * 22 / 10);
        EXPECT_EQ(c.allocations(), 0u);
        for (const std::vector<float>* y : {&c.left(), &c.right()}) {
            EXPECT_TRUE(voice_fx_test::all_finite(*y));
            const float loud = voice_fx_test::max_abs(*y, 0, rate * 3 / 10);
            EXPECT_GT(loud, 1e-3f);
            EXPECT_LT(voice_fx_test::max_abs(*y, y->size() - rate / 5, rate / 5), loud * 1e-6f);
        }
        EXPECT_NEAR(peak_hz(c.left(), rate / 20, rate / 5, 250, 273, rate), kMiddleCHz, 0.5);
        EXPECT_EQ(c.block().active_count, 0);
    }
}

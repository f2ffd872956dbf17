// What the built-in sound sounds like, measured: pitch, velocity response, headroom
// of a full chord, and the long decay of a held note.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/instrument/instrument_fixture.h"

namespace {

using mellora::test::Instrument;
using mellora::test::rms;
using mellora::test::spectrum;

constexpr double kRate = 44100;
constexpr size_t kFft = 65536;         // 0.67 Hz bins
constexpr size_t kWindow = 16384;      // 0.37 s
constexpr size_t kAfterAttack = 4410;  // 100 ms

double equal_tempered(int key) { return 440.0 * std::pow(2.0, (key - 69) / 12.0); }

// The strongest spectral peak between lo and hi Hz, by parabolic interpolation.
double peak_between(const std::vector<double>& m, double lo, double hi, double* height = nullptr) {
    const double bin = kRate / kFft;
    size_t best = size_t(lo / bin);
    for (size_t k = size_t(lo / bin); k < size_t(hi / bin) && k + 1 < m.size(); ++k)
        if (m[k] > m[best]) best = k;
    if (height) *height = m[best];
    const double a = m[best - 1], b = m[best], c = m[best + 1];
    const double d = (a - 2 * b + c) != 0 ? 0.5 * (a - c) / (a - 2 * b + c) : 0;
    return (double(best) + d) * bin;
}

double centroid(const std::vector<double>& m, double lo, double hi) {
    const double bin = kRate / kFft;
    double s = 0, w = 0;
    for (size_t k = size_t(lo / bin); k < size_t(hi / bin); ++k) s += m[k] * k * bin, w += m[k];
    return s / w;
}

std::vector<float> play(int key, int velocity, int frames = 44100) {
    Instrument in(4);
    EXPECT_TRUE(in.ok);
    in.note(key, velocity);
    in.render(frames);
    return in.left;
}

TEST(MelloraSound, EachKeySoundsItsToneBarPitch) {
    // The tone bar's frequency is the key's equal-tempered pitch; its partial leads the
    // low end of the spectrum, nothing below it, and higher keys sound higher.
    double previous = 0;
    for (int key : {48, 60, 72, 84}) {
        const double f0 = equal_tempered(key);
        const std::vector<double> m = spectrum(play(key, 64), kAfterAttack, kWindow, kFft);
        double strongest = 0, below = 0;
        const double f = peak_between(m, f0 / 1.5, f0 * 1.5, &strongest);
        EXPECT_NEAR(f, f0, f0 * 0.003) << "key " << key;
        peak_between(m, 30, f0 / 1.5, &below);
        EXPECT_LT(below, 0.1 * strongest) << "key " << key << ": nothing sounds below the tone bar";
        EXPECT_GT(f, previous * 1.9) << "key " << key;
        previous = f;
        if (key == 60) {
            double overall = 0;
            peak_between(m, 30, 8000, &overall);
            EXPECT_EQ(overall, strongest) << "middle C's tone bar is its strongest partial";
            EXPECT_NEAR(f, 261.6, 0.8);
        }
    }
}

TEST(MelloraSound, AHarderStrikeIsLouderAndBrighter) {
    const std::vector<float> soft = play(60, 40), hard = play(60, 127);
    EXPECT_GT(rms(hard, kAfterAttack, kAfterAttack + kWindow), 2.0 * rms(soft, kAfterAttack, kAfterAttack + kWindow));
    const double c_soft = centroid(spectrum(soft, kAfterAttack, kWindow, kFft), 50, 10000);
    const double c_hard = centroid(spectrum(hard, kAfterAttack, kWindow, kFft), 50, 10000);
    EXPECT_GT(c_hard, 1.3 * c_soft) << c_soft << " Hz against " << c_hard << " Hz";
}

TEST(MelloraSound, AFullChordStaysWithinFullScale) {
    Instrument in(32);
    ASSERT_TRUE(in.ok);
    for (int k = 0; k < 32; ++k) in.note(36 + 2 * k, 127);
    in.render(2 * 44100);
    EXPECT_EQ(in.synth.voice_block().active_count, 32);
    float peak = 0;
    for (const std::vector<float>* ch : {&in.left, &in.right})
        for (float x : *ch) {
            ASSERT_TRUE(std::isfinite(x));
            peak = std::fmax(peak, std::fabs(x));
        }
    EXPECT_LE(peak, 1.0f);
    EXPECT_GT(peak, 0.05f) << "the chord is heard";
}

TEST(MelloraSound, AHeldNoteDiesAwayAndItsVoiceStopsAfterRelease) {
    Instrument in(4);
    ASSERT_TRUE(in.ok);
    in.note(60, 100);
    in.render(60 * 44100, 4096);
    const size_t held = in.left.size();
    const double start = rms(in.left, kAfterAttack, kAfterAttack + 44100);
    const double end = rms(in.left, held - 44100, held);
    EXPECT_LT(end, start * 1e-3) << "the tone bar rings down while the key is held";
    EXPECT_EQ(in.synth.voice_block().active_count, 1) << "a held key keeps its voice";
    in.note(60, 0);
    in.render(8 * 44100, 4096);
    EXPECT_EQ(in.synth.voice_block().active_count, 0);
    EXPECT_FALSE(in.synth.voice_block().voices[0].active);
    EXPECT_FALSE(in.synth.effect_chain_active());
    for (size_t i = in.left.size() - 44100; i < in.left.size(); ++i)
        ASSERT_TRUE(in.left[i] == 0.0f && in.right[i] == 0.0f) << "digital silence at " << i;
}

} // namespace

#pragma once
// Measurements for the slot effects (wah, auto-wah, distortion, phaser): a noise
// source, the gain of a module's response at a frequency estimated from its input and
// output (averaged cross-spectrum, so a noise input gives a clean answer), the peak and
// the notches of that response, and the stability sweep every effect runs.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/modules/voice_fx_rig.h"

namespace effect_test {

using voice_fx_test::Rig;

// Uniform white noise in -amplitude..+amplitude from a fixed seed.
struct Noise {
    uint32_t state = 12345;
    float amplitude = 1;
    float next() {
        state = state * 1664525u + 1013904223u;
        return amplitude * (static_cast<float>(state >> 8) * (2.0f / 16777216.0f) - 1.0f);
    }
};

// |H(hz)| from input x and output y over [from, from + count): Hann-windowed segments
// of `segment` samples with half overlap, |sum X*Y| / sum |X|^2.
inline double transfer_gain(const std::vector<float>& x, const std::vector<float>& y, std::size_t from,
                            std::size_t count, double hz, double rate, std::size_t segment = 4096) {
    std::complex<double> sxy = 0;
    double sxx = 0;
    const std::complex<double> rot = std::polar(1.0, -2.0 * M_PI * hz / rate);
    for (std::size_t start = from; start + segment <= from + count; start += segment / 2) {
        std::complex<double> X = 0, Y = 0, ph = 1;
        for (std::size_t n = 0; n < segment; ++n) {
            const double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(n) / segment);
            X += w * x[start + n] * ph;
            Y += w * y[start + n] * ph;
            ph *= rot;
        }
        sxy += std::conj(X) * Y;
        sxx += std::norm(X);
    }
    return sxx > 0 ? std::abs(sxy) / sxx : 0;
}

// The frequency between lo and hi where the response is largest (or smallest, for a
// notch), on a grid of 1/96 octave refined by a parabola through the three best points.
inline double extreme_hz(const std::vector<float>& x, const std::vector<float>& y, std::size_t from,
                         std::size_t count, double rate, double lo, double hi, bool largest,
                         double* gain = nullptr) {
    const int steps = static_cast<int>(std::ceil(std::log2(hi / lo) * 96));
    std::vector<double> g(static_cast<std::size_t>(steps + 1));
    int best = 0;
    for (int k = 0; k <= steps; ++k) {
        g[k] = transfer_gain(x, y, from, count, lo * std::exp2(k / 96.0), rate);
        if (largest ? g[k] > g[best] : g[k] < g[best]) best = k;
    }
    double offset = 0;
    if (best > 0 && best < steps) {
        const double a = std::log(g[best - 1] + 1e-30), b = std::log(g[best] + 1e-30),
                     c = std::log(g[best + 1] + 1e-30);
        const double den = a - 2 * b + c;
        if (den != 0) offset = 0.5 * (a - c) / den;
    }
    if (gain) *gain = g[best];
    return lo * std::exp2((best + offset) / 96.0);
}

inline bool bounded(const std::vector<float>& x, float limit) {
    for (float v : x)
        if (!std::isfinite(v) || std::fabs(v) > limit) return false;
    return true;
}

// One effect under the sweep: how to make it at a rate, which input carries audio,
// the settings to try (each a settings body), how loud its output may get and how long
// its tail may ring.
struct SweepCase {
    std::function<t_module*(float rate)> make;
    int audio_input = 1;
    std::vector<std::string> settings;
    float limit = 100;
    double tail_seconds = 1.0;
    bool check_silence = true;
};

// Loud noise, then silence: finite and bounded throughout, silent after the tail, at
// every rate and block size.
inline void stability_sweep(const SweepCase& sweep) {
    for (float rate : voice_fx_test::kRates) {
        for (const std::string& body : sweep.settings) {
            for (int block : voice_fx_test::kBlocks) {
                SCOPED_TRACE(testing::Message()
                             << "rate " << rate << ", block " << block << ", settings " << body);
                t_module* m = sweep.make(rate);
                ASSERT_NE(m, nullptr);
                Rig rig(m);
                rig.settings(body);
                Noise noise;
                const int loud = static_cast<int>(rate * 0.5),
                          quiet = static_cast<int>(rate * sweep.tail_seconds);
                int done = 0;
                std::vector<float> out = rig.render(loud + quiet, block, [&](int, int n) {
                    for (int k = 1; k <= m->input_count; ++k)
                        std::fill(rig.in(k), rig.in(k) + n, 0.0f);
                    for (int i = 0; i < n; ++i)
                        rig.in(sweep.audio_input)[i] = done + i < loud ? noise.next() : 0.0f;
                    done += n;
                })[0];
                ASSERT_TRUE(bounded(out, sweep.limit))
                    << "peak " << voice_fx_test::max_abs(out, 0, out.size());
                const std::size_t last = static_cast<std::size_t>(rate * 0.05);
                if (sweep.check_silence) {
                    EXPECT_LT(voice_fx_test::max_abs(out, out.size() - last, last), 1e-6f);
                }
            }
        }
    }
}

// A NaN and an infinity on `input` (the audio, or a modulation input) must not leave
// the module or stay in its memories: the output is finite throughout and the effect
// works again on the next blocks.
inline void expect_recovers_from_non_finite(t_module* m, int audio_input, int input,
                                            const std::string& body) {
    Rig rig(m);
    rig.settings(body);
    Noise noise;
    noise.amplitude = 0.5f;
    int done = 0;
    std::vector<float> out = rig.render(8 * 512, 512, [&](int, int n) {
        for (int k = 1; k <= m->input_count; ++k)
            std::fill(rig.in(k), rig.in(k) + n, 0.0f);
        for (int i = 0; i < n; ++i)
            rig.in(audio_input)[i] = noise.next();
        if (done == 1024) rig.in(input)[100] = NAN, rig.in(input)[200] = INFINITY;
        done += n;
    })[0];
    EXPECT_TRUE(voice_fx_test::all_finite(out));
    EXPECT_GT(voice_fx_test::rms(out, out.size() - 1024, 1024), 1e-3);
}

} // namespace effect_test

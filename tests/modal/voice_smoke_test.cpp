// Mallet, damper and fork wired as one voice, at every sample rate and block size the
// host may use: finite, silent after the tail, and no allocation while rendering.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "modal/fork.h"
#include "modules/mallet.h"
#include "modules/noise_damper.h"
#include "tests/modules/voice_rig.h"

namespace {

void read_settings(t_module* m, const std::string& settings) {
    const std::string text = settings + " }";
    KelTextReader in(text);
    m->read_parameters(m, in);
}

} // namespace

TEST(VoiceSmoke, FiniteAndSilentAfterTheTailAtEveryRateAndBlockSize) {
    for (double rate : {44100.0, 48000.0, 96000.0, 192000.0}) {
        for (int block : {1, 37, 1024}) {
            SCOPED_TRACE(std::to_string(rate) + " Hz, block " + std::to_string(block));
            const long n = static_cast<long>(rate * 2.5);
            const long down = static_cast<long>(rate * 0.01), up = static_cast<long>(rate * 0.4);
            // Sources: gate, pitch, velocity, modulation.
            voice_test::Rig rig(4, n);
            const std::string r = std::to_string(static_cast<int>(rate));
            t_module* mallet = rig.add(mallet_create(r + " 512 100. 1 mallet0"));
            t_module* damper = rig.add(noise_damper_create(r + " 512 100. 0 noise_damper0"));
            t_module* sum = rig.add_sum(2);
            t_module* fork = rig.add(fork_create(r + " 512 fork0"));
            ASSERT_TRUE(mallet && damper && fork);
            read_settings(mallet, "cutoff 367.26 strength 0.257812 felt_coeff 0.34 mod1 1 mod2 3.86928 mod3 2");
            read_settings(damper, "cutoff 54.5395 strength 0.115478 balance 0.795276");
            read_settings(fork,
                          "release_time 0.750324 damping_tone 0.809462 amplitude_tone 0.463047 damping_tine 10.2198"
                          " damp_freq_tine 1.15625 amplitude_tine 0.253003 tine_balance 0.448819 noise_pitch 1.56299"
                          " damping_noise 81.106 damp_freq_noise 0.78125 amplitude_noise 0.0504807 old_new 0");
            for (int k = 1; k <= 4; ++k) rig.feed(k, mallet, k);
            rig.feed(1, damper, 1);
            rig.feed(2, damper, 3);
            rig.connect(damper, 1, sum, 1);
            rig.connect(mallet, 1, sum, 2);
            rig.feed(1, fork, 1);
            rig.connect(sum, 1, fork, 2);
            rig.feed(2, fork, 3);
            rig.finish({mallet, damper, fork});

            std::fill(rig.signal(1).begin() + down, rig.signal(1).begin() + up, 1.0f);
            // A glide while the key is held keeps the fork's control-rate updates busy.
            for (long i = 0; i < n; ++i) rig.signal(2)[i] = i < up ? 0.5f * i / up : 0.5f;
            std::fill(rig.signal(3).begin(), rig.signal(3).end(), 0.6f);
            std::fill(rig.signal(4).begin(), rig.signal(4).end(), 0.3f);
            rig.render_all(block);

            EXPECT_EQ(rig.allocations(), 0u);
            const long tail = n - static_cast<long>(rate * 0.2);
            for (std::size_t w = 0; w < 3; ++w) {
                SCOPED_TRACE(w);
                const std::vector<float>& y = rig.output(w);
                ASSERT_EQ(static_cast<long>(y.size()), n);
                EXPECT_TRUE(voice_test::all_finite(y));
                const float loud = voice_test::peak_abs(y, down, up);
                EXPECT_GT(loud, 1e-4f);
                EXPECT_LT(voice_test::peak_abs(y, tail, n), loud * 1e-6f);
            }
        }
    }
}

TEST(VoiceSmoke, AbsurdPitchInputsStayFinite) {
    // Whatever reaches the pitch inputs, nothing that is not a number leaves the voice.
    for (float pitch : {-1000.0f, -25.0f, 0.0f, 12.0f, 1000.0f, std::nanf("")}) {
        SCOPED_TRACE(pitch);
        const long n = 20000;
        voice_test::Rig rig(3, n);
        t_module* mallet = rig.add(mallet_create("44100 512 100. 1 mallet0"));
        t_module* damper = rig.add(noise_damper_create("44100 512 100. 1 noise_damper0"));
        t_module* fork = rig.add(fork_create("44100 512 fork0"));
        read_settings(mallet, "mod1 4 mod2 4 mod3 4");
        for (int k = 1; k <= 3; ++k) rig.feed(k, mallet, k);
        rig.feed(1, damper, 1);
        rig.feed(2, damper, 3);
        rig.feed(1, fork, 1);
        rig.connect(mallet, 1, fork, 2);
        rig.feed(2, fork, 3);
        rig.finish({mallet, damper, fork});
        std::fill(rig.signal(1).begin() + 100, rig.signal(1).begin() + 10000, 1.0f);
        std::fill(rig.signal(2).begin(), rig.signal(2).end(), pitch);
        std::fill(rig.signal(3).begin(), rig.signal(3).end(), 0.5f);
        rig.render_all(1024);
        for (std::size_t w = 0; w < 3; ++w) EXPECT_TRUE(voice_test::all_finite(rig.output(w))) << w;
    }
}

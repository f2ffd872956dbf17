// The fork measured from its output: resonator frequencies, decays, the excitation's
// differencing, angle limits, the control-rate updates, events and the settings text.
#include "modal/fork.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/modules/voice_rig.h"

using voice_test::Rig;
using voice_test::zero_crossing_hz;

namespace {

constexpr double kPi = 3.14159265358979;

// Settings that leave one resonator sounding, with a slow key-down decay.
const char* kToneOnly = "amplitude_tone 1 damping_tone 1 amplitude_tine 0 amplitude_noise 0 old_new 0";
const char* kTineOnly = "amplitude_tone 0 amplitude_tine 1 tine_balance 0 damping_tine 1 amplitude_noise 0 old_new 0";
const char* kUpperOnly = "amplitude_tone 0 amplitude_tine 1 tine_balance 1 damping_tine 1 amplitude_noise 0 old_new 0";
const char* kNoiseOnly = "amplitude_tone 0 amplitude_tine 0 amplitude_noise 1 damping_noise 1";

t_module* make_fork(double rate, const std::string& settings) {
    t_module* f = fork_create(std::to_string(static_cast<int>(rate)) + " 512 fork0");
    if (f && !settings.empty()) {
        const std::string text = settings + " }";
        KelTextReader in(text);
        f->read_parameters(f, in);
    }
    return f;
}

// Gate (1), excitation (2), pitch (3) from the script into a fork.
struct ForkRig {
    Rig rig;
    t_module* fork;
    ForkRig(double rate, const std::string& settings, long length) : rig(3, length) {
        fork = rig.add(make_fork(rate, settings));
        for (int k = 1; k <= 3; ++k) rig.feed(k, fork, k);
        rig.finish(fork);
    }
    std::vector<float>& gate() { return rig.signal(1); }
    std::vector<float>& excitation() { return rig.signal(2); }
    std::vector<float>& pitch() { return rig.signal(3); }
    void key(long from, long to) { std::fill(gate().begin() + from, gate().begin() + to, 1.0f); }
    void all_pitch(float p) { std::fill(pitch().begin(), pitch().end(), p); }
};

void send(t_module* m, int id, float c) {
    t_message msg = make_float_message(m->id, id, c);
    m->receive_message(m, &msg);
}

int query(t_module* m, int id) {
    t_message msg;
    EXPECT_EQ(m->get_message(m, id, &msg), 0);
    return msg.value.i;
}

} // namespace

TEST(Fork, ResonatorFrequencies) {
    const double tine_new = 12081.971 / (2 * kPi), tine_old = 10257.347 / (2 * kPi), tine_unset = 11671.02 / (2 * kPi);
    struct Case {
        const char* what;
        std::string settings;
        double rate;
        float pitch;
        double hz;
    } cases[] = {
        {"tone bar", kToneOnly, 44100, 0, 261.62},
        {"tone bar at 96 kHz", kToneOnly, 96000, 0, 261.62},
        {"tone bar at 192 kHz", kToneOnly, 192000, 0, 261.62},
        {"tone bar follows the key", kToneOnly, 44100, 1, 523.24},
        {"tine, new", kTineOnly, 44100, 0, tine_new},
        {"tine, old", std::string(kTineOnly) + " old_new 1", 44100, 0, tine_old},
        {"tine, text without old_new", "amplitude_tone 0 tine_balance 0 damping_tine 1 amplitude_noise 0", 44100, 0,
         tine_unset},
        {"tine upper partial", kUpperOnly, 44100, 0, 2.8169 * tine_new},
        {"tine follows the key", kTineOnly, 48000, -1, tine_new / 2},
        {"tone noise", kNoiseOnly, 44100, 0, 367.31},
        {"tone noise ignores the key", kNoiseOnly, 44100, 1.5f, 367.31},
        {"tone noise follows noise_pitch", std::string(kNoiseOnly) + " noise_pitch 1", 44100, 0, 734.62},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const long n = static_cast<long>(c.rate * 0.25);
        ForkRig r(c.rate, c.settings, n);
        r.key(0, n);
        r.all_pitch(c.pitch);
        r.excitation()[10] = 1;
        r.rig.render_all(1024);
        const double hz = zero_crossing_hz(r.rig.output(), 20, n, c.rate);
        EXPECT_NEAR(hz, c.hz, c.hz * 5e-4);
    }
}

TEST(Fork, SampleRateChangeKeepsPitchAndDecay) {
    // Made for 44.1 kHz, then told 96 kHz (by event 0 or by the engine's rate change).
    for (bool by_event : {true, false}) {
        SCOPED_TRACE(by_event ? "event 0" : "set_sample_rate");
        const double rate = 96000;
        const long n = static_cast<long>(rate);
        Rig rig(3, n);
        t_module* f = rig.add(make_fork(44100, std::string(kToneOnly) + " damping_tone 5"));
        if (by_event) send(f, kForkSampleRate, 96000);
        else f->set_sample_rate(f, 96000);
        for (int k = 1; k <= 3; ++k) rig.feed(k, f, k);
        rig.finish(f);
        std::fill(rig.signal(1).begin(), rig.signal(1).end(), 1.0f);
        rig.signal(2)[10] = 1;
        rig.render_all(1024);
        EXPECT_NEAR(zero_crossing_hz(rig.output(), 20, n, rate), 261.62, 0.15);
        EXPECT_NEAR(voice_test::decay_db_per_second(rig.output(), 2000, n, 960, rate), -6.0206 * 5, 6.0206 * 5 * 0.03);
    }
}

TEST(Fork, LevelDoesNotDependOnTheSampleRate) {
    // The same force (a step: the mallet's pulses are fixed in seconds, not in
    // samples) rings the tone bar equally loud at every rate.
    float reference = 0;
    for (double rate : {44100.0, 48000.0, 96000.0, 192000.0}) {
        const long n = static_cast<long>(rate * 0.05);
        ForkRig r(rate, kToneOnly, n);
        r.key(0, n);
        std::fill(r.excitation().begin() + 10, r.excitation().end(), 1.0f);
        r.rig.render_all(1024);
        const float peak = voice_test::peak_abs(r.rig.output(), 0, n);
        if (reference == 0) reference = peak;
        EXPECT_NEAR(peak, reference, reference * 0.01) << rate;
    }
    EXPECT_GT(reference, 0.0f);
}

TEST(Fork, DecayRates) {
    // Key down: the amplitude halves every 1 / (damping * 2^pitch) s, -6.02 dB each time.
    // Released: R * 2^pitch / release_time nepers per second, R by resonator.
    // Stolen (released on a pitch change): 52.80333 / 0.09 nepers per second at the old pitch.
    // The resonators pre-warp their decay by sin(theta)/theta, which shortens the decay
    // of high partials (theta in rad/sample).
    const double db_per_neper = 8.685889638;
    const double rate = 44100;
    const double tone = 2 * kPi * 261.62 / rate, tine = 12081.971 / rate, upper = tine * 2.8169;
    struct Case {
        const char* what;
        std::string settings;
        float pitch;
        bool release, steal;
        long window;
        double theta;
        double expected_db_per_s;
    } cases[] = {
        {"tone bar held", std::string(kToneOnly) + " damping_tone 2", 0, false, false, 441, tone, -6.0206 * 2},
        {"tone bar held, an octave up", std::string(kToneOnly) + " damping_tone 2", 1, false, false, 441, 2 * tone,
         -6.0206 * 4},
        {"tine held", std::string(kTineOnly) + " damping_tine 3", 0, false, false, 441, tine, -6.0206 * 3},
        {"upper partial held: 0.7 of the tine's damping", std::string(kUpperOnly) + " damping_tine 3", 0, false, false,
         441, upper, -6.0206 * 3 * 0.7},
        {"tone bar released", std::string(kToneOnly) + " release_time 2", 0, true, false, 441, tone,
         -db_per_neper * 52.80333 / 2},
        {"tine released", std::string(kTineOnly) + " release_time 1", 0, true, false, 110, tine,
         -db_per_neper * 38.33797},
        {"upper partial released", std::string(kUpperOnly) + " release_time 1", 0, true, false, 110, upper,
         -db_per_neper * 26.83658},
        {"tine stolen", kTineOnly, 0, true, true, 46, tine, -db_per_neper * 52.80333 / 0.09},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.what);
        c.expected_db_per_s *= std::sin(c.theta) / c.theta;
        const long n = static_cast<long>(rate * 1.2);
        const long release_at = 4410;
        ForkRig r(rate, c.settings, n);
        r.all_pitch(c.pitch);
        r.key(0, c.release ? release_at : n);
        // A stolen voice: the key goes up on the very sample its pitch moves.
        if (c.steal) std::fill(r.pitch().begin() + release_at, r.pitch().end(), c.pitch + 1);
        r.excitation()[10] = 1;
        r.rig.render_all(512);
        const double expected_s = std::fabs(60.0 / c.expected_db_per_s);  // time for 60 dB
        const long from = c.release ? release_at + c.window : 2000;
        const long to = std::min(n, from + static_cast<long>(expected_s * rate));
        EXPECT_NEAR(voice_test::decay_db_per_second(r.rig.output(), from, to, c.window, rate), c.expected_db_per_s,
                    std::fabs(c.expected_db_per_s) * 0.03);
        if (c.steal) {
            // Still at the old pitch while it dies.
            EXPECT_NEAR(zero_crossing_hz(r.rig.output(), release_at, release_at + 441, rate), 12081.971 / (2 * kPi), 5);
        }
    }
}

TEST(Fork, ConstantExcitationIsSilentAfterTwoSamples) {
    const long n = 4096;
    ForkRig quiet(44100, "", n);
    ForkRig struck(44100, "", n);
    for (ForkRig* r : {&quiet, &struck}) {
        r->key(2, n);  // the resonators start after two samples of a constant force
        std::fill(r->excitation().begin(), r->excitation().end(), 0.7f);
    }
    struck.excitation()[100] = 1.7f;  // the same force with one change in it
    quiet.rig.render_all(1024);
    struck.rig.render_all(1024);
    EXPECT_EQ(voice_test::peak_abs(quiet.rig.output(), 0, n), 0.0f);
    EXPECT_GT(voice_test::peak_abs(struck.rig.output(), 100, n), 1e-4f);
}

TEST(Fork, ResonatorsAboveTheirAngleLimitAreOff) {
    // The upper partial at 2.8169 * 1923 Hz leaves 0.95 pi an octave and a bit above middle C.
    auto ring = [](const std::string& settings, float pitch) {
        ForkRig r(44100, settings, 8192);
        r.key(0, 8192);
        r.all_pitch(pitch);
        r.excitation()[10] = 1;
        r.rig.render_all(1024);
        return voice_test::peak_abs(r.rig.output(), 0, 8192);
    };
    const float upper_on = ring(kUpperOnly, 1), upper_off = ring(kUpperOnly, 3);
    EXPECT_GT(upper_on, 1e-3f);
    // Only the main partial's cos(pi/2) remainder of the tine share is left.
    EXPECT_LT(upper_off, upper_on * 1e-3f);
    // Meanwhile the tone bar and the tine main partial still sound at +3 octaves.
    EXPECT_GT(ring(kToneOnly, 3), 1e-3f);
    EXPECT_GT(ring(kTineOnly, 3), 1e-3f);
    // The tone bar itself goes off above 0.9 pi (pitch > 6.25 at 44.1 kHz).
    EXPECT_EQ(ring(kToneOnly, 6.5f), 0.0f);
}

TEST(Fork, PitchChangesUpdateOnThe21SampleTick) {
    // A pitch step while the key is held reaches the sound at the next control tick:
    // within 21 samples, and on a grid of exactly 21 samples.
    const long n = 3000;
    ForkRig steady(44100, kToneOnly, n);
    steady.key(0, n);
    steady.excitation()[5] = 1;
    steady.rig.render_all(1024);
    std::vector<long> delays;
    std::vector<long> first_changes;
    for (long step_at = 1000; step_at < 1021; ++step_at) {
        ForkRig moved(44100, kToneOnly, n);
        moved.key(0, n);
        moved.excitation()[5] = 1;
        std::fill(moved.pitch().begin() + step_at, moved.pitch().end(), 0.5f);
        moved.rig.render_all(1024);
        long first = -1;
        for (long i = 0; i < n && first < 0; ++i)
            if (moved.rig.output()[i] != steady.rig.output()[i]) first = i;
        ASSERT_GE(first, step_at);
        EXPECT_LE(first - step_at, 20);
        first_changes.push_back(first);
    }
    std::sort(first_changes.begin(), first_changes.end());
    first_changes.erase(std::unique(first_changes.begin(), first_changes.end()), first_changes.end());
    ASSERT_LE(first_changes.size(), 2u);
    if (first_changes.size() == 2) {
        EXPECT_EQ(first_changes[1] - first_changes[0], 21);
    }
}

TEST(Fork, EventsReachTheSoundAtTheNextKeyChange) {
    const long n = 30000;
    ForkRig r(44100, std::string(kToneOnly) + " damping_tone 80", n);
    r.key(0, 20000);
    r.key(25000, n);
    r.excitation()[10] = 1;
    r.excitation()[10000] = 1;
    r.excitation()[25010] = 1;
    r.rig.render(5000, 1024);
    send(r.fork, kForkAmplitudeTone, 127);  // about +6 dB, while the key is held
    r.rig.render_all(1024);
    const auto& y = r.rig.output();
    const float first = voice_test::peak_abs(y, 10, 2000), held = voice_test::peak_abs(y, 10000, 12000);
    const float next_key = voice_test::peak_abs(y, 25010, 27000);
    EXPECT_NEAR(held, first, first * 1e-3);
    // Controller 127 is 10^((127.5 / 128 * 56 - 50) / 20), about +5.8 dB.
    EXPECT_NEAR(next_key / first, std::pow(10.0, ((127 / 2.0 + 64) / 128 * 56 - 50) * 0.05), 0.02);
}

TEST(Fork, EventsAndQueriesAgree) {
    t_module* f = make_fork(44100, "");
    ASSERT_NE(f, nullptr);
    for (int id : {1, 3, 11, 13, 14, 17, 20, 21, 23, 24, 37, 40}) {
        const int top = id == 40 ? 1 : 127;
        for (int c = 0; c <= top; ++c) {
            send(f, id, static_cast<float>(c));
            EXPECT_NEAR(query(f, id), c, 1) << "id " << id << " c " << c;
        }
    }
    // Every id answers; the ones the fork does not know answer 0.
    EXPECT_EQ(query(f, 99), 0);
    module_free(f);
}

TEST(Fork, SettingsTextRoundTripAndNotifications) {
    const std::string preset =
        " release_time 0.750324 damping_tone 0.809462 amplitude_tone 0.463047 damping_tine 10.2198"
        " damp_freq_tine 1.15625 amplitude_tine 0.253003 tine_balance 0.448819 noise_pitch 1.56299"
        " damping_noise 81.106 damp_freq_noise 0.78125 amplitude_noise 0.0504807 old_new 0 }";
    t_module* f = make_fork(44100, "");
    voice_test::RecordingObserver obs;
    f->observer = &obs;
    f->persistence = 1;
    KelTextReader in(preset);
    f->read_parameters(f, in);
    const std::vector<int> order = {37, 3, 1, 13, 14, 11, 17, 20, 23, 24, 21, 40};
    EXPECT_EQ(obs.told_ids, order);

    KelTextWriter out;
    f->write_parameters(f, out, "  ");
    EXPECT_EQ(out.str(),
              "   release_time     0.750324\n   damping_tone     0.809462\n   amplitude_tone   0.463047\n"
              "   damping_tine     10.2198\n   damp_freq_tine   1.15625\n   amplitude_tine   0.253003\n"
              "   tine_balance     0.448819\n   noise_pitch      1.56299\n   damping_noise    81.106\n"
              "   damp_freq_noise  0.78125\n   amplitude_noise  0.0504807\n   old_new      0\n");
    // What was written reads back to the same text in a fresh fork.
    t_module* g = make_fork(44100, out.str() + "}");
    KelTextWriter again;
    g->write_parameters(g, again, "  ");
    EXPECT_EQ(again.str(), out.str());
    module_free(f);
    module_free(g);
}

TEST(Fork, HostileSettingsTextStaysFinite) {
    ForkRig r(44100,
              "damping_tone -5 release_time -1 damp_freq_tine 1e30 amplitude_tine nan damping_tine { x } "
              "noise_pitch 1e9 amplitude_noise inf old_new",
              44100);
    r.key(0, 22050);
    r.all_pitch(2);
    r.excitation()[10] = 1;
    r.rig.render_all(333);
    EXPECT_TRUE(voice_test::all_finite(r.rig.output()));
    EXPECT_LT(voice_test::peak_abs(r.rig.output(), 40000, 44100), 1e-3f);
}

TEST(Fork, BadDescriptorIsRefused) {
    EXPECT_EQ(fork_create("44100 512"), nullptr);
    EXPECT_EQ(fork_create("-1 512 fork0"), nullptr);
    EXPECT_EQ(fork_create("abc 512 fork0"), nullptr);
}

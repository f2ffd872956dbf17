// The mallet measured from its force pulse: when it strikes, how often, how wide and
// how high the pulse is, and its events, queries and settings text.
#include "modules/mallet.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/modules/voice_rig.h"

using voice_test::Rig;

namespace {

// Gate (1), pitch (2), velocity (3), modulation (4) from the script into a mallet.
struct MalletRig {
    Rig rig;
    t_module* mallet;
    MalletRig(double rate, long length, const std::string& settings = {}) : rig(4, length) {
        mallet = rig.add(mallet_create(std::to_string(static_cast<int>(rate)) + " 512 100. 1 mallet0"));
        if (!settings.empty()) {
            const std::string text = settings + " }";
            KelTextReader in(text);
            mallet->read_parameters(mallet, in);
        }
        for (int k = 1; k <= 4; ++k) rig.feed(k, mallet, k);
        rig.finish(mallet);
    }
    void gate(long from, long to, float level = 1) {
        std::fill(rig.signal(1).begin() + from, rig.signal(1).begin() + to, level);
    }
    void fill(int k, float v) { std::fill(rig.signal(k).begin(), rig.signal(k).end(), v); }
};

// First sample of a pulse: the output leaves the idle level (~1e-18).
long onset(const std::vector<float>& y, long from = 0) {
    for (long i = from; i < static_cast<long>(y.size()); ++i)
        if (std::fabs(y[i]) > 1e-9f) return i;
    return -1;
}

// Number of separate pulses: rising crossings of half the largest peak.
int pulses(const std::vector<float>& y) {
    const float half = voice_test::peak_abs(y, 0, static_cast<long>(y.size())) * 0.5f;
    int count = 0;
    for (std::size_t i = 1; i < y.size(); ++i)
        if (y[i - 1] < half && y[i] >= half) ++count;
    return count;
}

// Width of the pulse at half its height, in seconds.
double half_width_s(const std::vector<float>& y, double rate) {
    const float half = voice_test::peak_abs(y, 0, static_cast<long>(y.size())) * 0.5f;
    long first = -1, last = -1;
    for (long i = 0; i < static_cast<long>(y.size()); ++i)
        if (y[i] >= half) {
            if (first < 0) first = i;
            last = i;
        }
    return (last - first + 1) / rate;
}

void send(t_module* m, int id, float c) {
    t_message msg = make_float_message(m->id, id, c);
    m->receive_message(m, &msg);
}

int query(t_module* m, int id) {
    t_message msg;
    EXPECT_EQ(m->get_message(m, id, &msg), 0) << id;
    return msg.value.i;
}

} // namespace

TEST(Mallet, StrikeLandsAfterThePitchDelay) {
    // trunc(111 / 2^pitch) samples after the key goes down, whatever the sample rate.
    struct Case {
        double rate;
        float pitch;
        long delay;
    } cases[] = {{44100, 0, 111}, {96000, 0, 111}, {192000, 0, 111}, {44100, 1, 55},
                 {44100, -1, 222}, {48000, 2.5f, 19}, {44100, 7, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pitch);
        MalletRig r(c.rate, 4000);
        r.fill(2, c.pitch);
        r.gate(500, 4000);
        r.rig.render_all(64);
        EXPECT_EQ(onset(r.rig.output()), 500 + c.delay);
    }
}

TEST(Mallet, OneStrikePerKeyPress) {
    struct Case {
        const char* what;
        long rise, fall;
        float level;
        int expected;
    } cases[] = {
        {"held key strikes once", 100, 40000, 1, 1},
        {"a tap shorter than the delay still strikes", 100, 130, 1, 1},
        {"exactly 0.1 is not a key", 100, 40000, 0.1f, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MalletRig r(44100, 44100);
        r.gate(c.rise, c.fall, c.level);
        r.rig.render_all(1024);
        if (c.expected == 0) EXPECT_LT(voice_test::peak_abs(r.rig.output(), 0, 44100), 1e-9f);
        else EXPECT_EQ(pulses(r.rig.output()), c.expected);
    }
    // A second press strikes again once the gate has fallen below 0.1.
    MalletRig twice(44100, 44100);
    twice.gate(100, 10000);
    twice.gate(10000, 10100, 0.05f);
    twice.gate(10100, 44100);
    twice.rig.render_all(1024);
    EXPECT_EQ(pulses(twice.rig.output()), 2);
}

TEST(Mallet, StrikeRequestByEvent) {
    MalletRig r(44100, 8192);
    send(r.mallet, kMalletStrike, 0);  // zero requests nothing
    r.rig.render(1024, 1024);
    EXPECT_LT(voice_test::peak_abs(r.rig.output(), 0, 1024), 1e-9f);
    send(r.mallet, kMalletStrike, 5);
    r.rig.render_all(1024);
    // The request acts as a key going down on the block's first sample.
    EXPECT_EQ(onset(r.rig.output()), 1024 + 111);
    EXPECT_EQ(pulses(r.rig.output()), 1);
}

TEST(Mallet, PulseShapeFollowsCutoffPitchVelocityAndModulation) {
    const std::string base = "cutoff 367.26 strength 0.257812 mod1 1 mod2 3.86928 mod3 2";
    auto strike = [&](const std::string& settings, float pitch, float velocity, float modulation) {
        MalletRig r(44100, 20000, base + " " + settings);
        r.fill(2, pitch);
        r.fill(3, velocity);
        r.fill(4, modulation);
        r.gate(100, 20000);
        r.rig.render_all(1024);
        return std::pair{half_width_s(r.rig.output(), 44100), voice_test::peak_abs(r.rig.output(), 0, 20000)};
    };
    const auto [width, height] = strike("", 0, 0.5f, 0);
    EXPECT_GT(width, 0.0002);
    EXPECT_LT(width, 0.02);
    // Four times the cutoff: the pulse narrows.
    EXPECT_LT(strike("cutoff 1469", 0, 0.5f, 0).first, width * 0.5);
    // A higher key (mod1 = 1): about half as wide an octave up.
    EXPECT_NEAR(strike("", 1, 0.5f, 0).first / width, 0.5, 0.15);
    // A softer blow (mod2 = 3.87): 2^(3.87 * 0.3) times the corner, a narrower pulse.
    EXPECT_LT(strike("", 0, 0.2f, 0).first, width * 0.6);
    // The modulation input raises the height by 2^(mod3 * m), the width stays.
    const auto [w_mod, h_mod] = strike("", 0, 0.5f, 0.5f);
    EXPECT_NEAR(h_mod / height, 2.0, 0.02);
    EXPECT_NEAR(w_mod, width, width * 0.01);
}

TEST(Mallet, EventsAndQueriesAgree) {
    t_module* m = mallet_create("44100 512 100. 1 mallet0");
    ASSERT_NE(m, nullptr);
    for (int id : {kMalletCutoff, kMalletStrength, kMalletMod1, kMalletMod2, kMalletMod3})
        for (int c = 0; c <= 127; ++c) {
            send(m, id, static_cast<float>(c));
            EXPECT_NEAR(query(m, id), c, 1) << "id " << id << " c " << c;
        }
    t_message msg;
    EXPECT_EQ(m->get_message(m, kMalletStrike, &msg), 1);  // not a setting
    // Queries clamp: 20 kHz is beyond the control's 8 kHz.
    const std::string text = "cutoff 20000 }";
    KelTextReader in(text);
    m->read_parameters(m, in);
    EXPECT_EQ(query(m, kMalletCutoff), 127);
    module_free(m);
}

TEST(Mallet, SettingsText) {
    t_module* m = mallet_create("44100 512 100. 1 mallet0");
    voice_test::RecordingObserver obs;
    m->observer = &obs;
    m->persistence = 1;
    const std::string preset = "cutoff 367.26 strength 0.257812 felt_coeff 0.9 mod1 1 mod2 3.86928 mod3 2 }";
    KelTextReader in(preset);
    m->read_parameters(m, in);
    EXPECT_EQ(obs.told_ids, (std::vector<int>{1, 2, 4, 5, 6}));
    KelTextWriter out;
    m->write_parameters(m, out, "");
    // The felt coefficient is not a setting: always written as 0.34, never read.
    EXPECT_EQ(out.str(),
              " cutoff       367.26\n strength     0.257812\n felt_coeff   0.34\n mod1         1\n"
              " mod2         3.86928\n mod3         2\n");
    t_module* copy = mallet_create("48000 512 100. 1 mallet1");
    const std::string written = out.str() + "}";
    KelTextReader back(written);
    copy->read_parameters(copy, back);
    KelTextWriter again;
    copy->write_parameters(copy, again, "");
    EXPECT_EQ(again.str(), out.str());
    module_free(m);
    module_free(copy);
}

TEST(Mallet, BadDescriptorIsRefused) {
    EXPECT_EQ(mallet_create("44100 512 100. mallet0"), nullptr);
    EXPECT_EQ(mallet_create("0 512 100. 1 mallet0"), nullptr);
    EXPECT_EQ(mallet_create(""), nullptr);
}

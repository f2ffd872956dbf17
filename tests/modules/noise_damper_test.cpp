// The damper thump measured from its output: which key edge sounds, the sustain pedal,
// the MIDI binding, events, queries and settings text.
#include "modules/noise_damper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>

#include "tests/modules/voice_rig.h"

using voice_test::Rig;

namespace {

struct FakeMidi : MidiChannelSource {
    bool omni = false;
    int channel = 0;
    bool pedal = false;
    bool is_omni() const override { return omni; }
    int receive_channel_index() const override { return channel; }
    bool sustain(int) const override { return pedal; }
};

int bind(t_module* m, MidiChannelSource* src, intptr_t flag) {
    const intptr_t args[2] = {reinterpret_cast<intptr_t>(src), flag};
    return m->control(m, kMidiBindControl, args, 2);
}

// Gate (1), hold (2), pitch (3) from the script into a damper.
struct DamperRig {
    Rig rig;
    t_module* damper;
    DamperRig(double rate, long length, const std::string& settings, const char* strength = "0") : rig(3, length) {
        damper = rig.add(noise_damper_create(std::to_string(static_cast<int>(rate)) + " 512 100. " + strength +
                                             " noise_damper0"));
        if (!settings.empty()) {
            const std::string text = settings + " }";
            KelTextReader in(text);
            damper->read_parameters(damper, in);
        }
        for (int k = 1; k <= 3; ++k) rig.feed(k, damper, k);
        rig.finish(damper);
    }
    void key(long from, long to) { std::fill(rig.signal(1).begin() + from, rig.signal(1).begin() + to, 1.0f); }
};

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

TEST(NoiseDamper, BalanceAndPedalChooseTheThumps) {
    struct Case {
        const char* what;
        float balance;
        bool pedal;
        bool down_sounds, up_sounds;
    } cases[] = {
        {"balance 0: key-down only", 0, false, true, false},
        {"balance 1: release only", 1, false, false, true},
        {"balance 0.5: both", 0.5f, false, true, true},
        {"pedal down: neither", 0.5f, true, false, false},
    };
    const long down = 1000, up = 12000, n = 24000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DamperRig r(44100, n, "cutoff 54.5395 strength 0.5 balance " + std::to_string(c.balance));
        FakeMidi midi;
        midi.pedal = c.pedal;
        ASSERT_EQ(bind(r.damper, &midi, 0), 1);
        r.key(down, up);
        r.rig.render_all(1024);
        const auto& y = r.rig.output();
        const float at_down = voice_test::peak_abs(y, down, up), at_up = voice_test::peak_abs(y, up, n);
        // A thump is loud; a suppressed one leaves only the anti-denormal floor.
        if (c.down_sounds) EXPECT_GT(at_down, 1e-3f);
        else EXPECT_LT(at_down, 1e-12f);
        if (c.up_sounds) EXPECT_GT(at_up, 1e-3f);
        else EXPECT_LT(at_up, 1e-12f);
        // The burst is positive noise, not zero-mean.
        EXPECT_GE(*std::min_element(y.begin(), y.end()), -1e-12f);
    }
}

TEST(NoiseDamper, BurstShortensWithPitch) {
    // The envelope's corner follows 2^pitch: two octaves up the thump is over sooner.
    auto length_of_burst = [](float pitch) {
        DamperRig r(48000, 24000, "cutoff 54.5395 strength 1 balance 0");
        std::fill(r.rig.signal(3).begin(), r.rig.signal(3).end(), pitch);
        r.key(100, 24000);
        r.rig.render_all(1024);
        const auto& y = r.rig.output();
        const float peak = voice_test::peak_abs(y, 0, 24000);
        long last = 0;
        for (long i = 0; i < 24000; ++i)
            if (y[i] > peak * 0.01f) last = i;
        return last - 100;
    };
    EXPECT_LT(length_of_burst(2), length_of_burst(0) / 2);
}

TEST(NoiseDamper, StrengthZeroIsSilent) {
    DamperRig r(44100, 20000, "balance 0.5");
    r.key(1000, 10000);
    r.rig.render_all(37);
    EXPECT_LT(voice_test::peak_abs(r.rig.output(), 0, 20000), 1e-15f);
}

TEST(NoiseDamper, MidiBinding) {
    t_module* d = noise_damper_create("44100 512 100. 0 noise_damper0");
    FakeMidi midi;
    EXPECT_EQ(d->query(d, kMidiChannelQuery), 17);  // unbound
    midi.channel = 3;
    EXPECT_EQ(bind(d, &midi, 1), 0);                // only flag 0 binds
    EXPECT_EQ(d->query(d, kMidiChannelQuery), 17);
    EXPECT_EQ(bind(d, &midi, 0), 1);
    EXPECT_EQ(d->query(d, kMidiChannelQuery), 4);
    // A voice is reset whenever it falls silent; it stays bound to the pedal.
    d->reset(d);
    EXPECT_EQ(d->query(d, kMidiChannelQuery), 4);
    midi.omni = true;
    EXPECT_EQ(bind(d, &midi, 0), 1);
    EXPECT_EQ(d->query(d, kMidiChannelQuery), 17);
    module_free(d);
}

TEST(NoiseDamper, EventsQueriesAndSettingsText) {
    t_module* d = noise_damper_create("44100 512 100. 0 noise_damper0");
    for (int id : {kDamperCutoff, kDamperStrength, kDamperBalance})
        for (int c = 0; c <= 127; ++c) {
            send(d, id, static_cast<float>(c));
            EXPECT_NEAR(query(d, id), c, 1) << "id " << id << " c " << c;
        }
    t_message msg;
    EXPECT_EQ(d->get_message(d, 9, &msg), 1);
    send(d, kDamperStrength, 0);  // -30 dB
    send(d, kDamperCutoff, 64);
    send(d, kDamperBalance, 64);
    KelTextWriter out;
    d->write_parameters(d, out, "");
    EXPECT_EQ(out.str(), " cutoff       " + format_float(0.25f * std::exp2(64 / 13.0f + 4)) +
                             "\n strength     0.0316228\n balance      0.5\n");

    voice_test::RecordingObserver obs;
    t_module* copy = noise_damper_create("96000 512 100. 0 noise_damper1");
    copy->observer = &obs;
    copy->persistence = 1;
    const std::string text = out.str() + "}";
    KelTextReader in(text);
    copy->read_parameters(copy, in);
    EXPECT_EQ(obs.told_ids, (std::vector<int>{1, 3, 2}));
    KelTextWriter again;
    copy->write_parameters(copy, again, "");
    EXPECT_EQ(again.str(), out.str());
    module_free(d);
    module_free(copy);
}

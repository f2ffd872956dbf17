// The voice keyboard driven with MIDI through the MIDI input state, asserting on its
// gate, pitch and velocity outputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "analog/pm_polyvkey.h"
#include "engine/report.h"
#include "modules/parameter.h"
#include "tests/analog/keyboard_rig.h"

using keyboard_test::Keyboard;

namespace {

constexpr float kSemitone = 1.0f / 12;

} // namespace

TEST(Keyboard, NoteGivesGatePitchAndVelocityAfterTheNoteGap) {
    Keyboard k;
    k.on(69, 100, 10);
    k.render(2048);
    // The gate rises 16 samples after the note-on; pitch and velocity are there at once.
    EXPECT_EQ(k.rise(0), 10 + 16);
    EXPECT_FLOAT_EQ(k.pitch(0, 10), 0.75f); // A above middle C
    EXPECT_FLOAT_EQ(k.velocity(0, 10), 100.0f / 128);
    EXPECT_EQ(k.gates_up(2000), 1);
    EXPECT_TRUE(k.block.active(0));
    EXPECT_EQ(k.block.active_count, 1);
    k.off(69, 5);
    k.render(1024);
    EXPECT_EQ(k.gate(0, 2048 + 4), 1.0f);
    EXPECT_EQ(k.gate(0, 2048 + 5), 0.0f);
    EXPECT_FLOAT_EQ(k.pitch(0, 3000), 0.75f); // the release keeps its pitch
}

TEST(Keyboard, HostBlockLongerThanASubBlock) {
    // 3000 frames render as 1024, 1024 and 952; each note acts once, at its own frame.
    Keyboard k(4);
    k.on(60, 100, 100);
    k.on(64, 100, 1500);
    k.event(2100, 0xB0, 123, 0); // all notes off, acting from the start of its sub-block
    k.on(67, 100, 2950);
    k.render(3000, 3000);
    k.render(1024);
    EXPECT_EQ(k.rise(0), 116);
    EXPECT_EQ(k.rise(0, 200), -1); // not struck again by the later sub-blocks
    EXPECT_EQ(k.rise(1), 1516);
    EXPECT_EQ(k.gates_up(2047), 2);
    EXPECT_EQ(k.gates_up(2048), 0);
    EXPECT_EQ(k.gates_up(3500), 1); // only the note after the reset
    EXPECT_NEAR(k.pitch(2, 3500), 7.0f / 12, 1e-6);
}

TEST(Keyboard, VelocityCurves) {
    const struct {
        int position;
        float expected_for_64;
    } cases[] = {{0, 1.0f}, {64, 0.5f}, {127, 0.25f}}; // curve 0, 1, 2 (controller 64 is the middle)
    for (auto c : cases) {
        Keyboard k;
        k.send(kKeyVelocityCurve, c.position);
        k.on(60, 64);
        k.render(512);
        EXPECT_FLOAT_EQ(k.velocity(0, 100), c.expected_for_64) << c.position;
    }
}

TEST(Keyboard, StolenVoiceGapsFor400SamplesAndTwoNotesUseTwoVoices) {
    Keyboard k(2);
    k.on(60);
    k.on(62, 100, 100);
    k.render(1024);
    EXPECT_EQ(k.gates_up(1000), 2);
    EXPECT_FLOAT_EQ(k.pitch(0, 1000), 0.0f);
    EXPECT_FLOAT_EQ(k.pitch(1, 1000), 2 * kSemitone);
    // A third note steals the oldest voice: its gate stays low for 400 samples.
    k.on(64, 100, 50);
    k.render(1024);
    const long at = 1024 + 50;
    EXPECT_EQ(k.gate(0, at - 1), 1.0f);
    EXPECT_EQ(k.gate(0, at), 0.0f);
    EXPECT_EQ(k.rise(0, 1024), at + 400);
    EXPECT_FLOAT_EQ(k.pitch(0, at + 400), 4 * kSemitone);
    EXPECT_EQ(k.gate(1, at + 400), 1.0f);
}

TEST(Keyboard, ReStruckSustainedNoteMovesToANewVoiceWithMixedVelocity) {
    Keyboard k(4);
    k.pedal(true);
    k.on(60, 100);
    k.render(1024);
    k.off(60);
    k.render(44100 - 1024);                  // one second after the first strike
    EXPECT_EQ(k.gate(0, k.now() - 1), 1.0f); // the pedal holds it
    k.on(60, 40);
    k.render(1024);
    const long t = k.now() - 100;
    // The old voice is released and keeps its pitch; the note sounds on another voice.
    EXPECT_EQ(k.gate(0, t), 0.0f);
    EXPECT_FLOAT_EQ(k.pitch(0, t), 0.0f);
    EXPECT_EQ(k.gates_up(t), 1);
    int voice = -1;
    for (int v = 1; v < 4; ++v)
        if (k.gate(v, t) == 1.0f) voice = v;
    ASSERT_GT(voice, 0);
    // B = 2^(-1/2) of the old velocity mixed in: 0.7071 * 100 + 0.2929 * 40 = 82.4.
    EXPECT_NEAR(k.velocity(voice, t), 82.0f / 128, 1.0f / 128);
}

TEST(Keyboard, LiftingThePedalReleasesAtTheBlockStartMostRecentLast) {
    // Mono, most recent note: if the most recent note ended first the older one would
    // sound for a moment; released last, the voice simply goes quiet.
    Keyboard k(4);
    k.send(kKeyMonoPoly, 0);
    k.pedal(true);
    k.on(60);
    k.on(64, 100, 200);
    k.off(60, 300);
    k.off(64, 400);
    k.render(1024);
    EXPECT_EQ(k.gate(0, 1000), 1.0f);
    EXPECT_FLOAT_EQ(k.pitch(0, 1000), 4 * kSemitone);
    k.pedal(false, 500); // sustain is read per block, so the lift acts at the next block
    k.render(1024);
    k.render(1024);
    EXPECT_EQ(k.gate(0, 2048), 0.0f);
    EXPECT_EQ(k.rise(0, 1024), -1);
    EXPECT_FLOAT_EQ(k.pitch(0, 3000), 4 * kSemitone);
}

TEST(Keyboard, MonophonicNotePriorities) {
    const struct {
        int mode, first, after_release;
    } cases[] = {
        {0, 64, 62}, // highest
        {1, 60, 62}, // lowest
        {2, 62, 64}, // most recent
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.mode);
        Keyboard k(4);
        k.send(kKeyMonoPoly, 0);
        k.send(kKeyVoiceMode, c.mode);
        k.on(60);
        k.on(64, 100, 10);
        k.on(62, 100, 20);
        k.render(1024);
        EXPECT_NEAR(k.pitch(0, 1000) * 12 + 60, c.first, 1e-4);
        k.off(c.first, 100);
        k.render(1024);
        EXPECT_NEAR(k.pitch(0, 2000) * 12 + 60, c.after_release, 1e-4);
        // A change of note gives a 16-sample gap on the one voice.
        EXPECT_EQ(k.gate(0, 1024 + 100), 0.0f);
        EXPECT_EQ(k.rise(0, 1024), 1024 + 100 + 16);
        EXPECT_EQ(k.gates_up(2000), 1);
        for (int n : {60, 62, 64})
            k.off(n);
        k.render(1024);
        EXPECT_EQ(k.gate(0, 3000), 0.0f);
    }
}

TEST(Keyboard, PitchBendRampsOver800SamplesToTheWheelDepth) {
    Keyboard k(4, 44100, 2.0f / 12);
    k.on(60);
    k.render(1024);
    k.bend(16383);
    k.render(2048);
    const float full = 8191.0f / 8192 * 2.0f / 12;
    EXPECT_NEAR(k.pitch(0, 1024), 0.0f, 1e-6);
    EXPECT_NEAR(k.pitch(0, 1024 + 400), full / 2, 1e-3);
    EXPECT_NEAR(k.pitch(0, 1024 + 800), full, 1e-6);
    EXPECT_NEAR(k.pitch(0, 3000), full, 1e-6);
    // Back to the centre: the pitch returns to the note's own.
    k.bend(8192);
    k.render(2048);
    EXPECT_NEAR(k.pitch(0, k.now() - 1), 0.0f, 1e-6);
}

TEST(Keyboard, UnisonFallsBackOrRaisesTheUsableVoices) {
    {
        Keyboard k(3);
        k.send(kKeyUnisonMode, 2);
        k.render(256);
        EXPECT_TRUE(k.reports.was_told(kKeyUnisonMode));
        t_message m;
        k.module()->get_message(k.module(), kKeyUnisonMode, &m);
        EXPECT_EQ(m.value.i, 1);
    }
    Keyboard k(8);
    k.send(kKeyUsableVoices, 0); // two usable voices
    k.send(kKeyUnisonMode, 2);   // needs four: one note, three copies
    k.on(60);
    k.render(4096);
    const long d = std::lround(0.005 * 44100); // default delay
    const long first = k.rise(0);
    EXPECT_EQ(first, 16);
    const float detune = 0.005f;
    const struct {
        int voice;
        long delay;
        float pitch;
    } copies[] = {{1, d, detune}, {2, 2 * d, -detune}, {3, 3 * d, 2 * detune}};
    for (auto c : copies) {
        EXPECT_EQ(k.rise(c.voice), first + c.delay) << c.voice;
        EXPECT_NEAR(k.pitch(c.voice, 4000), c.pitch, 1e-5) << c.voice;
        EXPECT_TRUE(k.block.active(c.voice));
    }
    EXPECT_EQ(k.gates_up(4000), 4);
    k.on(64); // a second note takes the only primary voice
    k.render(2048);
    EXPECT_EQ(k.gates_up(k.now() - 1), 4);
}

TEST(Keyboard, ArpeggiatorOrdersAndSteps) {
    const long step = 44100 / 5; // free running at five steps per second
    const struct {
        int order;
        std::vector<int> expected;
    } cases[] = {
        {0, {60, 61, 62, 60, 61, 62}},
        {1, {62, 61, 60, 62, 61, 60}},
        {2, {60, 61, 62, 61, 60, 61}},
        {3, {60, 61, 62, 62, 61, 60}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.order);
        Keyboard k(4);
        k.send(kKeyArpSync, 0);
        k.send(kKeyArpNoteOrder, c.order);
        k.send(kKeyArpActive, 1);
        k.render(256);
        for (int n : {60, 61, 62})
            k.on(n);
        k.render(step * 6 + step / 2);
        EXPECT_EQ(k.played(), c.expected);
        EXPECT_LE(k.gates_up(k.now() - 1), 1);
        for (int n : {60, 61, 62})
            k.off(n);
        k.render(step * 2);
        EXPECT_EQ(k.gates_up(k.now() - 1), 0);
    }
}

TEST(Keyboard, ArpeggiatorOctaveExtension) {
    const long step = 44100 / 5;
    const struct {
        int span;
        std::vector<int> expected;
    } cases[] = {
        {0, {48, 60, 48, 60}}, // downwards
        {1, {60, 72, 60, 72}}, // upwards
        {2, {48, 60, 72, 48}}, // both ways
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.span);
        Keyboard k(4);
        k.send(kKeyArpSync, 0);
        k.send(kKeyArpOctaveRange, 1);
        k.send(kKeyArpOctaveSpan, c.span);
        k.send(kKeyArpActive, 1);
        k.render(256);
        k.on(60);
        k.render(step * 4 + step / 2);
        EXPECT_EQ(k.played(), c.expected);
    }
}

TEST(Keyboard, ArpeggiatorChordAndLatch) {
    const long step = 44100 / 5;
    Keyboard k(4);
    k.send(kKeyArpSync, 0);
    k.send(kKeyArpNoteOrder, 4); // all held notes at once
    k.send(kKeyArpLatch, 1);
    k.send(kKeyArpActive, 1);
    k.render(256);
    k.on(60);
    k.on(64);
    k.render(step / 2);
    k.off(60);
    k.off(64);
    k.render(step * 2);
    // The released chord keeps playing while latched.
    EXPECT_EQ(k.played(), (std::vector<int>{60, 64, 60, 64}));
    EXPECT_EQ(k.gates_up(k.now() - step / 2), 2);
    // A new chord replaces the latched one.
    k.on(67);
    k.render(step * 2);
    const std::vector<int> later = k.played(k.now() - step * 2 + step / 2);
    ASSERT_FALSE(later.empty());
    for (int n : later)
        EXPECT_EQ(n, 67);
    k.off(67);
    k.send(kKeyArpLatch, 0); // unlatching drops the released notes
    k.render(step * 2);
    EXPECT_EQ(k.gates_up(k.now() - 1), 0);
}

TEST(Keyboard, ArpeggiatorLengthAndSilentStepsOnTheMasterClock) {
    Keyboard k(4);
    k.drive_clock = true;    // 120 BPM
    k.send(kKeyArpSync, 20); // entry 1: a quarter of a quarter note, 60 clock pulses
    k.send(kKeyArpLength, 3);
    k.send(kKeyArpStep0 + 2, 0);
    k.send(kKeyArpActive, 1);
    k.on(60);
    k.render(5 * 22050);
    // Steps 0, 1, 2 (silent), 3, 0, ...: three of every four steps sound.
    std::vector<long> starts;
    for (long t = 1; t < k.now(); ++t)
        for (int v = 0; v < 4; ++v)
            if (k.gate(v, t - 1) < 0.5f && k.gate(v, t) >= 0.5f) starts.push_back(t);
    std::sort(starts.begin(), starts.end());
    ASSERT_GE(starts.size(), 9u);
    const double sixteenth = 22050.0 / 4;
    const double gaps[] = {1, 2, 1, 1, 2, 1}; // in steps: after step 1 comes silent step 2
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(static_cast<double>(starts[i + 1] - starts[i]), gaps[i] * sixteenth, 2.0) << i;
    // During the silent step no gate is up.
    EXPECT_EQ(k.gates_up(starts[1] + static_cast<long>(sixteenth * 1.5)), 0);
}

TEST(Keyboard, HostileMidiNeverCrashesNorLeavesANoteStuck) {
    Keyboard k(8);
    std::mt19937 rng(7);
    // 1024 events in one block: strikes and releases in random order, note-offs for notes
    // never struck, running status of any value.
    for (int i = 0; i < 1024; ++i) {
        const int note = static_cast<int>(rng() % 128);
        if (rng() % 2)
            k.on(note, static_cast<int>(rng() % 128), rng() % 1024);
        else
            k.off(note, rng() % 1024);
    }
    k.render(1024);
    // Numbers out of 0..127 straight in the channel state, as a damaged input could leave them.
    MidiChannelState* cs = k.midi->channel_state(0);
    ASSERT_NE(cs, nullptr);
    k.render(1); // a block of one frame between
    const MidiNoteEvent junk[] = {{0, 300, 100}, {5, -4, 100}, {2000, 64, 9000}, {-50, 65, -3}, {7, 66, 100}};
    for (const auto& e : junk)
        cs->notes[cs->note_count++] = e;
    k.rig.run(512);
    k.midi->endOfBlock();
    for (int n = 0; n < 128; ++n)
        k.off(n);
    k.render(1024);
    EXPECT_EQ(k.gates_up(k.now() - 1), 0);
    for (const auto& o : k.outs)
        EXPECT_TRUE(voice_fx_test::all_finite(o));
    // All notes off releases whatever is held.
    for (int n = 40; n < 48; ++n)
        k.on(n);
    k.render(256);
    EXPECT_EQ(k.gates_up(k.now() - 1), 8);
    k.event(0, 0xB0, 123, 0);
    k.render(256);
    EXPECT_EQ(k.gates_up(k.now() - 1), 0);
}

TEST(Keyboard, RenderingAllocatesNothing) {
    Keyboard k(8);
    k.render(1024);
    k.send(kKeyUnisonMode, 1);
    k.send(kKeyArpActive, 1);
    k.send(kKeyArpSync, 0);
    k.send(kKeyUsableVoices, 1);
    k.send(kKeyTuningType, 1);
    k.send(kKeySemitoneDetune, 3);
    k.allocations = 0;
    for (int i = 0; i < 20; ++i) {
        k.on(50 + i);
        k.bend(i * 800);
        k.pedal(i % 3 == 0);
        if (i > 2) k.off(47 + i);
        k.render(777, 333);
    }
    EXPECT_EQ(k.allocations, 0u);
}

TEST(Keyboard, TranspositionMovesSoundingNotesAndTuningShapesPitch) {
    Keyboard k(4);
    k.on(60);
    k.render(512);
    k.send(kKeySemitoneDetune, 14); // controller 14 of -12..12 is +2
    k.render(512);
    EXPECT_NEAR(k.pitch(0, 1000), 2 * kSemitone, 1e-6);
    // Stretch widens the intervals from the reference note (A, 0.75).
    k.send(kKeySemitoneDetune, 12);
    k.send(kKeyStretch, 127);
    k.on(81);
    k.render(512);
    EXPECT_NEAR(k.pitch(1, k.now() - 1), 0.75f + 1.008f * 1.0f, 1e-5);
}

TEST(Keyboard, RandomErrorDetunesEachNoteOnWithinItsRange) {
    Keyboard k(4);
    k.send(kKeyError, 127); // up to 0.02 octave
    std::vector<float> offsets;
    for (int i = 0; i < 8; ++i) {
        k.on(60);
        k.render(256);
        offsets.push_back(k.pitch(0, k.now() - 1));
        k.off(60);
        k.render(256);
    }
    float lo = 1, hi = -1;
    for (float o : offsets)
        lo = std::min(lo, o), hi = std::max(hi, o);
    EXPECT_GE(lo, 0.0f);
    EXPECT_LT(hi, 0.02f);
    EXPECT_GT(hi - lo, 0.001f); // a fresh number for every strike
}

TEST(Keyboard, ReferenceDigitsAndVersionOneTuningText) {
    Keyboard k(4);
    auto digits = [&] {
        int d[5];
        for (int i = 0; i < 5; ++i) {
            d[i] = static_cast<int>(module_find_parameter(k.module(), kKeyRefDigit0 + i)->param->value());
        }
        return std::to_string(d[0]) + std::to_string(d[1]) + std::to_string(d[2]) + std::to_string(d[3]) +
               "." + std::to_string(d[4]);
    };
    EXPECT_EQ(digits(), "0440.0");
    // A version-1 block kept A as 442 Hz.
    std::string text = "pm_polyvkey Keyboard version 1\n{\n tuning_int 442\n tuning_dec 0\n}\n";
    KelTextReader in(text);
    ASSERT_TRUE(module_read_state(k.module(), in));
    const float fine = module_find_parameter(k.module(), kKeyTuningFine)->param->value();
    EXPECT_NEAR(fine, std::log2(442.0 / 440.0), 1e-5);
    // The conversion moves the reference to middle C: 261.63 Hz * 442 / 440.
    EXPECT_EQ(digits(), "0262.8");
    // The written text holds the named settings in order and nothing unnamed.
    KelTextWriter w;
    module_write_state(k.module(), w);
    const std::string out = w.str();
    EXPECT_NE(out.find("version 2"), std::string::npos);
    EXPECT_LT(out.find("arp_step_15"), out.find("arp_length"));
    EXPECT_LT(out.find("scala_scale"), out.find("tuning_type"));
    EXPECT_EQ(out.find("tuning_int"), std::string::npos);
    // Reading its own text back keeps the tuning.
    Keyboard again(4);
    KelTextReader back(out);
    ASSERT_TRUE(module_read_state(again.module(), back));
    EXPECT_NEAR(module_find_parameter(again.module(), kKeyTuningFine)->param->value(), fine, 1e-6);
}

TEST(Keyboard, ScalaLoadRequestAndFile) {
    Keyboard k(4);
    k.send(kKeyScalaLoad, 1);
    EXPECT_TRUE(k.reports.was_told(kKeyScalaLoad)); // the document runs the file dialog
    const std::string path = ::testing::TempDir() + "keyboard_test.scl";
    {
        std::ofstream f(path);
        f << "! test\n12 tone just\n12\n16/15\n9/8\n6/5\n5/4\n4/3\n45/32\n3/2\n8/5\n5/3\n9/5\n15/8\n2/1\n";
    }
    k.reports.told_ids.clear();
    EXPECT_TRUE(pm_polyvkey_load_scala_file(k.module(), path));
    EXPECT_TRUE(k.reports.was_told(kKeyTuningType));
    ASSERT_FALSE(k.reports.strings.empty());
    EXPECT_EQ(k.reports.strings.back().first, kKeyScalaScale);
    // Base note 69 keeps 0.75; a fifth above it is 1200 * log2(3/2) cents higher.
    EXPECT_NEAR(pm_polyvkey_pitch_table(k.module())[69], 0.75f, 1e-6);
    EXPECT_NEAR(pm_polyvkey_pitch_table(k.module())[76], 0.75f + std::log2(1.5f), 1e-5);
    {
        std::ofstream f(path);
        f << "bad\n3\n100.0 cents\n";
    }
    EXPECT_FALSE(pm_polyvkey_load_scala_file(k.module(), path));
    EXPECT_NEAR(pm_polyvkey_pitch_table(k.module())[76], 16.0f / 12, 1e-6); // equal temperament again
    std::remove(path.c_str());
}

TEST(Keyboard, ChannelQueryControlAndSetChannel) {
    Keyboard k(4);
    t_module* m = k.module();
    EXPECT_EQ(m->query(m, kKeyboardQueryChannel), 1); // followed the input's channel 1
    k.midi->setOmni(true);
    intptr_t arg = reinterpret_cast<intptr_t>(k.midi.get());
    m->control(m, kKeyboardControlMidi, &arg, 1);
    EXPECT_EQ(pm_polyvkey_get_channel(m), 17);
    pm_polyvkey_set_channel(m, 3);
    EXPECT_EQ(k.midi->hold_count(2), 1);
    k.event(0, 0x92, 60, 100); // channel 3
    k.on(62);                  // channel 1: not ours any more
    k.render(512);
    EXPECT_EQ(k.gates_up(500), 1);
    EXPECT_NEAR(k.pitch(0, 500), 0.0f, 1e-6);
    m->control(m, kKeyboardControlMidi, &arg, 1); // a set channel is kept
    EXPECT_EQ(pm_polyvkey_get_channel(m), 3);
}

TEST(Keyboard, WithoutMidiInputTheOutputsAreZero) {
    t_module* m = pm_polyvkey_create(keyboard_test::creation_line(2, 48000, 0.5f));
    ASSERT_NE(m, nullptr);
    voice_fx_test::Rig rig(m);
    for (int o = 1; o <= 6; ++o)
        std::fill_n(rig.out(o), 1024, 5.0f);
    rig.run(1024);
    for (int o = 1; o <= 6; ++o)
        EXPECT_EQ(voice_fx_test::max_abs({rig.out(o), rig.out(o) + 1024}, 0, 1024), 0.0f);
    for (const char* bad :
         {"44100 512 0.1 0 0 Keyboard", "44100 512 0.1 0 33 Keyboard", "44100 512 Keyboard"})
        EXPECT_EQ(pm_polyvkey_create(bad), nullptr) << bad;
}

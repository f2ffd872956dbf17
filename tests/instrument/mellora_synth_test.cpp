// The complete instrument: its graph and ids, the default text, and the render with
// silent voices skipped and the effect chain's tail detected.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "tests/instrument/instrument_fixture.h"
#include "tests/support/alloc_counter.h"

namespace {

using mellora::test::Instrument;
using mellora::test::rms;

// The value written after a setting's name in a block body.
float setting(const std::string& text, std::string_view name) {
    KelTextReader in(text);
    for (std::string_view t = in.next_token(); !t.empty(); t = in.next_token()) {
        if (t != name) continue;
        float v = NAN;
        parse_float(in.next_token(), v);
        return v;
    }
    return NAN;
}

TEST(MelloraSynth, NamedModulesTakeTheirFixedIds) {
    Instrument in(4, 44100, false);
    ASSERT_TRUE(in.ok);
    struct Case { const char* name; int id; } cases[] = {
        {"mo", 1}, {"mallet_add0", 2}, {"Clock", 600}, {"Keyboard", 601}, {"constant_1_pitch", 602},
        {"key_follow0", 603}, {"vel_follow0", 604}, {"key_follow_vca0", 605}, {"vel_follow_vca0", 606},
        {"adder0", 607}, {"mallet0", 608}, {"noise_damper0", 609}, {"fork0", 610}, {"pick_up0", 611},
        {"mix", 612}, {"Eq", 613}, {"Tremolo", 614}, {"Topology", 615}, {"Effect_A", 616}, {"Effect_B", 617},
        {"Reverb", 618}, {"Volume", 619}, {"Recorder", 620}, {"level_left", 621}, {"level_right", 622},
        {"stereo", 623}, {"key_follow_vca1", 3}, {"pick_up1", 10},
    };
    for (const Case& c : cases) {
        t_module* m = in.synth.module_by_id(c.id);
        ASSERT_NE(m, nullptr) << c.name;
        EXPECT_EQ(m->name, c.name);
    }
}

TEST(MelloraSynth, StateTextHoldsVoiceZeroOnlyAndSetsEveryVoice) {
    Instrument in(4);
    ASSERT_TRUE(in.ok);
    KelTextWriter text;
    ASSERT_TRUE(in.synth.write_state(1, text));
    const std::string& s = text.str();
    EXPECT_EQ(s.rfind("main_synth mo version 2", 0), 0u);
    EXPECT_NE(s.find("fork fork0 version"), std::string::npos);
    EXPECT_EQ(s.find("fork1"), std::string::npos);
    EXPECT_EQ(s.find("mallet_add"), std::string::npos);

    KelTextReader change("fork fork0 version 1 { noise_pitch 0.25 }");
    ASSERT_TRUE(in.synth.read_state(610, change, false));
    for (int v = 0; v < 4; ++v) {
        KelTextWriter one;
        in.synth.fork[v]->write_parameters(in.synth.fork[v], one, "");
        EXPECT_FLOAT_EQ(setting(one.str(), "noise_pitch"), 0.25f) << "voice " << v;
    }
}

TEST(MelloraSynth, ANoteSoundsThenItsVoiceAndTheEffectChainFallSilent) {
    Instrument in(4);
    ASSERT_TRUE(in.ok);
    in.render(4410);
    EXPECT_EQ(in.synth.voice_block().active_count, 0);
    in.note(60, 100);
    in.render(22050);
    EXPECT_EQ(in.synth.voice_block().active_count, 1);
    EXPECT_GT(rms(in.left, 4410, in.left.size()), 1e-3) << "the note is heard";
    in.note(60, 0);
    in.render(44100 * 8, 3000);  // release, then the reverb tail and its three seconds of quiet
    EXPECT_EQ(in.synth.voice_block().active_count, 0);
    EXPECT_FALSE(in.synth.effect_chain_active());
    const size_t end = in.left.size();
    for (size_t i = end - 4096; i < end; ++i) ASSERT_EQ(in.left[i] + in.right[i], 0.0f) << i;
    for (float x : in.left) ASSERT_TRUE(std::isfinite(x));
}

TEST(MelloraSynth, AParameterChangeKeepsTheChainRunning) {
    Instrument in(2);
    ASSERT_TRUE(in.ok);
    in.render(44100 * 4);  // nothing played: the chain falls asleep
    ASSERT_FALSE(in.synth.effect_chain_active());
    in.synth.set_parameter(619, 1, 64.0f);
    EXPECT_GE(in.synth.forced_tail(), 2048);
    in.render(512);
    EXPECT_TRUE(in.synth.effect_chain_active());
}

TEST(MelloraSynth, RenderAllocatesNothing) {
    Instrument in(8);
    ASSERT_TRUE(in.ok);
    in.left.reserve(1 << 20);
    in.right.reserve(1 << 20);
    for (int k : {48, 55, 60, 64, 67}) in.note(k, 90);
    in.render(3000, 3000);
    mellora::test::AllocationCounter counter;
    in.render(44100, 3000);
    EXPECT_EQ(counter.count(), 0u);
}

TEST(MelloraSynth, EveryPolyphonyAndRateBuildsAndStaysFinite) {
    for (int rate : {44100, 96000, 192000}) {
        for (int polyphony : {1, 32}) {
            Instrument in(polyphony, rate);
            ASSERT_TRUE(in.ok) << rate << " " << polyphony;
            in.note(72, 127);
            in.note(36, 1);
            in.render(rate / 4, 1024);
            for (float x : in.left) ASSERT_TRUE(std::isfinite(x) && std::fabs(x) <= 1.0f);
        }
    }
}

} // namespace

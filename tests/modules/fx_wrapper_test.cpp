#include "modules/fx_wrapper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/modules/fx_slots_rig.h"
#include "tests/support/alloc_counter.h"

using namespace fx_slots_test;

namespace {

struct ToldObserver : ModuleObserver {
    std::vector<int> told_ids;
    void told(t_module*, int id) override { told_ids.push_back(id); }
};

// A slot with two stereo effects: entry 0 a left/right pair of `first` on inner slots
// 3, 4 (label 3), entry 1 a pair of offset markers on 5, 6 (label 7). Presets: 0 and 2
// for entry 0, 1 for entry 1.
struct Slot {
    Graph g;
    t_module* w;
    t_test_fx *l0, *r0, *l1, *r1;

    explicit Slot(Shape first = Shape::gain, int preset_count = 3) {
        w = g.add(fx_wrapper_create("44100 512 4 4 " + std::to_string(preset_count) + " Slot"));
        l0 = g.add(make_fx(first, "FirstL"));
        r0 = g.add(make_fx(first, "FirstR"));
        l1 = g.add(make_fx(Shape::offset, "MarkL"));
        r1 = g.add(make_fx(Shape::offset, "MarkR"));
        Graph::loop(w, 3, l0);
        Graph::loop(w, 4, r0);
        Graph::loop(w, 5, l1);
        Graph::loop(w, 6, r1);
        g.finish(w);
        EXPECT_EQ(fx_wrapper_add_effect(w, test_spec(l0, r0, 3, 3)), 1);
        EXPECT_EQ(fx_wrapper_add_effect(w, test_spec(l1, r1, 5, 7)), 1);
        const std::string texts[3] = {preset_text("amount 96 tone 10 depth 127"), preset_text("amount 32"),
                                      preset_text("amount 32")};
        const int entries[3] = {0, 1, 0};
        for (int p = 0; p < preset_count && p < 3; ++p)
            EXPECT_EQ(fx_wrapper_add_preset(w, entries[p], texts[p].c_str()), 1);
    }
    void fill(float left, float right, int n = 64) {
        std::fill_n(g.in(1), n, left);
        std::fill_n(g.in(2), n, right);
    }
    int preset_value() {
        t_message q;
        w->get_message(w, kFxWrapperPreset, &q);
        return q.value.i;
    }
    int label() {
        t_message q;
        w->get_message(w, kFxWrapperLabelIndex, &q);
        return q.value.i;
    }
};

TEST(FxWrapper, ChoosingAPresetLoadsItsTextIntoItsEffectAndMakesItActive) {
    Slot s;
    ToldObserver obs;
    module_set_persistence(s.w, 2);
    s.w->observer = &obs;

    // The first preset was loaded when it was added.
    s.fill(0.2f, -0.4f);
    s.g.run(64);
    EXPECT_FLOAT_EQ(s.g.out(1)[10], 0.2f * 96 / 64);
    EXPECT_FLOAT_EQ(s.g.out(2)[10], -0.4f * 96 / 64);
    EXPECT_EQ(s.label(), 3);
    EXPECT_EQ(s.l1->process_calls + s.r1->process_calls, 0) << "only the active effect runs";

    Graph::send(s.w, kFxWrapperSync, 7);
    EXPECT_EQ(s.l0->sync.value(), 7);
    EXPECT_EQ(s.r0->sync.value(), 7);

    Graph::send(s.w, kFxWrapperPreset, 1);
    s.g.run(64);
    EXPECT_FLOAT_EQ(s.g.out(1)[10], 0.2f + 32.0f / 127);
    EXPECT_FLOAT_EQ(s.g.out(2)[10], -0.4f + 32.0f / 127);
    EXPECT_EQ(s.label(), 7);
    EXPECT_EQ(obs.told_ids.back(), kFxWrapperLabelIndex) << "the owner hears of the new label";
    EXPECT_EQ(s.l1->sync.value(), 7) << "the new effect receives the slot's sync";
    EXPECT_EQ(s.l0->process_calls, 1);

    // Another preset of the first effect: the same modules, the new text, both sides.
    Graph::send(s.w, kFxWrapperPreset, 2);
    s.g.run(64);
    EXPECT_FLOAT_EQ(s.g.out(1)[10], 0.2f * 32 / 64);
    EXPECT_FLOAT_EQ(s.l0->amount.value(), 32);
    EXPECT_FLOAT_EQ(s.r0->amount.value(), 32);
    EXPECT_EQ(s.label(), 3);
}

TEST(FxWrapper, APresetLoadStartsTheEffectFromSilence) {
    Slot s(Shape::delay);
    s.fill(0.5f, 0.5f);
    s.g.run(64);
    ASSERT_EQ(s.l0->z, 0.5f);
    const int resets = s.l0->resets;
    Graph::send(s.w, kFxWrapperPreset, 2);
    EXPECT_EQ(s.l0->z, 0.0f);
    EXPECT_EQ(s.r0->z, 0.0f);
    EXPECT_GT(s.l0->resets, resets);
    s.g.run(64);
    EXPECT_EQ(s.g.out(1)[0], 0.0f) << "the delay line was empty";
    EXPECT_EQ(s.g.out(1)[1], 0.5f);
}

TEST(FxWrapper, KnobsScaleTheSettingsAroundThePresetValues) {
    // The preset gives amount 80, tone 10, depth 127 (controller positions).
    const std::string text = preset_text("amount 80 tone 10 depth 127");
    Graph g;
    t_module* w = g.add(fx_wrapper_create("44100 512 2 2 1 Slot"));
    t_test_fx* l = g.add(make_fx(Shape::gain, "L"));
    t_test_fx* r = g.add(make_fx(Shape::gain, "R"));
    Graph::loop(w, 3, l);
    Graph::loop(w, 4, r);
    g.finish(w);
    ASSERT_EQ(fx_wrapper_add_effect(w, test_spec(l, r, 3)), 1);
    ASSERT_EQ(fx_wrapper_add_preset(w, 0, text.c_str()), 1);

    struct Case {
        const char* knob;
        float v;
        Parameter_T<LinearDriver, ParameterFloatValue> t_test_fx::*setting;
        float expected;
    };
    const Case cases[] = {
        {"param1", 1.0f, &t_test_fx::amount, 80},     {"param1", 0.5f, &t_test_fx::amount, 40},
        {"param1", 1.5f, &t_test_fx::amount, 103.5f}, {"param1", 0.0f, &t_test_fx::amount, 0},
        {"param1", 2.0f, &t_test_fx::amount, 127},    {"param2", 1.5f, &t_test_fx::tone, 68.5f},
        {"param3", 0.5f, &t_test_fx::depth, 63.5f},   {"param3", 2.0f, &t_test_fx::depth, 127},
    };
    for (const Case& c : cases) {
        Graph::settings(w, std::string(c.knob) + " " + std::to_string(c.v));
        EXPECT_NEAR((l->*c.setting).controller_float(), c.expected, 1e-3) << c.knob << " " << c.v;
        EXPECT_NEAR((r->*c.setting).controller_float(), c.expected, 1e-3) << c.knob << " " << c.v;
    }

    // By message: position 95.25 of 0..127 is the knob value 1.5.
    Graph::send(w, kFxWrapperParam1, 95.25f);
    EXPECT_NEAR(l->amount.controller_float(), 103.5f, 1e-3);

    // Reloading the preset takes its values as the centres again and keeps the knobs.
    Graph::settings(w, "param1 0.5 param2 1 param3 1");
    Graph::send(w, kFxWrapperPreset, 1); // selects nothing
    Graph::send(w, kFxWrapperPreset, 0);
    EXPECT_NEAR(l->amount.controller_float(), 40, 1e-3);
    EXPECT_NEAR(l->tone.controller_float(), 10, 1e-3);
}

TEST(FxWrapper, OnOffBypassesExactlyAndTheEffectRunsUnheardForTheCountdown) {
    Slot s(Shape::delay);
    std::vector<float> left(256), right(256);
    auto fill_block = [&](int b) {
        for (int i = 0; i < 256; ++i) {
            left[i] = std::sin(0.01f * static_cast<float>(b * 256 + i));
            right[i] = 0.3f * std::cos(0.013f * static_cast<float>(b * 256 + i));
        }
        std::copy(left.begin(), left.end(), s.g.in(1));
        std::copy(right.begin(), right.end(), s.g.in(2));
    };
    fill_block(0);
    s.g.run(256);
    ASSERT_NE(s.l0->z, 0.0f);

    // Switching off by event resets the effect at once and tells it it is off.
    const int resets = s.l0->resets;
    Graph::send(s.w, kFxWrapperOnOff, 0);
    EXPECT_EQ(s.l0->z, 0.0f);
    EXPECT_EQ(s.r0->z, 0.0f);
    EXPECT_EQ(s.l0->resets, resets + 1);
    EXPECT_EQ(s.l0->on_off.value(), 0);
    EXPECT_EQ(fx_wrapper_countdown(s.w), kFxWrapperCountdown);
    // Even an effect that keeps sounding when told off (a reverb's tail) is unheard.
    s.l0->on_off.set_value(1);
    s.r0->on_off.set_value(1);

    const int calls = s.l0->process_calls;
    for (int b = 1; b <= 12; ++b) {
        fill_block(b);
        s.g.run(256);
        EXPECT_EQ(std::memcmp(s.g.out(1), left.data(), 256 * sizeof(float)), 0) << "block " << b;
        EXPECT_EQ(std::memcmp(s.g.out(2), right.data(), 256 * sizeof(float)), 0) << "block " << b;
    }
    EXPECT_EQ(s.l0->process_calls - calls, kFxWrapperCountdown / 256) << "runs 2048 samples, then stops";
    EXPECT_EQ(fx_wrapper_countdown(s.w), 0);

    // Any change restarts the countdown; switching on is heard at once.
    Graph::send(s.w, kFxWrapperParam2, 30);
    EXPECT_EQ(fx_wrapper_countdown(s.w), kFxWrapperCountdown);
    Graph::send(s.w, kFxWrapperOnOff, 1);
    EXPECT_EQ(s.l0->on_off.value(), 1);
    fill_block(13);
    s.g.run(256);
    for (int i = 1; i < 256; ++i)
        ASSERT_EQ(s.g.out(1)[i], left[i - 1]);
}

TEST(FxWrapper, APresetThatSelectsNothingChangesNothingButRestartsTheCountdown) {
    Slot s(Shape::gain, 3); // "preset" 3 selects nothing
    Graph::send(s.w, kFxWrapperOnOff, 0);
    s.fill(0.25f, -0.5f, 1024);
    for (int b = 0; b < 3; ++b)
        s.g.run(1024);
    ASSERT_EQ(fx_wrapper_countdown(s.w), 0);
    const int resets = s.l0->resets + s.l1->resets, calls = s.l0->process_calls;

    for (int repeat = 0; repeat < 2; ++repeat) { // the same value again restarts it too
        Graph::send(s.w, kFxWrapperPreset, 3);
        EXPECT_EQ(s.preset_value(), 3);
        EXPECT_EQ(fx_wrapper_countdown(s.w), kFxWrapperCountdown);
        EXPECT_EQ(s.l0->resets + s.l1->resets, resets);
        EXPECT_FLOAT_EQ(s.l0->amount.value(), 96);
        EXPECT_EQ(s.label(), 3);
        for (int b = 0; b < 3; ++b)
            s.g.run(1024);
    }
    EXPECT_EQ(s.l0->process_calls, calls);

    // Switched on with no effect chosen, the slot is a plain wire.
    Graph::send(s.w, kFxWrapperOnOff, 1);
    s.g.run(1024);
    EXPECT_EQ(s.g.out(1)[100], 0.25f);
    EXPECT_EQ(s.g.out(2)[100], -0.5f);
}

TEST(FxWrapper, InstrumentLoadsReachTheEffectsOnlyThroughThePresetSetting) {
    Slot s;
    EXPECT_EQ(s.l0->protected_module, 1);
    EXPECT_EQ(s.r1->protected_module, 1);
    EXPECT_EQ(s.w->protected_module, 0);
    const std::string text = "main_synth mo version 2\n{\n"
                             "  fx_wrapper Slot version 1\n  {\n   preset 2\n   param1 1\n  }\n"
                             "  testfx FirstL version 1\n  {\n   amount 5\n  }\n"
                             "  testfx FirstR version 1\n  {\n   amount 5\n  }\n"
                             "}\n";
    {
        KelTextReader reader(text);
        ASSERT_TRUE(module_read_state(s.g.root, reader));
    }
    EXPECT_FLOAT_EQ(s.l0->amount.value(), 32) << "from preset 2, not from the effect's own block";
    EXPECT_FLOAT_EQ(s.r0->amount.value(), 32);
    EXPECT_EQ(s.l0->protected_module, 1) << "still kept away from the next load";

    // A locked-only load with the slot locked: the slot's preset still reaches its effect.
    for (t_module* m = s.g.root; m; m = m == s.g.root ? m->first_child : m->next_sibling)
        module_set_protected_only(m, 1);
    module_set_protected_module(s.w, 1);
    const std::string locked = "fx_wrapper Slot version 1\n{\n preset 0\n}\n";
    {
        KelTextReader reader(locked);
        module_read_state_by_name(s.g.root, reader);
    }
    EXPECT_FLOAT_EQ(s.l0->amount.value(), 96);
    EXPECT_EQ(s.l0->protected_only, 1) << "the load mode is given back";
    EXPECT_EQ(s.l0->protected_module, 1);

    // An ordinary load with the slot locked leaves slot and effects alone.
    for (t_module* m = s.g.root; m; m = m == s.g.root ? m->first_child : m->next_sibling)
        module_set_protected_only(m, 0);
    const std::string other = "fx_wrapper Slot version 1\n{\n preset 1\n}\n";
    {
        KelTextReader reader(other);
        module_read_state_by_name(s.g.root, reader);
    }
    EXPECT_EQ(s.preset_value(), 0);
    EXPECT_FLOAT_EQ(s.l0->amount.value(), 96);
}

TEST(FxWrapper, SettingsTextRoundTripsUnderTheSlotsNames) {
    Slot s;
    module_set_persistence(s.w, 2);
    Graph::settings(s.w,
                    "on_off 0 preset 1 sync 3 param1 1.05512 param2 0.897638 param3 1.02362 label_index 9");
    KelTextWriter out;
    module_write_state(s.w, out);
    EXPECT_EQ(out.str(),
              "fx_wrapper Slot version 1\n{\n   on_off 0\n   preset 1\n   sync 3\n   param1 1.05512\n"
              "   param2 0.897638\n   param3 1.02362\n   label_index 9\n}\n");
    EXPECT_FLOAT_EQ(s.l1->amount.controller_float(), 32 + 0.05512f * 95);
}

TEST(FxWrapper, RenderingAndPresetChangesAllocateNothing) {
    Slot s;
    s.fill(0.1f, 0.2f, 1024);
    s.g.run(1024); // warm up
    mellora::test::AllocationCounter counter;
    for (int b = 0; b < 8; ++b) {
        Graph::send(s.w, kFxWrapperPreset, static_cast<float>(b % 3));
        Graph::send(s.w, kFxWrapperParam1, static_cast<float>(10 * b));
        Graph::send(s.w, kFxWrapperOnOff, static_cast<float>(b % 2));
        s.g.run(b == 7 ? 1 : 1024);
    }
    EXPECT_EQ(counter.count(), 0u);
}

TEST(FxWrapper, RefusesMalformedDescriptorsAndConfiguration) {
    for (const char* line : {"", "44100 512 4 4", "44100 512 -1 4 3 x", "44100 512 4 4 200 x",
                             "0 512 4 4 3 x", "nan 512 4 4 3 x", "44100 512 100 4 3 x"})
        EXPECT_EQ(fx_wrapper_create(line), nullptr) << line;

    Slot s;
    EXPECT_EQ(s.w->input_count, 6);
    EXPECT_EQ(s.w->output_count, 6);
    EXPECT_EQ(s.w->query(s.w, kControlFxAddEffect), 1);
    EXPECT_EQ(s.w->query(s.w, kControlFxAddPreset), 1);
    EXPECT_EQ(s.w->query(s.w, 11), 0);

    EXPECT_EQ(fx_wrapper_add_effect(s.w, test_spec(nullptr, nullptr, 3)), 0);
    const intptr_t short_args[3] = {reinterpret_cast<intptr_t>(s.l0), 0, 3};
    EXPECT_EQ(s.w->control(s.w, kControlFxAddEffect, short_args, 3), 0);
    EXPECT_EQ(fx_wrapper_add_preset(s.w, 2, "testfx Fx version 1 { }"), 0) << "no entry 2";
    EXPECT_EQ(fx_wrapper_add_preset(s.w, 0, nullptr), 0);
    EXPECT_EQ(fx_wrapper_add_preset(s.w, 0, "testfx Fx version 1 { }"), 0) << "all 3 presets are taken";

    // The wrapper runs its effects; no block order can.
    EXPECT_EQ(s.l0->process, nullptr);
    EXPECT_EQ(s.r1->process, nullptr);
    t_module* other = s.g.add(fx_wrapper_create("44100 512 2 2 1 Other"));
    EXPECT_EQ(fx_wrapper_add_effect(other, test_spec(s.l0, nullptr, 3)), 0) << "already run by Slot";

    // A malformed preset text leaves the effect reset, and the slot keeps working.
    Graph g;
    t_module* w = g.add(fx_wrapper_create("44100 512 2 2 1 Slot"));
    t_test_fx* l = g.add(make_fx(Shape::gain, "L"));
    Graph::loop(w, 3, l);
    g.finish(w);
    t_fx_effect_spec spec = test_spec(l, nullptr, 3);
    spec.feed_right = spec.return_right = 9; // out of range: none, heard as silence
    ASSERT_EQ(fx_wrapper_add_effect(w, spec), 1);
    ASSERT_EQ(fx_wrapper_add_preset(w, 0, "testfx Fx version { amount"), 1);
    std::fill_n(g.in(1), 16, 0.5f);
    std::fill_n(g.in(2), 16, 0.5f);
    g.run(16);
    EXPECT_FLOAT_EQ(g.out(1)[3], 0.5f);
    EXPECT_EQ(g.out(2)[3], 0.0f);
}

} // namespace

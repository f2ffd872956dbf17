// The seven glue modules: measured outputs of small graphs, their messages, and the
// soft clipper's curve.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <vector>

#include "engine/demo_graph.h"
#include "engine/modular.h"
#include "modules/constant.h"
#include "modules/denormal_noise.h"
#include "modules/level.h"
#include "modules/lin_gain.h"
#include "modules/parameter.h"
#include "modules/plus.h"
#include "modules/stereo_audio_out.h"
#include "modules/vca.h"
#include "modules/volume.h"
#include "tests/support/alloc_counter.h"

namespace {

// Owns a flat graph of modules and its wire shop.
struct Graph {
    std::vector<t_module*> modules;
    wire_shop* shop = wire_shop_create(1024);
    ~Graph() {
        for (t_module* m : modules) module_free(m);
        wire_shop_free(shop);
    }
    t_module* add(t_module* m) {
        EXPECT_NE(m, nullptr);
        modules.push_back(m);
        return m;
    }
    void finish() {
        for (t_module* m : modules) ASSERT_TRUE(wire_shop_assign_buffers(shop, m));
    }
    void run(int n) {
        for (t_module* m : modules)
            if (m->process) m->process(m, n);
    }
};

struct Recorder : ModuleObserver {
    std::map<int, float> last;
    std::vector<int> told_ids;
    void received(t_module*, int id, float v) override { last[id] = v; }
    void told(t_module*, int id) override { told_ids.push_back(id); }
};

float send(t_module* m, int id, float position) {
    t_message msg = make_float_message(m->id, id, position);
    return static_cast<float>(m->receive_message(m, &msg));
}

TEST(UtilityModules, SumAndProductOfConstants) {
    Graph g;
    t_module* a = g.add(constant_create("44100 1024 0.5 a"));
    t_module* b = g.add(constant_create("44100 1024 -2 b"));
    t_module* sum = g.add(plus_create("44100 512 2 sum"));
    t_module* product = g.add(vca_create("44100 512 product"));
    t_module* copy = g.add(plus_create("44100 512 1 copy"));
    module_connect(a, 1, sum, 1);
    module_connect(b, 1, sum, 2);
    module_connect(a, 1, product, 1);
    module_connect(b, 1, product, 2);
    module_connect(a, 1, copy, 1);
    g.finish();
    // Unconnected outputs all write into the one discard buffer: read each right after it ran.
    a->process(a, 64);
    b->process(b, 64);
    for (auto [m, expected] : {std::pair{sum, -1.5f}, {product, -1.0f}, {copy, 0.5f}}) {
        m->process(m, 64);
        EXPECT_NEAR(module_output(m, 1)[0], expected, 1e-6f) << m->name;
        EXPECT_NEAR(module_output(m, 1)[63], expected, 1e-6f) << m->name;
    }
}

TEST(UtilityModules, ConstantRewritesAFouledBuffer) {
    Graph g;
    t_module* c = g.add(constant_create("44100 1024 0.75 c"));
    g.finish();
    g.run(100);
    float* out = module_output(c, 1);
    out[0] = 0;  // someone else wrote into the net
    out[50] = 0;
    g.run(100);
    EXPECT_EQ(out[0], 0.75f);
    EXPECT_EQ(out[50], 0.75f);
    g.run(200);  // a longer block fills the rest
    EXPECT_EQ(out[199], 0.75f);
}

TEST(UtilityModules, LinGainFollowsItsControllerLine) {
    struct Case {
        int controller;
        float gain;
    } cases[] = {{0, -0.5f}, {64, 0.2f}, {127, 0.8890625f}};
    for (const Case& c : cases) {
        Graph g;
        t_module* one = g.add(constant_create("44100 1024 1 one"));
        t_module* gain = g.add(lin_gain_create("44100 512 -0.5 0.9 key_follow0"));
        module_connect(one, 1, gain, 1);
        g.finish();
        t_message msg = make_int_message(gain->id, 1, c.controller);
        gain->receive_message(gain, &msg);
        gain->reset(gain);  // jump over the 4000-sample ramp
        g.run(16);
        EXPECT_NEAR(module_output(gain, 1)[15], c.gain, 1e-6f) << c.controller;
        t_message answer;
        EXPECT_EQ(gain->get_message(gain, 1, &answer), 0);
        EXPECT_EQ(answer.value.i, c.controller);
    }
}

TEST(UtilityModules, LinGainRampsOverFourThousandSamplesAndRoundTripsText) {
    Graph g;
    t_module* one = g.add(constant_create("44100 1024 1 one"));
    t_module* gain = g.add(lin_gain_create("44100 512 0. 3.5 vel_follow0"));
    module_connect(one, 1, gain, 1);
    g.finish();
    EXPECT_EQ(module_output(gain, 1)[0], 0.0f) << "the gain starts at 0";
    KelTextReader in("gain 2 ratio 0.5 granularity 0.25 }");
    gain->read_parameters(gain, in);
    float last = 0;
    for (int block = 0; block < 4; ++block) {
        g.run(1000);
        last = module_output(gain, 1)[999];
    }
    EXPECT_FLOAT_EQ(last, 2.0f);
    g.run(1000);
    EXPECT_FLOAT_EQ(module_output(gain, 1)[0], 2.0f);
    KelTextWriter out;
    gain->write_parameters(gain, out, "");
    EXPECT_EQ(out.str(), " gain         2\n ratio        0.5\n granularity  0.25\n");
}

TEST(UtilityModules, VolumeAmplitudeAndUnityMessage) {
    Graph g;
    t_module* one = g.add(constant_create("44100 1024 1 one"));
    t_module* vol = g.add(volume_create("44100 512 0.5 0 Volume"));
    module_connect(one, 1, vol, 1);
    g.finish();
    t_param_entry* amp = module_find_parameter(vol, "amplitude");
    ASSERT_NE(amp, nullptr);
    EXPECT_EQ(amp->param->controller(), 64) << "0.5 sits at controller 64 on the square curve";
    vol->reset(vol);
    g.run(8);
    EXPECT_NEAR(module_output(vol, 1)[7], 0.5f, 1e-6f);

    send(vol, 2, 0);  // unity, while the amplitude keeps its value
    vol->reset(vol);
    g.run(8);
    EXPECT_NEAR(module_output(vol, 1)[7], 1.0f, 1e-6f);
    EXPECT_FLOAT_EQ(amp->param->value(), 0.5f);

    // A text load jumps straight to the amplitude.
    KelTextReader in("volume Volume version 1 { amplitude 1.5 }");
    module_set_persistence(vol, 1);
    ASSERT_TRUE(module_read_state(vol, in));
    g.run(8);
    EXPECT_NEAR(module_output(vol, 1)[0], 1.5f, 1e-6f);
}

TEST(UtilityModules, VolumeDescriptorWithoutTheUnusedInteger) {
    t_module* v = volume_create("44100 512 0.25 Volume_Right");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->name, "Volume_Right");
    EXPECT_FLOAT_EQ(module_find_parameter(v, 1)->param->value(), 0.25f);
    module_free(v);
}

TEST(UtilityModules, LevelMeterSilenceAndClip) {
    for (bool loud : {false, true}) {
        Graph g;
        Recorder seen;
        t_module* level = g.add(level_create("44100 1024 level_left"));
        g.finish();
        module_set_persistence(level, 1);
        level->observer = &seen;
        float* in = module_input(level, 1);
        // Unconnected, the input is the shared zero buffer; feed a square wave into
        // a buffer of our own instead.
        std::vector<float> square(1024);
        for (int i = 0; i < 1024; ++i) square[i] = loud ? ((i / 50) % 2 ? 1.0f : -1.0f) : 0.0f;
        level->io[0].buffer = square.data();
        for (int block = 0; block < 200; ++block) level->process(level, 1024);
        level->io[0].buffer = in;
        if (!loud) {
            EXPECT_TRUE(seen.last.empty()) << "a silent signal reports nothing: no lights, level 0, peak 0";
        } else {
            EXPECT_EQ(seen.last[21], 1.0f) << "A goes towards 2, so clip is set";
            EXPECT_EQ(seen.last[20], 127.0f);
            EXPECT_EQ(seen.last[14], 1.0f);
        }
    }
}

TEST(UtilityModules, SoftClipperCurve) {
    struct Case {
        float in, out, tolerance;
    } cases[] = {
        {0.5f, 0.5f, 0},        {0.7f, 0.7f, 1e-6f},    {1.6f, 0.9625f, 1e-6f}, {-1.6f, -0.9625f, 1e-6f},
        {10.0f, 1.0f, 1e-3f},   {5e-10f, 0.0f, 0},      {NAN, 0.0f, 0},         {INFINITY, 1.0f, 0},
    };
    for (const Case& c : cases) EXPECT_NEAR(stereo_soft_clip(c.in), c.out, c.tolerance) << c.in;
    // Continuous with slope 1 at the joint.
    EXPECT_NEAR((stereo_soft_clip(0.7001f) - stereo_soft_clip(0.6999f)) / 0.0002f, 1.0f, 1e-2f);
}

TEST(UtilityModules, OutputStageSwitchedOffWritesSilence) {
    DemoSynth synth;
    ASSERT_TRUE(synth.build(44100));
    std::vector<float> l(256, 9), r(256, 9);
    t_message off = make_int_message(synth.stereo->id, 1, 0);
    synth.dispatch(&off);
    synth.render_block(l.data(), r.data(), 256);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(l[i] + r[i], 0.0f);
    t_message answer;
    EXPECT_EQ(synth.stereo->get_message(synth.stereo, 2, &answer), 0);
    EXPECT_EQ(answer.value.i, 0);
}

TEST(DemoGraph, RendersItsLevelsAcrossSubBlocksWithoutAllocating) {
    DemoSynth synth;
    ASSERT_TRUE(synth.build(48000));
    std::vector<float> l(2500), r(2500);
    synth.render_block(l.data(), r.data(), 2500);  // 1024 + 1024 + 452
    EXPECT_FLOAT_EQ(l[0], 0.0625f);
    EXPECT_FLOAT_EQ(r[2499], 0.125f);

    mellora::test::AllocationCounter allocations;
    for (int block = 0; block < 50; ++block) synth.render_block(l.data(), r.data(), 2500);
    EXPECT_EQ(allocations.count(), 0u);
}

TEST(DemoGraph, StateTextRoundTrip) {
    DemoSynth a, b;
    ASSERT_TRUE(a.build(44100));
    ASSERT_TRUE(b.build(44100));
    t_message full = make_int_message(a.gain_a->id, 1, 127);
    a.dispatch(&full);
    t_message quiet = make_float_message(a.volume->id, 1, 32.5f);
    a.dispatch(&quiet);
    KelTextWriter text;
    module_write_state(a.root(), text);
    KelTextReader in(text.str());
    module_read_state_by_name(b.root(), in);
    b.reset();
    a.reset();
    std::vector<float> la(64), ra(64), lb(64), rb(64);
    a.render_block(la.data(), ra.data(), 64);
    b.render_block(lb.data(), rb.data(), 64);
    // Values are stored with six significant digits.
    EXPECT_NEAR(lb[63], la[63], 1e-5f);
    EXPECT_NEAR(rb[63], ra[63], 1e-5f);
    EXPECT_GT(ra[63], 0.3f);
}

} // namespace

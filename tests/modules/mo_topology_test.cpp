#include "modules/mo_topology.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/synth.h"
#include "modules/fx_wrapper.h"
#include "tests/engine/test_modules.h"
#include "tests/modules/fx_slots_rig.h"
#include "tests/support/alloc_counter.h"

using namespace fx_slots_test;

namespace {

// One wrapper holding one stereo pair of test effects on inner slots 3, 4, loaded
// with a single preset.
struct SlotModules {
    t_module* wrapper;
    t_test_fx *left, *right;
};

SlotModules add_slot(Graph& g, const std::string& name, Shape shape) {
    SlotModules s;
    s.wrapper = g.add(fx_wrapper_create("44100 512 2 2 1 " + name));
    s.left = g.add(make_fx(shape, name + "_L"));
    s.right = g.add(make_fx(shape, name + "_R"));
    Graph::loop(s.wrapper, 3, s.left);
    Graph::loop(s.wrapper, 4, s.right);
    return s;
}

void configure(const SlotModules& s, const std::string& settings) {
    const std::string text = preset_text(settings);
    EXPECT_EQ(fx_wrapper_add_effect(s.wrapper, test_spec(s.left, s.right, 3)), 1);
    EXPECT_EQ(fx_wrapper_add_preset(s.wrapper, 0, text.c_str()), 1);
}

// The topology with a ×1.5 gain in slot A and a clip at ±32/127 in slot B (or any
// other pair of shapes), fed a sine on the left and a steeper one on the right.
struct Chain {
    Graph g;
    t_module* topology;
    SlotModules a, b;
    static constexpr int kFrames = 256;

    Chain(Shape shape_a, const char* settings_a, Shape shape_b, const char* settings_b, int linked = 2) {
        topology = g.add(mo_topology_create("44100 512 Topology"));
        a = add_slot(g, "Effect_A", shape_a);
        b = add_slot(g, "Effect_B", shape_b);
        Graph::slot(topology, 3, a.wrapper);
        Graph::slot(topology, 5, b.wrapper);
        g.finish(topology);
        configure(a, settings_a);
        configure(b, settings_b);
        if (linked >= 1) {
            EXPECT_EQ(mo_topology_link(topology, a.wrapper, linked == 2 ? b.wrapper : nullptr), 1);
        }
        for (int i = 0; i < kFrames; ++i) {
            g.in(1)[i] = 0.4f * std::sin(0.05f * static_cast<float>(i));
            g.in(2)[i] = 0.8f * std::sin(0.11f * static_cast<float>(i));
        }
    }
    void set_topology(int t) {
        t_message msg = make_int_message(topology->id, kTopologyParam, t);
        module_dispatch_message(topology, &msg);
    }
};

float gain(float x) {
    return x * 96 / 64;
}
float clip(float x) {
    return std::clamp(x, -32.0f / 127, 32.0f / 127);
}

TEST(MoTopology, TheThreeOrdersRunTheSlotsAsTheyShould) {
    Chain c(Shape::gain, "amount 96", Shape::clip, "amount 32");
    struct Case {
        int topology;
        std::function<float(float)> expected;
    };
    const Case cases[] = {
        {kTopologySerialAB, [](float x) { return clip(gain(x)); }},
        {kTopologySerialBA, [](float x) { return gain(clip(x)); }},
        {kTopologyParallel, [](float x) { return (gain(x) + clip(x)) * 0.5f; }},
    };
    std::vector<float> previous;
    for (const Case& k : cases) {
        c.set_topology(k.topology);
        c.g.run(Chain::kFrames);
        for (int ch = 1; ch <= 2; ++ch)
            for (int i = 0; i < Chain::kFrames; ++i)
                ASSERT_FLOAT_EQ(c.g.out(ch)[i], k.expected(c.g.in(ch)[i]))
                    << "topology " << k.topology << " channel " << ch << " sample " << i;
        // Where the clip bites, the three orders are three different sounds.
        std::vector<float> now(c.g.out(1), c.g.out(1) + Chain::kFrames);
        if (!previous.empty()) {
            EXPECT_NE(now, previous);
        }
        previous = now;
    }
    // Each slot ran exactly once per block.
    EXPECT_EQ(c.a.left->process_calls, 3);
    EXPECT_EQ(c.b.right->process_calls, 3);
}

TEST(MoTopology, ParallelIdenticalSlotsEqualOneSlot) {
    Chain c(Shape::gain, "amount 96", Shape::gain, "amount 96");
    c.set_topology(kTopologyParallel);
    c.g.run(Chain::kFrames);
    for (int ch = 1; ch <= 2; ++ch)
        for (int i = 0; i < Chain::kFrames; ++i)
            ASSERT_EQ(c.g.out(ch)[i], gain(c.g.in(ch)[i]));
}

TEST(MoTopology, AMissingSlotIsAWire) {
    // Slot A unlinked: the input passes whatever "topology" says, and no slot runs.
    Chain none(Shape::gain, "amount 96", Shape::offset, "amount 32", 0);
    EXPECT_EQ(none.topology->query(none.topology, kControlTopologySlots), 2);
    for (int t : {kTopologySerialAB, kTopologySerialBA, kTopologyParallel}) {
        none.set_topology(t);
        none.g.run(Chain::kFrames);
        for (int ch = 1; ch <= 2; ++ch)
            EXPECT_EQ(std::memcmp(none.g.out(ch), none.g.in(ch), Chain::kFrames * sizeof(float)), 0) << t;
    }
    EXPECT_EQ(none.a.left->process_calls + none.b.left->process_calls, 0);

    // Slot B unlinked: slot A alone, in every order.
    Chain only_a(Shape::gain, "amount 96", Shape::offset, "amount 32", 1);
    for (int t : {kTopologySerialAB, kTopologySerialBA, kTopologyParallel}) {
        only_a.set_topology(t);
        only_a.g.run(Chain::kFrames);
        for (int i = 0; i < Chain::kFrames; ++i)
            ASSERT_EQ(only_a.g.out(1)[i], gain(only_a.g.in(1)[i])) << t;
    }
}

TEST(MoTopology, RefusesBadLinks) {
    EXPECT_EQ(mo_topology_create("44100 512"), nullptr);
    EXPECT_EQ(mo_topology_create("-1 512 Topology"), nullptr);
    Chain c(Shape::gain, "amount 96", Shape::gain, "amount 96", 0);
    t_module* t = c.topology;
    const intptr_t bad_count[7] = {3, reinterpret_cast<intptr_t>(c.a.wrapper), 0, 0, 0, 0, 0};
    EXPECT_EQ(t->control(t, kControlTopologySlots, bad_count, 7), 0);
    const intptr_t too_short[2] = {2, reinterpret_cast<intptr_t>(c.a.wrapper)};
    EXPECT_EQ(t->control(t, kControlTopologySlots, too_short, 2), 0);
    EXPECT_EQ(mo_topology_link(t, nullptr, c.b.wrapper), 0);
    EXPECT_EQ(mo_topology_link(t, c.a.wrapper, c.a.wrapper), 0) << "one slot must not run twice";
    EXPECT_EQ(mo_topology_link(t, c.a.wrapper, c.b.wrapper), 1);
    EXPECT_EQ(c.a.wrapper->process, nullptr);
    // Relinking gives the old slots back before taking the new ones.
    EXPECT_EQ(mo_topology_link(t, c.b.wrapper, nullptr), 1);
    EXPECT_NE(c.a.wrapper->process, nullptr);
    EXPECT_EQ(c.b.wrapper->process, nullptr);
}

// The whole chain under the synth's generic renderer: the block order meets the
// topology only, which runs the slots, which run their effects, once per sub-block.
TEST(MoTopology, UnderTheGenericRendererEachEffectRunsOncePerSubBlock) {
    using namespace mellora::test;
    Synth synth;
    ASSERT_TRUE(synth.create_tables());
    t_module* root = module_create_composite("44100 1024 0 0 main_synth mo");
    synth.set_root(root);
    synth.register_module(root);
    auto add = [&](t_module* m) {
        module_add_child(root, m);
        module_set_persistence(m, 1);
        synth.register_module(m);
        return m;
    };
    t_module* source = add(make_source("source", 0.4f, 2));
    t_module* topology = add(mo_topology_create("44100 512 Topology"));
    t_module* a = add(fx_wrapper_create("44100 512 2 2 1 Effect_A"));
    auto* al = static_cast<t_test_fx*>(add(make_fx(Shape::gain, "AL")));
    auto* ar = static_cast<t_test_fx*>(add(make_fx(Shape::gain, "AR")));
    t_module* b = add(fx_wrapper_create("44100 512 2 2 1 Effect_B"));
    auto* bl = static_cast<t_test_fx*>(add(make_fx(Shape::offset, "BL")));
    auto* br = static_cast<t_test_fx*>(add(make_fx(Shape::offset, "BR")));
    auto* sink = static_cast<t_sink*>(add(make_sink("sink", 2)));
    module_connect(source, 1, topology, 1);
    module_connect(source, 2, topology, 2);
    Graph::slot(topology, 3, a);
    Graph::slot(topology, 5, b);
    Graph::loop(a, 3, al);
    Graph::loop(a, 4, ar);
    Graph::loop(b, 3, bl);
    Graph::loop(b, 4, br);
    module_connect(topology, 1, sink, 1);
    module_connect(topology, 2, sink, 2);
    ASSERT_TRUE(synth.finish_graph());
    synth.set_sample_rate(48000);
    configure({a, al, ar}, "amount 96");
    configure({b, bl, br}, "amount 32");
    ASSERT_EQ(mo_topology_link(topology, a, b), 1);

    AllocationCounter counter;
    synth.render(nullptr, 3000); // 1024 + 1024 + 952
    EXPECT_EQ(al->process_calls, 3);
    EXPECT_EQ(br->process_calls, 3);
    EXPECT_EQ(sink->last_frames, 952);
    EXPECT_FLOAT_EQ(sink->last[500], 0.4f * 96 / 64 + 32.0f / 127);

    synth.set_parameter_int(topology->id, kTopologyParam, kTopologyParallel);
    synth.set_parameter_int(b->id, kFxWrapperOnOff, 0); // B off: its countdown still runs
    synth.render(nullptr, 1024);
    EXPECT_FLOAT_EQ(sink->last[500], (0.4f * 96 / 64 + 0.4f) * 0.5f);
    EXPECT_EQ(bl->process_calls, 4);
    EXPECT_EQ(counter.count(), 0u);
}

} // namespace

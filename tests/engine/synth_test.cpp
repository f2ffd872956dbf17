// The synth base: processing order, sub-block rendering, messages by module id, and a
// render that allocates nothing.
#include <gtest/gtest.h>

#include <vector>

#include "engine/synth.h"
#include "tests/engine/test_modules.h"
#include "tests/support/alloc_counter.h"

using namespace mellora::test;

namespace {

// A fixed-capacity single-thread stand-in for the lock-free queue.
class FixedQueue : public KelSynthQueue {
public:
    bool push(const t_message& m) override {
        if (count_ == kCapacity) return false;
        items_[(head_ + count_++) % kCapacity] = m;
        return true;
    }
    bool pop(t_message& out) override {
        if (count_ == 0) return false;
        out = items_[head_];
        head_ = (head_ + 1) % kCapacity;
        --count_;
        return true;
    }

private:
    static constexpr int kCapacity = 64;
    t_message items_[kCapacity];
    int head_ = 0, count_ = 0;
};

// root { src -> box { inner_sink }, knobs, tail_sink, idle_sink }; src feeds the first
// two sinks, idle_sink's input stays unconnected.
struct SmallGraph {
    Synth synth;
    FixedQueue queue;
    t_source* src = make_source("src", 0.5f);
    t_module* box = make_group("box", 1, 0);
    t_sink* inner_sink = make_sink("inner_sink");
    t_knobs* knobs = make_knobs("knobs");
    t_sink* tail_sink = make_sink("tail_sink");
    t_sink* idle_sink = make_sink("idle_sink");
    t_module* root = make_group("root");

    SmallGraph() {
        EXPECT_TRUE(synth.create_tables());
        module_add_child(root, src);
        module_add_child(root, box);
        module_add_child(box, inner_sink);
        module_add_child(root, knobs);
        module_add_child(root, tail_sink);
        module_add_child(root, idle_sink);
        EXPECT_EQ(module_connect(src, 1, box, 1), 1);
        EXPECT_EQ(module_connect(box, 1, inner_sink, 1), 1);
        EXPECT_EQ(module_connect(src, 1, tail_sink, 1), 1);
        synth.set_root(root);
        for (t_module* m : std::initializer_list<t_module*>{root, src, box, inner_sink, knobs, tail_sink, idle_sink}) synth.register_module(m);
        synth.set_queue(&queue);
        EXPECT_TRUE(synth.finish_graph());
    }
};

} // namespace

TEST(Synth, ProcessingOrderIsDepthFirstPreOrder) {
    SmallGraph g;
    const std::vector<t_module*> expected = {g.root, g.src, g.box, g.inner_sink, g.knobs, g.tail_sink, g.idle_sink};
    EXPECT_EQ(g.synth.processing_list(), expected);
}

TEST(Synth, HostBlocksAreSplitIntoSubBlocksOfAtMost1024Frames) {
    const struct { int frames; std::vector<int> blocks; } cases[] = {
        {2500, {1024, 1024, 452}}, {1024, {1024}}, {1025, {1024, 1}}, {1, {1}}, {0, {}}, {-5, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frames);
        SmallGraph g;
        g.synth.render(nullptr, c.frames);
        ASSERT_EQ(g.src->calls, static_cast<int>(c.blocks.size()));
        for (size_t i = 0; i < c.blocks.size(); ++i) EXPECT_EQ(g.src->frames_seen[i], c.blocks[i]);
        EXPECT_EQ(g.inner_sink->calls, g.src->calls);
        if (c.frames > 0) {
            EXPECT_EQ(g.tail_sink->last_frames, c.blocks.back());
            EXPECT_EQ(g.inner_sink->last[0], 0.5f);
            EXPECT_EQ(g.tail_sink->last[c.blocks.back() - 1], 0.5f);
        }
    }
}

// The input list is advanced between sub-blocks but not after the last one, so the
// synth's end-of-block handling still sees the last sub-block's events.
TEST(Synth, MidiInputAdvancesBetweenSubBlocksOnly) {
    SmallGraph g;
    t_midi_event_list midi;
    midi.insert(100, 0x90, 60, 100);
    midi.insert(1500, 0x80, 60, 0);
    midi.insert(2400, 0x90, 62, 90);
    g.synth.render(&midi, 2500);
    ASSERT_EQ(midi.size(), 1);
    EXPECT_EQ(midi[0].offset, 2400u - 2048u);
    EXPECT_EQ(midi[0].data1, 62);
}

TEST(Synth, QueuedMessagesReachTheirModuleByIdBeforeTheBlock) {
    SmallGraph g;
    t_message none = make_int_message(g.knobs->id, 1, 0);
    none.kind = kMessageNone;
    g.queue.push(none);                                         // kind 0: dropped
    g.queue.push(make_int_message(g.knobs->id, 2, 3));          // mode -> 3
    g.queue.push(make_float_message(g.knobs->id, 1, 127.0f));   // gain -> 2
    g.queue.push(make_int_message(g.knobs->id + 100, 1, 0));    // no such module
    g.synth.render(nullptr, 16);
    EXPECT_EQ(g.knobs->mode.value(), 3.0f);
    EXPECT_FLOAT_EQ(g.knobs->gain.value(), 2.0f);
    EXPECT_EQ(g.knobs->changed[kChangedByMessage], 2);
    t_message probe;
    EXPECT_FALSE(g.queue.pop(probe));
}

TEST(Synth, InterfaceFlagIsRaisedOnlyDuringTheDispatch) {
    SmallGraph g;
    static bool seen_flag;
    static Synth* s;
    seen_flag = false;
    s = &g.synth;
    g.knobs->parameter_changed = [](t_module*, int, int) { seen_flag = s->change_from_interface(); };
    t_message m = make_int_message(static_cast<int32_t>(0x80000000u | static_cast<uint32_t>(g.knobs->id)), 1, 10);
    g.synth.dispatch(&m);
    EXPECT_TRUE(seen_flag);
    EXPECT_FALSE(g.synth.change_from_interface());
    EXPECT_EQ(g.knobs->gain.controller(), 10);
}

TEST(Synth, RepeatedRendersAllocateNothing) {
    SmallGraph g;
    t_midi_event_list midi;
    g.synth.render(&midi, 2500);  // first touch outside the count
    AllocationCounter counter;
    for (int block = 0; block < 50; ++block) {
        g.queue.push(make_int_message(g.knobs->id, 1, block));
        g.queue.push(make_float_message(g.knobs->id, 3, static_cast<float>(block)));
        midi.clear();
        midi.insert(5, 0x90, 60, 0);
        midi.insert(1030, 0x90, 64, 80);
        g.synth.render(&midi, block % 2 ? 2500 : 333);
    }
    EXPECT_EQ(counter.count(), 0u);
    // The counter itself sees an allocation (a direct call cannot be optimised away).
    void* probe = ::operator new(16);
    ::operator delete(probe);
    EXPECT_EQ(counter.count(), 1u);
    EXPECT_EQ(g.tail_sink->last[0], 0.5f);
    EXPECT_EQ(g.idle_sink->calls, 3 + 25 * 3 + 25);
    EXPECT_FALSE(g.idle_sink->saw_nonzero);  // an unconnected input reads zeros at every block
}

TEST(Synth, ResetClearsNetsAndResetsModules) {
    SmallGraph g;
    static int resets;
    resets = 0;
    for (t_module* m : g.synth.processing_list()) m->reset = [](t_module*) { ++resets; };
    g.synth.render(nullptr, 64);
    ASSERT_EQ(module_input(g.tail_sink, 1)[0], 0.5f);
    g.synth.reset();
    EXPECT_EQ(resets, 7);
    EXPECT_EQ(module_input(g.tail_sink, 1)[0], 0.0f);
}

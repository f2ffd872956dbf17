#include <gtest/gtest.h>

#include "tests/support/alloc_counter.h"
#include "engine/kel_simple_synth_queue.h"
#include "synth_links_fixture.h"

namespace {
using namespace links_test;

TEST(SynthMidiLinks, ControllerMovesLinkedParameterAndTellsObserver) {
    LinkSynth s;
    std::vector<std::string> path{"mo", "fork0"};
    ASSERT_EQ(s.synth.add_link_by_path(*s.midi, path, 1, 3, 7, 0.2f, 0.8f), 1);
    EXPECT_EQ(s.midi->hold_count(2), 1);  // the link's channel is listened to
    s.block({cc(3, 7, 127)});
    EXPECT_NEAR(s.position(0), 101.6f, 1e-4);
    ASSERT_FALSE(s.observer.received_values.empty());
    EXPECT_EQ(s.observer.received_values.back().first, 600);
    EXPECT_NEAR(s.observer.received_values.back().second, 101.6f, 1e-4);
    // Same controller on another channel: nothing.
    s.block({cc(4, 7, 0)});
    EXPECT_NEAR(s.position(0), 101.6f, 1e-4);

    EXPECT_EQ(s.synth.remove_link_by_path(*s.midi, path, 1, 3, 7), 1);
    EXPECT_EQ(s.midi->channel_state(2), nullptr);
    EXPECT_EQ(s.synth.add_link_by_path(*s.midi, {"mo", "nowhere"}, 1, 3, 7, 0, 1), 0);
}

TEST(SynthMidiLinks, ChannelSeventeenFollowsTheReceiveChannel) {
    LinkSynth s;
    s.synth.add_link_by_path(*s.midi, {"Volume"}, 1, 17, 74, 0.0f, 1.0f);
    s.midi->setReceiveChannel(5);
    s.block({cc(5, 74, 100)});
    EXPECT_NEAR(s.position(1), 100.0f, 1e-4);
    s.block({cc(1, 74, 10)});  // no longer the receive channel
    EXPECT_NEAR(s.position(1), 100.0f, 1e-4);
    s.midi->setReceiveChannel(1);
    s.block({cc(1, 74, 10)});
    EXPECT_NEAR(s.position(1), 10.0f, 1e-4);
}

TEST(SynthMidiLinks, OmniAppliesEveryRow) {
    LinkSynth s;
    s.synth.add_link_by_path(*s.midi, {"Clock"}, 1, 5, 10, 0.0f, 1.0f);
    s.midi->setOmni(true);
    s.block({cc(12, 10, 42)});  // channel 12 is not held; omni's any-channel state sees it
    EXPECT_NEAR(s.position(2), 42.0f, 1e-4);
}

TEST(SynthMidiLinks, LinksCanBeSwitchedOff) {
    LinkSynth s;
    s.synth.add_link_by_path(*s.midi, {"fork0"}, 1, 1, 7, 0.0f, 1.0f);
    s.synth.set_midi_links_enabled(false);
    s.block({cc(1, 7, 90)});
    EXPECT_EQ(s.position(0), 0.0f);
}

TEST(SynthMidiLinks, LearnBindsExactlyOneLinkThenForgetRemovesIt) {
    LinkSynth s;
    s.synth.set_learn_target(600, 1);
    s.synth.start_learn(*s.midi);
    for (int ch = 0; ch < 16; ++ch) EXPECT_NE(s.midi->channel_state(ch), nullptr);
    s.block({cc(3, 21, 77), cc(3, 22, 5, 1)});
    EXPECT_FALSE(s.synth.learning());
    EXPECT_EQ(s.position(0), 0.0f);  // the binding value is not applied
    midi_link_export out;
    indirection_tables_export(s.synth.tables(), out);
    ASSERT_EQ(out.param_ids.size(), 1u);
    EXPECT_EQ(out.channels[0], 3);
    EXPECT_EQ(out.controllers[0], 21);
    // The sixteen learning holds are gone, the link's hold stays.
    EXPECT_EQ(s.midi->hold_count(2), 1);
    EXPECT_EQ(s.midi->channel_state(6), nullptr);
    EXPECT_EQ(s.midi->hold_count(0), 1);

    s.block({cc(3, 23, 9)});  // a second movement binds nothing
    out = {};
    indirection_tables_export(s.synth.tables(), out);
    EXPECT_EQ(out.param_ids.size(), 1u);
    s.block({cc(3, 21, 127)});
    EXPECT_NEAR(s.position(0), 127.0f, 1e-4);
    EXPECT_TRUE(s.synth.target_has_link());

    s.synth.start_forget(*s.midi);
    s.block({});
    EXPECT_FALSE(s.synth.forgetting());
    EXPECT_FALSE(s.synth.target_has_link());
    EXPECT_EQ(s.midi->channel_state(2), nullptr);
    EXPECT_EQ(s.midi->hold_count(0), 1);
    EXPECT_EQ(s.midi->hold_count(16), 1);
}

TEST(SynthMidiLinks, StartingOneCancelsTheOther) {
    LinkSynth s;
    s.synth.set_learn_target(600, 1);
    s.synth.start_learn(*s.midi);
    s.synth.start_forget(*s.midi);
    EXPECT_FALSE(s.synth.learning());
    EXPECT_EQ(s.midi->hold_count(3), 1);  // one set of sixteen holds, not two
    s.synth.start_learn(*s.midi);
    EXPECT_FALSE(s.synth.forgetting());
    EXPECT_EQ(s.midi->hold_count(3), 1);
    s.block({});  // no controller: learning waits
    EXPECT_TRUE(s.synth.learning());
}

TEST(SynthMidiLinks, MinAndMaxOfTargetFromItsPosition) {
    LinkSynth s;
    s.synth.add_link_by_path(*s.midi, {"fork0"}, 1, 1, 7, 0.0f, 1.0f);
    s.synth.set_learn_target(600, 1);
    s.synth.set_parameter_int(600, 1, 127);
    s.synth.set_max_of_target();
    s.synth.set_parameter_int(600, 1, 0);
    s.synth.set_min_of_target();
    const midi_link* l = indirection_tables_links_at(s.synth.tables(), 0, 7);
    EXPECT_NEAR(l->offset, 0.4f, 1e-5);
    EXPECT_NEAR(s.synth.get_parameter(600, 1), 0.0f, 1e-6);
}

TEST(SynthMidiLinks, BlockWithMidiAndMessagesAllocatesNothing) {
    LinkSynth s;
    KelSimpleSynthQueue messages;
    s.synth.set_queue(&messages);
    s.synth.add_link_by_path(*s.midi, {"fork0"}, 1, 1, 7, 0.0f, 1.0f);
    s.synth.set_learn_target(601, 1);
    s.synth.start_learn(*s.midi);
    s.block({});  // warm up
    for (int i = 0; i < 50; ++i) messages.push(make_float_message(602, 1, static_cast<float>(i)));
    for (int i = 0; i < 100; ++i) s.queue.push(cc(1 + i % 3, 7 + i % 5, i, static_cast<uint32_t>(i * 20)));
    s.queue.push(t_midi_event{5000, 0x90, 60, 100});
    mellora::test::AllocationCounter count;
    s.block({}, 2500);
    EXPECT_EQ(count.count(), 0u);
    EXPECT_FALSE(s.synth.learning());  // learn bound on the audio thread without allocating
    EXPECT_NEAR(s.position(2), 49.0f, 1e-4);
}

TEST(SynthMidiLinks, InputEventsAdvanceBetweenSubBlocksOnly) {
    struct Probe : Synth {
        std::vector<int> first_offsets;
        t_midi_event_list* list = nullptr;
        void before_sub_block(int) override {
            first_offsets.push_back(list && !list->empty() ? static_cast<int>((*list)[0].offset) : -1);
        }
    } synth;
    synth.create_tables();
    synth.set_root(module_create_composite("44100 1024 0 0 main_synth mo"));
    synth.finish_graph();
    auto midi = std::make_unique<MidiInputState>();
    KelMidiEventQueue q(kMidiEventQueueCapacity);
    q.push(t_midi_event{2100, 0x90, 60, 100});
    midi->dispatch(q, 2500);
    synth.list = &midi->events();
    synth.render(midi.get(), 2500);
    EXPECT_EQ(synth.first_offsets, (std::vector<int>{2100, 1076, 52}));
    synth.render(nullptr, 16);  // the bare overload still takes a null list
}

} // namespace

namespace {
using namespace links_test;

// While another thread reads the settings, a block applies neither its messages nor its
// controller traffic; the next block applies both, with the controller's latest value.
TEST(SynthSettingsLatch, WritesHeldOffDuringAReadArriveAtTheNextBlock) {
    LinkSynth s;
    KelSimpleSynthQueue messages;
    s.synth.set_queue(&messages);
    s.synth.add_link_by_path(*s.midi, {"fork0"}, 1, 1, 7, 0.0f, 1.0f);
    s.synth.settings_latch().read_enter();
    messages.push(make_int_message(601, 1, 90));
    s.block({cc(1, 7, 30), cc(1, 7, 64, 10)});
    EXPECT_EQ(s.position(0), 0.0f);
    EXPECT_EQ(s.position(1), 0.0f);
    s.synth.settings_latch().read_leave();
    s.block({});
    EXPECT_NEAR(s.position(0), 64.0f, 1e-4);
    EXPECT_NEAR(s.position(1), 90.0f, 1e-4);
}

} // namespace

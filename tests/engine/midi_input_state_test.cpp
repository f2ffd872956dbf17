#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "engine/midi_input_state.h"
#include "engine/sync_input_port.h"
#include "tests/support/alloc_counter.h"

namespace {

struct Fixture : ::testing::Test {
    std::unique_ptr<MidiInputState> in = std::make_unique<MidiInputState>();
    KelMidiEventQueue queue{kMidiEventQueueCapacity};
    std::vector<MidiPortNotify> notes;

    static void collect(void* ctx, const MidiPortNotify& n) {
        static_cast<std::vector<MidiPortNotify>*>(ctx)->push_back(n);
    }
    void SetUp() override {
        notes.reserve(64);
        in->set_notify(&Fixture::collect, &notes);
    }
    void push(uint32_t offset, uint8_t s, uint8_t d1 = 0, uint8_t d2 = 0) {
        ASSERT_TRUE(queue.push(t_midi_event{offset, s, d1, d2}));
    }
};

using MidiInput = Fixture;

TEST_F(MidiInput, StartsHoldingChannelOneAndAnyChannel) {
    EXPECT_NE(in->channel_state(0), nullptr);
    EXPECT_NE(in->channel_state(16), nullptr);
    EXPECT_EQ(in->channel_state(2), nullptr);
    EXPECT_EQ(in->receiveChannel(), 1);
    EXPECT_EQ(in->channel_state(16)->pitch_bend, 8192);
}

TEST_F(MidiInput, ReceiveChannelIsClampedAndHeld) {
    const struct { int asked, got; } cases[] = {{0, 1}, {-3, 1}, {17, 16}, {5, 5}};
    for (auto c : cases) {
        in->setReceiveChannel(c.asked);
        EXPECT_EQ(in->receiveChannel(), c.got) << c.asked;
        EXPECT_NE(in->channel_state(c.got - 1), nullptr);
    }
    // The old receive channel's hold went with the change.
    EXPECT_EQ(in->channel_state(15), nullptr);
    EXPECT_EQ(in->hold_count(4), 1);
}

TEST_F(MidiInput, HoldsCountAndUnbalancedReleaseIsHarmless) {
    in->hold(3);
    in->hold(3);
    in->release(3);
    ASSERT_NE(in->channel_state(3), nullptr);
    in->channel_state(3)->controllers[7] = 99;
    in->release(3);
    EXPECT_EQ(in->channel_state(3), nullptr);
    in->release(3);  // no hold left: must not go negative
    in->hold(3);
    ASSERT_NE(in->channel_state(3), nullptr);
    EXPECT_EQ(in->channel_state(3)->controllers[7], 0);  // a fresh state
}

TEST_F(MidiInput, ChannelMessagesFillStatesAndEventList) {
    in->hold(2);
    push(10, 0x92, 60, 0);     // note-on velocity 0, channel 3
    push(4, 0x92, 64, 90);
    push(5, 0xe2, 0, 64);      // pitch bend centre
    push(6, 0xb2, 64, 63);     // sustain released
    push(7, 0xb2, 1, 33);
    push(8, 0xd2, 77);
    push(9, 0xb2, 123, 0);
    EXPECT_EQ(in->dispatch(queue, 512), 7);

    const MidiChannelState* cs = in->channel_state(2);
    ASSERT_NE(cs, nullptr);
    ASSERT_EQ(cs->note_count, 2);
    EXPECT_EQ(cs->notes[0].note, 64);  // sorted by offset
    EXPECT_EQ(cs->notes[1].note, 60);
    EXPECT_EQ(cs->notes[1].velocity, 0);
    EXPECT_EQ(cs->pitch_bend, 8192);
    EXPECT_EQ(cs->controllers[129], 64);
    EXPECT_EQ(cs->sustain, 0);
    EXPECT_EQ(cs->modulation, 33);
    EXPECT_EQ(cs->pressure, 77);
    EXPECT_EQ(cs->controllers[128], 77);
    EXPECT_TRUE(cs->all_notes_off);
    EXPECT_EQ(cs->all_notes_off_offset, 9);
    // The list keeps the channel-3 note-on with velocity 0 as it came.
    ASSERT_EQ(in->events().size(), 7);
    EXPECT_EQ(in->events()[6].status, 0x92);
    EXPECT_EQ(in->events()[6].data2, 0);

    push(0, 0xb2, 64, 64);
    in->dispatch(queue, 512);
    EXPECT_EQ(cs->sustain, 1);
}

TEST_F(MidiInput, OmniFeedsAnyChannelAndUnheldChannelsStillReachTheList) {
    in->setOmni(true);
    push(0, 0x95, 60, 100);  // channel 6, not held
    EXPECT_EQ(in->dispatch(queue, 64), 1);
    EXPECT_EQ(in->events().size(), 1);
    EXPECT_EQ(in->channel_state(16)->note_count, 1);
    in->endOfBlock();
    in->setOmni(false);
    push(0, 0x95, 61, 100);
    in->dispatch(queue, 64);
    EXPECT_EQ(in->channel_state(16)->note_count, 0);
}

TEST_F(MidiInput, ChangedControllersInOrderOfFirstChange) {
    in->hold(1);
    push(0, 0xb1, 7, 10);
    push(1, 0xb0, 74, 1);
    push(2, 0xb1, 10, 20);
    push(3, 0xb1, 7, 30);  // second change of 7 keeps its place, latest value
    in->dispatch(queue, 64);
    int ch, ctl, v;
    std::vector<std::array<int, 3>> seen;
    while (in->next_changed_controller(ch, ctl, v)) seen.push_back({ch, ctl, v});
    const std::vector<std::array<int, 3>> want = {{0, 74, 1}, {1, 7, 30}, {1, 10, 20}};
    EXPECT_EQ(seen, want);
    // Rewound after the end.
    ASSERT_TRUE(in->next_changed_controller(ch, ctl, v));
    EXPECT_EQ(ctl, 74);
    in->endOfBlock();
    EXPECT_FALSE(in->next_changed_controller(ch, ctl, v));
    EXPECT_EQ(in->channel_state(1)->controllers[7], 30);  // values persist
}

TEST_F(MidiInput, SystemMessagesBecomeNotifications) {
    push(0, 0xf8);
    push(1, 0xf8);
    push(2, 0xf8);
    push(3, 0xfa);
    push(4, 0xc4, 12);
    push(5, 0xf2, 3, 2);
    push(6, 0xfc);
    push(7, 0xfb);
    push(8, 0xff);
    push(9, 0xf8);
    EXPECT_EQ(in->dispatch(queue, 64), 0);
    const std::vector<std::array<int, 3>> want = {{7, 3, 0}, {4, 0, 0}, {2, 4, 12}, {3, 259, 0},
                                                  {5, 0, 0}, {6, 0, 0}, {9, 0, 0},  {7, 1, 0}};
    std::vector<std::array<int, 3>> got;
    for (const auto& n : notes) got.push_back({n.kind, n.words[0], n.words[1]});
    EXPECT_EQ(got, want);

    notes.clear();
    for (int i = 0; i < 5; ++i) push(0, 0xf8);
    in->dispatch(queue, 64);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].kind, 7);
    EXPECT_EQ(notes[0].words[0], 5);
}

TEST_F(MidiInput, ProgramChangeWithoutNotifyIsAChannelMessage) {
    in->set_notify(nullptr, nullptr);
    push(0, 0xc0, 5);
    push(0, 0xf8);
    EXPECT_EQ(in->dispatch(queue, 64), 1);
    EXPECT_TRUE(in->channel_state(0)->received);
}

TEST_F(MidiInput, LateEventsWaitForTheirBlockWithoutHoldingBackOthers) {
    push(700, 0x90, 60, 100);  // beyond this 512-frame block
    push(3, 0x90, 62, 100);    // behind it in the queue, due now
    push(1500, 0x90, 64, 100);
    EXPECT_EQ(in->dispatch(queue, 512), 1);
    ASSERT_EQ(in->channel_state(0)->note_count, 1);
    EXPECT_EQ(in->channel_state(0)->notes[0].note, 62);
    EXPECT_EQ(in->carried_count(), 2);
    in->endOfBlock();

    push(10, 0x90, 65, 100);
    EXPECT_EQ(in->dispatch(queue, 512), 2);
    const MidiChannelState* cs = in->channel_state(0);
    ASSERT_EQ(cs->note_count, 2);
    EXPECT_EQ(cs->notes[0].note, 65);
    EXPECT_EQ(cs->notes[1].note, 60);
    EXPECT_EQ(cs->notes[1].offset, 700 - 512);
    in->endOfBlock();

    EXPECT_EQ(in->dispatch(queue, 512), 1);
    EXPECT_EQ(in->channel_state(0)->notes[0].offset, 1500 - 1024);
    EXPECT_EQ(in->carried_count(), 0);
}

TEST_F(MidiInput, AllNotesOffAndEndOfBlock) {
    in->hold(4);
    push(0, 0xe4, 0, 0);
    push(0, 0xb4, 64, 127);
    push(0, 0x94, 60, 100);
    in->dispatch(queue, 64);
    in->allNotesOff();
    for (int i : {0, 4, 16}) {
        const MidiChannelState* cs = in->channel_state(i);
        ASSERT_NE(cs, nullptr);
        EXPECT_TRUE(cs->all_notes_off);
        EXPECT_EQ(cs->pitch_bend, 8192);
        EXPECT_EQ(cs->sustain, 0);
    }
    int cc123 = 0;
    for (const t_midi_event& e : in->events()) cc123 += (e.status & 0xf0) == 0xb0 && e.data1 == 123;
    EXPECT_EQ(cc123, 16);

    in->endOfBlock();
    EXPECT_TRUE(in->events().empty());
    const MidiChannelState* cs = in->channel_state(4);
    EXPECT_EQ(cs->note_count, 0);
    EXPECT_FALSE(cs->all_notes_off);
    EXPECT_FALSE(cs->received);
    EXPECT_EQ(cs->changed_count, 0);
    EXPECT_EQ(cs->controllers[64], 127);
}

TEST_F(MidiInput, DispatchAllocatesNothing) {
    in->hold(2);
    in->setOmni(true);
    for (int i = 0; i < 300; ++i) push(i, 0x90 | (i % 4), 60, 100);
    push(20000, 0x80, 60, 0);
    push(0, 0xf8);
    mellora::test::AllocationCounter count;
    in->dispatch(queue, 512);
    int ch, ctl, v;
    while (in->next_changed_controller(ch, ctl, v)) {}
    in->allNotesOff();
    in->endOfBlock();
    EXPECT_EQ(count.count(), 0u);
}

TEST(SyncInputPort, BaseAdvancesPositionAndIgnoresBadTempo) {
    CSyncInputPort port;
    EXPECT_FALSE(port.usable());
    port.update(22050, 44100.0);  // half a second at 120 BPM: one beat
    EXPECT_DOUBLE_EQ(port.position(), 0.0);
    EXPECT_DOUBLE_EQ(port.next().position, 1.0);
    port.update(22050, 44100.0);
    EXPECT_DOUBLE_EQ(port.position(), 1.0);
    EXPECT_FLOAT_EQ(port.tempo(), 120.0f);

    struct Bad : CSyncInputPort {
        void set_next_tempo(float t) { next_.tempo = t; }
    } bad;
    for (float t : {0.0f, -60.0f, NAN, INFINITY}) {
        bad.set_next_tempo(t);
        bad.update(512, 44100.0);
        bad.update(512, 44100.0);
        EXPECT_TRUE(std::isfinite(bad.next().position)) << t;
    }
}

} // namespace

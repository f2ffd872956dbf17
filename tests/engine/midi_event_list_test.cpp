// The sorted per-block MIDI event list.
#include <gtest/gtest.h>

#include <vector>

#include "engine/midi_event_list.h"

namespace {
std::vector<uint32_t> offsets(const t_midi_event_list& l) {
    std::vector<uint32_t> v;
    for (const t_midi_event& e : l) v.push_back(e.offset);
    return v;
}
} // namespace

TEST(MidiEventList, SortedInsertionKeepsArrivalOrderAtEqualOffsets) {
    t_midi_event_list l;
    l.insert(10, 0x90, 1, 1);
    l.insert(5, 0x90, 2, 1);
    l.insert(10, 0x90, 3, 1);
    l.insert(0, 0x90, 4, 1);
    l.insert(10, 0x80, 5, 1);
    l.insert(7, 0xb0, 6, 1);
    EXPECT_EQ(offsets(l), (std::vector<uint32_t>{0, 5, 7, 10, 10, 10}));
    EXPECT_EQ(l[3].data1, 1);
    EXPECT_EQ(l[4].data1, 3);
    EXPECT_EQ(l[5].data1, 5);
}

TEST(MidiEventList, VelocityZeroNoteOnOnChannelOneBecomesNoteOff) {
    const struct {
        uint8_t status, velocity, want_status, want_velocity;
    } cases[] = {
        {0x90, 0, 0x80, 64},   // note-on, velocity 0: a note-off
        {0x90, 1, 0x90, 1},
        {0x91, 0, 0x91, 0},    // only channel 1 is rewritten
        {0x80, 0, 0x80, 0},
        {0xb0, 0, 0xb0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.status) << " " << int(c.velocity));
        t_midi_event_list l;
        l.insert(3, c.status, 60, c.velocity);
        ASSERT_EQ(l.size(), 1);
        EXPECT_EQ(l[0].status, c.want_status);
        EXPECT_EQ(l[0].data1, 60);
        EXPECT_EQ(l[0].data2, c.want_velocity);
    }
}

TEST(MidiEventList, AdvanceDropsEarlierEventsAndShiftsTheRest) {
    const struct {
        uint32_t n;
        std::vector<uint32_t> left;
    } cases[] = {
        {0, {0, 5, 5, 10}}, {5, {0, 0, 5}}, {6, {4}}, {10, {0}}, {11, {}}, {1000, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        t_midi_event_list l;
        for (uint32_t o : {0u, 5u, 5u, 10u}) l.insert(o, 0x90, 60, 1);
        l.advance(c.n);
        EXPECT_EQ(offsets(l), c.left);
    }
    t_midi_event_list empty;
    empty.advance(10);
    EXPECT_TRUE(empty.empty());
}

// A full list drops the event instead of growing on the audio thread.
TEST(MidiEventList, FullListDropsAndLargerCapacityIsHonoured) {
    t_midi_event_list l;
    EXPECT_EQ(l.capacity(), 1024);
    for (int i = 0; i < 1024; ++i) ASSERT_TRUE(l.insert(static_cast<uint32_t>(i), 0x90, 60, 1));
    EXPECT_FALSE(l.insert(0, 0x80, 61, 1));
    EXPECT_EQ(l.size(), 1024);
    EXPECT_EQ(l[0].data1, 60);
    l.clear();
    EXPECT_TRUE(l.empty());

    t_midi_event_list big(3000);
    EXPECT_EQ(big.capacity(), 3000);
    for (int i = 0; i < 3000; ++i) ASSERT_TRUE(big.insert(static_cast<uint32_t>(3000 - i), 0x90, 60, 1));
    EXPECT_FALSE(big.insert(1, 0x90, 60, 1));
    EXPECT_EQ(big[0].offset, 1u);
    EXPECT_EQ(big[2999].offset, 3000u);
    EXPECT_EQ(t_midi_event_list(5).capacity(), 1024);  // small requests keep the inline store
}

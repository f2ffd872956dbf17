#include <gtest/gtest.h>

#include "engine/kel_simple_synth_queue.h"
#include "engine/port_notify.h"

namespace {

TEST(KelSimpleSynthQueue, FullQueueDropsTheExtraMessageAndKeepsOrder) {
    KelSimpleSynthQueue q;
    for (int i = 0; i < 10000; ++i) ASSERT_TRUE(q.push(make_int_message(600, 2, i))) << i;
    EXPECT_FALSE(q.push(make_int_message(600, 2, 10000)));
    t_message m;
    for (int i = 0; i < 10000; ++i) {
        ASSERT_TRUE(q.pop(m));
        ASSERT_EQ(m.value.i, i);
    }
    EXPECT_FALSE(q.pop(m));
}

TEST(KelInterruptSafeQueue, EmptyPopAndPeek) {
    KelMidiEventQueue q(kMidiEventQueueCapacity);
    t_midi_event e{7, 0x90, 60, 100};
    EXPECT_FALSE(q.pop(e));
    EXPECT_FALSE(q.peek(e));
    EXPECT_EQ(e.offset, 7u);  // untouched

    ASSERT_TRUE(q.push(t_midi_event{3, 0x80, 61, 0}));
    t_midi_event a{}, b{};
    ASSERT_TRUE(q.peek(a));
    ASSERT_TRUE(q.peek(b));
    EXPECT_EQ(a.offset, 3u);
    EXPECT_EQ(b.data1, 61);
    ASSERT_TRUE(q.pop(a));
    EXPECT_EQ(a.status, 0x80);
    EXPECT_FALSE(q.pop(a));
}

TEST(KelInterruptSafeQueue, NodesAreRecycledAndInterleavedBatchesKeepOrder) {
    KelInterruptSafeQueue<MidiPortNotify> q(kMidiNotifyQueueCapacity);
    MidiPortNotify n;
    for (int i = 0; i < 100000; ++i) {
        n.words[0] = i;
        ASSERT_TRUE(q.push(n));
        ASSERT_TRUE(q.pop(n));
        ASSERT_EQ(n.words[0], i);
    }
    // Pushes that arrive while the reader list is half consumed come after it.
    int next_in = 0, next_out = 0;
    for (int round = 0; round < 50; ++round) {
        for (int k = 0; k < 37; ++k) {
            n.words[0] = next_in++;
            ASSERT_TRUE(q.push(n));
        }
        for (int k = 0; k < 20; ++k) {
            ASSERT_TRUE(q.pop(n));
            ASSERT_EQ(n.words[0], next_out++);
        }
    }
    while (q.pop(n)) ASSERT_EQ(n.words[0], next_out++);
    EXPECT_EQ(next_out, next_in);
    // Still exactly the capacity.
    int accepted = 0;
    while (q.push(n)) ++accepted;
    EXPECT_EQ(accepted, 1024);
}

TEST(KelInterruptSafeQueue, AudioNotifyInstanceCarriesItsPointer) {
    KelAudioNotifyQueue q(kAudioNotifyQueueCapacity);
    int payload = 5;
    AudioPortNotify a;
    a.type = 3;
    a.data = &payload;
    ASSERT_TRUE(q.push(a));
    AudioPortNotify b;
    ASSERT_TRUE(q.pop(b));
    EXPECT_EQ(b.type, 3);
    EXPECT_EQ(b.data, &payload);
    EXPECT_EQ(q.capacity(), 128u);
}

} // namespace

#include "analog/voice_allocator.h"

#include "tests/support/alloc_counter.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

std::unique_ptr<VoiceAllocator> make(int policy, int count, int capacity = 8) {
    auto a = make_voice_allocator(policy, count, capacity);
    EXPECT_TRUE(a);
    return a;
}

// Every policy with all voices held: which held note loses its voice.
TEST(VoiceAllocator, StealingOrderUnderEachPolicy) {
    struct Case {
        const char* name;
        int policy;
        int stolen_note;
    };
    const Case cases[] = {
        {"optimal steals the oldest", kVoiceOptimal, 60},
        {"low-note priority steals the highest", kVoiceLowNotePriority, 70},
        {"high-note priority steals the lowest", kVoiceHighNotePriority, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto a = make(c.policy, 3);
        int voices[3] = {a->note_on(60), a->note_on(50), a->note_on(70)};
        EXPECT_NE(voices[0], voices[1]);
        EXPECT_NE(voices[1], voices[2]);
        EXPECT_NE(voices[0], voices[2]);
        const int victim = a->voice_of(c.stolen_note);
        EXPECT_EQ(a->note_on(65), victim);
        // The stolen note is unmapped: its late note-off must not release note 65.
        EXPECT_EQ(a->voice_of(c.stolen_note), -1);
        EXPECT_EQ(a->note_off(c.stolen_note), -1);
        EXPECT_TRUE(a->is_held(65));
    }
}

TEST(VoiceAllocator, OptimalStealsOldestThenReusesReleasedVoice) {
    t_VoiceAllocator<OptimalVoiceAgeManager> a(4, 4);
    for (int note = 60; note < 64; ++note) EXPECT_EQ(a.note_on(note), note - 60);
    EXPECT_EQ(a.note_on(64), 0);  // every voice held: the oldest (60's) goes
    EXPECT_EQ(a.note_off(61), 1);
    EXPECT_EQ(a.note_on(65), 1);  // the only released voice, though not the oldest
    // With nothing held the oldest released voice goes first, in the order struck.
    a.all_notes_off();
    EXPECT_FALSE(a.is_held(64));
    EXPECT_EQ(a.voice_of(64), 0);  // released notes keep their voice for the release
    EXPECT_EQ(a.note_on(70), 2);
    EXPECT_EQ(a.note_on(71), 3);
    EXPECT_EQ(a.note_on(72), 0);
}

TEST(VoiceAllocator, OptimalRestrikeOfHeldNoteMovesToAnotherVoice) {
    t_VoiceAllocator<OptimalVoiceAgeManager> a(3, 3);
    const int old_voice = a.note_on(60);
    a.note_on(62);
    // What the keyboard does when a held note is struck again.
    ASSERT_TRUE(a.is_held(60));
    EXPECT_EQ(a.note_off(60), old_voice);
    const int new_voice = a.note_on_avoiding(60, old_voice);
    EXPECT_NE(new_voice, old_voice);
    EXPECT_EQ(a.voice_of(60), new_voice);
    EXPECT_TRUE(a.is_held(60));
    // The old voice keeps ringing released and no longer carries the note.
    EXPECT_EQ(a.manager().oldest()->voice, old_voice);
    EXPECT_EQ(a.manager().oldest()->note, -1);
    EXPECT_EQ(a.manager().oldest()->held, 0);

    // Every other voice held and the oldest is the re-struck one: the second oldest is stolen.
    t_VoiceAllocator<OptimalVoiceAgeManager> b(2, 2);
    EXPECT_EQ(b.note_on(60), 0);
    EXPECT_EQ(b.note_on(61), 1);
    EXPECT_EQ(b.note_off(60), 0);
    EXPECT_EQ(b.note_on_avoiding(60, 0), 1);
    EXPECT_EQ(b.voice_of(61), -1);
}

TEST(VoiceAllocator, NotePriorityChoosesAmongReleasedVoicesByPitch) {
    // Low-note priority: 50 then 40 on voices 0 and 1, both released: the higher one goes.
    t_VoiceAllocator<LowNotePriorityVoiceAgeManager> low(2, 2);
    EXPECT_EQ(low.note_on(50), 0);
    EXPECT_EQ(low.note_on(40), 1);
    low.note_off(50);
    low.note_off(40);
    EXPECT_EQ(low.note_on(70), 0);

    // Unused voices (note -1) come last under low-note priority, first under high-note.
    t_VoiceAllocator<LowNotePriorityVoiceAgeManager> low3(3, 3);
    low3.note_on(50);
    low3.note_off(50);
    EXPECT_EQ(low3.note_on(52), 0);
    t_VoiceAllocator<HighNotePriorityVoiceAgeManager> high3(3, 3);
    high3.note_on(50);
    high3.note_off(50);
    EXPECT_EQ(high3.note_on(52), 1);
}

// A high-note re-strike leaves the old voice carrying the note number while the map
// points at the new voice. Stealing the old voice later must not unmap the new one,
// or the note's note-off would find nothing and the note would hang.
TEST(VoiceAllocator, StealingTheRestrikeLeftoverKeepsTheNewMapping) {
    t_VoiceAllocator<HighNotePriorityVoiceAgeManager> a(2, 2);
    EXPECT_EQ(a.note_on(60), 0);
    a.note_off(60);
    EXPECT_EQ(a.note_on_avoiding(60, 0), 1);
    EXPECT_EQ(a.note_on(62), 0);  // the released leftover of 60
    EXPECT_EQ(a.note_off(60), 1);
    EXPECT_FALSE(a.is_held(60));
    EXPECT_TRUE(a.is_held(62));
}

TEST(VoiceAllocator, UnusableInputAnswersMinusOneAndChangesNothing) {
    for (int policy : {kVoiceOptimal, kVoiceLowNotePriority, kVoiceHighNotePriority}) {
        SCOPED_TRACE(policy);
        auto a = make(policy, 2);
        const int v = a->note_on(60);
        EXPECT_EQ(a->note_off(61), -1);  // never struck
        for (int note : {-1, 128, 255, -2147483647}) {
            EXPECT_EQ(a->note_on(note), -1);
            EXPECT_EQ(a->note_on_avoiding(note, v), -1);
            EXPECT_EQ(a->note_off(note), -1);
            EXPECT_FALSE(a->is_held(note));
        }
        EXPECT_EQ(a->voice_of(60), v);
        EXPECT_TRUE(a->is_held(60));

        // No voices at all: zero count, or more voices than nodes.
        for (auto [count, capacity] : {std::pair{0, 4}, std::pair{5, 4}, std::pair{-3, 4}}) {
            auto empty = make(policy, count, capacity);
            EXPECT_EQ(empty->note_on(60), -1);
            EXPECT_EQ(empty->note_on_avoiding(60, 0), -1);
            EXPECT_EQ(empty->note_off(60), -1);
            empty->all_notes_off();
            empty->reset(2);
            EXPECT_EQ(empty->note_on(60), -1);
        }
    }
}

TEST(VoiceAllocator, ResetChangesTheUsableVoiceCount) {
    for (int policy : {kVoiceOptimal, kVoiceLowNotePriority, kVoiceHighNotePriority}) {
        SCOPED_TRACE(policy);
        auto a = make(policy, 8, 8);
        a->note_on(60);
        a->reset(2);
        EXPECT_EQ(a->voice_of(60), -1);  // the map is cleared
        for (int note = 40; note < 56; ++note) {
            const int v = a->note_on(note);
            EXPECT_TRUE(v == 0 || v == 1) << v;
        }
        a->reset(9);  // above the capacity: the count stays 2
        for (int note = 40; note < 56; ++note) {
            const int v = a->note_on(note);
            EXPECT_TRUE(v == 0 || v == 1) << v;
        }
    }
}

} // namespace

namespace {

// The keyboard calls the allocators from the render: they must never touch the heap.
TEST(VoiceAllocator, NoteTrafficAllocatesNothing) {
    for (int policy : {kVoiceOptimal, kVoiceLowNotePriority, kVoiceHighNotePriority}) {
        auto a = make(policy, 32, 32);
        mellora::test::AllocationCounter counter;
        for (int i = 0; i < 1000; ++i) {
            const int note = (i * 37) % 128;
            if (a->is_held(note)) {
                const int old = a->note_off(note);
                a->note_on_avoiding(note, old);
            } else if (i % 3) {
                a->note_on(note);
            } else {
                a->note_off((note + 5) % 128);
            }
        }
        a->all_notes_off();
        a->reset(16);
        EXPECT_EQ(counter.count(), 0u) << policy;
    }
}

} // namespace

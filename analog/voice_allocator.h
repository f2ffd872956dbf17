#pragma once
// Voice allocation: which voice plays a note, and which voice a new note steals when
// every voice is busy.
//
// An allocator keeps a map of the 128 note numbers to voice nodes and the held flag of
// each voice (set from note-on to note-off). A note-off keeps the note's mapping: the
// voice still sounds its release, and striking the same note again reuses it. Three
// stealing policies exist, each a voice age manager:
//   OptimalVoiceAgeManager            the voice struck longest ago,
//   LowNotePriorityVoiceAgeManager    the highest note (the low notes survive),
//   HighNotePriorityVoiceAgeManager   the lowest note (the high notes survive).
//
// Threads: built on the user-interface thread with the keyboard; afterwards every call
// belongs to the audio thread and allocates nothing (the nodes are allocated once, at
// construction, for the full capacity).
#include <cstdint>
#include <memory>

struct VoiceNode {
    int32_t voice = -1;  // 0..count-1 once reset
    int32_t note = -1;   // the note the voice plays or last played; -1 none
    uint8_t held = 0;    // 1 from note-on until note-off
    VoiceNode* older = nullptr;  // age list, optimal manager only
    VoiceNode* newer = nullptr;
};

class VoiceAllocator {
public:
    virtual ~VoiceAllocator() = default;
    // The voice for a new note (its own voice when it is still mapped); -1 when the
    // allocator has no voices or the note is not a MIDI note number.
    virtual int note_on(int note) = 0;
    // As note_on, but a note still mapped to `voice` moves to another one: a held note
    // struck again gets a fresh voice while the old one rings on released.
    virtual int note_on_avoiding(int note, int voice) = 0;
    // Clears the held flag; the voice of the note, or -1 when the note is not mapped.
    virtual int note_off(int note) = 0;
    virtual void all_notes_off() = 0;
    // Clears the note map and makes `count` voices available (0 < count <= capacity).
    virtual void reset(int count) = 0;
    virtual int voice_of(int note) const = 0;
    virtual bool is_held(int note) const = 0;
};

// The node array and active count shared by the three managers.
class VoiceAgeManagerBase {
public:
    VoiceAgeManagerBase(int count, int capacity);

    bool has_nodes() const { return nodes_ != nullptr; }
    int capacity() const { return capacity_; }
    int count() const { return count_; }
    void all_notes_off();

protected:
    // Renumbers nodes 0..count-1 as unused voices; false (nothing changed) when the
    // count does not fit the node array.
    bool reset_nodes(int count);

    std::unique_ptr<VoiceNode[]> nodes_;
    int capacity_ = 0;
    int count_ = 0;
};

// Steals the voice struck longest ago. The nodes form an age list, oldest to newest;
// a note-on moves its node to the newest end.
class OptimalVoiceAgeManager : public VoiceAgeManagerBase {
public:
    OptimalVoiceAgeManager(int count, int capacity);
    void reset(int count);
    void touch(VoiceNode* node);
    // The oldest released voice other than `excluded` (-1: none excluded), else the
    // oldest voice, or the second oldest when the oldest is the excluded one.
    VoiceNode* choose(int excluded);

    const VoiceNode* oldest() const { return oldest_; }
    const VoiceNode* newest() const { return newest_; }

private:
    VoiceNode* oldest_ = nullptr;
    VoiceNode* newest_ = nullptr;
};

// Low-note priority: a new note takes the released voice with the highest note, or,
// when every voice is held, steals the highest note. The excluded voice is ignored.
class LowNotePriorityVoiceAgeManager : public VoiceAgeManagerBase {
public:
    LowNotePriorityVoiceAgeManager(int count, int capacity);
    void reset(int count) { reset_nodes(count); }
    void touch(VoiceNode* node) { node->held = 1; }
    VoiceNode* choose(int excluded);
};

// High-note priority: the mirror image; the lowest note goes first and unused voices
// (note -1) are taken before any released one.
class HighNotePriorityVoiceAgeManager : public VoiceAgeManagerBase {
public:
    HighNotePriorityVoiceAgeManager(int count, int capacity);
    void reset(int count) { reset_nodes(count); }
    void touch(VoiceNode* node) { node->held = 1; }
    VoiceNode* choose(int excluded);
};

template <class Manager>
class t_VoiceAllocator final : public VoiceAllocator {
public:
    // An allocator with count voices out of `capacity` nodes; with count <= 0 or
    // capacity < count it has no voices and every note-on answers -1.
    t_VoiceAllocator(int count, int capacity) : manager_(count, capacity) {}

    int note_on(int note) override { return note_on_avoiding(note, -1); }

    int note_on_avoiding(int note, int voice) override {
        if (!valid(note) || !manager_.has_nodes()) return -1;
        VoiceNode* node = map_[note];
        if (!node || node->voice == voice) {
            node = manager_.choose(voice);
            if (!node) return -1;
            // Only the chosen node's own mapping goes: another node may play the same
            // note number since a re-strike, and its note-off must still find it.
            if (valid(node->note) && map_[node->note] == node) map_[node->note] = nullptr;
            map_[note] = node;
            node->note = note;
        }
        manager_.touch(node);
        return node->voice;
    }

    int note_off(int note) override {
        if (!valid(note) || !map_[note]) return -1;
        map_[note]->held = 0;
        return map_[note]->voice;
    }

    void all_notes_off() override { manager_.all_notes_off(); }

    void reset(int count) override {
        for (VoiceNode*& p : map_) p = nullptr;
        manager_.reset(count);
    }

    int voice_of(int note) const override { return valid(note) && map_[note] ? map_[note]->voice : -1; }
    bool is_held(int note) const override { return valid(note) && map_[note] && map_[note]->held; }

    const Manager& manager() const { return manager_; }

private:
    static bool valid(int note) { return note >= 0 && note < 128; }

    Manager manager_;
    VoiceNode* map_[128] = {};
};

// The keyboard's voice modes: 0 high-note priority, 1 low-note priority, 2 optimal.
enum VoicePolicy : int {
    kVoiceHighNotePriority = 0,
    kVoiceLowNotePriority = 1,
    kVoiceOptimal = 2,
};

// An allocator of the given policy (any other value gives the optimal one); null only
// when memory runs out.
std::unique_ptr<VoiceAllocator> make_voice_allocator(int policy, int count, int capacity);

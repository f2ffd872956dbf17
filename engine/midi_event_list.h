#pragma once
// MIDI events as the engine sees them, and the sorted per-block event list.
//
// Threads: a list belongs to one thread at a time (the audio thread once rendering
// starts). Insertion never allocates: the capacity is fixed when the list is made.
#include <cstdint>
#include <memory>

struct t_midi_event {
    uint32_t offset;  // frame within the current block
    uint8_t status;
    uint8_t data1;
    uint8_t data2;
};

class t_midi_event_list {
public:
    static constexpr int kInlineCapacity = 1024;

    explicit t_midi_event_list(int capacity = kInlineCapacity);
    t_midi_event_list(const t_midi_event_list&) = delete;
    t_midi_event_list& operator=(const t_midi_event_list&) = delete;

    // Inserts after every entry with an equal or smaller offset. A note-on on channel 1
    // with velocity 0 is stored as a note-off with velocity 64. False when the list is
    // full: the event is dropped rather than the list growing on the audio thread.
    bool insert(uint32_t offset, uint8_t status, uint8_t data1, uint8_t data2);
    bool insert(const t_midi_event& e) { return insert(e.offset, e.status, e.data1, e.data2); }

    // Drops the events before frame n and moves the others n frames earlier.
    void advance(uint32_t n);
    void clear() { count_ = 0; }

    int size() const { return count_; }
    int capacity() const { return capacity_; }
    bool empty() const { return count_ == 0; }
    const t_midi_event& operator[](int i) const { return data_[i]; }
    const t_midi_event* begin() const { return data_; }
    const t_midi_event* end() const { return data_ + count_; }

private:
    t_midi_event inline_[kInlineCapacity];
    std::unique_ptr<t_midi_event[]> heap_;
    t_midi_event* data_;
    int capacity_;
    int count_ = 0;
};

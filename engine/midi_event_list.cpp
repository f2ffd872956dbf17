#include "engine/midi_event_list.h"

#include <cstring>

t_midi_event_list::t_midi_event_list(int capacity) : data_(inline_), capacity_(kInlineCapacity) {
    if (capacity > kInlineCapacity) {
        heap_.reset(new t_midi_event[capacity]);
        data_ = heap_.get();
        capacity_ = capacity;
    }
}

bool t_midi_event_list::insert(uint32_t offset, uint8_t status, uint8_t data1, uint8_t data2) {
    if (count_ >= capacity_) return false;
    if (status == 0x90 && data2 == 0) {
        status = 0x80;
        data2 = 64;
    }
    // Events arrive mostly in order, so search from the back.
    int i = count_;
    while (i > 0 && data_[i - 1].offset > offset) --i;
    if (i < count_) std::memmove(data_ + i + 1, data_ + i, sizeof(t_midi_event) * (count_ - i));
    data_[i] = t_midi_event{offset, status, data1, data2};
    ++count_;
    return true;
}

void t_midi_event_list::advance(uint32_t n) {
    if (count_ == 0) return;
    if (data_[count_ - 1].offset < n) {
        count_ = 0;
        return;
    }
    int first = 0;
    while (first < count_ && data_[first].offset < n) ++first;
    int kept = count_ - first;
    if (first > 0) std::memmove(data_, data_ + first, sizeof(t_midi_event) * kept);
    for (int i = 0; i < kept; ++i) data_[i].offset -= n;
    count_ = kept;
}

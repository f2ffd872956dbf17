#pragma once
#include <cstdint>

// A note event inside the keyboard: frame within the block, note 0..127, velocity
// 1..127 for a note-on, 0 for a note-off.
struct t_key_event {
    int32_t frame;
    int16_t note;
    int16_t velocity;
};

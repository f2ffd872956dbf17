#pragma once
// The keys and the sustain pedal: every note is up, down, or sustained (released while
// the pedal holds it). The pedal swallows note-offs and gives them back when it is
// lifted; a note struck again softly while it still rings keeps part of its old
// velocity, the more the sooner it comes.
//
// Threads: audio thread only, inside the keyboard's process; allocates nothing.
#include <cstdint>

#include "analog/key_event.h"

class CSustainPedal {
  public:
    static constexpr int kNotes = 128;
    enum : uint8_t { kUp = 0, kDown = 1, kSustained = 2 };

    // One block of note events (frames in order, notes 0..127) with the pedal's state
    // for the block; `now` is the sample time of the block start. Writes the events
    // that reach the voices into `out` (room for count + 128) and returns their number.
    int process(const t_key_event* in, int count, bool pedal, int64_t now, float sample_rate,
                t_key_event* out);
    // Every key up, without events (the keyboard releases the voices itself).
    void release_all();

  private:
    uint8_t key_[kNotes] = {};
    int velocity_[kNotes] = {};
    int64_t struck_[kNotes] = {}; // sample time of the last note-on
    bool pedal_was_down_ = false;
};

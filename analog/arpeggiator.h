#pragma once
// The keyboard's arpeggiator: it takes the held notes (after the sustain pedal) and
// plays them one step at a time on a clock, either its own free-running one or the
// master clock's 240 pulses per quarter note.
//
// Threads: audio thread only, inside the keyboard's process; allocates nothing.
#include <cstdint>

#include "analog/key_event.h"

struct t_arp_settings {
    const int* steps = nullptr; // 16 entries, 1 plays the step
    int length = 15;            // the last step index; 15 gives 16 steps
    int octave_range = 0;       // octaves added to the held notes
    int octave_span = 1;        // 0 downwards, 1 upwards, 2 both ways
    int order = 0;              // 0 up, 1 down, 2 up-down, 3 up-down repeating the ends, 4 chord, 5 as played
    int sync = 17;              // 0 free running, else a tempo-division index
    bool latch = false;
    float rate = 5; // steps per second when free running
    float sample_rate = 44100;
};

class CArpeggiator {
  public:
    static constexpr int kNotes = 128;

    // Forgets held notes, latch and position. The caller releases what was sounding.
    void clear();
    // The octave or order settings changed: the next chord starts from the beginning.
    void mark_reset() { reset_pending_ = true; }
    // "arp_latch" went to 0: notes kept only by the latch are dropped.
    void clear_latch();
    bool latched() const { return latched_; }
    int held_count() const { return held_count_; }
    int step_index() const { return step_; }

    // One block: applies the note events (in frame order) and runs the clock (`clock`
    // may be null when nothing drives the input); writes the notes it plays into `out`
    // in frame order. Returns the number written. Note-ons are dropped before
    // note-offs when `out` would overflow, so no played note is left without its end.
    int process(const t_arp_settings& s, const t_key_event* in, int in_count, const float* clock, int frames,
                t_key_event* out, int capacity);

  private:
    void note_on(const t_arp_settings& s, int note, int velocity);
    void note_off(const t_arp_settings& s, int note);
    void drop(int note);
    void step(const t_arp_settings& s, int frame);
    int extended_velocity(const t_arp_settings& s, int note) const;
    int choose(const t_arp_settings& s);
    int choose_up_down(const t_arp_settings& s);
    void start_chord(const t_arp_settings& s);
    void emit(int frame, int note, int velocity);

    uint8_t velocity_[kNotes] = {}; // held velocity, 0 not held
    uint8_t down_[kNotes] = {};     // the key itself is down (latch keeps released ones)
    int down_count_ = 0;
    int16_t play_order_[kNotes] = {};
    int held_count_ = 0;
    int step_ = 0;
    bool restart_ = true; // the next step is step 0
    bool reset_pending_ = false;
    bool latched_ = false;
    int edges_ = 0;   // clock edges since the last step
    float phase_ = 0; // free-running square wave
    float level_ = 0;
    float last_clock_ = 0;
    int position_ = 127;
    int direction_ = 1;
    int play_index_ = -1;        // order 5
    int sounding_ = -1;          // the note playing, -1 none
    uint8_t chord_[kNotes] = {}; // order 4: the notes of the sounding chord
    bool chord_sounding_ = false;

    t_key_event* out_ = nullptr;
    int out_count_ = 0, out_capacity_ = 0;
};

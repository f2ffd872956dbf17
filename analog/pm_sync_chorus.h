#pragma once
// "pm_sync_chorus": the stereo chorus of the effect slots (instances Chorus_A and
// Chorus_B). A short delay line per channel is read at a position swept by a sine LFO, so
// the copy's pitch wavers around the original (phase modulation); the copies are mixed
// back with the input and spread across the two sides. The LFO counts pulses of a square
// clock: its own tempo generator (tempo coarse + fine, 240 pulses per beat), or with a sync
// step chosen the master clock, a cycle lasting one tempo division.
//
// Three processes, chosen by "mode": 0 one swept tap per channel with feedback, the right
// tap swept against the left; 1 two taps per channel a quarter cycle apart, no feedback;
// 2 as 0 with both taps swept together.
//
// Slots: inputs 1 clock, 2 left, 3 right; outputs 1 left, 2 right.
// Threads: created and given its rate on the building thread (the line is allocated there,
// sized from the rate); everything else runs on the audio thread and allocates nothing.
#include <string_view>

struct t_module;

// Event and query ids.
enum : int {
    kChorusClockSource = 1, // 0 own generator, 1 clock input (the sync step decides)
    kChorusCoarse = 2,      // tempo in whole BPM, position = BPM - 1
    kChorusFine = 3,        // tenths of BPM
    kChorusSteps = 4,       // sync index: 0 own generator, 1..24 a division of the clock
    kChorusAltTempo = 10,   // "alt_tempo": the tempo as one knob
    kChorusDelay = 16,
    kChorusMix = 17,
    kChorusSpread = 18,
    kChorusMode = 19,
    kChorusDepth = 20,
    kChorusFeedback = 21,
};

// Descriptor "%f %d %63s": sample rate, an unused integer, instance name. Null when the
// line is malformed or the line cannot be allocated.
t_module* pm_sync_chorus_create(std::string_view line);

// The five chorus presets of an effect slot, each a complete settings block with its
// header line ("pm_sync_chorus Chorus version 1"); *count receives 5.
const char* const* chorus_preset_texts(int* count);
// The body (the lines between the braces) of the instrument's default sound for
// Chorus_A (slot 0) or Chorus_B (slot 1).
const char* chorus_instrument_default_body(int slot);

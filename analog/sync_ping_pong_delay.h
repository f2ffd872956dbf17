#pragma once
// "sync_ping_pong_delay": the stereo echo of the effect slots (instances Delay_A and
// Delay_B). Each channel's line is fed back into the other channel's line, so an echo
// of the left input returns on the left, then on the right, then on the left again,
// each pass lower by the feedback and darkened by a one-pole low-pass. The delay time is
// free (the "delay" setting, 0.05 to 3 s) or locked to the master clock in steps of the
// shared tempo divisions; the locked length is measured from the clock every 60 pulses
// (a quarter of a beat) and glides to each new value.
//
// Slots: inputs 1 clock, 2 left, 3 right; outputs 1 left, 2 right.
// The lines hold more than 40 s at any sample rate; they are allocated at creation and
// again when the sample rate changes, never while rendering.
// Threads: created and given its rate on the building thread; everything else runs on
// the audio thread and allocates nothing.
#include <string_view>

struct t_module;

// Event and query ids.
enum : int {
    kDelaySteps = 1,    // sync index 0..24 (0 ends the lock)
    kDelayAngle = 3,    // stereo send balance
    kDelayCutoff = 4,   // feedback low-pass, about 16 * 2^(c/13) Hz
    kDelayTime = 5,     // "delay"
    kDelayFeedback = 6, // c / 128
    kDelayMix = 7,      // wet = c/127, dry = 1 - wet
    kDelaySync = 8,     // lock on / off
    kDelayDry = 9,
    kDelayWet = 10,
    kDelayOnOff = 0xffff,
};

// Descriptor "%f %d %63s": sample rate, an unused integer, instance name. Null when the
// line is malformed or the lines cannot be allocated ("can't allocate memory for delay
// line").
t_module* sync_ping_pong_delay_create(std::string_view line);

// The three delay presets of an effect slot, each a complete settings block with its
// header line ("sync_ping_pong_delay Delay version 1"); *count receives 3.
const char* const* delay_preset_texts(int* count);
// The body (the lines between the braces) that the instrument's default sound gives
// both Delay_A and Delay_B: locked to a quarter note.
const char* delay_instrument_default_body();

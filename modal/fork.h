#pragma once
// "fork": the resonating body of one voice, the tone bar, the tine (main and upper
// partial) and the key's mechanical tone noise, as four damped two-pole resonators
// driven by the sum of mallet and damper. Its output is the vibration the pickup hears.
//
// Inputs: 1 gate, 2 excitation, 3 pitch (octaves; 0 puts the tone bar at 261.62 Hz).
// Output: 1 fork vibration.
//
// Threads: created on the user-interface thread (the mode builders allocate); block
// processing, events and queries run on the audio thread and allocate nothing.
#include <string_view>

#include "engine/modular.h"

// Descriptor "%f %d %63s": sample rate, unused integer, name. Null, with an error
// report, when the line is malformed or a mode builder fails.
t_module* fork_create(std::string_view line);

// Event ids (controller positions 0..127); 0 carries a new sample rate in Hz.
enum : int {
    kForkSampleRate = 0,
    kForkAmplitudeTone = 1,
    kForkDampingTone = 3,
    kForkAmplitudeTine = 11,
    kForkDampingTine = 13,
    kForkDampFreqTine = 14,
    kForkTineBalance = 17,
    kForkNoisePitch = 20,
    kForkAmplitudeNoise = 21,
    kForkDampingNoise = 23,
    kForkDampFreqNoise = 24,
    kForkReleaseTime = 37,
    kForkOldNew = 40,
};

// Tine base angles (rad/s) by "old_new": the newer tine, the older one, and the one a
// settings text without an "old_new" line gets.
inline constexpr float kTineOmegaNew = 12081.971f;
inline constexpr float kTineOmegaOld = 10257.347f;
inline constexpr float kTineOmegaUnset = 11671.02f;

#pragma once
// "phaser": four first-order allpass sections swept by the sync LFO through a
// triangle (or by an external modulation input), their output fed back to their
// input and mixed with the dry signal. Where the chain turns the phase by 180 and 540
// degrees the mix cancels: two notches that move with the sweep.
//
// Slots by type:
//   1: inputs 1 audio, 2 external modulation;                        output 1 audio
//   2: inputs 1 clock, 2 LFO reset, 3 audio, 4 external modulation;  output 1 audio
// The instrument uses type 2 with the transport's outputs on inputs 1 and 2.
// Threads: created on the building thread; everything else runs on the audio thread.
#include <string_view>

struct t_module;

// Descriptor "%f %d %f %f %f %f %63s": sample rate, an unused integer, the defaults of
// frequency (Hz), feedback, modulation (octaves) and depth, instance name.
// Null when the line is malformed or the type is not 1 or 2.
t_module* phaser_create_type(int type, std::string_view line);
// The instrument's phaser (type 2).
t_module* phaser_create(std::string_view line);

// The effect slot's presets for this module: settings texts with their header line.
const char* const* phaser_preset_texts(int* count);

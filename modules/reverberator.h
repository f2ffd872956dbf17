#pragma once
// "reverberator": the stereo room reverb at the end of the effect chain, a four-line
// feedback delay network with allpass diffusers, a stereo pre-delay with two early
// reflection taps, and per-line high-pass and damping filters.
// Descriptor "%f %d %63s": sample rate, an unused integer, instance name.
// Inputs 1, 2 and outputs 1, 2: left and right.
//
// Threads: created, given a new rate and freed on the building thread (these allocate);
// process, messages and reset run on the audio thread and allocate nothing. Reading
// settings text runs where the kernel reads state text and allocates nothing either.
#include <string>
#include <string_view>
#include <vector>

struct t_module;

t_module* reverberator_create(std::string_view line);

// The nine settings texts that the reverb slot loads as its presets 0 to 8, each a
// complete block headed "reverberator Reverb version 1".
std::vector<std::string> reverberator_preset_texts();

// Delay length in samples of base length `index` (0..9, given at 44.1 kHz) scaled by
// `scale` at `rate`: the largest prime not above the scaled length. The network's
// lines, taps and diffusers all take their lengths from here.
int reverberator_delay_length(int index, float scale, float rate);

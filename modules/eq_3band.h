#pragma once
// "eq_3band": the instrument's tone control after the voice mix: a first-order low
// shelf, a peaking band and a first-order high shelf in series, then an output level.
// Coefficients are computed only when a setting changes and glide to their new values
// over 30 samples, so a knob turned while playing does not click.
//
// Slots: input 1 audio, output 1 audio.
// Threads: created on the building thread; everything else runs on the audio thread.
#include <string_view>

struct t_module;

// Descriptor "%f %d %63s": sample rate, an unused integer, instance name.
// Null when the line is malformed.
t_module* eq_3band_create(std::string_view line);

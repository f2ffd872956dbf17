#pragma once
// "auto_wah": the wah's swept filter (wah.h) moved by the input's own envelope, so
// the filter opens as the player strikes harder. The envelope is the rectified input
// through ten one-pole low-pass stages at "env_follow_freq", which gives a smooth
// attack without the ripple of a single stage.
//
// Slots: input 1 audio, output 1 audio. The effect slots hold a left and a right instance.
// Threads: created on the building thread; everything else runs on the audio thread.
#include <string_view>

struct t_module;

// Descriptor "%f %d %63s": sample rate, an unused integer, instance name. The
// instrument's auto-wah: cutoff 215..2200 Hz, default 976, absolute-value detection.
t_module* auto_wah_create(std::string_view line);
// With its cutoff range and default in Hz, and the detection mode: 0 rectifies the
// input; 1 squares it and takes the root of the envelope (an RMS-like level), halves
// the cutoff and keeps the voiced band-pass and the pedal within 430..2200 Hz.
// Null when the line is malformed or the range is not 1 Hz .. 20 kHz.
t_module* auto_wah_create_with(std::string_view line, float cutoff_min, float cutoff_max,
                               float cutoff_default, int detection);

// The effect slot's presets for this module: settings texts with their header line.
const char* const* auto_wah_preset_texts(int* count);

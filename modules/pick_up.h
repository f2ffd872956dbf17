#pragma once
// "pick_up": the magnetic pickup of one voice. It turns the fork's tip vibration into
// the coil voltage, whose non-linearity depends on the tip's static offset in front of
// the magnet ("a", symmetry) and on the gap ("b", distance). Two models are offered
// (0: leaky-integrated flux, 1: direct position); switching by event fades the voice
// out, swaps and fades it back in. Gains and geometry are latched at each rising gate,
// so a change reaches a voice at its next key press.
//
// Slots: inputs 1 fork vibration, 2 pitch (octaves from middle C), 3 gate; output 1.
// Threads: created on the building thread; everything else runs on the audio thread.
#include <string_view>

struct t_module;

// Descriptor "%f %d %f %f %f %f %63s": sample rate, an unused integer, a (symmetry),
// b (distance), input gain, output gain, instance name. Null when the line is malformed.
t_module* pick_up_create(std::string_view line);

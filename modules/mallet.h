#pragma once
// "mallet": the force pulse of a felt hammer striking one voice's tine.
//
// Inputs: 1 gate, 2 pitch (octaves from middle C), 3 velocity (0..1), 4 modulation.
// Output: 1 force. A rising gate strikes trunc(111 / 2^pitch) samples later; the pulse
// is the impulse response of two slow and two fast one-pole low-pass stages whose
// corner follows the cutoff, the pitch (mod1) and the velocity (mod2), and whose
// height follows the modulation input (mod3).
//
// Threads: created on the user-interface thread; everything else runs on the audio
// thread and allocates nothing (the settings text aside).
#include <string_view>

#include "engine/modular.h"

// Descriptor "%f %d %f %f %63s": sample rate, unused integer, cutoff (Hz), strength, name.
// Null, with an error report, when the line does not hold those fields.
t_module* mallet_create(std::string_view line);

// Event ids (controller positions 0..127).
enum : int {
    kMalletCutoff = 1,
    kMalletStrength = 2,
    kMalletStrike = 3,
    kMalletMod1 = 4,
    kMalletMod2 = 5,
    kMalletMod3 = 6,
};

// Shared by the voice modules that keep plain-float settings: reads "name value" pairs
// up to the block's closing brace and hands each pair whose value is a finite number to
// `apply`. Malformed text ends the block cleanly; nested blocks are skipped.
using VoiceSettingApply = void (*)(t_module* m, std::string_view name, float value);
void voice_read_setting_pairs(t_module* m, KelTextReader& in, VoiceSettingApply apply);

// A controller position from a query formula: truncated, clamped to 0..127, and 0 for
// a formula that gave no number (the log of a zero setting).
int voice_controller_clamp(double x);

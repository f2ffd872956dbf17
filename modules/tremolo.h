#pragma once
// "tremolo": amplitude modulation after the equaliser, turning the mono signal into a
// stereo pair: in phase on both sides ("Mono") or in opposite phase, an auto-pan
// ("Stereo"). The modulation runs free at a speed in cycles per minute or locked to
// the master clock through the shared sync LFO (modules/sync_lfo.h), the lock lengths
// coming from the shared tempo divisions (modules/tempo_division.h).
//
// Types and slots:
//   1: input 1 audio;                                      outputs 1 left, 2 right
//   2: inputs 1 clock, 2 LFO reset, 3 audio;               outputs 1 left, 2 right
//   3: inputs 1 clock, 2 LFO reset, 3 left, 4 right audio  (input 3 feeds both sides
//      when input 4 is not connected);                     outputs 1 left, 2 right
// The instrument uses type 2, with the transport's clock output on input 1.
//
// Once per meter period (2502 samples) the module sends its owner message 6 with the
// panel lamp's level (0 to 32 in steps of 4) when it changed.
// Threads: created on the building thread; everything else runs on the audio thread.
#include <string_view>

struct t_module;

// Descriptor "%f %d %63s": sample rate, an unused integer, instance name.
// Null when the line is malformed or the type is not 1, 2 or 3.
t_module* tremolo_create_type(int type, std::string_view line);
// The instrument's tremolo (type 2).
t_module* tremolo_create(std::string_view line);

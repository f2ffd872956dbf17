#pragma once
// "distortion": a voiced overdrive. A three-section equaliser chosen by the type
// colours the input, the result is driven into a waveshaper at eight times the sample
// rate (so the harmonics it makes above Nyquist are filtered away instead of folding
// back), decimated, tilted by a tone control and scaled by a level. Switching on and
// off cross-fades with the dry input over 50 ms.
//
// Slots: input 1 audio, output 1 audio. The effect slots hold a left and a right instance.
// Threads: created on the building thread; everything else runs on the audio thread.
#include <string_view>

struct t_module;

// Descriptor "%f %d %63s": sample rate, an unused integer, instance name.
// Null when the line is malformed.
t_module* distortion_create(std::string_view line);

// The effect slot's presets for this module: settings texts with their header line.
const char* const* distortion_preset_texts(int* count);

// The waveshaper of a type (0 to 6): the identity between two thresholds, flattening
// towards the type's limits outside them. Types outside 0..6 leave v unchanged.
float distortion_shape(int type, float v);

#pragma once
// "stereo_audio_out": the last stage. Writes inputs 1 (left) and 2 (right) through the
// soft clipper into the host's two output channels. Descriptor "%f %d %63s".
// Control kind 3 hands over the two output pointers (float*), which advance with every
// written sample and so must be given again before every block.
#include <string_view>

struct t_module;
t_module* stereo_audio_out_create(std::string_view line);

// The soft clipper: unity below 0.7 in magnitude, then a curve that approaches 1
// with slope 1 at the joint.
float stereo_soft_clip(float x);

enum { kControlAudioOutputs = 3 };

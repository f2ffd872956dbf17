#pragma once
// A small graph of utility modules that shows the kernel at work: two constants, a
// controllable gain, a sum, the two master volumes and the output stage.
//
//   tone_a (0.25) -> gain_a -+
//                            +-> mix -> Volume       -> stereo (left)
//   tone_b (-0.125) ---------+       -> Volume_Right -> stereo (right)
//
// With gain_a at controller 64 (gain 1) and the volumes at 0.5 and 1 the settled
// output is 0.0625 left and 0.125 right.
#include "engine/synth.h"

class DemoSynth : public Synth {
public:
    // Builds the graph at the given rate; false (and an error report) on failure.
    bool build(int sample_rate);
    // Renders one host block into the two channels.
    void render_block(float* left, float* right, int frames);

    t_module* gain_a = nullptr;
    t_module* volume = nullptr;
    t_module* volume_right = nullptr;
    t_module* stereo = nullptr;
};

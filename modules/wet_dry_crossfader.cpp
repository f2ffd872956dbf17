#include "modules/wet_dry_crossfader.h"

#include <cstring>

namespace {

void glide_to(t_wet_dry_crossfader& f, float target) {
    f.target = target;
    f.active = true;
    if (f.mix == target) {
        f.steps_left = 0;
        return;
    }
    const int steps = f.ramp_steps > 0 ? f.ramp_steps : 1;
    f.steps_left = steps;
    f.increment = (target - f.mix) / static_cast<float>(steps);
}

} // namespace

void crossfader_turn_on(t_wet_dry_crossfader& f) {
    if (f.on) return;
    f.on = true;
    glide_to(f, 1);
}

void crossfader_turn_off(t_wet_dry_crossfader& f) {
    if (!f.on) return;
    f.on = false;
    glide_to(f, 0);
}

void crossfader_set_rest(t_wet_dry_crossfader& f, bool on) {
    f.on = on;
    f.mix = f.target = on ? 1.0f : 0.0f;
    f.steps_left = 0;
    f.active = false;
}

void crossfader_set_ramp_steps(t_wet_dry_crossfader& f, int steps) {
    f.ramp_steps = steps > 0 ? steps : 1;
}

void crossfader_apply(t_wet_dry_crossfader& f, const float* dry, float* wet, int frames) {
    if (!f.active) {
        if (!f.on && wet != dry) std::memcpy(wet, dry, sizeof(float) * static_cast<unsigned>(frames));
        return;
    }
    float mix = f.mix;
    int steps = f.steps_left;
    int i = 0;
    // Per sample while gliding; the last step lands exactly on the target.
    for (; i < frames && steps > 0; ++i) {
        wet[i] = (1 - mix) * dry[i] + mix * wet[i];
        mix = --steps == 0 ? f.target : mix + f.increment;
    }
    f.mix = mix;
    f.steps_left = steps;
    if (steps > 0) return;
    f.active = false;
    // The rest of the block at the target: all wet stays, all dry is the input.
    if (!f.on && i < frames && wet != dry)
        std::memcpy(wet + i, dry + i, sizeof(float) * static_cast<unsigned>(frames - i));
}

#pragma once
// Switches an effect in and out without a click: the output glides between the dry
// input and the effect's (wet) output. At rest the crossfader either leaves the wet
// signal alone (on) or replaces it by the dry input (off), which is an exact bypass.
//
// Audio thread only; allocation-free.

struct t_wet_dry_crossfader {
    float mix = 1; // share of the wet signal
    float target = 1;
    float increment = 0;
    int steps_left = 0;
    int ramp_steps = 1;
    bool on = true;
    bool active = false; // a glide is under way
};

// Glides to all wet (on) or all dry (off) from wherever the mix is now.
void crossfader_turn_on(t_wet_dry_crossfader& f);
void crossfader_turn_off(t_wet_dry_crossfader& f);
// At rest at once: on with mix 1, or off with mix 0 (a preset load, a reset).
void crossfader_set_rest(t_wet_dry_crossfader& f, bool on);
// Sets the glide length; a running glide keeps its increment.
void crossfader_set_ramp_steps(t_wet_dry_crossfader& f, int steps);

// Whether the effect can be skipped: off, at rest, the output is the input.
inline bool crossfader_bypassed(const t_wet_dry_crossfader& f) {
    return !f.on && !f.active;
}

// After the effect has written its block to `wet`: mixes in the dry input `dry`.
// `wet` and `dry` must not be the same buffer unless the crossfader is on and at rest.
void crossfader_apply(t_wet_dry_crossfader& f, const float* dry, float* wet, int frames);

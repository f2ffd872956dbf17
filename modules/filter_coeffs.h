#pragma once
// The coefficient set of one biquad section, shared by the equaliser, the wahs and the
// distortion: six coefficients and an output gain, each a `t_smooth_var` that glides
// linearly to a new target over 30 samples, so a coefficient change never clicks.
// The designs compute targets only; the filtering step advances the glides.
//
// Audio thread only; the designs cost a few trigonometric calls, the step a biquad.
#include "modules/denormal_noise.h"
#include "modules/smooth.h"

inline constexpr int kFilterCoefficientRamp = 30; // samples for a coefficient to reach its target

struct t_filter_coeffs {
    t_smooth_var b0, b1, b2, a0, a1, a2, gain;
    t_filter_coeffs() {
        for (t_smooth_var* v : {&b0, &b1, &b2, &a0, &a1, &a2, &gain})
            v->ramp_steps = kFilterCoefficientRamp;
        // a0 starts away from zero: the first samples run while the ramps are under way.
        a0.current = a0.target = 0.1f;
        gain.current = gain.target = 1;
    }
    void step() {
        for (t_smooth_var* v : {&b0, &b1, &b2, &a0, &a1, &a2, &gain})
            smooth_step(*v);
    }
    bool ramping() const {
        return (b0.remaining | b1.remaining | b2.remaining | a0.remaining | a1.remaining | a2.remaining |
                gain.remaining) != 0;
    }
};

// The memories of one biquad: two inputs, two outputs.
struct t_biquad_history {
    float m1 = 0, m2 = 0, y1 = 0, y2 = 0;
};

enum t_filter_design : int {
    kFilterLowPass = 0,
    kFilterBandPass = 1, // gain Q at the centre (constant skirts)
    kFilterHighPass = 2,
    kFilterNotch = 3,
    kFilterPedal = 4, // a wah pedal's inductor loop: a band-pass whose peak falls as Q rises
};

// Angle limits (radians per sample): 0.0003 and 0.45 of the sample rate, so tan and the
// pedal's polynomial stay finite and the bilinear warp stays mild.
inline constexpr float kFilterAngleMin = 0.0018849557f;
inline constexpr float kFilterAngleMax = 2.8274333f;
inline constexpr float kFilterQualityMax = 100.0f;
// A quality at or below zero would turn the damping into gain; 0.1 is the lowest a knob gives.
inline constexpr float kFilterQualityMin = 0.1f;

// Sets the targets of a design: base angle w (radians per sample) shifted by m octaves,
// quality q shifted by n octaves. The gain target becomes 1; the caller may set another.
void filter_design(t_filter_coeffs& c, t_filter_design design, float w, float m, float q, float n);

// The equaliser's sections, w in radians per sample (kept below the angle limit). The
// first-order shelves have gain g at DC (low) or at Nyquist (high) and 1 at the other
// end; the peak has gain g at its centre. `now` skips the glide (a rate change).
void filter_design_low_shelf(t_filter_coeffs& c, float w, float g, bool now = false);
void filter_design_peak(t_filter_coeffs& c, float w, float g, float q, bool now = false);
void filter_design_high_shelf(t_filter_coeffs& c, float w, float g, bool now = false);

// Target and, when `now`, the value at once (a rate change or a reset skips the glide).
inline void filter_set(t_smooth_var& v, float x, bool now = false) {
    smooth_set_target(v, x);
    if (now) smooth_jump(v);
}

// Ends every glide at its target.
inline void filter_coeffs_jump(t_filter_coeffs& c) {
    for (t_smooth_var* v : {&c.b0, &c.b1, &c.b2, &c.a0, &c.a1, &c.a2, &c.gain})
        smooth_jump(*v);
}

// Per sample: one biquad step on x (plus the shared anti-denormal noise), then every
// coefficient takes one glide step.
inline float filter_coeffs_process(t_filter_coeffs& c, t_biquad_history& h, float x) {
    const float m = x + denormal_noise::next();
    const float y = (c.b0.current * m + c.b1.current * h.m1 + c.b2.current * h.m2 - c.a1.current * h.y1 -
                     c.a2.current * h.y2) /
                    c.a0.current;
    const float out = y * c.gain.current;
    c.step();
    h.m2 = h.m1, h.m1 = m, h.y2 = h.y1, h.y1 = y;
    return out;
}

#pragma once
// Turns an LFO phase (0..1, from the sync LFO) into a modulation value in -1..+1:
// square and triangle with a duty cycle, rising and falling ramps, sample-and-hold and
// smoothed random, and a polynomial sine. The random shapes draw a new value at each
// wrap of the phase from the shaper's own generator (integers 0..32767), so no shared
// state and no library call sits on the audio path.
//
// Audio thread only; a value is a few float operations.
#include <cstdint>

enum : int {
    kLfoSquare = 0,
    kLfoTriangle = 1,
    kLfoSine = 2,
    kLfoRampUp = 3,
    kLfoRampDown = 4,
    kLfoSampleHold = 5,
    kLfoSmoothRandom = 6,
};

struct t_lfo_shaper {
    int type = kLfoSine;
    float duty = 0.5f;    // share of the cycle in the first half of a square or triangle
    float rest = 0.5f;    // 1 - duty
    float held = 0;       // the current random value
    float previous = 0;   // the random value before it
    float last_phase = 0; // a phase below this one is a new cycle
    uint32_t seed = 1;
};

// Duty is kept within 0.0025..0.9975 so neither half of the cycle is empty.
void lfo_shaper_init(t_lfo_shaper& s, int type, float duty);
void lfo_shaper_set_duty(t_lfo_shaper& s, float duty);

// -1..+1 from the generator's next integer: r * (1/32768) * 2 - 1.
inline float lfo_shaper_random(t_lfo_shaper& s) {
    s.seed = s.seed * 214013u + 2531011u;
    const int r = static_cast<int>((s.seed >> 16) & 0x7fffu);
    return static_cast<float>(r) * (1.0f / 32768.0f) * 2.0f - 1.0f;
}

inline float lfo_shaper_value(t_lfo_shaper& s, float a) {
    if (a < s.last_phase) {
        s.previous = s.held;
        s.held = lfo_shaper_random(s);
    }
    s.last_phase = a;
    switch (s.type) {
    case kLfoSquare:
        return a < s.duty ? -1.0f : 1.0f;
    case kLfoTriangle:
        return a < s.duty ? 2 * a / s.duty - 1 : 1 - 2 * (a - s.duty) / s.rest;
    case kLfoRampUp:
        return 2 * a - 1;
    case kLfoRampDown:
        return 1 - 2 * a;
    case kLfoSampleHold:
        return s.held;
    case kLfoSmoothRandom:
        return (1 - a) * s.previous + a * s.held;
    default:
        // One sine cycle over the phase: zero at 0, 1/2 and 1, +1 near 1/4, -1 near 3/4.
        return a * (6.094263f + a * (6.094263f + a * (-85.31969f + a * (121.88526f - 48.754105f * a))));
    }
}

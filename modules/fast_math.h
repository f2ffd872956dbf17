#pragma once
// 2^x by a cubic polynomial on the fraction and an exact power of two for the integer
// part. The cubic term is 0.200064, not 1/6: pitch and cutoff scaling were tuned with
// this curve, so results follow it rather than an exact exponential.
#include <cmath>

inline float fast_exp2(float x) {
    float ipart = std::trunc(x);
    float f = x - ipart;
    if (f < 0) {
        ipart -= 1;
        f += 1;
    }
    float y = f * 0.6931472f;  // ln 2
    float p = 1 + y * (1 + y * (0.5f + y * 0.200064f));
    if (ipart > 200) return HUGE_VALF;
    // Also catches NaN, whose conversion to int below would be undefined.
    if (!(ipart >= -200)) return 0.0f;
    return std::ldexp(p, static_cast<int>(ipart));
}

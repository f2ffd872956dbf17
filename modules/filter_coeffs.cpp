// The five section designs. The first four are the usual bilinear designs normalised
// by a0 at run time; the pedal is the second-order section of a wah pedal's
// inductor-capacitor loop: a zero at DC and a resonance at theta.
#include "modules/filter_coeffs.h"

#include <algorithm>
#include <cmath>

#include "modules/fast_math.h"

void filter_design(t_filter_coeffs& c, t_filter_design design, float w, float m, float q, float n) {
    float theta = w * fast_exp2(m);
    // NaN fails both comparisons and would pass std::clamp; it takes the lower limit.
    theta = theta < kFilterAngleMax ? theta : kFilterAngleMax;
    theta = theta > kFilterAngleMin ? theta : kFilterAngleMin;
    float quality = q * fast_exp2(n);
    quality = quality < kFilterQualityMax ? quality : kFilterQualityMax;
    quality = quality > kFilterQualityMin ? quality : kFilterQualityMin;

    const float s = std::sin(theta), k = std::cos(theta);
    const float alpha = s / (2.0f * quality);
    float b0, b1, b2, a0 = 1 + alpha, a1 = -2.0f * k, a2 = 1 - alpha;
    switch (design) {
    case kFilterLowPass:
        b0 = b2 = (1 - k) * 0.5f;
        b1 = 1 - k;
        break;
    case kFilterBandPass:
        b0 = s * 0.5f;
        b1 = 0;
        b2 = -s * 0.5f;
        break;
    case kFilterHighPass:
        b0 = b2 = (1 + k) * 0.5f;
        b1 = -(1 + k);
        break;
    case kFilterNotch:
        b0 = b2 = 1;
        b1 = -2.0f * k;
        break;
    case kFilterPedal:
    default: {
        const float u = theta / quality;
        b0 = 2 * u;
        b1 = -2 * u;
        b2 = 0;
        a0 = u + theta * theta + 1;
        a1 = -(u + 2);
        a2 = 1;
        break;
    }
    }
    filter_set(c.b0, b0);
    filter_set(c.b1, b1);
    filter_set(c.b2, b2);
    filter_set(c.a0, a0);
    filter_set(c.a1, a1);
    filter_set(c.a2, a2);
    filter_set(c.gain, 1);
}

namespace {

float shelf_angle(float w) {
    return w < kFilterAngleMax ? (w > 0 ? w : 0) : kFilterAngleMax;
}

} // namespace

void filter_design_low_shelf(t_filter_coeffs& c, float w, float g, bool now) {
    const float d = std::sqrt(g);
    const float t = std::tan(shelf_angle(w) * 0.5f);
    filter_set(c.b0, d * t + 1, now);
    filter_set(c.b1, d * t - 1, now);
    filter_set(c.a0, t / d + 1, now);
    filter_set(c.a1, t / d - 1, now);
    filter_set(c.b2, 0, true);
    filter_set(c.a2, 0, true);
}

void filter_design_peak(t_filter_coeffs& c, float w, float g, float q, bool now) {
    w = shelf_angle(w);
    const float alpha = std::sin(w) / (2.0f * q);
    const float k = alpha * g;
    const float m = -2.0f * std::cos(w);
    filter_set(c.b0, 1 + k, now);
    filter_set(c.b1, m, now);
    filter_set(c.b2, 1 - k, now);
    filter_set(c.a0, 1 + alpha, now);
    filter_set(c.a1, m, now);
    filter_set(c.a2, 1 - alpha, now);
    filter_set(c.gain, 1, now);
}

void filter_design_high_shelf(t_filter_coeffs& c, float w, float g, bool now) {
    const float t = std::tan(shelf_angle(w) * 0.5f) * std::sqrt(g);
    filter_set(c.b0, g + t, now);
    filter_set(c.b1, t - g, now);
    filter_set(c.a0, t + 1, now);
    filter_set(c.a1, t - 1, now);
    filter_set(c.b2, 0, true);
    filter_set(c.a2, 0, true);
}

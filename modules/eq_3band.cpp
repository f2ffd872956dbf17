// Three-band equaliser. Shelves and peak are bilinear designs: the low shelf has gain g
// at DC and 1 at Nyquist, the high shelf the reverse, and the peak has gain g (not its
// square root) at its centre.
#include "modules/eq_3band.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/modular.h"
#include "engine/report.h"
#include "modules/denormal_noise.h"
#include "modules/filter_coeffs.h"
#include "modules/parameter.h"

namespace {

enum : int {
    kOnOff = 0xffff,
    kLowCutoff = 2,
    kLowGain = 3,
    kPeakCutoff = 4,
    kPeakGain = 5,
    kPeakQ = 6,
    kHighCutoff = 7,
    kHighGain = 8,
    kAmplitude = 9,
};

constexpr int kAmplitudeRamp = 4000; // samples for the output level (about 90 ms at 44.1 kHz)
constexpr float kGainMin = 0.0334f, kGainMax = 31.6228f; // about -29.5 dB to +30 dB
constexpr float kPi = 3.14159265358979f;

void set_now(t_smooth_var& v, float x) {
    smooth_set_target(v, x);
    smooth_jump(v);
}

struct t_eq_3band : t_module {
    float sample_rate = 44100;
    t_filter_coeffs low, peak, high; // the gain stays 1: the level is the amplitude
    // Histories: equaliser input, low-shelf output (two), peak output (two), high-shelf output.
    float m1 = 0, y1a = 0, y1b = 0, y2a = 0, y2b = 0, y3a = 0;
    t_smooth_var amplitude_level;

    // One parameter per line, read as a table.
    // clang-format off
    Parameter_T<LinearDriver, ParameterIntValue> on_off{kOnOff, 0, 1, 1, "on_off", 9};
    Parameter_T<ExponentialDriver, ParameterFloatValue> low_cutoff{kLowCutoff, 30, 400, 200, "low_cutoff", 3};
    Parameter_T<ExponentialDriver, ParameterFloatValue> low_gain{kLowGain, kGainMin, kGainMax, 1, "low_gain", 10};
    Parameter_T<ExponentialDriver, ParameterFloatValue> peak_cutoff{kPeakCutoff, 220, 4000, 400, "peak_cutoff", 3};
    Parameter_T<ExponentialDriver, ParameterFloatValue> peak_gain{kPeakGain, kGainMin, kGainMax, 1, "peak_gain", 10};
    Parameter_T<ExponentialDriver, ParameterFloatValue> peak_q{kPeakQ, 0.4f, 8, 1, "peak_Q", 2};
    Parameter_T<ExponentialDriver, ParameterFloatValue> high_cutoff{kHighCutoff, 1000, 8000, 2000, "high_cutoff", 3};
    Parameter_T<ExponentialDriver, ParameterFloatValue> high_gain{kHighGain, kGainMin, kGainMax, 1, "high_gain", 10};
    Parameter_T<SquareDriver, ParameterFloatValue> amplitude{kAmplitude, 0, 2, 1, "amplitude", 10};
    // clang-format on
};

t_eq_3band* self(t_module* m) {
    return static_cast<t_eq_3band*>(m);
}

// Normalised angular frequency; kept below Nyquist so tan(w/2) stays finite at low rates.
float angle(const t_eq_3band* e, float cutoff) {
    return 2.0f * kPi * std::min(cutoff, 0.45f * e->sample_rate) / e->sample_rate;
}

// ---- coefficient update (on a change of the settings concerned) ----

void update_low(t_eq_3band* e, bool jump = false) {
    filter_design_low_shelf(e->low, angle(e, e->low_cutoff.value()), e->low_gain.value(), jump);
}

void update_peak(t_eq_3band* e, bool jump = false) {
    filter_design_peak(e->peak, angle(e, e->peak_cutoff.value()), e->peak_gain.value(), e->peak_q.value(),
                       jump);
}

void update_high(t_eq_3band* e, bool jump = false) {
    filter_design_high_shelf(e->high, angle(e, e->high_cutoff.value()), e->high_gain.value(), jump);
}

void eq_parameter_changed(t_module* m, int id, int origin) {
    if (origin == kChangedAdded) return; // creation announces every setting once it is complete
    t_eq_3band* e = self(m);
    switch (id) {
    case kLowCutoff:
    case kLowGain:
        update_low(e);
        break;
    case kPeakCutoff:
    case kPeakGain:
    case kPeakQ:
        update_peak(e);
        break;
    case kHighCutoff:
    case kHighGain:
        update_high(e);
        break;
    case kAmplitude:
        // A preset load sets the level at once; a knob glides.
        if (origin == kChangedFromText)
            set_now(e->amplitude_level, e->amplitude.value());
        else
            smooth_set_target(e->amplitude_level, e->amplitude.value());
        break;
    default:
        break;
    }
}

// ---- block loop ----

void eq_process(t_module* m, int frames) {
    t_eq_3band* e = self(m);
    const float* in = module_input(m, 1);
    float* out = module_output(m, 1);
    if (!in || !out) return;
    if (e->on_off.value() == 0) {
        if (out != in) std::memcpy(out, in, sizeof(float) * static_cast<std::size_t>(frames));
        return;
    }

    float m1 = e->m1, y1a = e->y1a, y1b = e->y1b, y2a = e->y2a, y2b = e->y2b, y3a = e->y3a;
    int i = 0;
    // Per sample while any glide runs: the coefficients and the level take one step each.
    while (i < frames &&
           (e->low.ramping() || e->peak.ramping() || e->high.ramping() || e->amplitude_level.remaining)) {
        const t_filter_coeffs &l = e->low, &p = e->peak, &h = e->high;
        const float x = in[i] + denormal_noise::next();
        const float y1 = (l.b0.current * x + l.b1.current * m1 - l.a1.current * y1a) / l.a0.current;
        const float y2 = (p.b0.current * y1 + p.b1.current * y1a + p.b2.current * y1b - p.a1.current * y2a -
                          p.a2.current * y2b) /
                         p.a0.current;
        const float y3 = (h.b0.current * y2 + h.b1.current * y2a - h.a1.current * y3a) / h.a0.current;
        out[i] = y3 * e->amplitude_level.current;
        m1 = x, y1b = y1a, y1a = y1, y2b = y2a, y2a = y2, y3a = y3;
        e->low.step();
        e->peak.step();
        e->high.step();
        smooth_step(e->amplitude_level);
        ++i;
    }
    if (i < frames) {
        // Settled: the same recursions with the coefficients held in registers.
        const float lr = 1.0f / e->low.a0.current, pr = 1.0f / e->peak.a0.current,
                    hr = 1.0f / e->high.a0.current;
        const float lb0 = e->low.b0.current * lr, lb1 = e->low.b1.current * lr, la1 = e->low.a1.current * lr;
        const float pb0 = e->peak.b0.current * pr, pb1 = e->peak.b1.current * pr,
                    pb2 = e->peak.b2.current * pr;
        const float pa1 = e->peak.a1.current * pr, pa2 = e->peak.a2.current * pr;
        const float hb0 = e->high.b0.current * hr, hb1 = e->high.b1.current * hr,
                    ha1 = e->high.a1.current * hr;
        const float level = e->amplitude_level.current;
        for (; i < frames; ++i) {
            const float x = in[i] + denormal_noise::next();
            const float y1 = lb0 * x + lb1 * m1 - la1 * y1a;
            const float y2 = pb0 * y1 + pb1 * y1a + pb2 * y1b - pa1 * y2a - pa2 * y2b;
            const float y3 = hb0 * y2 + hb1 * y2a - ha1 * y3a;
            out[i] = y3 * level;
            m1 = x, y1b = y1a, y1a = y1, y2b = y2a, y2a = y2, y3a = y3;
        }
    }
    // A non-finite input must not stay in the recursions or leave the module.
    if (!std::isfinite(m1 + y1a + y1b + y2a + y2b + y3a)) {
        m1 = y1a = y1b = y2a = y2b = y3a = 0;
        std::fill(out, out + frames, 0.0f);
    }
    e->m1 = m1, e->y1a = y1a, e->y1b = y1b, e->y2a = y2a, e->y2b = y2b, e->y3a = y3a;
}

void eq_reset(t_module* m) {
    t_eq_3band* e = self(m);
    e->m1 = e->y1a = e->y1b = e->y2a = e->y2b = e->y3a = 0;
}

// The cutoffs are fractions of the rate, so a new rate needs new coefficients.
void eq_set_sample_rate(t_module* m, float rate) {
    t_eq_3band* e = self(m);
    if (!std::isfinite(rate) || rate < 1000.0f || rate == e->sample_rate) return;
    e->sample_rate = rate;
    update_low(e, true);
    update_peak(e, true);
    update_high(e, true);
}

} // namespace

t_module* eq_3band_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.s(name)) return nullptr;
    if (!std::isfinite(rate) || rate < 1000.0f || rate > 1.0e6f) return nullptr;

    t_eq_3band* e = module_alloc<t_eq_3band>(1, 1);
    if (!e) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    e->name = name;
    e->type_name = "eq_3band";
    e->sample_rate = rate;
    e->amplitude_level.ramp_steps = kAmplitudeRamp;
    e->amplitude_level.current = e->amplitude_level.target = 1;

    e->process = eq_process;
    e->reset = eq_reset;
    e->set_sample_rate = eq_set_sample_rate;
    e->parameter_changed = eq_parameter_changed;

    for (Parameter* p : std::initializer_list<Parameter*>{&e->on_off, &e->low_cutoff, &e->low_gain,
                                                          &e->peak_cutoff, &e->peak_gain, &e->peak_q,
                                                          &e->high_cutoff, &e->high_gain, &e->amplitude})
        module_register_parameter(e, p, 0);
    // Every setting announced as if read from text: the sections glide from their
    // initial coefficients to the settings over the first 30 samples.
    for (const t_param_entry& entry : e->params)
        eq_parameter_changed(e, entry.param->id(), kChangedFromText);
    return e;
}

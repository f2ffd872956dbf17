// Wah. The LFO phase drives a polynomial sine; the filter is redesigned every 401
// samples with the sine times "depth" as its modulation and glides to each design
// over 30 samples, so the sweep is smooth while the per-sample work stays one biquad.
#include "modules/wah.h"

#include <cmath>
#include <cstring>

#include "engine/modular.h"
#include "engine/report.h"
#include "modules/fast_math.h"
#include "modules/lfo_shaper.h"
#include "modules/parameter.h"
#include "modules/sync_lfo.h"
#include "modules/tempo_division.h"
#include "modules/wet_dry_crossfader.h"

namespace {

constexpr float kTwoPi = 6.28318530717959f;
constexpr float kPedalLow = 430, kPedalHigh = 2200; // Hz, the pedal's travel
constexpr float kPedalSpan = 1770;                  // Hz from heel to toe
constexpr int kCutoffSteps = 10;                    // designs for a cutoff or resonance change

} // namespace

// ---- the swept filter ----

void wah_filter_init(t_wah_filter& f, float sample_rate, float cutoff, float resonance) {
    f.sample_rate = sample_rate;
    f.cutoff.ramp_steps = f.resonance.ramp_steps = kCutoffSteps;
    f.cutoff.current = f.cutoff.target = cutoff;
    f.resonance.current = f.resonance.target = resonance;
}

void wah_filter_design(t_wah_filter& f, int selector, float mod, float cutoff_scale) {
    smooth_step(f.cutoff);
    smooth_step(f.resonance);
    const float c = f.cutoff.current * cutoff_scale, r = f.resonance.current;
    const float to_angle = kTwoPi / f.sample_rate;
    auto limit = [](float hz) { return hz < kPedalLow ? kPedalLow : (hz > kPedalHigh ? kPedalHigh : hz); };
    switch (selector) {
    case 0: {
        // A voiced band-pass: its quality and gain follow the centre, so the vowel
        // narrows and grows towards the top of the sweep (Q 5 and gain 1 at 976 Hz).
        float hz = fast_exp2(mod) * c;
        if (f.limit_centre) hz = limit(hz);
        const float k = hz * 0.0010245901f; // hz / 976
        filter_design(f.coeffs, kFilterBandPass, hz * to_angle, 0, 5 / k, 0);
        filter_set(f.coeffs.gain, std::pow(k, 1.173f));
        break;
    }
    case 1:
        filter_design(f.coeffs, kFilterLowPass, c * to_angle, mod, r, 0);
        break;
    case 2:
        filter_design(f.coeffs, kFilterBandPass, c * to_angle, mod, r, 0);
        break;
    case 3:
        filter_design(f.coeffs, kFilterHighPass, c * to_angle, mod, r, 0);
        break;
    case 4:
        filter_design(f.coeffs, kFilterNotch, c * to_angle, mod, r, 0);
        break;
    default: {
        // The pedal: linear travel (selector 5) or octaves (6); the circuit's Q falls
        // from 15 at the heel to 3 at the toe, and the output gain makes up 17 dB.
        float hz = selector == 5 ? c + mod * 0.5f * kPedalSpan : fast_exp2(mod) * c;
        if (f.limit_pedal) hz = limit(hz);
        const float k = (hz - kPedalLow) * 0.00056497176f; // 0 at the heel, 1 at the toe
        filter_design(f.coeffs, kFilterPedal, hz * to_angle, 0, 15 - 12 * k, 0);
        filter_set(f.coeffs.gain, std::pow(10.0f, (17 - k) * 0.05f));
        break;
    }
    }
    if (selector != f.last_selector) {
        f.history = t_biquad_history{};
        f.last_selector = selector;
    }
}

void wah_filter_reset(t_wah_filter& f, int selector) {
    f.history = t_biquad_history{};
    f.countdown = 0;
    f.last_selector = selector;
}

bool wah_filter_check(t_wah_filter& f) {
    const t_biquad_history& h = f.history;
    if (std::isfinite(h.m1 + h.m2 + h.y1 + h.y2)) return true;
    f.history = t_biquad_history{};
    return false;
}

// ---- the wah module ----

namespace {

enum : int {
    kOnOff = 0xffff,
    kCutoff = 1,
    kResonance = 2,
    kDepth = 3,
    kSyncIndex = 4,
    kSpeed = 5,
    kFilterSelector = 6,
};

struct t_wah : t_module {
    t_wah_filter filter;
    t_wet_dry_crossfader fader;
    t_sync_lfo lfo;
    t_lfo_shaper shaper;

    // One parameter per line, read as a table.
    // clang-format off
    Parameter_T<LinearDriver, ParameterIntValue> on_off{kOnOff, 0, 1, 1, "on_off", 9};
    Parameter_T<ExponentialDriver, ParameterFloatValue> cutoff{kCutoff, 430, 2200, 976, "cutoff", 3};          // Hz
    Parameter_T<ExponentialDriver, ParameterFloatValue> resonance{kResonance, 0.1f, 120, 5, "resonance", 2};
    Parameter_T<CubeDriver, ParameterFloatValue> depth{kDepth, 0, 1.17f, 1.17f, "depth", 1};                   // octaves
    Parameter_T<LinearDriver, ParameterIntValue> sync_index{kSyncIndex, 0, kTempoDivisionCount - 1, 0, "sync_index", 0};
    Parameter_T<ExponentialDriver, ParameterFloatValue> speed{kSpeed, 5, 500, 120, "speed", 13};               // cycles/minute
    Parameter_T<LinearDriver, ParameterIntValue> filter_selector{kFilterSelector, 0, 5, 0, "filter_selector", 1};
    // clang-format on
};

t_wah* self(t_module* m) {
    return static_cast<t_wah*>(m);
}

bool usable_rate(float rate) {
    return std::isfinite(rate) && rate >= 1000.0f && rate <= 1.0e6f;
}

int fade_steps(float rate) {
    return static_cast<int>(rate * 0.05f); // 50 ms
}

void apply_sync_index(t_wah* w) {
    const int index = static_cast<int>(w->sync_index.value());
    if (index <= 0 || index >= kTempoDivisionCount) {
        if (w->lfo.sync_on) {
            sync_lfo_set_sync(w->lfo, false);
            sync_lfo_set_speed(w->lfo, w->speed.value());
        }
        return;
    }
    sync_lfo_set_ratio(w->lfo, tempo_division_beats(index));
    sync_lfo_set_sync(w->lfo, true);
}

void wah_reset(t_module* m) {
    t_wah* w = self(m);
    wah_filter_reset(w->filter, static_cast<int>(w->filter_selector.value()));
    crossfader_set_rest(w->fader, w->on_off.value() != 0);
}

void wah_parameter_changed(t_module* m, int id, int origin) {
    if (origin == kChangedAdded) return;
    t_wah* w = self(m);
    switch (id) {
    case kCutoff:
        smooth_set_target(w->filter.cutoff, w->cutoff.value());
        break;
    case kResonance:
        smooth_set_target(w->filter.resonance, w->resonance.value());
        break;
    case kFilterSelector:
        w->filter.countdown = 0;
        break;
    case kSpeed:
        if (w->speed.value() != w->lfo.speed) sync_lfo_set_speed(w->lfo, w->speed.value());
        break;
    case kSyncIndex:
        apply_sync_index(w);
        break;
    case kOnOff:
        if (origin == kChangedFromText) {
            // A preset load switches at once.
            if (w->on_off.value() != 0)
                wah_reset(m);
            else
                crossfader_set_rest(w->fader, false);
        } else if (w->on_off.value() != 0) {
            // From a clean filter, the wet path fades in from silence.
            wah_reset(m);
            crossfader_set_rest(w->fader, false);
            crossfader_turn_on(w->fader);
        } else {
            crossfader_turn_off(w->fader);
        }
        break;
    default:
        break;
    }
}

// ---- block loop ----

void wah_process(t_module* m, int frames) {
    t_wah* w = self(m);
    const float* clock = module_input(m, 1);
    const float* reset = module_input(m, 2);
    const float* in = module_input(m, 3);
    float* out = module_output(m, 1);
    if (!clock || !reset || !in || !out) return;
    if (crossfader_bypassed(w->fader)) {
        if (out != in) std::memcpy(out, in, sizeof(float) * static_cast<std::size_t>(frames));
        return;
    }

    // Per block: the settings the designs read.
    const int selector = static_cast<int>(w->filter_selector.value());
    const float depth = w->depth.value();
    t_wah_filter& f = w->filter;
    for (int i = 0; i < frames; ++i) {
        const float phase = sync_lfo_step(w->lfo, clock[i], reset[i]);
        // Per control tick: a new design from the shaped LFO.
        if (--f.countdown < 0) {
            f.countdown = kWahUpdatePeriod;
            wah_filter_design(f, selector, lfo_shaper_value(w->shaper, phase) * depth);
        }
        out[i] = filter_coeffs_process(f.coeffs, f.history, in[i]);
    }
    if (!wah_filter_check(f)) std::memset(out, 0, sizeof(float) * static_cast<std::size_t>(frames));
    crossfader_apply(w->fader, in, out, frames);
}

void restart_lfo(t_wah* w) {
    sync_lfo_init(w->lfo, w->filter.sample_rate);
    sync_lfo_set_speed(w->lfo, w->speed.value());
    apply_sync_index(w);
}

// The designs and the fade are fractions of the rate: redesign on the next sample.
void wah_set_sample_rate(t_module* m, float rate) {
    t_wah* w = self(m);
    if (!usable_rate(rate) || rate == w->filter.sample_rate) return;
    w->filter.sample_rate = rate;
    w->filter.countdown = 0;
    crossfader_set_ramp_steps(w->fader, fade_steps(rate));
    restart_lfo(w);
}

const char* const kPresets[] = {
    "wah WahWah version 1\n{\n    on_off 1\n    cutoff 600\n    resonance 4.21163\n    depth 0.6\n"
    "    sync_index 0\n    speed 120\n    filter_selector 0\n}\n",
    "wah WahWah version 1\n{\n    on_off 1\n    cutoff 600\n    resonance 0.5\n    depth 0.6\n"
    "    sync_index 0\n    speed 60\n    filter_selector 4\n}\n",
};

} // namespace

const char* const* wah_preset_texts(int* count) {
    if (count) *count = static_cast<int>(sizeof kPresets / sizeof kPresets[0]);
    return kPresets;
}

t_module* wah_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.s(name)) return nullptr;
    if (!usable_rate(rate)) return nullptr;

    t_wah* w = module_alloc<t_wah>(3, 1);
    if (!w) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    w->name = name;
    w->type_name = "wah";
    wah_filter_init(w->filter, rate, w->cutoff.value(), w->resonance.value());
    crossfader_set_ramp_steps(w->fader, fade_steps(rate));
    crossfader_set_rest(w->fader, true);
    lfo_shaper_init(w->shaper, kLfoSine, 0.5f);
    sync_lfo_init(w->lfo, rate);

    w->process = wah_process;
    w->reset = wah_reset;
    w->set_sample_rate = wah_set_sample_rate;
    w->parameter_changed = wah_parameter_changed;

    for (Parameter* p : std::initializer_list<Parameter*>{&w->on_off, &w->cutoff, &w->resonance, &w->depth,
                                                          &w->sync_index, &w->speed, &w->filter_selector})
        module_register_parameter(w, p, 0);
    return w;
}

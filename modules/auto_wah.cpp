// Auto-wah. Per sample the envelope stages run and the filter filters; every 401
// samples the filter is redesigned with the envelope times "depth" as its modulation.
#include "modules/auto_wah.h"

#include <cmath>
#include <cstring>

#include "engine/modular.h"
#include "engine/report.h"
#include "modules/parameter.h"
#include "modules/wah.h"
#include "modules/wet_dry_crossfader.h"

namespace {

enum : int {
    kOnOff = 0xffff,
    kCutoff = 1,
    kResonance = 2,
    kDepth = 3,
    kEnvFollowFreq = 4,
    kFilterSelector = 5,
};

constexpr int kEnvelopeStages = 10;
constexpr float kTwoPi = 6.28318530717959f;
constexpr float kEnvelopeFloor = 1e-23f; // keeps the stages out of the denormal range
constexpr float kRootScale = 14.125376f; // the squared detection's level: +23 dB

struct t_auto_wah : t_module {
    t_wah_filter filter;
    t_wet_dry_crossfader fader;
    float stages[kEnvelopeStages] = {};
    float g = 0; // one-pole coefficient of every stage
    int detection = 0;

    // One parameter per line, read as a table; the cutoff's range comes from creation.
    // clang-format off
    Parameter_T<LinearDriver, ParameterIntValue> on_off{kOnOff, 0, 1, 1, "on_off", 9};
    Parameter_T<ExponentialDriver, ParameterFloatValue> cutoff;                                                // Hz
    Parameter_T<ExponentialDriver, ParameterFloatValue> resonance{kResonance, 0.1f, 120, 5, "resonance", 2};
    Parameter_T<CubeDriver, ParameterFloatValue> depth{kDepth, 0, 10, 3, "depth", 1};                          // octaves per unit
    Parameter_T<ExponentialDriver, ParameterFloatValue> env_follow_freq{kEnvFollowFreq, 4, 40, 10, "env_follow_freq", 20}; // Hz
    Parameter_T<LinearDriver, ParameterIntValue> filter_selector{kFilterSelector, 0, 6, 0, "filter_selector", 1};
    // clang-format on

    t_auto_wah(float cutoff_min, float cutoff_max, float cutoff_default)
        : cutoff{kCutoff, cutoff_min, cutoff_max, cutoff_default, "cutoff", 3} {}
};

t_auto_wah* self(t_module* m) {
    return static_cast<t_auto_wah*>(m);
}

bool usable_rate(float rate) {
    return std::isfinite(rate) && rate >= 1000.0f && rate <= 1.0e6f;
}

int fade_steps(float rate) {
    return static_cast<int>(rate * 0.05f); // 50 ms
}

void update_g(t_auto_wah* a) {
    a->g = kTwoPi * a->env_follow_freq.value() / a->filter.sample_rate;
}

void auto_wah_reset(t_module* m) {
    t_auto_wah* a = self(m);
    wah_filter_reset(a->filter, static_cast<int>(a->filter_selector.value()));
    crossfader_set_rest(a->fader, a->on_off.value() != 0);
    for (float& s : a->stages)
        s = 0;
    update_g(a);
}

void auto_wah_parameter_changed(t_module* m, int id, int origin) {
    if (origin == kChangedAdded) return;
    t_auto_wah* a = self(m);
    switch (id) {
    case kCutoff:
        smooth_set_target(a->filter.cutoff, a->cutoff.value());
        break;
    case kResonance:
        smooth_set_target(a->filter.resonance, a->resonance.value());
        break;
    case kFilterSelector:
        a->filter.countdown = 0;
        break;
    case kEnvFollowFreq:
        update_g(a);
        break;
    case kOnOff:
        if (origin == kChangedFromText) {
            if (a->on_off.value() != 0)
                auto_wah_reset(m);
            else
                crossfader_set_rest(a->fader, false);
        } else if (a->on_off.value() != 0) {
            auto_wah_reset(m);
            crossfader_set_rest(a->fader, false);
            crossfader_turn_on(a->fader);
        } else {
            crossfader_turn_off(a->fader);
        }
        break;
    default:
        break;
    }
}

// ---- block loop ----

void auto_wah_process(t_module* m, int frames) {
    t_auto_wah* a = self(m);
    const float* in = module_input(m, 1);
    float* out = module_output(m, 1);
    if (!in || !out) return;
    if (crossfader_bypassed(a->fader)) {
        if (out != in) std::memcpy(out, in, sizeof(float) * static_cast<std::size_t>(frames));
        return;
    }

    // Per block: the settings the designs read.
    const int selector = static_cast<int>(a->filter_selector.value());
    const float depth = a->depth.value(), g = a->g;
    const bool squared = a->detection != 0;
    const float cutoff_scale = squared ? 0.5f : 1.0f;
    t_wah_filter& f = a->filter;
    float s[kEnvelopeStages];
    std::memcpy(s, a->stages, sizeof s);
    for (int i = 0; i < frames; ++i) {
        const float x = in[i];
        // Per sample: ten one-pole stages, s += g * (input - s).
        float v = squared ? x * x : std::fabs(x);
        for (float& stage : s) {
            stage = g * v - (g - 1) * stage + kEnvelopeFloor;
            v = stage;
        }
        // Per control tick: a new design from the envelope.
        if (--f.countdown < 0) {
            f.countdown = kWahUpdatePeriod;
            const float e = squared ? kRootScale * std::sqrt(v) : v;
            wah_filter_design(f, selector, e * depth, cutoff_scale);
        }
        out[i] = filter_coeffs_process(f.coeffs, f.history, x);
    }
    bool finite = wah_filter_check(f);
    for (float& stage : s)
        if (!std::isfinite(stage)) stage = 0, finite = false;
    std::memcpy(a->stages, s, sizeof s);
    if (!finite) std::memset(out, 0, sizeof(float) * static_cast<std::size_t>(frames));
    crossfader_apply(a->fader, in, out, frames);
}

void auto_wah_set_sample_rate(t_module* m, float rate) {
    t_auto_wah* a = self(m);
    if (!usable_rate(rate) || rate == a->filter.sample_rate) return;
    a->filter.sample_rate = rate;
    a->filter.countdown = 0;
    crossfader_set_ramp_steps(a->fader, fade_steps(rate));
    update_g(a);
}

const char* const kPresets[] = {
    "auto_wah AutoWah version 1\n{\n    on_off 1\n    cutoff 400\n    resonance 4.21163\n    depth 4\n"
    "    env_follow_freq 20\n    filter_selector 0\n}\n",
};

} // namespace

const char* const* auto_wah_preset_texts(int* count) {
    if (count) *count = static_cast<int>(sizeof kPresets / sizeof kPresets[0]);
    return kPresets;
}

t_module* auto_wah_create_with(std::string_view line, float cutoff_min, float cutoff_max,
                               float cutoff_default, int detection) {
    if (!(cutoff_min >= 1 && cutoff_max <= 20000 && cutoff_min < cutoff_max)) return nullptr;
    KelDescriptor d(line);
    float rate = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.s(name)) return nullptr;
    if (!usable_rate(rate)) return nullptr;

    const int inputs = 1, outputs = 1;
    t_auto_wah* a = new (std::nothrow) t_auto_wah(cutoff_min, cutoff_max, cutoff_default);
    if (!a) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    module_create_common(a, inputs, outputs);
    a->name = name;
    a->type_name = "auto_wah";
    a->detection = detection != 0;
    wah_filter_init(a->filter, rate, a->cutoff.value(), a->resonance.value());
    a->filter.limit_pedal = a->filter.limit_centre = a->detection != 0;
    crossfader_set_ramp_steps(a->fader, fade_steps(rate));
    crossfader_set_rest(a->fader, true);
    update_g(a);

    a->process = auto_wah_process;
    a->reset = auto_wah_reset;
    a->set_sample_rate = auto_wah_set_sample_rate;
    a->parameter_changed = auto_wah_parameter_changed;

    for (Parameter* p : std::initializer_list<Parameter*>{&a->on_off, &a->cutoff, &a->resonance, &a->depth,
                                                          &a->env_follow_freq, &a->filter_selector})
        module_register_parameter(a, p, 0);
    return a;
}

t_module* auto_wah_create(std::string_view line) {
    return auto_wah_create_with(line, 215, 2200, 976, 0);
}

// Phaser. The sweep works on u = rate / (8 frequency): each section's coefficient is
// a = (1 - t u) / (1 + t u) with t = 2^(-modulation e), so the notches move by
// `modulation` octaves for a full swing of e. The power of two and a are computed once
// per control tick of 10 samples; the per-sample path is four allpass sections.
#include "modules/phaser.h"

#include <cmath>
#include <cstring>

#include "engine/message.h"
#include "engine/modular.h"
#include "engine/report.h"
#include "modules/denormal_noise.h"
#include "modules/fast_math.h"
#include "modules/lfo_shaper.h"
#include "modules/parameter.h"
#include "modules/sync_lfo.h"
#include "modules/tempo_division.h"
#include "modules/wet_dry_crossfader.h"

namespace {

enum : int {
    kOnOff = 0xffff,
    kFrequency = 1,
    kFeedback = 2,
    kModulation = 3,
    kDepth = 4,
    kFrequencyHz = 5, // reported only: the frequency in whole Hz
    kInverter = 6,
    kSyncIndex = 7,
    kSpeed = 8,
    kExternalLfo = 9,
};

constexpr int kUpdatePeriod = 10;          // samples per control tick
constexpr int kSmoothSteps = 100;          // control ticks for a smoothed setting: 1000 samples
constexpr float kFeedbackMax = 0.9921875f; // 127/128: the loop never reaches unity

struct t_phaser : t_module {
    int type = 2;
    float sample_rate = 44100;
    t_smooth_var u; // rate / (8 frequency), one step per control tick
    float a = 0;    // the sections' coefficient
    int countdown = 0;
    float x1[4] = {}, y1[4] = {}; // each section's previous input and output
    t_sync_lfo lfo;
    t_lfo_shaper shaper;
    t_wet_dry_crossfader fader;

    // One parameter per line, read as a table; four defaults come from the descriptor.
    // clang-format off
    Parameter_T<LinearDriver, ParameterIntValue> on_off{kOnOff, 0, 1, 1, "on_off", 9};
    SmoothParameter_T<LinearDriver> modulation;                                                               // octaves
    SmoothParameter_T<LinearDriver> depth;                                                                    // wet share
    Parameter_T<LinearDriver, ParameterIntValue> inverter{kInverter, 0, 1, 0, "inverter", 0};
    SmoothParameter_T<LinearDriver> feedback;
    Parameter_T<ExponentialDriver, ParameterFloatValue> frequency;                                            // Hz
    Parameter_T<LinearDriver, ParameterIntValue> sync_index{kSyncIndex, 0, kTempoDivisionCount - 1, 0, "sync_index", 0};
    Parameter_T<ExponentialDriver, ParameterFloatValue> speed{kSpeed, 9, 360, 60, "speed", 13};              // cycles/minute
    Parameter_T<LinearDriver, ParameterIntValue> external_lfo{kExternalLfo, 0, 1, 1, "external_lfo", 19};
    // clang-format on

    t_phaser(float frequency_default, float feedback_default, float modulation_default, float depth_default)
        : modulation{kModulation, 0, 4, modulation_default, kSmoothSteps, "modulation", 1},
          depth{kDepth, 0, 1, depth_default, kSmoothSteps, "depth", 2},
          feedback{kFeedback, 0, kFeedbackMax, feedback_default, kSmoothSteps, "feedback", 2},
          frequency{kFrequency, 32, 4096, frequency_default, "frequency", 3} {}
};

t_phaser* self(t_module* m) {
    return static_cast<t_phaser*>(m);
}

bool usable_rate(float rate) {
    return std::isfinite(rate) && rate >= 1000.0f && rate <= 1.0e6f;
}

int fade_steps(float rate) {
    return static_cast<int>(rate * 0.1f); // 100 ms
}

float sweep_base(const t_phaser* p) {
    return p->sample_rate / (8 * p->frequency.value());
}

float coefficient(float tu) {
    return (1 - tu) / (1 + tu);
}

void apply_sync_index(t_phaser* p) {
    const int index = static_cast<int>(p->sync_index.value());
    if (index <= 0 || index >= kTempoDivisionCount) {
        if (p->lfo.sync_on) {
            sync_lfo_set_sync(p->lfo, false);
            sync_lfo_set_speed(p->lfo, p->speed.value());
        }
        return;
    }
    sync_lfo_set_ratio(p->lfo, tempo_division_beats(index));
    sync_lfo_set_sync(p->lfo, true);
}

void clear_memories(t_phaser* p) {
    std::memset(p->x1, 0, sizeof p->x1);
    std::memset(p->y1, 0, sizeof p->y1);
}

void phaser_reset(t_module* m) {
    t_phaser* p = self(m);
    clear_memories(p);
    p->countdown = 0;
    crossfader_set_rest(p->fader, p->on_off.value() != 0);
}

void phaser_parameter_changed(t_module* m, int id, int origin) {
    if (origin == kChangedAdded) return;
    t_phaser* p = self(m);
    switch (id) {
    case kOnOff:
        if (origin == kChangedFromText)
            crossfader_set_rest(p->fader, p->on_off.value() != 0);
        else if (p->on_off.value() != 0)
            crossfader_turn_on(p->fader);
        else
            crossfader_turn_off(p->fader);
        break;
    case kSpeed:
        if (p->speed.value() != p->lfo.speed) sync_lfo_set_speed(p->lfo, p->speed.value());
        break;
    case kSyncIndex:
        apply_sync_index(p);
        break;
    case kFrequency:
        smooth_set_target(p->u, sweep_base(p));
        module_tell(m, kFrequencyHz);
        // The type without a clock has no LFO of its own: a preset asking for one gets
        // the external input.
        if (p->type == 1 && origin == kChangedFromText && p->external_lfo.value() == 0) {
            p->external_lfo.set_value(1);
            module_tell(m, kExternalLfo);
        }
        break;
    default:
        break;
    }
}

int phaser_get_message(t_module* m, int id, t_message* out) {
    t_phaser* p = self(m);
    if (id == kFrequencyHz) {
        out->kind = kMessageInt;
        out->param_id = id;
        out->module_id = m->id;
        out->owns_string = 0;
        out->value.i = static_cast<int>(p->frequency.value());
        return 0;
    }
    if (id == kFrequency) module_tell(m, kFrequencyHz);
    return module_generic_get_message(m, id, out);
}

// ---- block loop ----

void phaser_process(t_module* m, int frames) {
    t_phaser* p = self(m);
    const float *clock = nullptr, *reset = nullptr, *in = nullptr, *external = nullptr;
    if (p->type == 1) {
        in = module_input(m, 1);
        external = module_input(m, 2);
    } else {
        clock = module_input(m, 1);
        reset = module_input(m, 2);
        in = module_input(m, 3);
        external = module_input(m, 4);
        if (!clock || !reset) return;
    }
    float* out = module_output(m, 1);
    if (!in || !external || !out) return;
    if (crossfader_bypassed(p->fader)) {
        if (out != in) std::memcpy(out, in, sizeof(float) * static_cast<std::size_t>(frames));
        return;
    }

    // Per block: the switches.
    const bool use_external = p->external_lfo.value() != 0;
    const float sign = p->inverter.value() != 0 ? -1.0f : 1.0f;
    float a = p->a;
    int countdown = p->countdown;
    float x1[4], y1[4];
    std::memcpy(x1, p->x1, sizeof x1);
    std::memcpy(y1, p->y1, sizeof y1);
    for (int i = 0; i < frames; ++i) {
        float e;
        if (use_external)
            e = external[i];
        else
            e = lfo_shaper_value(p->shaper,
                                 sync_lfo_step(p->lfo, clock ? clock[i] : 0, reset ? reset[i] : 0));
        // Per control tick: the glides step and the sections get their new coefficient.
        if (--countdown < 0) {
            countdown = kUpdatePeriod - 1;
            smooth_step(p->u);
            p->modulation.step();
            p->depth.step();
            p->feedback.step();
            const float t = fast_exp2(-p->modulation.value() * e * sign);
            a = coefficient(t * p->u.current);
        }
        const float x = in[i];
        float v = p->feedback.value() * y1[3] + denormal_noise::next() + x;
        for (int k = 0; k < 4; ++k) {
            const float y = a * (v - y1[k]) + x1[k];
            x1[k] = v;
            y1[k] = y;
            v = y;
        }
        const float d = p->depth.value();
        out[i] = (1 - d) * x + d * v;
    }
    // A non-finite input (or external modulation) must not stay in the loop or leave the module.
    if (!std::isfinite(a + x1[0] + x1[1] + x1[2] + x1[3] + y1[0] + y1[1] + y1[2] + y1[3])) {
        std::memset(x1, 0, sizeof x1);
        std::memset(y1, 0, sizeof y1);
        a = coefficient(p->u.current);
        std::memset(out, 0, sizeof(float) * static_cast<std::size_t>(frames));
    }
    std::memcpy(p->x1, x1, sizeof x1);
    std::memcpy(p->y1, y1, sizeof y1);
    p->a = a;
    p->countdown = countdown;
    crossfader_apply(p->fader, in, out, frames);
}

// The sweep base is a fraction of the rate: it glides to its new value. The LFO's
// free-running increment and the fade length follow the rate as well.
void phaser_set_sample_rate(t_module* m, float rate) {
    t_phaser* p = self(m);
    if (!usable_rate(rate) || rate == p->sample_rate) return;
    p->sample_rate = rate;
    smooth_set_target(p->u, sweep_base(p));
    crossfader_set_ramp_steps(p->fader, fade_steps(rate));
    sync_lfo_init(p->lfo, rate);
    sync_lfo_set_speed(p->lfo, p->speed.value());
    apply_sync_index(p);
}

const char* const kPresets[] = {
    "phaser Phaser version 2\n{\n    frequency 120\n    feedback 0.5\n    modulation 2\n    inverter 1\n"
    "    depth 0.503937\n    on_off 1\n    sync_index 0\n    speed 43\n    external_lfo 0\n}\n",
};

} // namespace

const char* const* phaser_preset_texts(int* count) {
    if (count) *count = static_cast<int>(sizeof kPresets / sizeof kPresets[0]);
    return kPresets;
}

t_module* phaser_create_type(int type, std::string_view line) {
    if (type != 1 && type != 2) return nullptr;
    KelDescriptor d(line);
    float rate = 0, frequency = 0, feedback = 0, modulation = 0, depth = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.f(frequency) || !d.f(feedback) || !d.f(modulation) || !d.f(depth) ||
        !d.s(name))
        return nullptr;
    if (!usable_rate(rate)) return nullptr;
    for (float v : {frequency, feedback, modulation, depth})
        if (!std::isfinite(v)) return nullptr;

    t_phaser* p = new (std::nothrow) t_phaser(frequency, feedback, modulation, depth);
    if (!p) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    module_create_common(p, type == 1 ? 2 : 4, 1);
    module_set_version(p, 2);
    p->name = name;
    p->type_name = "phaser";
    p->type = type;
    p->sample_rate = rate;
    p->u.ramp_steps = kSmoothSteps;
    p->u.current = p->u.target = sweep_base(p);
    p->a = coefficient(p->u.current);
    sync_lfo_init(p->lfo, rate);
    sync_lfo_set_speed(p->lfo, p->speed.value());
    lfo_shaper_init(p->shaper, kLfoTriangle, 0.5f);
    crossfader_set_ramp_steps(p->fader, fade_steps(rate));
    crossfader_set_rest(p->fader, true);

    p->process = phaser_process;
    p->reset = phaser_reset;
    p->set_sample_rate = phaser_set_sample_rate;
    p->parameter_changed = phaser_parameter_changed;
    p->get_message = phaser_get_message;

    for (Parameter* q :
         std::initializer_list<Parameter*>{&p->on_off, &p->modulation, &p->depth, &p->inverter, &p->feedback,
                                           &p->frequency, &p->sync_index, &p->speed, &p->external_lfo})
        module_register_parameter(p, q, 0);
    return p;
}

t_module* phaser_create(std::string_view line) {
    return phaser_create_type(2, line);
}

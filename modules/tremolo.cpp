// Tremolo. The LFO phase d (0..1) shapes either a triangle or the "Rhodes" wave, a
// square whose edges take 53 ms, like the vintage amplifier's lamp-and-photocell
// modulator; the mix of the two, scaled by the depth, sets the gain 1 + o of each side.
#include "modules/tremolo.h"

#include <algorithm>
#include <cmath>

#include "engine/modular.h"
#include "engine/report.h"
#include "modules/fast_math.h"
#include "modules/parameter.h"
#include "modules/smooth.h"
#include "modules/sync_lfo.h"
#include "modules/tempo_division.h"

namespace {

enum : int {
    kOnOff = 0xffff,
    kDepth = 2,
    kWaveType = 3,
    kWaveMix = 4,
    kMonoStereo = 5,
    kSpeed = 9,
    kSyncIndex = 10,
    kFrequency = 11,
};

constexpr int kMeterMessage = 6;
constexpr int kMeterPeriod = 2500;    // the countdown runs 2500 .. -1: one report every 2502 samples
constexpr int kDepthStepEvery = 5;    // samples per depth smoothing step
constexpr float kSquareEdge = 0.053f; // seconds for a "Rhodes" edge

struct t_tremolo : t_module {
    int type = 2;
    float sample_rate = 44100;

    // The "Rhodes" square: current level, target +-1, per-sample increment, steps left.
    float square = -1, square_target = -1, square_increment = 0;
    int square_steps = 0;
    bool second_half = true;

    int meter_countdown = kMeterPeriod;
    int meter_value = 0;

    t_smooth_var depth_level;
    int depth_countdown = 0;
    bool stopping = false;

    t_sync_lfo lfo;

    // One parameter per line, read as a table.
    // clang-format off
    Parameter_T<LinearDriver, ParameterIntValue> on_off{kOnOff, 0, 1, 1, "on_off", 9};
    Parameter_T<LinearDriver, ParameterIntValue> sync_index{kSyncIndex, 0, kTempoDivisionCount - 1, 0, "sync_index", 0};
    Parameter_T<ExponentialDriver, ParameterFloatValue> speed{kSpeed, 9, 1150, 120, "speed", 13};  // cycles/minute
    Parameter_T<LinearDriver, ParameterFloatValue> depth{kDepth, 0, 1, 1, "depth", 2};
    Parameter_T<LinearDriver, ParameterIntValue> mono_stereo{kMonoStereo, 0, 1, 0, "mono_stereo", 17};
    Parameter_T<LinearDriver, ParameterIntValue> wave_type{kWaveType, 0, 1, 0, "wave_type", 18};
    Parameter_T<LinearDriver, ParameterFloatValue> wave_mix{kWaveMix, 0, 1, 0, "wave_mix", 22};
    Parameter_T<ExponentialDriver, ParameterFloatValue> frequency{kFrequency, 0.15f, 19.17f, 1, "frequency", 0};  // Hz
    // clang-format on
};

t_tremolo* self(t_module* m) {
    return static_cast<t_tremolo*>(m);
}

bool usable_rate(float rate) {
    return std::isfinite(rate) && rate >= 1000.0f && rate <= 1.0e6f;
}

// ---- parameter changes ----

void apply_speed(t_tremolo* t) {
    if (t->speed.value() != t->lfo.speed) sync_lfo_set_speed(t->lfo, t->speed.value());
}

void apply_sync_index(t_tremolo* t) {
    const int index = static_cast<int>(t->sync_index.value());
    if (index <= 0 || index >= kTempoDivisionCount) {
        if (t->lfo.sync_on) {
            sync_lfo_set_sync(t->lfo, false);
            sync_lfo_set_speed(t->lfo, t->speed.value());
        }
        return;
    }
    sync_lfo_set_ratio(t->lfo, tempo_division_beats(index));
    sync_lfo_set_sync(t->lfo, true);
}

void jump_depth(t_tremolo* t, float x) {
    t->depth_level.current = t->depth_level.target = x;
    t->depth_level.remaining = 0;
    t->depth_countdown = 0;
}

void tremolo_parameter_changed(t_module* m, int id, int origin) {
    if (origin == kChangedAdded) return;
    t_tremolo* t = self(m);
    switch (id) {
    case kSpeed:
        apply_speed(t);
        break;
    case kSyncIndex:
        apply_sync_index(t);
        break;
    case kDepth:
        if (origin == kChangedFromText) jump_depth(t, t->depth.value());
        // While switched off the depth is on its way to 0 (or rests there); switching
        // on again ramps to the new setting.
        else if (t->on_off.value() != 0)
            smooth_set_target(t->depth_level, t->depth.value());
        break;
    case kWaveType:
        // "Triangular" is the pure triangle, "Rhodes" the smoothed square.
        t->wave_mix.set_value(static_cast<float>(t->wave_type.controller()));
        break;
    case kFrequency:
        if (origin != kChangedFromText || t->type != 1) break;
        t->speed.set_value(t->frequency.value() * 60.0f);
        apply_speed(t);
        t->sync_index.set_controller(0);
        apply_sync_index(t);
        break;
    case kOnOff:
        t->stopping = false;
        if (origin == kChangedFromText) {
            // A preset load switches at once, at the preset's depth.
            jump_depth(t, t->depth.value());
        } else if (t->on_off.value() != 0) {
            jump_depth(t, 0);
            smooth_set_target(t->depth_level, t->depth.value());
        } else {
            // Keep modulating while the depth fades out, then bypass.
            smooth_set_target(t->depth_level, 0);
            t->stopping = true;
        }
        break;
    default:
        break;
    }
}

// ---- block loop ----

void tremolo_process(t_module* m, int frames) {
    t_tremolo* t = self(m);
    const float *clock = nullptr, *reset = nullptr, *in_left = nullptr, *in_right = nullptr;
    if (t->type == 1) {
        in_left = in_right = module_input(m, 1);
    } else {
        clock = module_input(m, 1);
        reset = module_input(m, 2);
        in_left = in_right = module_input(m, 3);
        if (t->type == 3 && t->inputs[3].state != kSlotNull) in_right = module_input(m, 4);
        if (!clock || !reset) return;
    }
    float* out_left = module_output(m, 1);
    float* out_right = module_output(m, 2);
    if (!in_left || !in_right || !out_left || !out_right) return;

    // Per block: the switches and the mix.
    const bool on = t->on_off.value() != 0;
    const float k = t->mono_stereo.value() != 0 ? -1.0f : 1.0f; // Stereo: the right side in opposite phase
    const float mix = t->wave_mix.value();
    const int edge_steps = static_cast<int>(t->sample_rate * kSquareEdge);
    // Type 3 scales both sides by 2^(-depth/2), followed as the depth ramps: a deep
    // modulation peaks at 1 + depth, and the stereo-in variant keeps that headroom.
    const bool compensate = t->type == 3;

    t_smooth_var depth = t->depth_level;
    int depth_countdown = t->depth_countdown;
    bool stopping = t->stopping;
    float compensation = compensate ? fast_exp2(-0.5f * depth.current) : 1.0f;
    float square = t->square, square_target = t->square_target, square_increment = t->square_increment;
    int square_steps = t->square_steps;
    bool second_half = t->second_half;
    int meter_countdown = t->meter_countdown;

    for (int i = 0; i < frames; ++i) {
        // Every 5 samples while ramping: one depth step.
        if (depth.remaining > 0) {
            if (depth_countdown <= 0) {
                smooth_step(depth);
                if (compensate) compensation = fast_exp2(-0.5f * depth.current);
                depth_countdown = kDepthStepEvery;
            }
            --depth_countdown;
        }

        const float d = clock ? sync_lfo_step(t->lfo, clock[i], reset[i]) : sync_lfo_step(t->lfo, 0, 0);

        // The panel lamp: a triangle of 0..8 sampled once per meter period.
        if (meter_countdown == -1) {
            meter_countdown = kMeterPeriod;
            const int g = static_cast<int>(d < 0.5f ? 16.0f * d : 16.0f * (1.0f - d));
            if (g != t->meter_value) {
                t->meter_value = g;
                module_report(m, kMeterMessage, static_cast<float>(g * 4));
            }
        } else {
            --meter_countdown;
        }

        const float xl = in_left[i], xr = in_right[i];
        if (!on && !stopping) {
            out_left[i] = xl;
            out_right[i] = xr;
            continue;
        }
        if (stopping && depth.remaining == 0) stopping = false; // bypass from the next sample

        float tri;
        if (compensate)
            tri = d < 0.25f ? 4 * d : (d < 0.75f ? 2 - 4 * d : 4 * d - 4);
        else
            tri = d < 0.5f ? 4 * d - 1 : 3 - 4 * d; // -1 at the start of the cycle, +1 at its middle

        // The square turns at each half cycle and takes its edge time to arrive.
        const bool second = d >= 0.5f;
        if (second != second_half) {
            second_half = second;
            square_target = second ? -1.0f : 1.0f;
            if (edge_steps <= 0) {
                square = square_target;
                square_steps = 0;
            } else {
                square_increment = (square_target - square) / static_cast<float>(edge_steps);
                square_steps = edge_steps;
            }
        }
        if (square_steps > 0) {
            // The last step lands on the target, so the square never drifts.
            square = --square_steps == 0 ? square_target : square + square_increment;
        }

        const float o = (square * mix + tri * (1 - mix)) * depth.current;
        out_left[i] = (o + 1) * xl * compensation;
        out_right[i] = (o * k + 1) * xr * compensation;
    }

    t->depth_level = depth;
    t->depth_countdown = depth_countdown;
    t->stopping = stopping;
    t->square = square, t->square_target = square_target, t->square_increment = square_increment;
    t->square_steps = square_steps;
    t->second_half = second_half;
    t->meter_countdown = meter_countdown;
}

void restart_lfo(t_tremolo* t) {
    sync_lfo_init(t->lfo, t->sample_rate);
    // The re-initialised LFO would run at 120 cycles per minute whatever the knobs say.
    sync_lfo_set_speed(t->lfo, t->speed.value());
    apply_sync_index(t);
}

void tremolo_set_sample_rate(t_module* m, float rate) {
    t_tremolo* t = self(m);
    if (!usable_rate(rate)) return;
    t->sample_rate = rate;
    t->depth_level.ramp_steps = std::max(static_cast<int>(rate * 0.1f * 0.2f), 1);
    restart_lfo(t);
}

} // namespace

t_module* tremolo_create_type(int type, std::string_view line) {
    if (type < 1 || type > 3) return nullptr;
    KelDescriptor d(line);
    float rate = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.s(name)) return nullptr;
    if (!usable_rate(rate)) return nullptr;

    const int inputs = type == 1 ? 1 : (type == 2 ? 3 : 4);
    t_tremolo* t = module_alloc<t_tremolo>(inputs, 2);
    if (!t) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    t->name = name;
    t->type_name = "tremolo";
    t->type = type;
    t->sample_rate = rate;
    t->depth_level.ramp_steps = std::max(static_cast<int>(rate * 0.1f * 0.2f), 1); // 100 ms in 5-sample steps
    jump_depth(t, t->depth.value());
    sync_lfo_init(t->lfo, rate);

    t->process = tremolo_process;
    t->set_sample_rate = tremolo_set_sample_rate;
    t->parameter_changed = tremolo_parameter_changed;

    // wave_mix follows wave_type and is hidden except in type 3, which shows the mix
    // instead of the choice; frequency is a type-1 setting read from text only.
    const int32_t wave_type_flags = type == 3 ? kParamNoTextWrite : 0;
    const int32_t wave_mix_flags = type == 3 ? 0 : (kParamNoTextRead | kParamNoTextWrite | kParamNoMessage);
    const int32_t frequency_flags = type == 1 ? (kParamNoReport | kParamNoMessage)
                                              : (kParamNoTextWrite | kParamNoReport | kParamNoMessage);
    module_register_parameter(t, &t->on_off, 0);
    module_register_parameter(t, &t->sync_index, 0);
    module_register_parameter(t, &t->speed, 0);
    module_register_parameter(t, &t->depth, 0);
    module_register_parameter(t, &t->mono_stereo, 0);
    module_register_parameter(t, &t->wave_type, wave_type_flags);
    module_register_parameter(t, &t->wave_mix, wave_mix_flags);
    module_register_parameter(t, &t->frequency, frequency_flags);
    return t;
}

t_module* tremolo_create(std::string_view line) {
    return tremolo_create_type(2, line);
}

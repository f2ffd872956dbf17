// The pickup of one voice. The tip of the fork moves in front of a magnet; the coil
// voltage is the rate of change of the flux through it, so both models answer changes
// of the input only, and a tip at rest gives silence.
#include "modules/pick_up.h"

#include <algorithm>
#include <cmath>

#include "engine/modular.h"
#include "engine/report.h"
#include "modules/fast_math.h"
#include "modules/parameter.h"

namespace {

enum : int {
    kSymmetry = 1,
    kDistance = 2,
    kAmpIn = 3,
    kAmpOut = 7,
    kAmpOutKbd = 8,
    kSaturation = 9,
    kModel = 11,
};

enum : int {
    kModelFlux = 0,     // leaky-integrated flux (first generation)
    kModelPosition = 1, // direct position (second generation)
    kModelSilent = 1000,
    kModelDipole = 1001, // reachable through settings text only
};

// The model-0 integrator: a bilinear one-pole low-pass at 4398.226 rad/s (700 Hz),
// that is an integrator above 700 Hz with a DC gain of 0.95 / 4398.226.
constexpr float kFluxCorner = 4398.226f;

// Raw gains from settings text stay within +-60 dB, far beyond what the knobs reach
// (+24 dB): a damaged preset must not overflow the models into infinities.
constexpr float kTextGainLimit = 1000.0f;

struct t_pick_up : t_module {
    float sample_rate = 44100;

    // Current settings and the copies latched at the last rising gate.
    float symmetry = 1, distance = 1, distance2 = 1;
    float latched_symmetry = 1, latched_distance = 1, latched_distance2 = 1, latched_gain_in = 0;
    float gain_in = 0;          // "amp_in", linear
    float gain_out = 0;         // "amp_out", linear
    float saturation = 0.11f;   // kept for the panel and presets; the models do not use it
    float latched_gain_out = 0; // J: silent until the first note-on

    int requested_model = kModelFlux;
    int active_model = kModelFlux;
    bool latch_request = false;
    bool gate_low = true;

    float filter_b = 0, filter_a = 0;
    float s_previous = 0, u_previous = 0, n_previous = 0;

    SmoothModelSwitcher weight{441};

    // One parameter per line, read as a table.
    // clang-format off
    Parameter_T<LinearDriver, ParameterFloatValue> amp_out_kbd{kAmpOutKbd, -1.5f, 1.5f, 0.0f, "amp_out_kbd", 0};
    Parameter_T<ExponentialDriver, ParameterFloatZeroValue> symetry{kSymmetry, 0.02f, 2.0f, 1.0f, "symetry", 0};
    Parameter_T<ExponentialDriver, ParameterFloatValue> distance_param{kDistance, 0.1f, 1.8f, 1.0f, "distance", 0};
    // clang-format on
};

t_pick_up* self(t_module* m) {
    return static_cast<t_pick_up*>(m);
}

bool usable_rate(float rate) {
    return std::isfinite(rate) && rate >= 1000.0f && rate <= 1.0e6f;
}

// The integrator coefficients and the 10 ms fade follow the rate, so a voice sounds
// the same whatever rate the host runs at.
void apply_rate(t_pick_up* p, float rate) {
    p->sample_rate = rate;
    const float e = kFluxCorner / rate;
    p->filter_b = 0.95f / (2.0f * rate + kFluxCorner);
    p->filter_a = (2.0f - e) / (2.0f + e);
    p->weight.var().ramp_steps = std::max(static_cast<int>(std::trunc(rate)) / 100, 1);
}

void zero_history(t_pick_up* p) {
    p->s_previous = p->u_previous = p->n_previous = 0;
}

void latch(t_pick_up* p, float pitch) {
    float j = fast_exp2(p->amp_out_kbd.value() * pitch) * p->gain_out;
    // Model 0 integrates, so its level falls with the rate: sample rate / 4410 restores it.
    if (p->active_model == kModelFlux) j *= p->sample_rate * 0.00022675737f;
    p->latched_gain_out = std::isfinite(j) ? j : 0.0f;
    p->latched_symmetry = p->symmetry;
    p->latched_distance = p->distance;
    p->latched_distance2 = p->distance2;
    p->latched_gain_in = p->gain_in;
    p->latch_request = false;
}

// ---- block loop ----

void pick_up_process(t_module* m, int frames) {
    t_pick_up* p = self(m);
    const float* in = module_input(m, 1);
    const float* pitch = module_input(m, 2);
    const float* gate = module_input(m, 3);
    float* out = module_output(m, 1);
    if (!in || !pitch || !gate || !out) return;

    t_smooth_var w = p->weight.var();
    float s_prev = p->s_previous, u_prev = p->u_previous, n_prev = p->n_previous;
    const float fb = p->filter_b, fa = p->filter_a;
    const float rate = p->sample_rate;
    float inv_distance = 1.0f / p->latched_distance;

    for (int i = 0; i < frames; ++i) {
        // Per sample: gate hysteresis at 0.01; a rising gate latches the settings.
        const float g = gate[i];
        if (g > 0.01f && p->gate_low) {
            p->gate_low = false;
            p->latch_request = true;
        } else if (g < 0.01f && !p->gate_low) {
            p->gate_low = true;
        }
        if (p->latch_request) {
            latch(p, pitch[i]);
            inv_distance = 1.0f / p->latched_distance;
        }

        const float v = w.current;
        smooth_step(w);
        const float x = in[i];
        const float j = p->latched_gain_out;

        switch (p->active_model) {
        case kModelFlux: {
            const float s = p->latched_gain_in * x * 5000.0f;
            const float u = fb * (s + s_prev) + fa * u_prev;
            const float q = (p->latched_symmetry + u) * inv_distance;
            const float q2 = q * q;
            const float n =
                s * q * (0.0119986f * q2 + 0.82085538f) / (0.1894016f * q2 + 1.0f) * 7.142857e-05f;
            out[i] = (n - n_prev) * v * j;
            s_prev = s, u_prev = u, n_prev = n;
            break;
        }
        case kModelPosition: {
            const float s = p->latched_gain_in * x;
            const float q = (p->latched_symmetry + s) * inv_distance;
            const float q2 = q * q;
            const float shape =
                q * (0.032329477f * q2 + 1.0590756f) / ((0.31450027f * q2 + 1.8034482f) * q2 + 1.0f);
            out[i] = shape * (s - s_prev) * rate * j * 0.00013888889f * v;
            s_prev = s;
            break;
        }
        case kModelDipole: {
            const float s = p->latched_gain_in * x;
            const float q = p->latched_symmetry + s;
            const float r = p->latched_distance2 + q * q; // >= 0.01: the gap never closes
            const float d2 = p->latched_distance2;
            out[i] = q / (r * std::sqrt(r)) * (s - s_prev) * rate * j * d2 * 0.00013888889f * v;
            s_prev = s;
            break;
        }
        default:
            // A model this pickup does not know: silence until the next reset.
            std::fill(out + i, out + frames, 0.0f);
            i = frames;
            continue;
        }

        // The switch happens only once the outgoing model has faded out completely.
        if (p->requested_model != p->active_model && w.current == 0 && w.target == w.current) {
            p->active_model = p->requested_model;
            smooth_set_target(w, 1.0f);
            s_prev = u_prev = n_prev = 0;
            p->latch_request = true;
        }
    }

    // Input that overflowed the models must not stick in the histories or leave the module.
    if (!std::isfinite(s_prev) || !std::isfinite(u_prev) || !std::isfinite(n_prev)) {
        s_prev = u_prev = n_prev = 0;
        std::fill(out, out + frames, 0.0f);
    }
    p->s_previous = s_prev, p->u_previous = u_prev, p->n_previous = n_prev;
    p->weight.var() = w;
}

void pick_up_reset(t_module* m) {
    t_pick_up* p = self(m);
    zero_history(p);
    p->gate_low = true;
    p->weight.set_now(1);
    p->active_model = p->requested_model;
}

void pick_up_set_sample_rate(t_module* m, float rate) {
    // The rate arrives as an integer number of Hz.
    rate = std::trunc(rate);
    t_pick_up* p = self(m);
    if (usable_rate(rate) && rate != p->sample_rate) apply_rate(p, rate);
}

// ---- events and queries ----

void set_distance(t_pick_up* p) {
    p->distance = p->distance_param.value();
    p->distance2 = p->distance * p->distance;
}

int pick_up_receive_message(t_module* m, t_message* msg) {
    if (msg->kind != kMessageInt && msg->kind != kMessageFloat) return 0;
    t_pick_up* p = self(m);
    float c = message_position(*msg);
    if (!std::isfinite(c)) return 0;
    c = std::clamp(c, 0.0f, 127.0f);
    auto move = [&](Parameter& param) {
        if (msg->kind == kMessageInt)
            param.set_controller(static_cast<int>(c));
        else
            param.set_controller_float(c);
    };
    switch (msg->param_id) {
    case kSymmetry:
        move(p->symetry);
        p->symmetry = p->symetry.value();
        break;
    case kDistance:
        move(p->distance_param);
        set_distance(p);
        break;
    case kAmpIn: // -30 dB to -6 dB
        p->gain_in = std::pow(10.0f, (c / 128.0f * 24.0f - 30.0f) * 0.05f);
        break;
    case kAmpOut: // off, then -6 dB to +24 dB
        p->gain_out = c == 0 ? 0.0f : std::pow(10.0f, (c / 128.0f * 30.0f - 6.0f) * 0.05f);
        break;
    case kAmpOutKbd:
        move(p->amp_out_kbd);
        break;
    case kSaturation:
        p->saturation = c * 0.007874016f;
        break;
    case kModel: {
        const int t = static_cast<int>(c);
        const int model = t < 2 ? t : kModelPosition;
        if (model == p->requested_model) break;
        p->requested_model = model;
        if (model == p->active_model)
            p->weight.set_now(1); // back before the fade ended: cancel it
        else
            p->weight.start_fade();
        break;
    }
    default:
        break;
    }
    return 0;
}

int clamp_position(float c) {
    if (!(c > 0)) return 0; // also NaN and -inf from the log of a zero gain
    return c >= 127 ? 127 : static_cast<int>(c);
}

int pick_up_get_message(t_module* m, int param_id, t_message* out) {
    t_pick_up* p = self(m);
    int c = 0;
    switch (param_id) {
    case kSymmetry:
        c = p->symetry.controller();
        break;
    case kDistance:
        c = p->distance_param.controller();
        break;
    case kAmpOutKbd:
        c = p->amp_out_kbd.controller();
        break;
    case kAmpIn:
        c = p->gain_in > 0
                ? clamp_position(std::trunc((20.0f * std::log10(p->gain_in) + 30.0f) * 5.3333335f + 0.5f))
                : 0;
        break;
    case kAmpOut:
        c = p->gain_out > 0
                ? clamp_position(std::trunc((20.0f * std::log10(p->gain_out) + 6.0f) * 4.266667f + 0.5f))
                : 0;
        break;
    case kSaturation:
        c = clamp_position(std::trunc(p->saturation * 127.0f + 0.5f));
        break;
    case kModel:
        c = p->requested_model;
        break;
    default:
        return 1;
    }
    out->kind = kMessageInt;
    out->param_id = param_id;
    out->module_id = m->id;
    out->owns_string = 0;
    out->value.i = std::clamp(c, 0, 127);
    return 0;
}

// ---- settings text ----

void pick_up_write(t_module* m, KelTextWriter& out, const std::string& indent) {
    t_pick_up* p = self(m);
    out << indent << " a           " << format_float(p->symmetry) << '\n';
    out << indent << " b           " << format_float(p->distance) << '\n';
    out << indent << " saturation  " << format_float(p->saturation) << '\n';
    out << indent << " amp_in      " << format_float(p->gain_in) << '\n';
    out << indent << " amp_out     " << format_float(p->gain_out) << '\n';
    out << indent << " amp_out_kbd " << format_float(p->amp_out_kbd.value()) << '\n';
    out << indent << " model       " << p->requested_model << '\n';
    out.flush();
}

void apply_setting(t_pick_up* p, std::string_view key, std::string_view text) {
    float v = 0;
    if (key == "model") {
        int model = 0;
        if (!parse_int(text, model) || model == p->requested_model) return;
        zero_history(p);
        p->requested_model = p->active_model = model; // a load switches at once, no fade
        p->latch_request = true;
        return;
    }
    if (!parse_float(text, v) || !std::isfinite(v)) return;
    if (key == "srate") {
        if (usable_rate(v) && v != p->sample_rate) apply_rate(p, v);
    } else if (key == "a") {
        p->symetry.set_value(std::fabs(v));
        p->symmetry = p->symetry.value();
    } else if (key == "b") {
        p->distance_param.set_value(v);
        set_distance(p);
    } else if (key == "amp_in") {
        p->gain_in = std::clamp(v, -kTextGainLimit, kTextGainLimit);
    } else if (key == "amp_out") {
        p->gain_out = std::clamp(v, -kTextGainLimit, kTextGainLimit);
    } else if (key == "saturation") {
        p->saturation = v;
    } else if (key == "amp_out_kbd") {
        p->amp_out_kbd.set_value(v);
    }
}

void pick_up_read(t_module* m, KelTextReader& in) {
    t_pick_up* p = self(m);
    for (;;) {
        std::string_view key = in.next_token();
        if (key.empty() || key == "}") break;
        if (key == "{") { // a nested block has no place here
            module_skip_block(in);
            continue;
        }
        std::string_view value = in.next_token();
        if (value.empty() || value == "}") break;
        if (value == "{") {
            module_skip_block(in);
            continue;
        }
        apply_setting(p, key, value);
    }
    for (int id : {kSymmetry, kDistance, kAmpIn, kAmpOut, kAmpOutKbd, kModel})
        module_tell(m, id);
}

} // namespace

t_module* pick_up_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0, a = 0, b = 0, amp_in = 0, amp_out = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.f(a) || !d.f(b) || !d.f(amp_in) || !d.f(amp_out) || !d.s(name))
        return nullptr;
    if (!usable_rate(rate) || !std::isfinite(a) || !std::isfinite(b) || !std::isfinite(amp_in) ||
        !std::isfinite(amp_out))
        return nullptr;

    t_pick_up* p = module_alloc<t_pick_up>(3, 1);
    if (!p) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    p->name = name;
    p->type_name = "pick_up";
    apply_rate(p, rate);

    p->symetry.set_value(a);
    p->distance_param.set_value(b);
    p->symmetry = p->symetry.value();
    set_distance(p);
    p->latched_symmetry = p->symmetry;
    p->latched_distance = p->distance;
    p->latched_distance2 = p->distance2;
    p->gain_in = p->latched_gain_in = amp_in;
    p->gain_out = amp_out;
    p->weight.set_now(1);

    p->process = pick_up_process;
    p->receive_message = pick_up_receive_message;
    p->get_message = pick_up_get_message;
    p->write_parameters = pick_up_write;
    p->read_parameters = pick_up_read;
    p->set_sample_rate = pick_up_set_sample_rate;
    p->reset = pick_up_reset;

    module_register_parameter(p, &p->amp_out_kbd, 0);
    module_register_parameter(p, &p->symetry, 0);
    module_register_parameter(p, &p->distance_param, 0);
    return p;
}

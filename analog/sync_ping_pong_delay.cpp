// Ping-pong delay. Two lines of one length L; the left input enters the first line, the
// right input the second, and each line is fed back into the other through a one-pole
// low-pass, so every pass crosses to the other side. Locked to the master clock, L is the
// division's share of the measured clock (C samples per 60 pulses, a quarter of a beat)
// and glides to each new measurement with a one-pole of about 160 ms; while it glides the
// lines are read between samples (three-point interpolation) so the pitch bends instead
// of clicking.
#include "analog/sync_ping_pong_delay.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "engine/modular.h"
#include "engine/report.h"
#include "modules/denormal_noise.h"
#include "modules/parameter.h"
#include "modules/smooth.h"
#include "modules/tempo_division.h"

namespace {

constexpr const char* kUnit = "sync_ping_pong_delay";
constexpr float kTwoPi = 6.28318530717959f;
constexpr float kTextRate = 44100.0f;   // settings text keeps the delay in samples at this rate
constexpr float kMaxSeconds = 40.0f;    // longest delay, free or locked
constexpr int kPulsesPerMeasure = 60;   // clock pulses per measurement: a quarter of a beat
constexpr float kClockThreshold = 0.1f; // the clock's rising edge, with hysteresis
constexpr int kGainRamp = 100;          // send-gain ramp in samples at 44.1 kHz
constexpr float kMaxFeedback = 127.0f / 128.0f;
constexpr float kMinCutoff = 16.0f, kMaxCutoff = 22050.0f; // Hz; events span 16 .. about 13970
constexpr int kCounterLimit = 1 << 30; // a stopped clock must not overflow the sample counter

struct t_delay : t_module {
    float sample_rate = 44100;
    std::unique_ptr<float[]> line_l, line_r; // written from the left and the right input
    int size = 0;
    unsigned mask = 0;
    unsigned write = 0;
    int fresh = 0;        // samples written since the last reset (at most size); older ones read as 0
    float max_length = 0; // samples

    // Delay length in samples: current (may be fractional) and where it is heading. Double:
    // a glide step is 2 pi / rate of the distance left, which in float would stall tens of
    // samples short of a long target.
    double length = 1, target = 1;
    double glide_k = 0;  // 2 pi / rate: a one-pole of 1/(2 pi) s
    int glide_steps = 0; // a glide lasts one second
    int glide_left = 0;

    // Clock measurement: C samples per 60 rising edges.
    float clock_period = 22050;
    int edges = 0, samples = 0;
    bool edge_high = false;

    int steps = 14; // tempo-division index; 14 is a quarter note
    bool sync = true;
    float feedback = 0.33f;
    float cutoff = 4000; // Hz
    float g = 1;         // feedback low-pass coefficient
    float angle = 0.5f;  // 0 sends everything to the right line, 1 to the left
    t_smooth_var gain_l, gain_r;
    float state_l = 0, state_r = 0; // feedback low-pass outputs
    bool bypass = false;

    // clang-format off
    Parameter_T<SquareDriver, ParameterFloatValue> delay{kDelayTime, 0.05f, 3.0f, 0.5f, "delay", 14};  // s
    Parameter_T<SquareDriver, ParameterFloatValue> dry{kDelayDry, 0, 2, 1, "dry", 4};
    Parameter_T<SquareDriver, ParameterFloatValue> wet{kDelayWet, 0, 2, 0.5f, "wet", 4};
    // clang-format on
};

t_delay* self(t_module* m) {
    return static_cast<t_delay*>(m);
}

bool usable_rate(float rate) {
    return std::isfinite(rate) && rate >= 1000.0f && rate <= 1.0e6f;
}

// A power of two above 40 s: 2^20 samples up to 24 kHz, doubling at 48 and 96 kHz, and
// beyond 192 kHz as large as the rate needs so a long delay never wraps the line.
int line_size(float rate) {
    int bits = rate <= 24000 ? 20 : (rate <= 48000 ? 21 : (rate <= 96000 ? 22 : 23));
    while (static_cast<double>(1 << bits) < kMaxSeconds * static_cast<double>(rate) + 4)
        ++bits;
    return 1 << bits;
}

// Send gains: an equal-power-like split of the input between the two lines, 0.8525 each
// in the middle.
float send_gain(float b) {
    return b * (b * (20.785267f * b - 31.177902f) + 10.392633f);
}

void set_gains(t_delay* d, bool now) {
    const float b = d->angle * 0.25f;
    smooth_set_target(d->gain_l, send_gain(b));
    smooth_set_target(d->gain_r, send_gain(0.25f - b));
    if (now) {
        smooth_jump(d->gain_l);
        smooth_jump(d->gain_r);
    }
}

// The one-pole's coefficient, min(2 pi fc / 44100, 1) at 44.1 kHz. At other rates the pole
// is moved so its time constant, and so the colour of every pass, stays the same.
void set_cutoff(t_delay* d, float hz) {
    d->cutoff = std::clamp(hz, kMinCutoff, kMaxCutoff);
    const float g44 = std::min(kTwoPi * d->cutoff / kTextRate, 1.0f);
    d->g = d->sample_rate == kTextRate ? g44 : 1.0f - std::pow(1.0f - g44, kTextRate / d->sample_rate);
}

void configure_rate(t_delay* d) {
    const float rate = d->sample_rate;
    d->max_length = std::min(kMaxSeconds * rate, static_cast<float>(d->size - 4));
    d->glide_k = 2 * M_PI / rate;
    d->glide_steps = static_cast<int>(rate);
    const int ramp = std::max(static_cast<int>(kGainRamp * rate / kTextRate), 1);
    d->gain_l.ramp_steps = d->gain_r.ramp_steps = ramp;
    set_cutoff(d, d->cutoff);
}

bool allocate_lines(t_delay* d, float rate) {
    const int size = line_size(rate);
    // Left unfilled: nothing is read before it is written (see `fresh`), so the pages of
    // a long line stay untouched until a long delay needs them.
    std::unique_ptr<float[]> l(new (std::nothrow) float[static_cast<std::size_t>(size)]);
    std::unique_ptr<float[]> r(new (std::nothrow) float[static_cast<std::size_t>(size)]);
    if (!l || !r) return false;
    d->line_l = std::move(l);
    d->line_r = std::move(r);
    d->size = size;
    d->mask = static_cast<unsigned>(size - 1);
    d->write = 0;
    d->fresh = 0;
    return true;
}

// Forgets the lines rather than zeroing them: a preset load resets the module on the
// audio thread, and the lines can hold hundreds of megabytes. A read reaching behind the
// samples written since then gives silence.
void clear_lines(t_delay* d) {
    d->fresh = 0;
}

// ---- delay length ----

double limit_length(const t_delay* d, double samples) {
    return std::clamp(samples, 1.0, static_cast<double>(d->max_length));
}

void move_to_target(t_delay* d, bool at_once) {
    if (at_once) {
        d->length = d->target;
        d->glide_left = 0;
    } else if (d->target != d->length) {
        d->glide_left = d->glide_steps;
    }
}

void free_length(t_delay* d, bool at_once) {
    d->target = limit_length(d, static_cast<double>(d->delay.value()) * d->sample_rate);
    move_to_target(d, at_once);
}

double locked_length(const t_delay* d) {
    return limit_length(d, std::trunc(tempo_division(d->steps) * d->clock_period));
}

// Steps 1..24 lock the length to the clock; 0 or less ends the lock.
void sync_length(t_delay* d, bool at_once) {
    if (d->steps <= 0) {
        if (d->sync) {
            d->sync = false;
            free_length(d, true);
            module_tell(d, kDelayTime);
            module_tell(d, kDelaySync);
        }
        return;
    }
    if (d->steps >= kTempoDivisionCount) d->steps = kTempoDivisionCount - 1;
    const bool was = d->sync;
    d->sync = true;
    d->target = locked_length(d);
    move_to_target(d, at_once);
    if (!was) module_tell(d, kDelaySync);
}

// ---- block loop ----

void delay_process(t_module* m, int frames) {
    t_delay* d = self(m);
    const float* clock = module_input(m, 1);
    const float* in_l = module_input(m, 2);
    const float* in_r = module_input(m, 3);
    float* out_l = module_output(m, 1);
    float* out_r = module_output(m, 2);
    if (!clock || !in_l || !in_r || !out_l || !out_r) return;
    if (d->bypass || !d->line_l) {
        std::memmove(out_l, in_l, sizeof(float) * static_cast<std::size_t>(frames));
        std::memmove(out_r, in_r, sizeof(float) * static_cast<std::size_t>(frames));
        return;
    }

    // Per block: settings that only events change.
    float* const buf_l = d->line_l.get();
    float* const buf_r = d->line_r.get();
    const unsigned mask = d->mask;
    const float g = d->g, hold = 1.0f - g, fb = d->feedback;
    const float wet = d->wet.value(), dry = d->dry.value();
    const float ratio = tempo_division(d->steps);
    const bool sync = d->sync;
    const double k = d->glide_k, k1 = d->glide_k - 1.0;

    unsigned w = d->write;
    int fresh = d->fresh;
    const int size = d->size;
    double length = d->length, target = d->target;
    int glide_left = d->glide_left;
    int edges = d->edges, samples = d->samples;
    bool edge_high = d->edge_high;
    float period = d->clock_period;
    float s_l = d->state_l, s_r = d->state_r;
    t_smooth_var gain_l = d->gain_l, gain_r = d->gain_r;

    for (int i = 0; i < frames; ++i) {
        // Per sample: measure the clock; every 60th rising edge gives a new period.
        if (samples < kCounterLimit) ++samples;
        const float c = clock[i];
        if (c < kClockThreshold) {
            edge_high = false;
        } else if (!edge_high && c > kClockThreshold) {
            edge_high = true;
            if (++edges == kPulsesPerMeasure) {
                period = static_cast<float>(samples);
                samples = edges = 0;
                if (sync) {
                    target = limit_length(d, std::trunc(ratio * period));
                    if (target != length) glide_left = d->glide_steps;
                }
            }
        }
        if (glide_left > 0) length = --glide_left == 0 ? target : k * target - k1 * length;

        s_l += denormal_noise::next();
        s_r += denormal_noise::next();
        w = (w + 1) & mask;
        const int whole = static_cast<int>(length);
        const unsigned r = (w - static_cast<unsigned>(whole)) & mask;
        float y_l = 0, y_r = 0;
        if (glide_left > 0) {
            // Three points around the fractional position, which lies half a sample
            // beyond the fraction so it stays in the middle of the three.
            const float K = static_cast<float>(length - whole) + 0.5f;
            const float c0 = 0.5f * (K - 1) * (K - 2), c1 = -K * (K - 2), c2 = 0.5f * K * (K - 1);
            const unsigned r1 = (r - 1) & mask, r2 = (r - 2) & mask;
            if (whole + 2 <= fresh) {
                y_l = c0 * buf_l[r] + c1 * buf_l[r1] + c2 * buf_l[r2];
                y_r = c0 * buf_r[r] + c1 * buf_r[r1] + c2 * buf_r[r2];
            } else {
                if (whole <= fresh) y_l = c0 * buf_l[r], y_r = c0 * buf_r[r];
                if (whole + 1 <= fresh) y_l += c1 * buf_l[r1], y_r += c1 * buf_r[r1];
            }
        } else if (whole <= fresh) {
            y_l = buf_l[r];
            y_r = buf_r[r];
        }
        const float x_l = in_l[i], x_r = in_r[i];
        // Each line takes the other line's output: the echo crosses sides every pass.
        s_l = g * (gain_l.current * x_l + fb * y_r) + hold * s_l;
        s_r = g * (gain_r.current * x_r + fb * y_l) + hold * s_r;
        buf_l[w] = s_l;
        buf_r[w] = s_r;
        if (fresh < size) ++fresh;
        out_l[i] = wet * y_l + dry * x_l;
        out_r[i] = wet * y_r + dry * x_r;
        smooth_step(gain_l);
        smooth_step(gain_r);
    }

    d->write = w;
    d->fresh = fresh;
    d->length = length, d->target = target;
    d->glide_left = glide_left;
    d->edges = edges, d->samples = samples;
    d->edge_high = edge_high;
    d->clock_period = period;
    d->state_l = s_l, d->state_r = s_r;
    d->gain_l = gain_l, d->gain_r = gain_r;
}

void delay_tick(t_module* m) {
    delay_process(m, 1);
}

void delay_reset(t_module* m) {
    t_delay* d = self(m);
    clear_lines(d);
    d->state_l = d->state_r = 0;
    if (d->sync)
        sync_length(d, true);
    else
        free_length(d, true);
}

// ---- events and queries ----

int delay_receive_message(t_module* m, t_message* msg) {
    if (msg->kind != kMessageInt && msg->kind != kMessageFloat) return 0;
    t_delay* d = self(m);
    float c = message_position(*msg);
    if (!std::isfinite(c)) return 0;
    c = std::clamp(c, 0.0f, 127.0f);
    const int i = static_cast<int>(c);
    const bool is_float = msg->kind == kMessageFloat;
    auto set = [&](Parameter& p) {
        if (is_float)
            p.set_controller_float(c);
        else
            p.set_controller(i);
    };
    switch (msg->param_id) {
    case kDelaySteps:
        d->steps = i;
        sync_length(d, false);
        break;
    case kDelayAngle:
        d->angle = static_cast<float>(127 - i) / 127.0f;
        set_gains(d, false);
        break;
    case kDelayCutoff:
        // 2^(i/13 + 4): sixteen hertz times a thirteenth of an octave per step.
        set_cutoff(d, std::exp2(static_cast<float>(i) / 13.0f + 4.0f));
        break;
    case kDelayTime:
        set(d->delay);
        if (!d->sync) free_length(d, false);
        break;
    case kDelayFeedback:
        d->feedback = static_cast<float>(i) / 128.0f;
        break;
    case kDelayMix:
        d->wet.set_value(c / 127.0f);
        d->dry.set_value(1.0f - c / 127.0f);
        break;
    case kDelaySync:
        if (i == 0 && d->sync) {
            d->sync = false;
            free_length(d, true);
            module_tell(d, kDelayTime);
        } else if (i != 0 && !d->sync) {
            d->sync = true;
            sync_length(d, false);
            module_tell(d, kDelaySteps);
        }
        break;
    case kDelayDry:
        set(d->dry);
        break;
    case kDelayWet:
        set(d->wet);
        break;
    case kDelayOnOff: {
        const bool was_bypassed = d->bypass;
        d->bypass = i == 0;
        if (was_bypassed && !d->bypass) delay_reset(d);
        break;
    }
    default:
        break;
    }
    return 0;
}

int delay_get_message(t_module* m, int id, t_message* out) {
    t_delay* d = self(m);
    int v = 0;
    switch (id) {
    case kDelaySteps:
        v = d->steps;
        break;
    case kDelayAngle:
        v = static_cast<int>((1.0f - d->angle) * 127.0f + 0.5f);
        break;
    case kDelayCutoff:
        v = static_cast<int>(std::trunc((std::log2(d->cutoff) - 4.0f) * 13.0f) + 0.5f);
        break;
    case kDelayTime:
        v = d->delay.controller();
        break;
    case kDelayDry:
        v = d->dry.controller();
        break;
    case kDelayWet:
        v = d->wet.controller();
        break;
    case kDelayFeedback:
        v = static_cast<int>(d->feedback * 128.0f + 0.4f);
        break;
    case kDelayMix: {
        // Both levels at 0 have no balance; answer "all dry".
        const float sum = d->wet.value() + d->dry.value();
        v = sum > 0 ? static_cast<int>(d->wet.value() / sum * 127.0f) : 0;
        break;
    }
    case kDelaySync:
        v = d->sync ? 1 : 0;
        break;
    case kDelayOnOff:
        v = d->bypass ? 0 : 1;
        break;
    default:
        return 1;
    }
    out->kind = kMessageInt;
    out->param_id = id;
    out->module_id = m->id;
    out->value.i = std::clamp(v, 0, 127);
    return 0;
}

// ---- settings text ----

void write_line(KelTextWriter& out, const std::string& indent, const char* padded_name,
                const std::string& value) {
    out << indent << ' ' << padded_name << value << '\n';
    out.flush();
}

void delay_write_parameters(t_module* m, KelTextWriter& out, const std::string& indent) {
    t_delay* d = self(m);
    write_line(out, indent, "steps_param  ", std::to_string(d->steps));
    write_line(out, indent, "delay        ", format_float(d->delay.value() * kTextRate));
    write_line(out, indent, "feedback     ", format_float(d->feedback));
    write_line(out, indent, "cutoff       ", format_float(d->cutoff));
    write_line(out, indent, "angle        ", format_float(d->angle));
    write_line(out, indent, "dry          ", d->dry.value_text());
    write_line(out, indent, "wet          ", d->wet.value_text());
    write_line(out, indent, "sync         ", d->sync ? "1" : "0");
    write_line(out, indent, "bypass       ", d->bypass ? "1" : "0");
}

// A "delay" value is samples at 44.1 kHz; small values are seconds (old texts), so 0.5
// and 22050 both mean half a second at any rate.
float text_delay_seconds(float v) {
    const float seconds = v / kTextRate;
    if (seconds * 0.2f < 1.0f / 127.0f) return v <= 5.0f ? v : seconds;
    return seconds;
}

void delay_read_parameters(t_module* m, KelTextReader& in) {
    t_delay* d = self(m);
    if (!module_load_filter(m, 0)) {
        module_skip_block(in);
        return;
    }
    bool bypass_seen = false, sync_seen = false;
    for (;;) {
        const std::string_view key = in.next_token();
        if (key.empty() || key == "}") break;
        if (key == "{") {
            module_skip_block(in);
            continue;
        }
        const std::string_view value = in.next_token();
        if (value.empty() || value == "}") break;
        if (value == "{") {
            module_skip_block(in);
            continue;
        }
        float v = 0;
        if (!parse_float(value, v) || !std::isfinite(v)) continue;
        const int as_int = static_cast<int>(std::clamp(v, -1.0f, 127.0f));
        if (key == "steps_param") {
            d->steps = as_int;
        } else if (key == "delay") {
            d->delay.set_value(text_delay_seconds(v));
        } else if (key == "feedback") {
            d->feedback = std::clamp(v, 0.0f, kMaxFeedback);
        } else if (key == "cutoff") {
            set_cutoff(d, v);
        } else if (key == "angle") {
            d->angle = std::clamp(v, 0.0f, 1.0f);
            set_gains(d, true);
        } else if (key == "mix") {
            d->wet.set_value(v);
            d->dry.set_value(1.0f - d->wet.value());
        } else if (key == "dry") {
            d->dry.set_value(v);
        } else if (key == "wet") {
            d->wet.set_value(v);
        } else if (key == "bypass") {
            d->bypass = as_int > 0;
            bypass_seen = true;
        } else if (key == "sync") {
            d->sync = as_int > 0;
            sync_seen = true;
        }
    }
    if (!bypass_seen) d->bypass = false;
    if (!sync_seen) d->sync = false;
    // A lock asked for with steps below 1 is no lock.
    if (d->sync && d->steps > 0) {
        d->steps = std::min(d->steps, kTempoDivisionCount - 1);
        d->target = locked_length(d);
        move_to_target(d, false);
    } else {
        d->sync = false;
        free_length(d, false);
    }
    for (int id : {kDelaySteps, kDelayAngle, kDelayCutoff, kDelayTime, kDelayFeedback, kDelayMix, kDelayDry,
                   kDelayWet, kDelaySync, kDelayOnOff})
        module_tell(d, id);
}

// ---- sample rate ----

void delay_set_sample_rate(t_module* m, float rate) {
    t_delay* d = self(m);
    if (!usable_rate(rate) || rate == d->sample_rate) return;
    if (line_size(rate) != d->size) {
        if (!allocate_lines(d, rate))
            // The old lines stay; the longest delay shrinks to what they hold.
            kel_error(kUnit, __LINE__, "can't allocate memory for delay line\n");
    }
    clear_lines(d);
    // The measured clock period keeps its length in time.
    const float scale = rate / d->sample_rate;
    d->clock_period *= scale;
    d->samples =
        static_cast<int>(std::min(static_cast<float>(d->samples) * scale, static_cast<float>(kCounterLimit)));
    d->sample_rate = rate;
    configure_rate(d);
    d->state_l = d->state_r = 0;
    if (d->sync)
        d->target = locked_length(d);
    else
        d->target = limit_length(d, static_cast<double>(d->delay.value()) * rate);
    move_to_target(d, true);
}

} // namespace

t_module* sync_ping_pong_delay_create(std::string_view line) {
    KelDescriptor desc(line);
    float rate = 0;
    std::string name;
    if (!desc.f(rate) || !desc.skip_d() || !desc.s(name) || !usable_rate(rate)) {
        kel_error(kUnit, __LINE__, "can't create sync_ping_pong_delay from \"%.*s\"\n",
                  static_cast<int>(line.size()), line.data());
        return nullptr;
    }
    t_delay* d = module_alloc<t_delay>(3, 2);
    if (!d) {
        kel_error(kUnit, __LINE__, "can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    if (!allocate_lines(d, rate)) {
        kel_error(kUnit, __LINE__, "can't allocate memory for delay line\n");
        module_free(d);
        return nullptr;
    }
    d->name = name;
    d->type_name = "sync_ping_pong_delay";
    module_set_version(d, 2);
    d->sample_rate = rate;
    d->clock_period = std::trunc(rate) / 2;
    configure_rate(d);
    set_gains(d, true);
    sync_length(d, true);

    d->tick = delay_tick;
    d->process = delay_process;
    d->receive_message = delay_receive_message;
    d->get_message = delay_get_message;
    d->write_parameters = delay_write_parameters;
    d->read_parameters = delay_read_parameters;
    d->set_sample_rate = delay_set_sample_rate;
    d->reset = delay_reset;

    module_register_parameter(d, &d->delay, 0);
    module_register_parameter(d, &d->dry, 0);
    module_register_parameter(d, &d->wet, 0);
    return d;
}

const char* const* delay_preset_texts(int* count) {
    static const char* const kTexts[] = {
        "sync_ping_pong_delay Delay version 1\n{\n"
        "   steps_param  0\n   delay        22050\n   feedback     0.390625\n   cutoff       3309.29\n"
        "   angle        0.85\n   dry          1.0\n   wet          0.5\n   sync         0\n   bypass       "
        "0\n}\n",
        "sync_ping_pong_delay Delay version 1\n{\n"
        "   steps_param  0\n   delay        22050\n   feedback     0.33\n   cutoff       13962.1\n"
        "   angle        0.5\n   dry          1.0\n   wet          0.5\n   sync         0\n   bypass       "
        "0\n}\n",
        "sync_ping_pong_delay Delay version 1\n{\n"
        "   steps_param  0\n   delay        22050\n   feedback     0.484375\n   cutoff       500.0\n"
        "   angle        0.5\n   dry          1.0\n   wet          0.5\n   sync         0\n   bypass       "
        "0\n}\n",
    };
    if (count) *count = static_cast<int>(sizeof kTexts / sizeof kTexts[0]);
    return kTexts;
}

const char* delay_instrument_default_body() {
    return "   steps_param  14\n   delay        22050\n   feedback     0.33\n   cutoff       4000\n"
           "   angle        0.5\n   dry          1\n   wet          0.5\n   sync         1\n   bypass       "
           "0\n";
}

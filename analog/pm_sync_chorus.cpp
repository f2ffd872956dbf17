// Chorus. The LFO phase ramps from 0 to 1 over n clock pulses; at every pulse the ramp
// re-aims so that it reaches 1 at the end of the cycle, which keeps it locked to a clock
// whose tempo drifts. The swept offset m = sine(phase) * D moves a four-point Lagrange
// read between the samples of the line.
//
// The line is sized from the sample rate: the longest read lies the longest delay plus
// the deepest sweep (0.2 s) behind the write position, which at 44.1 kHz is already more
// than 8192 samples.
#include "analog/pm_sync_chorus.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "engine/modular.h"
#include "engine/report.h"
#include "modules/denormal_noise.h"
#include "modules/lfo_shaper.h"
#include "modules/parameter.h"
#include "modules/tempo_division.h"

namespace {

constexpr const char* kUnit = "pm_sync_chorus";
constexpr float kMaxDelay = 0.15f;   // s, the top of "delay"
constexpr float kMaxDepth = 0.05f;   // s, the top of "depth"
constexpr float kSecondTap = 0.42f;  // mode 1: the second read leads the first by this share of the delay
constexpr float kDepthLimit = 0.95f; // modes 0 and 2: the sweep stays within this share of the delay
constexpr float kDepthLimitTwoTaps = 0.399f; // mode 1
constexpr int kFreeCycle = 144;              // pulses per cycle on the own generator: 0.6 beat
constexpr float kClockThreshold = 0.1f;
constexpr int kCounterLimit = 1 << 30;

struct t_chorus : t_module {
    float sample_rate = 44100;
    std::unique_ptr<float[]> line_l, line_r;
    int size = 0;
    unsigned mask = 0;
    unsigned write = 0, read1 = 0, read2 = 0;

    int clock_source = 0;
    int coarse = 60, fine = 0; // tempo of the own generator: coarse + fine / 10 BPM
    float half_period = 0;     // samples between two level changes of the generator
    float generator_phase = 0, generator_level = 0;
    int steps = 0;

    int cycle = kFreeCycle; // clock pulses per LFO cycle
    int pulses = 0;         // pulses counted in this cycle
    int since_pulse = 0;    // samples since the last pulse
    float phase = 0, increment = 0;
    float clock_value = 0; // the last clock sample
    bool edge_high = false;
    t_lfo_shaper sine1, sine2;

    float tap_l = 0, tap_r = 0; // last taps, fed back in modes 0 and 2
    int mode = 1;

    // clang-format off
    Parameter_T<ExponentialDriver, ParameterFloatValue> alt_tempo{kChorusAltTempo, 2, 240, 60, "alt_tempo", 13};  // BPM
    Parameter_T<ExponentialDriver, ParameterFloatValue> delay{kChorusDelay, 0.001f, kMaxDelay, 0.04f, "delay", 0};  // s
    Parameter_T<LinearDriver, ParameterFloatValue> mix{kChorusMix, 0, 1, 0, "mix", 2};
    Parameter_T<LinearDriver, ParameterFloatValue> spread{kChorusSpread, 0.5f, 1, 0.5f, "spread", 0};
    Parameter_T<ExponentialDriver, ParameterFloatValue> depth{kChorusDepth, 0.0001f, kMaxDepth, 0.0005f, "depth", 0};  // s
    Parameter_T<ExponentialDriver, ParameterFloatValue> feedback{kChorusFeedback, 0.01f, 0.999f, 0.01f, "feedback", 0};
    // clang-format on
};

t_chorus* self(t_module* m) {
    return static_cast<t_chorus*>(m);
}

bool usable_rate(float rate) {
    return std::isfinite(rate) && rate >= 1000.0f && rate <= 1.0e6f;
}

// Room for the deepest sweep behind the longest delay, the four interpolation points and
// a margin, as a power of two.
int line_size(float rate) {
    const double needed = static_cast<double>(kMaxDelay + kMaxDepth) * static_cast<double>(rate) + 8;
    int size = 8192;
    while (size < needed)
        size *= 2;
    return size;
}

bool allocate_line(t_chorus* c, float rate) {
    const int size = line_size(rate);
    std::unique_ptr<float[]> l(new (std::nothrow) float[static_cast<std::size_t>(size)]());
    std::unique_ptr<float[]> r(new (std::nothrow) float[static_cast<std::size_t>(size)]());
    if (!l || !r) return false;
    c->line_l = std::move(l);
    c->line_r = std::move(r);
    c->size = size;
    c->mask = static_cast<unsigned>(size - 1);
    return true;
}

unsigned delay_samples(const t_chorus* c) {
    return static_cast<unsigned>(c->delay.value() * c->sample_rate);
}

unsigned second_tap_offset(const t_chorus* c) {
    return static_cast<unsigned>(c->delay.value() * c->sample_rate * kSecondTap);
}

// A new delay moves the writer; the readers keep their places.
void place_pointers(t_chorus* c) {
    c->write = (delay_samples(c) + c->read1) & c->mask;
    c->read2 = (c->read1 + second_tap_offset(c)) & c->mask;
}

// ---- tempo and cycle ----

void update_tempo(t_chorus* c) {
    const float tempo = static_cast<float>(c->coarse) + static_cast<float>(c->fine) * 0.1f;
    c->half_period = c->sample_rate * 30.0f / (tempo * kClockPulsesPerQuarter); // 240 pulses per beat
    c->alt_tempo.set_value(tempo);
    if (c->steps <= 0) {
        c->clock_source = 0;
        c->cycle = kFreeCycle;
        return;
    }
    if (c->steps >= kTempoDivisionCount) c->steps = kTempoDivisionCount - 1;
    c->clock_source = 1;
    // Rounded: 5.333333 x 60 is 320 pulses, not 319.
    c->cycle = static_cast<int>(std::lround(tempo_division_pulses(c->steps)));
}

// ---- block loop ----

// Four-point Lagrange weights for a position x in [1, 2).
struct Weights {
    float w0, w1, w2, w3;
    explicit Weights(float x) {
        const float a = x - 1, b = x - 2, c = x - 3;
        w0 = -a * b * c * (1.0f / 6);
        w1 = x * b * c * 0.5f;
        w2 = -x * a * c * 0.5f;
        w3 = x * a * b * (1.0f / 6);
    }
};

// floor() without the library call: the sweep offset is far inside the int range.
inline int floor_int(float x) {
    const int i = static_cast<int>(x);
    return i > x ? i - 1 : i;
}

// The left tap lies m samples further behind `base`, the right tap (mirrored) m nearer.
inline float tap_behind(const float* line, unsigned mask, unsigned p, const Weights& w) {
    return w.w0 * line[p & mask] + w.w1 * line[(p - 1) & mask] + w.w2 * line[(p - 2) & mask] +
           w.w3 * line[(p - 3) & mask];
}
inline float tap_mirrored(const float* line, unsigned mask, unsigned q, const Weights& w) {
    return w.w3 * line[q & mask] + w.w2 * line[(q - 1) & mask] + w.w1 * line[(q - 2) & mask] +
           w.w0 * line[(q - 3) & mask];
}

template <int Mode> void chorus_process(t_module* m, int frames) {
    t_chorus* c = self(m);
    const float* clock_in = module_input(m, 1);
    const float* in_l = module_input(m, 2);
    const float* in_r = module_input(m, 3);
    float* out_l = module_output(m, 1);
    float* out_r = module_output(m, 2);
    if (!clock_in || !in_l || !in_r || !out_l || !out_r || !c->line_l) return;

    // Per block: the sweep depth in samples, limited to a share of the delay so a read
    // never overtakes the writer.
    const float limit = Mode == 1 ? kDepthLimitTwoTaps : kDepthLimit;
    const float depth =
        c->depth.value() > limit * c->delay.value() ? limit * c->delay.value() : c->depth.value();
    const float D = depth * c->sample_rate;
    const float mix = c->mix.value(), dry = 1.0f - mix;
    const float spread = c->spread.value(), own = 1.0f - spread;
    const float fb = c->feedback.value();
    const int source = c->clock_source;
    const int cycle = c->cycle;
    const float half_period = c->half_period;
    float* const buf_l = c->line_l.get();
    float* const buf_r = c->line_r.get();
    const unsigned mask = c->mask;

    unsigned w = c->write, r1 = c->read1, r2 = c->read2;
    float phase = c->phase, increment = c->increment;
    int pulses = c->pulses, since = c->since_pulse;
    float gen_phase = c->generator_phase, gen_level = c->generator_level;
    float clock = c->clock_value;
    bool edge_high = c->edge_high;
    float tap_l = c->tap_l, tap_r = c->tap_r;
    t_lfo_shaper sine1 = c->sine1, sine2 = c->sine2;

    for (int i = 0; i < frames; ++i) {
        // Per sample: the clock and the LFO phase.
        if (source == 0) {
            gen_phase += 1;
            if (gen_phase > half_period) {
                gen_phase -= half_period;
                gen_level = 1 - gen_level;
            }
            clock = gen_level;
        } else if (source == 1) {
            clock = clock_in[i];
        }
        if (since < kCounterLimit) ++since;
        if (clock < kClockThreshold) {
            edge_high = false;
        } else if (!edge_high && clock > kClockThreshold) {
            edge_high = true;
            if (pulses >= cycle) {
                phase = 0;
                pulses = 0;
            }
            ++pulses;
            // Aim to reach 1 at the end of the cycle, the pulses to come as long as the last one.
            const int left = cycle - pulses;
            const float aim =
                left > 0 ? (1 - phase) / (static_cast<float>(left) * static_cast<float>(since)) : -1.0f;
            if (aim >= 0) {
                increment = aim;
            } else {
                // The last pulse of the cycle (or an overshoot): rest at the top until the next.
                phase = 1;
                increment = 0;
            }
            since = 0;
        }
        if (phase < 1) phase = std::min(phase + increment, 1.0f);

        const float x_l = in_l[i], x_r = in_r[i];
        if (Mode == 1) {
            buf_l[w] = x_l;
            buf_r[w] = x_r;
        } else {
            buf_l[w] = fb * tap_l + denormal_noise::next() + x_l;
            buf_r[w] = fb * tap_r + denormal_noise::next() + x_r;
        }

        // The phase lies in 0..1; its fraction wraps 1 to 0.
        const float a = phase < 1 ? phase : 0.0f;
        const float m1 = lfo_shaper_value(sine1, a) * D;
        const int s1 = floor_int(m1);
        const Weights w1(m1 - static_cast<float>(s1) + 1);
        if (Mode == 1) {
            float b = 0.25f - phase;
            if (b < 0) b += 1;
            const float m2 = lfo_shaper_value(sine2, b) * D;
            const int s2 = floor_int(m2);
            const Weights w2(m2 - static_cast<float>(s2) + 1);
            tap_l = tap_behind(buf_l, mask, r1 - s1, w1) + tap_behind(buf_l, mask, r2 - s2, w2);
            tap_r = tap_mirrored(buf_r, mask, r1 + s1, w1) + tap_mirrored(buf_r, mask, r2 + s2, w2);
        } else if (Mode == 2) {
            tap_l = tap_behind(buf_l, mask, r1 - s1, w1);
            tap_r = tap_behind(buf_r, mask, r1 - s1, w1);
        } else {
            tap_l = tap_behind(buf_l, mask, r1 - s1, w1);
            tap_r = tap_mirrored(buf_r, mask, r1 + s1, w1);
        }

        out_l[i] = mix * (own * tap_l + spread * tap_r) + dry * x_l;
        out_r[i] = mix * (own * tap_r + spread * tap_l) + dry * x_r;
        w = (w + 1) & mask;
        r1 = (r1 + 1) & mask;
        r2 = (r2 + 1) & mask;
    }

    c->write = w, c->read1 = r1, c->read2 = r2;
    c->phase = phase, c->increment = increment;
    c->pulses = pulses, c->since_pulse = since;
    c->generator_phase = gen_phase, c->generator_level = gen_level;
    c->clock_value = clock;
    c->edge_high = edge_high;
    c->tap_l = tap_l, c->tap_r = tap_r;
    c->sine1 = sine1, c->sine2 = sine2;
}

void set_mode(t_chorus* c, int mode) {
    c->mode = mode;
    c->process = mode == 0 ? chorus_process<0> : (mode == 2 ? chorus_process<2> : chorus_process<1>);
}

void chorus_reset(t_module* m) {
    t_chorus* c = self(m);
    c->read1 = 0;
    place_pointers(c);
    c->tap_l = c->tap_r = 0;
    if (c->line_l) {
        std::memset(c->line_l.get(), 0, sizeof(float) * static_cast<std::size_t>(c->size));
        std::memset(c->line_r.get(), 0, sizeof(float) * static_cast<std::size_t>(c->size));
    }
}

// ---- events and queries ----

int chorus_receive_message(t_module* m, t_message* msg) {
    if (msg->kind != kMessageInt && msg->kind != kMessageFloat) return 0;
    t_chorus* c = self(m);
    float pos = message_position(*msg);
    if (!std::isfinite(pos)) return 0;
    pos = std::clamp(pos, 0.0f, 127.0f);
    const int i = static_cast<int>(pos);
    auto set = [&](Parameter& p) {
        if (msg->kind == kMessageFloat)
            p.set_controller_float(pos);
        else
            p.set_controller(i);
    };
    switch (msg->param_id) {
    case kChorusClockSource:
        c->clock_source = i;
        update_tempo(c);
        break;
    case kChorusCoarse:
        c->coarse = i + 1;
        update_tempo(c);
        break;
    case kChorusFine:
        c->fine = i;
        update_tempo(c);
        break;
    case kChorusSteps:
        c->steps = i;
        update_tempo(c);
        break;
    case kChorusAltTempo: {
        set(c->alt_tempo);
        const float tempo = c->alt_tempo.value();
        c->coarse = static_cast<int>(tempo);
        c->fine = static_cast<int>((tempo - static_cast<float>(c->coarse)) * 10.0f);
        update_tempo(c);
        break;
    }
    case kChorusDelay:
        set(c->delay);
        place_pointers(c);
        break;
    case kChorusMix:
        set(c->mix);
        break;
    case kChorusSpread:
        set(c->spread);
        break;
    case kChorusMode:
        set_mode(c, i);
        break;
    case kChorusDepth:
        set(c->depth);
        break;
    case kChorusFeedback:
        set(c->feedback);
        break;
    default:
        break;
    }
    return 0;
}

int chorus_get_message(t_module* m, int id, t_message* out) {
    t_chorus* c = self(m);
    int v = 0;
    switch (id) {
    case kChorusClockSource:
        v = c->clock_source;
        break;
    case kChorusCoarse:
        v = c->coarse - 1;
        break;
    case kChorusFine:
        v = c->fine;
        break;
    case kChorusSteps:
        v = c->steps;
        break;
    case kChorusAltTempo:
        v = c->alt_tempo.controller();
        break;
    case kChorusDelay:
        v = c->delay.controller();
        break;
    case kChorusMix:
        v = c->mix.controller();
        break;
    case kChorusSpread:
        v = c->spread.controller();
        break;
    case kChorusMode:
        v = c->mode;
        break;
    case kChorusDepth:
        v = c->depth.controller();
        break;
    case kChorusFeedback:
        v = c->feedback.controller();
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

void chorus_write_parameters(t_module* m, KelTextWriter& out, const std::string& indent) {
    t_chorus* c = self(m);
    write_line(out, indent, "clock_source_param   ", std::to_string(c->clock_source));
    write_line(out, indent, "tempo_coarse_param   ", std::to_string(c->coarse));
    write_line(out, indent, "tempo_fine_param     ", std::to_string(c->fine));
    write_line(out, indent, "steps_param          ", std::to_string(c->steps));
    write_line(out, indent, "delay                ", c->delay.value_text());
    write_line(out, indent, "mix                  ", c->mix.value_text());
    write_line(out, indent, "spread               ", c->spread.value_text());
    write_line(out, indent, "depth                ", c->depth.value_text());
    write_line(out, indent, "feedback             ", c->feedback.value_text());
    write_line(out, indent, "mode                 ", std::to_string(c->mode));
}

void chorus_read_parameters(t_module* m, KelTextReader& in) {
    t_chorus* c = self(m);
    if (!module_load_filter(m, 0)) {
        module_skip_block(in);
        return;
    }
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
        // Whole numbers within what the events can set; a tempo of at least 1 BPM.
        const int as_int = static_cast<int>(std::clamp(v, -1.0f, 999.0f));
        if (key == "clock_source_param")
            c->clock_source = std::clamp(as_int, 0, 127);
        else if (key == "tempo_coarse_param")
            c->coarse = std::clamp(as_int, 1, 240);
        else if (key == "tempo_fine_param")
            c->fine = std::clamp(as_int, 0, 127);
        else if (key == "steps_param")
            c->steps = as_int;
        else if (key == "mode")
            set_mode(c, as_int);
        else if (key == "delay") {
            c->delay.set_value(v);
            place_pointers(c);
        } else if (key == "mix")
            c->mix.set_value(v);
        else if (key == "spread")
            c->spread.set_value(v);
        else if (key == "depth")
            c->depth.set_value(v);
        else if (key == "feedback")
            c->feedback.set_value(v);
    }
    update_tempo(c);
    for (int id : {kChorusClockSource, kChorusAltTempo, kChorusCoarse, kChorusFine, kChorusSteps,
                   kChorusDelay, kChorusMix, kChorusSpread, kChorusDepth, kChorusFeedback, kChorusMode})
        module_tell(c, id);
}

// ---- sample rate ----

void chorus_set_sample_rate(t_module* m, float rate) {
    t_chorus* c = self(m);
    if (!usable_rate(rate) || rate == c->sample_rate) return;
    if (line_size(rate) != c->size && !allocate_line(c, rate))
        // The old line stays: the longest delays wrap around it.
        kel_error(kUnit, __LINE__, "can't allocate memory for chorus line\n");
    c->sample_rate = rate;
    update_tempo(c);
    chorus_reset(c);
}

} // namespace

t_module* pm_sync_chorus_create(std::string_view line) {
    KelDescriptor desc(line);
    float rate = 0;
    std::string name;
    if (!desc.f(rate) || !desc.skip_d() || !desc.s(name) || !usable_rate(rate)) {
        kel_error(kUnit, __LINE__, "can't create pm_sync_chorus from \"%.*s\"\n",
                  static_cast<int>(line.size()), line.data());
        return nullptr;
    }
    t_chorus* c = module_alloc<t_chorus>(3, 2);
    if (!c) {
        kel_error(kUnit, __LINE__, "can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    if (!allocate_line(c, rate)) {
        kel_error(kUnit, __LINE__, "can't allocate memory for chorus line\n");
        module_free(c);
        return nullptr;
    }
    c->name = name;
    c->type_name = "pm_sync_chorus";
    c->sample_rate = rate;
    lfo_shaper_init(c->sine1, kLfoSine, 0.5f);
    lfo_shaper_init(c->sine2, kLfoSine, 0.5f);
    update_tempo(c);
    set_mode(c, c->mode);
    chorus_reset(c);

    c->receive_message = chorus_receive_message;
    c->get_message = chorus_get_message;
    c->write_parameters = chorus_write_parameters;
    c->read_parameters = chorus_read_parameters;
    c->set_sample_rate = chorus_set_sample_rate;
    c->reset = chorus_reset;

    module_register_parameter(c, &c->alt_tempo, 0);
    module_register_parameter(c, &c->mix, 0);
    return c;
}

const char* const* chorus_preset_texts(int* count) {
    // clang-format off
    static const char* const kTexts[] = {
        "pm_sync_chorus Chorus version 1\n{\n"
        "   clock_source_param   0\n   tempo_coarse_param   35\n   tempo_fine_param     0\n   steps_param          0\n"
        "   delay                0.00313981\n   mix                  0.5\n   spread               0.5\n"
        "   depth                0.000554384\n   feedback             0.0160206\n   mode                 1\n}\n",
        "pm_sync_chorus Chorus version 1\n{\n"
        "   clock_source_param   0\n   tempo_coarse_param   35\n   tempo_fine_param     0\n   steps_param          0\n"
        "   delay                0.00313981\n   mix                  0.5\n   spread               0.826772\n"
        "   depth                0.000554384\n   feedback             0.0160206\n   mode                 1\n}\n",
        "pm_sync_chorus Chorus version 1\n{\n"
        "   clock_source_param   0\n   tempo_coarse_param   5\n   tempo_fine_param     4\n   steps_param          0\n"
        "   delay                0.009477\n   mix                  0.5\n   spread               0.5\n"
        "   depth                0.0140096\n   feedback             0.646592\n   mode                 2\n}\n",
        "pm_sync_chorus Chorus version 1\n{\n"
        "   clock_source_param   0\n   tempo_coarse_param   5\n   tempo_fine_param     4\n   steps_param          0\n"
        "   delay                0.009477\n   mix                  0.5\n   spread               0.893701\n"
        "   depth                0.0140096\n   feedback             0.646592\n   mode                 0\n}\n",
        "pm_sync_chorus Chorus version 1\n{\n"
        "   clock_source_param   0\n   tempo_coarse_param   160\n   tempo_fine_param     0\n   steps_param          0\n"
        "   delay                0.0054549\n   mix                  1\n   spread               1\n"
        "   depth                0.000241285\n   feedback             0.0160206\n   mode                 2\n}\n",
    };
    // clang-format on
    if (count) *count = static_cast<int>(sizeof kTexts / sizeof kTexts[0]);
    return kTexts;
}

const char* chorus_instrument_default_body(int slot) {
    if (slot == 0)
        return "   clock_source_param   0\n   tempo_coarse_param   160\n   tempo_fine_param     0\n"
               "   steps_param          0\n   delay                0.0054549\n   mix                  1\n"
               "   spread               1\n   depth                0.00021879\n   feedback             "
               "0.0160206\n"
               "   mode                 2\n";
    return "   clock_source_param   0\n   tempo_coarse_param   35\n   tempo_fine_param     0\n"
           "   steps_param          0\n   delay                0.00313981\n   mix                  0.5\n"
           "   spread               0.5\n   depth                0.000554384\n   feedback             "
           "0.0160206\n"
           "   mode                 1\n";
}

// Distortion. Per sample: pre-equaliser (three sections), drive, 8x polyphase
// interpolation, the waveshaper on each of the eight values, 8x decimation, the tone
// shelf and the level. The 8x filters are short (27 and 8 taps) and split into their
// polyphase parts, so no product of a zero-stuffed sample is ever computed.
#include "modules/distortion.h"

#include <cmath>
#include <cstring>

#include "engine/modular.h"
#include "engine/report.h"
#include "modules/filter_coeffs.h"
#include "modules/parameter.h"
#include "modules/wet_dry_crossfader.h"

namespace {

enum : int {
    kOnOff = 0xffff,
    kDrive = 1,
    kTone = 2,
    kLevel = 3,
    kDistortionType = 4,
    kBank = 6,
};

constexpr float kTwoPi = 6.28318530717959f;
constexpr float kToneLowHz = 200, kToneHighHz = 3000; // the tone shelves' corners

// The voicing of each type: the pre-equaliser and the drive, tone and level that an
// event choosing the type sets.
struct t_voicing {
    float low_hz, low_gain;
    float peak_hz, peak_gain, peak_q;
    float high_hz, high_gain;
    float drive, tone, level;
};

// clang-format off
constexpr t_voicing kVoicings[7] = {
    {200, 0.168577f,    2208.93f, 0.33998099f, 0.721387f, 2000, 5.32897f,    11.0897f, 1.12507f, 0.725716f},
    {200, 0.523522f,    561.148f, 0.220787f,   0.721387f, 2000, 31.6228f,    29.8664f, 1.10486f, 0.284689f},
    {200, 0.1982f,      561.148f, 5.62442f,    0.483075f, 2394.7f, 1.62582f, 2.23001f, 1.61682f, 1.15868f},
    {200, 0.1982f,      489.291f, 8.6608105f,  0.483075f, 2000, 5.04903f,    381.567f, 1.12507f, 0.284689f},
    {200, 1.24136f,     1679.42f, 31.6228f,    1.24105f,  4110.66f, 1.24136f, 141.68f, 1.02757f, 0.285f},
    {216.933f, 0.220787f, 1113.34f, 14.0758f,  0.774286f, 2000, 5.62442f,    69.8199f, 1.12507f, 0.4914f},
    {400, 1,            800, 1,                0.721387f, 2000, 1,           1,        1,        1},
};

// The 27-tap interpolation and decimation filter P and the 8-tap half-band H.
constexpr float kP[27] = {
    -0.0010077f, -0.0031704f, -0.0062863f, -0.009368f, -0.0106834f, -0.0080657f, 0.0005021f, 0.0161764f,
    0.0386403f, 0.0658195f, 0.0658195f, 0.1189099f, 0.1359387f, 0.142f, 0.1359387f, 0.1189099f,
    0.0658195f, 0.0658195f, 0.0386403f, 0.0161764f, 0.0005021f, -0.0080657f, -0.0106834f, -0.009368f,
    -0.0062863f, -0.0031704f, -0.0010077f,
};
constexpr float kH0 = 0.001492062f, kH1 = 0.044078287f, kH2 = 0.17841773f, kH3 = 0.32773194f;
// clang-format on

struct t_distortion : t_module {
    float sample_rate = 44100;
    t_wet_dry_crossfader fader;
    t_filter_coeffs pre_low, pre_peak, pre_high, tone_low, tone_high;
    t_biquad_history low_history, peak_history, high_history;
    float tone_x1 = 0, tone_y1 = 0; // the tone shelf's memories, shared by both shelves
    float up1[6] = {};              // the six previous inputs of the x4 stage, newest first
    float up2[3] = {};              // the x2 stage's x, y, z
    float down1_a = 0;              // the previous pair's first value
    float down1_b[5] = {};          // the second values of the previous five pairs, newest first
    float down2[23] = {};           // the previous x2-decimated values, newest first

    // One parameter per line, read as a table.
    // clang-format off
    Parameter_T<LinearDriver, ParameterIntValue> on_off{kOnOff, 0, 1, 1, "on_off", 9};
    Parameter_T<ExponentialDriver, ParameterFloatValue> drive{kDrive, 0.1f, 400, 1, "drive", 10};
    Parameter_T<ExponentialDriver, ParameterFloatValue> tone{kTone, 0.316228f, 3.16228f, 1, "tone", 2};
    Parameter_T<SquareDriver, ParameterFloatValue> level{kLevel, 0, 2, 1, "level", 11};
    Parameter_T<LinearDriver, ParameterIntValue> distortion_type{kDistortionType, 0, 6, 0, "distortion_type", 0};
    Parameter_T<LinearDriver, ParameterIntValue> bank{kBank, 0, 4, 0, "bank", 0};  // stored and saved; selects nothing
    // clang-format on
};

t_distortion* self(t_module* m) {
    return static_cast<t_distortion*>(m);
}

bool usable_rate(float rate) {
    return std::isfinite(rate) && rate >= 1000.0f && rate <= 1.0e6f;
}

int fade_steps(float rate) {
    return static_cast<int>(rate * 0.05f); // 50 ms
}

int type_of(const t_distortion* d) {
    const int t = static_cast<int>(d->distortion_type.value());
    return t < 0 ? 0 : (t > 6 ? 6 : t);
}

// ---- coefficient update ----

void update_pre_equaliser(t_distortion* d, bool now = false) {
    const t_voicing& v = kVoicings[type_of(d)];
    const float to_angle = kTwoPi / d->sample_rate;
    filter_design_low_shelf(d->pre_low, v.low_hz * to_angle, v.low_gain, now);
    filter_design_peak(d->pre_peak, v.peak_hz * to_angle, v.peak_gain, v.peak_q, now);
    filter_design_high_shelf(d->pre_high, v.high_hz * to_angle, v.high_gain, now);
}

void update_tone(t_distortion* d, bool now = false) {
    const float tone = d->tone.value();
    const float to_angle = kTwoPi / d->sample_rate;
    filter_design_low_shelf(d->tone_low, kToneLowHz * to_angle, 1 / tone, now);
    filter_design_high_shelf(d->tone_high, kToneHighHz * to_angle, tone, now);
}

void clear_histories(t_distortion* d) {
    d->low_history = d->peak_history = d->high_history = t_biquad_history{};
    d->tone_x1 = d->tone_y1 = 0;
    d->down1_a = 0;
    std::memset(d->up1, 0, sizeof d->up1);
    std::memset(d->up2, 0, sizeof d->up2);
    std::memset(d->down1_b, 0, sizeof d->down1_b);
    std::memset(d->down2, 0, sizeof d->down2);
}

void distortion_reset(t_module* m) {
    t_distortion* d = self(m);
    clear_histories(d);
    crossfader_set_rest(d->fader, d->on_off.value() != 0);
}

void distortion_parameter_changed(t_module* m, int id, int origin) {
    if (origin == kChangedAdded) return;
    t_distortion* d = self(m);
    switch (id) {
    case kDistortionType:
    case kBank:
        update_pre_equaliser(d);
        if (origin == kChangedByMessage) {
            // Choosing a type by hand also dials in its drive, tone and level.
            const t_voicing& v = kVoicings[type_of(d)];
            d->drive.set_value(v.drive);
            d->tone.set_value(v.tone);
            d->level.set_value(v.level);
            update_tone(d);
            module_tell(m, kDrive);
            module_tell(m, kTone);
            module_tell(m, kLevel);
        }
        break;
    case kTone:
        update_tone(d);
        break;
    case kOnOff:
        if (origin == kChangedFromText)
            crossfader_set_rest(d->fader, d->on_off.value() != 0);
        else if (d->on_off.value() != 0)
            crossfader_turn_on(d->fader);
        else
            crossfader_turn_off(d->fader);
        break;
    default:
        break;
    }
}

} // namespace

// ---- the waveshaper ----

namespace {

inline float shape(int type, float v) {
    switch (type) {
    case 0:
    case 6:
        if (v < -0.5f) {
            const float y = (v + 0.5f) * 0.6666667f - 1;
            return -1 - 0.5f / (y * y * y);
        }
        if (v > 0.35f) {
            const float y = (v - 0.35f) * 0.5376344f + 1;
            return 0.97f - 0.62f / (y * y * y);
        }
        return v;
    case 1:
        if (v < -0.4f) {
            const float y = (v + 0.4f) * 0.7407407f - 1;
            return -0.85f - 0.45f / (y * y * y);
        }
        if (v > 0.8f) {
            const float y = (v - 0.8f) * 1.6666667f + 1;
            return 1 - 0.2f / (y * y * y);
        }
        return v;
    case 2:
        if (v < -0.8f) return -1.03f - 0.23f / ((v + 0.8f) * 4.347827f - 1);
        if (v > 0.8f) {
            const float y = (v - 0.8f) * 1.2500002f + 1;
            return 0.96f - 0.16f / (y * y * y);
        }
        return v;
    case 3:
        if (v < -0.15f) {
            const float y = (v + 0.15f) * 0.5882353f - 1;
            return -1 + 0.85f / (y * y);
        }
        if (v > 0.15f) {
            const float y = (v - 0.15f) * 0.5882353f + 1;
            return 1 - 0.85f / (y * y * y);
        }
        return v;
    case 4:
        if (v < -0.9f) return -1 - 0.1f / ((v + 0.9f) * 9.999998f - 1);
        if (v > 0.55f) {
            const float y = (v - 0.55f) * 0.44444445f + 1;
            return 1 - 0.45f / (y * y * y);
        }
        return v;
    case 5:
        if (v < -0.01f) {
            const float y = (v + 0.01f) * 1.754386f - 1;
            return -0.2f - 0.19f / (y * y * y);
        }
        if (v > 0.4f) {
            const float y = (v - 0.4f) * 0.5555556f + 1;
            return 1 - 0.6f / (y * y * y);
        }
        return v;
    default:
        return v;
    }
}

} // namespace

float distortion_shape(int type, float v) {
    return shape(type, v);
}

namespace {

// ---- block loop ----

// Per sample, for one curve.
template <int Type> void run(t_distortion* d, const float* in, float* out, int frames) {
    // Per block: the settings.
    const float gain = d->drive.value() * 8; // the 8 makes up for the interpolator's 1/8
    const float level = d->level.value();
    const bool cut_lows = d->tone.value() > 1;
    // The state in locals: the output buffer cannot alias them, so they stay in registers.
    t_filter_coeffs pre_low = d->pre_low, pre_peak = d->pre_peak, pre_high = d->pre_high;
    t_filter_coeffs tone_low = d->tone_low, tone_high = d->tone_high;
    t_biquad_history low_history = d->low_history, peak_history = d->peak_history,
                     high_history = d->high_history;
    float u[6], h2[3], b[5], down2[23];
    std::memcpy(u, d->up1, sizeof u);
    std::memcpy(h2, d->up2, sizeof h2);
    std::memcpy(b, d->down1_b, sizeof b);
    std::memcpy(down2, d->down2, sizeof down2);
    float down1_a = d->down1_a, tone_x1 = d->tone_x1, tone_y1 = d->tone_y1;
    for (int i = 0; i < frames; ++i) {
        // Pre-equaliser.
        float x = filter_coeffs_process(pre_low, low_history, in[i]);
        x = filter_coeffs_process(pre_peak, peak_history, x);
        x = filter_coeffs_process(pre_high, high_history, x);

        // x4 interpolation: the four polyphase parts of P.
        const float a = x * gain;
        const float p[4] = {
            -0.0010077f * a - 0.0106834f * u[0] + 0.0386403f * u[1] + 0.1359387f * u[2] + 0.0658195f * u[3] +
                0.0005021f * u[4] - 0.0062863f * u[5],
            -0.0031704f * a - 0.0080657f * u[0] + 0.0658195f * u[1] + 0.142f * u[2] + 0.0658195f * u[3] -
                0.0080657f * u[4] - 0.0031704f * u[5],
            -0.0062863f * a + 0.0005021f * u[0] + 0.0658195f * u[1] + 0.1359387f * u[2] + 0.0386403f * u[3] -
                0.0106834f * u[4] - 0.0010077f * u[5],
            -0.009368f * a + 0.0161764f * u[0] + 0.1189099f * u[1] + 0.1189099f * u[2] + 0.0161764f * u[3] -
                0.009368f * u[4],
        };
        u[5] = u[4], u[4] = u[3], u[3] = u[2], u[2] = u[1], u[1] = u[0], u[0] = a;

        // x2 interpolation of each, the waveshaper on all eight, and the first x2
        // decimation on each pair.
        float d1[4];
        for (int k = 0; k < 4; ++k) {
            const float v = p[k];
            const float s0 = shape(Type, kH0 * v + kH2 * h2[0] + kH3 * h2[1] + kH1 * h2[2]);
            const float s1 = shape(Type, kH1 * v + kH3 * h2[0] + kH2 * h2[1] + kH0 * h2[2]);
            h2[2] = h2[1], h2[1] = h2[0], h2[0] = v;
            d1[k] = kH1 * s0 + kH0 * s1 + kH2 * down1_a + kH3 * (b[0] + b[1]) + kH2 * b[2] + kH1 * b[3] +
                    kH0 * b[4];
            b[4] = b[3], b[3] = b[2], b[2] = b[1], b[1] = b[0], b[0] = s1;
            down1_a = s0;
        }

        // x4 decimation: P over the four new values, newest first, and the 23 before them.
        float s = kP[0] * d1[3] + kP[1] * d1[2] + kP[2] * d1[1] + kP[3] * d1[0];
        for (int k = 0; k < 23; ++k)
            s += kP[4 + k] * down2[k];
        for (int k = 22; k >= 4; --k)
            down2[k] = down2[k - 4];
        down2[0] = d1[3], down2[1] = d1[2], down2[2] = d1[1], down2[3] = d1[0];

        // Tone: one first-order shelf, low cut above tone 1, high cut below it.
        const t_filter_coeffs& t = cut_lows ? tone_low : tone_high;
        const float y = (t.b0.current * s + t.b1.current * tone_x1 - t.a1.current * tone_y1) / t.a0.current;
        tone_x1 = s, tone_y1 = y;
        tone_low.step();
        tone_high.step();

        out[i] = y * level;
    }
    d->pre_low = pre_low, d->pre_peak = pre_peak, d->pre_high = pre_high;
    d->tone_low = tone_low, d->tone_high = tone_high;
    d->low_history = low_history, d->peak_history = peak_history, d->high_history = high_history;
    std::memcpy(d->up1, u, sizeof u);
    std::memcpy(d->up2, h2, sizeof h2);
    std::memcpy(d->down1_b, b, sizeof b);
    std::memcpy(d->down2, down2, sizeof down2);
    d->down1_a = down1_a, d->tone_x1 = tone_x1, d->tone_y1 = tone_y1;
}

void distortion_process(t_module* m, int frames) {
    t_distortion* d = self(m);
    const float* in = module_input(m, 1);
    float* out = module_output(m, 1);
    if (!in || !out) return;
    if (crossfader_bypassed(d->fader)) {
        if (out != in) std::memcpy(out, in, sizeof(float) * static_cast<std::size_t>(frames));
        return;
    }

    // Per block: the curve, chosen once so that each loop has its own curve inlined.
    switch (type_of(d)) {
    case 0:
    case 6:
        run<0>(d, in, out, frames);
        break;
    case 1:
        run<1>(d, in, out, frames);
        break;
    case 2:
        run<2>(d, in, out, frames);
        break;
    case 3:
        run<3>(d, in, out, frames);
        break;
    case 4:
        run<4>(d, in, out, frames);
        break;
    default:
        run<5>(d, in, out, frames);
        break;
    }
    // A non-finite input must not stay in the recursions or leave the module.
    if (!std::isfinite(d->tone_y1 + d->low_history.y1 + d->peak_history.y1 + d->high_history.y1 +
                       d->down2[0])) {
        clear_histories(d);
        std::memset(out, 0, sizeof(float) * static_cast<std::size_t>(frames));
    }
    crossfader_apply(d->fader, in, out, frames);
}

void distortion_set_sample_rate(t_module* m, float rate) {
    t_distortion* d = self(m);
    if (!usable_rate(rate) || rate == d->sample_rate) return;
    d->sample_rate = rate;
    crossfader_set_ramp_steps(d->fader, fade_steps(rate));
    update_pre_equaliser(d, true);
    update_tone(d, true);
}

const char* const kPresets[] = {
    "distortion Disto version 1\n{\n    on_off 1\n    drive 2.79574\n    tone 1\n    level 0.431645\n"
    "    distortion_type 6\n    bank 0\n}\n",
};

} // namespace

const char* const* distortion_preset_texts(int* count) {
    if (count) *count = static_cast<int>(sizeof kPresets / sizeof kPresets[0]);
    return kPresets;
}

t_module* distortion_create(std::string_view line) {
    KelDescriptor desc(line);
    float rate = 0;
    std::string name;
    if (!desc.f(rate) || !desc.skip_d() || !desc.s(name)) return nullptr;
    if (!usable_rate(rate)) return nullptr;

    t_distortion* d = module_alloc<t_distortion>(1, 1);
    if (!d) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    d->name = name;
    d->type_name = "distortion";
    d->sample_rate = rate;
    crossfader_set_ramp_steps(d->fader, fade_steps(rate));
    crossfader_set_rest(d->fader, true);

    d->process = distortion_process;
    d->reset = distortion_reset;
    d->set_sample_rate = distortion_set_sample_rate;
    d->parameter_changed = distortion_parameter_changed;

    for (Parameter* p : std::initializer_list<Parameter*>{&d->on_off, &d->drive, &d->tone, &d->level,
                                                          &d->distortion_type, &d->bank})
        module_register_parameter(d, p, 0);
    // Every setting announced as if read from text: the pre-equaliser of type 0 and the
    // tone shelves glide from their initial coefficients over the first 30 samples.
    for (const t_param_entry& entry : d->params)
        distortion_parameter_changed(d, entry.param->id(), kChangedFromText);
    return d;
}

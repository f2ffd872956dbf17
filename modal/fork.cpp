// The fork: four two-pole resonators whose angles and decays are set at key changes
// and, while the pitch moves, at most once every 21 samples.
#include "modal/fork.h"

#include <algorithm>
#include <cmath>

#include "engine/report.h"
#include "modal/modal.h"
#include "modules/fast_math.h"
#include "modules/mallet.h"
#include "modules/noise_damper.h"
#include "modules/parameter.h"

namespace {

constexpr float kGateThreshold = 0.1f;
constexpr int kUpdatePeriod = 20;      // countdown 20..0: at most one periodic update per 21 samples
constexpr float kLn2 = 0.6931472f;     // the key-down damping halves the amplitude every 1/damping s
constexpr float kQuarterTurn = 1.570795f;
constexpr float kUpperPartial = 2.8169f;  // tine upper partial over its main partial
constexpr float kStealDecay = 52.80333f;  // per second over 0.09 s: a stolen voice dies within ~0.09 s
constexpr float kStealTime = 0.09f;
constexpr float kLevel = 0.333f;
constexpr float kReferenceRate = 44100;   // the level is the same at every rate

// Release decay rates (1/s at pitch 0, over release_time) and angle limits (rad/sample):
// above 0.9 pi (tone bar, noise) or 0.95 pi (tine) a resonator would alias, so it is off.
constexpr float kReleaseRate[3] = {52.80333f, 38.33797f, 26.83658f};
constexpr float kAngleLimit[4] = {2.8274333f, 2.984513f, 2.984513f, 2.8274333f};
constexpr float kUpperDampingShare = 0.7f;

// One-mode string models: L = sqrt(T / rho) * k gives omega = pi / k (rad/s).
constexpr double kToneK = 0.0019111689;   // 261.62 Hz
constexpr double kTineK = 0.000269266;    // 1856.9 Hz, replaced by "old_new" on reading
constexpr double kNoiseK = 0.001361248;   // 367.31 Hz
constexpr double kTension = 100, kDensity = 0.01, kDampingCoeff = 10, kStiffness = 0;

struct t_resonator {
    int active = 1;
    float gain = 0, a1 = 0, a2 = 0;
    float y1 = 0, y2 = 0;
};

struct t_mode {
    float amplitude = 1;
    float damping = 40;       // 1/s
    float damping_rate = 0;   // damping / sample rate
    double omega = 0;         // rad/s at pitch 0
    float base_angle = 0;     // omega / sample rate
    float damp_freq = 0;      // keyboard amplitude exponent (tine, noise)
};

struct t_fork : t_module {
    float sample_rate = 44100;
    int gate_state = 0;
    int countdown = 0;
    float release_time = 1.0f;
    float x1 = 0, x2 = 0;
    t_mode tone, tine, noise;
    float tine_share2 = 0, tine_share3 = 0;
    t_resonator res[4];
    float last_pitch = 0, last_noise_pitch = 0;
    bool pitch_changed = false, noise_pitch_changed = false;
    t_midi_binding midi;
    Parameter_T<LinearDriver, ParameterIntValue> old_new{kForkOldNew, 0, 1, 0, "old_new", 0};
    Parameter_T<LinearDriver, ParameterFloatValue> tine_balance{kForkTineBalance, 0, 1, 0.5f, "tine_balance", 0};
    Parameter_T<LinearDriver, ParameterFloatValue> noise_pitch{kForkNoisePitch, -4.5f, 5.5f, 0, "noise_pitch", 0};
};

t_fork* self(t_module* m) { return static_cast<t_fork*>(m); }

// The per-sample values always come from the physical ones, never from rescaling the
// previous per-sample values: a rate change then lands exactly where building at that
// rate would, and repeated changes do not drift.
void derive_rates(t_fork* f, t_mode& mode) {
    mode.base_angle = static_cast<float>(mode.omega / f->sample_rate);
    mode.damping_rate = mode.damping / f->sample_rate;
}

// Settings that would make a resonator grow (negative damping or release) or overflow
// 2^x are kept inside the range the controls can reach.
float clamp_damping(float v) { return std::clamp(v, 0.0f, 1e5f); }
float clamp_release(float v) { return std::clamp(v, 1e-3f, 1e3f); }
float clamp_amplitude(float v) { return std::clamp(v, -1e3f, 1e3f); }
float clamp_damp_freq(float v) { return std::clamp(v, -4.0f, 4.0f); }

void set_damping(t_fork* f, t_mode& mode, float damping) {
    mode.damping = clamp_damping(damping);
    derive_rates(f, mode);
}

void update_tine_shares(t_fork* f) {
    const float b = f->tine_balance.value();
    f->tine_share2 = std::cos(b * kQuarterTurn) * f->tine.amplitude;
    f->tine_share3 = std::sin(b * kQuarterTurn) * f->tine.amplitude;
}

void set_tine_omega(t_fork* f, float omega) {
    f->tine.omega = omega;
    derive_rates(f, f->tine);
}

// Builds the one-mode model of a tone bar, tine or noise body; false when the model
// cannot be built.
bool build_mode(t_fork* f, t_mode& mode, double k) {
    m_string* s = m_create_string(1, std::sqrt(kTension / kDensity) * k, kTension, kDensity, kDampingCoeff, kStiffness);
    if (!s) return false;
    const int index = m_string_mode_at(s, s->length * 0.5);
    mode.omega = m_string_omega(s, index);
    mode.damping = static_cast<float>(2 * m_string_damping_ratio(s, index));
    derive_rates(f, mode);
    mode.amplitude = 1;
    m_free_string(s);
    return true;
}

// Two-pole resonator at angle theta (rad/sample) with per-sample decay h: the angle is
// pre-warped by sin(theta)/theta, the decay split over the two poles.
void set_resonator(t_resonator& r, float theta, float h, float limit, float gain_without_s) {
    if (theta > limit) {
        r.active = 0;
        return;
    }
    r.active = 1;
    const float s = theta > 1e-6f ? std::sin(theta) / theta : 1.0f;
    const float hs = h * s;
    const float j = 1 / (1 + hs);
    r.gain = gain_without_s * s * j;
    r.a1 = -2 * std::cos(theta) * j;
    r.a2 = (1 - hs) * j;
}

// Pitch inputs are kept within +-20 octaves (NaN goes to the bottom), so that 2^p is
// neither 0 nor infinite.
float sane_pitch(float p) { return std::fmin(std::fmax(p, -20.0f), 20.0f); }

// Per key change and per control tick during pitch changes.
void update_coefficients(t_fork* f, float p, bool steal, float noise_value) {
    p = sane_pitch(p);
    const float P = fast_exp2(sane_pitch(steal ? f->last_pitch : p));
    const float Q = fast_exp2(steal ? f->last_noise_pitch : noise_value);
    const float sr = f->sample_rate;
    const float level = kLevel * (kReferenceRate / (2 * sr));
    const float tine_key = fast_exp2((f->tine.damp_freq - 1) * p);
    const float angle[3] = {P * f->tone.base_angle, P * f->tine.base_angle, P * f->tine.base_angle * kUpperPartial};
    const float delta[3] = {f->tone.damping_rate, f->tine.damping_rate, f->tine.damping_rate * kUpperDampingShare};
    const float amp[3] = {f->tone.amplitude * level, f->tine_share2 * level * tine_key, f->tine_share3 * level * tine_key};
    for (int i = 0; i < 3; ++i) {
        float theta = angle[i], h;
        if (f->gate_state == 1) {
            h = delta[i] * P * kLn2;
        } else {
            h = steal ? kStealDecay / (sr * kStealTime) : kReleaseRate[i] * P / (f->release_time * sr);
            // The release decay is folded into the angle so the pitch does not sag.
            theta = std::sqrt(h * h + theta * theta);
        }
        set_resonator(f->res[i], theta, h, kAngleLimit[i], amp[i]);
    }
    // The tone noise does not follow the key; only its own pitch moves it.
    const float noise_amp = f->noise.amplitude * level * std::pow(P, f->noise.damp_freq - 1);
    set_resonator(f->res[3], Q * f->noise.base_angle, f->noise.damping_rate * kLn2, kAngleLimit[3], noise_amp);
    f->pitch_changed = f->noise_pitch_changed = false;
}

// Per block; per sample: change detection, the gate, the countdown, four resonators.
void fork_process(t_module* mod, int frames) {
    t_fork* f = self(mod);
    const float* gate = module_input(f, 1);
    const float* excitation = module_input(f, 2);
    const float* pitch = module_input(f, 3);
    float* out = module_output(f, 1);
    if (!gate || !excitation || !pitch || !out) return;

    const float noise_value = f->noise_pitch.value();  // changes only between blocks
    bool steal = false;                                // lasts to the end of the block
    float x1 = f->x1, x2 = f->x2;
    for (int i = 0; i < frames; ++i) {
        const float g = gate[i], x = excitation[i], p = pitch[i];
        if (p != f->last_pitch) f->pitch_changed = true;
        if (noise_value != f->last_noise_pitch) f->noise_pitch_changed = true;
        if (g > kGateThreshold && f->gate_state == 0) {
            f->gate_state = 1;
            update_coefficients(f, p, steal, noise_value);
        } else if (g <= kGateThreshold && f->gate_state == 1) {
            f->gate_state = 0;
            // A key released while its pitch moves is a stolen voice: damp it fast, at the old pitch.
            steal = f->pitch_changed;
            update_coefficients(f, p, steal, noise_value);
        } else if (f->countdown == 0 && (f->pitch_changed || f->noise_pitch_changed)) {
            update_coefficients(f, p, steal, noise_value);
        }
        if (--f->countdown < 0) f->countdown = kUpdatePeriod;

        // Only changes of the excitation ring the resonators: x[n] - x[n-2].
        const float dx = x - x2;
        float y = 0;
        for (t_resonator& r : f->res) {
            if (!r.active) continue;
            const float v = dx * r.gain - r.a1 * r.y1 - r.a2 * r.y2;
            r.y2 = r.y1;
            r.y1 = v;
            y += v;
        }
        out[i] = y;
        x2 = x1;
        x1 = x;
        f->last_pitch = p;
        f->last_noise_pitch = noise_value;
    }
    f->x1 = x1;
    f->x2 = x2;
}

void fork_reset(t_module* mod) {
    t_fork* f = self(mod);
    f->gate_state = 0;
    f->countdown = 0;
    f->x1 = f->x2 = 0;
    for (t_resonator& r : f->res) r.y1 = r.y2 = 0;
}

void set_rate(t_fork* f, float rate) {
    if (!(rate > 0) || !std::isfinite(rate) || rate == f->sample_rate) return;
    f->sample_rate = rate;
    for (t_mode* mode : {&f->tone, &f->tine, &f->noise}) derive_rates(f, *mode);
}

void fork_set_sample_rate(t_module* mod, float rate) { set_rate(self(mod), rate); }

float db_amplitude(float db) { return std::pow(10.0f, db * 0.05f); }

// Events change the settings; they reach the sound at the next coefficient update.
int fork_receive_message(t_module* mod, t_message* msg) {
    if (msg->kind != kMessageInt && msg->kind != kMessageFloat) return 0;
    t_fork* f = self(mod);
    const float c = message_position(*msg);
    if (!std::isfinite(c)) return 0;
    const int ci = static_cast<int>(std::trunc(std::clamp(c, -1e6f, 1e6f)));
    switch (msg->param_id) {
    case kForkSampleRate:
        set_rate(f, c);
        break;
    case kForkAmplitudeTone:
        f->tone.amplitude = db_amplitude((c / 2 + 64) / 128 * 56 - 50);
        break;
    case kForkDampingTone:
        set_damping(f, f->tone, 1024 * std::exp(-(c / 2 + 64) / 14));
        break;
    case kForkAmplitudeTine:
        f->tine.amplitude = db_amplitude(c / 128 * 56 - 50);
        update_tine_shares(f);
        break;
    case kForkDampingTine:
        set_damping(f, f->tine, 1024 * std::exp(-(c / 2 + 32) / 14));
        break;
    case kForkDampFreqTine:
        f->tine.damp_freq = clamp_damp_freq(c * 0.03125f - 1);
        break;
    case kForkTineBalance:
        f->tine_balance.set_controller(ci);
        update_tine_shares(f);
        break;
    case kForkNoisePitch:
        f->noise_pitch.set_controller(ci);
        break;
    case kForkAmplitudeNoise:
        f->noise.amplitude = db_amplitude(c / 128 * 56 - 50);
        break;
    case kForkDampingNoise:
        set_damping(f, f->noise, 1024 * std::exp(-(c / 2) / 14));
        break;
    case kForkDampFreqNoise:
        f->noise.damp_freq = clamp_damp_freq(c * 0.03125f - 1);
        break;
    case kForkReleaseTime:
        f->release_time = clamp_release(2 * db_amplitude(c / 128 * 30 - 20));
        break;
    case kForkOldNew:
        // The controller picks the same tine as the settings text does.
        f->old_new.set_controller(ci);
        set_tine_omega(f, f->old_new.value() != 0 ? kTineOmegaOld : kTineOmegaNew);
        break;
    default:
        break;
    }
    return 0;
}

double amp_db(float a) { return 20 * std::log10(static_cast<double>(a)); }
double log_damping(float d) { return std::log(static_cast<double>(d) / 1024); }

// Every id answers; ids the fork does not know answer 0.
int fork_get_message(t_module* mod, int id, t_message* out) {
    t_fork* f = self(mod);
    double c = 0;
    switch (id) {
    case kForkAmplitudeTone:
        c = std::trunc((amp_db(f->tone.amplitude) + 50) * 2.2857144 + 0.5) * 2 - 128;
        break;
    case kForkDampingTone:
        c = std::trunc(log_damping(f->tone.damping) * 14 - 0.5) * -2 - 128;
        break;
    case kForkAmplitudeTine:
        c = std::trunc((amp_db(f->tine.amplitude) + 50) * 2.2857144 + 0.5);
        break;
    case kForkDampingTine:
        c = std::trunc(log_damping(f->tine.damping) * 14 - 0.5) * -2 - 64;
        break;
    case kForkDampFreqTine:
        c = std::trunc((f->tine.damp_freq + 1) * 32 + 0.5);
        break;
    case kForkTineBalance:
        c = f->tine_balance.controller();
        break;
    case kForkNoisePitch:
        c = f->noise_pitch.controller();
        break;
    case kForkOldNew:
        c = f->old_new.controller();
        break;
    case kForkAmplitudeNoise:
        c = std::trunc((amp_db(f->noise.amplitude) + 50) * 2.2857144 + 0.5);
        break;
    case kForkDampingNoise:
        c = std::trunc(0.5 - log_damping(f->noise.damping) * 14) * 2;
        break;
    case kForkDampFreqNoise:
        c = std::trunc((f->noise.damp_freq + 1) * 32 + 0.5);
        break;
    case kForkReleaseTime:
        c = std::trunc((std::log10(f->release_time * 0.5) + 1) * 20 * 4.266667 + 0.5);
        break;
    default:
        break;
    }
    *out = make_int_message(f->id, id, voice_controller_clamp(c));
    return 0;
}

void fork_write(t_module* mod, KelTextWriter& out, const std::string& indent) {
    t_fork* f = self(mod);
    const std::pair<const char*, std::string> lines[] = {
        {" release_time     ", format_float(f->release_time)},
        {" damping_tone     ", format_float(f->tone.damping)},
        {" amplitude_tone   ", format_float(f->tone.amplitude)},
        {" damping_tine     ", format_float(f->tine.damping)},
        {" damp_freq_tine   ", format_float(f->tine.damp_freq)},
        {" amplitude_tine   ", format_float(f->tine.amplitude)},
        {" tine_balance     ", f->tine_balance.value_text()},
        {" noise_pitch      ", f->noise_pitch.value_text()},
        {" damping_noise    ", format_float(f->noise.damping)},
        {" damp_freq_noise  ", format_float(f->noise.damp_freq)},
        {" amplitude_noise  ", format_float(f->noise.amplitude)},
        {" old_new      ", f->old_new.value_text()},
    };
    for (const auto& [name, value] : lines) {
        out << indent << name << value << '\n';
        out.flush();
    }
}

void fork_apply_setting(t_module* mod, std::string_view name, float v) {
    t_fork* f = self(mod);
    if (name == "release_time") f->release_time = clamp_release(v);
    else if (name == "amplitude_tone") f->tone.amplitude = clamp_amplitude(v);
    else if (name == "damp_freq_tine") f->tine.damp_freq = clamp_damp_freq(v);
    else if (name == "amplitude_tine") f->tine.amplitude = clamp_amplitude(v);
    else if (name == "damp_freq_noise") f->noise.damp_freq = clamp_damp_freq(v);
    else if (name == "amplitude_noise") f->noise.amplitude = clamp_amplitude(v);
    else if (name == "damping_tone") set_damping(f, f->tone, v);
    else if (name == "damping_tine") set_damping(f, f->tine, v);
    else if (name == "damping_noise") set_damping(f, f->noise, v);
    else if (name == "tine_balance") f->tine_balance.set_value(v);
    else if (name == "noise_pitch") f->noise_pitch.set_value(v);
    else if (name == "old_new") {
        f->old_new.set_value(v);
        set_tine_omega(f, f->old_new.value() != 0 ? kTineOmegaOld : kTineOmegaNew);
    }
}

void fork_read(t_module* mod, KelTextReader& in) {
    t_fork* f = self(mod);
    // Texts written before the tine choice existed carry no "old_new" line.
    f->old_new.set_value(0);
    set_tine_omega(f, kTineOmegaUnset);
    voice_read_setting_pairs(mod, in, fork_apply_setting);
    update_tine_shares(f);
    for (int id : {kForkReleaseTime, kForkDampingTone, kForkAmplitudeTone, kForkDampingTine, kForkDampFreqTine,
                   kForkAmplitudeTine, kForkTineBalance, kForkNoisePitch, kForkDampingNoise, kForkDampFreqNoise,
                   kForkAmplitudeNoise, kForkOldNew})
        module_tell(mod, id);
}

int fork_control(t_module* mod, int kind, const intptr_t* args, int nargs) {
    return midi_binding_control(self(mod)->midi, kind, args, nargs);
}

int fork_query(t_module* mod, int kind) { return midi_binding_query(self(mod)->midi, kind); }

} // namespace

t_module* fork_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.s(name) || !(rate > 0) || !std::isfinite(rate)) {
        KEL_ERROR("can't create fork from \"%.*s\"\n", static_cast<int>(line.size()), line.data());
        return nullptr;
    }
    t_fork* f = module_alloc<t_fork>(3, 1);
    if (!f) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    f->sample_rate = rate;
    const char* failure = nullptr;
    if (!build_mode(f, f->tone, kToneK)) failure = "error when creating tone in fork";
    else if (!build_mode(f, f->tine, kTineK)) failure = "error when creating tine in fork";
    else if (!build_mode(f, f->noise, kNoiseK)) failure = "error when creating tone noise in fork";
    if (failure) {
        KEL_ERROR("%s", failure);
        delete f;
        return nullptr;
    }
    f->type_name = "fork";
    f->name = name;
    update_tine_shares(f);
    f->process = fork_process;
    f->receive_message = fork_receive_message;
    f->get_message = fork_get_message;
    f->write_parameters = fork_write;
    f->read_parameters = fork_read;
    f->set_sample_rate = fork_set_sample_rate;
    f->reset = fork_reset;
    f->control = fork_control;
    f->query = fork_query;
    module_register_parameter(f, &f->old_new, 0);
    module_register_parameter(f, &f->tine_balance, 0);
    module_register_parameter(f, &f->noise_pitch, 0);
    fork_reset(f);
    return f;
}

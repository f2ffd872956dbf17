// The felt mallet: a delayed strike into four cascaded one-pole low-pass stages.
#include "modules/mallet.h"

#include <algorithm>
#include <cmath>

#include "engine/report.h"
#include "modules/denormal_noise.h"
#include "modules/fast_math.h"
#include "modules/parameter.h"

namespace {

constexpr float kTwoPi = 6.2831853f;
constexpr float kGateThreshold = 0.1f;
constexpr int kStrikeDelay = 111;     // samples from the key going down to the strike at pitch 0
constexpr float kFeltCoeff = 0.34f;   // kept for the settings text only
constexpr float kLn800 = 6.6846117f;  // the cutoff spans 10 Hz * 800^(c/128)

struct t_mallet : t_module {
    float sample_rate = 44100;
    float log2_rate = 0;
    float strength = 1;
    float mod1 = 0, mod2 = 0, mod3 = 0;
    float gain12 = 0, feedback12 = 0;  // the two slow stages
    float gain34 = 0, feedback34 = 0;  // the two fast stages
    float felt_coeff = kFeltCoeff;
    int strike_request = 0;
    int gate_state = 0;
    int waiting = 0;
    int delay_base = kStrikeDelay;
    int countdown = kStrikeDelay;
    float cutoff = 100;
    float s[4] = {0, 0, 0, 0};
};

t_mallet* self(t_module* m) { return static_cast<t_mallet*>(m); }

// Settings from text and events stay where the pulse cannot blow up: a negative
// cutoff would make the stages unstable, huge depths overflow 2^x.
float clamp_cutoff(float hz) { return std::clamp(hz, 0.0f, 1e6f); }
float clamp_mod(float v) { return std::clamp(v, -8.0f, 8.0f); }
float clamp_strength(float v) { return std::clamp(v, -16.0f, 16.0f); }
// Exponents of 2^x from the inputs; a NaN input goes to the bottom of the range.
float clamp_exponent(float x, float lo, float hi) { return std::fmin(std::fmax(x, lo), hi); }

void slow_stages_from(t_mallet* m, float h) {
    m->gain12 = h / (h + 1);
    m->feedback12 = -1 / (h + 1);
}

void mallet_reset(t_module* mod) {
    t_mallet* m = self(mod);
    m->strike_request = m->gate_state = m->waiting = 0;
    m->delay_base = m->countdown = kStrikeDelay;
    m->log2_rate = std::log2(m->sample_rate);
    const float h = kTwoPi * m->cutoff / m->sample_rate;
    slow_stages_from(m, h);
    m->gain34 = 7 * h / (7 * h + 1);
    m->feedback34 = -1 / (7 * h + 1);
    std::fill(std::begin(m->s), std::end(m->s), 0.0f);
    m->felt_coeff = kFeltCoeff;
}

void mallet_set_sample_rate(t_module* mod, float rate) {
    if (!(rate > 0) || !std::isfinite(rate)) return;
    t_mallet* m = self(mod);
    m->sample_rate = rate;
    m->log2_rate = std::log2(rate);
    slow_stages_from(m, kTwoPi * m->cutoff / rate);
}

// Per block; per sample inside: gate tracking, the strike countdown and the four stages.
void mallet_process(t_module* mod, int frames) {
    t_mallet* m = self(mod);
    const float* gate = module_input(m, 1);
    const float* pitch = module_input(m, 2);
    const float* velocity = module_input(m, 3);
    const float* modulation = module_input(m, 4);
    float* out = module_output(m, 1);
    if (!gate || !pitch || !velocity || !modulation || !out) return;

    float s1 = m->s[0], s2 = m->s[1], s3 = m->s[2], s4 = m->s[3];
    float g12 = m->gain12, k12 = m->feedback12, g34 = m->gain34, k34 = m->feedback34;
    int gate_state = m->gate_state, waiting = m->waiting, countdown = m->countdown;
    // A strike request acts as a key going down on the first sample. The input buffer
    // may be shared (the zero buffer), so the forced gate lives here, not in the input.
    const bool forced = m->strike_request != 0;
    if (forced) gate_state = 0;

    for (int i = 0; i < frames; ++i) {
        const float g = (forced && i == 0) ? 1.0f : gate[i];
        const float p = pitch[i];
        bool count = waiting != 0;
        if (gate_state == 1 && g < kGateThreshold) {
            gate_state = 0;
        } else if (gate_state == 0 && g > kGateThreshold) {
            // A higher key strikes sooner: its tine is shorter. Clamped for absurd pitches.
            const float delay = static_cast<float>(m->delay_base) / fast_exp2(clamp_exponent(p, -16.0f, 16.0f));
            countdown = static_cast<int>(std::fmin(delay, 1e7f));
            gate_state = 1;
            count = true;
        }
        bool strike = false;
        if (count) {
            const int taken = countdown--;
            if (taken > 0) {
                waiting = 1;
            } else {
                strike = true;
                waiting = 0;
            }
        }
        if (strike) {
            // Per strike: the corner follows pitch (mod1) and velocity (mod2), normalised by the rate.
            const float expo = clamp_exponent(m->mod1 * p - m->mod2 * velocity[i] - m->log2_rate, -126.0f, 20.0f);
            const float h = fast_exp2(expo) * m->cutoff * kTwoPi;
            g12 = std::sqrt(h) / (h + 1);
            k12 = -1 / (h + 1);
            g34 = 27 * h / (27 * h + 1);
            k34 = -1 / (27 * h + 1);
            const float amplitude = fast_exp2(clamp_exponent(m->mod3 * modulation[i], -126.0f, 20.0f)) * m->strength;
            s1 = amplitude * g12 - k12 * s1;
        } else {
            // Idle: the stages ring down, kept off denormals by the shared noise.
            s1 = denormal_noise::next() - k12 * s1;
        }
        s2 = g12 * s1 - k12 * s2;
        s3 = g34 * s2 - k34 * s3;
        s4 = g34 * s3 - k34 * s4;
        out[i] = s4;
    }

    m->s[0] = s1, m->s[1] = s2, m->s[2] = s3, m->s[3] = s4;
    m->gain12 = g12, m->feedback12 = k12, m->gain34 = g34, m->feedback34 = k34;
    m->gate_state = gate_state, m->waiting = waiting, m->countdown = countdown;
    m->strike_request = 0;
}

float mod_from_controller(float c) { return (std::exp(c * 0.02166084939f) - 1) * 0.3333333333f; }

int mallet_receive_message(t_module* mod, t_message* msg) {
    if (msg->kind != kMessageInt && msg->kind != kMessageFloat) return 0;
    t_mallet* m = self(mod);
    const float c = message_position(*msg);
    if (!std::isfinite(c)) return 0;
    switch (msg->param_id) {
    case kMalletCutoff:
        m->cutoff = clamp_cutoff(10 * fast_exp2(c / 128 * kLn800 * 1.442695f));
        break;
    case kMalletStrength:
        m->strength = clamp_strength(c / 128 + 1.0f / 64);
        break;
    case kMalletStrike:
        if (c != 0) m->strike_request = 1;
        break;
    case kMalletMod1:
        m->mod1 = clamp_mod(mod_from_controller(c));
        break;
    case kMalletMod2:
        m->mod2 = clamp_mod(mod_from_controller(c));
        break;
    case kMalletMod3:
        m->mod3 = clamp_mod(mod_from_controller(c));
        break;
    default:
        break;
    }
    return 0;
}

int mod_to_controller(float mod) { return voice_controller_clamp(std::trunc(std::log(mod * 3.0000000003 + 1) * 46.16624131377149)); }

int mallet_get_message(t_module* mod, int id, t_message* out) {
    t_mallet* m = self(mod);
    int c = 0;
    switch (id) {
    case kMalletCutoff:
        c = voice_controller_clamp(std::trunc(std::log(m->cutoff * 0.1) * 128 / kLn800 + 0.5));
        break;
    case kMalletStrength:
        c = voice_controller_clamp(std::floor((m->strength - 1.0 / 64) * 128 + 0.5));
        break;
    case kMalletMod1:
        c = mod_to_controller(m->mod1);
        break;
    case kMalletMod2:
        c = mod_to_controller(m->mod2);
        break;
    case kMalletMod3:
        c = mod_to_controller(m->mod3);
        break;
    default:
        return 1;
    }
    *out = make_int_message(m->id, id, c);
    return 0;
}

void mallet_write(t_module* mod, KelTextWriter& out, const std::string& indent) {
    t_mallet* m = self(mod);
    const std::pair<const char*, float> lines[] = {
        {" cutoff       ", m->cutoff}, {" strength     ", m->strength}, {" felt_coeff   ", m->felt_coeff},
        {" mod1         ", m->mod1},   {" mod2         ", m->mod2},     {" mod3         ", m->mod3},
    };
    for (const auto& [name, value] : lines) {
        out << indent << name << format_float(value) << '\n';
        out.flush();
    }
}

void mallet_apply_setting(t_module* mod, std::string_view name, float v) {
    t_mallet* m = self(mod);
    if (name == "cutoff") m->cutoff = clamp_cutoff(v);
    else if (name == "strength") m->strength = clamp_strength(v);
    else if (name == "mod1") m->mod1 = clamp_mod(v);
    else if (name == "mod2") m->mod2 = clamp_mod(v);
    else if (name == "mod3") m->mod3 = clamp_mod(v);
    // "felt_coeff" and unknown names are ignored: the felt coefficient is not a setting.
}

void mallet_read(t_module* mod, KelTextReader& in) {
    voice_read_setting_pairs(mod, in, mallet_apply_setting);
    for (int id : {kMalletCutoff, kMalletStrength, kMalletMod1, kMalletMod2, kMalletMod3}) module_tell(mod, id);
}

} // namespace

int voice_controller_clamp(double x) {
    if (!(x > 0)) return 0;  // also a NaN from the log of a zero setting
    if (x >= 127) return 127;
    return static_cast<int>(x);
}

void voice_read_setting_pairs(t_module* m, KelTextReader& in, VoiceSettingApply apply) {
    std::string_view key, value;
    while (module_next_setting(in, key, value)) {
        float v = 0;
        if (parameter_parse_text(value, v)) apply(m, key, v);
    }
}

t_module* mallet_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0, cutoff = 0, strength = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.f(cutoff) || !d.f(strength) || !d.s(name) || !(rate > 0) ||
        !std::isfinite(rate) || !std::isfinite(cutoff) || !std::isfinite(strength)) {
        KEL_ERROR("can't create mallet from \"%.*s\"\n", static_cast<int>(line.size()), line.data());
        return nullptr;
    }
    t_mallet* m = module_alloc<t_mallet>(4, 1);
    if (!m) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    m->type_name = "mallet";
    m->name = name;
    m->sample_rate = rate;
    m->cutoff = clamp_cutoff(cutoff);
    m->strength = clamp_strength(strength);
    m->process = mallet_process;
    m->receive_message = mallet_receive_message;
    m->get_message = mallet_get_message;
    m->write_parameters = mallet_write;
    m->read_parameters = mallet_read;
    m->set_sample_rate = mallet_set_sample_rate;
    m->reset = mallet_reset;
    mallet_reset(m);
    return m;
}

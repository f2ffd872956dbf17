// The damper thump: two envelope stages shaping two noise-colouring stages.
#include "modules/noise_damper.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <ctime>

#include "engine/report.h"
#include "modules/denormal_noise.h"
#include "modules/fast_math.h"
#include "modules/mallet.h"
#include "modules/parameter.h"

int midi_binding_control(t_midi_binding& b, int kind, const intptr_t* args, int nargs) {
    if (kind != kMidiBindControl || !args || nargs < 2 || args[1] != 0) return 0;
    b.source = reinterpret_cast<MidiChannelSource*>(args[0]);
    b.channel_index = (!b.source || b.source->is_omni()) ? 16 : std::clamp(b.source->receive_channel_index(), 0, 15);
    return 1;
}

int midi_binding_query(const t_midi_binding& b, int kind) { return kind == kMidiChannelQuery ? b.channel_index + 1 : 0; }

namespace {

constexpr float kTwoPi = 6.2831853f;
constexpr float kGateThreshold = 0.1f;

// Each damper draws its own noise: a shared generator would need a lock or an atomic
// per sample on the audio thread. Seeded from the clock, stepped like the C runtime's.
std::atomic<uint32_t> g_seed_counter{0};

struct t_noise_damper : t_module {
    float sample_rate = 44100;
    float log2_rate = 0;
    float strength = 0;
    float env_gain = 0, env_feedback = 0;
    float noise_gain = 0, noise_feedback = 0;
    bool last_gate = false, last_hold = false, had_gate = false;
    float cutoff = 100;
    float e1 = 0, e2 = 0, z1 = 0, z2 = 0;
    t_midi_binding midi;
    uint32_t random_state = 1;
    Parameter_T<LinearDriver, ParameterFloatValue> balance{kDamperBalance, 0, 1, 0, "balance", 0};
};

t_noise_damper* self(t_module* m) { return static_cast<t_noise_damper*>(m); }

float clamp_cutoff(float hz) { return std::clamp(hz, 0.0f, 1e6f); }
float clamp_strength(float v) { return std::clamp(v, -16.0f, 16.0f); }

void envelope_from(t_noise_damper* m, float h) {
    m->env_gain = h / (h + 1);
    m->env_feedback = -1 / (h + 1);
}

// The resting coefficients (until the next key-down sets its own): the same after a
// rate change as after building at that rate.
void rest_coefficients(t_noise_damper* m) {
    m->log2_rate = std::log2(m->sample_rate);
    const float h = kTwoPi * m->cutoff / m->sample_rate;
    envelope_from(m, h);
    m->noise_gain = 22 * h / (22 * h + 1);
    m->noise_feedback = -1 / (22 * h + 1);
}

void damper_reset(t_module* mod) {
    t_noise_damper* m = self(mod);
    m->last_gate = m->last_hold = m->had_gate = false;
    // The MIDI binding survives a reset: the synth binds once, but resets a voice every
    // time it falls silent, and the pedal must still hold the dampers off afterwards.
    rest_coefficients(m);
    m->e1 = m->e2 = m->z1 = m->z2 = 0;
}

void damper_set_sample_rate(t_module* mod, float rate) {
    if (!(rate > 0) || !std::isfinite(rate)) return;
    t_noise_damper* m = self(mod);
    m->sample_rate = rate;
    rest_coefficients(m);
}

// Per block: the pedal and the balance. Per sample: edges, envelope and coloured noise.
void damper_process(t_module* mod, int frames) {
    t_noise_damper* m = self(mod);
    const float* gate = module_input(m, 1);
    const float* hold = module_input(m, 2);
    const float* pitch = module_input(m, 3);
    float* out = module_output(m, 1);
    if (!gate || !hold || !pitch || !out) return;

    const bool pedal = m->midi.source && m->midi.source->sustain(m->midi.channel_index);
    const float b = m->balance.value();
    const float down_level = (1 - b) * m->strength, up_level = b * m->strength;
    float e1 = m->e1, e2 = m->e2, z1 = m->z1, z2 = m->z2;
    float eg = m->env_gain, ef = m->env_feedback, ng = m->noise_gain, nf = m->noise_feedback;
    bool last_gate = m->last_gate, last_hold = m->last_hold, had_gate = m->had_gate;
    uint32_t rs = m->random_state;

    for (int i = 0; i < frames; ++i) {
        const float g = gate[i];
        const bool G = g > kGateThreshold, U = hold[i] > kGateThreshold;
        const bool had_before = had_gate;
        had_gate = had_gate || G;
        float thump = 0;  // the envelope's input this sample
        bool struck = false;
        if (G != last_gate || U != last_hold) {
            if (G) {
                if (G != last_gate) {
                    // Per key-down: a higher key damps a shorter tine, so the thump brightens.
                    const float h = fast_exp2(std::fmin(std::fmax(pitch[i], -16.0f), 16.0f)) * m->cutoff / m->sample_rate * kTwoPi;
                    eg = std::sqrt(h) / (h + 1);
                    ef = -1 / (h + 1);
                    ng = 19 * h / (19 * h + 1);
                    nf = -1 / (19 * h + 1);
                    if (!last_hold && !pedal) {
                        thump = eg * down_level;
                        struck = true;
                    }
                }
            } else if (!U && had_before && !pedal) {
                thump = up_level * eg;
                struck = true;
                had_gate = false;
            }
        }
        e1 = (struck ? thump : denormal_noise::next()) - ef * e1;
        e2 = eg * e1 - ef * e2;
        rs = rs * 214013u + 2531011u;
        const float r = static_cast<float>((rs >> 16) & 0x7fff) * (1.0f / 32768);
        z1 = ng * r - nf * z1;
        z2 = ng * z1 - nf * z2;
        out[i] = z2 * e2;
        last_gate = G;
        last_hold = U;
    }

    m->e1 = e1, m->e2 = e2, m->z1 = z1, m->z2 = z2;
    m->env_gain = eg, m->env_feedback = ef, m->noise_gain = ng, m->noise_feedback = nf;
    m->last_gate = last_gate, m->last_hold = last_hold, m->had_gate = had_gate;
    m->random_state = rs;
}

int damper_receive_message(t_module* mod, t_message* msg) {
    if (msg->kind != kMessageInt && msg->kind != kMessageFloat) return 0;
    t_noise_damper* m = self(mod);
    const float c = message_position(*msg);
    if (!std::isfinite(c)) return 0;
    switch (msg->param_id) {
    case kDamperCutoff:
        // About 4 Hz * 2^(c/13).
        m->cutoff = clamp_cutoff(0.25f * std::exp2((c * 0.07692307692307693f + 4) * 0.6931472f * 1.4426950408889634f));
        break;
    case kDamperStrength:
        // -30 dB at c = 0 to +6 dB at c = 128.
        m->strength = clamp_strength(std::pow(10.0f, (c / 128 * 36 - 30) * 0.05f));
        break;
    case kDamperBalance: {
        const float before = m->balance.value();
        m->balance.set_controller(static_cast<int>(std::trunc(c)));
        if (m->balance.value() != before) m->parameter_changed(m, kDamperBalance, kChangedByMessage);
        break;
    }
    default:
        break;
    }
    return 0;
}

int damper_get_message(t_module* mod, int id, t_message* out) {
    t_noise_damper* m = self(mod);
    int c = 0;
    switch (id) {
    case kDamperCutoff:
        c = voice_controller_clamp(std::trunc((std::log2(m->cutoff * 4.0) - 4) * 13));
        break;
    case kDamperStrength:
        c = voice_controller_clamp(std::trunc((20 * std::log10(static_cast<double>(m->strength)) + 30) * 3.5555556 + 0.5));
        break;
    case kDamperBalance:
        c = std::clamp(m->balance.controller(), 0, 127);
        break;
    default:
        return 1;
    }
    *out = make_int_message(m->id, id, c);
    return 0;
}

void damper_write(t_module* mod, KelTextWriter& out, const std::string& indent) {
    t_noise_damper* m = self(mod);
    out << indent << " cutoff       " << format_float(m->cutoff) << '\n';
    out << indent << " strength     " << format_float(m->strength) << '\n';
    out << indent << " balance      " << m->balance.value_text() << '\n';
    out.flush();
}

void damper_apply_setting(t_module* mod, std::string_view name, float v) {
    t_noise_damper* m = self(mod);
    if (name == "cutoff") m->cutoff = clamp_cutoff(v);
    else if (name == "strength") m->strength = clamp_strength(v);
    else if (name == "balance") m->balance.set_value(v);
}

void damper_read(t_module* mod, KelTextReader& in) {
    voice_read_setting_pairs(mod, in, damper_apply_setting);
    for (int id : {kDamperCutoff, kDamperBalance, kDamperStrength}) module_tell(mod, id);
}

int damper_control(t_module* mod, int kind, const intptr_t* args, int nargs) {
    return midi_binding_control(self(mod)->midi, kind, args, nargs);
}

int damper_query(t_module* mod, int kind) { return midi_binding_query(self(mod)->midi, kind); }

} // namespace

t_module* noise_damper_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0, cutoff = 0, strength = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.f(cutoff) || !d.f(strength) || !d.s(name) || !(rate > 0) ||
        !std::isfinite(rate) || !std::isfinite(cutoff) || !std::isfinite(strength)) {
        KEL_ERROR("can't create noise_damper from \"%.*s\"\n", static_cast<int>(line.size()), line.data());
        return nullptr;
    }
    t_noise_damper* m = module_alloc<t_noise_damper>(4, 1);
    if (!m) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    m->type_name = "noise_damper";
    m->name = name;
    m->sample_rate = rate;
    m->cutoff = clamp_cutoff(cutoff);
    m->strength = clamp_strength(strength);
    // Each damper its own sequence; a fixed seed (reproducible renders) makes it depend
    // only on the seed and the instance name.
    if (const uint32_t fixed = denormal_noise::fixed_seed()) {
        uint32_t h = fixed;
        for (char c : name) h = h * 16777619u ^ static_cast<uint8_t>(c);
        m->random_state = h ? h : 1;
    } else {
        m->random_state = static_cast<uint32_t>(std::time(nullptr)) ^ (g_seed_counter.fetch_add(1) * 2654435761u);
    }
    m->process = damper_process;
    m->receive_message = damper_receive_message;
    m->get_message = damper_get_message;
    m->write_parameters = damper_write;
    m->read_parameters = damper_read;
    m->set_sample_rate = damper_set_sample_rate;
    m->reset = damper_reset;
    m->control = damper_control;
    m->query = damper_query;
    module_register_parameter(m, &m->balance, 0);
    damper_reset(m);
    return m;
}

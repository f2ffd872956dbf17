#include "modules/reverberator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "engine/modular.h"
#include "engine/report.h"
#include "modules/denormal_noise.h"
#include "modules/parameter.h"
#include "modules/smooth.h"

namespace {

// Base delay lengths in samples at 44.1 kHz: 0..3 the diffusers, 4..5 the early
// reflection taps, 6..9 the four lines. Mutually prime once rounded to primes, so
// the lines' echo patterns do not line up into a metallic ring.
constexpr int kBaseLength[10] = {257, 338, 631, 883, 1327, 1867, 2579, 3066, 3647, 4337};

// Room size ratios. The four "size" quarters give 0.65..2; settings text may carry any
// ratio, kept inside this range: below 0.5 the shortest line gets shorter than the
// longest diffuser; above 2 the diffuser gain sqrt(ratio) * 0.63 nears 1, and the
// diffusers' own ringing (which no loop gain damps) outlasts the set decay.
constexpr float kRatioQuarter[4] = {0.65f, 1.0f, 1.5f, 2.0f};
constexpr float kMinRatio = 0.5f;
constexpr float kMaxRatio = 2.0f;

// Sample rates we size rings for; anything else is a broken host value.
constexpr float kMinRate = 1000.0f;
constexpr double kReferenceRate = 44100.0;  // the rate the filters were tuned at
constexpr float kMaxRate = 768000.0f;

// Inputs beyond +-10^4 (80 dB above full scale), infinities and NaN are taken as
// silence: one bad sample would otherwise live in the rings until the next reset.
constexpr float kMaxInput = 1e4f;

constexpr float kLeftWetTrim = 0.88f;  // the left wet signal is a little quieter
constexpr float kCrossTap = 0.2f;      // weight of the other tap in each output
constexpr float kWetScale = 0.25f;     // wet gain is 0.25 sin(mix): four lines summed

bool is_prime(int n) {
    if (n < 4) return n >= 2;
    if (n % 2 == 0) return false;
    for (int d = 3; d * d <= n; d += 2)
        if (n % d == 0) return false;
    return true;
}

int next_power_of_two(int n) {
    int p = 1;
    while (p < n) p <<= 1;
    return p;
}

struct t_reverberator : t_module {
    float fs = 44100;
    float ratio = 1;  // room size ratio r

    // Constructed in this order: size, diffusion, decay, cutoff, low_freq_cutoff, mix.
    Parameter_T<LinearDriver, ParameterFloatValue> size{1, 0.0f, 1.0f, 0.33f, "size", 0};
    Parameter_T<LinearDriver, ParameterFloatValue> diffusion{5, -0.01f, -0.63f, -0.4f, "diffusion", 0};
    Parameter_T<ExponentialDriver, ParameterFloatValue> decay{2, 0.4f, 4.2f, 1.0f, "decay", 0};  // s
    Parameter_T<ExponentialDriver, ParameterFloatValue> cutoff{4, 0.05f, 0.5f, 0.25f, "cutoff", 0};
    Parameter_T<ExponentialDriver, ParameterFloatValue> low_freq_cutoff{3, 20.0f, 500.0f, 50.0f,
                                                                         "low_freq_cutoff", 0};  // Hz
    Parameter_T<LinearDriver, ParameterFloatValue> mix{6, 0.0f, 1.5707964f, 0.7853982f, "mix", 2};  // rad

    bool bypassed = false;
    bool tail = false;  // switched off, but the wet share is still fading out
    t_smooth_var dry, wet;

    // Rings: interleaved stereo pre-delay and the four lines. Their sizes are powers of
    // two sized for the largest rate seen so far at the largest ratio.
    std::unique_ptr<float[]> pre;
    std::unique_ptr<float[]> line[4];
    int pre_size = 0, line_size = 0;
    float capacity_rate = 0;

    // Current delays (samples) and ring positions.
    int T1 = 0, T2 = 0, A[4] = {}, L[4] = {};
    int w = 0, u1 = 0, u2 = 0;
    int q[4] = {}, a[4] = {}, e = 0;

    // Per-line coefficients and filter states.
    float g[4] = {}, b[4] = {}, P[4] = {};
    float h[4] = {}, o[4] = {}, y[4] = {};
    float K = 1;  // high-pass coefficient
};

int ramp_steps(const t_reverberator* r) { return static_cast<int>(0.1f * r->fs); }  // 100 ms

bool allocate_rings(t_reverberator* r, float rate) {
    const int longest_line = reverberator_delay_length(9, kMaxRatio, rate);
    const int longest_tap = reverberator_delay_length(5, kMaxRatio, rate);
    const int line_size = next_power_of_two(std::max(longest_line + 1, 1024));
    const int pre_size = next_power_of_two(std::max(2 * longest_tap + 2, 1024));
    auto pre = std::unique_ptr<float[]>(new (std::nothrow) float[pre_size]());
    std::unique_ptr<float[]> lines[4];
    for (auto& l : lines) l.reset(new (std::nothrow) float[line_size]());
    if (!pre || !lines[0] || !lines[1] || !lines[2] || !lines[3]) return false;
    r->pre = std::move(pre);
    for (int k = 0; k < 4; ++k) r->line[k] = std::move(lines[k]);
    r->pre_size = pre_size;
    r->line_size = line_size;
    r->capacity_rate = rate;
    return true;
}

void clear_rings(t_reverberator* r) {
    std::memset(r->pre.get(), 0, sizeof(float) * r->pre_size);
    for (auto& l : r->line) std::memset(l.get(), 0, sizeof(float) * r->line_size);
}

void compute_lengths(t_reverberator* r) {
    r->T1 = reverberator_delay_length(4, r->ratio, r->fs);
    r->T2 = reverberator_delay_length(5, r->ratio, r->fs);
    for (int k = 0; k < 4; ++k) {
        r->A[k] = reverberator_delay_length(k, 1, r->fs);  // the room size does not scale them
        r->L[k] = reverberator_delay_length(k + 6, r->ratio, r->fs);
    }
}

// The readers trail the writers by the delays: u1 by T1 frames, u2 by T2 frames, each
// allpass tap by A_k samples, the line output by L_k samples.
void place_positions(t_reverberator* r) {
    const int pm = r->pre_size - 1, lm = r->line_size - 1;
    r->w = (2 * r->T2) & pm;
    r->u1 = (2 * (r->T2 - r->T1)) & pm;
    r->u2 = 0;
    for (int k = 0; k < 4; ++k) {
        r->q[k] = r->L[k] & lm;
        r->a[k] = (r->L[k] - r->A[k]) & lm;
    }
    r->e = 0;
}

// Every pass through line k loses 60 dB over `seconds`.
void compute_loop_gains(t_reverberator* r, float seconds) {
    for (int k = 0; k < 4; ++k)
        r->g[k] = static_cast<float>(std::pow(10.0, -3.0 * r->L[k] / (double(seconds) * r->fs)));
}

// The damping low-pass keeps each line's DC loop gain g_k and lowers it above; a dark
// cutoff (small) raises the exponent and with it the pole. The pole formula was tuned at
// 44.1 kHz, where one sample is one step of the pole; at other rates the pole is moved
// so that it sits at the same frequency in Hz (p -> p^(44100/fs)), and the high
// frequencies die away as fast as they do at 44.1 kHz.
void compute_damping(t_reverberator* r) {
    const float c = r->cutoff.value();
    const double m = (1.0 - c) / c;
    const double per_sample = kReferenceRate / r->fs;
    for (int k = 0; k < 4; ++k) {
        const double G = std::pow(double(r->g[k]), m);
        r->P[k] = static_cast<float>(std::pow((1 - G) / (1 + G), per_sample));
        r->b[k] = (1 - r->P[k]) * r->g[k];
    }
}

void compute_high_pass(t_reverberator* r) { r->K = 1.0f / (6.2f * r->low_freq_cutoff.value() / r->fs + 1.0f); }

void full_reset(t_reverberator* r) {
    clear_rings(r);
    compute_lengths(r);
    place_positions(r);
    compute_loop_gains(r, r->decay.value() * std::pow(r->ratio, 1.5f));
    compute_high_pass(r);
    compute_damping(r);
    for (int k = 0; k < 4; ++k) r->h[k] = r->o[k] = r->y[k] = 0;
}

void set_mix_targets(t_reverberator* r) {
    smooth_set_target(r->dry, std::cos(r->mix.value()));
    smooth_set_target(r->wet, kWetScale * std::sin(r->mix.value()));
}

void jump_mix(t_reverberator* r) {
    r->dry.ramp_steps = r->wet.ramp_steps = ramp_steps(r);
    r->dry.current = r->dry.target = std::cos(r->mix.value());
    r->wet.current = r->wet.target = kWetScale * std::sin(r->mix.value());
    r->dry.remaining = r->wet.remaining = 0;
}

// ---- block loop ----

void reverberator_process(t_module* m, int n) {
    auto* r = static_cast<t_reverberator*>(m);
    const float* in_l = module_input(m, 1);
    const float* in_r = module_input(m, 2);
    float* out_l = module_output(m, 1);
    float* out_r = module_output(m, 2);
    if (!in_l || !in_r || !out_l || !out_r) return;

    bool ramping = r->dry.target != r->dry.current || r->wet.target != r->wet.current;
    if (!ramping) r->tail = false;
    if (r->bypassed && !r->tail) {
        // Switched off: the rings keep what they hold until the reverb is switched on.
        std::memmove(out_l, in_l, sizeof(float) * n);
        std::memmove(out_r, in_r, sizeof(float) * n);
        return;
    }

    // Per block: coefficients and state into locals.
    const float c = std::sqrt(r->ratio) * r->diffusion.value();  // negative
    const float K = r->K;
    const float b1 = r->b[0], b2 = r->b[1], b3 = r->b[2], b4 = r->b[3];
    const float P1 = r->P[0], P2 = r->P[1], P3 = r->P[2], P4 = r->P[3];
    float* pre = r->pre.get();
    float* l1 = r->line[0].get();
    float* l2 = r->line[1].get();
    float* l3 = r->line[2].get();
    float* l4 = r->line[3].get();
    const int pm = r->pre_size - 1, lm = r->line_size - 1;
    int w = r->w, u1 = r->u1, u2 = r->u2, e = r->e;
    int q1 = r->q[0], q2 = r->q[1], q3 = r->q[2], q4 = r->q[3];
    int a1 = r->a[0], a2 = r->a[1], a3 = r->a[2], a4 = r->a[3];
    float h1 = r->h[0], h2 = r->h[1], h3 = r->h[2], h4 = r->h[3];
    float o1 = r->o[0], o2 = r->o[1], o3 = r->o[2], o4 = r->o[3];
    float y1 = r->y[0], y2 = r->y[1], y3 = r->y[2], y4 = r->y[3];
    t_smooth_var dry = r->dry, wet = r->wet;
    bool tail = r->tail;

    // Per sample.
    for (int i = 0; i < n; ++i) {
        const float xl = std::fabs(in_l[i]) <= kMaxInput ? in_l[i] : 0.0f;
        const float xr = std::fabs(in_r[i]) <= kMaxInput ? in_r[i] : 0.0f;
        if (ramping) {
            const bool stepped = dry.remaining != 0 || wet.remaining != 0;
            smooth_step(dry);
            smooth_step(wet);
            if (!stepped) {
                ramping = false;
                tail = false;
            }
        }

        pre[w] = xl;
        pre[w + 1] = xr;
        const float tl1 = pre[u1], tr1 = pre[u1 + 1];  // T1 frames ago
        const float tl2 = pre[u2], tr2 = pre[u2 + 1];  // T2 frames ago
        w = (w + 2) & pm;
        u1 = (u1 + 2) & pm;
        u2 = (u2 + 2) & pm;

        const float x = xl + xr;
        const float s = 0.5f * (y1 + y2 + y3 + y4);
        const float d1 = l1[a1], d2 = l2[a2], d3 = l3[a3], d4 = l4[a4];

        // A Householder reflection of the filtered outputs, rotated by one line, plus the taps.
        const float n1 = x + c * d1 + denormal_noise::next() + (y2 - s) + tl1;
        const float n2 = x + c * d2 + denormal_noise::next() + (y3 - s) - tr1;
        const float n3 = x + c * d3 + denormal_noise::next() + (y4 - s) + tl2;
        const float n4 = x + c * d4 + denormal_noise::next() + (y1 - s) - tr2;

        // Schroeder allpass at each line's head.
        l1[q1] = n1, l1[a1] = d1 - c * n1;
        l2[q2] = n2, l2[a2] = d2 - c * n2;
        l3[q3] = n3, l3[a3] = d3 - c * n3;
        l4[q4] = n4, l4[a4] = d4 - c * n4;
        q1 = (q1 + 1) & lm, q2 = (q2 + 1) & lm, q3 = (q3 + 1) & lm, q4 = (q4 + 1) & lm;
        a1 = (a1 + 1) & lm, a2 = (a2 + 1) & lm, a3 = (a3 + 1) & lm, a4 = (a4 + 1) & lm;

        const float z1 = l1[e], z2 = l2[e], z3 = l3[e], z4 = l4[e];
        e = (e + 1) & lm;

        // High-pass against low-frequency build-up, then the damping low-pass.
        h1 = K * (h1 + z1 - o1), o1 = z1;
        h2 = K * (h2 + z2 - o2), o2 = z2;
        h3 = K * (h3 + z3 - o3), o3 = z3;
        h4 = K * (h4 + z4 - o4), o4 = z4;
        y1 = b1 * h1 + P1 * y1;
        y2 = b2 * h2 + P2 * y2;
        y3 = b3 * h3 + P3 * y3;
        y4 = b4 * h4 + P4 * y4;

        out_l[i] = wet.current * kLeftWetTrim * (y1 - y2 + y3 - y4 + tl1 + kCrossTap * tl2) + dry.current * xl;
        out_r[i] = wet.current * (y1 + y2 - y3 - y4 + tr2 + kCrossTap * tr1) + dry.current * xr;
    }

    r->w = w, r->u1 = u1, r->u2 = u2, r->e = e;
    r->q[0] = q1, r->q[1] = q2, r->q[2] = q3, r->q[3] = q4;
    r->a[0] = a1, r->a[1] = a2, r->a[2] = a3, r->a[3] = a4;
    r->h[0] = h1, r->h[1] = h2, r->h[2] = h3, r->h[3] = h4;
    r->o[0] = o1, r->o[1] = o2, r->o[2] = o3, r->o[3] = o4;
    r->y[0] = y1, r->y[1] = y2, r->y[2] = y3, r->y[3] = y4;
    r->dry = dry, r->wet = wet;
    r->tail = tail;
}

// ---- messages ----

void switch_bypass(t_reverberator* r, bool on) {
    if (r->bypassed) {
        if (!on) return;
        // Switching on starts from empty rings and fades the wet signal in.
        full_reset(r);
        r->dry.ramp_steps = r->wet.ramp_steps = ramp_steps(r);
        r->dry.current = r->dry.target = 1;
        r->wet.current = r->wet.target = 0;
        r->dry.remaining = r->wet.remaining = 0;
        set_mix_targets(r);
        r->bypassed = false;
    } else if (!on) {
        // Switching off lets the wet share fade out while the network keeps running.
        smooth_set_target(r->dry, 1);
        smooth_set_target(r->wet, 0);
        r->tail = true;
        r->bypassed = true;
    }
}

void receive_size(t_reverberator* r, float value) {
    const float old = r->size.value();
    // Values 0..3 name the quarters: controllers 16, 48, 80, 112.
    const float position = std::clamp(std::trunc(value * 32 + 16), 0.0f, 127.0f);
    r->size.set_controller(static_cast<int>(position));
    const float now = r->size.value();
    for (int k = 0; k < 4; ++k) {
        const float lo = 0.25f * k, hi = 0.25f * (k + 1);
        const bool holds_now = now >= lo && now <= hi;
        const bool held = old >= lo && old <= hi;
        if (holds_now && !held) {
            r->ratio = kRatioQuarter[k];
            full_reset(r);
            return;
        }
    }
}

int reverberator_receive(t_module* m, t_message* msg) {
    auto* r = static_cast<t_reverberator*>(m);
    if (msg->kind != kMessageInt && msg->kind != kMessageFloat) return 0;
    const float value = message_position(*msg);
    if (!std::isfinite(value)) return 0;
    // Writers send positions 0..127; anything beyond is held at the ends.
    const int c = static_cast<int>(std::clamp(std::trunc(value), 0.0f, 127.0f));
    switch (msg->param_id) {
    case 1: receive_size(r, value); break;
    case 2:
        r->decay.set_controller(c);
        // A decay move scales by the square of the ratio; a full reset by its 1.5th power.
        compute_loop_gains(r, r->decay.value() * r->ratio * r->ratio);
        compute_damping(r);
        break;
    case 3:
        r->low_freq_cutoff.set_controller(c);
        compute_high_pass(r);
        break;
    case 4:
        // The message scale is inverted: 0 is the brightest.
        r->cutoff.set_controller(127 - c);
        compute_damping(r);
        break;
    case 5: r->diffusion.set_controller(c); break;
    case 6:
        r->mix.set_controller(c);
        set_mix_targets(r);
        break;
    case 7: switch_bypass(r, c != 0); break;
    default: break;
    }
    return 0;
}

int reverberator_get_message(t_module* m, int id, t_message* out) {
    auto* r = static_cast<t_reverberator*>(m);
    int v = 0;
    switch (id) {
    case 1: {
        const float s = r->size.value();
        v = s < 0.25f ? 0 : s < 0.5f ? 1 : s < 0.75f ? 2 : 3;
        break;
    }
    case 2: v = r->decay.controller(); break;
    case 3: v = r->low_freq_cutoff.controller(); break;
    case 4: v = 127 - r->cutoff.controller(); break;
    case 5: v = r->diffusion.controller(); break;
    case 6: v = r->mix.controller(); break;
    case 7: v = r->bypassed ? 0 : 1; break;
    default: return 1;
    }
    *out = make_int_message(m->id, id, std::clamp(v, 0, 127));
    return 0;
}

// ---- settings text ----

void reverberator_write(t_module* m, KelTextWriter& out, const std::string& indent) {
    auto* r = static_cast<t_reverberator*>(m);
    const struct {
        const char* key;
        std::string value;
    } lines[] = {
        {" decay            ", r->decay.value_text()},
        {" cutoff           ", r->cutoff.value_text()},
        {" diffusion        ", r->diffusion.value_text()},
        {" size             ", r->size.value_text()},
        {" size_ratio       ", format_float(r->ratio)},
        {" low_freq_cutoff  ", r->low_freq_cutoff.value_text()},
        {" mix              ", r->mix.value_text()},
        {" bypass           ", r->bypassed ? "1" : "0"},
    };
    for (const auto& l : lines) {
        out << indent << l.key << l.value << '\n';
        out.flush();
    }
}

void reverberator_read(t_module* m, KelTextReader& in) {
    auto* r = static_cast<t_reverberator*>(m);
    bool recognised = false, bypass_read = false;
    for (;;) {
        const std::string_view key = in.next_token();
        if (key.empty() || key == "}") break;
        if (key == "{") {  // a nested block has no place here
            module_skip_block(in);
            continue;
        }
        const std::string_view text = in.next_token();
        if (text.empty() || text == "}") break;
        if (text == "{") {
            module_skip_block(in);
            continue;
        }
        Parameter* p = nullptr;
        if (key == "decay") p = &r->decay;
        else if (key == "cutoff") p = &r->cutoff;
        else if (key == "low_freq_cutoff") p = &r->low_freq_cutoff;
        else if (key == "diffusion") p = &r->diffusion;
        else if (key == "size") p = &r->size;
        else if (key == "mix") p = &r->mix;
        if (p) {
            float v = 0;
            if (!parse_float(text, v) || !std::isfinite(v)) continue;
            p->set_value(v);
            if (p == &r->mix) jump_mix(r);
            recognised = true;
        } else if (key == "size_ratio") {
            float v = 0;
            if (!parse_float(text, v) || !std::isfinite(v)) continue;
            r->ratio = std::clamp(v, kMinRatio, kMaxRatio);
            recognised = true;
        } else if (key == "bypass") {
            int v = 0;
            if (!parse_int(text, v)) continue;
            r->bypassed = v > 0;
            bypass_read = recognised = true;
        }
    }
    if (recognised) {
        if (!bypass_read) r->bypassed = false;
        // A text that leaves the reverb running also ends a switch-off fade that was
        // under way, so the wet signal is heard at the mix the module holds.
        r->tail = false;
        if (!r->bypassed) jump_mix(r);
        full_reset(r);
    }
    for (int id : {2, 4, 5, 1, 3, 6, 7}) module_tell(m, id);
}

// ---- sample rate and reset ----

// The new rate takes effect at the next reset. Rings only grow, so the delays in use
// keep fitting; grown rings start empty, with the delays in use.
void reverberator_set_sample_rate(t_module* m, float rate) {
    auto* r = static_cast<t_reverberator*>(m);
    if (!(rate >= kMinRate && rate <= kMaxRate)) {
        KEL_WARNING("reverberator %s: sample rate %g ignored\n", r->name.c_str(), double(rate));
        return;
    }
    if (std::trunc(rate) > r->capacity_rate) {
        if (!allocate_rings(r, std::trunc(rate))) {
            KEL_ERROR("can't allocate memory for module %s\n", r->name.c_str());
            return;
        }
        place_positions(r);
        for (int k = 0; k < 4; ++k) r->h[k] = r->o[k] = r->y[k] = 0;
    }
    r->fs = std::trunc(rate);
    // The mix glides over 100 ms at every rate: a glide under way starts again from where
    // it stands, as long as at the new rate.
    r->dry.ramp_steps = r->wet.ramp_steps = ramp_steps(r);
    if (r->dry.remaining > 0) smooth_set_target(r->dry, r->dry.target);
    if (r->wet.remaining > 0) smooth_set_target(r->wet, r->wet.target);
}

void reverberator_reset(t_module* m) { full_reset(static_cast<t_reverberator*>(m)); }

void reverberator_tick(t_module*) {}

// ---- presets ----

struct t_preset_values {
    const char* decay;
    const char* cutoff;
    const char* diffusion;
    const char* size;
    const char* size_ratio;
    const char* low_freq_cutoff;
};

constexpr t_preset_values kPresets[9] = {
    {"1.60371", "0.187834", "-0.390787", "0.377953", "1", "61.0036"},
    {"1.60371", "0.5", "-0.63", "0.377953", "1", "33.2031"},
    {"1.00949", "0.198333", "-0.503071", "0.377953", "1", "61.0036"},
    {"1.75926", "0.17789", "-0.512835", "0.629921", "1.5", "69.2457"},
    {"1.60371", "0.5", "-0.63", "0.629921", "1.5", "33.2031"},
    {"1.75926", "0.354294", "-0.127165", "0.629921", "1.5", "31.5619"},
    {"2.7948", "0.135532", "-0.493307", "0.88189", "2", "74.7162"},
    {"1.63367", "0.380943", "-0.117402", "0.88189", "2", "49.8077"},
    {"1.60371", "0.187834", "-0.263858", "0.125984", "0.65", "61.0036"},
};

std::string preset_line(std::string_view key, std::string_view value) {
    std::string s = "   ";
    s += key;
    s.append(17 - key.size(), ' ');
    s += value;
    s += '\n';
    return s;
}

} // namespace

int reverberator_delay_length(int index, float scale, float rate) {
    if (index < 0 || index > 9) return 0;
    // In single precision, as the lengths were tuned: 0.000022675737 is 1/44100.
    const float scaled = static_cast<float>(kBaseLength[index]) * scale * rate * 0.000022675737f;
    int n = scaled > 0 ? static_cast<int>(scaled) : 0;
    if (n < 4) return n;
    while (!is_prime(n)) --n;
    return n;
}

std::vector<std::string> reverberator_preset_texts() {
    std::vector<std::string> texts;
    for (const t_preset_values& p : kPresets) {
        std::string t = "reverberator Reverb version 1\n{\n";
        t += preset_line("decay", p.decay);
        t += preset_line("cutoff", p.cutoff);
        t += preset_line("diffusion", p.diffusion);
        t += preset_line("size", p.size);
        t += preset_line("size_ratio", p.size_ratio);
        t += preset_line("low_freq_cutoff", p.low_freq_cutoff);
        t += preset_line("mix", "0.346317");
        t += preset_line("bypass", "0");
        t += "}\n";
        texts.push_back(std::move(t));
    }
    return texts;
}

t_module* reverberator_create(std::string_view line) {
    float rate = 0;
    std::string name;
    {
        KelDescriptor d(line);
        if (!(d.f(rate) && d.skip_d() && d.s(name))) return nullptr;
    }
    if (!(rate >= kMinRate && rate <= kMaxRate)) {
        KEL_WARNING("reverberator %s: sample rate %g out of range\n", name.c_str(), double(rate));
        return nullptr;
    }
    auto* r = module_alloc<t_reverberator>(2, 2);
    if (!r) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    r->type_name = "reverberator";
    r->name = name;
    r->fs = std::trunc(rate);
    if (!allocate_rings(r, r->fs)) {
        KEL_ERROR("can't allocate memory for module %s\n", name.c_str());
        module_free(r);
        return nullptr;
    }
    r->ratio = 1;
    compute_lengths(r);
    place_positions(r);
    compute_loop_gains(r, r->decay.value());
    compute_high_pass(r);
    compute_damping(r);
    jump_mix(r);

    r->process = reverberator_process;
    r->tick = reverberator_tick;
    r->receive_message = reverberator_receive;
    r->get_message = reverberator_get_message;
    r->write_parameters = reverberator_write;
    r->read_parameters = reverberator_read;
    r->set_sample_rate = reverberator_set_sample_rate;
    r->reset = reverberator_reset;

    // Through the first quarter and back: the module ends at controller 48, ratio 1,
    // with clean rings.
    for (int v : {0, 1}) {
        t_message msg = make_int_message(0, 1, v);
        reverberator_receive(r, &msg);
    }
    module_register_parameter(r, &r->mix, 0);
    return r;
}

#include "modules/lin_gain.h"

#include <algorithm>
#include <cmath>

#include "engine/modular.h"
#include "modules/smooth.h"

namespace {

constexpr int kGainRamp = 4000;  // samples for a gain change, about 90 ms at 44.1 kHz

// The gain, ratio and granularity live outside the parameter list: the module answers
// for them itself. Ratio and granularity are kept and reported but shape nothing.
struct t_lin_gain : t_module {
    float rate = 44100;
    float slope = 0, offset = 0;
    float ratio = 0.2356f, granularity = 0.1204f;
    t_smooth_var gain;
};

void lin_gain_process(t_module* m, int n) {
    auto* g = static_cast<t_lin_gain*>(m);
    const float* in = module_input(m, 1);
    float* out = module_output(m, 1);
    t_smooth_var gain = g->gain;
    for (int i = 0; i < n; ++i) {  // the ramp steps once per sample
        smooth_step(gain);
        out[i] = gain.current * in[i];
    }
    // Only the ramp's position moved: the target is a setting, read by other threads.
    g->gain.current = gain.current;
    g->gain.remaining = gain.remaining;
}

void lin_gain_tick(t_module* m) {
    auto* g = static_cast<t_lin_gain*>(m);
    smooth_step(g->gain);
    module_output(m, 1)[0] = g->gain.current * module_input(m, 1)[0];
}

int lin_gain_receive(t_module* m, t_message* msg) {
    auto* g = static_cast<t_lin_gain*>(m);
    if (msg->kind != kMessageInt && msg->kind != kMessageFloat) return 0;
    const float v = message_position(*msg);
    if (!std::isfinite(v)) return 0;
    switch (msg->param_id) {
    case 1: smooth_set_target(g->gain, v * g->slope + g->offset); break;
    case 2: g->ratio = v * 0.007874016f; break;  // v / 127
    case 3: g->granularity = v * 0.007874016f; break;
    default: break;
    }
    return 0;
}

int lin_gain_get(t_module* m, int id, t_message* out) {
    auto* g = static_cast<t_lin_gain*>(m);
    float x = 0;
    switch (id) {
    case 1: x = g->slope != 0 ? (g->gain.target - g->offset) / g->slope : 0; break;
    case 2: x = g->ratio * 127; break;
    case 3: x = g->granularity * 127; break;
    default:
        out->kind = kMessageInt;
        out->value.i = 0;
        return 1;
    }
    out->kind = kMessageInt;
    out->param_id = id;
    out->module_id = m->id;
    out->value.i = std::clamp(static_cast<int>(std::trunc(x + 0.4f)), 0, 127);
    return 0;
}

void lin_gain_write(t_module* m, KelTextWriter& out, const std::string& indent) {
    auto* g = static_cast<t_lin_gain*>(m);
    out << indent << " gain         " << format_float(g->gain.target) << '\n';
    out << indent << " ratio        " << format_float(g->ratio) << '\n';
    out << indent << " granularity  " << format_float(g->granularity) << '\n';
    out.flush();
}

void lin_gain_read(t_module* m, KelTextReader& in) {
    auto* g = static_cast<t_lin_gain*>(m);
    for (;;) {
        std::string_view key = in.next_token();
        if (key.empty() || key == "}") break;
        std::string_view value = in.next_token();
        if (value.empty() || value == "}") break;
        float v = 0;
        if (!parse_float(value, v) || !std::isfinite(v)) continue;
        // A preset load ramps the gain like a message; a reset that follows jumps it.
        if (key == "amplitude" || key == "gain") smooth_set_target(g->gain, v);
        else if (key == "ratio") g->ratio = v;
        else if (key == "granularity") g->granularity = v;
    }
    module_tell(m, 1);
}

void lin_gain_reset(t_module* m) { smooth_jump(static_cast<t_lin_gain*>(m)->gain); }

} // namespace

t_module* lin_gain_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0, a = 0, b = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.f(a) || !d.f(b) || !d.s(name)) return nullptr;
    auto* g = module_alloc<t_lin_gain>(1, 1);
    if (!g) return nullptr;
    g->type_name = "lin_gain";
    g->name = name;
    g->rate = rate;
    g->slope = (b - a) * 0.0078125f;  // b belongs to controller 128
    g->offset = a;
    g->gain.ramp_steps = kGainRamp;
    g->process = lin_gain_process;
    g->tick = lin_gain_tick;
    g->receive_message = lin_gain_receive;
    g->get_message = lin_gain_get;
    g->write_parameters = lin_gain_write;
    g->read_parameters = lin_gain_read;
    g->reset = lin_gain_reset;
    return g;
}

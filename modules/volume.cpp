#include "modules/volume.h"

#include "engine/modular.h"
#include "modules/denormal_noise.h"
#include "modules/parameter.h"
#include "modules/smooth.h"

namespace {

constexpr int kGainRamp = 4000;  // samples, about 90 ms at 44.1 kHz: no zipper noise

struct t_volume : t_module {
    float rate = 44100;
    // Linear gain 0..2 on a square curve: 0.5 sits at controller 64.
    Parameter_T<SquareDriver, ParameterFloatValue> amplitude{1, 0.0f, 2.0f, 0.5f, "amplitude", 10};
    t_smooth_var gain;
};

void volume_process(t_module* m, int n) {
    auto* v = static_cast<t_volume*>(m);
    const float* in = module_input(m, 1);
    float* out = module_output(m, 1);
    t_smooth_var gain = v->gain;
    for (int i = 0; i < n; ++i) {
        smooth_step(gain);
        out[i] = denormal_noise::next() + gain.current * in[i];
    }
    v->gain = gain;
}

void volume_tick(t_module* m) {
    auto* v = static_cast<t_volume*>(m);
    smooth_step(v->gain);
    module_output(m, 1)[0] = denormal_noise::next() + v->gain.current * module_input(m, 1)[0];
}

int volume_receive(t_module* m, t_message* msg) {
    auto* v = static_cast<t_volume*>(m);
    if (msg->kind != kMessageInt && msg->kind != kMessageFloat) return 0;
    switch (msg->param_id) {
    case 1:
        v->amplitude.set_controller_float(message_position(*msg));
        smooth_set_target(v->gain, v->amplitude.value());
        break;
    case 2:
        // Unity gain whatever the amplitude holds.
        smooth_set_target(v->gain, 1.0f);
        module_tell(m, 1);
        break;
    default: return 0;
    }
    m->parameter_changed(m, msg->param_id, kChangedByMessage);
    return 0;
}

void volume_changed(t_module* m, int id, int origin) {
    auto* v = static_cast<t_volume*>(m);
    if (id != 1) return;
    smooth_set_target(v->gain, v->amplitude.value());
    // A preset load jumps; anything else glides.
    if (origin == kChangedFromText) smooth_jump(v->gain);
}

void volume_reset(t_module* m) { smooth_jump(static_cast<t_volume*>(m)->gain); }

} // namespace

t_module* volume_create(std::string_view line) {
    float rate = 0, amplitude = 0;
    std::string name;
    bool ok;
    {
        KelDescriptor d(line);
        ok = d.f(rate) && d.skip_d() && d.f(amplitude) && d.skip_d() && d.s(name);
    }
    if (!ok) {
        KelDescriptor d(line);
        if (!(d.f(rate) && d.skip_d() && d.f(amplitude) && d.s(name))) return nullptr;
    }
    auto* v = module_alloc<t_volume>(1, 1);
    if (!v) return nullptr;
    v->type_name = "volume";
    v->name = name;
    v->rate = rate;
    v->gain.ramp_steps = kGainRamp;
    v->amplitude.set_value(amplitude);
    v->process = volume_process;
    v->tick = volume_tick;
    v->receive_message = volume_receive;
    v->parameter_changed = volume_changed;
    v->reset = volume_reset;
    module_register_parameter(v, &v->amplitude, 0);
    return v;
}

#include "modules/stereo_audio_out.h"

#include <cmath>

#include "engine/modular.h"
#include "modules/parameter.h"

namespace {

struct t_stereo_out : t_module {
    float rate = 44100;
    float* left = nullptr;
    float* right = nullptr;
    Parameter_T<LinearDriver, ParameterIntValue> on{1, 0, 1, 1, "on", 9};
};

void stereo_process(t_module* m, int n) {
    auto* s = static_cast<t_stereo_out*>(m);
    if (!s->left || !s->right) return;
    float* l = s->left;
    float* r = s->right;
    if (s->on.controller() == 0) {
        for (int i = 0; i < n; ++i) l[i] = r[i] = 0;
    } else {
        const float* in_l = module_input(m, 1);
        const float* in_r = module_input(m, 2);
        for (int i = 0; i < n; ++i) {
            l[i] = stereo_soft_clip(in_l[i]);
            r[i] = stereo_soft_clip(in_r[i]);
        }
    }
    s->left = l + n;
    s->right = r + n;
}

int stereo_receive(t_module* m, t_message* msg) {
    auto* s = static_cast<t_stereo_out*>(m);
    if (msg->param_id != 1 || (msg->kind != kMessageInt && msg->kind != kMessageFloat)) return 0;
    float v = message_position(*msg);
    if (!std::isfinite(v)) return 0;
    s->on.set_controller(static_cast<int>(v));
    module_report(m, 2, static_cast<float>(s->on.controller()));
    return 0;
}

int stereo_get(t_module* m, int id, t_message* out) {
    auto* s = static_cast<t_stereo_out*>(m);
    out->kind = kMessageInt;
    if (id != 1 && id != 2) {
        out->value.i = 0;
        return 1;
    }
    out->param_id = id;
    out->module_id = m->id;
    out->value.i = s->on.controller();
    return 0;
}

int stereo_control(t_module* m, int kind, const intptr_t* args, int nargs) {
    if (kind != kControlAudioOutputs || nargs < 2) return 0;
    auto* s = static_cast<t_stereo_out*>(m);
    s->left = reinterpret_cast<float*>(args[0]);
    s->right = reinterpret_cast<float*>(args[1]);
    return 1;
}

int stereo_query(t_module*, int kind) { return kind == kControlAudioOutputs ? 1 : 0; }

void stereo_set_rate(t_module* m, float rate) { static_cast<t_stereo_out*>(m)->rate = rate; }

} // namespace

float stereo_soft_clip(float x) {
    float y;
    if (x > 0.7f) {
        float d = (x - 0.7f) * 1.1111112f + 1;
        y = 1 - 0.3f / (d * d * d);
    } else if (x < -0.7f) {
        float d = (x + 0.7f) * 1.1111112f - 1;
        y = -1 - 0.3f / (d * d * d);
    } else if (x == x) {
        y = x;
    } else {
        y = 0;  // nothing that is not a number reaches the host
    }
    return std::fabs(y) <= 1e-9f ? 0.0f : y;
}

t_module* stereo_audio_out_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.s(name)) return nullptr;
    auto* s = module_alloc<t_stereo_out>(2, 0);
    if (!s) return nullptr;
    s->type_name = "stereo_audio_out";
    s->name = name;
    s->rate = rate;
    s->process = stereo_process;
    s->receive_message = stereo_receive;
    s->get_message = stereo_get;
    s->control = stereo_control;
    s->query = stereo_query;
    s->set_sample_rate = stereo_set_rate;
    module_register_parameter(s, &s->on, 0);
    return s;
}

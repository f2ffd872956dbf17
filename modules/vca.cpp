// The key-follow and velocity-follow products of the mallet force. No settings.
#include "modules/vca.h"

#include "engine/modular.h"
#include "modules/denormal_noise.h"

namespace {

struct t_vca : t_module {
    float rate = 44100;
};

void vca_process(t_module* m, int n) {
    float* out = module_output(m, 1);
    const float* a = module_input(m, 1);
    const float* b = module_input(m, 2);
    for (int i = 0; i < n; ++i) out[i] = denormal_noise::next() + a[i] * b[i];
}

void vca_tick(t_module* m) { module_output(m, 1)[0] = module_input(m, 1)[0] * module_input(m, 2)[0]; }

} // namespace

t_module* vca_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.s(name)) return nullptr;
    auto* v = module_alloc<t_vca>(2, 1);
    if (!v) return nullptr;
    v->type_name = "vca";
    v->name = name;
    v->rate = rate;
    v->process = vca_process;
    v->tick = vca_tick;
    v->receive_message = module_ignore_message;
    v->write_parameters = module_write_nothing;
    v->read_parameters = module_read_and_ignore;
    return v;
}

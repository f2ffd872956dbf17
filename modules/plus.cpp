// The voices' adders and the voice mix. No settings of their own.
#include "modules/plus.h"

#include "engine/modular.h"
#include "modules/denormal_noise.h"

namespace {

struct t_plus : t_module {
    float rate = 44100;
};

// One noise value per sample keeps the sums of decaying voices out of the denormal range.
void plus_process(t_module* m, int n) {
    float* out = module_output(m, 1);
    const float* first = module_input(m, 1);
    for (int i = 0; i < n; ++i) out[i] = denormal_noise::next() + (first ? first[i] : 0.0f);
    for (int j = 2; j <= m->input_count; ++j) {
        const float* in = module_input(m, j);
        for (int i = 0; i < n; ++i) out[i] += in[i];
    }
}

void plus_tick(t_module* m) {
    float sum = 0;
    for (int j = 1; j <= m->input_count; ++j) sum += module_input(m, j)[0];
    module_output(m, 1)[0] = sum;
}

} // namespace

t_module* plus_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0;
    int inputs = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.d(inputs) || !d.s(name) || inputs < 0 || inputs > 256) return nullptr;
    auto* p = module_alloc<t_plus>(inputs, 1);
    if (!p) return nullptr;
    p->type_name = "plus";
    p->name = name;
    p->rate = rate;
    p->process = plus_process;
    p->tick = plus_tick;
    p->receive_message = module_ignore_message;
    p->write_parameters = module_write_nothing;
    p->read_parameters = module_read_and_ignore;
    return p;
}

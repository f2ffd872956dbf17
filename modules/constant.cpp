#include "modules/constant.h"

#include "engine/modular.h"

namespace {

struct t_constant : t_module {
    float rate = 44100;
    float value = 0;
    int known = 0;  // leading output samples known to hold the value already
};

void constant_process(t_module* m, int n) {
    auto* c = static_cast<t_constant*>(m);
    float* out = module_output(m, 1);
    const float v = c->value;
    // The buffer usually still holds the value from the last block: don't rewrite it.
    if (c->known >= n && out[0] == v) return;
    int from = out[0] == v ? c->known : 0;
    for (int i = from; i < n; ++i) out[i] = v;
    c->known = n;
}

void constant_tick(t_module* m) { module_output(m, 1)[0] = static_cast<t_constant*>(m)->value; }

} // namespace

t_module* constant_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0, value = 0;
    int unused = 0;
    std::string name;
    if (!d.f(rate) || !d.d(unused) || !d.f(value) || !d.s(name)) return nullptr;
    auto* c = module_alloc<t_constant>(0, 1);
    if (!c) return nullptr;
    c->type_name = "constant";
    c->name = name;
    c->rate = rate;
    c->value = value;
    c->process = constant_process;
    c->tick = constant_tick;
    return c;
}

// The order of the two effect slots: A then B, B then A, or both on the same input
// with their outputs averaged. The topology feeds each slot through its own outputs,
// runs it, and picks its result up from its own inputs.
#include "modules/mo_topology.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "engine/modular.h"
#include "engine/report.h"
#include "modules/parameter.h"

namespace {

using ProcessFn = void (*)(t_module*, int);

struct t_topology : t_module {
    float sample_rate = 44100;
    t_module* slots[2] = {nullptr, nullptr}; // A, B
    ProcessFn slot_process[2] = {nullptr, nullptr};
    Parameter_T<LinearDriver, ParameterIntValue> topology{kTopologyParam, 0, 2, 0, "topology", 1};
};

t_topology* self(t_module* m) {
    return static_cast<t_topology*>(m);
}

void copy(float* out, const float* in, int n) {
    if (out && in && out != in) std::copy_n(in, n, out);
}

// Feeds slot s (0 = A on outputs/inputs 3, 4; 1 = B on 5, 6) and runs it.
void run_slot(t_topology* t, int s, const float* left, const float* right, int n) {
    const int first = 3 + 2 * s;
    copy(module_output(t, first), left, n);
    copy(module_output(t, first + 1), right, n);
    t->slot_process[s](t->slots[s], n);
}

void topology_process(t_module* m, int n) {
    t_topology* t = self(m);
    const float* in_left = module_input(m, 1);
    const float* in_right = module_input(m, 2);
    float* out_left = module_output(m, 1);
    float* out_right = module_output(m, 2);
    if (!in_left || !in_right || !out_left || !out_right) return;
    if (!t->slots[0]) {
        copy(out_left, in_left, n);
        copy(out_right, in_right, n);
        return;
    }
    const float* a_left = module_input(m, 3);
    const float* a_right = module_input(m, 4);
    const float* b_left = module_input(m, 5);
    const float* b_right = module_input(m, 6);
    const bool has_b = t->slots[1] != nullptr;

    switch (static_cast<int>(t->topology.value())) {
    case kTopologySerialBA:
        if (has_b) {
            run_slot(t, 1, in_left, in_right, n);
            run_slot(t, 0, b_left, b_right, n);
        } else {
            run_slot(t, 0, in_left, in_right, n);
        }
        copy(out_left, a_left, n);
        copy(out_right, a_right, n);
        break;
    case kTopologyParallel:
        run_slot(t, 0, in_left, in_right, n);
        if (!has_b) {
            copy(out_left, a_left, n);
            copy(out_right, a_right, n);
            break;
        }
        run_slot(t, 1, in_left, in_right, n);
        for (int i = 0; i < n; ++i) {
            out_left[i] = (a_left[i] + b_left[i]) * 0.5f;
            out_right[i] = (a_right[i] + b_right[i]) * 0.5f;
        }
        break;
    default: // A then B
        run_slot(t, 0, in_left, in_right, n);
        if (has_b) {
            run_slot(t, 1, a_left, a_right, n);
            copy(out_left, b_left, n);
            copy(out_right, b_right, n);
        } else {
            copy(out_left, a_left, n);
            copy(out_right, a_right, n);
        }
        break;
    }
}

// Gives a slot's process entry back (relinking) or takes it over.
void release_slots(t_topology* t) {
    for (int s = 0; s < 2; ++s) {
        if (t->slots[s]) t->slots[s]->process = t->slot_process[s];
        t->slots[s] = nullptr;
        t->slot_process[s] = nullptr;
    }
}

int link(t_topology* t, t_module* a, t_module* b) {
    if (!a || a == t || b == t || a == b) return 0;
    release_slots(t);
    if (!a->process || (b && !b->process)) {
        KEL_WARNING("mo_topology %s: a slot has no block process of its own\n", t->name.c_str());
        return 0;
    }
    t_module* chosen[2] = {a, b};
    for (int s = 0; s < 2; ++s) {
        if (!chosen[s]) continue;
        t->slots[s] = chosen[s];
        t->slot_process[s] = chosen[s]->process;
        // Only the topology runs its slots, whatever renders the graph.
        chosen[s]->process = nullptr;
    }
    return 1;
}

int topology_control(t_module* m, int kind, const intptr_t* args, int nargs) {
    if (kind != kControlTopologySlots || !args || nargs < 1) return 0;
    const intptr_t count = args[0];
    if (count < 1 || count > 2 || nargs < 1 + 3 * count) return 0;
    t_module* a = reinterpret_cast<t_module*>(args[1]);
    t_module* b = count == 2 ? reinterpret_cast<t_module*>(args[4]) : nullptr;
    return link(self(m), a, b);
}

int topology_query(t_module*, int kind) {
    return kind == kControlTopologySlots ? 2 : 0;
}

void topology_set_sample_rate(t_module* m, float rate) {
    if (rate > 0 && rate <= 1.0e6f) self(m)->sample_rate = rate;
}

} // namespace

t_module* mo_topology_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.s(name)) return nullptr;
    if (!(rate >= 1000.0f && rate <= 1.0e6f)) return nullptr;
    t_topology* t = module_alloc<t_topology>(6, 6);
    if (!t) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    t->name = name;
    t->type_name = "mo_topology";
    t->sample_rate = rate;
    t->process = topology_process;
    t->control = topology_control;
    t->query = topology_query;
    t->set_sample_rate = topology_set_sample_rate;
    module_register_parameter(t, &t->topology, 0);
    return t;
}

int mo_topology_link(t_module* topology, t_module* slot_a, t_module* slot_b) {
    if (!topology) return 0;
    const intptr_t args[7] = {
        slot_b ? 2 : 1, reinterpret_cast<intptr_t>(slot_a), 0, 0, reinterpret_cast<intptr_t>(slot_b), 0, 0};
    return topology->control(topology, kControlTopologySlots, args, slot_b ? 7 : 4);
}

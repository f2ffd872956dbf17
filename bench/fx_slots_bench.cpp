// What the effect slots themselves cost per stereo sample (44.1 kHz, 1024-frame blocks):
// a wrapper around a plain-wire effect, and the topology running two such slots in
// each order. The effects' own cost is measured in their benchmarks.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "engine/modular.h"
#include "modules/fx_wrapper.h"
#include "modules/mo_topology.h"
#include "modules/parameter.h"

namespace {

constexpr int kFrames = 1024;

// An effect that copies its input: the wrapper's copies and calls are all that is left.
struct t_wire_fx : t_module {
    Parameter_T<LinearDriver, ParameterFloatValue> amount{1, 0, 127, 64, "amount"};
};

void wire_process(t_module* m, int n) {
    std::copy_n(module_input(m, 1), n, module_output(m, 1));
}

t_module* make_wire(const std::string& name) {
    auto* f = module_alloc<t_wire_fx>(1, 1);
    f->name = name;
    f->type_name = "wire";
    f->process = wire_process;
    module_register_parameter(f, &f->amount, 0);
    module_set_persistence(f, 1);
    return f;
}

struct SlotGraph {
    t_module* root = module_create_generic("0 0 bench");
    t_module* source = module_alloc<t_module>(0, 2);
    t_module* head = nullptr;
    wire_shop* shop = nullptr;

    SlotGraph() { module_add_child(root, source); }
    ~SlotGraph() {
        module_free(root);
        wire_shop_free(shop);
    }
    t_module* add(t_module* m) {
        module_add_child(root, m);
        return m;
    }
    t_module* slot(const std::string& name) {
        t_module* w = add(fx_wrapper_create("44100 512 2 2 1 " + name));
        for (int k = 3; k <= 4; ++k) {
            t_module* fx = add(make_wire(name + std::to_string(k)));
            module_connect(w, k, fx, 1);
            module_connect(fx, 1, w, k);
        }
        return w;
    }
    static void configure(t_module* w) {
        t_fx_effect_spec s;
        // The two wire effects follow the wrapper in the root's child chain.
        s.left = w->next_sibling;
        s.right = w->next_sibling->next_sibling;
        s.feed_left = s.return_left = 3;
        s.feed_right = s.return_right = 4;
        s.knob_ids[0] = 1;
        fx_wrapper_add_effect(w, s);
        fx_wrapper_add_preset(w, 0, "wire Wire version 1\n{\n amount 64\n}\n");
    }
    void finish(t_module* h) {
        head = h;
        t_module* sink = add(module_alloc<t_module>(2, 0));
        for (int c = 1; c <= 2; ++c) {
            module_connect(source, c, head, c);
            module_connect(head, c, sink, c);
        }
        shop = wire_shop_create(kFrames);
        wire_shop_assign_buffers(shop, root);
        for (int i = 0; i < kFrames; ++i) {
            module_output(source, 1)[i] = std::sin(0.0372f * static_cast<float>(i));
            module_output(source, 2)[i] = std::cos(0.0372f * static_cast<float>(i));
        }
    }
};

void per_stereo_sample(benchmark::State& state) {
    state.counters["per_sample"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kFrames,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_FxWrapper(benchmark::State& state) {
    SlotGraph g;
    t_module* w = g.slot("Effect_A");
    g.finish(w);
    SlotGraph::configure(w);
    for (auto _ : state) {
        w->process(w, kFrames);
        benchmark::ClobberMemory();
    }
    per_stereo_sample(state);
}
BENCHMARK(BM_FxWrapper);

void BM_Topology(benchmark::State& state) {
    SlotGraph g;
    t_module* topology = g.add(mo_topology_create("44100 512 Topology"));
    t_module* a = g.slot("Effect_A");
    t_module* b = g.slot("Effect_B");
    for (int c = 0; c < 2; ++c) {
        module_connect(topology, 3 + c, a, 1 + c);
        module_connect(a, 1 + c, topology, 3 + c);
        module_connect(topology, 5 + c, b, 1 + c);
        module_connect(b, 1 + c, topology, 5 + c);
    }
    g.finish(topology);
    SlotGraph::configure(a);
    SlotGraph::configure(b);
    mo_topology_link(topology, a, b);
    t_message order = make_int_message(topology->id, kTopologyParam, static_cast<int>(state.range(0)));
    module_dispatch_message(topology, &order);
    for (auto _ : state) {
        topology->process(topology, kFrames);
        benchmark::ClobberMemory();
    }
    per_stereo_sample(state);
}
BENCHMARK(BM_Topology)
    ->Arg(kTopologySerialAB)
    ->Arg(kTopologySerialBA)
    ->Arg(kTopologyParallel)
    ->ArgName("order");

} // namespace

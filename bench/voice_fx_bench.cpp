// Cost of the voice pickup and the two mono-chain effects per sample, 1024-frame blocks.
#include <benchmark/benchmark.h>

#include <cmath>

#include "engine/modular.h"
#include "modules/denormal_noise.h"
#include "modules/eq_3band.h"
#include "modules/pick_up.h"
#include "modules/tremolo.h"

namespace {

constexpr int kFrames = 1024;

// The module beside a source that feeds all its inputs and a sink on all its outputs.
struct BenchGraph {
    t_module* root;
    t_module* source;
    t_module* dut;
    wire_shop* shop;
    explicit BenchGraph(t_module* m) : dut(m) {
        root = module_create_generic("0 0 bench");
        source = module_alloc<t_module>(0, m->input_count);
        t_module* sink = module_alloc<t_module>(m->output_count, 0);
        module_add_child(root, source);
        module_add_child(root, dut);
        module_add_child(root, sink);
        for (int k = 1; k <= m->input_count; ++k)
            module_connect(source, k, dut, k);
        for (int k = 1; k <= m->output_count; ++k)
            module_connect(dut, k, sink, k);
        shop = wire_shop_create(kFrames);
        wire_shop_assign_buffers(shop, root);
    }
    ~BenchGraph() {
        module_free(root);
        wire_shop_free(shop);
    }
    float* in(int k) { return module_output(source, k); }
};

void read_settings(t_module* m, const char* body) {
    std::string text = m->type_name + " " + m->name + " version 1 {\n" + body + "\n}\n";
    KelTextReader reader(text);
    module_set_persistence(m, 1);
    module_read_state(m, reader);
}

void per_sample(benchmark::State& state) {
    state.counters["per_sample"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kFrames,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_PickUp(benchmark::State& state) {
    BenchGraph g(pick_up_create("44100 512 1. 1. 0. 0. pick_up0"));
    read_settings(g.dut, "a 0.67389 b 0.278472 amp_in 0.235437 amp_out 1.64295 amp_out_kbd -0.295276");
    if (state.range(0) == 1) read_settings(g.dut, "model 1");
    for (int i = 0; i < kFrames; ++i) {
        g.in(1)[i] = std::sin(0.0372f * static_cast<float>(i));
        g.in(2)[i] = 0;
        g.in(3)[i] = 1;
    }
    for (auto _ : state) {
        g.dut->process(g.dut, kFrames);
        benchmark::ClobberMemory();
    }
    per_sample(state);
}
BENCHMARK(BM_PickUp)->Arg(0)->Arg(1)->ArgName("model");

void BM_Eq3Band(benchmark::State& state) {
    denormal_noise::fill(1);
    BenchGraph g(eq_3band_create("44100 512 Eq"));
    read_settings(g.dut, "low_gain 1.31018 peak_cutoff 643.558 peak_gain 1.05582 peak_Q 5 high_gain 1.05582");
    for (int i = 0; i < kFrames; ++i)
        g.in(1)[i] = std::sin(0.0372f * static_cast<float>(i));
    g.dut->process(g.dut, kFrames); // past the initial glides
    for (auto _ : state) {
        g.dut->process(g.dut, kFrames);
        benchmark::ClobberMemory();
    }
    per_sample(state);
}
BENCHMARK(BM_Eq3Band);

void BM_Tremolo(benchmark::State& state) {
    BenchGraph g(tremolo_create("44100 1024 Tremolo"));
    read_settings(g.dut, "on_off 1 sync_index 14 depth 0.346457 mono_stereo 1 wave_type 1");
    for (int i = 0; i < kFrames; ++i) {
        g.in(1)[i] = static_cast<float>((i / 46) % 2); // the clock at about 120 BPM
        g.in(3)[i] = std::sin(0.0372f * static_cast<float>(i));
    }
    for (auto _ : state) {
        g.dut->process(g.dut, kFrames);
        benchmark::ClobberMemory();
    }
    per_sample(state);
}
BENCHMARK(BM_Tremolo);

} // namespace

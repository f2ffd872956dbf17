// The room reverb's cost per stereo sample at 44.1 kHz, with noise in and a preset
// loaded: preset 6 is the largest room, preset 8 the smallest.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/modular.h"
#include "modules/reverberator.h"

static void BM_ReverberatorProcess(benchmark::State& state) {
    const int block = static_cast<int>(state.range(0));
    const int preset = static_cast<int>(state.range(1));
    t_module* src = module_create_generic("0 2 src");
    t_module* rev = reverberator_create("44100 512 Reverb_Module");
    t_module* sink = module_create_generic("2 0 sink");
    wire_shop* shop = wire_shop_create(1024);
    if (!src || !rev || !sink || !shop) {
        state.SkipWithError("reverb not built");
        return;
    }
    rev->persistence = 1;
    module_connect(src, 1, rev, 1);
    module_connect(src, 2, rev, 2);
    module_connect(rev, 1, sink, 1);
    module_connect(rev, 2, sink, 2);
    for (t_module* m : {src, rev, sink}) wire_shop_assign_buffers(shop, m);
    const std::string text = reverberator_preset_texts()[preset];
    KelTextReader in(text);
    module_read_state(rev, in);

    unsigned seed = 1;
    float* l = module_output(src, 1);
    float* r = module_output(src, 2);
    for (int i = 0; i < block; ++i) {
        seed = seed * 1664525u + 1013904223u;
        l[i] = static_cast<float>(seed >> 8) / 8388608.0f - 1.0f;
        r[i] = 0.5f * l[i];
    }
    for (auto _ : state) {
        rev->process(rev, block);
        benchmark::DoNotOptimize(module_output(rev, 1));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * block);
    state.SetLabel("items = stereo samples");
    for (t_module* m : {src, rev, sink}) module_free(m);
    wire_shop_free(shop);
}
BENCHMARK(BM_ReverberatorProcess)->Args({64, 6})->Args({512, 6})->Args({1024, 6})->Args({512, 8});

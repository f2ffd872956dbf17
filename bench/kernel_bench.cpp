// The kernel's own cost: rendering the demo graph, per stereo sample at 44.1 kHz.
#include <benchmark/benchmark.h>

#include <vector>

#include "engine/demo_graph.h"

static void BM_DemoGraphRender(benchmark::State& state) {
    const int block = static_cast<int>(state.range(0));
    DemoSynth synth;
    if (!synth.build(44100)) {
        state.SkipWithError("demo graph not built");
        return;
    }
    std::vector<float> left(block), right(block);
    for (auto _ : state) {
        synth.render_block(left.data(), right.data(), block);
        benchmark::DoNotOptimize(left.data());
    }
    state.SetItemsProcessed(state.iterations() * block);
    state.SetLabel("items = stereo samples");
}
BENCHMARK(BM_DemoGraphRender)->Arg(64)->Arg(512)->Arg(2500);

#include <benchmark/benchmark.h>

#include "engine/kel_simple_synth_queue.h"
#include "engine/port_notify.h"

namespace {

// One message in and out: the cost a parameter change pays on each side.
void BM_SynthQueuePushPop(benchmark::State& state) {
    KelSimpleSynthQueue q;
    t_message m = make_float_message(600, 2, 64.0f);
    for (auto _ : state) {
        q.push(m);
        q.pop(m);
        benchmark::DoNotOptimize(m);
    }
}
BENCHMARK(BM_SynthQueuePushPop);

// A host block's worth of MIDI events, then drained by the render.
void BM_MidiQueueBurst(benchmark::State& state) {
    const int burst = static_cast<int>(state.range(0));
    KelMidiEventQueue q(kMidiEventQueueCapacity);
    t_midi_event e{0, 0x90, 60, 100};
    for (auto _ : state) {
        for (int i = 0; i < burst; ++i) {
            e.offset = static_cast<uint32_t>(i);
            q.push(e);
        }
        while (q.pop(e)) benchmark::DoNotOptimize(e);
    }
    state.SetItemsProcessed(state.iterations() * burst);
}
BENCHMARK(BM_MidiQueueBurst)->Arg(16)->Arg(1024);

} // namespace

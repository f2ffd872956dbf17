// Cost of the chorus and the ping-pong delay per stereo sample at 44.1 kHz, 1024-frame
// blocks, with the slot presets loaded.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>

#include "analog/pm_sync_chorus.h"
#include "analog/sync_ping_pong_delay.h"
#include "engine/modular.h"
#include "modules/denormal_noise.h"

namespace {

constexpr int kFrames = 1024;

// The module beside a source that feeds its three inputs (clock, left, right) and a sink.
struct StereoGraph {
    t_module* root;
    t_module* source;
    t_module* dut;
    wire_shop* shop;
    explicit StereoGraph(t_module* m) : dut(m) {
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
        module_set_persistence(dut, 1);
    }
    ~StereoGraph() {
        module_free(root);
        wire_shop_free(shop);
    }
    float* in(int k) { return module_output(source, k); }

    void load(const char* text) {
        KelTextReader reader(text);
        module_read_state(dut, reader);
        dut->reset(dut);
    }
    void fill_inputs() {
        for (int i = 0; i < kFrames; ++i) {
            in(1)[i] = static_cast<float>((i / 46) % 2); // the master clock at about 120 BPM
            in(2)[i] = std::sin(0.0372f * static_cast<float>(i));
            in(3)[i] = std::sin(0.0411f * static_cast<float>(i));
        }
    }
};

void per_stereo_sample(benchmark::State& state) {
    state.counters["per_stereo_sample"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kFrames,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Presets 0 (mode 1, two taps), 2 (mode 2) and 3 (mode 0).
void BM_Chorus(benchmark::State& state) {
    denormal_noise::fill(1);
    int count = 0;
    const char* const* presets = chorus_preset_texts(&count);
    StereoGraph g(pm_sync_chorus_create("44100 1024 Chorus_A"));
    g.load(presets[state.range(0)]);
    g.fill_inputs();
    for (auto _ : state) {
        g.dut->process(g.dut, kFrames);
        benchmark::ClobberMemory();
    }
    per_stereo_sample(state);
}
BENCHMARK(BM_Chorus)->Arg(0)->Arg(2)->Arg(3)->ArgName("preset");

// Free (preset 0) and locked to the clock (the instrument's default), which reads
// between samples while the length glides.
void BM_PingPongDelay(benchmark::State& state) {
    denormal_noise::fill(1);
    int count = 0;
    const char* const* presets = delay_preset_texts(&count);
    StereoGraph g(sync_ping_pong_delay_create("44100 1024 Delay_A"));
    if (state.range(0) == 0) {
        g.load(presets[0]);
    } else {
        const std::string text = std::string("sync_ping_pong_delay Delay_A version 2\n{\n") +
                                 delay_instrument_default_body() + "}\n";
        g.load(text.c_str());
    }
    g.fill_inputs();
    for (auto _ : state) {
        g.dut->process(g.dut, kFrames);
        benchmark::ClobberMemory();
    }
    per_stereo_sample(state);
}
BENCHMARK(BM_PingPongDelay)->Arg(0)->Arg(1)->ArgName("synced");

} // namespace

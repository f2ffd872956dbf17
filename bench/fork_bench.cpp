// One voice's excitation and body (mallet, damper noise, fork) rendering 1024-frame
// blocks, in nanoseconds per sample; and the same voice after ringing into silence,
// which must cost no more (no denormal slowdown).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "modal/fork.h"
#include "modules/mallet.h"
#include "modules/noise_damper.h"

namespace {

constexpr int kBlock = 1024;
constexpr float kRate = 44100;

// Gate, pitch and velocity as the keyboard would send them, written by the benchmark.
struct t_keys : t_module {
    float gate = 0, pitch = 0, velocity = 0.6f;
};

void keys_process(t_module* m, int frames) {
    auto* k = static_cast<t_keys*>(m);
    std::fill_n(module_output(m, 1), frames, k->gate);
    std::fill_n(module_output(m, 2), frames, k->pitch);
    std::fill_n(module_output(m, 3), frames, k->velocity);
}

void adder_process(t_module* m, int frames) {
    const float *a = module_input(m, 1), *b = module_input(m, 2);
    float* out = module_output(m, 1);
    for (int i = 0; i < frames; ++i) out[i] = a[i] + b[i];
}

void read_settings(t_module* m, const std::string& settings) {
    const std::string text = settings + " }";
    KelTextReader in(text);
    m->read_parameters(m, in);
}

struct Voice {
    t_module* root = module_create_generic("0 0 bench");
    t_keys* keys = module_alloc<t_keys>(0, 3);
    t_module* adder = module_alloc<t_module>(2, 1);
    t_module* mallet = mallet_create("44100 512 100. 1 mallet0");
    t_module* damper = noise_damper_create("44100 512 100. 0 noise_damper0");
    t_module* fork = fork_create("44100 512 fork0");
    wire_shop* shop = nullptr;
    std::vector<t_module*> order;

    Voice() {
        keys->process = keys_process;
        adder->process = adder_process;
        for (t_module* m : {static_cast<t_module*>(keys), mallet, damper, adder, fork}) module_add_child(root, m);
        read_settings(mallet, "cutoff 367.26 strength 0.257812 mod1 1 mod2 3.86928 mod3 2");
        read_settings(damper, "cutoff 54.5395 strength 0.115478 balance 0.795276");
        read_settings(fork, "release_time 0.750324 damping_tone 0.809462 amplitude_tone 0.463047 damping_tine 10.2198"
                            " damp_freq_tine 1.15625 amplitude_tine 0.253003 tine_balance 0.448819 noise_pitch 1.56299"
                            " damping_noise 81.106 damp_freq_noise 0.78125 amplitude_noise 0.0504807 old_new 0");
        for (int k = 1; k <= 3; ++k) module_connect(keys, k, mallet, k);
        module_connect(keys, 1, damper, 1);
        module_connect(keys, 2, damper, 3);
        module_connect(damper, 1, adder, 1);
        module_connect(mallet, 1, adder, 2);
        module_connect(keys, 1, fork, 1);
        module_connect(adder, 1, fork, 2);
        module_connect(keys, 2, fork, 3);
        shop = wire_shop_create(kBlock);
        wire_shop_assign_buffers(shop, root);
        order = module_processing_order(root);
    }
    ~Voice() {
        module_free(root);
        wire_shop_free(shop);
    }
    void block() {
        for (t_module* m : order)
            if (m->process) m->process(m, kBlock);
    }
    void seconds(float s) {
        for (long n = static_cast<long>(s * kRate / kBlock); n > 0; --n) block();
    }
};

// A held note: the key goes down before timing starts and stays down.
void BM_VoiceHeldNote(benchmark::State& state) {
    Voice v;
    v.keys->gate = 1;
    v.seconds(0.1f);
    for (auto _ : state) {
        v.block();
        benchmark::DoNotOptimize(module_output(v.fork, 1)[0]);
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
    state.counters["ns_per_sample"] = benchmark::Counter(static_cast<double>(state.iterations()) * kBlock,
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_VoiceHeldNote);

// A note struck and released, then left ringing for range(0) seconds before timing:
// 0 s and 60 s must cost the same per block.
void BM_VoiceRingingIntoSilence(benchmark::State& state) {
    Voice v;
    v.keys->gate = 1;
    v.seconds(0.3f);
    v.keys->gate = 0;
    v.seconds(static_cast<float>(state.range(0)));
    for (auto _ : state) {
        v.block();
        benchmark::DoNotOptimize(module_output(v.fork, 1)[0]);
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
    state.counters["ns_per_sample"] = benchmark::Counter(static_cast<double>(state.iterations()) * kBlock,
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_VoiceRingingIntoSilence)->Arg(0)->Arg(60);

} // namespace

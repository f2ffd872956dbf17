// Cost of the slot effects per stereo sample at 44.1 kHz: a left and a right instance
// (as the effect slots run them), 1024-frame blocks, switched on and settled.
#include <benchmark/benchmark.h>

#include <cmath>
#include <functional>
#include <string>

#include "engine/modular.h"
#include "modules/auto_wah.h"
#include "modules/denormal_noise.h"
#include "modules/distortion.h"
#include "modules/phaser.h"
#include "modules/wah.h"

namespace {

constexpr int kFrames = 1024;

// Left and right instances beside one source that feeds all their inputs.
struct StereoGraph {
    t_module* root;
    t_module* source;
    t_module* left;
    t_module* right;
    wire_shop* shop;
    StereoGraph(const std::function<t_module*(const std::string&)>& make, const char* body) {
        denormal_noise::fill(1);
        left = make("Left");
        right = make("Right");
        const int inputs = left->input_count;
        root = module_create_generic("0 0 bench");
        source = module_alloc<t_module>(0, inputs);
        t_module* sink = module_alloc<t_module>(2, 0);
        module_add_child(root, source);
        module_add_child(root, left);
        module_add_child(root, right);
        module_add_child(root, sink);
        for (int k = 1; k <= inputs; ++k) {
            module_connect(source, k, left, k);
            module_connect(source, k, right, k);
        }
        module_connect(left, 1, sink, 1);
        module_connect(right, 1, sink, 2);
        shop = wire_shop_create(kFrames);
        wire_shop_assign_buffers(shop, root);
        for (t_module* m : {left, right}) {
            const std::string text = m->type_name + " " + m->name + " version " + std::to_string(m->version) +
                                     " {\n" + body + "\n}\n";
            KelTextReader reader(text);
            module_read_state(m, reader);
        }
        // Audio on the last input but for the phaser's external modulation; a clock at about 120 BPM.
        for (int k = 1; k <= inputs; ++k)
            for (int i = 0; i < kFrames; ++i)
                module_output(source, k)[i] = 0;
        const int audio = left->type_name == "phaser" ? 3 : inputs;
        for (int i = 0; i < kFrames; ++i)
            module_output(source, audio)[i] = 0.5f * std::sin(0.0372f * static_cast<float>(i));
        if (inputs >= 3)
            for (int i = 0; i < kFrames; ++i)
                module_output(source, 1)[i] = static_cast<float>((i / 46) % 2);
        for (int k = 0; k < 8; ++k)
            run(); // past the initial glides
    }
    ~StereoGraph() {
        module_free(root);
        wire_shop_free(shop);
    }
    void run() {
        left->process(left, kFrames);
        right->process(right, kFrames);
    }
};

void measure(benchmark::State& state, StereoGraph& g) {
    for (auto _ : state) {
        g.run();
        benchmark::ClobberMemory();
    }
    state.counters["per_stereo_sample"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kFrames,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Wah(benchmark::State& state) {
    StereoGraph g(
        [](const std::string& l) { return wah_create("44100 512 " + l); },
        ("cutoff 600 resonance 4.21163 depth 0.6 filter_selector " + std::to_string(state.range(0))).c_str());
    measure(state, g);
}
BENCHMARK(BM_Wah)->Arg(0)->Arg(5)->ArgName("selector");

void BM_AutoWah(benchmark::State& state) {
    StereoGraph g([](const std::string& l) { return auto_wah_create("44100 512 " + l); },
                  "cutoff 400 resonance 4.21163 depth 4 env_follow_freq 20 filter_selector 0");
    measure(state, g);
}
BENCHMARK(BM_AutoWah);

void BM_Distortion(benchmark::State& state) {
    StereoGraph g([](const std::string& l) { return distortion_create("44100 1024 " + l); },
                  "drive 2.79574 tone 1.3 level 0.431645 distortion_type 6");
    measure(state, g);
}
BENCHMARK(BM_Distortion);

void BM_Phaser(benchmark::State& state) {
    StereoGraph g(
        [](const std::string& l) { return phaser_create("44100 512 550. 0.5 0. 0. " + l); },
        "frequency 120 feedback 0.5 modulation 2 inverter 1 depth 0.503937 speed 43 external_lfo 0");
    measure(state, g);
}
BENCHMARK(BM_Phaser);

} // namespace

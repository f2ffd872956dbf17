// The built plug-in through its entry point, as a host drives it: 32 voices sounding,
// both effect slots and the reverb on, host blocks of 32, 64, 256 and 1024 frames.
// The same load straight into the instrument is BM_Instrument/voices:32/.../fx:1; beside
// it here, the floating-point guard with the reconfiguration gate alone: what the plug-in
// adds to a block must be lost in the noise at the smallest block a host asks for.
//
// Counters as bench/block_timing.h describes them.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/fp_guard.h"
#include "plugin/vst2_abi.h"
#include "bench/block_timing.h"

namespace {

constexpr int kRate = 44100;
constexpr int kVoices = 32;

intptr_t VST2_CALL host_callback(vst2::Effect*, int32_t opcode, int32_t, intptr_t, void*, float) {
    return opcode == vst2::kHostVersion ? vst2::kVersion : 0;
}

class PluginHost {
public:
    explicit PluginHost(int block) : block_(block), left_(size_t(block)), right_(size_t(block)) {
        library_ = dlopen(MELLORA_PLUGIN_SO, RTLD_NOW | RTLD_LOCAL);
        if (!library_) return;
        auto entry = reinterpret_cast<vst2::EntryProc>(dlsym(library_, "VSTPluginMain"));
        fx_ = entry ? entry(&host_callback) : nullptr;
        if (!fx_) return;
        dispatch(vst2::kEffVendorSpecific, vst2::kSeedRequest, 1234);
        dispatch(vst2::kEffOpen);
        dispatch(vst2::kEffSetSampleRate, 0, 0, nullptr, float(kRate));
        dispatch(vst2::kEffSetBlockSize, 0, block);
        for (const char* name : {"Effect A On/Off", "Effect B On/Off", "Reverb On/Off"})
            if (const int i = parameter(name); i >= 0) fx_->set_parameter(fx_, i, 1.0f);
        dispatch(vst2::kEffMainsChanged, 0, 1);
        events_.reserve(2 * kVoices);
        list_.resize((vst2::events_bytes(2 * kVoices) + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
        strike(false);
    }
    ~PluginHost() {
        if (fx_) {
            dispatch(vst2::kEffMainsChanged, 0, 0);
            dispatch(vst2::kEffClose);
        }
        if (library_) dlclose(library_);
    }
    bool ok() const { return fx_ != nullptr; }

    void render_block() {
        if (frames_since_strike_ >= kRate) {
            strike(true);
            frames_since_strike_ = 0;
        }
        if (!events_.empty()) {
            auto* list = reinterpret_cast<vst2::Events*>(list_.data());
            list->num_events = int32_t(events_.size());
            for (size_t i = 0; i < events_.size(); ++i)
                vst2::event_slots(list)[i] = reinterpret_cast<vst2::Event*>(&events_[i]);
            dispatch(vst2::kEffProcessEvents, 0, 0, list);
            events_.clear();
        }
        float* out[2] = {left_.data(), right_.data()};
        fx_->process_replacing(fx_, nullptr, out, block_);
        frames_since_strike_ += block_;
    }
    const float* output() const { return left_.data(); }

private:
    intptr_t dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr, float opt = 0) {
        return fx_->dispatcher(fx_, opcode, index, value, ptr, opt);
    }
    int parameter(const char* name) {
        for (int i = 0; i < fx_->num_params; ++i) {
            char text[64] = {};
            dispatch(vst2::kEffGetParamName, i, 0, text);
            if (std::strcmp(text, name) == 0) return i;
        }
        return -1;
    }
    // A chord of 32 keys two semitones apart, struck again every second so that the
    // voices never settle into a cheaper, decayed state.
    void strike(bool release_first) {
        for (int k = 0; k < kVoices; ++k) {
            const uint8_t key = uint8_t(36 + 2 * k);
            if (release_first) queue(0x80, key, 0);
            queue(0x90, key, 100);
        }
    }
    void queue(uint8_t status, uint8_t key, uint8_t velocity) {
        vst2::MidiEvent e{};
        e.type = vst2::kEventMidi;
        e.byte_size = sizeof e;
        e.midi_data[0] = char(status);
        e.midi_data[1] = char(key);
        e.midi_data[2] = char(velocity);
        events_.push_back(e);
    }

    void* library_ = nullptr;
    vst2::Effect* fx_ = nullptr;
    int block_;
    long frames_since_strike_ = 0;
    std::vector<float> left_, right_;
    std::vector<vst2::MidiEvent> events_;
    std::vector<std::max_align_t> list_;
};

void BM_Plugin(benchmark::State& state) {
    const int block = int(state.range(0));
    PluginHost host(block);
    if (!host.ok()) {
        state.SkipWithError("the plug-in could not be loaded");
        return;
    }
    bench::time_blocks(state, block, kRate, [&] {
        host.render_block();
        benchmark::DoNotOptimize(host.output());
    });
    state.SetLabel("plug-in, 32 voices, slots+reverb on");
}

BENCHMARK(BM_Plugin)->ArgName("block")->Arg(32)->Arg(64)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// What every plug-in block adds around the instrument: the guard's two register writes
// and the gate's three atomic operations. "ppm_of_32" is that cost in millionths of the
// duration of a 32-frame block.
void BM_GuardAndGate(benchmark::State& state) {
    std::atomic<int> audio_count{0}, control_count{0};
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        FloatingPointGuard guard;
        audio_count.fetch_add(1);
        benchmark::DoNotOptimize(control_count.load() == 0);
        audio_count.fetch_sub(1);
    }
    const double each = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() /
                        double(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["ppm_of_32"] = each / (32.0 / kRate) * 1e6;
}
BENCHMARK(BM_GuardAndGate);

} // namespace

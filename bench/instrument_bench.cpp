// The whole instrument with the built-in sound: 1, 8 and 32 voices sounding at 44.1 kHz,
// the effect slots and the reverb off or on, host blocks of 32, 64 and 512 frames.
//
// Counters as bench/block_timing.h describes them, and "voices_on".
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "engine/kel_simple_synth_queue.h"
#include "engine/midi_input_state.h"
#include "instrument/mellora_default_text.h"
#include "instrument/mellora_synth.h"
#include "modules/denormal_noise.h"
#include "bench/block_timing.h"

namespace {

constexpr int kRate = 44100;
constexpr int kEffectA = 616, kEffectB = 617, kReverb = 618, kOnOff = 0xffff;

struct Host {
    std::unique_ptr<MidiInputState> midi = std::make_unique<MidiInputState>();
    KelMidiEventQueue events{1024};
    KelSimpleSynthQueue messages;
    MelloraSynth synth;
    std::vector<float> left, right;
    int voices, block;
    long frames_since_strike = 0;

    Host(int voices_, int block_, bool effects) : left(size_t(block_)), right(size_t(block_)), voices(voices_), block(block_) {
        denormal_noise::set_fixed_seed(1234);
        synth.initialise(0, 0, nullptr, &messages, kRate, midi.get(), nullptr, MelloraSynth::kMaxVoices, 2);
        KelTextReader text(kMelloraDefaultInstrumentText);
        synth.read_state(1, text, true);
        for (int id : {kEffectA, kEffectB, kReverb}) synth.set_parameter_int(id, kOnOff, effects ? 1 : 0);
        strike(false);
    }
    // A chord of `voices` keys two semitones apart; struck again every second so the
    // voices never settle into a cheaper, decayed state.
    void strike(bool release_first) {
        for (int k = 0; k < voices; ++k) {
            const uint8_t key = uint8_t(36 + 2 * k);
            if (release_first) events.push(t_midi_event{0, 0x80, key, 0});
            events.push(t_midi_event{0, 0x90, key, 100});
        }
        frames_since_strike = 0;
    }
    void render_block() {
        if (frames_since_strike >= kRate) strike(true);
        midi->dispatch(events, uint32_t(block));
        synth.render(midi.get(), left.data(), right.data(), block);
        midi->endOfBlock();
        frames_since_strike += block;
    }
};

void BM_Instrument(benchmark::State& state) {
    const int voices = int(state.range(0)), block = int(state.range(1));
    const bool effects = state.range(2) != 0;
    Host host(voices, block, effects);
    bench::time_blocks(state, block, kRate, [&] {
        host.render_block();
        benchmark::DoNotOptimize(host.left.data());
    });
    state.counters["voices_on"] = host.synth.voice_block().active_count;
    state.SetLabel(effects ? "slots+reverb on" : "effects off");
}

BENCHMARK(BM_Instrument)
    ->ArgNames({"voices", "block", "fx"})
    ->ArgsProduct({{1, 8, 32}, {32, 64, 512}, {0, 1}})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0);

} // namespace

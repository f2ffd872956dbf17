// The voice keyboard with 32 voices rendering 1024-frame blocks, in nanoseconds per
// sample: held notes with nothing happening (steady voices are not rewritten), a busy
// block (a note struck and one released every block, the bend wheel moving), and
// four-fold unison with the arpeggiator running.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>

#include "analog/pm_polyvkey.h"
#include "engine/midi_input_state.h"
#include "engine/voice_block.h"

namespace {

constexpr int kBlock = 1024;
constexpr int kVoices = 32;

struct Graph {
    std::unique_ptr<MidiInputState> midi = std::make_unique<MidiInputState>();
    KelMidiEventQueue queue{kMidiEventQueueCapacity};
    t_voice_block block;
    t_module* root = module_create_generic("0 0 bench");
    t_module* keyboard = pm_polyvkey_create("44100 512 0.16666667 0 32 Keyboard");
    t_module* sink = module_alloc<t_module>(3 * kVoices, 0);
    wire_shop* shop = wire_shop_create(kBlock);

    Graph() {
        module_add_child(root, keyboard);
        module_add_child(root, sink);
        for (int o = 1; o <= 3 * kVoices; ++o)
            module_connect(keyboard, o, sink, o);
        wire_shop_assign_buffers(shop, root);
        intptr_t arg = reinterpret_cast<intptr_t>(&block);
        keyboard->control(keyboard, kKeyboardControlVoiceBlock, &arg, 1);
    }
    ~Graph() {
        module_free(root);
        wire_shop_free(shop);
    }
    void send(int id, int position) {
        t_message m = make_int_message(keyboard->id, id, position);
        module_dispatch_message(keyboard, &m);
    }
    void push(uint8_t status, uint8_t d1, uint8_t d2, uint32_t offset = 0) {
        queue.push(t_midi_event{offset, status, d1, d2});
    }
    void render() {
        midi->dispatch(queue, kBlock);
        intptr_t arg = reinterpret_cast<intptr_t>(midi.get());
        keyboard->control(keyboard, kKeyboardControlMidi, &arg, 1);
        keyboard->process(keyboard, kBlock);
        midi->endOfBlock();
    }
};

void per_sample(benchmark::State& state) {
    state.counters["ns_per_sample"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlock,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_KeyboardHeldNotes(benchmark::State& state) {
    Graph g;
    for (int n = 0; n < kVoices; ++n)
        g.push(0x90, static_cast<uint8_t>(40 + n), 100);
    for (int i = 0; i < 4; ++i)
        g.render();
    for (auto _ : state)
        g.render();
    per_sample(state);
}
BENCHMARK(BM_KeyboardHeldNotes);

void BM_KeyboardBusy(benchmark::State& state) {
    Graph g;
    int note = 0, wheel = 0;
    for (auto _ : state) {
        g.push(0x90, static_cast<uint8_t>(30 + note % 60), 90, 100);
        g.push(0x80, static_cast<uint8_t>(30 + (note + 40) % 60), 0, 500);
        wheel = (wheel + 977) % 16384;
        g.push(0xE0, static_cast<uint8_t>(wheel & 127), static_cast<uint8_t>(wheel >> 7));
        ++note;
        g.render();
    }
    per_sample(state);
}
BENCHMARK(BM_KeyboardBusy);

void BM_KeyboardUnisonArpeggio(benchmark::State& state) {
    Graph g;
    g.send(kKeyUnisonMode, 2);
    g.send(kKeyArpSync, 0);
    g.send(kKeyArpRate, 127);
    g.send(kKeyArpActive, 1);
    g.render();
    for (int n : {48, 52, 55, 60, 64, 67})
        g.push(0x90, static_cast<uint8_t>(n), 100);
    for (auto _ : state)
        g.render();
    per_sample(state);
}
BENCHMARK(BM_KeyboardUnisonArpeggio);

} // namespace

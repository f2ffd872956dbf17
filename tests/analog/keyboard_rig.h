#pragma once
// Test rig for the voice keyboard: MIDI goes through the MIDI input state as the
// instrument sends it, the keyboard renders into a small graph, and the rig keeps
// every output signal of the whole run for the assertions.
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "analog/pm_polyvkey.h"
#include "engine/midi_input_state.h"
#include "engine/voice_block.h"
#include "tests/modules/voice_fx_rig.h"
#include "tests/support/alloc_counter.h"

namespace keyboard_test {

inline std::string creation_line(int polyphony, float rate, float bend_octaves) {
    return std::to_string(static_cast<int>(rate)) + " 512 " + std::to_string(bend_octaves) + " 0 " +
           std::to_string(polyphony) + " Keyboard";
}

struct Reports : ModuleObserver {
    std::vector<int> told_ids;
    std::vector<std::pair<int, std::string>> strings;
    void told(t_module*, int id) override { told_ids.push_back(id); }
    void received_string(t_module*, int id, const std::string& v) override { strings.emplace_back(id, v); }
    bool was_told(int id) const {
        for (int t : told_ids)
            if (t == id) return true;
        return false;
    }
};

struct Keyboard {
    std::unique_ptr<MidiInputState> midi = std::make_unique<MidiInputState>();
    KelMidiEventQueue queue{kMidiEventQueueCapacity};
    t_voice_block block;
    Reports reports;
    int polyphony;
    float rate;
    voice_fx_test::Rig rig;
    voice_fx_test::TestClock clock;
    bool drive_clock = false;
    // outs[o] is output o+1 over the whole run.
    std::vector<std::vector<float>> outs;
    std::size_t allocations = 0;

    explicit Keyboard(int poly = 4, float sample_rate = 44100, float bend_octaves = 2.0f / 12)
        : polyphony(poly), rate(sample_rate),
          rig(pm_polyvkey_create(creation_line(poly, sample_rate, bend_octaves))), clock(sample_rate, 120) {
        rig.dut->observer = &reports;
        intptr_t arg = reinterpret_cast<intptr_t>(midi.get());
        rig.dut->control(rig.dut, kKeyboardControlMidi, &arg, 1);
        arg = reinterpret_cast<intptr_t>(&block);
        rig.dut->control(rig.dut, kKeyboardControlVoiceBlock, &arg, 1);
        outs.resize(3 * poly);
        for (auto& o : outs)
            o.reserve(1 << 18);
    }
    t_module* module() { return rig.dut; }

    void event(uint32_t offset, uint8_t status, uint8_t d1, uint8_t d2) {
        queue.push(t_midi_event{offset, status, d1, d2});
    }
    void on(int note, int velocity = 100, uint32_t offset = 0) {
        event(offset, 0x90, uint8_t(note), uint8_t(velocity));
    }
    void off(int note, uint32_t offset = 0) { event(offset, 0x80, uint8_t(note), 0); }
    void pedal(bool down, uint32_t offset = 0) { event(offset, 0xB0, 64, down ? 127 : 0); }
    void bend(int value) { event(0, 0xE0, uint8_t(value & 127), uint8_t(value >> 7)); }
    void send(int id, int position) { rig.send(id, position); }

    // Renders frames in host blocks of `block_size`, dispatching the queued MIDI into the
    // first; like the synth, it hands the input over before each host block and renders
    // sub-blocks of at most 1024 frames.
    void render(long frames, int block_size = 1024) {
        while (frames > 0) {
            const int host = static_cast<int>(std::min<long>(frames, block_size));
            midi->dispatch(queue, static_cast<uint32_t>(host));
            intptr_t arg = reinterpret_cast<intptr_t>(midi.get());
            rig.dut->control(rig.dut, kKeyboardControlMidi, &arg, 1);
            for (int done = 0; done < host;) {
                const int n = std::min(host - done, 1024);
                if (drive_clock) clock.fill(rig.in(1), n);
                {
                    mellora::test::AllocationCounter counter;
                    rig.run(n);
                    allocations += counter.count();
                }
                for (int o = 0; o < 3 * polyphony; ++o)
                    outs[o].insert(outs[o].end(), rig.out(o + 1), rig.out(o + 1) + n);
                done += n;
            }
            midi->endOfBlock();
            frames -= host;
        }
    }
    long now() const { return static_cast<long>(outs[0].size()); }
    float gate(int v, long t) const { return outs[3 * v][t]; }
    float pitch(int v, long t) const { return outs[3 * v + 1][t]; }
    float velocity(int v, long t) const { return outs[3 * v + 2][t]; }
    // Sample at which voice v's gate first rises at or after `from`; -1 if never.
    long rise(int v, long from = 0) const {
        const auto& g = outs[3 * v];
        for (long t = std::max(from, 1L); t < static_cast<long>(g.size()); ++t)
            if (g[t - 1] < 0.5f && g[t] >= 0.5f) return t;
        return g.size() > 0 && from == 0 && g[0] >= 0.5f ? 0 : -1;
    }
    int gates_up(long t) const {
        int n = 0;
        for (int v = 0; v < polyphony; ++v)
            n += gate(v, t) >= 0.5f;
        return n;
    }
    // The notes started (gate rises over all voices) in time order, as semitones from middle C.
    std::vector<int> played(long from = 0) const {
        std::vector<std::pair<long, int>> starts;
        for (int v = 0; v < polyphony; ++v)
            for (long t = std::max(from, 1L); t < now(); ++t)
                if (gate(v, t - 1) < 0.5f && gate(v, t) >= 0.5f)
                    starts.emplace_back(t, static_cast<int>(std::lround(pitch(v, t) * 12)) + 60);
        std::sort(starts.begin(), starts.end());
        std::vector<int> notes;
        for (auto& s : starts)
            notes.push_back(s.second);
        return notes;
    }
};

} // namespace keyboard_test

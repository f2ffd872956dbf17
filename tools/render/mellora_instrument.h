#pragma once
// The renderer's instrument: the complete electric piano with its built-in default
// sound, fed from the renderer's MIDI through the same queue and MIDI input state that
// the plug-in's host path uses.
#include <memory>

#include "engine/kel_simple_synth_queue.h"
#include "engine/midi_input_state.h"
#include "engine/port_notify.h"
#include "instrument/mellora_synth.h"
#include "tools/render/render_instrument.h"

namespace mellora::render {

class MelloraInstrument : public RenderInstrument {
public:
    MelloraInstrument();
    bool prepare(int sample_rate, int max_block, int polyphony, uint32_t seed, std::string& error) override;
    bool load_preset_text(std::string_view text, std::string& error) override;
    bool queue_midi(uint32_t frame_offset, uint8_t status, uint8_t data1, uint8_t data2) override;
    void render(float* left, float* right, int frames) override;

    MelloraSynth& synth() { return *synth_; }

private:
    std::unique_ptr<MidiInputState> midi_;
    std::unique_ptr<KelMidiEventQueue> events_;
    KelSimpleSynthQueue messages_;
    std::unique_ptr<MelloraSynth> synth_;
};

} // namespace mellora::render

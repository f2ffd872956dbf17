#pragma once
// The renderer's instrument until the complete electric piano exists: the kernel's demo
// graph (a constant tone through gains, the volumes and the output stage). It ignores
// MIDI, so a render is a steady level for the song's length and the tail cap.
#include "engine/demo_graph.h"
#include "tools/render/render_instrument.h"

namespace mellora::render {

class DemoGraphInstrument : public RenderInstrument {
public:
    bool prepare(int sample_rate, int max_block, int polyphony, uint32_t seed, std::string& error) override;
    bool load_preset_text(std::string_view text, std::string& error) override;
    bool queue_midi(uint32_t, uint8_t, uint8_t, uint8_t) override { return true; }
    void render(float* left, float* right, int frames) override;

    DemoSynth& synth() { return synth_; }

private:
    DemoSynth synth_;
    bool prepared_ = false;
};

} // namespace mellora::render

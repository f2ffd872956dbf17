#pragma once
// A headless VST 2.4 host as a render instrument: loads any Linux VST 2.4 instrument
// shared object and plays the renderer's MIDI through it, so the renderer can drive the
// built plug-in exactly as a host would (or any other instrument plug-in).
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/vst2_abi.h"
#include "tools/render/render_instrument.h"

namespace mellora::render {

class VstHostInstrument : public RenderInstrument {
public:
    // Events one block can carry; more in a block end it early (the renderer's rule).
    static constexpr int kMaxEvents = 512;

    VstHostInstrument();
    ~VstHostInstrument() override;
    VstHostInstrument(const VstHostInstrument&) = delete;
    VstHostInstrument& operator=(const VstHostInstrument&) = delete;

    // dlopens `path`, calls its entry point with our callback and opens the effect.
    // False with a one-line reason (missing file, no entry point, no effect, wrong magic,
    // not a plug-in with 2 outputs and a replacing render). Before the open, `seed` is
    // offered with our own vendor-specific request; plug-ins that do not know it seed
    // themselves.
    bool load(const std::string& path, std::string& error, uint32_t seed = 0);
    // After load, before playing: restores a saved chunk (effSetChunk, bank) and sets a
    // parameter by index. False with a one-line reason when the plug-in refuses the
    // chunk or has no such parameter; both are the user's input, so checked up front.
    bool restore_state(const std::vector<char>& chunk, std::string& error);
    bool set_parameter(int index, float value, std::string& error);

    bool prepare(int sample_rate, int max_block, int polyphony, uint32_t seed, std::string& error) override;
    bool load_preset_text(std::string_view text, std::string& error) override;
    bool queue_midi(uint32_t frame_offset, uint8_t status, uint8_t data1, uint8_t data2) override;
    void render(float* left, float* right, int frames) override;

    // The plug-in's chunk (effGetChunk, bank). False when it has none.
    bool get_state(std::vector<char>& out, std::string& error);
    // Suspends, closes the effect and unloads the library (also done by the destructor).
    void close();

    vst2::Effect* effect() { return effect_; }

private:
    static intptr_t VST2_CALL host_callback(vst2::Effect* effect, int32_t opcode, int32_t index, intptr_t value,
                                            void* ptr, float opt);
    intptr_t dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr, float opt = 0);

    void* library_ = nullptr;
    vst2::Effect* effect_ = nullptr;
    bool opened_ = false;
    bool resumed_ = false;
    double sample_rate_ = 44100;
    int max_block_ = 512;
    vst2::TimeInfo time_{};
    std::vector<vst2::MidiEvent> events_;
    std::vector<std::max_align_t> list_storage_;  // the Events list with kMaxEvents slots
    int queued_ = 0;
};

} // namespace mellora::render

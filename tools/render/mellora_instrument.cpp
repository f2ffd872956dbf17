#include "tools/render/mellora_instrument.h"

#include "engine/report.h"
#include "instrument/mellora_default_text.h"
#include "modules/denormal_noise.h"

namespace mellora::render {

namespace {
// Semitones: the plug-in's default. A render does not read the user's preferences, so
// the same song and seed give the same file on every machine.
constexpr int kPitchWheelRange = 1;
}

MelloraInstrument::MelloraInstrument()
    : midi_(std::make_unique<MidiInputState>()), events_(std::make_unique<KelMidiEventQueue>(kMidiEventQueueCapacity)) {}

bool MelloraInstrument::prepare(int sample_rate, int, int polyphony, uint32_t seed, std::string& error) {
    if (synth_) {
        error = "the instrument was already prepared";
        return false;
    }
    denormal_noise::seed_reproducibly(seed);
    auto synth = std::make_unique<MelloraSynth>();
    if (!synth->initialise(0, 0, nullptr, &messages_, sample_rate, midi_.get(), nullptr, polyphony,
                           kPitchWheelRange)) {
        error = "the instrument could not be built";
        return false;
    }
    KelTextReader in(kMelloraDefaultInstrumentText);
    if (!synth->read_state(1, in, true)) {
        error = "the built-in sound could not be read";
        return false;
    }
    synth_ = std::move(synth);
    return true;
}

bool MelloraInstrument::load_preset_text(std::string_view text, std::string& error) {
    if (!synth_) {
        error = "the instrument is not prepared";
        return false;
    }
    KelTextReader probe(text);
    if (probe.next_token() != synth_->root()->type_name || probe.next_token() != synth_->root()->name) {
        error = "not an instrument state text (it should begin with \"main_synth mo\")";
        return false;
    }
    const int errors = kel_error_count();
    KelTextReader in(text);
    if (!synth_->read_state(1, in, true) || kel_error_count() != errors) {
        error = "malformed instrument state text";
        return false;
    }
    return true;
}

bool MelloraInstrument::queue_midi(uint32_t frame_offset, uint8_t status, uint8_t data1, uint8_t data2) {
    return events_->push(t_midi_event{frame_offset, status, data1, data2});
}

void MelloraInstrument::render(float* left, float* right, int frames) {
    midi_->dispatch(*events_, static_cast<uint32_t>(frames));
    synth_->render(midi_.get(), left, right, frames);
    midi_->endOfBlock();
}

} // namespace mellora::render

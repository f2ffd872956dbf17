#include "tools/render/demo_instrument.h"

#include "engine/report.h"
#include "modules/denormal_noise.h"

namespace mellora::render {

bool DemoGraphInstrument::prepare(int sample_rate, int, int, uint32_t seed, std::string& error) {
    if (prepared_) {
        error = "the instrument was already prepared";
        return false;
    }
    denormal_noise::seed_reproducibly(seed);
    if (!synth_.build(sample_rate)) {
        error = "the demo graph could not be built";
        return false;
    }
    prepared_ = true;
    return true;
}

bool DemoGraphInstrument::load_preset_text(std::string_view text, std::string& error) {
    if (!prepared_) {
        error = "the instrument is not prepared";
        return false;
    }
    KelTextReader probe(text);
    const std::string_view type = probe.next_token();
    if (type != synth_.root()->type_name) {
        error = "not an instrument state text (it should begin with \"" + synth_.root()->type_name + "\")";
        return false;
    }
    const int errors = kel_error_count();
    KelTextReader in(text);
    if (!module_read_state(synth_.root(), in) || kel_error_count() != errors) {
        error = "malformed instrument state text";
        return false;
    }
    synth_.reset();  // a loaded preset starts from rest, as after a program change
    return true;
}

void DemoGraphInstrument::render(float* left, float* right, int frames) {
    synth_.render_block(left, right, frames);
}

} // namespace mellora::render

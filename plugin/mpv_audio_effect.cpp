#include "plugin/mpv_audio_effect.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "framework/ui_timer_loop.h"
#include "modules/denormal_noise.h"
#include "plugin/fp_guard.h"

namespace {

// Copies at most n characters and the terminating zero.
void copy_text(char* out, const std::string& text, std::size_t n) {
    const std::size_t len = text.size() < n ? text.size() : n;
    std::memcpy(out, text.data(), len);
    out[len] = 0;
}

}  // namespace

MpvAudioEffect::MpvAudioEffect(vst2::HostCallback host, int32_t programs, int32_t parameters, int32_t unique_id,
                               int32_t vendor_version, bool programs_are_chunks, int32_t inputs, int32_t outputs,
                               bool synth)
    : AudioEffectX(host, programs, parameters),
      vendor_version_(vendor_version),
      input_count_(inputs),
      output_count_(outputs) {
    setUniqueID(unique_id);
    setNumInputs(inputs);
    setNumOutputs(outputs);
    setInitialDelay(0);
    canProcessReplacing(true);
    programsAreChunks(programs_are_chunks);
    isSynth(synth);
    effect()->version = vendor_version;
    // The editor arrives with the window; until then the host sees none.
    hasEditor(false);
}

MpvAudioEffect::~MpvAudioEffect() { close(); }

bool MpvAudioEffect::ensure_open() {
    if (!opened_ && !opening_) open();
    return opened_;
}

void MpvAudioEffect::open() {
    FloatingPointGuard guard;
    opening_ = true;
    if (!opened_) {
        auto app = std::make_unique<MpvVst>(this);
        if (app->initialise(sample_rate_)) {
            application_ = std::move(app);
            opened_ = true;
        }
    }
    updateDisplay();
    opening_ = false;
}

void MpvAudioEffect::close() {
    FloatingPointGuard guard;
    suspend();
    if (opened_) {
        application_->terminate();
        application_.reset();
        opened_ = false;
    }
}

void MpvAudioEffect::suspend() {
    FloatingPointGuard guard;
    if (resumed_) {
        if (application_) application_->stop();
        resumed_ = false;
    }
}

void MpvAudioEffect::resume() {
    FloatingPointGuard guard;
    wantEvents(1);
    ensure_open();
    if (!resumed_) {
        if (application_) application_->start();
        resumed_ = true;
    }
}

void MpvAudioEffect::setSampleRate(float rate) {
    FloatingPointGuard guard;
    if (rate == sample_rate_) return;
    if (!std::isfinite(rate) || rate < 1.0f) return;  // a rate of 0 or NaN is no rate
    sample_rate_ = rate;
    if (ensure_open()) application_->set_sample_rate(rate);
}

void MpvAudioEffect::processReplacing(float** inputs, float** outputs, int32_t frames) {
    if (application_) {
        application_->process(inputs, outputs, frames, true);
    } else if (outputs && outputs[0] && outputs[1] && frames > 0) {
        // Not open (it failed, or the host renders first): replacing still means silence.
        std::memset(outputs[0], 0, sizeof(float) * static_cast<std::size_t>(frames));
        std::memset(outputs[1], 0, sizeof(float) * static_cast<std::size_t>(frames));
    }
}

void MpvAudioEffect::process(float** inputs, float** outputs, int32_t frames) {
    if (application_) application_->process(inputs, outputs, frames, false);
}

int32_t MpvAudioEffect::processEvents(vst2::Events* events) {
    if (application_) application_->process_events(events);
    return 1;
}

void MpvAudioEffect::setParameter(int32_t index, float value) {
    FloatingPointGuard guard;
    if (setting_program_ || setting_chunk_) return;
    if (ensure_open() && application_->parameters()) application_->parameters()->set_parameter(index, value);
}

float MpvAudioEffect::getParameter(int32_t index) {
    FloatingPointGuard guard;
    if (!ensure_open() || !application_->parameters()) return 0;
    return application_->parameter_value(index);
}

int32_t MpvAudioEffect::getProgram() { return application_ ? application_->current_program() : 0; }

void MpvAudioEffect::setProgram(int32_t program) {
    if (!application_ || program < 0 || program >= MpvVst::kPrograms) return;
    setting_program_ = true;
    application_->select_program(program);
    setting_program_ = false;
}

void MpvAudioEffect::setProgramName(const char* name) {
    if (!application_ || !name) return;
    application_->rename_current(std::string(name, strnlen(name, vst2::kMaxProgramNameLength - 1)));
}

void MpvAudioEffect::getProgramName(char* name) {
    if (!application_) {
        copy_text(name, "Default", 23);
        return;
    }
    copy_text(name, application_->program_name(application_->current_program()), 23);
}

void MpvAudioEffect::getParameterLabel(int32_t, char*) {
    // The unit is part of the display text; the host's buffer is left as it is.
}

void MpvAudioEffect::getParameterDisplay(int32_t index, char* text) {
    FloatingPointGuard guard;
    text[0] = 0;
    if (!ensure_open() || !application_->parameters()) return;
    copy_text(text, application_->parameter_display(index), MpvParameterSetVst::kHostDisplayLength);
}

void MpvAudioEffect::getParameterName(int32_t index, char* text) {
    text[0] = 0;
    if (!ensure_open() || !application_->parameters()) return;
    copy_text(text, application_->parameters()->parameter_name(index), MpvParameterSetVst::kHostNameLength);
}

int32_t MpvAudioEffect::getChunk(void** data, bool) {
    FloatingPointGuard guard;
    if (!ensure_open()) return 0;
    chunk_ = application_->state_text();
    *data = chunk_.data();
    return static_cast<int32_t>(chunk_.size());
}

int32_t MpvAudioEffect::setChunk(void* data, int32_t size, bool) {
    FloatingPointGuard guard;
    if (!ensure_open() || !data || size <= 0) return 0;
    // The host's bytes are valid only for this call: work on a copy.
    std::string text(static_cast<const char*>(data), static_cast<std::size_t>(size));
    setting_chunk_ = true;
    const bool ok = application_->load_state_text(text);
    setting_chunk_ = false;
    return ok ? 1 : 0;
}

bool MpvAudioEffect::canParameterBeAutomated(int32_t index) {
    return ensure_open() && application_->parameters() && application_->parameters()->can_be_automated(index);
}

bool MpvAudioEffect::getParameterProperties(int32_t index, vst2::ParameterProperties* p) {
    if (!ensure_open() || !application_->parameters() || !application_->parameters()->is_switch(index)) return false;
    p->flags = vst2::kParamIsSwitch;
    return true;
}

bool MpvAudioEffect::getProgramNameIndexed(int32_t, int32_t index, char* text) {
    if (!application_ || index < 0 || index >= MpvVst::kPrograms) return false;
    copy_text(text, application_->program_name(index), 23);
    return true;
}

bool MpvAudioEffect::getInputProperties(int32_t index, vst2::PinProperties* p) {
    if (index < 0 || index >= input_count_) return false;
    std::snprintf(p->label, sizeof p->label, "%s %1d", product_.c_str(), index + 1);
    p->flags = vst2::kPinIsActive | vst2::kPinIsStereo;
    return true;
}

bool MpvAudioEffect::getOutputProperties(int32_t index, vst2::PinProperties* p) {
    if (index < 0 || index >= output_count_) return false;
    std::snprintf(p->label, sizeof p->label, "%s %1d", product_.c_str(), index + 1);
    p->flags = vst2::kPinIsActive | vst2::kPinIsStereo;
    return true;
}

bool MpvAudioEffect::getEffectName(char* text) {
    copy_text(text, effect_name_, vst2::kMaxEffectNameLength - 1);
    return true;
}

bool MpvAudioEffect::getVendorString(char* text) {
    copy_text(text, vendor_, vst2::kMaxVendorStringLength - 1);
    return true;
}

bool MpvAudioEffect::getProductString(char* text) {
    copy_text(text, product_, vst2::kMaxProductStringLength - 1);
    return true;
}

int32_t MpvAudioEffect::canDo(const char* text) {
    if (strcasecmp(text, "receiveVstEvents") == 0 || strcasecmp(text, "receiveVstMidiEvent") == 0) return 1;
    return -1;
}

void MpvAudioEffect::automateParameter(int32_t index, float value) {
    if (setting_program_ || setting_chunk_) return;
    setParameterAutomated(index, value);
}

intptr_t MpvAudioEffect::dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
    // The user-interface thread's timers (the notification drain) tick on host calls
    // from that thread; the audio thread's processEvents never pumps them.
    if (opcode != vst2::kEffProcessEvents) kel_ui_timer_loop().pump();
    if (opcode == vst2::kEffVendorSpecific && index == vst2::kSeedRequest) return fix_noise_seed(value) ? 1 : 0;
    return AudioEffectX::dispatch(opcode, index, value, ptr, opt);
}

bool MpvAudioEffect::fix_noise_seed(intptr_t value) {
    // The noise of every module is drawn when the instrument is built: too late once open.
    if (opened_) return false;
    // The same seeding the renderer gives the instrument it plays directly.
    denormal_noise::seed_reproducibly(static_cast<uint32_t>(value));
    return true;
}

MelloraAudioEffect::MelloraAudioEffect(vst2::HostCallback host, int32_t vendor_version)
    : MpvAudioEffect(host, MpvVst::kPrograms, 59, kUniqueId, vendor_version, true, 0, 2, true) {}

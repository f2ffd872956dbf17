#include "tools/render/vst_host_instrument.h"

#include <dlfcn.h>

#include <cstring>
#include <sys/stat.h>

namespace mellora::render {

namespace {

// The host whose entry call is running: the plug-in may call back before the record
// exists (with a null effect), so the callback cannot find us through host_user yet.
thread_local VstHostInstrument* t_loading = nullptr;

constexpr double kTempo = 120.0;  // MIDI file tempo is already in frames; plug-ins see a fixed 120

} // namespace

VstHostInstrument::VstHostInstrument() : events_(kMaxEvents) {
    const std::size_t bytes = vst2::events_bytes(kMaxEvents);
    list_storage_.resize((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    auto* list = reinterpret_cast<vst2::Events*>(list_storage_.data());
    vst2::Event** slots = vst2::event_slots(list);
    for (int i = 0; i < kMaxEvents; ++i) slots[i] = reinterpret_cast<vst2::Event*>(&events_[i]);
}

VstHostInstrument::~VstHostInstrument() { close(); }

intptr_t VstHostInstrument::dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
    return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
}

intptr_t VST2_CALL VstHostInstrument::host_callback(vst2::Effect* effect, int32_t opcode, int32_t, intptr_t,
                                                    void*, float) {
    if (opcode == vst2::kHostVersion) return vst2::kVersion;
    VstHostInstrument* self = effect && effect->host_user ? static_cast<VstHostInstrument*>(effect->host_user)
                                                          : t_loading;
    if (!self) return 0;
    switch (opcode) {
        case vst2::kHostGetTime: return reinterpret_cast<intptr_t>(&self->time_);
        case vst2::kHostGetSampleRate: return static_cast<intptr_t>(self->sample_rate_);
        case vst2::kHostGetBlockSize: return self->max_block_;
        case vst2::kHostWantMidi: return 1;
        default: return 0;
    }
}

bool VstHostInstrument::load(const std::string& path, std::string& error, uint32_t seed) {
    close();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = "plug-in " + path + ": no such file";
        return false;
    }
    library_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library_) {
        const char* why = ::dlerror();
        error = "plug-in " + path + ": cannot be loaded (" + (why ? why : "unknown reason") + ")";
        return false;
    }
    void* entry = ::dlsym(library_, "VSTPluginMain");
    if (!entry) entry = ::dlsym(library_, "main");
    if (!entry) {
        error = "plug-in " + path + ": no VSTPluginMain or main entry point";
        close();
        return false;
    }
    vst2::EntryProc proc;
    std::memcpy(&proc, &entry, sizeof proc);
    t_loading = this;
    vst2::Effect* effect = proc(&VstHostInstrument::host_callback);
    t_loading = nullptr;
    if (!effect) {
        error = "plug-in " + path + ": the entry point returned no effect";
        close();
        return false;
    }
    if (effect->magic != vst2::kMagic) {
        error = "plug-in " + path + ": not a VST 2.4 effect (wrong magic number)";
        close();  // never touch a record we do not understand
        return false;
    }
    effect_ = effect;
    effect_->host_user = this;
    t_loading = this;
    dispatch(vst2::kEffVendorSpecific, vst2::kSeedRequest, static_cast<intptr_t>(seed));
    dispatch(vst2::kEffOpen);
    t_loading = nullptr;
    opened_ = true;
    if (effect_->num_outputs < 1 || !(effect_->flags & vst2::kEffectFlagCanReplacing) ||
        !effect_->process_replacing) {
        error = "plug-in " + path + ": has no replacing audio output";
        close();
        return false;
    }
    return true;
}

bool VstHostInstrument::prepare(int sample_rate, int max_block, int, uint32_t, std::string& error) {
    if (!effect_) {
        error = "no plug-in loaded";
        return false;
    }
    if (resumed_) {
        dispatch(vst2::kEffMainsChanged, 0, 0);
        resumed_ = false;
    }
    sample_rate_ = sample_rate;
    max_block_ = max_block;
    dispatch(vst2::kEffSetSampleRate, 0, 0, nullptr, static_cast<float>(sample_rate));
    dispatch(vst2::kEffSetBlockSize, 0, max_block);
    time_ = vst2::TimeInfo{};
    time_.sample_rate = sample_rate;
    time_.tempo = kTempo;
    time_.time_sig_numerator = 4;
    time_.time_sig_denominator = 4;
    time_.flags = vst2::kTimeTransportPlaying | vst2::kTimePpqPosValid | vst2::kTimeTempoValid |
                  vst2::kTimeTimeSigValid | vst2::kTimeTransportChanged;
    dispatch(vst2::kEffMainsChanged, 0, 1);
    resumed_ = true;
    queued_ = 0;
    return true;
}

bool VstHostInstrument::restore_state(const std::vector<char>& chunk, std::string& error) {
    std::vector<char> copy(chunk);  // the plug-in may keep or modify what it is given
    if (!effect_ || copy.empty() ||
        dispatch(vst2::kEffSetChunk, 0, static_cast<intptr_t>(copy.size()), copy.data()) == 0) {
        error = "the plug-in refused the saved state";
        return false;
    }
    return true;
}

bool VstHostInstrument::set_parameter(int index, float value, std::string& error) {
    if (!effect_ || index < 0 || index >= effect_->num_params) {
        error = "--param " + std::to_string(index) + ": the plug-in has " +
                std::to_string(effect_ ? effect_->num_params : 0) + " parameters";
        return false;
    }
    effect_->set_parameter(effect_, index, value);
    return true;
}

bool VstHostInstrument::load_preset_text(std::string_view text, std::string& error) {
    // A state text is the plug-in's chunk (for our own plug-in, exactly the preset file).
    std::vector<char> bytes(text.begin(), text.end());
    if (dispatch(vst2::kEffSetChunk, 0, static_cast<intptr_t>(bytes.size()), bytes.data()) == 0) {
        error = "the plug-in refused the preset";
        return false;
    }
    return true;
}

bool VstHostInstrument::queue_midi(uint32_t frame_offset, uint8_t status, uint8_t data1, uint8_t data2) {
    if (queued_ >= kMaxEvents) return false;
    vst2::MidiEvent& e = events_[static_cast<std::size_t>(queued_++)];
    e = vst2::MidiEvent{};
    e.type = vst2::kEventMidi;
    e.byte_size = sizeof(vst2::MidiEvent);
    e.delta_frames = static_cast<int32_t>(frame_offset);
    e.midi_data[0] = status;
    e.midi_data[1] = data1;
    e.midi_data[2] = data2;
    return true;
}

void VstHostInstrument::render(float* left, float* right, int frames) {
    if (queued_ > 0) {
        auto* list = reinterpret_cast<vst2::Events*>(list_storage_.data());
        list->num_events = queued_;
        list->reserved = 0;
        dispatch(vst2::kEffProcessEvents, 0, 0, list);
        queued_ = 0;
    }
    time_.ppq_pos = time_.sample_pos / sample_rate_ * (kTempo / 60.0);
    float* outputs[2] = {left, right};
    float* inputs[2] = {left, right};  // an instrument has no inputs; never read
    std::memset(left, 0, sizeof(float) * static_cast<std::size_t>(frames));
    std::memset(right, 0, sizeof(float) * static_cast<std::size_t>(frames));
    if (effect_->num_outputs >= 2) {
        effect_->process_replacing(effect_, inputs, outputs, frames);
    } else {
        effect_->process_replacing(effect_, inputs, outputs, frames);
        std::memcpy(right, left, sizeof(float) * static_cast<std::size_t>(frames));
    }
    time_.sample_pos += frames;
    time_.flags &= ~vst2::kTimeTransportChanged;
}

bool VstHostInstrument::get_state(std::vector<char>& out, std::string& error) {
    void* data = nullptr;
    const intptr_t bytes = effect_ ? dispatch(vst2::kEffGetChunk, 0, 0, &data) : 0;
    if (bytes <= 0 || !data) {
        error = "the plug-in gave no state chunk";
        return false;
    }
    const char* p = static_cast<const char*>(data);
    out.assign(p, p + bytes);
    return true;
}

void VstHostInstrument::close() {
    if (effect_) {
        if (resumed_) dispatch(vst2::kEffMainsChanged, 0, 0);
        if (opened_) dispatch(vst2::kEffClose);  // the plug-in frees its record here
    }
    resumed_ = opened_ = false;
    effect_ = nullptr;
    if (library_) ::dlclose(library_);
    library_ = nullptr;
}

} // namespace mellora::render

#include "plugin/audio_effect.h"

#include <cstring>

struct AudioEffectEntries {
    static intptr_t VST2_CALL dispatcher(vst2::Effect* e, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                         float opt) {
        AudioEffect* fx = AudioEffect::from(e);
        if (!fx) return 0;
        try {
            if (opcode == vst2::kEffClose) {
                // The host frees nothing itself: close ends the object's life.
                fx->close();
                delete fx;
                return 1;
            }
            return fx->dispatch(opcode, index, value, ptr, opt);
        } catch (...) {
            return 0;
        }
    }
    static void VST2_CALL process(vst2::Effect* e, float** in, float** out, int32_t frames) {
        AudioEffect* fx = AudioEffect::from(e);
        if (!fx || frames <= 0) return;
        try {
            fx->process(in, out, frames);
        } catch (...) {
        }
    }
    static void VST2_CALL process_replacing(vst2::Effect* e, float** in, float** out, int32_t frames) {
        AudioEffect* fx = AudioEffect::from(e);
        if (!fx || frames <= 0) return;
        try {
            fx->processReplacing(in, out, frames);
        } catch (...) {
        }
    }
    static void VST2_CALL set_parameter(vst2::Effect* e, int32_t index, float value) {
        AudioEffect* fx = AudioEffect::from(e);
        if (!fx) return;
        try {
            fx->setParameter(index, value);
        } catch (...) {
        }
    }
    static float VST2_CALL get_parameter(vst2::Effect* e, int32_t index) {
        AudioEffect* fx = AudioEffect::from(e);
        if (!fx) return 0;
        try {
            return fx->getParameter(index);
        } catch (...) {
            return 0;
        }
    }
};

AudioEffect::AudioEffect(vst2::HostCallback host, int32_t programs, int32_t parameters) : host_(host) {
    effect_.magic = vst2::kMagic;
    effect_.dispatcher = &AudioEffectEntries::dispatcher;
    effect_.process = &AudioEffectEntries::process;
    effect_.set_parameter = &AudioEffectEntries::set_parameter;
    effect_.get_parameter = &AudioEffectEntries::get_parameter;
    effect_.process_replacing = &AudioEffectEntries::process_replacing;
    effect_.num_programs = programs;
    effect_.num_params = parameters;
    effect_.num_inputs = 1;
    effect_.num_outputs = 2;
    effect_.io_ratio = 1.0f;
    effect_.object = this;
    effect_.version = 1;
}

AudioEffect::~AudioEffect() { effect_.object = nullptr; }

AudioEffect* AudioEffect::from(vst2::Effect* e) {
    if (!e || e->magic != vst2::kMagic) return nullptr;
    return static_cast<AudioEffect*>(e->object);
}

intptr_t AudioEffect::call_host(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
    return host_ ? host_(&effect_, opcode, index, value, ptr, opt) : 0;
}

void AudioEffect::setParameterAutomated(int32_t index, float value) {
    setParameter(index, value);
    call_host(vst2::kHostAutomate, index, 0, nullptr, value);
}

intptr_t AudioEffect::dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
    char* text = static_cast<char*>(ptr);
    switch (opcode) {
    case vst2::kEffOpen: open(); return 0;
    case vst2::kEffSetProgram:
        if (value >= 0 && value < effect_.num_programs) setProgram(static_cast<int32_t>(value));
        return 0;
    case vst2::kEffGetProgram: return getProgram();
    case vst2::kEffSetProgramName:
        if (text) setProgramName(text);
        return 0;
    case vst2::kEffGetProgramName:
        if (text) getProgramName(text);
        return 0;
    case vst2::kEffGetParamLabel:
        if (text) getParameterLabel(index, text);
        return 0;
    case vst2::kEffGetParamDisplay:
        if (text) getParameterDisplay(index, text);
        return 0;
    case vst2::kEffGetParamName:
        if (text) getParameterName(index, text);
        return 0;
    case vst2::kEffSetSampleRate: setSampleRate(opt); return 0;
    case vst2::kEffSetBlockSize: setBlockSize(static_cast<int32_t>(value)); return 0;
    case vst2::kEffMainsChanged:
        if (value) resume();
        else suspend();
        return 0;
    case vst2::kEffGetChunk:
        if (!ptr) return 0;
        return getChunk(static_cast<void**>(ptr), index != 0);
    case vst2::kEffSetChunk:
        if (!ptr || value <= 0 || value > INT32_MAX) return 0;
        return setChunk(ptr, static_cast<int32_t>(value), index != 0);
    default: return 0;
    }
}

intptr_t AudioEffectX::dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
    char* text = static_cast<char*>(ptr);
    switch (opcode) {
    case vst2::kEffProcessEvents: return ptr ? processEvents(static_cast<vst2::Events*>(ptr)) : 0;
    case vst2::kEffCanBeAutomated: return canParameterBeAutomated(index) ? 1 : 0;
    case vst2::kEffGetProgramNameIndexed: return text && getProgramNameIndexed(static_cast<int32_t>(value), index, text);
    case vst2::kEffCopyProgram: return copyProgram(index) ? 1 : 0;
    case vst2::kEffGetInputProperties:
        return ptr && getInputProperties(index, static_cast<vst2::PinProperties*>(ptr)) ? 1 : 0;
    case vst2::kEffGetOutputProperties:
        return ptr && getOutputProperties(index, static_cast<vst2::PinProperties*>(ptr)) ? 1 : 0;
    case vst2::kEffGetPlugCategory: return getPlugCategory();
    case vst2::kEffGetEffectName: return text && getEffectName(text) ? 1 : 0;
    case vst2::kEffGetVendorString: return text && getVendorString(text) ? 1 : 0;
    case vst2::kEffGetProductString: return text && getProductString(text) ? 1 : 0;
    case vst2::kEffGetVendorVersion: return getVendorVersion();
    case vst2::kEffCanDo: return text ? canDo(text) : 0;
    case vst2::kEffGetTailSize: return getTailSize();
    case vst2::kEffGetParameterProperties:
        return ptr && getParameterProperties(index, static_cast<vst2::ParameterProperties*>(ptr)) ? 1 : 0;
    case vst2::kEffGetVstVersion: return vst2::kVersion;
    case vst2::kEffGetMidiProgramName:
        return ptr ? getMidiProgramName(index, static_cast<vst2::MidiProgramName*>(ptr)) : 0;
    default: return AudioEffect::dispatch(opcode, index, value, ptr, opt);
    }
}

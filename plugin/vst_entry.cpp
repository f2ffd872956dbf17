// The shared object's two exported symbols: the entry point and its legacy name.
#include <new>

#include "plugin/mpv_audio_effect.h"
#include "prepatched_common/prepatched_registry.h"

namespace {

vst2::Effect* create_effect(vst2::HostCallback host) {
    if (!host) return nullptr;
    try {
        // A host answering 0 does not speak this interface.
        if (host(nullptr, vst2::kHostVersion, 0, 0, nullptr, 0) == 0) return nullptr;
        // The settings object: made by the first call, kept until the module is unloaded.
        PrepatchedVstRegistry::processInstance();
        auto* fx = new (std::nothrow) MelloraAudioEffect(host, 3);
        return fx ? fx->effect() : nullptr;
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

extern "C" {
__attribute__((visibility("default"))) vst2::Effect* VSTPluginMain(vst2::HostCallback host) {
    return create_effect(host);
}
// The old name; "main" cannot be declared as an ordinary C++ function of this type.
__attribute__((visibility("default"))) vst2::Effect* mellora_legacy_main(vst2::HostCallback host) asm("main");
vst2::Effect* mellora_legacy_main(vst2::HostCallback host) { return create_effect(host); }
}

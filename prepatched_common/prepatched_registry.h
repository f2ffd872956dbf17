#pragma once
// Named settings of the pre-patched instrument layer, and the plug-in's concrete
// settings object.
//
// Threads: the user-interface thread and the host's open/close thread only.
#include <memory>
#include <string>

#include "audio_port_manager/audio_port_mgr_registry.h"
#include "framework/kel_registry.h"

class PrepatchedRegistry : public virtual AudioPortMgrRegistry {
public:
    // The pitch wheel's range in semitones, given to the keyboard when the instrument is
    // built; 1 when missing, no range of its own (the keyboard bounds its depth).
    static int getPitchBendRange();
    static void setPitchBendRange(int semitones);

protected:
    PrepatchedRegistry() = default;
};

class PrepatchedVstRegistry : public PrepatchedRegistry, public MpvRegistry {
public:
    // "Mellora", "Mellora", "3.0", ".mx3", "mellora-3-exchange-file".
    static KelRegistry::Product product();

    // Over any store (tests, tools); the first one made registers itself.
    PrepatchedVstRegistry(std::unique_ptr<KelSettingsStore> store, std::string module_path);

    // The plug-in's object over the per-user and machine settings files, made on the
    // first call (the first call of the entry point) and destroyed when the module is
    // unloaded. Safe to call from several host threads at once.
    static PrepatchedVstRegistry& processInstance();
};

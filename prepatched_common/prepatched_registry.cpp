#include "prepatched_common/prepatched_registry.h"

#include "framework/folders.h"

int PrepatchedRegistry::getPitchBendRange() {
    int semitones = 1;
    if (KelRegistry* r = instance()) r->readInt(kKelSettingsUser, "Pitch_Bend_Range", semitones);
    return semitones;
}

void PrepatchedRegistry::setPitchBendRange(int semitones) {
    if (KelRegistry* r = instance()) r->writeInt(kKelSettingsUser, "Pitch_Bend_Range", semitones);
}

KelRegistry::Product PrepatchedVstRegistry::product() {
    return {"Mellora", "Mellora", "3.0", ".mx3", "mellora-3-exchange-file"};
}

PrepatchedVstRegistry::PrepatchedVstRegistry(std::unique_ptr<KelSettingsStore> store, std::string module_path)
    : KelRegistry(product(), std::move(store), std::move(module_path)) {}

PrepatchedVstRegistry& PrepatchedVstRegistry::processInstance() {
    static PrepatchedVstRegistry registry = [] {
        const Product p = product();
        std::string module;
        kel_module_path(module);
        return PrepatchedVstRegistry(
            std::make_unique<KelFileSettingsStore>(KelFileSettingsStore::for_product(p.key_name, p.version)),
            std::move(module));
    }();
    return registry;
}

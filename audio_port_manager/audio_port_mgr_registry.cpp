#include "audio_port_manager/audio_port_mgr_registry.h"

int AudioPortMgrRegistry::getMidiChannel() {
    int channel = 1;
    if (KelRegistry* r = instance()) r->readInt(kKelSettingsUser, "Midi_Channel", channel);
    return channel < 1 || channel > 16 ? 1 : channel;
}

void AudioPortMgrRegistry::setMidiChannel(int channel) {
    if (KelRegistry* r = instance()) r->writeInt(kKelSettingsUser, "Midi_Channel", channel < 1 || channel > 16 ? 1 : channel);
}

bool AudioPortMgrRegistry::getOmniMode() {
    bool on = true;
    if (KelRegistry* r = instance()) r->readBool(kKelSettingsUser, "Omni_Mode", on);
    return on;
}

void AudioPortMgrRegistry::setOmniMode(bool on) {
    if (KelRegistry* r = instance()) r->writeBool(kKelSettingsUser, "Omni_Mode", on);
}

bool AudioPortMgrRegistry::getAudioDefault(std::string& out) {
    KelRegistry* r = instance();
    return r && r->readText(kKelSettingsUser, "Audio_Default", out);
}

void AudioPortMgrRegistry::setAudioDefault(std::string_view selection) {
    if (KelRegistry* r = instance()) r->writeText(kKelSettingsUser, "Audio_Default", selection);
}

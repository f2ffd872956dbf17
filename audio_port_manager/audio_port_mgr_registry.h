#pragma once
// Named settings of the port layer (static; through the process-wide settings object).
// Threads: the user-interface thread and the host's open/close thread only.
#include <string>
#include <string_view>

#include "framework/kel_registry.h"

class AudioPortMgrRegistry : public virtual KelRegistry {
public:
    // The MIDI receive channel 1..16; 1 when missing or out of range, and a write
    // outside the range stores 1.
    static int getMidiChannel();
    static void setMidiChannel(int channel);
    static bool getOmniMode();  // true
    static void setOmniMode(bool on);
    // The saved audio port selection; false when none was saved.
    static bool getAudioDefault(std::string& out);
    static void setAudioDefault(std::string_view selection);

protected:
    AudioPortMgrRegistry() = default;
};

#pragma once
// "noise_damper": the thump of the damper felt leaving the tine when the key goes down
// and falling back onto it when the key comes up: low-passed positive noise under a
// two-stage envelope, (1 - balance) * strength at key-down and balance * strength at
// release, both held back while the sustain pedal keeps the dampers off.
//
// Inputs: 1 gate, 2 hold gate, 3 pitch (octaves), 4 not read. Output: 1 damper noise.
//
// Threads: created on the user-interface thread; everything else runs on the audio
// thread and allocates nothing (the settings text aside).
#include <cstdint>
#include <string_view>

#include "engine/midi_channel_source.h"
#include "engine/modular.h"

// MIDI binding shared by the damper and the fork: control kind 0 with
// args = {MidiChannelSource*, flag}. Only flag 0 is accepted: the source is stored and
// the channel taken from it (16 when it listens to every channel). Query kind 0
// answers channel index + 1.
struct t_midi_binding {
    int channel_index = 16;  // 0..15, or 16 when unbound or omni
    MidiChannelSource* source = nullptr;
};
int midi_binding_control(t_midi_binding& b, int kind, const intptr_t* args, int nargs);
int midi_binding_query(const t_midi_binding& b, int kind);

enum : int { kMidiBindControl = 0, kMidiChannelQuery = 0 };

// Descriptor "%f %d %f %f %63s": sample rate, unused integer, cutoff (Hz), strength, name.
// Null, with an error report, when the line does not hold those fields.
t_module* noise_damper_create(std::string_view line);

// Event ids (controller positions 0..127).
enum : int {
    kDamperCutoff = 1,
    kDamperStrength = 2,
    kDamperBalance = 3,
};

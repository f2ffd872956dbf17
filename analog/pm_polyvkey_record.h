#pragma once
// The voice keyboard's record, shared by its block processing (pm_polyvkey.cpp) and
// its settings (pm_polyvkey_settings.cpp). Private to the keyboard.
#include <cstdint>
#include <memory>
#include <vector>

#include "analog/arpeggiator.h"
#include "analog/keyboard_tuning.h"
#include "analog/sustain_pedal.h"
#include "analog/unison_rings.h"
#include "analog/voice_allocator.h"
#include "engine/midi_input_state.h"
#include "engine/modular.h"
#include "engine/voice_block.h"
#include "modules/parameter.h"

namespace pm_polyvkey_internal {

using IntParam = Parameter_T<LinearDriver, ParameterIntValue>;
using FloatParam = Parameter_T<LinearDriver, ParameterFloatValue>;
using SmoothParam = SmoothParameter_T<LinearDriver>;
using SmoothExpParam = SmoothParameter_T<ExponentialDriver>;

constexpr int kMaxVoices = t_voice_block::kCapacity;
constexpr int kNotes = 128;
constexpr int kMaxBlock = 1024;
constexpr int kRestrikeGap = 400; // samples of gate low before a stolen voice strikes again
constexpr int kNoteGap = 16;      // samples of gate low before any other note-on
constexpr int kBendRamp = 800;    // samples over which a bend change glides
constexpr int kSmoothBlocks = 8;  // blocks over which the smoothed settings glide
constexpr float kMiddleCHz = 261.6255653f;
constexpr int kMaxKeyEvents = MidiChannelState::kMaxNotes + kNotes; // a block's notes + pedal releases
constexpr int kMaxArpEvents = 4096;
constexpr int kMaxVoiceEvents = 2 * kMaxArpEvents; // a re-strike adds the old voice's note-off

struct t_mono_note {
    uint32_t sequence = 0; // order of the note-ons; 0: not held
    int velocity = 0;
};

struct t_voice_out {
    float gate_target = 0, pitch = 0, velocity = 0;
    int note = -1;
    int gap = 0;              // gate-low samples left before the gate follows its target
    int filled = 0;           // samples of the output buffers that already hold the steady values
    bool pitch_dirty = false; // only the pitch buffer was changed since (by the bend)
};

struct t_voice_event {
    int32_t frame;
    int16_t voice, note;
    int16_t velocity; // 0: note-off
};

struct t_polyvkey : t_module {
    float sample_rate = 44100;
    int polyphony = 4;

    std::vector<std::unique_ptr<Parameter>> owned;
    IntParam* arp_steps[16] = {};
    IntParam *arp_length, *arp_octave_range, *arp_octave_span, *arp_note_order, *arp_sync, *arp_latch;
    SmoothParam* arp_rate;
    IntParam* digits[5] = {};
    IntParam *tuning_int, *tuning_dec, *tuning_type, *note_ref, *octave_detune, *semitone_detune;
    FloatParam *tuning_fine, *stretch, *error, *velocity_curve, *bend_depth_param;
    IntParam *mono_poly, *voice_mode, *arp_active, *unison_mode, *hold_pedal, *scala_load, *usable_param;
    SmoothExpParam *unison_detune, *unison_delay;

    CKeyboardTuning tuning;
    std::unique_ptr<VoiceAllocator> allocators[3][3]; // voice mode x unison mode
    VoiceAllocator* allocator = nullptr;
    CArpeggiator arp;

    MidiInputState* midi = nullptr;
    int channel = MidiInputState::kAnyChannel;
    bool follow_input = true;
    t_voice_block* voice_block = nullptr;
    // Where this sub-block starts in the host block: the channel's note offsets count
    // from the host block's start, and a host block may span several sub-blocks.
    int block_position = 0;
    int note_cursor = 0; // channel note events already taken in this host block
    bool reset_taken = false;

    CSustainPedal sustain;
    t_mono_note mono[kNotes];
    uint32_t mono_sequence = 0;
    int mono_note = -1;
    int64_t now = 0; // samples rendered, for the re-strike timers
    uint32_t random = 0x9e3779b9u;

    t_voice_out out[kMaxVoices];
    int usable = 2;  // voices the allocator may use (before unison)
    int primary = 2; // voices that play notes; the unison copies follow them
    float bend_depth = 0;
    float bend_offset = 0, bend_target = 0, bend_step = 0;
    int bend_remaining = 0;
    float last_base = 0;

    int last_voice_mode = -1, last_unison_mode = 0, last_mono_poly = 1, last_arp_active = 0;
    bool usable_changed = false;

    CUnisonRings rings; // for the primary voices that unison copies

    t_key_event key_events[kMaxKeyEvents];
    t_key_event arp_events[kMaxArpEvents];
    t_voice_event voice_events[kMaxVoiceEvents];
    int voice_event_order[kMaxVoiceEvents];
    int voice_event_start[kMaxVoices + 1];
};

inline t_polyvkey* self(t_module* m) {
    return static_cast<t_polyvkey*>(m);
}
inline int ival(const IntParam* p) {
    return static_cast<int>(p->value());
}
inline int unison_factor(int mode) {
    return mode == 2 ? 4 : mode == 1 ? 2 : 1;
}

// Settings (pm_polyvkey_settings.cpp).
void register_parameters(t_polyvkey* k, float bend_range);
// Reports one setting to the observer, as a string when its flags say so.
void report(t_module* m, int id);
// The reference frequency shown on the panel, split into five digits down to tenths of Hz.
void update_reference_digits(t_polyvkey* k);
void parameter_changed(t_module* mod, int id, int origin);
void read_parameters(t_module* mod, KelTextReader& in);

} // namespace pm_polyvkey_internal

#pragma once
// "pm_polyvkey", the voice keyboard (instance Keyboard): the instrument's only MIDI-driven
// module. Once per sub-block it reads the note events of its MIDI channel, applies the
// sustain pedal, runs the optional arpeggiator, assigns the notes to voices (polyphonic
// through the voice allocators, or monophonic with a note priority) and writes three
// control signals per voice: gate (0 or 1), pitch (octaves relative to middle C,
// 261.6255653 Hz) and velocity (0..1). It also makes the unison copies, adds pitch
// bend and owns the tuning.
//
// Creation line "%f %d %f %d %d %63s": sample rate, buffer-size number, pitch-wheel
// range in octaves, initial-hold count, polyphony P (1..32), name. Input 1: the master
// clock. Outputs: for voice i, 3i+1 gate, 3i+2 pitch, 3i+3 velocity.
//
// Threads: created on the user-interface thread (it allocates the unison rings there);
// process, messages, reset and the control calls run on the audio thread and allocate
// nothing. State text and pm_polyvkey_load_scala_file allocate: they run while no
// render uses the module (the document holds the render off).
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/modular.h"

class MidiInputState;
struct t_voice_block;

enum : int {
    // control(m, 0, {MidiInputState*}, 1): the MIDI input; query kind 0 answers the
    // keyboard's channel + 1 (17 for all channels) so the synth holds it first.
    kKeyboardControlMidi = 0,
    kKeyboardQueryChannel = 0,
    // control(m, 6, {t_voice_block*}, 1): the voice block whose voices the keyboard starts.
    kKeyboardControlVoiceBlock = 6,
};

// Parameter ids.
enum : int {
    kKeyStretch = 2,
    kKeyError = 3,
    kKeyVelocityCurve = 4,
    kKeyMonoPoly = 5,
    kKeyVoiceMode = 6,
    kKeyUnisonMode = 7,
    kKeyUnisonDetune = 8,
    kKeyUnisonDelay = 9,
    kKeyTuningInt = 10,
    kKeyTuningDec = 11,
    kKeyOctaveDetune = 12,
    kKeySemitoneDetune = 13,
    kKeyHoldPedal = 14,
    kKeyScalaLoad = 15, // 1 by message: the document runs the file dialog
    kKeyTuningNoteRef = 16,
    kKeyTuningFine = 17,
    kKeyTuningType = 18,
    kKeyScalaScale = 19,
    kKeyRefDigit0 = 20, // 20..24: digits of the reference frequency
    kKeyBendDepth = 25,
    kKeyUsableVoices = 26, // usable voices - 2
    kKeyArpStep0 = 120,    // 120..135
    kKeyArpActive = 136,
    kKeyArpLength = 137,
    kKeyArpOctaveRange = 138,
    kKeyArpOctaveSpan = 139,
    kKeyArpNoteOrder = 140,
    kKeyArpRate = 142,
    kKeyArpSync = 141,
    kKeyArpLatch = 143,
};

// Null, with an error report, on a malformed line or a polyphony outside 1..32.
t_module* pm_polyvkey_create(std::string_view line);

// The channel as the synth and the settings see it: 1..16, or 17 for all channels.
int pm_polyvkey_get_channel(t_module* m);
// Releases the MIDI input's hold of the old channel and takes one on the new one; the
// keyboard then keeps this channel instead of following the input's.
void pm_polyvkey_set_channel(t_module* m, int channel);

// Loads the .scl file at `path` (the name the document's file dialog returned after
// the load request, parameter 15). Success selects the Scala tuning with the keyboard's
// reference note as base; failure reports "Error in Scala file." and selects equal
// temperament. Either way "tuning_type" and "scala_scale" are reported.
bool pm_polyvkey_load_scala_file(t_module* m, const std::string& path);

// The pitch table in use (128 entries, octaves), for the panel and tests.
const float* pm_polyvkey_pitch_table(t_module* m);

#pragma once
// Tunings turn the 128 MIDI note numbers into pitches, in octaves relative to middle C
// (261.6255653 Hz): note 60 is 0, a semitone 1/12, and a pitch p sounds at
// 261.6255653 * 2^p Hz, so A above middle C (note 69, pitch 0.75) is 440 Hz.
//
// Threads: fill_table allocates nothing and may run on the audio thread (the keyboard
// rebuilds its table when a tuning parameter changes by message). The text operations
// allocate: they belong to state reading and writing, outside the render.
#include <string>
#include <string_view>

constexpr int kTuningNotes = 128;
constexpr int kMiddleC = 60;

class CTuning {
public:
    virtual ~CTuning() = default;
    virtual void fill_table(float table[kTuningNotes]) const = 0;
    virtual std::string write_text() const = 0;
    virtual bool read_text(std::string_view text) = 0;
    // What the panel shows for this tuning.
    virtual std::string description() const = 0;
};

class CTuningEqualTemperament final : public CTuning {
public:
    void fill_table(float table[kTuningNotes]) const override;
    std::string write_text() const override { return "0"; }
    bool read_text(std::string_view) override { return true; }  // no state to read
    std::string description() const override { return {}; }
};

// The keyboard's tuning settings before and after converting a version-1 block.
// Version 1 stored an absolute reference frequency for A (tuning_int Hz plus
// tuning_dec hundredths); version 2 keeps a reference note with a fine tune of at most
// half a semitone and moves whole semitones and octaves into the transposition.
struct KeyboardTuningV1 {
    float tuning_int = 440;       // Hz
    float tuning_dec = 0;         // hundredths of Hz
    int semitone_detune = 0;      // -12..12
    int octave_detune = 0;        // -3..3
};

struct KeyboardTuningV2 {
    int tuning_type = 0;          // equal temperament
    int tuning_note_ref = kMiddleC;
    float tuning_fine = 0;        // octaves, -1/24..1/24
    int semitone_detune = 0;
    int octave_detune = 0;
};

KeyboardTuningV2 convert_version1_tuning(const KeyboardTuningV1& old);

#pragma once
// The note lengths that every tempo-synchronised module chooses from (arpeggiator,
// tremolo, synchronised effects). Entry e is a length of e / 4 quarter notes, which is
// e x 60 pulses of the master clock (240 pulses per quarter note). The number of entries
// is also the range of the synchronised modules' sync selectors.
#include <cmath>

inline constexpr int kTempoDivisionCount = 25;
inline constexpr float kClockPulsesPerQuarter = 240.0f;

inline constexpr float kTempoDivisions[kTempoDivisionCount] = {
    4.0f,  96.0f, 64.0f, 42.666668f, 48.0f, 32.0f,      21.333334f, 24.0f, 16.0f,
    10.666667f, 12.0f, 8.0f,  5.333333f,  6.0f,  4.0f,       2.6666667f, 3.0f,  2.0f,
    1.3333334f, 1.5f,  1.0f,  0.6666667f, 0.75f, 0.5f,       0.16666667f,
};

// The entry for a selector value; values outside the table take the nearest end.
inline float tempo_division(int index) {
    if (index < 0) index = 0;
    if (index >= kTempoDivisionCount) index = kTempoDivisionCount - 1;
    return kTempoDivisions[index];
}

// Length of a division in quarter notes and in master-clock pulses.
inline float tempo_division_quarters(int index) { return tempo_division(index) * 0.25f; }
inline float tempo_division_pulses(int index) { return tempo_division(index) * 60.0f; }

// Length of a division in samples at a tempo (beats per minute) and sample rate.
inline double tempo_division_samples(int index, double bpm, double sample_rate) {
    return tempo_division_quarters(index) * 60.0 / bpm * sample_rate;
}

// Length in quarter notes (beats) for a synchronised LFO; 0 for an index outside the
// table, which the LFO takes as "not synchronised".
inline float tempo_division_beats(int index) {
    return index >= 0 && index < kTempoDivisionCount ? kTempoDivisions[index] * 0.25f : 0.0f;
}

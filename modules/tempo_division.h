#pragma once
// The tempo divisions shared by every module that follows the master clock (the
// arpeggiator, the tremolo and the synchronised effects). Entry e stands for a length
// of e / 4 quarter notes, i.e. e * 60 pulses of the 240-pulse-per-quarter clock.
// Index 0 is the free-running choice of the sync selectors; the entry count is also
// the range of those selectors.

inline constexpr int kTempoDivisionCount = 25;

extern const float kTempoDivision[kTempoDivisionCount];

// Length of division `index` in quarter notes (beats); 0 for an index out of range.
inline float tempo_division_beats(int index) {
    return index >= 0 && index < kTempoDivisionCount ? kTempoDivision[index] * 0.25f : 0.0f;
}

#include "analog/tuning.h"

#include <cmath>

void CTuningEqualTemperament::fill_table(float table[kTuningNotes]) const {
    for (int i = 0; i < kTuningNotes; ++i) table[i] = static_cast<float>(i - kMiddleC) / 12.0f;
}

KeyboardTuningV2 convert_version1_tuning(const KeyboardTuningV1& old) {
    KeyboardTuningV2 out;
    const double hz = old.tuning_int + old.tuning_dec * 0.01;
    // The offset from A = 440 Hz in octaves; a reference that is not a positive
    // frequency (damaged text) counts as 440 Hz.
    const double offset = hz > 0 && std::isfinite(hz) ? std::log2(hz / 440.0) : 0.0;
    const int sign = offset < 0 ? -1 : 1;
    const double h = std::fabs(offset);
    const double octaves = std::floor(h);
    const double semis_total = (h - octaves) * 12.0;
    int semitones = static_cast<int>(std::floor(semis_total));
    double fine = (semis_total - semitones) / 12.0;  // the rest of a semitone, in octaves
    // Round to the nearest semitone so that the fine tune stays within half a semitone.
    if (fine > 1.0 / 24.0) {
        fine -= 1.0 / 12.0;
        semitones += 1;
    }
    out.tuning_fine = static_cast<float>(sign * fine);

    int carried = sign * static_cast<int>(octaves);
    int v = old.semitone_detune + sign * semitones;
    while (v > 12) v -= 12, ++carried;
    while (v < -12) v += 12, --carried;
    // A whole octave of semitones becomes an octave when the octave range has room.
    if (v == 12 && old.octave_detune + carried < 3) v = 0, ++carried;
    else if (v == -12 && old.octave_detune + carried > -3) v = 0, --carried;
    out.semitone_detune = v;
    out.octave_detune = old.octave_detune + carried;
    return out;
}

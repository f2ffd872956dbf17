#pragma once
// Clocks: the high-resolution counter for the CPU load and tap tempo, and the desktop's
// double-click time for label editing in the tree view.
//
// Threads: any thread, including the audio thread (reading the counter is a vDSO call:
// no lock, no allocation, no system call on common kernels).
#include <cstdint>

// A monotonic tick count; never goes backwards, unaffected by clock changes.
int64_t kel_counter_now();
// Ticks per second of kel_counter_now().
int64_t kel_counter_frequency();
// Microseconds between two counter readings.
inline double kel_counter_microseconds(int64_t from, int64_t to) {
    return static_cast<double>(to - from) * 1.0e6 / static_cast<double>(kel_counter_frequency());
}

// The longest gap between two clicks that still makes a double click, in milliseconds.
int kel_double_click_time_ms();

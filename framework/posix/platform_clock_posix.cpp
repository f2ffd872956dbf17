// The counter is CLOCK_MONOTONIC in nanoseconds.
#include "framework/platform_clock.h"

#include <time.h>

int64_t kel_counter_now() {
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

int64_t kel_counter_frequency() { return 1000000000LL; }

// Linux has no system-wide setting outside the desktop toolkits; 400 ms is their
// common default.
int kel_double_click_time_ms() { return 400; }

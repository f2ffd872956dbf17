#include "modules/sync_lfo.h"

void sync_lfo_init(t_sync_lfo& lfo, float sample_rate) {
    lfo = t_sync_lfo{};
    lfo.sample_rate = sample_rate > 0 ? sample_rate : 44100.0f;
    sync_lfo_set_speed(lfo, 120.0f);
}

void sync_lfo_set_speed(t_sync_lfo& lfo, float cycles_per_minute) {
    float s = cycles_per_minute > 0 ? cycles_per_minute : 0.0f; // also catches NaN
    lfo.speed = s;
    if (lfo.sync_on) return;
    const float hz = s * 0.016666668f;
    // Above half the rate the ramp could only alias; half a cycle per sample is the limit.
    lfo.increment = hz > lfo.sample_rate * 0.5f ? 0.5f : hz / lfo.sample_rate;
}

void sync_lfo_set_sync(t_sync_lfo& lfo, bool on) {
    if (on && !lfo.sync_on) {
        // The interval up to the first edge is unknown, so that edge only starts the count.
        lfo.skip_clock = true;
        lfo.samples_since_edge = 0;
    }
    lfo.sync_on = on;
}

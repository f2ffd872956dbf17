#pragma once
// The low-frequency phase shared by the tremolo, the wah and the phaser: a ramp from
// 0 to 1 that either runs free at a speed in cycles per minute or is locked to the
// master clock, whose square wave makes 240 rising edges per beat. Locked, the ramp
// measures the samples between two clock edges afresh at every edge, so it follows
// tempo changes within one clock pulse and a cycle lasts `ratio` beats.
//
// Audio thread only; every call is a few float operations.

struct t_sync_lfo {
    float sample_rate = 44100;
    float phase = 0;     // 0..1
    float increment = 0; // phase per sample
    float reset_phase = 0;
    float speed = 120; // cycles per minute while free-running
    float ratio = 1;   // beats per cycle while locked
    bool reset_enabled = false;
    float previous_reset = 0;
    bool pending_reset = true;
    bool skip_clock = false; // the first edge after locking only starts the count
    bool sync_on = false;
    float previous_clock = 0;
    int samples_since_edge = 0;
};

// Free-running at 120 cycles per minute; the first step starts at the reset phase.
void sync_lfo_init(t_sync_lfo& lfo, float sample_rate);
// Cycles per minute; takes effect only while free-running.
void sync_lfo_set_speed(t_sync_lfo& lfo, float cycles_per_minute);
void sync_lfo_set_sync(t_sync_lfo& lfo, bool on);
inline void sync_lfo_set_ratio(t_sync_lfo& lfo, float beats_per_cycle) {
    lfo.ratio = beats_per_cycle;
}

// Per sample: advances by one sample and returns the phase. `clock` is the master
// clock's square wave, `reset` the optional reset input.
inline float sync_lfo_step(t_sync_lfo& lfo, float clock, float reset) {
    if (lfo.reset_enabled && reset > 0.5f && lfo.previous_reset <= 0.5f) lfo.pending_reset = true;
    if (lfo.sync_on) {
        const int n = lfo.samples_since_edge++;
        if (clock > 0.5f && lfo.previous_clock <= 0.5f) {
            if (lfo.skip_clock) {
                lfo.skip_clock = false;
            } else {
                // 240 clock periods of n + 1 samples make one beat.
                const float period = static_cast<float>(n + 1) * 240.0f * lfo.ratio;
                float inc = period > 0 ? 1.0f / period : 0.5f;
                lfo.increment = inc < 0.5f ? inc : 0.5f;
            }
            lfo.samples_since_edge = 0;
        }
    }
    lfo.phase += lfo.increment;
    if (lfo.phase > 1.0f) lfo.phase -= 1.0f;
    if (lfo.pending_reset) {
        lfo.phase = lfo.reset_phase;
        lfo.pending_reset = false;
    }
    lfo.previous_clock = clock;
    lfo.previous_reset = reset;
    return lfo.phase;
}

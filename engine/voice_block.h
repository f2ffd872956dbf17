#pragma once
// The voice block: which of the instrument's voices sound. The keyboard marks a voice
// active when it starts a note; the renderer watches the voice's pickup output after the
// key is released and deactivates the voice once it has been quiet for the hold length,
// so idle voices cost nothing.
//
// The same silence detector (follower, threshold, hold counter) keeps the effect chain
// running while its tail decays; a detector without a block is such a tail detector.
//
// Threads: owned by the instrument graph, built with it; afterwards only the audio
// thread touches it (keyboard and renderer inside one render). Nothing here allocates.
#include <cmath>
#include <cstdint>

struct t_voice_block;

struct t_voice_record {
    int32_t hold_length = 4000; // quiet samples after which a released voice stops
    float threshold = 1e-5f;    // below this (after smoothing) the output counts as quiet
    int32_t hold_counter = 0;
    uint8_t active = 0;
    t_voice_block* block = nullptr; // keeps the block's active count; null for a tail detector
    float follower = 0;             // signed one-pole follower of the watched signal
};

void voice_record_activate(t_voice_record& r);
void voice_record_deactivate(t_voice_record& r);

struct t_voice_block {
    static constexpr int kCapacity = 32; // the most voices an instrument can have

    t_voice_record voices[kCapacity];
    int32_t active_count = 0;
    int32_t capacity = kCapacity;

    t_voice_block() {
        for (t_voice_record& v : voices)
            v.block = this;
    }
    t_voice_block(const t_voice_block&) = delete;
    t_voice_block& operator=(const t_voice_block&) = delete;

    bool valid(int v) const { return v >= 0 && v < kCapacity; }
    bool active(int v) const { return valid(v) && voices[v].active; }
    void activate(int v) {
        if (valid(v)) voice_record_activate(voices[v]);
    }
    // Every voice off, every counter and follower cleared.
    void reset() {
        for (t_voice_record& v : voices)
            v.active = 0, v.hold_counter = 0, v.follower = 0;
        active_count = 0;
    }
};

inline void voice_record_activate(t_voice_record& r) {
    // A fresh note must ring for the hold length before silence can end it.
    r.hold_counter = r.hold_length;
    if (r.active) return;
    r.active = 1;
    if (r.block && r.block->active_count < r.block->capacity) ++r.block->active_count;
}

inline void voice_record_deactivate(t_voice_record& r) {
    if (!r.active) return;
    r.active = 0;
    if (r.block && r.block->active_count > 0) --r.block->active_count;
}

// Silence detection over one sub-block of the watched signal, per sample: the follower
// f = 0.05 x + 0.95 f (signed, not rectified). Quiet samples count the hold down and then
// deactivate; a loud sample activates, reloads the hold and ends the scan of this block.
inline void voice_record_watch(t_voice_record& r, const float* x, int frames) {
    float f = r.follower;
    for (int i = 0; i < frames; ++i) {
        f = 0.05f * x[i] + 0.95f * f;
        if (!std::isfinite(f)) f = 0; // a broken input must not keep a voice alive forever
        if (std::fabs(f) < r.threshold) {
            if (r.hold_counter > 0)
                --r.hold_counter;
            else
                voice_record_deactivate(r);
        } else {
            if (!r.active) voice_record_activate(r);
            r.hold_counter = r.hold_length;
            break;
        }
    }
    r.follower = f;
}

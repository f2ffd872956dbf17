#pragma once
// "wah": a resonant filter swept by the sync LFO through a sine, in one of six
// designs ("filter_selector"): a voiced band-pass, low-pass, band-pass, high-pass,
// notch, or the pedal. The auto-wah (auto_wah.h) sweeps the same filter with an
// envelope follower. Switching on and off cross-fades with the dry input over 50 ms.
//
// Slots: inputs 1 clock (the transport's square wave), 2 LFO reset, 3 audio;
// output 1 audio. The effect slots hold a left and a right instance.
// Threads: created on the building thread; everything else runs on the audio thread.
#include <string_view>

#include "modules/filter_coeffs.h"
#include "modules/smooth.h"

struct t_module;

// Descriptor "%f %d %63s": sample rate, an unused integer, instance name.
// Null when the line is malformed.
t_module* wah_create(std::string_view line);

// The effect slot's presets for this module: settings texts with their header line.
const char* const* wah_preset_texts(int* count);

// ---- the swept filter, shared with the auto-wah ----

inline constexpr int kWahUpdatePeriod = 400; // the countdown restarts here: a design every 401 samples

struct t_wah_filter {
    float sample_rate = 44100;
    t_filter_coeffs coeffs;
    t_biquad_history history;
    t_smooth_var cutoff, resonance; // Hz and quality; one glide step per design, 10 steps
    int countdown = 0;
    int last_selector = 0;
    // Selectors 5 and 6 (and 0 when `limit_centre`) keep the centre within the pedal's
    // 430..2200 Hz.
    bool limit_pedal = true;
    bool limit_centre = false;
};

void wah_filter_init(t_wah_filter& f, float sample_rate, float cutoff, float resonance);
// A new design for modulation `mod` in octaves (selectors 0 to 4, 6) or in units of
// half the pedal's travel (selector 5); `cutoff_scale` multiplies the cutoff.
void wah_filter_design(t_wah_filter& f, int selector, float mod, float cutoff_scale = 1);
// Clears the memories; the next sample makes a new design.
void wah_filter_reset(t_wah_filter& f, int selector);
// False (and the memories cleared) when a non-finite input reached the recursion.
bool wah_filter_check(t_wah_filter& f);

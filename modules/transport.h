#pragma once
// The master clock (type "transport", instance Clock): a square wave at 240 pulses per
// quarter note on output 1, the running gate on output 2 and a one-sample start pulse on
// output 3. The tempo comes from its own tempo settings (with tap tempo) or, with sync on,
// from the host's clock through the tempo input.
//
// Threads: everything runs on the audio thread inside the render, except creation, state
// text and the control call that hands over the host clock (synth initialisation).
#include <cstdint>
#include <string_view>

#include "engine/modular.h"

class CSyncInputPort;

enum : int {
    kTransportParamCoarse = 2,   // tempo rounded to an integer, minus 1
    kTransportParamFine = 3,     // first decimal of the tempo
    kTransportParamSync = 4,     // sync on / off
    kTransportParamRunning = 5,
    kTransportParamStop = 6,     // message only
    kTransportParamTap = 7,      // message only: press (value > 0) and release (0)
};

// Query and control kind of the host clock: control(m, 8, {CSyncInputPort*}, 1).
inline constexpr int kControlHostClock = 8;

struct t_tap_tempo {
    int64_t last_tap_us = 0;
    bool tapped = false;  // a previous tap exists
    float values[3] = {0, 0, 0};
    int count = 0;
    bool reset = false;
    bool pressed = false;
};

struct t_transport : t_module {
    float sample_rate = 44100;
    float tempo = 120;        // quarter notes per minute
    float half_period = 0;    // samples between two level changes of output 1
    float phase = 0;          // samples since the last level change
    float level = 0;
    uint8_t running = 0;
    uint8_t start_pending = 0;
    CSyncInputPort* host = nullptr;
    uint8_t sync_wanted = 0;  // asked for while no usable host clock exists
    uint8_t sync_active = 0;
    uint8_t refresh = 1;      // the next host comparison counts as a change
    bool last_host_playing = false;
    float last_host_tempo = 120;
    t_tap_tempo tap;
    int64_t (*now_us)() = nullptr;  // microsecond timer of the tap
};

// "%f %d %63s": sample rate, buffer-size number, name. Null on a malformed line.
t_module* transport_create(std::string_view line);
// Replaces the tap timer (tests).
void transport_set_timer(t_module* m, int64_t (*now_us)());

#pragma once
// Notification records that leave the audio thread for the application, and the queue
// instances that carry them.
//
// Threads: the MIDI dispatch (audio thread) pushes MIDI notifications; the editor's
// 10 ms timer drains them. Port notifications are pushed by the port layer and drained
// by the application on the user-interface thread.
#include <cstdint>

#include "engine/kel_interrupt_safe_queue.h"
#include "engine/midi_event_list.h"

enum : int32_t {
    kMidiNotifyProgramChange = 2,  // words: channel 0..15, program 0..127
    kMidiNotifySongPosition = 3,   // word: position in MIDI beats (sixteenth notes)
    kMidiNotifyStart = 4,
    kMidiNotifyStop = 5,
    kMidiNotifyContinue = 6,
    kMidiNotifyClocks = 7,         // word: timing clocks counted since the last report
    kMidiNotifyReset = 9,
};

struct MidiPortNotify {
    int32_t kind = 0;
    int32_t words[4] = {0, 0, 0, 0};
};

struct AudioPortNotify {
    int32_t type = 0;
    void* data = nullptr;
    int32_t words[3] = {0, 0, 0};
};

// Host events to the render, and the two notification channels.
inline constexpr uint32_t kMidiEventQueueCapacity = 1024;
inline constexpr uint32_t kMidiNotifyQueueCapacity = 1024;
inline constexpr uint32_t kAudioNotifyQueueCapacity = 128;

using KelMidiEventQueue = KelInterruptSafeQueue<t_midi_event>;
using KelMidiNotifyQueue = KelInterruptSafeQueue<MidiPortNotify>;
using KelAudioNotifyQueue = KelInterruptSafeQueue<AudioPortNotify>;

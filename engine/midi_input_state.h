#pragma once
// What the engine's modules see of incoming MIDI: one state record per listened channel
// (notes of the current block, controller values, pitch bend, pressure, sustain) and one
// sorted event list of every channel message of the block.
//
// Threads: dispatch(), the channel states, the event list and endOfBlock() belong to the
// audio thread during a render. hold(), release() and setReceiveChannel() are also asked
// for by the user-interface thread (MIDI-link edits, settings); those calls must be kept
// apart from the render (the reconfiguration gate). The channel records are preallocated
// for all 17 channels, so holding and releasing never allocate or free, and a release
// can never pull a record away from under a running block.
#include <cstdint>

#include "engine/midi_channel_source.h"
#include "engine/midi_event_list.h"
#include "engine/port_notify.h"

struct MidiNoteEvent {
    int32_t offset;    // frame within the block
    int32_t note;
    int32_t velocity;  // 0 for a note-off
};

struct MidiChannelState {
    static constexpr int kMaxNotes = 1024;        // a block carries at most 1024 queued events
    static constexpr int kControllers = 130;      // 0..127 control changes, 128 pressure, 129 bend
    static constexpr int kPressureController = 128;
    static constexpr int kBendController = 129;

    int32_t channel = 0;  // index 0..16
    int32_t received = 0;
    int32_t note_count = 0;
    MidiNoteEvent notes[kMaxNotes];
    int32_t all_sound_off = 0, all_sound_off_offset = 0;  // controller 120
    int32_t all_notes_off = 0, all_notes_off_offset = 0;  // controller 123
    int32_t pitch_bend = 8192;                            // 14 bits, 8192 at rest
    int32_t modulation = 0, breath = 0, pressure = 0, sustain = 0;
    int32_t controllers[kControllers] = {};
    int32_t changed[kControllers] = {};
    int32_t changed_count = 0;
    int32_t changed_list[kControllers] = {};

    void clear(int32_t index);  // a fresh record: everything at rest
    void clear_block(bool keep_changes = false);  // what one block leaves behind; values persist
    void apply(const t_midi_event& e);

private:
    void mark_changed(int controller);
};

// Receives a notification on the audio thread; it must only queue it.
using MidiNotifyFunction = void (*)(void* context, const MidiPortNotify& notify);

// About 220 kB (17 channel records with room for a block's notes each): make it on the heap.
class MidiInputState final : public MidiChannelSource {
public:
    static constexpr int kChannels = 17;
    static constexpr int kAnyChannel = 16;  // receives every channel while omni is on

    MidiInputState();
    MidiInputState(const MidiInputState&) = delete;
    MidiInputState& operator=(const MidiInputState&) = delete;

    // Channel states exist while held; a hold on a missing state starts it at rest.
    void hold(int index);
    void release(int index);
    int hold_count(int index) const { return valid(index) ? holds_[index] : 0; }
    MidiChannelState* channel_state(int index) { return hold_count(index) > 0 ? &states_[index] : nullptr; }

    // n is the MIDI channel 1..16 (clamped); the receive channel is always held.
    void setReceiveChannel(int n);
    int receiveChannel() const { return receive_ + 1; }
    int receive_index() const { return receive_; }
    void setOmni(bool on) { omni_ = on; }
    bool isOmni() const { return omni_; }

    // What the damper and the fork read of the input.
    bool is_omni() const override { return omni_; }
    int receive_channel_index() const override { return receive_; }
    bool sustain(int channel_index) const override {
        return valid(channel_index) && holds_[channel_index] > 0 && states_[channel_index].sustain;
    }

    // Where program changes, clock and transport messages go; none: they are dropped
    // (program changes then stay ordinary channel messages).
    void set_notify(MidiNotifyFunction fn, void* context) {
        notify_ = fn;
        notify_context_ = context;
    }

    // Takes the block's events from the queue into the channel states and the event list.
    // An event stamped at or beyond the block's end waits for a later block, its offset
    // reduced by the block length, without holding back the events behind it. Answers the
    // number of channel messages handled.
    int dispatch(KelMidiEventQueue& queue, uint32_t frames);

    // Walks the controllers that changed in the block: channels 0..16, each in order of
    // first change. False at the end, which also rewinds the walk.
    bool next_changed_controller(int& channel, int& controller, int& value);

    void allNotesOff();
    void endOfBlock();
    // The block's controller changes were not applied (a settings read held the synth
    // off them): the next endOfBlock keeps them marked, with their latest values, for
    // the next block's traffic.
    void keep_changes() { keep_changes_ = true; }

    t_midi_event_list& events() { return events_; }
    const t_midi_event_list& events() const { return events_; }
    int carried_count() const { return carry_count_; }

private:
    static bool valid(int index) { return index >= 0 && index < kChannels; }
    void handle(const t_midi_event& e, int& handled, int& clocks);
    void send(int32_t kind, int32_t word0 = 0);
    void flush_clocks(int& clocks);

    MidiChannelState states_[kChannels];
    int32_t holds_[kChannels] = {};
    int receive_ = 0;
    bool omni_ = false;
    t_midi_event_list events_;
    int cursor_channel_ = 0, cursor_position_ = 0;
    bool keep_changes_ = false;
    MidiNotifyFunction notify_ = nullptr;
    void* notify_context_ = nullptr;
    // Events stamped for a later block, offsets relative to the next block.
    t_midi_event carry_[kMidiEventQueueCapacity];
    int carry_count_ = 0;
};

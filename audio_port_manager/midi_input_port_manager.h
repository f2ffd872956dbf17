#pragma once
// The open MIDI input ports, the queue that carries their events to the render, and the
// MIDI input state the render dispatches them into.
//
// Threads:
//  - openPort(), closeAll(), applySettings(): user-interface thread, while no block
//    renders (application open and close, or under the reconfiguration gate).
//  - processEvents() / push(): the host's audio thread (or any thread: the queue takes
//    several producers); no allocation, no lock, a full queue drops the event.
//  - dispatch(), endOfBlock(), the input state: the render only (the queue's consumer).
#include <cstdint>
#include <memory>
#include <vector>

#include "audio_port_manager/ports.h"
#include "engine/midi_input_state.h"
#include "engine/port_notify.h"

class CMidiInputPortManager {
public:
    // Creates the queue (1024 events) and the input state, holding channel 1 and the
    // any-channel state.
    CMidiInputPortManager();
    ~CMidiInputPortManager();  // closes and deletes the ports
    CMidiInputPortManager(const CMidiInputPortManager&) = delete;
    CMidiInputPortManager& operator=(const CMidiInputPortManager&) = delete;

    // Makes a port through the factory and opens it; null (nothing kept) when it fails.
    CMidiInputPort* openPort(CPortFactory& factory, int id);
    void closeAll();
    int portCount() const { return static_cast<int>(ports_.size()); }

    // After the application is initialised: the receive channel from "Midi_Channel"
    // (1..16, 1 when missing or out of range) and omni on.
    void applySettings();

    // Hands the host's event list to every open port; answers the events queued.
    int processEvents(const vst2::Events* events);
    // The ports' way into the queue; false when it is full (the event is dropped).
    bool push(const t_midi_event& e) { return queue_.push(e); }

    // The block's events, those stamped in [0, frames), into the input state; answers the
    // number of channel messages handled.
    int dispatch(uint32_t frames) { return state_->dispatch(queue_, frames); }
    void setNotify(MidiNotifyFunction fn, void* context) { state_->set_notify(fn, context); }

    MidiInputState& inputState() { return *state_; }
    KelMidiEventQueue& queue() { return queue_; }

private:
    KelMidiEventQueue queue_{kMidiEventQueueCapacity};
    std::unique_ptr<MidiInputState> state_;  // large: on the heap
    std::vector<std::unique_ptr<CMidiInputPort>> ports_;
};

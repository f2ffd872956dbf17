#pragma once
// The VST back end of the ports: fed by the plug-in effect's host calls.
//
// What the effect calls, and on which thread:
//  - effProcessEvents (audio thread): CMidiInputPortManager::processEvents(list), which
//    hands the list to the CVstMidiInputPort: MIDI events are queued with their frame
//    offsets, everything else is skipped.
//  - processReplacing / process (audio thread): CVstAudioOutputPort::process(inputs,
//    outputs, frames, replacing), which calls the render callback with (frames,
//    outputs) when both output channels exist.
//  - at the start of every rendered block (audio thread, inside the render):
//    CVstSyncInputPort::update(frames, rate), which asks the connected host services for
//    the time information (mask 0x602) and prepares tempo, transport and position.
//  - setSampleRate (user-interface thread): CAudioPort::setSampleRate(int rate).
//  - open / close: CVstSyncInputPort::connect(host) / disconnect().
//  - the effect's KelHostServices::get_time over audioMasterGetTime converts the host's
//    record with vst_time_to_host_time() below.
#include <cstdint>
#include <memory>

#include "audio_port_manager/midi_input_port_manager.h"
#include "audio_port_manager/ports.h"
#include "engine/sync_input_port.h"
#include "framework/host_services.h"
#include "plugin/vst2_abi.h"

class CVstAudioPortProperties : public CAudioPortProperties {};

// Reads the host's input channels of the current block. A missing channel reads as
// zeros, and so does every read past the block's end. Audio thread.
template <class T>
class TemplateAudioInSource {
public:
    void set(const T* left, const T* right, int frames) {
        left_ = left;
        right_ = right;
        frames_ = frames > 0 ? frames : 0;
        position_ = 0;
    }
    void clear() { set(nullptr, nullptr, 0); }

    void read(int n, T* left, T* right) {
        for (int i = 0; i < n; ++i) readOne(left[i], right[i]);
    }
    void readOne(T& left, T& right) {
        const bool inside = position_ < frames_;
        left = inside && left_ ? left_[position_] : T(0);
        right = inside && right_ ? right_[position_] : T(0);
        if (inside) ++position_;
    }
    int position() const { return position_; }

private:
    const T* left_ = nullptr;
    const T* right_ = nullptr;
    int frames_ = 0;
    int position_ = 0;
};

class CVstAudioOutputPort : public CAudioPort {
public:
    CAudioPortProperties& properties() override { return properties_; }

    // One host block (audio thread). Records whether the host replaces or accumulates,
    // takes the first two input channels for the input source (none when the host gives
    // none), and renders into the two output channels when both exist. A block of no
    // frames, or null outputs, renders nothing and writes nothing.
    void process(float** inputs, float** outputs, int frames, bool replacing);

    bool replacing() const { return replacing_; }
    TemplateAudioInSource<float>& input() { return input_; }

private:
    CVstAudioPortProperties properties_;
    bool replacing_ = true;
    TemplateAudioInSource<float> input_;
};

// The host's event list into the manager's queue. Audio thread; allocates nothing.
class CVstMidiInputPort : public CMidiInputPort {
public:
    using CMidiInputPort::CMidiInputPort;

    // Every MIDI event {delta frames, status, data 1, data 2}; SysEx and other event
    // types, null slots and bytes that are not a status byte are skipped. A negative
    // offset is taken as 0. A full queue drops the event. Answers the events queued;
    // a closed port queues nothing.
    int processEvents(const vst2::Events* events) override;
};

// The tempo input read from the host's time information.
class CVstSyncInputPort : public CSyncInputPort {
public:
    bool usable() const override { return true; }

    // The host services that answer the time request; null: none (base behaviour).
    // User-interface thread, while no block renders.
    void connect(KelHostServices* host) { host_ = host; }
    void disconnect() { host_ = nullptr; }
    bool connected() const { return host_ != nullptr; }

    // Start of a block (audio thread). With a time record: tempo (when valid, finite and
    // above 0) and transport from the host, the position from the host's ppq position
    // while playing (else where the previous block left it), the next block prepared
    // one block further on. Without a record: the base behaviour, values kept.
    void update(int frames, double sample_rate) override;

private:
    KelHostServices* host_ = nullptr;
};

// The host's record as the ports read it: tempo and position only where their validity
// bits are set, playing while the transport plays or records. False for a null record.
bool vst_time_to_host_time(const vst2::TimeInfo* info, KelHostTime& out);

class CVstPortFactory : public CPortFactory {
public:
    // Each made once and owned by the factory; later calls answer the same port.
    CAudioPort* createAudioOutputPort() override;
    std::unique_ptr<CMidiInputPort> createMidiInputPort(int id, CMidiInputPortManager& manager) override;
    CSyncInputPort* createSyncInputPort() override;

    CVstAudioOutputPort* audioOutputPort() { return audio_.get(); }
    CVstSyncInputPort* syncInputPort() { return sync_.get(); }

private:
    std::unique_ptr<CVstAudioOutputPort> audio_;
    std::unique_ptr<CVstSyncInputPort> sync_;
};

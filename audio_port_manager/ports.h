#pragma once
// The engine's connections to the outside world, as abstract ports made by a port
// factory: one stereo audio output, MIDI inputs and the tempo input (CSyncInputPort,
// engine/sync_input_port.h). The application reaches them only through these classes,
// so other audio and MIDI back ends can stand behind the same code; the VST back end is
// in vst_ports.h.
//
// Threads: ports are made, opened, closed and configured on the user-interface thread
// (application open/close, sample-rate changes) while no block renders. The audio-thread
// entries are marked; they never allocate, lock or wait.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/port_notify.h"
#include "engine/sync_input_port.h"

namespace vst2 {
struct Events;
}
class CMidiInputPortManager;

// Port notification types (AudioPortNotify::type). The answer goes into words[2].
enum : int32_t {
    kAudioPortNotifySampleRate = 2,  // words[0]: the new rate in Hz
};

// Renders `frames` samples into outputs[0] (left) and outputs[1] (right). Audio thread.
using AudioRenderCallback = void (*)(void* user, int frames, float** outputs);
// Receives a port notification and writes its answer into notify.words[2].
using AudioNotifyCallback = void (*)(void* user, AudioPortNotify& notify);

class CAudioPortProperties {
public:
    virtual ~CAudioPortProperties() = default;
    int blockSize() const { return block_size_; }
    int sampleRate() const { return sample_rate_; }
    int maxBlockSize() const { return max_block_size_; }
    void setBlockSize(int frames) {
        if (frames > 0) block_size_ = frames;
    }

protected:
    friend class CAudioPort;
    int block_size_ = 1024;
    int sample_rate_ = 44100;  // Hz, whole numbers only
    int max_block_size_ = 8192;
};

class CAudioPort {
public:
    virtual ~CAudioPort() = default;
    virtual CAudioPortProperties& properties() = 0;

    void setRenderCallback(AudioRenderCallback fn, void* user) {
        render_ = fn;
        render_user_ = user;
    }
    void setNotifyCallback(AudioNotifyCallback fn, void* user) {
        notify_ = fn;
        notify_user_ = user;
    }

    int sampleRate() { return properties().sampleRate(); }
    // A new rate (Hz, above 0) is stored and announced with a kAudioPortNotifySampleRate
    // notification, during which the application takes its reconfiguration gate. The same
    // rate, or one of 0 or below, changes nothing. True when the rate changed.
    bool setSampleRate(int rate);

protected:
    void render(int frames, float** outputs) {
        if (render_) render_(render_user_, frames, outputs);
    }
    // Answers the notification's words[2], or 0 when nobody listens.
    int32_t notify(AudioPortNotify& n) {
        if (notify_) notify_(notify_user_, n);
        return n.words[2];
    }

private:
    AudioRenderCallback render_ = nullptr;
    void* render_user_ = nullptr;
    AudioNotifyCallback notify_ = nullptr;
    void* notify_user_ = nullptr;
};

// A MIDI input feeding the manager's event queue.
class CMidiInputPort {
public:
    CMidiInputPort(int id, CMidiInputPortManager& manager) : id_(id), manager_(manager) {}
    virtual ~CMidiInputPort() = default;
    CMidiInputPort(const CMidiInputPort&) = delete;
    CMidiInputPort& operator=(const CMidiInputPort&) = delete;

    virtual bool open() {
        active_ = true;
        return true;
    }
    virtual void close() { active_ = false; }
    bool isActive() const { return active_; }
    int id() const { return id_; }
    CMidiInputPortManager& manager() { return manager_; }

    // The host's event list for the next block (audio thread). Ports not fed by a plug-in
    // host ignore it; answers the number of events queued.
    virtual int processEvents(const vst2::Events* events) { return 0; }

private:
    bool active_ = false;
    int id_;
    CMidiInputPortManager& manager_;
};

// Makes the ports of one back end and answers the port-list questions. The default
// answers describe no device: no ports to choose from and no saved selection. The
// factory owns the audio and sync ports it made (valid until it is destroyed); MIDI
// input ports belong to the port manager that opened them.
class CPortFactory {
public:
    virtual ~CPortFactory() = default;

    virtual CAudioPort* createAudioOutputPort() = 0;
    virtual std::unique_ptr<CMidiInputPort> createMidiInputPort(int id, CMidiInputPortManager& manager) = 0;
    virtual CSyncInputPort* createSyncInputPort() = 0;

    virtual int audioPortCount() const { return 0; }
    virtual std::string audioPortName(int index) const { return {}; }
    virtual int midiInputPortCount() const { return 0; }
    virtual std::string midiInputPortName(int index) const { return {}; }
    virtual std::string savedAudioSelection() const { return {}; }
};

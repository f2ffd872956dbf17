#pragma once
// The plug-in flavour of the application object: it owns the MIDI input, the tempo
// port, the program bank and the one document (the instrument and its host parameter
// set), and renders each host block behind the reconfiguration gate.
//
// Threads: initialise, terminate, programs, state text and the 10 ms timer on the
// user-interface thread, or on whatever other thread a host makes those calls from
// (some save the state from a background thread): every control-side operation on the
// document takes the application's lock, and reads of the sound's settings also hold
// the synth's settings latch, so they never see a block's settings writes half done.
// process_events and render on the audio thread, which only touches lock-free queues
// and atomics here and never waits. Whatever rebuilds what the
// render uses enters the gate first (control side), which waits until no block is in
// progress; a block that finds the gate held renders silence with a de-click ramp, and
// the first blocks after a rebuild fade in.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "engine/kel_interrupt_safe_queue.h"
#include "engine/kel_simple_synth_queue.h"
#include "engine/port_notify.h"
#include "audio_port_manager/midi_input_port_manager.h"
#include "audio_port_manager/vst_ports.h"
#include "framework/kel_timer.h"
#include "plugin/mpv_parameter_set.h"
#include "plugin/vst2_abi.h"

class MelloraSynth;

// Deferred notification: a type and four arguments.
struct MpvNotifyRecord {
    int32_t type = 0;
    int32_t words[4] = {0, 0, 0, 0};
};

// What the application needs of the effect.
class MpvVstHost : public MpvParameterHost {
public:
    virtual void update_display() = 0;
    // What the tempo port reads the host's transport through; null: none.
    virtual KelHostServices* host_services() { return nullptr; }
};

struct MpvProgram {
    std::string name = "Empty";
    std::string state_text;  // empty: the built-in default instrument text
};

// The instrument and its parameter set. Later it grows into the full document (preset
// row, MIDI links, dirty flag); for now it is what the plug-in plays.
struct MpvDocument {
    std::unique_ptr<KelSimpleSynthQueue> queue;
    std::unique_ptr<MelloraSynth> synth;
    std::unique_ptr<MpvParameterSetVst> parameters;
    std::string name = "Empty";
    ~MpvDocument();
};

class MpvVst : public KelTimerClient {
public:
    static constexpr int kPrograms = 128;
    static constexpr uint32_t kNotifyCapacity = 1024;
    static constexpr int kPolyphony = 32;
    // The preference "Pitch_Bend_Range" (semitones, 1 when missing; the preferences
    // offer 0 to 12), read when the instrument is built.
    static int pitch_wheel_range();

    explicit MpvVst(MpvVstHost* host);
    ~MpvVst() override;
    MpvVst(const MpvVst&) = delete;
    MpvVst& operator=(const MpvVst&) = delete;

    // Ports, program bank, rate, first document; false (everything freed) on failure.
    bool initialise(float sample_rate);
    void terminate();
    void start() {}
    // Every note on every channel ends at the next block.
    void stop() { reset_pending_.store(true); }
    void set_sample_rate(float rate);
    int sample_rate() const { return sample_rate_; }

    // Host audio: the outputs are always overwritten when both channel pointers exist.
    int process(float** inputs, float** outputs, int32_t frames, bool replacing);
    int process_events(const vst2::Events* events);
    bool push_notification(const MpvNotifyRecord& record) { return notify_.push(record); }

    // Reconfiguration gate, control side.
    void enter_reconfiguration();
    void leave_reconfiguration(bool fade);

    // Programs (0-based) and the current instrument's state text.
    int current_program() const { return current_program_.load(); }
    std::string program_name(int index) const;
    bool select_program(int index);
    void rename_current(std::string_view name);
    std::string state_text() const;
    // Refuses a text that is not an instrument state; the sound stays as it was.
    bool load_state_text(std::string_view text);

    MpvDocument* document() { return document_.get(); }
    MpvParameterSetVst* parameters() { return document_ ? document_->parameters.get() : nullptr; }
    // The host's parameter reads. parameter_value may come from the audio thread too: it
    // never waits, and answers the last value read when the document is busy.
    float parameter_value(int index);
    std::string parameter_display(int index);
    float cpu_load() const { return cpu_load_.load(std::memory_order_relaxed); }
    bool fade_active() const { return fade_active_; }

    // The deferred notifications are drained every 10 ms by the application's own
    // notifier thread: a Linux host has no message loop that would run a timer of ours
    // while no editor is open, and program changes must not wait for the next host call.
    // The host is asked to refresh its display from its own thread, at the next tick of
    // the user-interface timer (pumped by the host's calls).
    void timer_call(KelTimerCallback& timer) override;
    void drain_notifications();

private:
    static void midi_notify(void* self, const MidiPortNotify& n);
    int render(int32_t frames, float** outputs);
    bool read_into_synth(std::string_view text);
    void notifier_loop();

    MpvVstHost* host_;
    CVstPortFactory factory_;
    std::unique_ptr<CMidiInputPortManager> midi_ports_;
    CVstSyncInputPort* sync_ = nullptr;  // owned by the factory
    KelInterruptSafeQueue<MpvNotifyRecord> notify_;
    KelTimerCallback timer_;
    std::unique_ptr<MpvDocument> document_;
    std::array<MpvProgram, kPrograms> programs_;
    std::atomic<int> current_program_{0};
    std::atomic<int> sample_rate_{44100};
    // The control side's lock (recursive: a host may call back into the plug-in from
    // the notifications sent while it is held).
    mutable std::recursive_mutex lock_;
    std::thread notifier_;
    std::mutex notifier_mutex_;
    std::condition_variable notifier_wake_;
    bool notifier_stop_ = false;           // under notifier_mutex_
    std::atomic<bool> display_pending_{false};
    std::unique_ptr<std::atomic<float>[]> last_values_;  // per host parameter

    // Gate and render state.
    std::atomic<int32_t> audio_count_{0};
    std::atomic<int32_t> control_count_{0};
    int reconfiguration_counter_ = 0;
    bool fade_active_ = false;
    float fade_gain_ = 1.0f, fade_step_ = 0.0f;
    int fade_remaining_ = 0;
    float last_left_ = 0, last_right_ = 0;
    std::atomic<bool> reset_pending_{false};
    std::atomic<float> cpu_load_{0.0f};
};

#include "mpv/mpv_vst.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "engine/report.h"
#include "engine/text_stream.h"
#include "instrument/mellora_default_text.h"
#include "instrument/mellora_synth.h"
#include "plugin/fp_guard.h"
#include "prepatched_common/prepatched_registry.h"

MpvDocument::~MpvDocument() {
    parameters.reset();
    synth.reset();
}

int MpvVst::pitch_wheel_range() { return std::clamp(PrepatchedRegistry::getPitchBendRange(), 0, 12); }

MpvVst::MpvVst(MpvVstHost* host) : host_(host), notify_(kNotifyCapacity), timer_(10) {}

MpvVst::~MpvVst() { terminate(); }

bool MpvVst::initialise(float sample_rate) {
    if (document_) return true;
    midi_ports_ = std::make_unique<CMidiInputPortManager>();
    midi_ports_->setNotify(&MpvVst::midi_notify, this);
    sync_ = static_cast<CVstSyncInputPort*>(factory_.createSyncInputPort());
    if (std::isfinite(sample_rate) && sample_rate >= 1.0f && sample_rate < 2.0e6f)
        sample_rate_ = static_cast<int>(sample_rate);

    auto doc = std::make_unique<MpvDocument>();
    doc->queue = std::make_unique<KelSimpleSynthQueue>();
    doc->synth = std::make_unique<MelloraSynth>();
    if (!doc->synth->initialise(0, 0, nullptr, doc->queue.get(), sample_rate_.load(), &midi_ports_->inputState(), sync_,
                                kPolyphony, pitch_wheel_range())) {
        KEL_WARNING("Object initialization error.\n");
        midi_ports_.reset();
        return false;
    }
    doc->parameters = std::make_unique<MpvParameterSetVst>(*doc->synth, *doc->queue, host_);
    mellora_fill_parameter_set(*doc->parameters);
    last_values_ = std::make_unique<std::atomic<float>[]>(static_cast<std::size_t>(doc->parameters->host_count()));
    document_ = std::move(doc);
    if (!read_into_synth(kMelloraDefaultInstrumentText)) {
        KEL_WARNING("The built-in instrument could not be read.");
        document_.reset();
        midi_ports_.reset();
        return false;
    }
    if (sync_ && host_) sync_->connect(host_->host_services());
    if (!midi_ports_->openPort(factory_, 0)) {
        KEL_WARNING("Object initialization error.\n");
        terminate();
        return false;
    }
    midi_ports_->applySettings();
    current_program_ = 0;
    timer_.add_client(this);
    notifier_stop_ = false;
    notifier_ = std::thread([this] { notifier_loop(); });
    return true;
}

void MpvVst::terminate() {
    if (notifier_.joinable()) {
        {
            std::lock_guard<std::mutex> hold(notifier_mutex_);
            notifier_stop_ = true;
        }
        notifier_wake_.notify_all();
        notifier_.join();
    }
    timer_.remove_client(this);
    timer_.stop();
    if (sync_) sync_->disconnect();
    document_.reset();
    midi_ports_.reset();
}

void MpvVst::set_sample_rate(float rate) {
    // A rate of 0, a negative or a non-finite one would break every filter: ignored.
    if (!std::isfinite(rate) || rate < 1.0f || rate >= 2.0e6f) return;
    const int r = static_cast<int>(rate);
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (r == sample_rate_.load()) return;
    // The rate change holds the gate itself, without the counter and without a fade.
    control_count_.fetch_add(1);
    while (audio_count_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sample_rate_ = r;
    if (document_) {
        // Filters and delays take the new rate at a reset: what sounds is cut, as a host
        // changes the rate between songs, not within one.
        document_->synth->set_sample_rate(r);
        document_->synth->reset();
    }
    control_count_.fetch_sub(1);
}

// ---- gate ----

void MpvVst::enter_reconfiguration() {
    if (reconfiguration_counter_ == 0) {
        control_count_.fetch_add(1);
        // A block in progress finishes within its own duration; poll until it has.
        while (audio_count_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ++reconfiguration_counter_;
}

void MpvVst::leave_reconfiguration(bool fade) {
    if (reconfiguration_counter_ < 1) return;
    --reconfiguration_counter_;
    if (fade) {
        // No block runs while the gate is held: the fade state is ours to set.
        const int rate = sample_rate_.load();
        const int length = rate / 16 > 0 ? rate / 16 : 1;
        fade_gain_ = 0.0f;
        fade_step_ = 1.0f / static_cast<float>(length);
        fade_remaining_ = length;
        fade_active_ = true;
    }
    if (reconfiguration_counter_ == 0) control_count_.fetch_sub(1);
}

// ---- audio ----

int MpvVst::process_events(const vst2::Events* list) {
    if (list && midi_ports_) midi_ports_->processEvents(list);
    return 1;
}

int MpvVst::process(float** inputs, float** outputs, int32_t frames, bool replacing) {
    (void)inputs;
    (void)replacing;  // the render overwrites in both forms
    if (!outputs || !outputs[0] || !outputs[1] || frames <= 0) return 0;
    return render(frames, outputs);
}

int MpvVst::render(int32_t frames, float** outputs) {
    FloatingPointGuard guard;
    const auto started = std::chrono::steady_clock::now();
    float* left = outputs[0];
    float* right = outputs[1];
    const int rate = sample_rate_.load(std::memory_order_relaxed);
    audio_count_.fetch_add(1);
    const bool may_render = control_count_.load() == 0 && document_;
    if (may_render) {
        MidiInputState& midi = midi_ports_->inputState();
        if (sync_) sync_->update(frames, rate);
        midi_ports_->dispatch(static_cast<uint32_t>(frames));
        if (reset_pending_.exchange(false)) midi.allNotesOff();
        document_->synth->render(&midi, left, right, frames);
        midi.endOfBlock();
        if (fade_active_) {
            for (int32_t i = 0; i < frames; ++i) {
                left[i] *= fade_gain_;
                right[i] *= fade_gain_;
                if (fade_remaining_ > 1) {
                    fade_gain_ += fade_step_;
                    --fade_remaining_;
                } else if (fade_remaining_ == 1) {
                    fade_gain_ = 1.0f;
                    fade_remaining_ = 0;
                }
            }
            if (fade_gain_ == 1.0f) fade_active_ = false;
        }
    } else {
        std::memset(left, 0, sizeof(float) * static_cast<std::size_t>(frames));
        std::memset(right, 0, sizeof(float) * static_cast<std::size_t>(frames));
        // From the previous block's last sample straight down to 0: no click.
        const float last[2] = {last_left_, last_right_};
        float* channel[2] = {left, right};
        for (int c = 0; c < 2; ++c) {
            if (last[c] == 0) continue;
            if (frames == 1) {
                channel[c][0] = last[c];
                continue;
            }
            for (int32_t k = 0; k < frames - 1; ++k)
                channel[c][k] = last[c] - static_cast<float>(k) * last[c] / static_cast<float>(frames - 1);
            channel[c][frames - 1] = 0.0f;
        }
    }
    last_left_ = left[frames - 1];
    last_right_ = right[frames - 1];
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - started).count();
    const double load = 100.0 * us / (frames * 1.0e6 / rate);
    cpu_load_.store(static_cast<float>(load < 100.0 ? load : 100.0), std::memory_order_relaxed);
    audio_count_.fetch_sub(1);
    return 1;
}

// ---- notifications ----

void MpvVst::midi_notify(void* self, const MidiPortNotify& n) {
    MpvNotifyRecord r;
    r.type = n.kind;
    std::memcpy(r.words, n.words, sizeof r.words);
    static_cast<MpvVst*>(self)->push_notification(r);
}

void MpvVst::notifier_loop() {
    std::unique_lock<std::mutex> hold(notifier_mutex_);
    while (!notifier_stop_) {
        notifier_wake_.wait_for(hold, std::chrono::milliseconds(10));
        if (notifier_stop_) break;
        hold.unlock();
        drain_notifications();
        hold.lock();
    }
}

void MpvVst::timer_call(KelTimerCallback&) {
    if (display_pending_.exchange(false) && host_) host_->update_display();
}

void MpvVst::drain_notifications() {
    MpvNotifyRecord r;
    while (notify_.pop(r)) {
        // Tempo and position come from the host's time info: only program changes count.
        if (r.type != kMidiNotifyProgramChange) continue;
        if (select_program(r.words[1])) display_pending_.store(true);
    }
}

// ---- programs and state ----

bool MpvVst::read_into_synth(std::string_view text) {
    if (!document_) return false;
    MelloraSynth& synth = *document_->synth;
    KelTextReader probe(text);
    if (probe.next_token() != synth.root()->type_name || probe.next_token() != synth.root()->name) return false;
    const int errors = kel_error_count();
    KelTextReader in(text);
    return synth.read_state(1, in, true) && kel_error_count() == errors;
}

std::string MpvVst::state_text() const {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (!document_) return {};
    // The blocks render on meanwhile; only their settings writes wait for the text.
    SettingsReadScope reading(document_->synth->settings_latch());
    KelTextWriter out;
    document_->synth->write_state(1, out);
    return out.str();
}

float MpvVst::parameter_value(int index) {
    MpvParameterSetVst* set = parameters();
    if (!set || index < 0 || index >= set->host_count()) return 0;
    std::atomic<float>& last = last_values_[static_cast<std::size_t>(index)];
    std::unique_lock<std::recursive_mutex> hold(lock_, std::try_to_lock);
    if (!hold.owns_lock()) return last.load(std::memory_order_relaxed);
    SettingsLatch& latch = document_->synth->settings_latch();
    if (!latch.try_read_enter()) return last.load(std::memory_order_relaxed);
    const float x = set->get_parameter(index);
    latch.read_leave();
    last.store(x, std::memory_order_relaxed);
    return x;
}

std::string MpvVst::parameter_display(int index) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    MpvParameterSetVst* set = parameters();
    if (!set) return {};
    SettingsReadScope reading(document_->synth->settings_latch());
    return set->parameter_display(index);
}

std::string MpvVst::program_name(int index) const {
    if (index < 0 || index >= kPrograms) return {};
    std::lock_guard<std::recursive_mutex> hold(lock_);
    return programs_[static_cast<std::size_t>(index)].name;
}

bool MpvVst::load_state_text(std::string_view text) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (!document_) return false;
    {
        // Cheap refusal of what is plainly not a state text, before touching the sound.
        KelTextReader probe(text);
        MelloraSynth& synth = *document_->synth;
        if (probe.next_token() != synth.root()->type_name || probe.next_token() != synth.root()->name) return false;
    }
    const std::string previous = state_text();
    enter_reconfiguration();
    bool ok = read_into_synth(text);
    // A text that breaks off half-way has already moved some modules: put them back.
    if (!ok) read_into_synth(previous);
    leave_reconfiguration(true);
    return ok;
}

bool MpvVst::select_program(int index) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (index < 0 || index >= kPrograms || !document_) return false;
    programs_[static_cast<std::size_t>(current_program_.load())].state_text = state_text();
    const std::string& text = programs_[static_cast<std::size_t>(index)].state_text;
    enter_reconfiguration();
    const bool ok = read_into_synth(text.empty() ? std::string_view(kMelloraDefaultInstrumentText) : text);
    leave_reconfiguration(true);
    current_program_ = index;
    document_->name = programs_[static_cast<std::size_t>(index)].name;
    return ok;
}

void MpvVst::rename_current(std::string_view name) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    programs_[static_cast<std::size_t>(current_program_.load())].name = std::string(name);
    if (document_) document_->name = std::string(name);
}

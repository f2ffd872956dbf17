#pragma once
// The services the plug-in asks of its host, in the host's terms but without its
// binary interface: the plug-in's VST layer implements this over the host callback,
// and the headless host answers tests and the command-line tools.
//
// Threads and order: version() comes before anything else (0 means the host refuses
// and no effect is built); want_midi() at every resume; get_time() once per rendered
// block on the audio thread, where it must not lock, allocate or wait; everything else
// on the user-interface thread.
#include <cstdint>
#include <vector>

// What the tempo port asks for: tempo valid, ppq position valid, transport playing.
constexpr int32_t kKelHostTimeRequest = 0x602;

struct KelHostTime {
    bool tempo_valid = false;
    double tempo_bpm = 120.0;
    bool ppq_valid = false;
    double ppq_position = 0.0;  // quarter notes
    bool playing = false;       // playing or recording
};

class KelHostServices {
public:
    virtual ~KelHostServices() = default;
    virtual int32_t version() = 0;
    virtual void want_midi() = 0;
    // A parameter change made by the plug-in, for the host's automation (value 0..1).
    virtual void automate(int32_t index, float value) = 0;
    virtual void begin_edit(int32_t index) = 0;
    virtual void end_edit(int32_t index) = 0;
    // False when the host gives no time record; `out` is then unchanged.
    virtual bool get_time(int32_t request_mask, KelHostTime& out) = 0;
    // The host re-reads program names and parameter texts.
    virtual void update_display() = 0;
    // Tells the host the editor's new size; true when the host resized its frame.
    virtual bool size_window(int32_t width, int32_t height) = 0;
};

// A host for tests and tools: answers version 2400 (settable), gives the time record set
// by the test (none until set), and records every user-interface call in order.
class KelHeadlessHost : public KelHostServices {
public:
    enum class Call { WantMidi, Automate, BeginEdit, EndEdit, UpdateDisplay, SizeWindow };
    struct Record {
        Call call;
        int32_t a = 0;    // parameter index, or width
        int32_t b = 0;    // height
        float value = 0;  // automation value
    };

    int32_t version() override { return version_; }
    void want_midi() override { calls_.push_back({Call::WantMidi}); }
    void automate(int32_t index, float value) override { calls_.push_back({Call::Automate, index, 0, value}); }
    void begin_edit(int32_t index) override { calls_.push_back({Call::BeginEdit, index}); }
    void end_edit(int32_t index) override { calls_.push_back({Call::EndEdit, index}); }
    bool get_time(int32_t request_mask, KelHostTime& out) override {
        ++time_requests_;
        last_mask_ = request_mask;
        if (!has_time_) return false;
        out = time_;
        return true;
    }
    void update_display() override { calls_.push_back({Call::UpdateDisplay}); }
    bool size_window(int32_t width, int32_t height) override {
        calls_.push_back({Call::SizeWindow, width, height});
        return true;
    }

    // Set while no render runs (the record is read by the audio thread unguarded).
    void set_version(int32_t v) { version_ = v; }
    void set_time(const KelHostTime& t) {
        time_ = t;
        has_time_ = true;
    }
    void clear_time() { has_time_ = false; }

    const std::vector<Record>& calls() const { return calls_; }
    int time_requests() const { return time_requests_; }
    int32_t last_time_mask() const { return last_mask_; }

private:
    int32_t version_ = 2400;
    bool has_time_ = false;
    KelHostTime time_;
    int time_requests_ = 0;
    int32_t last_mask_ = 0;
    std::vector<Record> calls_;
};

#pragma once
// The effect the host talks to: it answers every host call, creates the application
// object on open and forwards audio, MIDI, parameters, programs and the state chunk to
// it. MelloraAudioEffect fixes the instrument's identity (programs, parameters, id).
//
// Threads: as AudioEffect. Calls that need the application open it first, so a host
// that sets parameters or the rate before open still reaches the instrument.
#include <atomic>
#include <memory>
#include <string>

#include "mpv/mpv_vst.h"
#include "plugin/audio_effect.h"

class MpvAudioEffect : public AudioEffectX, public MpvVstHost, public KelHostServices {
public:
    MpvAudioEffect(vst2::HostCallback host, int32_t programs, int32_t parameters, int32_t unique_id,
                   int32_t vendor_version, bool programs_are_chunks, int32_t inputs, int32_t outputs, bool synth);
    ~MpvAudioEffect() override;

    void open() override;
    void close() override;
    void suspend() override;
    void resume() override;
    void setSampleRate(float rate) override;
    void processReplacing(float** inputs, float** outputs, int32_t frames) override;
    void process(float** inputs, float** outputs, int32_t frames) override;
    void setParameter(int32_t index, float value) override;
    float getParameter(int32_t index) override;
    int32_t getProgram() override;
    void setProgram(int32_t program) override;
    void setProgramName(const char* name) override;
    void getProgramName(char* name) override;
    void getParameterLabel(int32_t index, char* label) override;
    void getParameterDisplay(int32_t index, char* text) override;
    void getParameterName(int32_t index, char* text) override;
    int32_t getChunk(void** data, bool is_preset) override;
    int32_t setChunk(void* data, int32_t size, bool is_preset) override;
    bool canParameterBeAutomated(int32_t index) override;
    bool getParameterProperties(int32_t index, vst2::ParameterProperties* p) override;
    bool getProgramNameIndexed(int32_t category, int32_t index, char* text) override;
    bool getInputProperties(int32_t index, vst2::PinProperties* p) override;
    bool getOutputProperties(int32_t index, vst2::PinProperties* p) override;
    int32_t processEvents(vst2::Events* events) override;
    bool getEffectName(char* text) override;
    bool getVendorString(char* text) override;
    bool getProductString(char* text) override;
    int32_t getVendorVersion() override { return vendor_version_; }
    int32_t canDo(const char* text) override;

    virtual bool wantsDisplayUpdate() { return true; }
    virtual void automateParameter(int32_t index, float value);

    // MpvVstHost
    void automate_parameter(int index, float value) override { automateParameter(index, value); }
    void begin_edit(int index) override { call_host(vst2::kHostBeginEdit, index); }
    void end_edit(int index) override { call_host(vst2::kHostEndEdit, index); }
    bool has_editor() const override { return false; }
    void update_display() override {
        if (wantsDisplayUpdate()) updateDisplay();
    }

    KelHostServices* host_services() override { return this; }

    // KelHostServices over the host callback (begin_edit, end_edit and update_display
    // above serve both interfaces).
    int32_t version() override { return host_version(); }
    void want_midi() override { wantEvents(1); }
    void automate(int32_t index, float value) override { call_host(vst2::kHostAutomate, index, 0, nullptr, value); }
    // Audio thread: one host call, nothing else.
    bool get_time(int32_t request_mask, KelHostTime& out) override {
        return vst_time_to_host_time(
            reinterpret_cast<const vst2::TimeInfo*>(call_host(vst2::kHostGetTime, 0, request_mask)), out);
    }
    bool size_window(int32_t width, int32_t height) override {
        return call_host(vst2::kHostSizeWindow, width, height) != 0;
    }

    MpvVst* application() { return application_.get(); }
    bool opened() const { return opened_; }

protected:
    intptr_t dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) override;
    bool ensure_open();
    // Our renderer's kSeedRequest: fixes the noise seed before open; refused after.
    bool fix_noise_seed(intptr_t value);

private:
    std::unique_ptr<MpvVst> application_;
    bool opened_ = false;
    bool resumed_ = false;
    std::string vendor_ = "Kestrune";
    std::string product_ = "Mellora 3.1";
    std::string effect_name_ = "Mellora 3.1";
    int32_t vendor_version_;
    int32_t input_count_, output_count_;
    bool opening_ = false;
    std::string chunk_;
    // Read by setParameter, which may come from the audio thread.
    std::atomic<bool> setting_program_{false};
    std::atomic<bool> setting_chunk_{false};
};

class MelloraAudioEffect : public MpvAudioEffect {
public:
    static constexpr int32_t kUniqueId = vst2::four_cc('M', 'O', 'z', '3');
    MelloraAudioEffect(vst2::HostCallback host, int32_t vendor_version);
};

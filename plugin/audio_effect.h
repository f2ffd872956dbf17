#pragma once
// Our own effect base classes over the binary interface: AudioEffect holds the effect
// record and routes the host's opcodes and process calls to virtual operations;
// AudioEffectX adds the 2.x operations and the host services they need.
//
// The static entry functions check the record and its object before forwarding, and
// catch everything: no exception ever crosses into the host, a failed call answers 0.
//
// Threads: the dispatcher runs on the host's user-interface thread except
// effProcessEvents, which comes with processReplacing on the audio thread; setParameter
// and getParameter may come on any thread.
#include <cstdint>

#include "plugin/vst2_abi.h"

class AudioEffect {
public:
    AudioEffect(vst2::HostCallback host, int32_t programs, int32_t parameters);
    virtual ~AudioEffect();
    AudioEffect(const AudioEffect&) = delete;
    AudioEffect& operator=(const AudioEffect&) = delete;

    vst2::Effect* effect() { return &effect_; }
    static AudioEffect* from(vst2::Effect* e);

    // ---- the operations the dispatcher reaches ----
    virtual void open() {}
    virtual void close() {}
    virtual void suspend() {}
    virtual void resume() {}
    virtual void setSampleRate(float rate) { sample_rate_ = rate; }
    virtual void setBlockSize(int32_t size) { block_size_ = size; }
    virtual void processReplacing(float** inputs, float** outputs, int32_t frames) = 0;
    virtual void process(float** inputs, float** outputs, int32_t frames) { processReplacing(inputs, outputs, frames); }
    virtual void setParameter(int32_t, float) {}
    virtual float getParameter(int32_t) { return 0; }
    virtual int32_t getProgram() { return current_program_; }
    virtual void setProgram(int32_t program) { current_program_ = program; }
    virtual void setProgramName(const char*) {}
    virtual void getProgramName(char* name) { name[0] = 0; }
    virtual void getParameterLabel(int32_t, char* label) { label[0] = 0; }
    virtual void getParameterDisplay(int32_t, char* text) { text[0] = 0; }
    virtual void getParameterName(int32_t, char* text) { text[0] = 0; }
    virtual int32_t getChunk(void**, bool) { return 0; }
    virtual int32_t setChunk(void*, int32_t, bool) { return 0; }

    // Host services.
    intptr_t call_host(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr, float opt = 0);
    void setParameterAutomated(int32_t index, float value);
    float sample_rate() const { return sample_rate_; }
    int32_t block_size() const { return block_size_; }

protected:
    // An opcode the base does not know (the 2.x set); 0 = "not handled".
    virtual intptr_t dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt);

    void setUniqueID(int32_t id) { effect_.unique_id = id; }
    void setNumInputs(int32_t n) { effect_.num_inputs = n; }
    void setNumOutputs(int32_t n) { effect_.num_outputs = n; }
    void setInitialDelay(int32_t n) { effect_.initial_delay = n; }
    void canProcessReplacing(bool on) { set_flag(vst2::kEffectFlagCanReplacing, on); }
    void programsAreChunks(bool on) { set_flag(vst2::kEffectFlagProgramChunks, on); }
    void hasEditor(bool on) { set_flag(vst2::kEffectFlagHasEditor, on); }
    void set_flag(int32_t flag, bool on) { effect_.flags = on ? (effect_.flags | flag) : (effect_.flags & ~flag); }

    vst2::HostCallback host_;
    float sample_rate_ = 44100.0f;
    int32_t block_size_ = 1024;
    int32_t current_program_ = 0;

private:
    friend struct AudioEffectEntries;
    vst2::Effect effect_{};
};

class AudioEffectX : public AudioEffect {
public:
    using AudioEffect::AudioEffect;

    virtual bool canParameterBeAutomated(int32_t) { return true; }
    virtual bool getParameterProperties(int32_t, vst2::ParameterProperties*) { return false; }
    virtual bool getProgramNameIndexed(int32_t, int32_t, char*) { return false; }
    virtual bool getInputProperties(int32_t, vst2::PinProperties*) { return false; }
    virtual bool getOutputProperties(int32_t, vst2::PinProperties*) { return false; }
    virtual int32_t processEvents(vst2::Events*) { return 0; }
    virtual bool getEffectName(char*) { return false; }
    virtual bool getVendorString(char*) { return false; }
    virtual bool getProductString(char*) { return false; }
    virtual int32_t getVendorVersion() { return 0; }
    virtual int32_t canDo(const char*) { return 0; }
    virtual int32_t getPlugCategory() { return is_synth_ ? vst2::kCategorySynth : vst2::kCategoryUnknown; }
    virtual int32_t getTailSize() { return 0; }
    virtual int32_t getMidiProgramName(int32_t, vst2::MidiProgramName*) { return 0; }
    virtual bool copyProgram(int32_t) { return false; }

    void isSynth(bool on) {
        is_synth_ = on;
        set_flag(vst2::kEffectFlagIsSynth, on);
    }
    void wantEvents(int32_t on = 1) { call_host(vst2::kHostWantMidi, 0, on); }
    void updateDisplay() { call_host(vst2::kHostUpdateDisplay); }
    int32_t host_version() { return static_cast<int32_t>(call_host(vst2::kHostVersion)); }

protected:
    intptr_t dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) override;

private:
    bool is_synth_ = false;
};

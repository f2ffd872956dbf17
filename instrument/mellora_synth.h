#pragma once
// The instrument: the complete module graph of the electric piano, built from its
// netlist lines, with a hand-written render that runs only the voices that sound and
// switches the effect chain off once its tail has died away.
//
// Threads: initialise, reset, state text and destruction on the user-interface thread
// while no render runs (the document's reconfiguration gate keeps them apart); render
// and the messages it drains on the audio thread, which never allocates, locks or waits.
#include <cstdint>
#include <string_view>

#include "engine/synth.h"
#include "engine/voice_block.h"

class CSyncInputPort;

class MelloraSynth : public Synth {
public:
    static constexpr int kMaxVoices = t_voice_block::kCapacity;

    MelloraSynth();
    ~MelloraSynth() override;

    // Builds the graph for `polyphony` voices (1..32) at the rate. False, with the
    // graph freed, when a module cannot be made.
    bool initialise(int owner_a, int owner_b, ModuleObserver* observer, KelSynthQueue* queue, int sample_rate,
                    MidiInputState* midi, CSyncInputPort* host_clock, int polyphony, int pitch_wheel_range);

    // One host block into the two channels.
    void render(MidiInputState* midi, float* left, float* right, int frames);
    void reset() override;
    void set_sample_rate(int rate) override;

    int set_parameter(int32_t module_id, int32_t param_id, float position) override;
    int set_parameter_int(int32_t module_id, int32_t param_id, int32_t position) override;
    // Keeps the effect chain running for at least n samples (a preset was modified).
    void keep_tail(int n);

    // State text of one module by id; reading into the root can reset afterwards.
    bool write_state(int32_t module_id, KelTextWriter& out);
    bool read_state(int32_t module_id, KelTextReader& in, bool reset_after);
    // Reads settings kept outside presets into the Keyboard, despite its protection.
    void apply_keyboard_settings(std::string_view text);

    int polyphony() const { return polyphony_; }
    int pitch_wheel_range() const { return pitch_wheel_range_; }
    const t_voice_block& voice_block() const { return voices_; }
    bool effect_chain_active() const { return tail_[0].active || tail_[1].active; }
    int forced_tail() const { return forced_tail_; }

    // The named modules, for the documents and the tests.
    t_module *clock = nullptr, *keyboard = nullptr, *constant_1_pitch = nullptr, *key_follow0 = nullptr,
             *vel_follow0 = nullptr, *mix = nullptr, *volume = nullptr, *volume_right = nullptr,
             *tremolo = nullptr, *eq = nullptr, *recorder = nullptr, *topology = nullptr, *effect_a = nullptr,
             *effect_b = nullptr, *reverb_module = nullptr, *reverb = nullptr, *level_left = nullptr,
             *level_right = nullptr, *stereo = nullptr;
    t_module* mallet_add[kMaxVoices] = {};
    t_module* key_follow_vca[kMaxVoices] = {};
    t_module* vel_follow_vca[kMaxVoices] = {};
    t_module* adder[kMaxVoices] = {};
    t_module* mallet[kMaxVoices] = {};
    t_module* noise_damper[kMaxVoices] = {};
    t_module* fork[kMaxVoices] = {};
    t_module* pick_up[kMaxVoices] = {};

private:
    bool build_graph(MidiInputState* midi, CSyncInputPort* host_clock);
    bool collect_services(MidiInputState* midi, CSyncInputPort* host_clock);
    void render_sub_block(int n);
    void hand_midi(t_module* m, MidiInputState* midi);
    void after_set(int32_t module_id);

    int owner_a_ = 0, owner_b_ = 0;
    int polyphony_ = 4;
    int pitch_wheel_range_ = 2;
    t_voice_block voices_;
    t_voice_record tail_[2];  // the effect chain's left and right tail detectors
    int forced_tail_ = 0;
    std::vector<t_module*> audio_modules_, second_input_modules_, midi_modules_;
    MidiInputState* held_input_ = nullptr;
    std::vector<int> held_channels_;
};

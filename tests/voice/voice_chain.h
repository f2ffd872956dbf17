#pragma once
// A test-side voice chain wired with the kernel as the instrument wires it: the master
// clock and the keyboard, the key-follow and velocity-follow gains into each voice's
// mallet, the damper, their sum into the fork, the pickup, the voice mix, the equaliser
// and the tremolo. Rendered with the instrument's schedule in short: only voices that
// the voice block marks active run, a released voice is watched for silence and reset
// when it has stopped. Enough to play single notes into a buffer; the effect slots,
// reverb and volume belong to the full instrument graph.
#include <memory>
#include <string>
#include <vector>

#include "analog/pm_polyvkey.h"
#include "engine/midi_input_state.h"
#include "engine/modular.h"
#include "engine/voice_block.h"
#include "modal/fork.h"
#include "modules/constant.h"
#include "modules/eq_3band.h"
#include "modules/lin_gain.h"
#include "modules/mallet.h"
#include "modules/noise_damper.h"
#include "modules/pick_up.h"
#include "modules/plus.h"
#include "modules/transport.h"
#include "modules/tremolo.h"
#include "modules/vca.h"
#include "tests/support/alloc_counter.h"

namespace voice_chain {


// Settings close to the factory sound, so that a note rings like an electric piano.
inline const char* const kMalletSettings =
    "cutoff 367.26 strength 0.257812 felt_coeff 0.34 mod1 1 mod2 3.86928 mod3 2";
inline const char* const kDamperSettings = "cutoff 54.5395 strength 0.115478 balance 0.795276";
inline const char* const kForkSettings =
    "release_time 0.750324 damping_tone 0.809462 amplitude_tone 0.463047 damping_tine 10.2198"
    " damp_freq_tine 1.15625 amplitude_tine 0.253003 tine_balance 0.448819 noise_pitch 1.56299"
    " damping_noise 81.106 damp_freq_noise 0.78125 amplitude_noise 0.0504807 old_new 0";
inline const char* const kPickUpSettings =
    "a 0.67389 b 0.278472 saturation 0.11 amp_in 0.235437 amp_out 1.64295 amp_out_kbd -0.295276 model 0";

struct Voice {
    t_module *key_follow_vca, *vel_follow_vca, *adder, *mallet, *damper, *mallet_add, *fork, *pick_up;
};

class Chain {
  public:
    Chain(int polyphony, int rate) : polyphony_(polyphony), rate_(rate) {
        const std::string r = std::to_string(rate);
        root_ = module_create_generic("0 0 main_synth");
        clock_ = add(transport_create(r + " 1024 Clock"));
        keyboard_ = add(pm_polyvkey_create(r + " 512 " + std::to_string(2.0f / 12) + " 0 " +
                                           std::to_string(polyphony) + " Keyboard"));
        constant_ = add(constant_create(r + " 1024 1. constant_1_pitch"));
        key_follow_ = add(lin_gain_create(r + " 512 -0.5 0.9 key_follow0"));
        vel_follow_ = add(lin_gain_create(r + " 512 0. 3.5 vel_follow0"));
        module_connect(clock_, 1, keyboard_, 1);
        module_connect(constant_, 1, key_follow_, 1);
        module_connect(constant_, 1, vel_follow_, 1);
        for (int i = 0; i < polyphony; ++i)
            add_voice(r, i);
        mix_ = add(plus_create(r + " 512 " + std::to_string(polyphony) + " mix"));
        for (int i = 0; i < polyphony; ++i)
            module_connect(voices_[i].pick_up, 1, mix_, i + 1);
        eq_ = add(eq_3band_create(r + " 512 Eq"));
        tremolo_ = add(tremolo_create(r + " 1024 Tremolo"));
        module_connect(mix_, 1, eq_, 1);
        module_connect(clock_, 1, tremolo_, 1);
        module_connect(eq_, 1, tremolo_, 3);
        ok_ = ok_ && wire_shop_assign_buffers(shop_, root_);
        if (!ok_) return;
        // Voice 0 holds the settings; every other voice is its clone.
        settings(voices_[0].mallet, kMalletSettings);
        settings(voices_[0].damper, kDamperSettings);
        settings(voices_[0].fork, kForkSettings);
        settings(voices_[0].pick_up, kPickUpSettings);
        intptr_t arg = reinterpret_cast<intptr_t>(&block_);
        keyboard_->control(keyboard_, kKeyboardControlVoiceBlock, &arg, 1);
        intptr_t bind[2] = {reinterpret_cast<intptr_t>(static_cast<MidiChannelSource*>(midi_.get())), 0};
        for (const Voice& v : voices_) {
            v.damper->control(v.damper, kMidiBindControl, bind, 2);
            v.fork->control(v.fork, kMidiBindControl, bind, 2);
        }
        left_.reserve(1 << 20);
        right_.reserve(1 << 20);
    }
    ~Chain() {
        module_free(root_);
        wire_shop_free(shop_);
    }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    bool ok() const { return ok_; }
    void on(int note, int velocity = 100) {
        queue_.push(t_midi_event{0, 0x90, uint8_t(note), uint8_t(velocity)});
    }
    void off(int note) { queue_.push(t_midi_event{0, 0x80, uint8_t(note), 0}); }

    // One host block of at most 1024 frames per sub-block.
    void render(long frames) {
        mellora::test::AllocationCounter counter;
        while (frames > 0) {
            const int n = static_cast<int>(std::min<long>(frames, 1024));
            midi_->dispatch(queue_, static_cast<uint32_t>(n));
            intptr_t arg = reinterpret_cast<intptr_t>(midi_.get());
            keyboard_->control(keyboard_, kKeyboardControlMidi, &arg, 1);
            sub_block(n);
            midi_->endOfBlock();
            frames -= n;
        }
        allocations_ += counter.count();
    }

    const std::vector<float>& left() const { return left_; }
    const std::vector<float>& right() const { return right_; }
    const t_voice_block& block() const { return block_; }
    const Voice& voice(int i) const { return voices_[i]; }
    std::size_t allocations() const { return allocations_; }
    int rate() const { return rate_; }

  private:
    t_module* add(t_module* m) {
        if (!m) {
            ok_ = false;
            return nullptr;
        }
        module_add_child(root_, m);
        return m;
    }

    void add_voice(const std::string& r, int i) {
        const std::string n = std::to_string(i);
        Voice v{};
        v.key_follow_vca = add(vca_create(r + " 512 key_follow_vca" + n));
        v.vel_follow_vca = add(vca_create(r + " 512 vel_follow_vca" + n));
        v.adder = add(plus_create(r + " 512 2 adder" + n));
        v.mallet = add(mallet_create(r + " 512 100. 1 mallet" + n));
        v.damper = add(noise_damper_create(r + " 512 100. 0 noise_damper" + n));
        v.mallet_add = add(plus_create(r + " 1024 2 mallet_add" + n));
        v.fork = add(fork_create(r + " 512 fork" + n));
        v.pick_up = add(pick_up_create(r + " 512 1. 1. 0. 0. pick_up" + n));
        voices_.push_back(v);
        if (!ok_) return;
        const int gate = 3 * i + 1, pitch = 3 * i + 2, velocity = 3 * i + 3;
        module_connect(keyboard_, pitch, v.key_follow_vca, 1);
        module_connect(key_follow_, 1, v.key_follow_vca, 2);
        module_connect(keyboard_, velocity, v.vel_follow_vca, 1);
        module_connect(vel_follow_, 1, v.vel_follow_vca, 2);
        module_connect(v.key_follow_vca, 1, v.adder, 1);
        module_connect(v.vel_follow_vca, 1, v.adder, 2);
        module_connect(keyboard_, gate, v.mallet, 1);
        module_connect(keyboard_, pitch, v.mallet, 2);
        module_connect(keyboard_, velocity, v.mallet, 3);
        module_connect(v.adder, 1, v.mallet, 4);
        module_connect(keyboard_, gate, v.damper, 1);
        module_connect(keyboard_, pitch, v.damper, 3);
        module_connect(v.damper, 1, v.mallet_add, 1);
        module_connect(v.mallet, 1, v.mallet_add, 2);
        module_connect(keyboard_, gate, v.fork, 1);
        module_connect(v.mallet_add, 1, v.fork, 2);
        module_connect(keyboard_, pitch, v.fork, 3);
        module_connect(v.fork, 1, v.pick_up, 1);
        module_connect(keyboard_, pitch, v.pick_up, 2);
        module_connect(keyboard_, gate, v.pick_up, 3);
        if (i == 0) {
            for (t_module* m : {v.mallet, v.damper, v.fork, v.pick_up})
                module_set_persistence(m, 1);
        } else {
            module_add_clone(voices_[0].mallet, v.mallet);
            module_add_clone(voices_[0].damper, v.damper);
            module_add_clone(voices_[0].fork, v.fork);
            module_add_clone(voices_[0].pick_up, v.pick_up);
        }
    }

    static void settings(t_module* m, const std::string& body) {
        const std::string text = m->type_name + " " + m->name + " version " + std::to_string(m->version) +
                                 "\n{\n" + body + "\n}\n";
        KelTextReader in(text);
        module_read_state(m, in);
    }

    static void run(t_module* m, int n) { m->process(m, n); }

    void sub_block(int n) {
        run(clock_, n);
        run(keyboard_, n);
        float* mix = module_output(mix_, 1);
        std::fill(mix, mix + n, 0.0f);
        run(constant_, n);
        run(key_follow_, n);
        run(vel_follow_, n);
        for (int i = 0; i < polyphony_; ++i) {
            t_voice_record& record = block_.voices[i];
            if (!record.active) continue;
            const Voice& v = voices_[i];
            for (t_module* m : {v.key_follow_vca, v.vel_follow_vca, v.adder, v.mallet, v.damper, v.mallet_add,
                                v.fork, v.pick_up})
                run(m, n);
            const float* out = module_output(v.pick_up, 1);
            // A released voice stops once its pickup has been quiet for the hold length.
            if (module_output(keyboard_, 3 * i + 1)[0] < 0.1f) {
                voice_record_watch(record, out, n);
                if (!record.active)
                    for (t_module* m : {v.mallet, v.damper, v.fork, v.pick_up})
                        m->reset(m);
            }
            for (int k = 0; k < n; ++k)
                mix[k] += out[k];
        }
        run(eq_, n);
        run(tremolo_, n);
        const float* l = module_output(tremolo_, 1);
        const float* rt = module_output(tremolo_, 2);
        left_.insert(left_.end(), l, l + n);
        right_.insert(right_.end(), rt, rt + n);
    }

    int polyphony_;
    int rate_;
    bool ok_ = true;
    std::unique_ptr<MidiInputState> midi_ = std::make_unique<MidiInputState>();
    KelMidiEventQueue queue_{kMidiEventQueueCapacity};
    t_voice_block block_;
    t_module* root_ = nullptr;
    wire_shop* shop_ = wire_shop_create(1024);
    t_module *clock_ = nullptr, *keyboard_ = nullptr, *constant_ = nullptr, *key_follow_ = nullptr,
             *vel_follow_ = nullptr, *mix_ = nullptr, *eq_ = nullptr, *tremolo_ = nullptr;
    std::vector<Voice> voices_;
    std::vector<float> left_, right_;
    std::size_t allocations_ = 0;
};

} // namespace voice_chain

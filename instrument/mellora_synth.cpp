// The instrument's graph, built line by line from its netlist, and its render.
#include "instrument/mellora_synth.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "analog/pm_polyvkey.h"
#include "analog/pm_sync_chorus.h"
#include "analog/sync_ping_pong_delay.h"
#include "engine/report.h"
#include "engine/sync_input_port.h"
#include "modal/fork.h"
#include "modules/auto_wah.h"
#include "modules/constant.h"
#include "modules/denormal_noise.h"
#include "modules/distortion.h"
#include "modules/eq_3band.h"
#include "modules/fx_wrapper.h"
#include "modules/level.h"
#include "modules/lin_gain.h"
#include "modules/mallet.h"
#include "modules/mo_topology.h"
#include "modules/noise_damper.h"
#include "modules/phaser.h"
#include "modules/pick_up.h"
#include "modules/plus.h"
#include "modules/recorder.h"
#include "modules/reverberator.h"
#include "modules/stereo_audio_out.h"
#include "modules/transport.h"
#include "modules/tremolo.h"
#include "modules/vca.h"
#include "modules/volume.h"
#include "modules/wah.h"

namespace {

// The fixed ids of the named modules; everything else is counted from 1.
enum : int32_t {
    kIdClock = 600, kIdKeyboard, kIdConstant, kIdKeyFollow, kIdVelFollow, kIdKeyFollowVca0, kIdVelFollowVca0,
    kIdAdder0, kIdMallet0, kIdNoiseDamper0, kIdFork0, kIdPickUp0, kIdMix, kIdEq, kIdTremolo, kIdTopology,
    kIdEffectA, kIdEffectB, kIdReverb, kIdVolume, kIdRecorder, kIdLevelLeft, kIdLevelRight, kIdStereo,
};

constexpr int kForcedTail = 2048;  // samples the effect chain keeps running after a change

std::string line(int rate, const char* rest) { return std::to_string(rate) + rest; }

template <class... A>
std::string format(const char* f, A... a) {
    char buf[256];
    std::snprintf(buf, sizeof buf, f, a...);
    return buf;
}

int control(t_module* m, int kind, std::initializer_list<intptr_t> args) {
    return m->control(m, kind, args.begin(), static_cast<int>(args.size()));
}

intptr_t ptr(const void* p) { return reinterpret_cast<intptr_t>(p); }

} // namespace

MelloraSynth::MelloraSynth() = default;
MelloraSynth::~MelloraSynth() {
    // The MIDI input outlives the synth: give back the channels the modules listened to.
    if (held_input_)
        for (int c : held_channels_) held_input_->release(c);
}

bool MelloraSynth::initialise(int owner_a, int owner_b, ModuleObserver* observer, KelSynthQueue* queue,
                              int sample_rate, MidiInputState* midi, CSyncInputPort* host_clock, int polyphony,
                              int pitch_wheel_range) {
    owner_a_ = owner_a;
    owner_b_ = owner_b;
    set_observer(observer);
    set_queue(queue);
    sample_rate_ = sample_rate > 0 ? sample_rate : 44100;
    polyphony_ = polyphony < 1 ? 1 : polyphony > kMaxVoices ? kMaxVoices : polyphony;
    pitch_wheel_range_ = pitch_wheel_range;
    for (t_voice_record& t : tail_) {
        t.block = nullptr;
        t.hold_length = 3 * sample_rate_;  // three seconds of quiet reverb
    }
    denormal_noise::fill_default();
    const int errors = kel_error_count();
    if (!create_tables() || !build_graph(midi, host_clock) || !collect_services(midi, host_clock) ||
        kel_error_count() != errors) {
        module_free(root_);
        root_ = nullptr;
        processing_.clear();
        return false;
    }
    set_midi_input(midi);
    return true;
}

bool MelloraSynth::build_graph(MidiInputState* midi, CSyncInputPort*) {
    const int r = sample_rate_;
    const int P = polyphony_;
    bool ok = true;
    // Creates, files under the root, registers (fixed id or counted), and sets persistence.
    auto add = [&](t_module* m, int32_t id, int persistence, bool synth_pointer) -> t_module* {
        if (!m) {
            ok = false;
            return nullptr;
        }
        module_add_child(root_, m);
        register_module(m, id);
        module_set_persistence(m, persistence);
        if (synth_pointer) m->synth = this;
        return m;
    };
    auto wire = [&](t_module* a, int out, t_module* b, int in) {
        if (!a || !b || module_connect(a, out, b, in) != 1) ok = false;
    };

    t_module* root = module_create_composite(line(r, " 1024 0 0 main_synth mo"));
    if (!root) return false;
    set_root(root);
    register_module(root);
    module_set_persistence(root, 1);
    module_set_version(root, 2);

    clock = add(transport_create(line(r, " 1024 Clock")), kIdClock, 1, true);
    keyboard = add(pm_polyvkey_create(format("%d 512 %f 0 %d Keyboard", r, pitch_wheel_range_ / 12.0, P)),
                   kIdKeyboard, 1, true);
    if (!ok) return false;
    module_set_protected_module(keyboard, 1);
    wire(clock, 1, keyboard, 1);
    control(keyboard, kKeyboardControlVoiceBlock, {ptr(&voices_)});
    constant_1_pitch = add(constant_create(line(r, " 1024 1. constant_1_pitch")), kIdConstant, 0, false);
    key_follow0 = add(lin_gain_create(line(r, " 512 -0.5 0.9 key_follow0")), kIdKeyFollow, 1, false);
    vel_follow0 = add(lin_gain_create(line(r, " 512 0. 3.5 vel_follow0")), kIdVelFollow, 1, false);
    wire(constant_1_pitch, 1, key_follow0, 1);
    wire(constant_1_pitch, 1, vel_follow0, 1);

    for (int i = 0; i < P && ok; ++i) {
        const bool first = i == 0;
        const int sound = first ? 1 : 0;
        key_follow_vca[i] = add(vca_create(format("%d 512 key_follow_vca%1d", r, i)), first ? kIdKeyFollowVca0 : 0, 0, false);
        vel_follow_vca[i] = add(vca_create(format("%d 512 vel_follow_vca%1d", r, i)), first ? kIdVelFollowVca0 : 0, 0, false);
        adder[i] = add(plus_create(format("%d 512 2 adder%1d", r, i)), first ? kIdAdder0 : 0, 0, false);
        mallet[i] = add(mallet_create(format("%d 512 100. 1 mallet%1d", r, i)), first ? kIdMallet0 : 0, sound, false);
        noise_damper[i] = add(noise_damper_create(format("%d 512 100. 0 noise_damper%1d", r, i)),
                              first ? kIdNoiseDamper0 : 0, sound, false);
        mallet_add[i] = add(plus_create(format("%d 1024 2 mallet_add%1d", r, i)), 0, 0, false);
        fork[i] = add(fork_create(format("%d 512 fork%1d", r, i)), first ? kIdFork0 : 0, sound, false);
        pick_up[i] = add(pick_up_create(format("%d 512 1. 1. 0. 0. pick_up%1d", r, i)), first ? kIdPickUp0 : 0,
                         sound, false);
        if (!ok) break;
        const int gate = 3 * i + 1, pitch = 3 * i + 2, velocity = 3 * i + 3;
        wire(keyboard, pitch, key_follow_vca[i], 1);
        wire(key_follow0, 1, key_follow_vca[i], 2);
        wire(keyboard, velocity, vel_follow_vca[i], 1);
        wire(vel_follow0, 1, vel_follow_vca[i], 2);
        wire(key_follow_vca[i], 1, adder[i], 1);
        wire(vel_follow_vca[i], 1, adder[i], 2);
        wire(keyboard, gate, mallet[i], 1);
        wire(keyboard, pitch, mallet[i], 2);
        wire(keyboard, velocity, mallet[i], 3);
        wire(adder[i], 1, mallet[i], 4);
        wire(keyboard, gate, noise_damper[i], 1);
        wire(keyboard, pitch, noise_damper[i], 3);
        wire(noise_damper[i], 1, mallet_add[i], 1);
        wire(mallet[i], 1, mallet_add[i], 2);
        wire(keyboard, gate, fork[i], 1);
        wire(mallet_add[i], 1, fork[i], 2);
        wire(keyboard, pitch, fork[i], 3);
        wire(fork[i], 1, pick_up[i], 1);
        wire(keyboard, pitch, pick_up[i], 2);
        wire(keyboard, gate, pick_up[i], 3);
        if (!first) {
            // One message or one state block sets every voice.
            module_add_clone(mallet[0], mallet[i]);
            module_add_clone(noise_damper[0], noise_damper[i]);
            module_add_clone(fork[0], fork[i]);
            module_add_clone(pick_up[0], pick_up[i]);
        }
    }
    if (!ok) return false;

    mix = add(plus_create(format("%d 512 %d mix", r, P)), kIdMix, 0, false);
    for (int i = 0; i < P; ++i) wire(pick_up[i], 1, mix, i + 1);
    eq = add(eq_3band_create(line(r, " 512 Eq")), kIdEq, 1, true);
    wire(mix, 1, eq, 1);
    tremolo = add(tremolo_create(line(r, " 1024 Tremolo")), kIdTremolo, 2, false);
    wire(clock, 1, tremolo, 1);
    wire(eq, 1, tremolo, 3);
    topology = add(mo_topology_create(line(r, " 512 Topology")), kIdTopology, 2, true);
    wire(tremolo, 1, topology, 1);
    wire(tremolo, 2, topology, 2);
    if (!ok) return false;

    // One effect slot with its ten effects; `s` is the instance suffix.
    auto build_slot = [&](const char* name, int32_t id, int topo_out, char s, t_module** fx) -> t_module* {
        t_module* w = add(fx_wrapper_create(format("%d 512 12 12 13 %s", r, name)), id, 2, true);
        if (!w) return nullptr;
        wire(w, 1, topology, topo_out);
        wire(w, 2, topology, topo_out + 1);
        wire(topology, topo_out, w, 1);
        wire(topology, topo_out + 1, w, 2);
        fx[0] = add(wah_create(format("%d 512 Wah_Wah_Left_%c", r, s)), 0, 1, true);
        fx[1] = add(wah_create(format("%d 512 Wah_Wah_Right_%c", r, s)), 0, 1, true);
        fx[2] = add(auto_wah_create(format("%d 512 Auto_Wah_Left_%c", r, s)), 0, 1, true);
        fx[3] = add(auto_wah_create(format("%d 512 Auto_Wah_Right_%c", r, s)), 0, 1, true);
        fx[4] = add(distortion_create(format("%d 1024 Distortion_Left_%c", r, s)), 0, 1, true);
        fx[5] = add(distortion_create(format("%d 1024 Distortion_Right_%c", r, s)), 0, 1, true);
        fx[6] = add(pm_sync_chorus_create(format("%d 1024 Chorus_%c", r, s)), 0, 1, true);
        fx[7] = add(sync_ping_pong_delay_create(format("%d 1024 Delay_%c", r, s)), 0, 1, true);
        fx[8] = add(phaser_create(format("%d 512 550. 0.5 0. 0. Phaser_Left_%c", r, s)), 0, 1, true);
        fx[9] = add(phaser_create(format("%d 512 550. 0.5 0. 0. Phaser_Right_%c", r, s)), 0, 1, true);
        if (!ok) return nullptr;
        for (int k : {0, 1}) {
            wire(clock, 1, fx[k], 1);
            wire(clock, 2, fx[k], 2);
            wire(w, 3 + k, fx[k], 3);
            wire(fx[k], 1, w, 3 + k);
            wire(w, 13 + k, fx[2 + k], 1);
            wire(fx[2 + k], 1, w, 13 + k);
            wire(w, 5 + k, fx[4 + k], 1);
            wire(fx[4 + k], 1, w, 5 + k);
            wire(clock, 1, fx[8 + k], 1);
            wire(clock, 2, fx[8 + k], 2);
            wire(w, 11 + k, fx[8 + k], 3);
            wire(fx[8 + k], 1, w, 11 + k);
        }
        for (int k : {0, 1}) {  // chorus 7, 8 and delay 9, 10
            t_module* e = fx[6 + k];
            const int base = 7 + 2 * k;
            wire(clock, 1, e, 1);
            wire(w, base, e, 2);
            wire(w, base + 1, e, 3);
            wire(e, 1, w, base);
            wire(e, 2, w, base + 1);
        }
        return w;
    };
    t_module* fx_a[10] = {};
    t_module* fx_b[10] = {};
    effect_a = build_slot("Effect_A", kIdEffectA, 3, 'A', fx_a);
    if (!ok || !effect_a) return false;
    effect_b = build_slot("Effect_B", kIdEffectB, 5, 'B', fx_b);
    if (!ok || !effect_b) return false;

    reverb = add(fx_wrapper_create(format("%d 512 2 2 9 Reverb", r)), kIdReverb, 2, true);
    wire(topology, 1, reverb, 1);
    wire(topology, 2, reverb, 2);
    reverb_module = add(reverberator_create(line(r, " 512 Reverb_Module")), 0, 1, true);
    wire(reverb, 3, reverb_module, 1);
    wire(reverb, 4, reverb_module, 2);
    wire(reverb_module, 1, reverb, 3);
    wire(reverb_module, 2, reverb, 4);
    volume = add(volume_create(format("%d 512 0.5 Volume", r)), kIdVolume, 1, false);
    wire(reverb, 1, volume, 1);
    volume_right = add(volume_create(line(r, " 512 0.5 Volume_Right")), 0, 0, true);
    wire(reverb, 2, volume_right, 1);
    if (!ok) return false;
    module_add_clone(volume, volume_right);
    recorder = add(recorder_create(line(r, " 1024 Recorder")), kIdRecorder, 1, true);
    if (!ok) return false;
    module_set_protected_module(recorder, 1);
    wire(volume, 1, recorder, 1);
    wire(volume_right, 1, recorder, 2);
    level_left = add(level_create(line(r, " 1024 level_left")), kIdLevelLeft, 1, true);
    level_right = add(level_create(line(r, " 1024 level_right")), kIdLevelRight, 1, true);
    stereo = add(stereo_audio_out_create(format("%d 512 stereo", r)), kIdStereo, 2, false);
    wire(volume, 1, level_left, 1);
    wire(volume_right, 1, level_right, 1);
    wire(volume, 1, stereo, 1);
    wire(volume_right, 1, stereo, 2);
    if (!ok || !finish_graph()) return false;

    // The effect slots, their effects and their preset texts.
    auto configure_slot = [&](t_module* w, t_module** fx) {
        struct Entry {
            t_module *left, *right;
            int feed, numbers[6];
        } entries[] = {
            {fx[6], nullptr, 7, {17, 20, 10, 4, 0xffff, 0}},
            {fx[7], nullptr, 9, {10, 6, 5, 1, 0xffff, 5}},
            {fx[8], fx[9], 11, {4, 2, 8, 7, 0xffff, 8}},
            {fx[2], fx[3], 13, {1, 3, 4, 0, 0xffff, 9}},
            {fx[0], fx[1], 3, {1, 3, 5, 4, 0xffff, 9}},
            {fx[4], fx[5], 5, {1, 2, 3, 0, 0xffff, 12}},
        };
        for (const Entry& e : entries)
            control(w, kControlFxAddEffect,
                    {ptr(e.left), ptr(e.right), e.feed, e.feed + 1, e.feed, e.feed + 1, e.numbers[0], e.numbers[1],
                     e.numbers[2], e.numbers[3], e.numbers[4], e.numbers[5]});
        int n = 0;
        const char* const* texts = chorus_preset_texts(&n);
        for (int k = 0; k < n; ++k) control(w, kControlFxAddPreset, {0, ptr(texts[k])});
        texts = delay_preset_texts(&n);
        for (int k = 0; k < n; ++k) control(w, kControlFxAddPreset, {1, ptr(texts[k])});
        texts = phaser_preset_texts(&n);
        for (int k = 0; k < n; ++k) control(w, kControlFxAddPreset, {2, ptr(texts[k])});
        texts = auto_wah_preset_texts(&n);
        for (int k = 0; k < n; ++k) control(w, kControlFxAddPreset, {3, ptr(texts[k])});
        texts = wah_preset_texts(&n);
        for (int k = 0; k < n; ++k) control(w, kControlFxAddPreset, {4, ptr(texts[k])});
        texts = distortion_preset_texts(&n);
        for (int k = 0; k < n; ++k) control(w, kControlFxAddPreset, {5, ptr(texts[k])});
    };
    configure_slot(effect_a, fx_a);
    configure_slot(effect_b, fx_b);
    control(reverb, kControlFxAddEffect, {ptr(reverb_module), 0, 3, 4, 3, 4, 6, 2, 4, -1, 0xffff, 0});
    for (const std::string& text : reverberator_preset_texts()) control(reverb, kControlFxAddPreset, {0, ptr(text.c_str())});
    control(topology, kControlTopologySlots, {2, ptr(effect_a), 0, 0, ptr(effect_b), 0, 0});

    // The equaliser's peak keeps its designed width: neither presets nor messages move it.
    KelTextReader eq_text("eq_3band Eq version 1\n{\n    peak_Q 5\n}\n");
    module_read_state(eq, eq_text);
    if (t_param_entry* q = module_find_parameter(eq, 6)) q->flags |= kParamNoTextRead | kParamNoMessage;

    Synth::set_sample_rate(r);
    return ok;
}

// The keyboard reads the whole input (its events); the damper and the fork only ask
// it for their channel and the sustain pedal.
void MelloraSynth::hand_midi(t_module* m, MidiInputState* midi) {
    if (m == keyboard) control(m, kKeyboardControlMidi, {ptr(midi)});
    else control(m, kMidiBindControl, {ptr(static_cast<MidiChannelSource*>(midi)), 0});
}

bool MelloraSynth::collect_services(MidiInputState* midi, CSyncInputPort* host_clock) {
    held_input_ = midi;
    for (t_module* m : processing_) {
        if (m->query(m, kControlAudioOutputs)) audio_modules_.push_back(m);
        if (m->query(m, 2)) second_input_modules_.push_back(m);
        int channel = m->query(m, kMidiChannelQuery);
        if (channel >= 1 && midi) {
            midi->hold(channel - 1);
            held_channels_.push_back(channel - 1);
            midi_modules_.push_back(m);
            hand_midi(m, midi);
        }
        if (host_clock && m->query(m, kControlHostClock)) control(m, kControlHostClock, {ptr(host_clock)});
    }
    return true;
}

void MelloraSynth::render(MidiInputState* midi, float* left, float* right, int frames) {
    drain_messages();
    for (t_module* m : audio_modules_) control(m, kControlAudioOutputs, {ptr(left), ptr(right)});
    if (midi)
        for (t_module* m : midi_modules_) hand_midi(m, midi);
    int left_frames = frames > 0 ? frames : 0;
    while (left_frames > 0) {
        const int n = left_frames < kMaxBlock ? left_frames : kMaxBlock;
        render_sub_block(n);
        left_frames -= n;
    }
    if (midi) settle_midi_traffic(*midi);
}

void MelloraSynth::render_sub_block(int n) {
    clock->process(clock, n);
    keyboard->process(keyboard, n);
    float* mixed = module_output(mix, 1);
    std::memset(mixed, 0, sizeof(float) * n);
    constant_1_pitch->process(constant_1_pitch, n);
    key_follow0->process(key_follow0, n);
    vel_follow0->process(vel_follow0, n);
    const bool voices_were_on = voices_.active_count != 0;

    const float* key_gain = module_output(key_follow0, 1);
    const float* vel_gain = module_output(vel_follow0, 1);
    for (int i = 0; i < polyphony_; ++i) {
        t_voice_record& v = voices_.voices[i];
        if (!v.active) continue;
        const float* gate = module_output(keyboard, 3 * i + 1);
        const float* pitch = module_output(keyboard, 3 * i + 2);
        const float* velocity = module_output(keyboard, 3 * i + 3);
        // The two follow products and their sum in one loop: the vcas and the adder
        // never run on their own.
        float* force = module_output(adder[i], 1);
        for (int k = 0; k < n; ++k) force[k] = key_gain[k] * pitch[k] + vel_gain[k] * velocity[k];
        for (t_module* m : {mallet[i], noise_damper[i], mallet_add[i], fork[i], pick_up[i]}) m->process(m, n);
        const float* sound = module_output(pick_up[i], 1);
        if (gate[0] < 0.1f) {  // key released: has the voice died away?
            voice_record_watch(v, sound, n);
            if (!v.active)
                for (t_module* m : {mallet[i], noise_damper[i], fork[i], pick_up[i]}) m->reset(m);
        }
        for (int k = 0; k < n; ++k) mixed[k] += sound[k];
    }

    auto hold_tails = [&] {
        for (t_voice_record& t : tail_) {
            t.hold_counter = t.hold_length;
            t.active = 1;
        }
    };
    if (voices_were_on || voices_.active_count != 0) hold_tails();
    if (forced_tail_ > 0) {
        hold_tails();
        forced_tail_ = forced_tail_ > n ? forced_tail_ - n : 0;
    }
    if (tail_[0].active || tail_[1].active) {
        for (t_module* m : {eq, tremolo, topology, reverb, volume, volume_right, level_left, level_right})
            m->process(m, n);
        voice_record_watch(tail_[0], module_output(reverb, 1), n);
        voice_record_watch(tail_[1], module_output(reverb, 2), n);
    } else {
        tremolo->process(tremolo, n);  // its modulation keeps its phase
        float* in_l = module_input(stereo, 1);
        float* in_r = module_input(stereo, 2);
        std::memset(in_l, 0, sizeof(float) * n);
        std::memset(in_r, 0, sizeof(float) * n);
        float* rec_l = module_input(recorder, 1);
        float* rec_r = module_input(recorder, 2);
        if (rec_l != in_l) std::memset(rec_l, 0, sizeof(float) * n);
        if (rec_r != in_r) std::memset(rec_r, 0, sizeof(float) * n);
    }
    stereo->process(stereo, n);
    recorder->process(recorder, n);
}

void MelloraSynth::reset() {
    Synth::reset();
    voices_.reset();
    for (t_voice_record& t : tail_) t.active = 0, t.hold_counter = 0, t.follower = 0;
}

void MelloraSynth::set_sample_rate(int rate) {
    if (rate <= 0) return;
    for (t_voice_record& t : tail_) t.hold_length = 3 * rate;
    Synth::set_sample_rate(rate);
}

void MelloraSynth::after_set(int32_t module_id) {
    const int32_t id = module_id & 0x7fffffff;
    if (id == kIdVolume || id == kIdEffectA || id == kIdEffectB || id == kIdReverb) keep_tail(kForcedTail);
    if (id == kIdPickUp0)
        for (int i = 0; i < polyphony_; ++i)
            if (!voices_.voices[i].active) pick_up[i]->reset(pick_up[i]);
}

int MelloraSynth::set_parameter(int32_t module_id, int32_t param_id, float position) {
    int r = Synth::set_parameter(module_id, param_id, position);
    after_set(module_id);
    return r;
}

int MelloraSynth::set_parameter_int(int32_t module_id, int32_t param_id, int32_t position) {
    int r = Synth::set_parameter_int(module_id, param_id, position);
    after_set(module_id);
    return r;
}

void MelloraSynth::keep_tail(int n) {
    if (forced_tail_ < n) forced_tail_ = n;
}

bool MelloraSynth::write_state(int32_t module_id, KelTextWriter& out) {
    t_module* m = module_by_id(module_id);
    if (!m) return false;
    module_write_state(m, out);
    return true;
}

bool MelloraSynth::read_state(int32_t module_id, KelTextReader& in, bool reset_after) {
    t_module* m = module_by_id(module_id);
    if (!m) return false;
    bool ok = module_read_state(m, in);
    if (m == root_ && reset_after) reset();
    return ok;
}

void MelloraSynth::apply_keyboard_settings(std::string_view text) {
    const int mark = keyboard->protected_module;
    module_set_protected_module(keyboard, 0);
    KelTextReader in(text);
    module_read_state(keyboard, in);
    module_set_protected_module(keyboard, mark);
}

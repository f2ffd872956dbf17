#include "plugin/mpv_parameter_set.h"

#include <cmath>

#include "engine/message.h"
#include "engine/modular.h"
#include "instrument/mellora_synth.h"
#include "modules/parameter.h"
#include "plugin/parameter_display.h"

namespace {

// Half away from zero, like the host's own step rounding.
float round_half_away(float v) { return v < 0 ? -std::floor(-v + 0.5f) : std::floor(v + 0.5f); }

int32_t to_int32(float v) {
    if (!(v == v)) return 0;
    if (v >= 2147483520.0f) return INT32_MAX;
    if (v <= -2147483520.0f) return INT32_MIN;
    return static_cast<int32_t>(v);
}

}  // namespace

float mpv_normalise(const MpvParameterDescription& d, float v) {
    switch (d.kind) {
    case kDescriptionList: {
        const float r = round_half_away(d.range);
        return r != 0 ? round_half_away(v - d.minimum) / r : 0;
    }
    case kDescriptionSwitch: return v != d.minimum ? 1.0f : 0.0f;
    default: return d.range != 0 ? (v - d.minimum) / d.range : 0;
    }
}

int32_t mpv_denormalise(const MpvParameterDescription& d, float x) {
    // A NaN from the host would turn into any integer: it selects the minimum instead.
    if (std::isnan(x)) x = 0;
    switch (d.kind) {
    case kDescriptionList: return to_int32(round_half_away(x * d.range + d.minimum));
    case kDescriptionSwitch: return to_int32(x != 0 ? d.maximum : d.minimum);
    default: {
        const float w = x * d.range + d.minimum;
        const float t = std::trunc(w);
        return to_int32(w - t > 0.9999f ? t + 1 : t);
    }
    }
}

MpvParameterSet::MpvParameterSet() {
    MpvParameterDescription unused;
    unused.host_visible = false;
    unused.maximum = 1;
    unused.range = 1;
    unused.name_text = "Unused";
    add({-1, -1}, std::move(unused), true);
}

void MpvParameterSet::add(const MpvParameterKey& key, MpvParameterDescription d, bool silent) {
    auto [it, inserted] = descriptions_.insert_or_assign(key, std::move(d));
    (void)inserted;
    if (!silent) description_added(key, it->second);
}

const MpvParameterDescription* MpvParameterSet::find(const MpvParameterKey& key) const {
    auto it = descriptions_.find(key);
    return it == descriptions_.end() ? nullptr : &it->second;
}

MpvParameterSetVst::MpvParameterSetVst(MelloraSynth& synth, KelSynthQueue& queue, MpvParameterHost* host)
    : synth_(synth), queue_(queue), host_(host) {}

void MpvParameterSetVst::description_added(const MpvParameterKey& key, const MpvParameterDescription& d) {
    if (!d.controllable || !d.host_visible || host_map_.count(key)) return;
    host_map_[key] = HostEntry{static_cast<int>(host_list_.size()), false};
    host_list_.push_back(key);
}

const MpvParameterKey* MpvParameterSetVst::host_key(int index) const {
    if (index < 0 || index >= host_count()) return nullptr;
    return &host_list_[static_cast<std::size_t>(index)];
}

void MpvParameterSetVst::write_engine(const MpvParameterKey& key, int32_t value) const {
    // Through the queue: the audio thread applies it at the start of its next block.
    queue_.push(make_int_message(key.module_id, key.param_id, value));
}

float MpvParameterSetVst::get_parameter(int index) const {
    const MpvParameterKey* key = host_key(index);
    const MpvParameterDescription* d = key ? find(*key) : nullptr;
    if (!d) return 0;
    const float x = mpv_normalise(*d, synth_.get_parameter(key->module_id, key->param_id));
    return std::isfinite(x) ? std::fmin(std::fmax(x, 0.0f), 1.0f) : 0.0f;
}

void MpvParameterSetVst::set_parameter(int index, float x) {
    if (echo_.load() != 0) return;
    const MpvParameterKey* key = host_key(index);
    const MpvParameterDescription* d = key ? find(*key) : nullptr;
    if (!d || !d->host_visible) return;
    const int32_t value = mpv_denormalise(*d, x);
    write_engine(*key, value);
    // The panel follows through the GUI queue once the window exists (a later piece).
}

std::string MpvParameterSetVst::parameter_name(int index, std::size_t n) const {
    const MpvParameterKey* key = host_key(index);
    const MpvParameterDescription* d = key ? find(*key) : nullptr;
    return d ? choose_name_variant(d->name_text, n) : std::string();
}

std::string MpvParameterSetVst::parameter_display(int index) const {
    const MpvParameterKey* key = host_key(index);
    const MpvParameterDescription* d = key ? find(*key) : nullptr;
    if (!d) return {};
    std::string text;
    t_module* m = synth_.module_by_id(key->module_id);
    t_param_entry* entry = m ? module_find_parameter(m, key->param_id) : nullptr;
    if (entry && entry->param) {
        text = parameter_display_text(*entry->param);
    } else {
        const float v = synth_.get_parameter(key->module_id, key->param_id);
        const float t = std::isfinite(v) ? std::trunc(v) : -1;
        if (d->kind == kDescriptionList) {
            if (t >= 0 && t < static_cast<float>(d->labels.size())) text = d->labels[static_cast<std::size_t>(t)];
        } else if (d->kind == kDescriptionSwitch) {
            text = v != 0 ? "On" : "Off";
        } else {
            text = std::to_string(to_int32(t));
        }
    }
    if (text.size() > kHostDisplayLength) text.resize(kHostDisplayLength);
    return text;
}

bool MpvParameterSetVst::can_be_automated(int index) const {
    const MpvParameterKey* key = host_key(index);
    const MpvParameterDescription* d = key ? find(*key) : nullptr;
    return d && d->controllable && d->host_visible;
}

bool MpvParameterSetVst::is_switch(int index) const {
    const MpvParameterKey* key = host_key(index);
    const MpvParameterDescription* d = key ? find(*key) : nullptr;
    return d && (d->kind == kDescriptionSwitch || (d->kind == kDescriptionList && d->labels.size() == 2));
}

void MpvParameterSetVst::engine_changed(const MpvParameterKey& key, float value) {
    echo_.fetch_add(1);
    auto it = host_map_.find(key);
    const MpvParameterDescription* d = find(key);
    if (it != host_map_.end() && d && host_) host_->automate_parameter(it->second.index, mpv_normalise(*d, value));
    // The record goes on to the panel's GUI queue once the window exists.
    echo_.fetch_sub(1);
}

void MpvParameterSetVst::begin_edit(const MpvParameterKey& key) {
    auto it = host_map_.find(key);
    if (it == host_map_.end() || it->second.editing) return;
    if (host_) host_->begin_edit(it->second.index);
    it->second.editing = true;
}

void MpvParameterSetVst::set_value(const MpvParameterKey& key, int32_t value) {
    auto it = host_map_.find(key);
    const MpvParameterDescription* d = find(key);
    if (it == host_map_.end() || !d || !host_) {
        write_engine(key, value);
        return;
    }
    const bool was_editing = it->second.editing;
    const int index = it->second.index;
    if (!was_editing) host_->begin_edit(index);
    host_->automate_parameter(index, mpv_normalise(*d, static_cast<float>(value)));
    if (!was_editing) host_->end_edit(index);
}

void MpvParameterSetVst::end_edit(const MpvParameterKey& key) {
    auto it = host_map_.find(key);
    if (it == host_map_.end()) return;
    it->second.editing = false;
    if (host_) host_->end_edit(it->second.index);
}

// ---- the instrument's table ----

namespace {

enum : int32_t {
    kClock = 600, kKeyboard = 601, kKeyFollow0 = 603, kVelFollow0 = 604, kMallet0 = 608, kNoiseDamper0 = 609,
    kFork0 = 610, kPickUp0 = 611, kEq = 613, kTremolo = 614, kTopology = 615, kEffectA = 616, kEffectB = 617,
    kReverb = 618, kVolume = 619, kRecorder = 620,
};

std::vector<std::string> numbered(const char* prefix, int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i <= to; ++i) out.push_back(prefix + std::to_string(i));
    return out;
}

const std::vector<std::string>& sync_labels() {
    static const std::vector<std::string> labels = {
        "Off", "16d", "16", "16t", "8d", "8", "8t", "4d", "4", "4t", "2d", "2", "2t",
        "1d (Dotted Quarter Note)", "1 (Quarter Note)", "1t (Quarter Note Triplet)", "1/2d", "1/2", "1/2t",
        "1/4d", "1/4", "1/4t", "1/8d", "1/8", "1/8t"};
    return labels;
}

struct Adder {
    MpvParameterSet& set;
    void continuous(const char* name, int32_t module, int32_t param, float maximum = 127, float def = 0,
                    bool host = true) {
        MpvParameterDescription d;
        d.name_text = name;
        d.maximum = maximum;
        d.range = maximum;
        d.default_value = def;
        d.host_visible = host;
        set.add({module, param}, std::move(d));
    }
    void list(const char* name, int32_t module, int32_t param, std::vector<std::string> labels, float def = 0,
              bool host = true) {
        MpvParameterDescription d;
        d.kind = kDescriptionList;
        d.name_text = name;
        d.maximum = static_cast<float>(labels.size()) - 1;
        d.range = d.maximum;
        d.default_value = def;
        d.host_visible = host;
        d.labels = std::move(labels);
        set.add({module, param}, std::move(d));
    }
    void toggle(const char* name, int32_t module, int32_t param, float def) {
        MpvParameterDescription d;
        d.kind = kDescriptionSwitch;
        d.name_text = name;
        d.maximum = 1;
        d.range = 1;
        d.default_value = def;
        set.add({module, param}, std::move(d));
    }
    void effect(char slot, int32_t module) {
        const std::string s(1, slot);
        const std::string onoff = "Effect " + s + " On/Off\nFX " + s + " On\nFx" + s;
        const std::string preset = "Effect " + s + " Preset\nFX " + s + " FX\nFx" + s;
        const std::string sync = "Effect " + s + " Sync\nFx" + s + "Sync\nFSyn\nFSy";
        list(onoff.c_str(), module, kEnableParameter, {"Off", "On"});
        list(preset.c_str(), module, 1, numbered("Preset ", 1, 16));
        list(sync.c_str(), module, 2, sync_labels());
        for (int p = 1; p <= 3; ++p) {
            const std::string n = "Effect " + s + " Param " + std::to_string(p) + "\nFx" + s + "Param" +
                                  std::to_string(p) + "\nFPa" + std::to_string(p) + "\nFP" + std::to_string(p);
            continuous(n.c_str(), module, 2 + p);
        }
    }
};

}  // namespace

void mellora_fill_parameter_set(MpvParameterSet& set) {
    if (set.size() != 1) return;  // filled once, over the "Unused" entry only
    Adder a{set};
    a.continuous("Volume\nVol", kVolume, 1);
    a.continuous("Clock Tempo Coarse\nClk Coar\nClCr\nCCr", kClock, 2, 127, 119, false);
    a.continuous("Clock Tempo Fine\nClk Fine\nClFn\nCFn", kClock, 3, 9, 0, false);
    a.list("Clock Source\nClk Src\nClSr\nCSr", kClock, 4, {"Int", "Ext"});
    a.list("Multi-Effect Topology\nEffecTopo\nTopo\nTpo", kTopology, 1, {"A B", "B A", "Parallel"});
    a.effect('A', kEffectA);
    a.effect('B', kEffectB);
    a.list("Reverb On/Off\nRevrb On\nRvb", kReverb, kEnableParameter, {"Off", "On"});
    a.list("Reverb Preset\nRvbPrest\n\nRvPr\nRvP", kReverb, 1,
           {"Bypass", "Club", "Club (Bright)", "Drum Studio", "Hall", "Hall (Bright)", "Hall (Echo)", "Large Hall",
            "Large Hall (Echo)", "Small Room"});
    a.continuous("Reverb Mix\nRevrbMix\nRvMx\nRvM", kReverb, 3);
    a.continuous("Reverb Color\nRvbColor\nRvCo\nRvC", kReverb, 4);
    a.continuous("Reverb Decay\nRvbDecay\nRvDe\nRvD\n", kReverb, 5);
    a.continuous("Recorder Record", kRecorder, 1, 1, 0, false);
    a.continuous("Recorder Stop", kRecorder, 2, 1, 0, false);
    a.continuous("Recorder Change File", kRecorder, 11, 1, 0, false);
    a.list("Keyboard Transpose Octave\nKbdOctav\nKOct\nOct", kKeyboard, 12, {"-3", "-2", "-1", "0", "1", "2", "3"},
           0, false);
    std::vector<std::string> semitones;
    for (int i = -12; i <= 12; ++i) semitones.push_back(std::to_string(i));
    a.list("Keyboard Transpose Semitones\nKbd Semi\nKSem\nSem", kKeyboard, 13, semitones, 0, false);
    a.continuous("Keyboard Reference Note\nRef Note\nRef", kKeyboard, 16, 127, 0, false);
    a.continuous("Keyboard Tune\nKbd Tune\nTune\nTun", kKeyboard, 17, 127, 0, false);
    a.list("Keyboard Tuning Type\nTun Type\nType\nTTy", kKeyboard, 18, {"Equal Temperament", "Scala"}, 0, false);
    a.continuous("Keyboard Stretch\nKbdStrch\nStr", kKeyboard, 2, 127, 0, false);
    a.continuous("Keyboard Load Tuning", kKeyboard, 15, 1, 0, false);

    a.continuous("Mallet Stiffness Soft/Hard\nMal Stiff S/H\nMal Stif\nM St\nMSt", kMallet0, 1);
    a.continuous("Mallet Stiffness Keyboard\nMal Stiff Kbd\nMalStKbd\nMStK\nMSK", kMallet0, 4);
    a.continuous("Mallet Stiffness Velocity\nMal Stiff Vel\nMalStVel\nMStV\nMSV", kMallet0, 5);
    a.continuous("Mallet Force Strength\nMal Frc Str\nMal Forc\nMFoS\nMFS", kMallet0, 2);
    a.continuous("Mallet Force Keyboard\nMal Frc Kbd\nMalFcKbd\nMFoK\nMFK", kKeyFollow0, 1);
    a.continuous("Mallet Force Velocity\nMal Frc Vel\nMalFcVel\nMFoV\nMFV", kVelFollow0, 1);
    a.continuous("Mallet Noise Pitch\nNoise Pitch\nNoisePtc\nNzPt\nNzP", kFork0, 20);
    a.continuous("Mallet Noise Decay\nNoise Decay\nNoiDecay\nNzDe\nNzD", kFork0, 23);
    a.continuous("Mallet Noise Amount\nNoise Amount\nNoisAmnt\nNzAm\nNzA", kFork0, 21);
    a.continuous("Mallet Noise Keyboard Scaling\nNoise Keyboard Scaling\nNoiseKbd\nNzKb\nNzK", kFork0, 24);
    a.continuous("Fork Release Time\nForkRelT\nFoRT\nFRT", kFork0, 37);
    a.continuous("Fork Tine Decay\nTine Decay\nTineDcay\nTiDe\nTiD", kFork0, 13);
    a.continuous("Fork Tine Volume\nTine Volume\nTine Vol\nTiVo\nTiV", kFork0, 11);
    a.continuous("Fork Tine Keyboard Scaling\nTine Kdb Scal\nTine Kbd\nTiKb\nTiK", kFork0, 14);
    a.continuous("Fork Tine Color\nTine Color\nTine Col\nTCol\nTCl", kFork0, 17);
    a.continuous("Fork Tone Bar Decay\nTone Bar Decay\nTBarDcay\nTBDe\nTBD", kFork0, 3);
    a.continuous("Fork Tone Bar Volume\nTone Bar Volume\nTBar Vol\nTBVo\nTBV", kFork0, 1);
    a.continuous("Pickup Symmetry\nPkup Sym\nSym", kPickUp0, 1);
    a.continuous("Pickup Distance\nPkupDist\nDist\nDis", kPickUp0, 2);
    a.list("Pickup Model\nPkupModl\nModl\nMdl", kPickUp0, 11, {"R", "W"});
    a.continuous("Pickup Amp In\nPUAmpIn\nPUIn\nPIn", kPickUp0, 3);
    a.continuous("Pickup Amp Out\nPUAmpOut\nPUOu\nPUO", kPickUp0, 7);
    a.continuous("Pickup Keyboard Scaling\nPkup Kbd\nPU K\nPUK", kPickUp0, 8);
    a.continuous("Damper Tone\nDampTone\nDaTo\nDTo", kNoiseDamper0, 1);
    a.continuous("Damper Amount\nDampAmnt\nDaAm\nDAm", kNoiseDamper0, 2);
    a.continuous("Damper Balance\nDamp Bal\nDmBa\nDBa", kNoiseDamper0, 3);
    a.toggle("Tremolo On/Off\nTremolo\nTrem\nTrm", kTremolo, kEnableParameter, 0);
    a.list("Tremolo Wave\nTremWave\nWave\nWav", kTremolo, 3, {"Triangular", "Smooth Square"});
    a.list("Tremolo Mono/Stereo\nTremMoSt\nMoSt\nM S", kTremolo, 5, {"Mono", "Stereo"});
    a.continuous("Tremolo Depth\nTremDpth\nDpth\nDep", kTremolo, 2);
    a.continuous("Tremolo Speed\nTrem Spd\nSpd", kTremolo, 9);
    a.list("Tremolo Sync\nTremSync\nTSyn\nSyn", kTremolo, 10, sync_labels());
    a.toggle("Equalizer On/Off\nEq On\nEqOn\nEq", kEq, kEnableParameter, 1);
    a.continuous("Equalizer Low Gain\nEq Low\nEqLo\nELo", kEq, 3, 127, 64);
    a.continuous("Equalizer Mid Gain\nEq Mid\nEqMd\nEMd", kEq, 5, 127, 64);
    a.continuous("Equalizer High Gain\nEq High\nEqHi\nEHi", kEq, 8, 127, 64);
    a.continuous("Equalizer Low Freq\nEqLowFrq\nEqLF\nELF", kEq, 2, 127, 64);
    a.continuous("Equalizer Mid Freq\nEqMidFrq\nEqMF\nEMF", kEq, 4, 127, 64);
    a.continuous("Equalizer High Freq\nEqHighFr\nEqHF\nEHF", kEq, 7, 127, 64);
}

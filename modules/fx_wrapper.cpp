// The effect slot: chooses one of its effects by preset, feeds it, runs it, and moves
// three of its settings around the preset's values with the slot's generic knobs.
#include "modules/fx_wrapper.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/modular.h"
#include "engine/report.h"
#include "modules/parameter.h"
#include "modules/tempo_division.h"

namespace {

constexpr int kMaxInnerSlots = 64; // far above the 12 + 12 of the effect slots
constexpr int kMaxPresets = 127;   // "preset" is one controller step per preset

using ProcessFn = void (*)(t_module*, int);

struct t_fx_entry {
    t_module* left = nullptr;
    t_module* right = nullptr;
    ProcessFn left_process = nullptr; // taken over from the modules
    ProcessFn right_process = nullptr;
    int feed_left = 0, feed_right = 0;     // wrapper outputs, 0 = none
    int return_left = 0, return_right = 0; // wrapper inputs, 0 = none
    int knob_ids[3] = {-1, -1, -1};
    int sync_id = -1;
    int on_off_id = -1;
    int label = 0;
};

struct t_fx_preset {
    int entry = 0;
    std::string text;
};

using IntParam = Parameter_T<LinearDriver, ParameterIntValue>;
using FloatParam = Parameter_T<LinearDriver, ParameterFloatValue>;

struct t_fx_wrapper : t_module {
    float sample_rate = 44100;
    int inner_inputs = 0, inner_outputs = 0, preset_count = 0;
    std::vector<t_fx_entry> entries;
    std::vector<t_fx_preset> presets;
    int countdown = 0;               // samples the effect still runs while switched off
    float centres[3] = {64, 64, 64}; // controller positions the preset gave the knob settings

    // clang-format off
    IntParam on_off{kFxWrapperOnOff, 0, 1, 1, "on_off", 9};
    std::unique_ptr<IntParam> preset;   // its range comes from the descriptor
    IntParam sync{kFxWrapperSync, 0, kTempoDivisionCount - 1, 0, "sync", 1};
    FloatParam knobs[3] = {{kFxWrapperParam1, 0, 2, 1, "param1", 2},
                           {kFxWrapperParam2, 0, 2, 1, "param2", 2},
                           {kFxWrapperParam3, 0, 2, 1, "param3", 2}};
    IntParam label_index{kFxWrapperLabelIndex, 0, 127, 0, "label_index", 1};
    // clang-format on
};

t_fx_wrapper* self(t_module* m) {
    return static_cast<t_fx_wrapper*>(m);
}

bool usable_rate(float rate) {
    return std::isfinite(rate) && rate >= 1000.0f && rate <= 1.0e6f;
}

// The entry of the current "preset", or null when it selects nothing.
t_fx_entry* active_entry(t_fx_wrapper* w) {
    const int p = static_cast<int>(w->preset->value());
    if (p < 0 || p >= static_cast<int>(w->presets.size())) return nullptr;
    return &w->entries[static_cast<std::size_t>(w->presets[static_cast<std::size_t>(p)].entry)];
}

// A float controller event to one setting of an effect module.
void send(t_module* effect, int id, float position) {
    if (!effect || id < 0) return;
    t_message msg = make_float_message(effect->id, id, position);
    module_dispatch_message(effect, &msg);
}

void send_both(const t_fx_entry& e, int id, float position) {
    send(e.left, id, position);
    send(e.right, id, position);
}

// Knob value v (0..2) around the preset's position c: 0 sends 0, 1 sends c, 2 sends 127.
float knob_position(float v, float c) {
    return v <= 1 ? v * c : c + (v - 1) * (127 - c);
}

void apply_knob(t_fx_wrapper* w, int k) {
    t_fx_entry* e = active_entry(w);
    if (!e) return;
    send_both(*e, e->knob_ids[k], knob_position(w->knobs[k].value(), w->centres[k]));
}

void apply_sync(t_fx_wrapper* w) {
    if (t_fx_entry* e = active_entry(w)) send_both(*e, e->sync_id, w->sync.controller_float());
}

// Reads a preset text into one effect module, past the protection that keeps
// instrument loads away from it, and starts the module from silence.
void read_preset_into(t_module* effect, const std::string& text, float* centres, const int* knob_ids) {
    const int saved_only = effect->protected_only;
    module_set_protected_module(effect, 0);
    module_set_protected_only(effect, 0);
    effect->reset(effect);
    KelTextReader reader(text);
    module_read_state(effect, reader);
    if (centres) {
        for (int k = 0; k < 3; ++k) {
            t_message q;
            const bool answered = knob_ids[k] >= 0 && effect->get_message(effect, knob_ids[k], &q) == 0 &&
                                  (q.kind == kMessageInt || q.kind == kMessageFloat);
            centres[k] = answered ? message_position(q) : 0;
        }
    }
    effect->reset(effect);
    module_set_protected_only(effect, saved_only);
    module_set_protected_module(effect, 1);
}

void load_preset(t_fx_wrapper* w) {
    t_fx_entry* e = active_entry(w);
    if (!e) return; // "preset" beyond the list selects nothing
    const t_fx_preset& p = w->presets[static_cast<std::size_t>(w->preset->value())];
    read_preset_into(e->left, p.text, w->centres, e->knob_ids);
    if (e->right) read_preset_into(e->right, p.text, nullptr, nullptr);
    for (int k = 0; k < 3; ++k)
        apply_knob(w, k);
    apply_sync(w);
    w->label_index.set_value(static_cast<float>(e->label));
    module_tell(w, kFxWrapperLabelIndex);
}

void apply_on_off(t_fx_wrapper* w) {
    t_fx_entry* e = active_entry(w);
    if (!e) return;
    if (w->on_off.value() == 0) {
        // Switched off: turning it on again starts from silence.
        e->left->reset(e->left);
        if (e->right) e->right->reset(e->right);
    }
    send_both(*e, e->on_off_id, w->on_off.controller_float());
}

void fx_parameter_changed(t_module* m, int id, int origin) {
    if (origin == kChangedAdded) return;
    t_fx_wrapper* w = self(m);
    switch (id) {
    case kFxWrapperPreset:
        load_preset(w);
        break;
    case kFxWrapperSync:
        apply_sync(w);
        break;
    case kFxWrapperParam1:
        apply_knob(w, 0);
        break;
    case kFxWrapperParam2:
        apply_knob(w, 1);
        break;
    case kFxWrapperParam3:
        apply_knob(w, 2);
        break;
    case kFxWrapperOnOff:
        apply_on_off(w);
        break;
    default:
        break;
    }
    w->countdown = kFxWrapperCountdown;
}

// Every message to one of the slot's settings restarts the countdown, even one that
// leaves the value as it was (the generic path reports only real changes).
int fx_receive_message(t_module* m, t_message* msg) {
    t_param_entry* e = module_find_parameter(m, msg->param_id);
    const bool settable = e && !(e->flags & kParamNoMessage);
    module_generic_receive_message(m, msg);
    if (settable) self(m)->countdown = kFxWrapperCountdown;
    return 0;
}

// ---- block loop ----

void copy_or_zero(float* out, const float* in, int n) {
    if (!out) return;
    if (!in)
        std::fill_n(out, n, 0.0f);
    else if (in != out)
        std::copy_n(in, n, out);
}

void fx_process(t_module* m, int frames) {
    t_fx_wrapper* w = self(m);
    const float* in_left = module_input(m, 1);
    const float* in_right = module_input(m, 2);
    float* out_left = module_output(m, 1);
    float* out_right = module_output(m, 2);
    if (!in_left || !in_right || !out_left || !out_right) return;

    const bool off = w->on_off.value() == 0;
    if (off && w->countdown == 0) {
        copy_or_zero(out_left, in_left, frames);
        copy_or_zero(out_right, in_right, frames);
        return;
    }
    if (const t_fx_entry* e = active_entry(w)) {
        if (e->feed_left) copy_or_zero(module_output(m, e->feed_left), in_left, frames);
        if (e->feed_right) copy_or_zero(module_output(m, e->feed_right), in_right, frames);
        if (e->left_process) e->left_process(e->left, frames);
        if (e->right_process) e->right_process(e->right, frames);
        copy_or_zero(out_left, e->return_left ? module_input(m, e->return_left) : nullptr, frames);
        copy_or_zero(out_right, e->return_right ? module_input(m, e->return_right) : nullptr, frames);
    } else {
        // No effect chosen: the slot is a plain wire (its outputs would otherwise keep
        // whatever the last block left in them).
        copy_or_zero(out_left, in_left, frames);
        copy_or_zero(out_right, in_right, frames);
    }
    if (off) {
        // Still running out its countdown, unheard.
        copy_or_zero(out_left, in_left, frames);
        copy_or_zero(out_right, in_right, frames);
    }
    w->countdown = std::max(w->countdown - frames, 0);
}

// ---- configuration ----

// The block process of an effect module. A module already held by one of this
// wrapper's entries shares that entry's; otherwise it is the module's own, which the
// wrapper takes over once the entry is accepted. Null: run by another owner.
ProcessFn process_of(const t_fx_wrapper* w, const t_module* effect) {
    for (const t_fx_entry& e : w->entries) {
        if (e.left == effect) return e.left_process;
        if (e.right == effect) return e.right_process;
    }
    return effect->process;
}

int slot_or_none(int number, int count) {
    return number >= 3 && number <= count + 2 ? number : 0;
}

int add_effect(t_fx_wrapper* w, const intptr_t* args, int nargs) {
    if (!args || nargs < kFxAddEffectArgs) return 0;
    t_fx_entry e;
    e.left = reinterpret_cast<t_module*>(args[0]);
    e.right = reinterpret_cast<t_module*>(args[1]);
    if (e.right == e.left) e.right = nullptr; // one module must not run twice per block
    if (!e.left || e.left == w || e.right == w) return 0;
    e.left_process = process_of(w, e.left);
    e.right_process = e.right ? process_of(w, e.right) : nullptr;
    if (!e.left_process || (e.right && !e.right_process)) {
        KEL_WARNING("fx_wrapper %s: an effect of %s has no block process of its own\n", w->name.c_str(),
                    e.left->name.c_str());
        return 0;
    }
    // Only the wrapper runs its effects, whatever renders the graph.
    e.left->process = nullptr;
    if (e.right) e.right->process = nullptr;
    e.feed_left = slot_or_none(static_cast<int>(args[2]), w->inner_outputs);
    e.feed_right = slot_or_none(static_cast<int>(args[3]), w->inner_outputs);
    e.return_left = slot_or_none(static_cast<int>(args[4]), w->inner_inputs);
    e.return_right = slot_or_none(static_cast<int>(args[5]), w->inner_inputs);
    for (int k = 0; k < 3; ++k)
        e.knob_ids[k] = static_cast<int>(args[6 + k]);
    e.sync_id = static_cast<int>(args[9]);
    e.on_off_id = static_cast<int>(args[10]);
    e.label = static_cast<int>(args[11]);
    // Instrument loads pass the effects by; they hear of a preset only through the slot.
    module_set_protected_module(e.left, 1);
    if (e.right) module_set_protected_module(e.right, 1);
    w->entries.push_back(e);
    return 1;
}

int add_preset(t_fx_wrapper* w, const intptr_t* args, int nargs) {
    if (!args || nargs < kFxAddPresetArgs) return 0;
    const intptr_t entry = args[0];
    const char* text = reinterpret_cast<const char*>(args[1]);
    if (!text || entry < 0 || entry >= static_cast<intptr_t>(w->entries.size())) return 0;
    if (static_cast<int>(w->presets.size()) >= w->preset_count) {
        // A preset beyond the descriptor's number would take the value that selects nothing.
        KEL_WARNING("fx_wrapper %s: more presets than the %d it was made for\n", w->name.c_str(),
                    w->preset_count);
        return 0;
    }
    w->presets.push_back(t_fx_preset{static_cast<int>(entry), std::string(text)});
    if (w->presets.size() == 1) {
        w->preset->set_value(0);
        fx_parameter_changed(w, kFxWrapperPreset, kChangedByMessage);
    }
    return 1;
}

int fx_control(t_module* m, int kind, const intptr_t* args, int nargs) {
    if (kind == kControlFxAddEffect) return add_effect(self(m), args, nargs);
    if (kind == kControlFxAddPreset) return add_preset(self(m), args, nargs);
    return 0;
}

int fx_query(t_module*, int kind) {
    return kind == kControlFxAddEffect || kind == kControlFxAddPreset ? 1 : 0;
}

void fx_set_sample_rate(t_module* m, float rate) {
    if (usable_rate(rate)) self(m)->sample_rate = rate;
}

} // namespace

t_module* fx_wrapper_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0;
    int inner_inputs = 0, inner_outputs = 0, preset_count = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.d(inner_inputs) || !d.d(inner_outputs) || !d.d(preset_count) ||
        !d.s(name))
        return nullptr;
    if (!usable_rate(rate) || inner_inputs < 0 || inner_inputs > kMaxInnerSlots || inner_outputs < 0 ||
        inner_outputs > kMaxInnerSlots || preset_count < 0 || preset_count > kMaxPresets)
        return nullptr;

    t_fx_wrapper* w = module_alloc<t_fx_wrapper>(inner_inputs + 2, inner_outputs + 2);
    if (!w) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    w->name = name;
    w->type_name = "fx_wrapper";
    w->sample_rate = rate;
    w->inner_inputs = inner_inputs;
    w->inner_outputs = inner_outputs;
    w->preset_count = preset_count;
    w->preset =
        std::make_unique<IntParam>(kFxWrapperPreset, 0, static_cast<float>(preset_count), 0, "preset", 1);
    w->entries.reserve(8);
    w->presets.reserve(static_cast<std::size_t>(preset_count));

    w->process = fx_process;
    w->receive_message = fx_receive_message;
    w->parameter_changed = fx_parameter_changed;
    w->control = fx_control;
    w->query = fx_query;
    w->set_sample_rate = fx_set_sample_rate;

    module_register_parameter(w, &w->on_off, 0);
    module_register_parameter(w, w->preset.get(), 0);
    module_register_parameter(w, &w->sync, 0);
    for (FloatParam& k : w->knobs)
        module_register_parameter(w, &k, 0);
    module_register_parameter(w, &w->label_index, 0);
    return w;
}

int fx_wrapper_add_effect(t_module* wrapper, const t_fx_effect_spec& s) {
    if (!wrapper) return 0;
    const intptr_t args[kFxAddEffectArgs] = {reinterpret_cast<intptr_t>(s.left),
                                             reinterpret_cast<intptr_t>(s.right),
                                             s.feed_left,
                                             s.feed_right,
                                             s.return_left,
                                             s.return_right,
                                             s.knob_ids[0],
                                             s.knob_ids[1],
                                             s.knob_ids[2],
                                             s.sync_id,
                                             s.on_off_id,
                                             s.label};
    return wrapper->control(wrapper, kControlFxAddEffect, args, kFxAddEffectArgs);
}

int fx_wrapper_add_preset(t_module* wrapper, int entry, const char* text) {
    if (!wrapper) return 0;
    const intptr_t args[kFxAddPresetArgs] = {entry, reinterpret_cast<intptr_t>(text)};
    return wrapper->control(wrapper, kControlFxAddPreset, args, kFxAddPresetArgs);
}

int fx_wrapper_countdown(const t_module* wrapper) {
    if (!wrapper || wrapper->control != fx_control) return 0;
    return static_cast<const t_fx_wrapper*>(wrapper)->countdown;
}

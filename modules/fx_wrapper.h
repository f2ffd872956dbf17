#pragma once
// "fx_wrapper": one effect slot of the instrument (Effect_A, Effect_B, Reverb). A
// wrapper owns a set of effects (one module, or a left and a right module each) and a
// list of preset texts, each naming one of those effects. Choosing a preset loads its
// text into the effect it names and makes that effect the active one; the three
// generic knobs then scale three of the effect's settings around the values the
// preset gave them. Only the active effect runs, and only the wrapper runs it.
//
// Slots: inputs 1, 2 and outputs 1, 2 carry the slot's stereo signal. Outputs 3 ..
// n_out + 2 feed the effects' inputs, inputs 3 .. n_in + 2 take their outputs back:
// the effects are wired in loops through the wrapper.
//
// Control kind 14 (add an effect) takes over the effect modules' process entries: from
// then on their own `process` is null, so no renderer's block order can run them a
// second time; the wrapper calls them. The wrapper also marks them as protected
// modules, so that a preset load of the whole instrument skips their own blocks and
// reaches them only through the wrapper's "preset" setting; the wrapper lifts the mark
// (and a pending protected-only mode) for the duration of its own preset read. Effect
// modules must be persistent: the kernel reads text only into persistent modules.
//
// Threads: creation and the control calls happen while the graph is built; process,
// messages and text reads run on the audio thread. A preset change by message reads
// the preset text (a view, no copy) and allocates nothing unless an effect's own
// settings do.
#include <cstdint>
#include <string_view>

struct t_module;

// Descriptor "%f %d %d %d %d %63s": sample rate, an unused integer, inner inputs n_in,
// inner outputs n_out, number of presets, instance name. The module has n_in + 2 inputs
// and n_out + 2 outputs. Null when the line is malformed or a number is out of range.
t_module* fx_wrapper_create(std::string_view line);

// Parameter ids (all controller positions 0..127 in messages).
enum : int {
    kFxWrapperOnOff = 0xffff, // "on_off" 0..1
    kFxWrapperPreset = 1,     // "preset" 0..number of presets; the last value selects nothing
    kFxWrapperSync = 2,       // "sync" 0..24, the tempo-division selector
    kFxWrapperParam1 = 3,     // "param1" .. "param3": 0..2, 1 reproduces the preset
    kFxWrapperParam2 = 4,
    kFxWrapperParam3 = 5,
    kFxWrapperLabelIndex = 6, // "label_index" 0..127: which knob captions the panel shows
};

// Samples a switched-off wrapper keeps running its effect, unheard, after the last
// parameter change (so a tail or a click of the switch is not cut short).
inline constexpr int kFxWrapperCountdown = 2048;

// Control kind 14, add an effect. Arguments (intptr_t each), in this order:
//   0 left module (t_module*, required), 1 right module (t_module* or 0),
//   2, 3 wrapper output numbers feeding the left and right effect inputs (3 .. n_out + 2,
//        anything else: none),
//   4, 5 wrapper input numbers taking the left and right effect outputs (3 .. n_in + 2,
//        anything else: none, heard as silence),
//   6, 7, 8 event ids, in the effect, of the settings moved by "param1" .. "param3",
//   9 event id receiving "sync" (-1: none), 10 event id receiving "on_off",
//   11 label: the "label_index" a preset of this effect sets.
// Entries are numbered from 0 in the order added. Answers 1 when added, 0 when refused
// (missing left module, a module already run by another owner).
inline constexpr int kControlFxAddEffect = 14;
inline constexpr int kFxAddEffectArgs = 12;

// Control kind 15, add a preset. Arguments: 0 entry index, 1 the preset text
// (const char*, NUL-terminated; copied), a settings text with its header line, e.g.
// "wah WahWah version 1 { on_off 1 cutoff 600 ... }". Accepted (answer 1) only when
// the entry exists and fewer presets than the descriptor's number are registered.
// The first preset added is loaded at once.
inline constexpr int kControlFxAddPreset = 15;
inline constexpr int kFxAddPresetArgs = 2;

// The query entry answers 1 for kinds 14 and 15.

// Typed front ends of the two control calls, for the graph builder.
struct t_fx_effect_spec {
    t_module* left = nullptr;
    t_module* right = nullptr;
    int feed_left = 0, feed_right = 0;
    int return_left = 0, return_right = 0;
    int knob_ids[3] = {-1, -1, -1};
    int sync_id = -1;
    int on_off_id = -1;
    int label = 0;
};
int fx_wrapper_add_effect(t_module* wrapper, const t_fx_effect_spec& spec);
int fx_wrapper_add_preset(t_module* wrapper, int entry, const char* text);

// Samples the effect still runs after the last parameter change while switched off
// (0 when the wrapper is null or not a wrapper's record).
int fx_wrapper_countdown(const t_module* wrapper);

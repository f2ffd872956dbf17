// The voice keyboard's settings: its parameter table, their changes, the state text
// with the conversion of version-1 tunings, and the Scala file load.
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "analog/pm_polyvkey.h"
#include "analog/pm_polyvkey_record.h"
#include "analog/tuning.h"
#include "analog/tuning_scala.h"

namespace pm_polyvkey_internal {

namespace {

template <class P, class... A> P* add_param(t_polyvkey* k, int32_t flags, A&&... args) {
    auto p = std::make_unique<P>(std::forward<A>(args)...);
    P* raw = p.get();
    k->owned.push_back(std::move(p));
    module_register_parameter(k, raw, flags);
    return raw;
}

} // namespace

void report(t_module* m, int id) {
    t_param_entry* e = module_find_parameter(m, id);
    if (!e || m->persistence <= 0 || !m->observer) return;
    if (e->flags & kParamStringReport)
        m->observer->received_string(m, id, e->param->value_text());
    else
        m->observer->told(m, id);
}

void update_reference_digits(t_polyvkey* k) {
    const float* table = k->tuning.table();
    const double hz =
        kMiddleCHz * std::exp2(static_cast<double>(k->tuning_fine->value()) + table[ival(k->note_ref)]);
    double tenths = std::floor(hz * 10.0);
    if (hz * 10.0 - tenths > 0.5) tenths += 1; // a remainder above 0.05 Hz rounds up
    long t = static_cast<long>(std::clamp(tenths, 0.0, 159999.0));
    const int values[5] = {static_cast<int>(t / 10000), static_cast<int>(t / 1000 % 10),
                           static_cast<int>(t / 100 % 10), static_cast<int>(t / 10 % 10),
                           static_cast<int>(t % 10)};
    for (int i = 0; i < 5; ++i) {
        k->digits[i]->set_value(static_cast<float>(values[i]));
        report(k, kKeyRefDigit0 + i);
    }
}

void parameter_changed(t_module* mod, int id, int origin) {
    t_polyvkey* k = self(mod);
    if (origin == kChangedAdded) return;
    const bool by_message = origin == kChangedByMessage;
    switch (id) {
    case kKeyScalaLoad:
        if (ival(k->scala_load) != 1) break;
        // The document runs the file dialog and calls pm_polyvkey_load_scala_file.
        if (by_message)
            module_tell(k, kKeyScalaLoad);
        else
            report(k, kKeyScalaScale);
        k->scala_load->set_value(0);
        break;
    case kKeyTuningNoteRef:
        k->tuning.set_base_note(ival(k->note_ref));
        update_reference_digits(k);
        break;
    case kKeyTuningFine:
        update_reference_digits(k);
        break;
    case kKeyTuningType:
        k->tuning.select(ival(k->tuning_type));
        update_reference_digits(k);
        break;
    case kKeyBendDepth:
        if (by_message) k->bend_depth = k->bend_depth_param->value();
        break;
    case kKeyUsableVoices:
        if (by_message) k->usable_changed = true;
        break;
    case kKeyArpOctaveRange:
    case kKeyArpOctaveSpan:
    case kKeyArpNoteOrder:
        k->arp.mark_reset();
        break;
    case kKeyArpLatch:
        if (ival(k->arp_latch) == 0) k->arp.clear_latch();
        break;
    default:
        break;
    }
}

void read_parameters(t_module* mod, KelTextReader& in) {
    t_polyvkey* k = self(mod);
    module_generic_read_parameters(k, in);
    if (k->loaded_version < 2) {
        // Version 1 kept an absolute reference frequency for A.
        KeyboardTuningV1 old;
        old.tuning_int = k->tuning_int->value();
        old.tuning_dec = k->tuning_dec->value();
        old.semitone_detune = ival(k->semitone_detune);
        old.octave_detune = ival(k->octave_detune);
        const KeyboardTuningV2 v2 = convert_version1_tuning(old);
        k->tuning_type->set_value(static_cast<float>(v2.tuning_type));
        k->note_ref->set_value(static_cast<float>(v2.tuning_note_ref));
        k->tuning_fine->set_value(v2.tuning_fine);
        k->semitone_detune->set_value(static_cast<float>(v2.semitone_detune));
        k->octave_detune->set_value(static_cast<float>(v2.octave_detune));
    }
    // The scale text, its base note and the tuning type may come in any order.
    k->tuning.scala().set_base_note(ival(k->note_ref));
    k->tuning.select(ival(k->tuning_type));
    update_reference_digits(k);
}

void register_parameters(t_polyvkey* k, float bend_range) {
    static const char* const step_names[16] = {"arp_step_0",  "arp_step_1",  "arp_step_2",  "arp_step_3",
                                               "arp_step_4",  "arp_step_5",  "arp_step_6",  "arp_step_7",
                                               "arp_step_8",  "arp_step_9",  "arp_step_10", "arp_step_11",
                                               "arp_step_12", "arp_step_13", "arp_step_14", "arp_step_15"};
    for (int i = 0; i < 16; ++i)
        k->arp_steps[i] = add_param<IntParam>(k, 0, kKeyArpStep0 + i, 0, 1, 1, step_names[i]);
    k->arp_length = add_param<IntParam>(k, 0, kKeyArpLength, 0, 15, 15, "arp_length");
    k->arp_octave_range = add_param<IntParam>(k, 0, kKeyArpOctaveRange, 0, 4, 0, "arp_octave_range");
    k->arp_octave_span = add_param<IntParam>(k, 0, kKeyArpOctaveSpan, 0, 2, 1, "arp_octave_span");
    k->arp_note_order = add_param<IntParam>(k, 0, kKeyArpNoteOrder, 0, 5, 0, "arp_note_order");
    k->arp_sync = add_param<IntParam>(k, 0, kKeyArpSync, 0, 24, 17, "arp_sync");
    k->arp_latch = add_param<IntParam>(k, 0, kKeyArpLatch, 0, 1, 0, "arp_latch");
    k->arp_rate = add_param<SmoothParam>(k, 0, kKeyArpRate, 1.0f, 50.0f, 5.0f, kSmoothBlocks, "arp_rate");
    const int32_t digit_flags = kParamNoTextRead | kParamNoTextWrite | kParamNoMessage;
    for (int i = 0; i < 5; ++i)
        k->digits[i] = add_param<IntParam>(k, digit_flags, kKeyRefDigit0 + i, 0, i == 0 ? 15 : 9, 0, "");
    k->tuning_int = add_param<IntParam>(k, kParamNoTextWrite, kKeyTuningInt, 377, 504, 440, "tuning_int");
    k->tuning_dec = add_param<IntParam>(k, kParamNoTextWrite, kKeyTuningDec, 0, 99, 0, "tuning_dec");
    add_param<TuningParameter>(k, kParamNoReport | kParamNoMessage | kParamStringReport, &k->tuning.scala());
    k->tuning_type = add_param<IntParam>(k, 0, kKeyTuningType, 0, 1, 0, "tuning_type");
    k->note_ref = add_param<IntParam>(k, 0, kKeyTuningNoteRef, 0, 127, 69, "tuning_note_ref");
    k->tuning_fine = add_param<FloatParam>(k, 0, kKeyTuningFine, -1.0f / 24, 1.0f / 24, 0.0f, "tuning_fine");
    k->octave_detune = add_param<IntParam>(k, 0, kKeyOctaveDetune, -3, 3, 0, "octave_detune");
    k->semitone_detune = add_param<IntParam>(k, 0, kKeySemitoneDetune, -12, 12, 0, "semitone_detune");
    k->stretch = add_param<FloatParam>(k, 0, kKeyStretch, 0.992f, 1.008f, 1.0f, "stretch");
    k->error = add_param<FloatParam>(k, 0, kKeyError, 0.0f, 0.02f, 0.0f, "error");
    k->velocity_curve = add_param<FloatParam>(k, 0, kKeyVelocityCurve, 0.0f, 2.0f, 1.0f, "velocity_curve");
    k->mono_poly = add_param<IntParam>(k, 0, kKeyMonoPoly, 0, 1, 1, "mono_poly");
    k->voice_mode = add_param<IntParam>(k, 0, kKeyVoiceMode, 0, 2, 2, "voice_mode");
    k->arp_active = add_param<IntParam>(k, 0, kKeyArpActive, 0, 1, 0, "arp_active");
    k->unison_mode = add_param<IntParam>(k, 0, kKeyUnisonMode, 0, 2, 0, "unisson_mode");
    k->unison_detune = add_param<SmoothExpParam>(k, 0, kKeyUnisonDetune, 0.001f, 1.0f, 0.005f, kSmoothBlocks,
                                                 "unisson_detune");
    k->unison_delay = add_param<SmoothExpParam>(k, 0, kKeyUnisonDelay, 0.002f, 0.1f, 0.005f, kSmoothBlocks,
                                                "unisson_delay");
    k->hold_pedal = add_param<IntParam>(k, 0, kKeyHoldPedal, 0, 1, 1, "do_hold_pedal");
    k->scala_load = add_param<IntParam>(k, 0, kKeyScalaLoad, 0, 1, 0, "");
    const int32_t hidden = kParamNoTextRead | kParamNoTextWrite;
    k->usable_param =
        add_param<IntParam>(k, hidden, kKeyUsableVoices, 0, 30, static_cast<float>(k->polyphony - 2), "");
    k->bend_depth_param = add_param<FloatParam>(k, hidden, kKeyBendDepth, 0.0f, 1.0f, bend_range, "");
}

} // namespace pm_polyvkey_internal

using namespace pm_polyvkey_internal;

bool pm_polyvkey_load_scala_file(t_module* m, const std::string& path) {
    t_polyvkey* k = self(m);
    const bool ok = k->tuning.load_scala_file(path, ival(k->note_ref));
    k->tuning_type->set_value(static_cast<float>(k->tuning.type()));
    report(k, kKeyTuningType);
    report(k, kKeyScalaScale);
    update_reference_digits(k);
    return ok;
}

const float* pm_polyvkey_pitch_table(t_module* m) {
    return self(m)->tuning.table();
}

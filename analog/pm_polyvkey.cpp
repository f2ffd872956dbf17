// The voice keyboard: MIDI notes of one channel to gate, pitch and velocity per voice.
#include "analog/pm_polyvkey.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>

#include "analog/pm_polyvkey_record.h"
#include "engine/report.h"

using namespace pm_polyvkey_internal;

namespace {

// ---- voices ----

void select_allocator(t_polyvkey* k) {
    const int vm = std::clamp(ival(k->voice_mode), 0, 2), um = std::clamp(k->last_unison_mode, 0, 2);
    k->allocator = k->allocators[vm][um].get();
    if (k->allocator && k->primary > 0) k->allocator->reset(k->primary);
}

// Unison needs voices to copy: mode 2 takes four, mode 1 two. A keyboard with too few
// falls back to the next smaller mode and reports it.
void apply_unison_limits(t_polyvkey* k) {
    int mode = std::clamp(ival(k->unison_mode), 0, 2);
    int usable = std::min(ival(k->usable_param) + 2, k->polyphony);
    if (mode == 2 && usable < 4) {
        if (k->polyphony < 4)
            mode = 1;
        else
            usable = 4;
    }
    if (mode == 1 && usable < 2) mode = 0;
    if (mode != ival(k->unison_mode)) {
        k->unison_mode->set_value(static_cast<float>(mode));
        report(k, kKeyUnisonMode);
    }
    k->last_unison_mode = mode;
    k->usable = usable;
    k->primary = usable / unison_factor(mode);
}

// Every sounding voice is released and every note state forgotten.
void full_release(t_polyvkey* k) {
    for (t_voice_out& o : k->out)
        if (o.gate_target > 0) o.gate_target = 0, o.filled = 0;
    for (auto& row : k->allocators)
        for (auto& a : row)
            if (a) a->all_notes_off();
    k->sustain.release_all();
    for (t_mono_note& n : k->mono)
        n.sequence = 0;
    k->mono_note = -1;
    k->arp.clear();
}

float next_random(t_polyvkey* k) {
    uint32_t x = k->random;
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    k->random = x;
    return static_cast<float>(x >> 8) * (1.0f / 16777216.0f); // [0, 1)
}

float base_pitch(const t_polyvkey* k) {
    return k->tuning_fine->value() + static_cast<float>(ival(k->semitone_detune)) / 12.0f +
           static_cast<float>(ival(k->octave_detune));
}

float note_pitch(t_polyvkey* k, int note) {
    const float* table = k->tuning.table();
    float p = table[note];
    if (k->tuning.type() == CKeyboardTuning::kEqualTemperament) {
        const float ref = table[std::clamp(ival(k->note_ref), 0, kNotes - 1)];
        p = ref + k->stretch->value() * (p - ref) + k->error->value() * next_random(k);
    }
    return base_pitch(k) + p;
}

// ---- block stages ----

// The channel's note events that fall into this sub-block, made safe: notes outside
// 0..127 are dropped, velocities clamped, frames kept inside the sub-block and in order.
int take_note_events(t_polyvkey* k, const MidiChannelState* cs, int frames, t_key_event* out) {
    if (!cs) return 0;
    const int count = std::clamp(cs->note_count, 0, MidiChannelState::kMaxNotes);
    const int end = k->block_position + frames;
    int n = 0, last = 0;
    for (; k->note_cursor < count; ++k->note_cursor) {
        const MidiNoteEvent& e = cs->notes[k->note_cursor];
        if (e.offset >= end) break; // a later sub-block's
        if (e.note < 0 || e.note >= kNotes) continue;
        last = std::clamp(e.offset - k->block_position, last, frames - 1);
        out[n++] = t_key_event{last, static_cast<int16_t>(e.note),
                               static_cast<int16_t>(std::clamp(e.velocity, 0, 127))};
    }
    return n;
}

void push_voice_event(t_polyvkey* k, int& n, int frame, int voice, int note, int velocity) {
    if (voice < 0 || voice >= k->polyphony || n >= kMaxVoiceEvents) return;
    k->voice_events[n++] = t_voice_event{frame, static_cast<int16_t>(voice), static_cast<int16_t>(note),
                                         static_cast<int16_t>(velocity)};
}

int assign_poly(t_polyvkey* k, const t_key_event* events, int count) {
    int n = 0;
    VoiceAllocator* a = k->allocator;
    if (!a) return 0;
    for (int i = 0; i < count; ++i) {
        const t_key_event& e = events[i];
        if (e.velocity > 0) {
            if (a->is_held(e.note)) {
                // A held note struck again moves to a fresh voice; the old one rings on released.
                const int old = a->voice_of(e.note);
                a->note_off(e.note);
                const int fresh = a->note_on_avoiding(e.note, old);
                if (old >= 0 && old != fresh) push_voice_event(k, n, e.frame, old, e.note, 0);
                push_voice_event(k, n, e.frame, fresh, e.note, e.velocity);
            } else {
                push_voice_event(k, n, e.frame, a->note_on(e.note), e.note, e.velocity);
            }
        } else {
            push_voice_event(k, n, e.frame, a->note_off(e.note), e.note, 0);
        }
    }
    return n;
}

int assign_mono(t_polyvkey* k, const t_key_event* events, int count) {
    int n = 0;
    const int mode = ival(k->voice_mode);
    for (int i = 0; i < count; ++i) {
        const t_key_event& e = events[i];
        t_mono_note& held = k->mono[e.note];
        if (e.velocity > 0)
            held.sequence = ++k->mono_sequence, held.velocity = e.velocity;
        else
            held.sequence = 0;
        int chosen = -1;
        for (int note = 0; note < kNotes; ++note) {
            if (!k->mono[note].sequence) continue;
            // The scan goes up: mode 0 keeps the last (highest), mode 1 the first (lowest),
            // mode 2 the most recent.
            if (chosen < 0 || mode == 0 || (mode == 2 && k->mono[note].sequence > k->mono[chosen].sequence))
                chosen = note;
            if (mode == 1) break;
        }
        if (chosen >= 0 && chosen != k->mono_note) {
            push_voice_event(k, n, e.frame, 0, chosen, k->mono[chosen].velocity);
            k->mono_note = chosen;
        } else if (chosen < 0 && k->mono_note >= 0) {
            push_voice_event(k, n, e.frame, 0, k->mono_note, 0);
            k->mono_note = -1;
        }
    }
    return n;
}

void activate(t_polyvkey* k, int voice) {
    if (k->voice_block) k->voice_block->activate(voice);
}

// Per sample with events applied at their frames; a steady voice whose buffers already
// hold its values is skipped.
void write_voice(t_polyvkey* k, int v, int frames, bool poly) {
    t_voice_out& o = k->out[v];
    const int first = k->voice_event_start[v], last = k->voice_event_start[v + 1];
    if (first == last && o.gap == 0 && o.filled >= frames) {
        if (o.pitch_dirty) {
            if (float* pitch = module_output(k, 3 * v + 2)) std::fill(pitch, pitch + frames, o.pitch);
            o.pitch_dirty = false;
        }
        return;
    }
    float* gate = module_output(k, 3 * v + 1);
    float* pitch = module_output(k, 3 * v + 2);
    float* velocity = module_output(k, 3 * v + 3);
    if (!gate || !pitch || !velocity) return;
    int i = 0, steady_from = 0;
    auto fill = [&](int to) {
        while (i < to) {
            int end = to;
            float g = o.gate_target;
            const bool in_gap = o.gap > 0;
            if (in_gap) {
                end = std::min(to, i + o.gap);
                g = 0;
                o.gap -= end - i;
            }
            std::fill(gate + i, gate + end, g);
            std::fill(pitch + i, pitch + end, o.pitch);
            std::fill(velocity + i, velocity + end, o.velocity);
            if (in_gap && o.gap == 0) {
                steady_from = end;
                if (o.gate_target > 0.5f) activate(k, v); // the gate rises at `end`
            }
            i = end;
        }
    };
    for (int j = first; j < last; ++j) {
        const t_voice_event& e = k->voice_events[k->voice_event_order[j]];
        fill(e.frame);
        if (e.velocity > 0) {
            if (o.gate_target > 0.5f && poly) {
                o.gap = kRestrikeGap;
            } else {
                activate(k, v);
                o.gap = kNoteGap;
            }
            o.gate_target = 1;
            o.note = e.note;
            o.pitch = note_pitch(k, e.note);
            o.velocity = std::pow(static_cast<float>(e.velocity) / 128.0f, k->velocity_curve->value());
        } else {
            o.gate_target = 0;
        }
        steady_from = e.frame;
    }
    fill(frames);
    o.filled = (steady_from == 0 && o.gap == 0) ? frames : 0;
    o.pitch_dirty = false;
}

// Bend: the offset glides to a new target over 800 samples and is added to every
// primary voice's pitch (the unison copies take it from there).
void apply_bend(t_polyvkey* k, const MidiChannelState* cs, int frames) {
    const int wheel = cs ? std::clamp(cs->pitch_bend, 0, 16383) : 8192;
    const float target = static_cast<float>(wheel - 8192) / 8192.0f * k->bend_depth;
    if (k->bend_remaining == 0 && std::fabs(target - k->bend_target) > 1e-6f) {
        k->bend_target = target;
        if (k->bend_offset != target) {
            k->bend_step = (target - k->bend_offset) / kBendRamp;
            k->bend_remaining = kBendRamp;
        }
    }
    if (k->bend_offset == 0 && k->bend_target == 0 && k->bend_remaining == 0) return;
    // The offset of every sample once, then added to each voice.
    float ramp[kMaxBlock];
    float offset = k->bend_offset;
    int remaining = k->bend_remaining;
    for (int i = 0; i < frames; ++i) {
        ramp[i] = offset;
        if (remaining > 0) offset = --remaining == 0 ? k->bend_target : offset + k->bend_step;
    }
    for (int v = 0; v < k->primary; ++v) {
        float* pitch = module_output(k, 3 * v + 2);
        if (!pitch) continue;
        for (int i = 0; i < frames; ++i)
            pitch[i] += ramp[i];
        k->out[v].pitch_dirty = true; // the buffer no longer holds the plain pitch
    }
    k->bend_offset = offset;
    k->bend_remaining = remaining;
}

// Unison copies read the primary voices' signals back from their rings, later by d,
// 2d and 3d samples, with their own detune.
void write_unison(t_polyvkey* k, int frames) {
    const int mode = k->last_unison_mode;
    if (mode == 0) return;
    const int m = std::min(k->primary, k->rings.voices());
    const int copies = mode == 1 ? 1 : 3;
    const long delay = std::lround(k->unison_delay->value() * k->sample_rate);
    const int d = static_cast<int>(std::clamp(delay, 1L, static_cast<long>(CUnisonRings::max_delay(copies))));
    const float detune = k->unison_detune->value();
    const float copy_detune[4] = {0, detune, -detune, 2 * detune};
    for (int v = 0; v < m; ++v) {
        for (int s = 0; s < CUnisonRings::kSignals; ++s)
            if (const float* src = module_output(k, 3 * v + 1 + s)) k->rings.write(v, s, src, frames);
        for (int c = 1; c <= copies; ++c) {
            const int voice = v + c * m;
            if (voice >= k->polyphony) continue;
            for (int s = 0; s < CUnisonRings::kSignals; ++s)
                if (float* dst = module_output(k, 3 * voice + 1 + s))
                    k->rings.read(v, s, c * d, s == 1 ? copy_detune[c] : 0.0f, dst, frames);
            k->out[voice].filled = 0;
            if (k->voice_block && k->voice_block->active(v)) k->voice_block->activate(voice);
        }
    }
    k->rings.advance(frames);
}

void zero_outputs(t_polyvkey* k, int frames) {
    for (int o = 1; o <= k->output_count; ++o)
        if (float* b = module_output(k, o)) std::fill(b, b + frames, 0.0f);
    for (t_voice_out& v : k->out)
        v.filled = 0;
}

void polyvkey_process(t_module* mod, int frames) {
    t_polyvkey* k = self(mod);
    frames = std::min(frames, kMaxBlock);
    if (frames <= 0) return;
    if (!k->midi) {
        zero_outputs(k, frames);
        return;
    }
    const MidiChannelState* cs = k->midi->channel_state(k->channel);
    // Per block: the smoothed settings move one step.
    k->arp_rate->step();
    k->unison_detune->step();
    k->unison_delay->step();

    // Anything that resets the allocator first releases every voice, so no gate stays
    // up for a note whose note-off could no longer find it.
    // A host block whose events were all taken and then emptied without the hand-over
    // of control kind 0 still starts over.
    if (cs && cs->note_count < k->note_cursor) k->block_position = k->note_cursor = 0, k->reset_taken = false;
    // The channel's reset (all notes off, all sound off) acts once, in its sub-block.
    bool release = false;
    if (cs && !k->reset_taken && (cs->all_notes_off || cs->all_sound_off)) {
        const int at = std::min(cs->all_notes_off ? cs->all_notes_off_offset : INT32_MAX,
                                cs->all_sound_off ? cs->all_sound_off_offset : INT32_MAX);
        if (at < k->block_position + frames) release = k->reset_taken = true;
    }
    if (ival(k->mono_poly) != k->last_mono_poly) k->last_mono_poly = ival(k->mono_poly), release = true;
    if (ival(k->arp_active) != k->last_arp_active) k->last_arp_active = ival(k->arp_active), release = true;
    const bool unison_changed = ival(k->unison_mode) != k->last_unison_mode;
    if (unison_changed || k->usable_changed) {
        apply_unison_limits(k);
        if (unison_changed) k->rings.clear(); // the copies start from silence
        for (int v = k->usable; v < kMaxVoices; ++v)
            k->out[v].gate_target = 0, k->out[v].filled = 0;
        k->usable_changed = false;
        k->last_voice_mode = -1;
        release = true;
    }
    if (ival(k->voice_mode) != k->last_voice_mode) {
        if (k->last_voice_mode >= 0) release = true;
        k->last_voice_mode = ival(k->voice_mode);
        select_allocator(k);
    }
    if (release) {
        full_release(k);
        if (unison_changed)
            for (t_voice_out& o : k->out)
                o.filled = 0;
    }

    const bool pedal = cs && cs->controllers[64] > 63 && ival(k->hold_pedal) == 1;
    const int raw = take_note_events(k, cs, frames, k->arp_events);
    int count = k->sustain.process(k->arp_events, raw, pedal, k->now, k->sample_rate, k->key_events);
    const t_key_event* events = k->key_events;
    if (ival(k->arp_active) == 1) {
        int steps[16];
        for (int i = 0; i < 16; ++i)
            steps[i] = ival(k->arp_steps[i]);
        t_arp_settings s;
        s.steps = steps;
        s.length = ival(k->arp_length);
        s.octave_range = ival(k->arp_octave_range);
        s.octave_span = ival(k->arp_octave_span);
        s.order = ival(k->arp_note_order);
        s.sync = ival(k->arp_sync);
        s.latch = ival(k->arp_latch) == 1;
        s.rate = k->arp_rate->value();
        s.sample_rate = k->sample_rate;
        count =
            k->arp.process(s, k->key_events, count, module_input(k, 1), frames, k->arp_events, kMaxArpEvents);
        events = k->arp_events;
    }
    const bool poly = ival(k->mono_poly) == 1;
    const int n = poly ? assign_poly(k, events, count) : assign_mono(k, events, count);

    // Group the voice events by voice, keeping frame order (counting sort).
    std::fill(std::begin(k->voice_event_start), std::end(k->voice_event_start), 0);
    for (int i = 0; i < n; ++i)
        ++k->voice_event_start[k->voice_events[i].voice + 1];
    for (int v = 0; v < kMaxVoices; ++v)
        k->voice_event_start[v + 1] += k->voice_event_start[v];
    int cursor[kMaxVoices];
    std::copy(k->voice_event_start, k->voice_event_start + kMaxVoices, cursor);
    for (int i = 0; i < n; ++i)
        k->voice_event_order[cursor[k->voice_events[i].voice]++] = i;

    // A change of transposition or fine tune moves the sounding notes with it.
    const float base = base_pitch(k);
    if (base != k->last_base) {
        for (t_voice_out& o : k->out)
            o.pitch += base - k->last_base, o.filled = 0;
        k->last_base = base;
    }
    const int copies_end =
        k->last_unison_mode ? std::min(k->polyphony, k->primary * unison_factor(k->last_unison_mode)) : 0;
    for (int v = 0; v < k->polyphony; ++v) {
        if (v >= k->primary && v < copies_end) continue; // written by the unison stage
        write_voice(k, v, frames, poly);
    }
    apply_bend(k, cs, frames);
    write_unison(k, frames);
    k->now += frames;
    k->block_position = std::min(k->block_position + frames, 1 << 30);
}

// ---- entry points ----

void polyvkey_reset(t_module* mod) {
    t_polyvkey* k = self(mod);
    k->rings.clear();
    for (t_voice_out& o : k->out)
        o.filled = 0;
}

void polyvkey_set_sample_rate(t_module* mod, float rate) {
    if (rate > 0 && std::isfinite(rate)) self(mod)->sample_rate = rate;
}

int polyvkey_query(t_module* mod, int kind) {
    return kind == kKeyboardQueryChannel ? self(mod)->channel + 1 : 0;
}

int polyvkey_control(t_module* mod, int kind, const intptr_t* args, int nargs) {
    t_polyvkey* k = self(mod);
    if (!args || nargs < 1) return 0;
    if (kind == kKeyboardControlMidi) {
        // The synth hands the input over before every host block.
        k->midi = reinterpret_cast<MidiInputState*>(args[0]);
        k->block_position = k->note_cursor = 0;
        k->reset_taken = false;
        if (k->midi && k->follow_input)
            k->channel = k->midi->isOmni() ? MidiInputState::kAnyChannel : k->midi->receive_index();
        return 1;
    }
    if (kind == kKeyboardControlVoiceBlock) {
        k->voice_block = reinterpret_cast<t_voice_block*>(args[0]);
        return 1;
    }
    return 0;
}

} // namespace

t_module* pm_polyvkey_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0, bend_range = 0;
    int buffer_number = 0, initial_hold = 0, polyphony = 0;
    std::string name;
    if (!d.f(rate) || !d.d(buffer_number) || !d.f(bend_range) || !d.d(initial_hold) || !d.d(polyphony) ||
        !d.s(name) || !(rate > 0) || !std::isfinite(rate) || !std::isfinite(bend_range) || polyphony < 1 ||
        polyphony > kMaxVoices) {
        KEL_ERROR("can't create pm_polyvkey from \"%.*s\"\n", static_cast<int>(line.size()), line.data());
        return nullptr;
    }
    t_polyvkey* k = module_alloc<t_polyvkey>(1, 3 * polyphony);
    if (!k) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    k->type_name = "pm_polyvkey";
    k->name = name;
    module_set_version(k, 2);
    k->sample_rate = rate;
    k->polyphony = polyphony;
    // The initial-hold count (forced to 0 unless the buffer-size number is 1) shapes nothing.
    (void)buffer_number, (void)initial_hold;
    k->bend_depth = std::clamp(bend_range, 0.0f, 1.0f);
    register_parameters(k, k->bend_depth);

    const int sizes[3] = {polyphony, polyphony / 2, polyphony / 4};
    bool ok = true;
    for (int vm = 0; vm < 3; ++vm)
        for (int um = 0; um < 3; ++um) {
            k->allocators[vm][um] = make_voice_allocator(vm, sizes[um], polyphony);
            ok = ok && k->allocators[vm][um];
        }
    // Rings only for the voices that unison can copy: at most half of them.
    ok = k->rings.allocate(polyphony / 2) && ok;
    if (!ok) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        module_free(k);
        return nullptr;
    }
    apply_unison_limits(k);
    k->last_voice_mode = ival(k->voice_mode);
    select_allocator(k);
    k->last_base = base_pitch(k);
    k->last_mono_poly = ival(k->mono_poly);
    k->last_arp_active = ival(k->arp_active);
    update_reference_digits(k);

    k->process = polyvkey_process;
    k->reset = polyvkey_reset;
    k->set_sample_rate = polyvkey_set_sample_rate;
    k->parameter_changed = parameter_changed;
    k->read_parameters = read_parameters;
    k->query = polyvkey_query;
    k->control = polyvkey_control;
    return k;
}

int pm_polyvkey_get_channel(t_module* m) {
    return self(m)->channel + 1;
}

void pm_polyvkey_set_channel(t_module* m, int channel) {
    t_polyvkey* k = self(m);
    const int index = std::clamp(channel, 1, MidiInputState::kChannels) - 1;
    if (k->midi) {
        k->midi->release(k->channel);
        k->midi->hold(index);
    }
    k->channel = index;
    k->follow_input = false;
}

#include "engine/midi_input_state.h"

#include <cstring>

// ---- channel state ----

void MidiChannelState::clear(int32_t index) {
    channel = index;
    received = 0;
    note_count = 0;
    all_sound_off = all_sound_off_offset = 0;
    all_notes_off = all_notes_off_offset = 0;
    pitch_bend = 8192;
    modulation = breath = pressure = sustain = 0;
    std::memset(controllers, 0, sizeof controllers);
    std::memset(changed, 0, sizeof changed);
    changed_count = 0;
}

void MidiChannelState::clear_block(bool keep_changes) {
    note_count = 0;
    received = 0;
    all_sound_off = all_notes_off = 0;
    if (keep_changes) return;
    for (int i = 0; i < changed_count; ++i) changed[changed_list[i]] = 0;
    changed_count = 0;
}

void MidiChannelState::mark_changed(int controller) {
    if (changed[controller]) return;
    changed[controller] = 1;
    changed_list[changed_count++] = controller;
}

void MidiChannelState::apply(const t_midi_event& e) {
    const int d1 = e.data1 & 0x7f, d2 = e.data2 & 0x7f;
    const int32_t offset = static_cast<int32_t>(e.offset);
    received = 1;
    switch (e.status & 0xf0) {
    case 0x90:
    case 0x80: {
        if (note_count >= kMaxNotes) break;
        const int velocity = (e.status & 0xf0) == 0x90 ? d2 : 0;
        int i = note_count;
        while (i > 0 && notes[i - 1].offset > offset) {
            notes[i] = notes[i - 1];
            --i;
        }
        notes[i] = MidiNoteEvent{offset, d1, velocity};
        ++note_count;
        break;
    }
    case 0xb0:
        controllers[d1] = d2;
        mark_changed(d1);
        if (d1 == 1) modulation = d2;
        else if (d1 == 2) breath = d2;
        else if (d1 == 64) sustain = d2 >= 64 ? 1 : 0;
        else if (d1 == 120) all_sound_off = 1, all_sound_off_offset = offset;
        else if (d1 == 123) all_notes_off = 1, all_notes_off_offset = offset;
        break;
    case 0xd0:
        pressure = d1;
        controllers[kPressureController] = d1;
        mark_changed(kPressureController);
        break;
    case 0xe0:
        pitch_bend = d2 * 128 + d1;
        controllers[kBendController] = d2;
        mark_changed(kBendController);
        break;
    default:
        break;  // poly pressure, program change: received only
    }
}

// ---- input state ----

MidiInputState::MidiInputState() {
    for (int i = 0; i < kChannels; ++i) states_[i].clear(i);
    hold(0);
    hold(kAnyChannel);
}

void MidiInputState::hold(int index) {
    if (!valid(index)) return;
    if (holds_[index] == 0) states_[index].clear(index);
    ++holds_[index];
}

void MidiInputState::release(int index) {
    // A release without a hold would leave the count negative and the next hold
    // would then not bring the state back: ignore it.
    if (!valid(index) || holds_[index] <= 0) return;
    --holds_[index];
}

void MidiInputState::setReceiveChannel(int n) {
    n = n <= 0 ? 1 : (n > 16 ? 16 : n);
    release(receive_);
    receive_ = n - 1;
    hold(receive_);
}

void MidiInputState::send(int32_t kind, int32_t word0) {
    MidiPortNotify n;
    n.kind = kind;
    n.words[0] = word0;
    notify_(notify_context_, n);
}

void MidiInputState::flush_clocks(int& clocks) {
    if (clocks > 0 && notify_) send(kMidiNotifyClocks, clocks);
    clocks = 0;
}

void MidiInputState::handle(const t_midi_event& e, int& handled, int& clocks) {
    const uint8_t s = e.status;
    if (s < 0x80) return;  // a data byte where a status belongs: nothing to act on
    if (s >= 0xc0 && s <= 0xcf && notify_) {
        MidiPortNotify n;
        n.kind = kMidiNotifyProgramChange;
        n.words[0] = s & 0x0f;
        n.words[1] = e.data1 & 0x7f;
        notify_(notify_context_, n);
        return;
    }
    if (s < 0xf0) {
        events_.insert(e);
        if (MidiChannelState* cs = channel_state(s & 0x0f)) cs->apply(e);
        if (omni_)
            if (MidiChannelState* any = channel_state(kAnyChannel)) any->apply(e);
        ++handled;
        return;
    }
    if (!notify_) return;
    switch (s) {
    case 0xf8: ++clocks; break;
    case 0xf2: flush_clocks(clocks); send(kMidiNotifySongPosition, (e.data1 & 0x7f) + (e.data2 & 0x7f) * 128); break;
    case 0xfa: flush_clocks(clocks); send(kMidiNotifyStart); break;
    case 0xfb: flush_clocks(clocks); send(kMidiNotifyContinue); break;
    case 0xfc: flush_clocks(clocks); send(kMidiNotifyStop); break;
    case 0xff: flush_clocks(clocks); send(kMidiNotifyReset); break;
    default: break;
    }
}

int MidiInputState::dispatch(KelMidiEventQueue& queue, uint32_t frames) {
    int handled = 0, clocks = 0;
    // Events carried from earlier blocks were sent before anything now in the queue.
    int kept = 0;
    for (int i = 0; i < carry_count_; ++i) {
        t_midi_event e = carry_[i];
        if (e.offset < frames) {
            handle(e, handled, clocks);
        } else {
            e.offset -= frames;
            carry_[kept++] = e;
        }
    }
    carry_count_ = kept;
    // At most one pool's worth, so a producer that keeps pushing cannot hold the render.
    t_midi_event e;
    for (uint32_t n = 0; n < queue.capacity() && queue.pop(e); ++n) {
        if (e.offset < frames) {
            handle(e, handled, clocks);
        } else if (carry_count_ < static_cast<int>(kMidiEventQueueCapacity)) {
            e.offset -= frames;
            carry_[carry_count_++] = e;
        } else {
            // No room to wait: play it at the block's last frame rather than lose it.
            e.offset = frames > 0 ? frames - 1 : 0;
            handle(e, handled, clocks);
        }
    }
    flush_clocks(clocks);
    return handled;
}

bool MidiInputState::next_changed_controller(int& channel, int& controller, int& value) {
    while (cursor_channel_ < kChannels) {
        const MidiChannelState* cs = channel_state(cursor_channel_);
        if (cs && cursor_position_ < cs->changed_count) {
            channel = cursor_channel_;
            controller = cs->changed_list[cursor_position_++];
            value = cs->controllers[controller];
            return true;
        }
        ++cursor_channel_;
        cursor_position_ = 0;
    }
    cursor_channel_ = cursor_position_ = 0;
    return false;
}

void MidiInputState::allNotesOff() {
    for (int i = 0; i < kChannels; ++i) {
        MidiChannelState* cs = channel_state(i);
        if (!cs) continue;
        cs->all_notes_off = 1;
        cs->all_notes_off_offset = 0;
        cs->modulation = cs->pressure = cs->breath = cs->sustain = 0;
        cs->pitch_bend = 8192;
    }
    for (int ch = 0; ch < 16; ++ch) events_.insert(0, static_cast<uint8_t>(0xb0 | ch), 123, 0);
}

void MidiInputState::endOfBlock() {
    events_.clear();
    for (int i = 0; i < kChannels; ++i)
        if (MidiChannelState* cs = channel_state(i)) cs->clear_block(keep_changes_);
    keep_changes_ = false;
    cursor_channel_ = cursor_position_ = 0;
}

// The arpeggiator: held notes in, one note (or chord) per clock step out.
#include "analog/arpeggiator.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "modules/tempo_division.h"

namespace {

constexpr int kFreeEdgesPerStep = 240;    // internal square-wave cycles per step
constexpr float kFreeRateDivisor = 14400; // half period = rate * 30 / (arp_rate * 14400) samples
constexpr float kClockThreshold = 0.1f;   // the master clock's rising edge

bool valid_note(int k) {
    return k >= 0 && k < CArpeggiator::kNotes;
}

} // namespace

void CArpeggiator::clear() {
    std::fill(std::begin(velocity_), std::end(velocity_), 0);
    std::fill(std::begin(down_), std::end(down_), 0);
    std::fill(std::begin(chord_), std::end(chord_), 0);
    down_count_ = held_count_ = 0;
    step_ = 0;
    restart_ = true;
    reset_pending_ = latched_ = chord_sounding_ = false;
    edges_ = 0;
    phase_ = level_ = last_clock_ = 0;
    position_ = 127;
    direction_ = 1;
    play_index_ = sounding_ = -1;
}

void CArpeggiator::drop(int note) {
    if (!velocity_[note]) return;
    velocity_[note] = 0;
    int j = 0;
    for (int i = 0; i < held_count_; ++i)
        if (play_order_[i] != note) play_order_[j++] = play_order_[i];
    held_count_ = j;
}

void CArpeggiator::clear_latch() {
    latched_ = false;
    for (int k = 0; k < kNotes; ++k)
        if (!down_[k]) drop(k);
}

// The first note of a chord starts the pattern over: step 0 next, and the position set
// so that the search finds the lowest held note (the highest for the downward order).
void CArpeggiator::start_chord(const t_arp_settings& s) {
    restart_ = true;
    // Up-down starts below note 0 so that a held note 0 is found too.
    position_ = s.order == 0 ? 127 : s.order == 1 ? 0 : -1;
    direction_ = 1;
    play_index_ = -1;
}

void CArpeggiator::note_on(const t_arp_settings& s, int note, int velocity) {
    if (!down_[note]) down_[note] = 1, ++down_count_;
    if (latched_) {
        // A new chord after a latched one replaces it without restarting the pattern.
        for (int k = 0; k < kNotes; ++k)
            if (k != note) drop(k);
        latched_ = false;
    } else if (held_count_ == 0) {
        start_chord(s);
    }
    if (!velocity_[note] && held_count_ < kNotes) play_order_[held_count_++] = static_cast<int16_t>(note);
    velocity_[note] = static_cast<uint8_t>(velocity);
}

void CArpeggiator::note_off(const t_arp_settings& s, int note) {
    if (down_[note]) down_[note] = 0, --down_count_;
    if (s.latch) {
        // Releasing the whole chord keeps it playing until the next one.
        if (down_count_ == 0 && held_count_ > 0) latched_ = true;
        return;
    }
    drop(note);
}

// Note k plays when it is held or lies whole octaves away from a held note, within
// the octave range and in the direction of the span; it takes that note's velocity.
int CArpeggiator::extended_velocity(const t_arp_settings& s, int note) const {
    if (!valid_note(note)) return 0;
    if (velocity_[note]) return velocity_[note];
    for (int i = 1; i <= s.octave_range; ++i) {
        const int below = note - 12 * i, above = note + 12 * i;
        if ((s.octave_span == 1 || s.octave_span == 2) && valid_note(below) && velocity_[below])
            return velocity_[below];
        if ((s.octave_span == 0 || s.octave_span == 2) && valid_note(above) && velocity_[above])
            return velocity_[above];
    }
    return 0;
}

int CArpeggiator::choose_up_down(const t_arp_settings& s) {
    for (int pass = 0; pass < 2; ++pass) {
        for (int k = position_ + direction_; k >= 0 && k < kNotes; k += direction_)
            if (extended_velocity(s, k)) return position_ = k;
        direction_ = -direction_;
        // Order 3 plays the turning note a second time.
        if (s.order == 3 && extended_velocity(s, position_)) return position_;
    }
    // A single held note repeats.
    return extended_velocity(s, position_) ? position_ : -1;
}

int CArpeggiator::choose(const t_arp_settings& s) {
    switch (s.order) {
    case 0:
    case 1: {
        const int dir = s.order == 0 ? 1 : -1;
        for (int d = 1; d <= kNotes; ++d) {
            const int k = ((position_ + dir * d) % kNotes + kNotes) % kNotes;
            if (extended_velocity(s, k)) return position_ = k;
        }
        return -1;
    }
    case 2:
    case 3:
        return choose_up_down(s);
    case 5:
        // As played: the held notes in the order they were struck.
        if (held_count_ == 0) return -1;
        play_index_ = (play_index_ + 1) % held_count_;
        return play_order_[play_index_];
    default:
        return -1;
    }
}

void CArpeggiator::emit(int frame, int note, int velocity) {
    // Room for the note-offs of a whole chord stays free, so nothing is left hanging.
    const int limit = velocity > 0 ? out_capacity_ - kNotes : out_capacity_;
    if (out_count_ >= limit) return;
    out_[out_count_++] = t_key_event{frame, static_cast<int16_t>(note), static_cast<int16_t>(velocity)};
}

void CArpeggiator::step(const t_arp_settings& s, int frame) {
    if (chord_sounding_) {
        for (int k = 0; k < kNotes; ++k)
            if (chord_[k]) emit(frame, k, 0), chord_[k] = 0;
        chord_sounding_ = false;
    }
    if (sounding_ >= 0) emit(frame, sounding_, 0), sounding_ = -1;

    if (restart_) {
        step_ = 0;
        restart_ = false;
    } else if (++step_ > std::clamp(s.length, 0, 15)) {
        step_ = 0;
    }
    if (!s.steps || s.steps[step_] != 1) return;

    if (s.order == 4) {
        for (int k = 0; k < kNotes; ++k)
            if (const int v = extended_velocity(s, k)) {
                emit(frame, k, v);
                chord_[k] = 1;
                chord_sounding_ = true;
            }
        return;
    }
    const int note = choose(s);
    if (note < 0) return;
    const int v = extended_velocity(s, note);
    emit(frame, note, v > 0 ? v : 64);
    sounding_ = note;
}

int CArpeggiator::process(const t_arp_settings& s, const t_key_event* in, int in_count, const float* clock,
                          int frames, t_key_event* out, int capacity) {
    out_ = out;
    out_count_ = 0;
    out_capacity_ = capacity;
    if (reset_pending_) {
        start_chord(s);
        reset_pending_ = false;
    }
    const bool free_running = s.sync <= 0;
    // Per block: the free clock's half period and the number of edges per step.
    const float rate = std::fmax(s.rate, 0.01f);
    const float half_period = s.sample_rate * 30.0f / (rate * kFreeRateDivisor);
    const int edges_per_step =
        free_running ? kFreeEdgesPerStep
                     : std::max(1, static_cast<int>(std::lround(tempo_division_pulses(s.sync))));

    auto apply = [&](const t_key_event& e) {
        if (!valid_note(e.note)) return;
        if (e.velocity > 0)
            note_on(s, e.note, e.velocity);
        else
            note_off(s, e.note);
    };
    int e = 0;
    // Per sample: the block's note events at their frames, then the clock.
    for (int i = 0; i < frames; ++i) {
        while (e < in_count && in[e].frame <= i)
            apply(in[e++]);
        bool edge = false;
        if (free_running) {
            phase_ += 1;
            if (phase_ > half_period) {
                phase_ -= half_period;
                level_ = 1 - level_;
                edge = level_ > 0.5f;
            }
        } else {
            const float c = clock ? clock[i] : 0.0f;
            edge = last_clock_ < kClockThreshold && c >= kClockThreshold;
            last_clock_ = c;
        }
        if (edge && ++edges_ >= edges_per_step) {
            edges_ = 0;
            step(s, i);
        }
    }
    while (e < in_count)
        apply(in[e++]);
    return out_count_;
}

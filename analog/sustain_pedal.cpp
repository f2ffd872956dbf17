#include "analog/sustain_pedal.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr float kRestrikeMemory = 10.0f; // seconds a re-struck note remembers its velocity
} // namespace

void CSustainPedal::release_all() {
    std::fill(key_, key_ + kNotes, kUp);
}

int CSustainPedal::process(const t_key_event* in, int count, bool pedal, int64_t now, float sample_rate,
                           t_key_event* out) {
    int n = 0;
    if (pedal_was_down_ && !pedal) {
        // Lifting the pedal ends every sustained note at the block start, the most recent last.
        int recent = -1;
        for (int note = 0; note < kNotes; ++note)
            if (key_[note] == kSustained && (recent < 0 || struck_[note] > struck_[recent])) recent = note;
        for (int note = 0; note < kNotes; ++note)
            if (key_[note] == kSustained && note != recent) {
                key_[note] = kUp;
                out[n++] = t_key_event{0, static_cast<int16_t>(note), 0};
            }
        if (recent >= 0) {
            key_[recent] = kUp;
            out[n++] = t_key_event{0, static_cast<int16_t>(recent), 0};
        }
    }
    pedal_was_down_ = pedal;
    for (int i = 0; i < count; ++i) {
        const t_key_event& e = in[i];
        const int note = e.note;
        const int64_t t = now + e.frame;
        if (e.velocity > 0) {
            int v = e.velocity;
            if (key_[note] == kSustained) {
                const float seconds = static_cast<float>(t - struck_[note]) / sample_rate;
                if (v < velocity_[note] && seconds < kRestrikeMemory) {
                    // A soft re-strike of a ringing note keeps some of its old loudness.
                    const float b = std::exp2(-seconds / 2);
                    v = std::clamp(static_cast<int>(std::lround(b * velocity_[note] + (1 - b) * v)), 1, 127);
                }
            }
            if (key_[note] != kDown) {
                out[n++] = t_key_event{e.frame, e.note, static_cast<int16_t>(v)};
                velocity_[note] = v;
            }
            key_[note] = kDown;
            struck_[note] = t;
        } else if (pedal) {
            if (key_[note] == kDown) key_[note] = kSustained;
        } else {
            key_[note] = kUp;
            out[n++] = e;
        }
    }
    return n;
}

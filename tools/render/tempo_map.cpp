#include "tools/render/tempo_map.h"

#include <algorithm>

namespace mellora::render {

TempoMap::TempoMap(const SmfTiming& timing, const std::vector<SmfTempo>& tempo) {
    if (timing.smpte) {
        // Ticks per second = frames per second × ticks per frame; "29" is 30000/1001 fps.
        if (timing.frames_per_second == 29) {
            denominator_ = Wide(30000) * unsigned(timing.ticks_per_frame);
            segments_.push_back({0, 0, 1001});
        } else {
            denominator_ = Wide(unsigned(timing.frames_per_second)) * unsigned(timing.ticks_per_frame);
            segments_.push_back({0, 0, 1});
        }
        return;
    }
    // One tick lasts tempo / ticks_per_quarter microseconds: count in µs × tpq.
    denominator_ = Wide(1000000) * unsigned(timing.ticks_per_quarter);
    segments_.push_back({0, 0, 500000});
    for (const SmfTempo& t : tempo) {
        Segment& last = segments_.back();
        if (t.tick == last.tick) {
            last.per_tick = t.us_per_quarter;  // a later change at the same tick wins
            continue;
        }
        const Wide start = last.start + Wide(t.tick - last.tick) * last.per_tick;
        segments_.push_back({t.tick, start, t.us_per_quarter});
    }
}

TempoMap::Wide TempoMap::numerator(uint64_t tick) const {
    auto after = std::upper_bound(segments_.begin(), segments_.end(), tick,
                                  [](uint64_t t, const Segment& s) { return t < s.tick; });
    const Segment& s = *(after - 1);
    return s.start + Wide(tick - s.tick) * s.per_tick;
}

double TempoMap::seconds_at(uint64_t tick) const {
    return static_cast<double>(numerator(tick)) / static_cast<double>(denominator_);
}

uint64_t TempoMap::frame_at(uint64_t tick, int rate) const {
    const Wide frame = (numerator(tick) * unsigned(rate) + denominator_ / 2) / denominator_;
    // Beyond 2^64 frames only a hostile file reaches: saturate rather than wrap around.
    return frame > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(frame);
}

} // namespace mellora::render

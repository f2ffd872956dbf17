#pragma once
// Song time: ticks to seconds and to sample frames over the file's tempo map.
//
// Positions are computed exactly in integers (microseconds × ticks per quarter, summed
// segment by segment) and rounded once to the nearest frame, so an event lands on the
// same frame whatever tempo changes come before it and however the render is blocked.
#include <cstdint>
#include <vector>

#include "tools/render/smf_reader.h"

namespace mellora::render {

class TempoMap {
public:
    // `tempo` sorted by tick; with SMPTE timing it is ignored (time is absolute).
    TempoMap(const SmfTiming& timing, const std::vector<SmfTempo>& tempo);

    double seconds_at(uint64_t tick) const;
    // The frame at `rate` frames per second, rounded to the nearest.
    uint64_t frame_at(uint64_t tick, int rate) const;

private:
    using Wide = unsigned __int128;
    // Time of a tick as the fraction numerator / denominator_ seconds.
    Wide numerator(uint64_t tick) const;

    struct Segment {
        uint64_t tick;       // where this tempo starts
        Wide start;          // time there, in units of 1 / denominator_ seconds
        uint32_t per_tick;   // time units per tick from here on
    };
    std::vector<Segment> segments_;
    Wide denominator_ = 1;
};

} // namespace mellora::render

#include "tools/render/renderer.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "tools/render/tempo_map.h"

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace mellora::render {

namespace {

// Flush-to-zero and denormals-are-zero for the render thread, restored afterwards:
// decaying resonators would otherwise crawl through the denormal range at a hundred
// times the cost of a normal number.
class DenormalGuard {
public:
#if defined(__SSE__)
    DenormalGuard() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040u); }  // FTZ (bit 15) | DAZ (bit 6)
    ~DenormalGuard() { _mm_setcsr(saved_); }

private:
    unsigned saved_;
#endif
};

} // namespace

std::vector<ScheduledEvent> schedule_song(const SmfSong& song, int rate, int channel) {
    const TempoMap map(song.timing, song.tempo);
    std::vector<ScheduledEvent> out;
    out.reserve(song.events.size());
    for (const SmfEvent& e : song.events) {
        if (channel >= 1 && (e.status & 0x0f) != channel - 1) continue;
        out.push_back({map.frame_at(e.tick, rate), uint8_t(e.status & 0xf0), e.data1, e.data2});
    }
    return out;
}

uint64_t song_end_frame(const SmfSong& song, int rate) {
    uint64_t end = song.end_tick;
    if (!song.events.empty()) end = std::max(end, song.events.back().tick);
    return TempoMap(song.timing, song.tempo).frame_at(end, rate);
}

RenderResult render_song(RenderInstrument& instrument, const std::vector<ScheduledEvent>& events,
                         uint64_t end_frame, const RenderSettings& settings, RenderSink& sink,
                         const RenderProgress& progress, const std::atomic<bool>* cancel) {
    DenormalGuard denormals;
    RenderResult result;
    const int block = std::max(1, settings.block);
    const std::unique_ptr<float[]> left(new float[block]), right(new float[block]);
    const float threshold = static_cast<float>(std::pow(10.0, settings.silence_dbfs / 20.0));
    const uint64_t silence_run = static_cast<uint64_t>(std::llround(settings.silence_seconds * settings.sample_rate));
    const uint64_t limit =
        end_frame + static_cast<uint64_t>(std::llround(std::max(0.0, settings.tail_seconds) * settings.sample_rate));

    uint64_t pos = 0;    // first frame of the current block
    uint64_t quiet = 0;  // consecutive silent frames so far
    std::size_t next = 0;
    while (pos < limit) {
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            result.cancelled = true;
            break;
        }
        int n = static_cast<int>(std::min<uint64_t>(block, limit - pos));
        int64_t last_queued = -1;  // offset of the last event the instrument took in this block
        for (; next < events.size() && events[next].frame < pos + n; ++next) {
            const ScheduledEvent& e = events[next];
            const uint64_t at = e.frame > pos ? e.frame - pos : 0;
            if (instrument.queue_midi(static_cast<uint32_t>(at), e.status, e.data1, e.data2)) {
                last_queued = static_cast<int64_t>(at);
                continue;
            }
            // The instrument is full: end the block before this event so that it opens
            // the next one. Events already taken at its own frame keep the block open for
            // that frame, and this one follows a frame late.
            if (last_queued < static_cast<int64_t>(at)) {
                if (at == 0) {
                    ++result.dropped_events;  // it takes nothing at all
                    continue;
                }
                n = static_cast<int>(at);
            } else {
                n = static_cast<int>(at) + 1;
                ++result.late_events;
            }
            break;
        }
        instrument.render(left.get(), right.get(), n);

        int keep = n;
        for (int i = 0; i < n; ++i) {
            float& l = left[i];
            float& r = right[i];
            if (!std::isfinite(l)) l = 0, ++result.non_finite;
            if (!std::isfinite(r)) r = 0, ++result.non_finite;
            result.over_full_scale += (std::fabs(l) > 1.0f) + (std::fabs(r) > 1.0f);
            quiet = (std::fabs(l) < threshold && std::fabs(r) < threshold) ? quiet + 1 : 0;
            if (pos + i + 1 >= end_frame && quiet >= silence_run) {
                keep = i + 1;
                result.ended_on_silence = true;
                break;
            }
        }
        if (!sink.write(left.get(), right.get(), keep)) {
            result.sink_failed = true;
            break;
        }
        pos += keep;
        if (progress) progress(pos, limit);
        if (result.ended_on_silence) break;
    }
    result.frames = pos;
    result.tail_frames = pos > end_frame ? pos - end_frame : 0;
    return result;
}

} // namespace mellora::render

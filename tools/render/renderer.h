#pragma once
// The render loop: plays a song's events through an instrument in host blocks and hands
// the audio to a sink, then lets the instrument ring out.
//
// Every event is queued at its exact frame inside the block that contains it, so the
// output does not depend on the block size. After the song's end the render goes on
// until the output has stayed below the silence threshold for a sustained run, or until
// the tail cap; it ends on the exact frame where that happens.
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "tools/render/render_instrument.h"
#include "tools/render/smf_reader.h"

namespace mellora::render {

struct ScheduledEvent {
    uint64_t frame = 0;  // from the start of the render
    uint8_t status = 0;
    uint8_t data1 = 0;
    uint8_t data2 = 0;
};

struct RenderSettings {
    int sample_rate = 44100;
    int block = 512;               // host block, frames
    int channel = 0;               // 1..16 plays that channel only; 0 plays every channel
    double tail_seconds = 10.0;    // most the render runs past the song's end
    double silence_dbfs = -90.0;   // both channels below this level count as silent
    double silence_seconds = 0.5;  // for this long before the tail ends
};

// The song's channel messages at frames of `rate`, filtered by `channel` (0 = all) and
// moved to channel 1, in time order.
std::vector<ScheduledEvent> schedule_song(const SmfSong& song, int rate, int channel);
// The frame where the song ends (its last event or end of track).
uint64_t song_end_frame(const SmfSong& song, int rate);

// Receives the rendered audio in order; false stops the render (a write failed).
class RenderSink {
public:
    virtual ~RenderSink() = default;
    virtual bool write(const float* left, const float* right, int frames) = 0;
};

struct RenderResult {
    uint64_t frames = 0;            // written to the sink
    uint64_t tail_frames = 0;       // of which after the song's end
    bool ended_on_silence = false;  // false: the tail cap ended it
    uint64_t late_events = 0;       // a frame late: more at one frame than the instrument takes
    uint64_t dropped_events = 0;    // refused by the instrument even at a block's start
    uint64_t non_finite = 0;        // NaN or infinite samples, written as 0
    uint64_t over_full_scale = 0;   // samples beyond ±1 (clipped in integer files)
    bool sink_failed = false;
    bool cancelled = false;
};

// Called once per block with the frames done and the most the render can take.
using RenderProgress = std::function<void(uint64_t done, uint64_t most)>;

// The instrument must be prepared for settings.sample_rate and blocks of settings.block.
// `events` sorted by frame. `cancel`, when given, is polled between blocks.
RenderResult render_song(RenderInstrument& instrument, const std::vector<ScheduledEvent>& events,
                         uint64_t end_frame, const RenderSettings& settings, RenderSink& sink,
                         const RenderProgress& progress = {}, const std::atomic<bool>* cancel = nullptr);

} // namespace mellora::render

#pragma once
// What the command-line renderer needs of an instrument.
//
// The renderer plays the host's part: it prepares the instrument once, optionally loads
// a preset, then for every host block queues the block's MIDI events with their frame
// offsets and asks for the block's audio. Everything runs on the renderer's one thread;
// queue_midi and render are the instrument's audio path and must not allocate, lock or
// do I/O, exactly as inside a plug-in host.
#include <cstdint>
#include <string>
#include <string_view>

namespace mellora::render {

class RenderInstrument {
public:
    virtual ~RenderInstrument() = default;

    // Builds the instrument for `sample_rate`, host blocks of at most `max_block` frames
    // and `polyphony` voices (1..32). `seed` feeds every pseudo-random source, so two
    // renders with the same seed are bit-identical. False with a one-line reason.
    virtual bool prepare(int sample_rate, int max_block, int polyphony, uint32_t seed, std::string& error) = 0;

    // Reads an instrument state text (a preset), after prepare and before the first
    // render, under the same load rules as a preset chosen in the plug-in. False with a
    // one-line reason when the text is not a state text for this instrument.
    virtual bool load_preset_text(std::string_view text, std::string& error) = 0;

    // One event for the next render call, at `frame_offset` frames into it. Events come
    // in time order, already filtered by channel and moved to MIDI channel 1. False when
    // the instrument cannot take another event for this block: the renderer then ends
    // the block at that event's frame (one frame later when events of that frame were
    // already taken) and queues it again at the start of the next.
    virtual bool queue_midi(uint32_t frame_offset, uint8_t status, uint8_t data1, uint8_t data2) = 0;

    // Renders `frames` (1..max_block) frames of stereo audio and forgets the queued events.
    virtual void render(float* left, float* right, int frames) = 0;
};

} // namespace mellora::render

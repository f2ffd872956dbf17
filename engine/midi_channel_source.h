#pragma once
// What a voice module needs of the MIDI input state it is bound to (control kind 0):
// whether the input listens to every channel, which channel it follows, and the
// sustain pedal of a channel. Read on the audio thread once per block; never blocks.
class MidiChannelSource {
public:
    virtual ~MidiChannelSource() = default;
    virtual bool is_omni() const = 0;
    // The followed channel, 0..15.
    virtual int receive_channel_index() const = 0;
    // Controller 64 at or above 64 on channel 0..16 (16: any channel); false for a
    // channel nobody holds.
    virtual bool sustain(int channel_index) const = 0;
};

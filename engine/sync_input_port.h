#pragma once
// The tempo input: the host's transport as the engine sees it, one block ahead.
//
// Threads: update() runs at the start of every rendered block on the audio thread, and
// the transport module reads the current block's values in the same render. The host
// back end derives from this class and fills the next block from the host's time info.
#include <cmath>

class CSyncInputPort {
public:
    struct Block {
        bool playing = false;
        float tempo = 120.0f;   // beats (quarter notes) per minute
        double position = 0.0;  // quarter notes
    };

    virtual ~CSyncInputPort() = default;

    // Whether a host clock stands behind this port; the base has none.
    virtual bool usable() const { return false; }

    // Start of a block of `frames` at `sample_rate`: the prepared block becomes current
    // and the next one's position moves on by the block's length in beats.
    virtual void update(int frames, double sample_rate);

    bool playing() const { return current_.playing; }
    float tempo() const { return current_.tempo; }
    double position() const { return current_.position; }
    const Block& current() const { return current_; }
    const Block& next() const { return next_; }

    // A tempo that could drive a clock: positive and finite.
    static bool tempo_is_valid(double bpm) { return std::isfinite(bpm) && bpm > 0; }

protected:
    Block current_;
    Block next_;
};

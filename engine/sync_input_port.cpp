#include "engine/sync_input_port.h"

void CSyncInputPort::update(int frames, double sample_rate) {
    current_ = next_;
    // A host that reports no tempo, or a rate not yet set, must not turn the position
    // into infinity or NaN: the position then simply stands still for the block.
    if (frames > 0 && sample_rate > 0 && std::isfinite(sample_rate) && tempo_is_valid(current_.tempo))
        next_.position = current_.position + frames / (sample_rate * 60.0 / current_.tempo);
    else
        next_.position = current_.position;
}

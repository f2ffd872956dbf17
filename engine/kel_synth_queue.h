#pragma once
// The message channel into a synth: any thread pushes, the audio thread pops.
// Implementations never block and never allocate after construction.
#include "engine/message.h"

class KelSynthQueue {
public:
    virtual ~KelSynthQueue() = default;
    virtual bool pop(t_message& out) = 0;
    virtual bool push(const t_message& in) = 0;
};

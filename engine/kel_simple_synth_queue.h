#pragma once
// The synth's message channel: one fixed pool of 10000 messages.
//
// Threads: push() from the user interface and host parameter calls, pop() on the audio
// thread only. Neither allocates nor waits; a full queue drops the message.
#include "engine/kel_interrupt_safe_queue.h"
#include "engine/kel_synth_queue.h"

class KelSimpleSynthQueue final : public KelSynthQueue {
public:
    static constexpr uint32_t kCapacity = 10000;

    KelSimpleSynthQueue() : queue_(kCapacity) {}
    bool pop(t_message& out) override { return queue_.pop(out); }
    bool push(const t_message& in) override { return queue_.push(in); }

private:
    KelInterruptSafeQueue<t_message> queue_;
};

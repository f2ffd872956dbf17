// Arbitrary host events (any status, any offset, any block length) through the MIDI
// dispatch: nothing may crash, and every bound in the channel states must hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "engine/midi_input_state.h"

namespace {
void ignore(void*, const MidiPortNotify&) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto in = std::make_unique<MidiInputState>();
    static KelMidiEventQueue queue(kMidiEventQueueCapacity);
    in->set_notify(size % 2 ? ignore : nullptr, nullptr);
    in->setOmni(size % 3 == 0);
    size_t i = 0;
    while (i + 6 <= size) {
        const uint32_t frames = static_cast<uint32_t>(data[i]) * 8;
        const int count = data[i + 1];
        i += 2;
        for (int k = 0; k < count && i + 5 <= size; ++k, i += 5) {
            const uint32_t offset = static_cast<uint32_t>(data[i]) << 4 | data[i + 1];
            queue.push(t_midi_event{offset, data[i + 2], data[i + 3], data[i + 4]});
            if (data[i + 2] == 0xf4) in->hold(data[i + 3] % 20);
            if (data[i + 2] == 0xf5) in->release(data[i + 3] % 20);
            if (data[i + 2] == 0xf9) in->setReceiveChannel(data[i + 3] - 100);
        }
        in->dispatch(queue, frames);
        int ch, ctl, v;
        while (in->next_changed_controller(ch, ctl, v))
            if (ctl < 0 || ctl >= MidiChannelState::kControllers || v < 0 || v > 127) std::abort();
        for (int c = 0; c < MidiInputState::kChannels; ++c)
            if (const MidiChannelState* cs = in->channel_state(c))
                if (cs->note_count > MidiChannelState::kMaxNotes || cs->pitch_bend < 0 || cs->pitch_bend > 16383)
                    std::abort();
        if (frames == 8) in->allNotesOff();
        in->endOfBlock();
    }
    return 0;
}

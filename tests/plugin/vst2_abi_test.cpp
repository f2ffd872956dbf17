// The layout itself is checked at compile time inside the header; these tests check the
// declarations in use, the way a host touches them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "plugin/vst2_abi.h"

namespace {

intptr_t VST2_CALL dispatch(vst2::Effect*, int32_t opcode, int32_t, intptr_t value, void*, float) {
    return opcode == vst2::kEffGetVstVersion ? vst2::kVersion : value;
}

} // namespace

TEST(Vst2Abi, RecordReadsAsAHostExpects) {
    vst2::Effect effect{};
    effect.magic = vst2::kMagic;
    effect.unique_id = vst2::four_cc('M', 'O', 'z', '3');
    effect.dispatcher = dispatch;
    unsigned char bytes[sizeof effect];
    std::memcpy(bytes, &effect, sizeof effect);
    EXPECT_EQ(std::memcmp(bytes, "PtsV", 4), 0);  // the magic as little-endian memory shows it
    EXPECT_EQ(effect.unique_id, 0x4D4F7A33);
    EXPECT_EQ(effect.dispatcher(&effect, vst2::kEffGetVstVersion, 0, 0, nullptr, 0.0f), 2400);
    // A pointer passed through `value` survives the round trip untruncated.
    int anchor = 0;
    const auto as_value = reinterpret_cast<intptr_t>(&anchor);
    EXPECT_EQ(effect.dispatcher(&effect, vst2::kEffSetSpeakerArrangement, 0, as_value, nullptr, 0.0f), as_value);
    EXPECT_EQ(vst2::kEffectFlagHasEditor | vst2::kEffectFlagCanReplacing | vst2::kEffectFlagProgramChunks |
                  vst2::kEffectFlagIsSynth,
              0x0131);
    EXPECT_EQ(vst2::kTimeTempoValid | vst2::kTimePpqPosValid | vst2::kTimeTransportPlaying, 0x602);
}

TEST(Vst2Abi, EventListHoldsMoreEventsThanItsDeclaredTwo) {
    // Hosts allocate the pointer array for as many events as they send.
    constexpr int kCount = 5;
    void* raw = std::calloc(1, vst2::events_bytes(kCount));
    auto* list = static_cast<vst2::Events*>(raw);
    vst2::MidiEvent notes[kCount]{};
    for (int i = 0; i < kCount; ++i) {
        notes[i].type = vst2::kEventMidi;
        notes[i].byte_size = 24;  // some hosts under-report; never step by it
        notes[i].delta_frames = kCount - i;
        notes[i].midi_data[0] = 0x90;
        notes[i].midi_data[1] = static_cast<unsigned char>(60 + i);
        vst2::event_slots(list)[i] = reinterpret_cast<vst2::Event*>(&notes[i]);
    }
    list->num_events = kCount;
    int key_sum = 0;
    for (int i = 0; i < list->num_events; ++i) {
        const vst2::Event* e = vst2::event_slots(static_cast<const vst2::Events*>(list))[i];
        ASSERT_EQ(e->type, vst2::kEventMidi);
        key_sum += reinterpret_cast<const vst2::MidiEvent*>(e)->midi_data[1];
    }
    EXPECT_EQ(key_sum, 60 + 61 + 62 + 63 + 64);
    EXPECT_EQ(vst2::events_bytes(0), sizeof(vst2::Events));
    std::free(raw);
}

// The VST ports: host events into the MIDI queue, the tempo port from the host's time
// record, the audio output's buffer hand-over and sample-rate notification, and the
// factory and port manager around them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "audio_port_manager/vst_ports.h"
#include "prepatched_common/prepatched_registry.h"
#include "tests/support/alloc_counter.h"

namespace {

// A host event list as a host builds it: the pointer array past the declared two slots.
class HostEvents {
public:
    void midi(int32_t delta, unsigned char status, unsigned char d1, unsigned char d2) {
        vst2::MidiEvent m{};
        m.type = vst2::kEventMidi;
        m.byte_size = 24;  // some hosts report less than the record: never relied on
        m.delta_frames = delta;
        m.midi_data[0] = status;
        m.midi_data[1] = d1;
        m.midi_data[2] = d2;
        midi_.push_back(m);
        order_.push_back({0, midi_.size() - 1});
    }
    void sysex(int32_t delta) {
        vst2::SysexEvent s{};
        s.type = vst2::kEventSysex;
        s.byte_size = sizeof s;
        s.delta_frames = delta;
        s.dump_bytes = sizeof payload_;
        s.sysex_dump = payload_;
        sysex_.push_back(s);
        order_.push_back({1, sysex_.size() - 1});
    }
    void other(int32_t type) {
        vst2::Event e{};
        e.type = type;
        other_.push_back(e);
        order_.push_back({2, other_.size() - 1});
    }
    void null_slot() { order_.push_back({3, 0}); }

    // Built after all events are added, so the records no longer move.
    const vst2::Events* list() {
        storage_.assign(vst2::events_bytes(static_cast<int>(order_.size())) / sizeof(intptr_t) + 1, 0);
        auto* l = reinterpret_cast<vst2::Events*>(storage_.data());
        l->num_events = static_cast<int32_t>(order_.size());
        vst2::Event** slots = vst2::event_slots(l);
        for (size_t i = 0; i < order_.size(); ++i) {
            const auto [kind, at] = order_[i];
            slots[i] = kind == 0   ? reinterpret_cast<vst2::Event*>(&midi_[at])
                       : kind == 1 ? reinterpret_cast<vst2::Event*>(&sysex_[at])
                       : kind == 2 ? &other_[at]
                                   : nullptr;
        }
        return l;
    }

private:
    unsigned char payload_[6] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    std::vector<vst2::MidiEvent> midi_;
    std::vector<vst2::SysexEvent> sysex_;
    std::vector<vst2::Event> other_;
    std::vector<std::pair<int, size_t>> order_;
    std::vector<intptr_t> storage_;
};

std::vector<t_midi_event> drain(KelMidiEventQueue& q) {
    std::vector<t_midi_event> out;
    t_midi_event e;
    while (q.pop(e)) out.push_back(e);
    return out;
}

struct PortsFixture : ::testing::Test {
    CVstPortFactory factory;
    CMidiInputPortManager manager;
    CMidiInputPort* port = manager.openPort(factory, 0);
};

// Host services answering with a host's time record (or none), as the effect's layer
// over audioMasterGetTime does.
class TimeHost : public KelHostServices {
public:
    const vst2::TimeInfo* info = nullptr;
    int32_t mask = 0;
    int32_t version() override { return vst2::kVersion; }
    void want_midi() override {}
    void automate(int32_t, float) override {}
    void begin_edit(int32_t) override {}
    void end_edit(int32_t) override {}
    bool get_time(int32_t request_mask, KelHostTime& out) override {
        mask = request_mask;
        return vst_time_to_host_time(info, out);
    }
    void update_display() override {}
    bool size_window(int32_t, int32_t) override { return true; }
};

} // namespace

TEST_F(PortsFixture, OnlyMidiEventsReachTheQueueWithTheirFrameOffsets) {
    ASSERT_NE(port, nullptr);
    HostEvents ev;
    ev.midi(17, 0x90, 60, 100);
    ev.sysex(20);
    ev.null_slot();
    ev.other(4);  // a parameter event of old hosts
    ev.midi(0, 0x45, 1, 2);  // a data byte where the status belongs
    ev.midi(-3, 0x80, 60, 0);
    ev.midi(31, 0x91, 64, 90);
    EXPECT_EQ(manager.processEvents(ev.list()), 3);
    const auto q = drain(manager.queue());
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[0].offset, 17u);
    EXPECT_EQ(q[0].status, 0x90);
    EXPECT_EQ(q[0].data1, 60);
    EXPECT_EQ(q[0].data2, 100);
    EXPECT_EQ(q[1].offset, 0u);  // a negative offset plays at the block's start
    EXPECT_EQ(q[1].status, 0x80);
    EXPECT_EQ(q[2].offset, 31u);
    EXPECT_EQ(q[2].status, 0x91);

    // Bad lists are ignored.
    EXPECT_EQ(manager.processEvents(nullptr), 0);
    vst2::Events empty{};
    empty.num_events = -5;
    EXPECT_EQ(manager.processEvents(&empty), 0);
    // A closed port queues nothing.
    port->close();
    EXPECT_EQ(manager.processEvents(ev.list()), 0);
    EXPECT_TRUE(drain(manager.queue()).empty());
}

TEST_F(PortsFixture, MoreEventsThanTheQueueHoldsAreDroppedAndTheRestPlays) {
    HostEvents ev;
    for (int i = 0; i < 1500; ++i) ev.midi(i % 64, 0x90, i % 128, 1 + i % 127);
    const vst2::Events* list = ev.list();
    int queued = -1;
    {
        mellora::test::AllocationCounter allocations;
        queued = manager.processEvents(list);
        EXPECT_EQ(allocations.count(), 0u);
    }
    EXPECT_EQ(queued, static_cast<int>(kMidiEventQueueCapacity));
    // The render still dispatches what was kept, into the receive channel's state.
    const int handled = manager.dispatch(64);
    EXPECT_EQ(handled, 1024);
    MidiChannelState* ch1 = manager.inputState().channel_state(0);
    ASSERT_NE(ch1, nullptr);
    EXPECT_EQ(ch1->note_count, 1024);
    EXPECT_EQ(ch1->notes[0].offset, 0);
    manager.inputState().endOfBlock();
    // Room again after the dispatch.
    HostEvents one;
    one.midi(5, 0x90, 60, 64);
    EXPECT_EQ(manager.processEvents(one.list()), 1);
}

TEST_F(PortsFixture, TheManagerTakesTheReceiveChannelFromTheSettingsAndSwitchesOmniOn) {
    manager.applySettings();  // no settings object: channel 1
    EXPECT_EQ(manager.inputState().receiveChannel(), 1);
    EXPECT_TRUE(manager.inputState().isOmni());

    KelMemorySettingsStore store;
    store.create_key(kKelSettingsUser);
    store.write(kKelSettingsUser, "Midi_Channel", "12");
    store.write(kKelSettingsUser, "Omni_Mode", "false");  // not for the plug-in
    PrepatchedVstRegistry settings(std::make_unique<KelMemorySettingsStore>(store), {});
    manager.applySettings();
    EXPECT_EQ(manager.inputState().receiveChannel(), 12);
    EXPECT_TRUE(manager.inputState().isOmni());
    EXPECT_NE(manager.inputState().channel_state(11), nullptr);

    EXPECT_EQ(manager.portCount(), 1);
    manager.closeAll();
    EXPECT_EQ(manager.portCount(), 0);
}

TEST(VstSyncInputPort, ReadsTempoTransportAndPositionFromTheHostsTimeRecord) {
    constexpr double kRate = 48000;
    constexpr int kFrames = 480;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* what;
        bool answer;
        int32_t flags;
        double tempo, ppq;
        float tempo_after;
        bool playing_after;
        double position_after;  // NaN: where the previous block left it
    };
    constexpr int32_t kAll = vst2::kTimeTempoValid | vst2::kTimePpqPosValid | vst2::kTimeTransportPlaying;
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"no record", false, kAll, 90, 4, 120, false, nan},
        {"playing", true, kAll, 90, 4, 90, true, 4},
        {"recording counts as playing", true, (kAll & ~vst2::kTimeTransportPlaying) | vst2::kTimeTransportRecording,
         100, 2, 100, true, 2},
        {"stopped: position carried", true, kAll & ~vst2::kTimeTransportPlaying, 90, 4, 90, false, nan},
        {"tempo not valid", true, kAll & ~vst2::kTimeTempoValid, 200, 4, 120, true, 4},
        {"ppq not valid", true, kAll & ~vst2::kTimePpqPosValid, 90, 4, 90, true, nan},
        {"zero tempo", true, kAll, 0, 4, 120, true, 4},
        {"negative tempo", true, kAll, -60, 4, 120, true, 4},
        {"NaN tempo", true, kAll, std::nan(""), 4, 120, true, 4},
        {"infinite tempo", true, kAll, inf, 4, 120, true, 4},
        {"tempo beyond float", true, kAll, 1e300, 4, 120, true, 4},
        {"NaN position", true, kAll, 90, std::nan(""), 90, true, nan},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TimeHost host;
        vst2::TimeInfo info{};
        info.sample_rate = kRate;
        info.flags = c.flags;
        info.tempo = c.tempo;
        info.ppq_pos = c.ppq;
        host.info = c.answer ? &info : nullptr;
        CVstPortFactory factory;
        auto* sync = static_cast<CVstSyncInputPort*>(factory.createSyncInputPort());
        ASSERT_EQ(sync, factory.syncInputPort());
        EXPECT_TRUE(sync->usable());
        // One block without a host first, so that a position is carried.
        sync->update(kFrames, kRate);
        const double carried = sync->next().position;
        ASSERT_NEAR(carried, kFrames / (kRate * 60 / 120), 1e-12);
        sync->connect(&host);
        {
            mellora::test::AllocationCounter allocations;
            sync->update(kFrames, kRate);
            EXPECT_EQ(allocations.count(), 0u);
        }
        if (c.answer) {
            EXPECT_EQ(host.mask, 0x602);
        }
        EXPECT_EQ(sync->tempo(), c.tempo_after);
        EXPECT_EQ(sync->playing(), c.playing_after);
        const double start = std::isnan(c.position_after) ? carried : c.position_after;
        EXPECT_NEAR(sync->position(), start, 1e-12);
        EXPECT_NEAR(sync->next().position, start + kFrames / (kRate * 60 / c.tempo_after), 1e-12);
        EXPECT_EQ(sync->next().tempo, c.tempo_after);
        EXPECT_TRUE(std::isfinite(sync->next().position));
    }
}

TEST(VstSyncInputPort, KeepsItsValuesWhenTheHostStopsAnswering) {
    TimeHost host;
    vst2::TimeInfo info{};
    info.flags = vst2::kTimeTempoValid | vst2::kTimePpqPosValid | vst2::kTimeTransportPlaying;
    info.tempo = 140;
    info.ppq_pos = 8;
    host.info = &info;
    CVstSyncInputPort sync;
    sync.connect(&host);
    sync.update(256, 44100);
    host.info = nullptr;
    sync.update(256, 44100);
    EXPECT_EQ(sync.tempo(), 140.0f);
    EXPECT_TRUE(sync.playing());
    EXPECT_NEAR(sync.position(), 8 + 256 / (44100 * 60.0 / 140), 1e-12);
    // A rate of 0 must not make the position infinite.
    host.info = &info;
    sync.update(256, 0);
    EXPECT_EQ(sync.next().position, sync.position());
    sync.disconnect();
    EXPECT_FALSE(sync.connected());
}

TEST(VstAudioOutputPort, HandsTheHostBuffersToTheRenderOnlyWhenBothOutputsExist) {
    struct Seen {
        int calls = 0, frames = 0;
        float** outputs = nullptr;
    } seen;
    CVstPortFactory factory;
    auto* port = static_cast<CVstAudioOutputPort*>(factory.createAudioOutputPort());
    ASSERT_EQ(port, factory.audioOutputPort());
    port->setRenderCallback(
        [](void* user, int frames, float** outputs) {
            auto* s = static_cast<Seen*>(user);
            ++s->calls;
            s->frames = frames;
            s->outputs = outputs;
            for (int i = 0; i < frames; ++i) outputs[0][i] = outputs[1][i] = 0.5f;
        },
        &seen);
    float left[4] = {9, 9, 9, 9}, right[4] = {9, 9, 9, 9};
    float in_l[2] = {0.1f, 0.2f};
    float* outs[2] = {left, right};
    float* half[2] = {left, nullptr};
    float* ins[2] = {in_l, nullptr};

    port->process(nullptr, nullptr, 4, true);
    port->process(nullptr, half, 4, true);
    port->process(nullptr, outs, 0, true);
    EXPECT_EQ(seen.calls, 0);
    EXPECT_EQ(left[0], 9.0f);

    port->process(ins, outs, 2, false);
    EXPECT_FALSE(port->replacing());
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.frames, 2);
    EXPECT_EQ(seen.outputs, outs);
    EXPECT_EQ(left[1], 0.5f);
    EXPECT_EQ(left[2], 9.0f);
    // A missing second input channel: the input source reads silence.
    float l = 1, r = 1;
    port->input().readOne(l, r);
    EXPECT_EQ(l + r, 0.0f);

    float in_r[2] = {-0.1f, -0.2f};
    float* both[2] = {in_l, in_r};
    port->process(both, outs, 2, true);
    EXPECT_TRUE(port->replacing());
    float bl[3], br[3];
    port->input().read(3, bl, br);
    EXPECT_EQ(bl[0], 0.1f);
    EXPECT_EQ(br[1], -0.2f);
    EXPECT_EQ(bl[2], 0.0f);  // past the block's end
    EXPECT_EQ(port->input().position(), 2);
    // The next block without inputs forgets the old pointers.
    port->process(nullptr, outs, 2, true);
    port->input().readOne(l, r);
    EXPECT_EQ(l, 0.0f);
}

TEST(VstAudioOutputPort, AnnouncesANewSampleRateOnce) {
    struct Seen {
        int calls = 0;
        AudioPortNotify last;
    } seen;
    CVstAudioOutputPort port;
    EXPECT_EQ(port.properties().blockSize(), 1024);
    EXPECT_EQ(port.properties().maxBlockSize(), 8192);
    EXPECT_EQ(port.sampleRate(), 44100);
    port.setNotifyCallback(
        [](void* user, AudioPortNotify& n) {
            auto* s = static_cast<Seen*>(user);
            ++s->calls;
            s->last = n;
            n.words[2] = 0;
        },
        &seen);
    EXPECT_FALSE(port.setSampleRate(44100));
    EXPECT_FALSE(port.setSampleRate(0));
    EXPECT_FALSE(port.setSampleRate(-48000));
    EXPECT_EQ(seen.calls, 0);
    EXPECT_TRUE(port.setSampleRate(96000));
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.last.type, kAudioPortNotifySampleRate);
    EXPECT_EQ(seen.last.words[0], 96000);
    EXPECT_EQ(port.sampleRate(), 96000);
}

TEST(VstPortFactory, DescribesNoDevicesToChooseFrom) {
    CVstPortFactory factory;
    const CPortFactory& base = factory;
    EXPECT_EQ(base.audioPortCount(), 0);
    EXPECT_EQ(base.midiInputPortCount(), 0);
    EXPECT_EQ(base.audioPortName(0), "");
    EXPECT_EQ(base.midiInputPortName(0), "");
    EXPECT_EQ(base.savedAudioSelection(), "");
    EXPECT_EQ(factory.createAudioOutputPort(), factory.createAudioOutputPort());
}

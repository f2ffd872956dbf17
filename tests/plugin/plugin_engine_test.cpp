// The floating-point guard, the reconfiguration gate and the engine-to-host echo rule,
// which a host cannot reach on purpose, tested on the plug-in's own classes.
#include <gtest/gtest.h>

#include <xmmintrin.h>

#include <cmath>
#include <vector>

#include "instrument/mellora_synth.h"
#include "mpv/mpv_vst.h"
#include "plugin/fp_guard.h"
#include "tests/support/alloc_counter.h"

TEST(FloatingPointGuard, FlushesDenormalsInsideAndRestoresTheHostState) {
    const unsigned before = _mm_getcsr();
    const unsigned host = 0x1F80 | 0x6000 | 0x1;  // masked, toward zero, a pending flag
    _mm_setcsr(host);
    volatile float tiny = 1e-39f;  // a denormal
    volatile float one = 1.0f;
    unsigned inside = 0;
    float product = -1;
    {
        FloatingPointGuard guard;
        inside = _mm_getcsr();
        product = tiny * one;
        volatile float huge = 1e38f;
        product += 0 * (huge * huge);  // overflow stays masked: no trap
        product = tiny * one;
    }
    const unsigned after = _mm_getcsr();
    const float outside = tiny * one;
    _mm_setcsr(before);
    EXPECT_EQ(inside & 0x8040u, 0x8040u);    // flush to zero, denormals are zero
    EXPECT_EQ(inside & 0x1F80u, 0x1F80u);    // every exception masked
    EXPECT_EQ(inside & 0x6000u, 0u);         // rounding to nearest
    EXPECT_EQ(product, 0.0f);
    EXPECT_EQ(after, host);
    EXPECT_NE(outside, 0.0f);
}

namespace {

struct RecordingHost : MpvVstHost {
    std::vector<std::pair<int, float>> automated;
    int displays = 0;
    void automate_parameter(int index, float value) override { automated.emplace_back(index, value); }
    void begin_edit(int) override {}
    void end_edit(int) override {}
    bool has_editor() const override { return false; }
    void update_display() override { ++displays; }
};

}  // namespace

TEST(ReconfigurationGate, SilenceRampsFromTheLastSampleThenFadesIn) {
    RecordingHost host;
    MpvVst app(&host);
    ASSERT_TRUE(app.initialise(44100));
    std::vector<float> l(256), r(256);
    float* out[2] = {l.data(), r.data()};
    vst2::MidiEvent on{};
    on.type = vst2::kEventMidi;
    on.midi_data[0] = 0x90, on.midi_data[1] = 60, on.midi_data[2] = 127;
    vst2::Events list{};
    list.num_events = 1;
    vst2::event_slots(&list)[0] = reinterpret_cast<vst2::Event*>(&on);
    app.process_events(&list);
    {
        // Events, render, fade and load measurement: nothing allocated on the audio path.
        mellora::test::AllocationCounter allocations;
        for (int i = 0; i < 4; ++i) app.process(nullptr, out, 256, true);
        EXPECT_EQ(allocations.count(), 0u);
    }
    const float last_left = l.back();
    ASSERT_NE(last_left, 0.0f);

    app.enter_reconfiguration();
    app.process(nullptr, out, 256, true);
    EXPECT_FLOAT_EQ(l[0], last_left);
    EXPECT_FLOAT_EQ(l[128], last_left - 128 * last_left / 255);
    EXPECT_EQ(l[255], 0.0f);
    app.process(nullptr, out, 256, true);  // the ramp is over: plain silence
    for (float v : l) ASSERT_EQ(v, 0.0f);
    app.leave_reconfiguration(true);
    EXPECT_TRUE(app.fade_active());

    // 44100 / 16 = 2756 samples of fade: the gain rises by 1/2756 per sample.
    int rendered = 0;
    while (app.fade_active() && rendered < 4000) {
        app.process(nullptr, out, 256, true);
        rendered += 256;
    }
    EXPECT_EQ(rendered, 2816);  // the first block boundary past 2756

    // One frame under the gate keeps the last sample itself.
    app.process(nullptr, out, 1, true);
    const float one_last = l[0];
    app.enter_reconfiguration();
    app.enter_reconfiguration();  // nested: one gate
    app.process(nullptr, out, 1, true);
    EXPECT_EQ(l[0], one_last);
    app.leave_reconfiguration(false);
    app.leave_reconfiguration(false);
    app.leave_reconfiguration(false);  // one too many: ignored
    app.process(nullptr, out, 64, true);
    EXPECT_FALSE(app.fade_active());
    EXPECT_GE(app.cpu_load(), 0.0f);
    EXPECT_LE(app.cpu_load(), 100.0f);
}

TEST(HostParameterSet, EngineChangesReachTheHostAndEchoesAreIgnored) {
    struct EchoingHost : RecordingHost {
        MpvParameterSetVst* set = nullptr;
        void automate_parameter(int index, float value) override {
            RecordingHost::automate_parameter(index, value);
            set->set_parameter(index, 0.0f);  // a host calling back with setParameter
        }
    } host;
    MpvVst app(&host);
    ASSERT_TRUE(app.initialise(44100));
    MpvParameterSetVst& set = *app.parameters();
    host.set = &set;
    ASSERT_EQ(set.host_count(), 59);
    set.engine_changed({619, 1}, 127.0f);  // Volume moved by a MIDI link
    ASSERT_EQ(host.automated.size(), 1u);
    EXPECT_EQ(host.automated[0].first, 0);
    EXPECT_FLOAT_EQ(host.automated[0].second, 1.0f);
    set.engine_changed({601, 13}, 3.0f);  // Keyboard transpose: no host parameter
    EXPECT_EQ(host.automated.size(), 1u);
    // The echoed setParameter(0, 0) was dropped: the volume is not pulled to 0.
    std::vector<float> l(64), r(64);
    float* out[2] = {l.data(), r.data()};
    set.set_parameter(0, 0.75f);
    app.process(nullptr, out, 64, true);
    set.engine_changed({619, 1}, 127.0f);
    app.process(nullptr, out, 64, true);
    EXPECT_NEAR(set.get_parameter(0), 95.0f / 127, 1e-5f);
}

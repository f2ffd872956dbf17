// The render loop: events at their exact frames in any host block size, the channel
// filter, the ring-out after the song and its cap.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/tools/test_instrument.h"
#include "tools/render/demo_instrument.h"
#include "tools/render/renderer.h"

using namespace mellora::render;
using namespace mellora::test;

namespace {

constexpr int kRate = 44100;

RenderSettings settings(int block, double tail = 2.0) {
    RenderSettings s;
    s.sample_rate = kRate;
    s.block = block;
    s.tail_seconds = tail;
    return s;
}

struct Rig {
    TestInstrument instrument;
    MemorySink sink;
    RenderResult result;
};

void render(Rig& run, const std::vector<ScheduledEvent>& events, uint64_t end, const RenderSettings& s) {
    std::string error;
    ASSERT_TRUE(run.instrument.prepare(s.sample_rate, s.block, 32, 1, error));
    run.result = render_song(run.instrument, events, end, s, run.sink);
}

const std::vector<ScheduledEvent> kEvents = {
    {0, 0x90, 60, 100}, {1, 0x90, 64, 90},   {511, 0x80, 60, 0}, {512, 0x90, 67, 80},
    {513, 0xb0, 64, 127}, {1000, 0x80, 64, 0}, {1000, 0x90, 72, 70}, {44099, 0x80, 72, 0},
};

} // namespace

TEST(Renderer, EventsLandOnTheirFramesInEveryBlockSize) {
    std::vector<TestInstrument::Received> want;
    for (const ScheduledEvent& e : kEvents) want.push_back({e.frame, e.status, e.data1, e.data2});
    std::vector<float> first;
    for (int block : {1, 64, 500, 512, 4096}) {
        SCOPED_TRACE(block);
        Rig run;
        render(run, kEvents, 44100, settings(block));
        EXPECT_EQ(run.instrument.received, want);
        for (int n : run.instrument.block_sizes) EXPECT_LE(n, block);
        EXPECT_TRUE(run.instrument.flush_to_zero_seen);
        // The same samples whatever the block size.
        if (first.empty()) first = run.sink.left;
        else EXPECT_EQ(run.sink.left, first);
    }
}

TEST(Renderer, DemoGraphOutputDoesNotDependOnTheBlockSize) {
    std::vector<float> out[2];
    int k = 0;
    for (int block : {64, 512}) {
        DemoGraphInstrument demo;
        std::string error;
        ASSERT_TRUE(demo.prepare(kRate, block, 32, 7, error)) << error;
        MemorySink sink;
        const RenderResult r = render_song(demo, kEvents, 30000, settings(block, 0.1), sink);
        EXPECT_EQ(r.frames, 30000u + 4410u);
        out[k++] = sink.left;
    }
    EXPECT_EQ(out[0], out[1]);
    EXPECT_NEAR(out[0].back(), 0.0625f, 1e-6f);  // the demo graph's settled left level
}

TEST(Renderer, ChannelFilterKeepsOneChannelAndMovesItToChannelOne) {
    SmfSong song;
    song.events = {{0, 0x90, 60, 1}, {0, 0x91, 61, 1}, {10, 0x8f, 62, 0}, {20, 0xb1, 7, 100}};
    auto statuses = [](const std::vector<ScheduledEvent>& v) {
        std::vector<int> s;
        for (const ScheduledEvent& e : v) s.push_back(e.status << 8 | e.data1);
        return s;
    };
    EXPECT_EQ(statuses(schedule_song(song, kRate, 0)),
              (std::vector<int>{0x9000 | 60, 0x9000 | 61, 0x8000 | 62, 0xb000 | 7}));
    EXPECT_EQ(statuses(schedule_song(song, kRate, 2)), (std::vector<int>{0x9000 | 61, 0xb000 | 7}));
    EXPECT_EQ(statuses(schedule_song(song, kRate, 16)), (std::vector<int>{0x8000 | 62}));
    EXPECT_TRUE(schedule_song(song, kRate, 5).empty());
}

TEST(Renderer, TailEndsAfterHalfASecondBelowMinus90Dbfs) {
    Rig run;
    const uint64_t end = 4410;  // the song ends 0.1 s in, the note rings on
    render(run, {{0, 0x90, 69, 127}}, end, settings(512));
    ASSERT_TRUE(run.result.ended_on_silence);
    // The output stops exactly half a second after its last sample at or above -90 dBFS.
    const float threshold = std::pow(10.0f, -90.0f / 20.0f);
    std::size_t last_loud = 0;
    for (std::size_t i = 0; i < run.sink.left.size(); ++i)
        if (std::fabs(run.sink.left[i]) >= threshold) last_loud = i;
    EXPECT_EQ(run.result.frames, run.sink.left.size());
    EXPECT_EQ(run.sink.left.size(), last_loud + 1 + kRate / 2);
    // A note at half level with a 50 ms decay falls below -90 dBFS after ln(0.5/3.16e-5) × 50 ms.
    EXPECT_NEAR(double(last_loud) / kRate, 0.05 * std::log(0.5 / threshold), 0.002);
}

TEST(Renderer, TailIsCappedAndASilentEndStopsAtOnce) {
    struct Case {
        const char* name;
        float constant;
        double tail;
        uint64_t end;
        uint64_t frames;
        bool on_silence;
    };
    const Case cases[] = {
        {"never silent: the cap", 0.01f, 1.5, 10000, 10000 + 66150, false},
        {"never silent, no tail", 0.01f, 0.0, 10000, 10000, false},
        {"silent already: ends at the song's end", 0.0f, 5.0, 30000, 30000, true},
        {"silent, short song: a full half second", 0.0f, 5.0, 100, 22050, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig run;
        run.instrument.constant = c.constant;
        render(run, {}, c.end, settings(512, c.tail));
        EXPECT_EQ(run.result.frames, c.frames);
        EXPECT_EQ(run.sink.left.size(), c.frames);
        EXPECT_EQ(run.result.ended_on_silence, c.on_silence);
    }
}

TEST(Renderer, AFullEventQueueEndsTheBlockAtThatEvent) {
    // Two events a block: the third at frame 10 has to wait one frame.
    Rig run;
    run.instrument.capacity = 2;
    const std::vector<ScheduledEvent> crowd = {
        {10, 0x90, 1, 1}, {10, 0x90, 2, 1}, {10, 0x90, 3, 1}, {11, 0x90, 4, 1}, {300, 0x90, 5, 1}};
    render(run, crowd, 1024, settings(512, 0));
    std::vector<uint64_t> frames;
    for (const auto& r : run.instrument.received) frames.push_back(r.frame);
    EXPECT_EQ(frames, (std::vector<uint64_t>{10, 10, 11, 11, 300}));
    EXPECT_EQ(run.result.dropped_events, 0u);
    EXPECT_EQ(run.result.late_events, 1u);
    EXPECT_EQ(run.result.frames, 1024u);

    // An instrument that takes nothing: counted, never an endless loop.
    Rig none;
    none.instrument.capacity = 0;
    render(none, crowd, 1024, settings(512, 0));
    EXPECT_EQ(none.result.dropped_events, crowd.size());
    EXPECT_EQ(none.result.frames, 1024u);
}

TEST(Renderer, InvalidAndOverloudSamplesAreCounted) {
    Rig run;
    run.instrument.poison = true;
    run.instrument.constant = 1.25f;  // left 1.25, right -1.25: every sample but the NaNs is over
    render(run, {}, 1000, settings(256, 0));
    EXPECT_EQ(run.result.non_finite, 4u);  // one per block, written as 0
    EXPECT_EQ(run.result.over_full_scale, 2000u - 4u);
    for (float x : run.sink.left) EXPECT_TRUE(std::isfinite(x));
}

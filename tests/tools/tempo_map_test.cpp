// Song time over the tempo map: exact frames through tempo changes, and SMPTE time.
#include <gtest/gtest.h>

#include <string>

#include "tests/tools/smf_builder.h"
#include "tools/render/renderer.h"
#include "tools/render/tempo_map.h"

using namespace mellora::render;
using namespace mellora::test;

TEST(TempoMap, EventsLandOnTheExactFrameThroughTempoChanges) {
    // 480 ticks per quarter. 120 BPM for two quarters (1 s), then 0.6 s per quarter for
    // 3 ticks (3.75 ms), then 200 BPM: tick 963 + 480 lies at 1.00375 + 0.3 = 1.30375 s.
    SmfTiming timing;
    timing.ticks_per_quarter = 480;
    const TempoMap map(timing, {{960, 600000}, {963, 300000}});
    EXPECT_EQ(map.frame_at(0, 44100), 0u);
    EXPECT_EQ(map.frame_at(960, 44100), 44100u);
    EXPECT_EQ(map.frame_at(963, 48000), 48180u);        // 1.00375 s
    EXPECT_EQ(map.frame_at(963 + 480, 44100), 57495u);  // 1.30375 s × 44100 = 57495.375
    EXPECT_DOUBLE_EQ(map.seconds_at(963 + 480), 1.30375);
    // One tick of 0.6 s / 480 = 1.25 ms is 55.125 frames at 44.1 kHz: rounded once, never accumulated.
    const TempoMap slow(timing, {{0, 600000}});
    for (uint64_t t : {1u, 2u, 7u, 480000u})
        EXPECT_EQ(slow.frame_at(t, 44100), (t * 55125 + 500) / 1000) << t;
    // Two changes at the same tick: the later one counts.
    const TempoMap twice(timing, {{0, 250000}, {0, 1000000}});
    EXPECT_EQ(twice.frame_at(480, 48000), 48000u);
}

TEST(TempoMap, SmpteTimeIgnoresTempo) {
    SmfTiming timing;
    timing.smpte = true;
    timing.frames_per_second = 25;
    timing.ticks_per_frame = 40;  // 1000 ticks a second
    EXPECT_EQ(TempoMap(timing, {{0, 100000}}).frame_at(1500, 44100), 66150u);
    timing.frames_per_second = 29;  // 29.97 drop frame: 30 frames last 1.001 s
    timing.ticks_per_frame = 80;
    EXPECT_EQ(TempoMap(timing, {}).frame_at(30 * 80, 48000), 48048u);
}

TEST(TempoMap, ATempoChangeInAnotherTrackMovesTheLaterEvents) {
    // Format 1: the notes in track 2, the tempo map in track 1 (96 ticks per quarter).
    const Bytes file = header(1, 2, 96) + track(tempo(0, 500000) + tempo(192, 250000) + end_of_track()) +
                       track(ev(96, {0x92, 60, 100}) + ev(192, {0x82, 60, 0}) + end_of_track(96));
    SmfSong song;
    std::string error;
    ASSERT_TRUE(smf_parse(file, song, error)) << error;
    const auto events = schedule_song(song, 48000, 0);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].frame, 24000u);              // tick 96 = 0.5 s
    EXPECT_EQ(events[1].frame, 48000u + 12000u);     // tick 288 = 1 s + one quarter at 0.25 s
    EXPECT_EQ(song_end_frame(song, 48000), 72000u);  // the end of track one quarter later
}

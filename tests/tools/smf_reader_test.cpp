// The Standard MIDI File reader: good files of both formats, and hostile ones that
// must each give a clear error and nothing else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tools/smf_builder.h"
#include "tools/render/smf_reader.h"

using namespace mellora::render;
using namespace mellora::test;

namespace {

struct E {
    uint64_t tick;
    uint8_t status, d1, d2;
    bool operator==(const E&) const = default;
};

std::vector<E> events_of(const SmfSong& s) {
    std::vector<E> out;
    for (const SmfEvent& e : s.events) out.push_back({e.tick, e.status, e.data1, e.data2});
    return out;
}

struct GoodCase {
    const char* name;
    Bytes file;
    std::vector<E> events;
    uint64_t end_tick;
};

const Bytes kNoteTrack = track(ev(0, {0x90, 60, 100}) + ev(96, {0x80, 60, 0}) + end_of_track(4));

} // namespace

TEST(SmfReader, ReadsGoodFiles) {
    const GoodCase cases[] = {
        {"format 0, one note", header(0, 1, 96) + kNoteTrack, {{0, 0x90, 60, 100}, {96, 0x80, 60, 0}}, 100},
        {"running status, also across meta and SysEx events",
         header(0, 1, 96) + track(ev(0, {0x93, 60, 90}) + ev(10, {62, 80}) + ev(0, {0xff, 0x01, 0x02, 'h', 'i'}) +
                                  ev(5, {64, 70}) + ev(0, {0xf0, 0x02, 0x7e, 0xf7}) + ev(5, {60, 0}) +
                                  end_of_track()),
         {{0, 0x93, 60, 90}, {10, 0x93, 62, 80}, {15, 0x93, 64, 70}, {20, 0x93, 60, 0}},
         20},
        {"one-data-byte messages, with running status",
         header(0, 1, 96) + track(ev(0, {0xc5, 7}) + ev(1, {9}) + ev(1, {0xd0, 33}) + ev(1, {0xe0, 0, 64}) +
                                  end_of_track()),
         {{0, 0xc5, 7, 0}, {1, 0xc5, 9, 0}, {2, 0xd0, 33, 0}, {3, 0xe0, 0, 64}},
         3},
        {"format 1 tracks merge by tick, equal ticks in track order",
         header(1, 3, 96) + track(ev(10, {0x90, 1, 1}) + ev(10, {0x90, 2, 1}) + end_of_track()) +
             track(ev(0, {0x91, 3, 1}) + ev(10, {0x91, 4, 1}) + ev(20, {0x91, 5, 1}) + end_of_track(50)) +
             track(ev(10, {0x9f, 6, 1}) + end_of_track()),
         {{0, 0x91, 3, 1}, {10, 0x90, 1, 1}, {10, 0x91, 4, 1}, {10, 0x9f, 6, 1}, {20, 0x90, 2, 1}, {30, 0x91, 5, 1}},
         80},
        {"unknown chunks and a longer header are skipped",
         chunk("MThd", {0, 0, 0, 1, 0, 96, 0xaa, 0xbb}) + chunk("XFIH", {1, 2, 3}) + kNoteTrack +
             chunk("JUNK", {9}),
         {{0, 0x90, 60, 100}, {96, 0x80, 60, 0}},
         100},
        {"bytes after the end of track are ignored, a missing end of track is not needed",
         header(1, 2, 96) + track(ev(0, {0x90, 60, 1}) + end_of_track() + Bytes{0xde, 0xad}) +
             track(ev(7, {0x80, 60, 0})),
         {{0, 0x90, 60, 1}, {7, 0x80, 60, 0}},
         7},
        {"SysEx continuation (F7) and four-byte delta times",
         header(0, 1, 96) + track(ev(0, {0xf7, 0x01, 0x00}) + ev(0x0fffffff, {0x90, 1, 2}) + end_of_track()),
         {{0x0fffffff, 0x90, 1, 2}},
         0x0fffffff},
    };
    for (const GoodCase& c : cases) {
        SCOPED_TRACE(c.name);
        SmfSong song;
        std::string error;
        ASSERT_TRUE(smf_parse(c.file, song, error)) << error;
        EXPECT_EQ(events_of(song), c.events);
        EXPECT_EQ(song.end_tick, c.end_tick);
    }
}

TEST(SmfReader, ReadsTimingAndTempo) {
    SmfSong song;
    std::string error;
    ASSERT_TRUE(smf_parse(header(1, 2, 480) + track(tempo(0, 600000) + tempo(960, 400000) + end_of_track()) +
                              track(tempo(480, 300000) + end_of_track()),
                          song, error))
        << error;
    EXPECT_FALSE(song.timing.smpte);
    EXPECT_EQ(song.timing.ticks_per_quarter, 480);
    ASSERT_EQ(song.tempo.size(), 3u);
    EXPECT_EQ(song.tempo[0].us_per_quarter, 600000u);
    EXPECT_EQ(song.tempo[1].tick, 480u);  // from the second track, merged in tick order
    EXPECT_EQ(song.tempo[2].us_per_quarter, 400000u);

    // SMPTE: 25 frames per second (high byte -25), 40 ticks per frame.
    ASSERT_TRUE(smf_parse(header(0, 1, uint16_t(0xe728)) + kNoteTrack, song, error)) << error;
    EXPECT_TRUE(song.timing.smpte);
    EXPECT_EQ(song.timing.frames_per_second, 25);
    EXPECT_EQ(song.timing.ticks_per_frame, 40);
}

TEST(SmfReader, RefusesHostileFilesWithAClearError) {
    struct BadCase {
        const char* name;
        Bytes file;
        const char* error;
    };
    const Bytes ok_header = header(0, 1, 96);
    const BadCase cases[] = {
        {"empty", {}, "not a MIDI file (no MThd header)"},
        {"a text file", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}, "no MThd header"},
        {"track before header", kNoteTrack + ok_header, "no MThd header"},
        {"short header", chunk("MThd", {0, 0, 0, 1}), "too short"},
        {"header length lies", chunk("MThd", {0, 0, 0, 1, 0, 96}, 600), "truncated MThd chunk (declares 600 bytes"},
        {"zero tracks", header(1, 0, 96), "declares no tracks"},
        {"format 2", header(2, 1, 96) + kNoteTrack, "format 2"},
        {"format 7", header(7, 1, 96) + kNoteTrack, "unknown MIDI file format 7"},
        {"format 0 with two tracks", header(0, 2, 96) + kNoteTrack + kNoteTrack, "format 0"},
        {"zero ticks per quarter", header(0, 1, 0) + kNoteTrack, "zero ticks per quarter"},
        {"SMPTE at 23 fps", header(0, 1, uint16_t(0xe928)) + kNoteTrack, "unsupported SMPTE timing"},
        {"SMPTE with no ticks per frame", header(0, 1, uint16_t(0xe700)) + kNoteTrack, "unsupported SMPTE timing"},
        {"track length lies", ok_header + chunk("MTrk", ev(0, {0x90, 1, 1}), 0x7fffffff),
         "truncated chunk 'MTrk' at byte 14 (declares 2147483647 bytes, 4 left)"},
        {"unknown chunk's length lies", ok_header + chunk("JUNK", {1}, 99), "truncated chunk 'JUNK'"},
        {"fewer tracks than declared", header(1, 3, 96) + kNoteTrack, "declares 3 tracks, the file holds 1"},
        {"chunk header cut", ok_header + Bytes{'M', 'T', 'r'}, "truncated chunk header at byte 14"},
        {"delta time of five bytes", ok_header + track(Bytes{0x81, 0x80, 0x80, 0x80, 0x00, 0x90, 1, 1}),
         "variable-length number longer than four bytes"},
        {"delta time cut", ok_header + track(Bytes{0x00, 0x90, 1, 1, 0x81}), "truncated variable-length number"},
        {"meta length lies", ok_header + track(ev(0, {0xff, 0x01, 0x10, 'a'})), "meta event of 16 bytes runs past"},
        {"huge meta length", ok_header + track(ev(0, {0xff, 0x01, 0xff, 0xff, 0xff, 0x7f})),
         "meta event of 268435455 bytes runs past"},
        {"SysEx length lies", ok_header + track(ev(0, {0xf0, 0x05, 0x01})), "SysEx event of 5 bytes runs past"},
        {"data byte first", ok_header + track(ev(0, {0x40, 0x40})), "track 1, event at byte 22: data byte without a status"},
        {"real-time byte", ok_header + track(ev(0, {0xf8})), "status byte 0xF8 is not allowed"},
        {"channel message cut", ok_header + track(ev(0, {0x90, 60})), "truncated channel message"},
        {"data above 127", ok_header + track(ev(0, {0x90, 60, 0x90})), "data byte above 127"},
        {"delta with no event", ok_header + track(Bytes{0x00}), "a delta time with no event"},
        {"meta type cut", ok_header + track(Bytes{0x00, 0xff}), "truncated meta event"},
        {"tempo of zero", ok_header + track(tempo(0, 0)), "tempo of zero"},
        {"tempo too short", ok_header + track(ev(0, {0xff, 0x51, 0x02, 1, 2})), "tempo event shorter"},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        SmfSong song;
        std::string error;
        EXPECT_FALSE(smf_parse(c.file, song, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

TEST(SmfReader, NamesTheSystemErrorOfAnUnreadableFile) {
    SmfSong song;
    std::string error;
    EXPECT_FALSE(smf_read_file("/nonexistent/song.mid", song, error));
    EXPECT_EQ(error, "No such file or directory");
    EXPECT_FALSE(smf_read_file("/", song, error));
    EXPECT_EQ(error, "Is a directory");
}

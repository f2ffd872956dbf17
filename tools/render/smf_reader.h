#pragma once
// Standard MIDI File reader (formats 0 and 1).
//
// A MIDI file comes from anywhere, so the reader treats it as hostile: every length is
// checked against what is left of its chunk and of the file, variable-length numbers
// are limited to the four bytes the format allows, and each failure becomes one line
// saying what is wrong and where. It keeps the channel messages of every track, merged
// by absolute tick (equal ticks keep track order, then file order), and the tempo
// changes; SysEx and the other meta events are read past.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mellora::render {

struct SmfEvent {
    uint64_t tick = 0;
    uint8_t status = 0;  // a channel message, 0x80..0xEF
    uint8_t data1 = 0;
    uint8_t data2 = 0;   // 0 for the one-data-byte messages (program change, channel pressure)
};

struct SmfTempo {
    uint64_t tick = 0;
    uint32_t us_per_quarter = 500000;  // microseconds per quarter note (120 BPM is the default)
};

// The header's division: ticks per quarter note, or SMPTE frames per second with
// ticks per frame (where tempo changes do not move time).
struct SmfTiming {
    bool smpte = false;
    int ticks_per_quarter = 480;
    int frames_per_second = 0;  // 24, 25, 29 (29.97 drop frame) or 30
    int ticks_per_frame = 0;
};

struct SmfSong {
    int format = 0;
    int tracks = 0;
    SmfTiming timing;
    std::vector<SmfEvent> events;  // merged, sorted by tick
    std::vector<SmfTempo> tempo;   // sorted by tick
    uint64_t end_tick = 0;         // the latest event or end of track of any track
};

// Files above this size are refused before they are read: no real song comes near it.
constexpr std::size_t kSmfMaxFileBytes = 64u << 20;

// Parses the bytes of a file. False with a one-line description (without the file's
// name) when the bytes are not a usable MIDI file; `song` is then unspecified.
bool smf_parse(std::span<const uint8_t> bytes, SmfSong& song, std::string& error);
// Reads and parses a file; the error names the problem, the caller names the file.
bool smf_read_file(const std::string& path, SmfSong& song, std::string& error);

} // namespace mellora::render

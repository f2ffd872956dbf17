// Feeds arbitrary bytes to the MIDI file reader. It may refuse them, but never crash;
// an accepted song must hold only channel messages with 7-bit data, in tick order, and
// its events must map to frames in the same order at every rate.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "tools/render/renderer.h"
#include "tools/render/smf_reader.h"
#include "tools/render/tempo_map.h"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace mellora::render;
    SmfSong song;
    std::string error;
    if (!smf_parse(std::span<const uint8_t>(data, size), song, error)) {
        require(!error.empty() && error.find('\n') == std::string::npos);
        return 0;
    }
    require(song.tracks >= 1 && (song.format == 0 || song.format == 1));
    uint64_t tick = 0;
    for (const SmfEvent& e : song.events) {
        require(e.status >= 0x80 && e.status < 0xf0 && e.data1 < 0x80 && e.data2 < 0x80);
        require(e.tick >= tick && e.tick <= song.end_tick);
        tick = e.tick;
    }
    for (const SmfTempo& t : song.tempo) require(t.us_per_quarter > 0 && t.us_per_quarter < (1u << 24));

    const TempoMap map(song.timing, song.tempo);
    for (int rate : {44100, 192000}) {
        const auto events = schedule_song(song, rate, 0);
        require(events.size() == song.events.size());
        for (std::size_t i = 1; i < events.size(); ++i) require(events[i - 1].frame <= events[i].frame);
        require(events.empty() || events.back().frame <= song_end_frame(song, rate));
    }
    require(map.seconds_at(song.end_tick) >= 0);
    return 0;
}

#include "tools/render/demo_piece.h"

#include <algorithm>
#include <initializer_list>

namespace mellora::render {

namespace {

constexpr int kPpq = 480;          // ticks per quarter note
constexpr int kEighth = kPpq / 2;
constexpr int kBar = 4 * kPpq;     // 4/4
constexpr int kGap = 24;           // ticks of silence before the next note: the key is let go

struct Note {
    int start;   // eighths into the bar
    int length;  // eighths
    int key;
};

struct Bar {
    std::initializer_list<int> chord;  // held for the whole bar
    std::initializer_list<Note> melody;
};

// Dm9, G13, Cmaj9, A7(b13), Dm9, G13, Em7 A7, Dm9, Cmaj9, voiced for the middle of the keyboard.
const Bar kBars[] = {
    {{50, 53, 57, 60, 64}, {{0, 2, 69}, {2, 1, 72}, {3, 1, 74}, {4, 4, 76}}},
    {{43, 53, 59, 64}, {{0, 2, 74}, {2, 2, 72}, {4, 2, 71}, {6, 2, 74}}},
    {{48, 52, 55, 59, 62}, {{0, 6, 76}, {6, 1, 74}, {7, 1, 72}}},
    {{45, 55, 61, 65}, {{0, 2, 73}, {2, 2, 76}, {4, 4, 79}}},
    {{50, 53, 57, 60, 64}, {{0, 3, 77}, {3, 1, 76}, {4, 2, 74}, {6, 2, 72}}},
    {{43, 53, 59, 64}, {{0, 2, 71}, {2, 2, 74}, {4, 4, 79}}},
    {{40, 50, 55, 59}, {{0, 2, 79}, {2, 2, 77}, {4, 2, 76}, {6, 2, 73}}},
    {{50, 53, 57, 60, 64}, {{0, 8, 74}}},
    {{36, 48, 52, 55, 59, 62}, {{0, 8, 76}}},
};

} // namespace

SmfSong demo_piece() {
    SmfSong song;
    song.format = 0;
    song.tracks = 1;
    song.timing.ticks_per_quarter = kPpq;
    song.tempo = {{0, 625000},             // 96 BPM
                  {7u * kBar, 714286},     // 84 BPM
                  {8u * kBar, 833333}};    // 72 BPM for the last chord

    auto note = [&](uint64_t on, uint64_t off, int key, int velocity) {
        song.events.push_back({on, 0x90, uint8_t(key), uint8_t(velocity)});
        song.events.push_back({off, 0x80, uint8_t(key), 64});
    };
    int bar_index = 0;
    for (const Bar& bar : kBars) {
        const uint64_t start = uint64_t(bar_index) * kBar;
        const bool last = bar_index == int(std::size(kBars)) - 1;
        const uint64_t chord_off = start + (last ? 2 * kBar : kBar) - kGap;
        int spread = 0;  // a slight roll from the lowest key up, as a hand plays it
        for (int key : bar.chord) note(start + 8u * spread++, chord_off, key, 58 + 3 * (bar_index % 3));
        for (const Note& n : bar.melody) {
            const uint64_t on = start + uint64_t(n.start) * kEighth;
            const uint64_t off = last ? chord_off : on + uint64_t(n.length) * kEighth - kGap;
            const int accent = n.start % 4 == 0 ? 96 : 82;  // downbeats a little louder
            note(on, off, n.key, accent);
        }
        ++bar_index;
    }
    std::stable_sort(song.events.begin(), song.events.end(),
                     [](const SmfEvent& a, const SmfEvent& b) { return a.tick < b.tick; });
    song.end_tick = song.events.back().tick;
    return song;
}

} // namespace mellora::render

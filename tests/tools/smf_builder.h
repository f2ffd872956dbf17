#pragma once
// Builds Standard MIDI File bytes by hand for the reader's tests: chunks, variable-length
// numbers and events, so each case shows exactly which bytes it feeds the reader.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace mellora::test {

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes vlq(uint32_t v) {
    Bytes out{uint8_t(v & 0x7f)};
    while (v >>= 7) out.insert(out.begin(), uint8_t(0x80 | (v & 0x7f)));
    return out;
}

inline Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

// A chunk whose length field says `length` (by default the body's true size).
inline Bytes chunk(const char* type, const Bytes& body, int64_t length = -1) {
    Bytes out(type, type + 4);
    return out + be32(uint32_t(length < 0 ? body.size() : length)) + body;
}

inline Bytes header(int format, int tracks, uint16_t division) {
    return chunk("MThd", {uint8_t(format >> 8), uint8_t(format), uint8_t(tracks >> 8), uint8_t(tracks),
                          uint8_t(division >> 8), uint8_t(division)});
}

// An event: its delta time, then its bytes.
inline Bytes ev(uint32_t delta, std::initializer_list<uint8_t> bytes) { return vlq(delta) + Bytes(bytes); }
inline Bytes tempo(uint32_t delta, uint32_t us) {
    return ev(delta, {0xff, 0x51, 0x03, uint8_t(us >> 16), uint8_t(us >> 8), uint8_t(us)});
}
inline Bytes end_of_track(uint32_t delta = 0) { return ev(delta, {0xff, 0x2f, 0x00}); }

inline Bytes track(const Bytes& events) { return chunk("MTrk", events); }

} // namespace mellora::test

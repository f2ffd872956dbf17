#include "tools/render/smf_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace mellora::render {

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// Printable chunk type for messages: hostile bytes become '?'.
std::string chunk_name(const uint8_t* p) {
    std::string s(4, '?');
    for (int i = 0; i < 4; ++i)
        if (p[i] >= 0x20 && p[i] < 0x7f) s[i] = char(p[i]);
    return s;
}

// One track chunk's body, read byte by byte with its position kept for messages.
class TrackReader {
public:
    TrackReader(std::span<const uint8_t> body, std::size_t file_offset, int track)
        : body_(body), base_(file_offset), track_(track) {}

    bool read(std::vector<SmfEvent>& events, std::vector<SmfTempo>& tempo, uint64_t& end_tick, std::string& error);

private:
    bool fail(std::string& error, const char* what) {
        error = format("track %d, event at byte %zu: %s", track_, base_ + event_, what);
        return false;
    }
    bool byte(uint8_t& b) {
        if (pos_ >= body_.size()) return false;
        b = body_[pos_++];
        return true;
    }
    // A variable-length number: 7 bits a byte, high bit set on all but the last;
    // the format allows at most four bytes (values below 2^28).
    bool number(uint32_t& v, std::string& error) {
        v = 0;
        for (int i = 0; i < 4; ++i) {
            uint8_t b;
            if (!byte(b)) return fail(error, "truncated variable-length number");
            v = v << 7 | (b & 0x7f);
            if (!(b & 0x80)) return true;
        }
        return fail(error, "variable-length number longer than four bytes");
    }
    bool skip(uint32_t n, std::string& error, const char* what) {
        if (n > body_.size() - pos_) {
            error = format("track %d, event at byte %zu: %s of %u bytes runs past the end of the track (%zu left)",
                           track_, base_ + event_, what, n, body_.size() - pos_);
            return false;
        }
        pos_ += n;
        return true;
    }

    std::span<const uint8_t> body_;
    std::size_t base_;
    std::size_t pos_ = 0;
    std::size_t event_ = 0;  // where the event being read starts, for messages
    int track_;
};

bool TrackReader::read(std::vector<SmfEvent>& events, std::vector<SmfTempo>& tempo, uint64_t& end_tick,
                       std::string& error) {
    uint64_t tick = 0;
    uint8_t running = 0;  // running status: the last channel status byte
    while (pos_ < body_.size()) {
        event_ = pos_;
        uint32_t delta;
        if (!number(delta, error)) return false;
        tick += delta;
        uint8_t b;
        if (!byte(b)) return fail(error, "truncated event (a delta time with no event)");
        if (b == 0xff) {
            uint8_t type;
            uint32_t length;
            if (!byte(type)) return fail(error, "truncated meta event");
            if (!number(length, error)) return false;
            const std::size_t data = pos_;
            if (!skip(length, error, "meta event")) return false;
            if (type == 0x51) {
                if (length < 3) return fail(error, "tempo event shorter than three bytes");
                const uint32_t us = uint32_t(body_[data]) << 16 | uint32_t(body_[data + 1]) << 8 | body_[data + 2];
                if (us == 0) return fail(error, "tempo of zero microseconds per quarter note");
                tempo.push_back({tick, us});
            } else if (type == 0x2f) {
                break;  // end of track: whatever follows inside the chunk is not part of it
            }
        } else if (b == 0xf0 || b == 0xf7) {
            uint32_t length;
            if (!number(length, error)) return false;
            if (!skip(length, error, "SysEx event")) return false;
        } else if (b >= 0xf1) {
            return fail(error, format("status byte 0x%02X is not allowed in a MIDI file", b).c_str());
        } else {
            SmfEvent e;
            e.tick = tick;
            if (b & 0x80) {
                running = b;
                e.status = b;
                if (!byte(e.data1)) return fail(error, "truncated channel message");
            } else {
                // Running status; it is kept across meta and SysEx events, which real
                // files rely on although the format says those cancel it.
                if (!running) return fail(error, "data byte without a status byte");
                e.status = running;
                e.data1 = b;
            }
            const uint8_t kind = e.status & 0xf0;
            if (kind != 0xc0 && kind != 0xd0 && !byte(e.data2)) return fail(error, "truncated channel message");
            if ((e.data1 | e.data2) & 0x80) return fail(error, "channel message data byte above 127");
            events.push_back(e);
        }
    }
    end_tick = std::max(end_tick, tick);
    return true;
}

bool read_header(std::span<const uint8_t> bytes, SmfSong& song, int& declared, std::size_t& pos,
                 std::string& error) {
    if (bytes.size() < 8 || std::memcmp(bytes.data(), "MThd", 4) != 0) {
        error = "not a MIDI file (no MThd header)";
        return false;
    }
    const uint32_t length = be32(bytes.data() + 4);
    if (length < 6) {
        error = format("MThd chunk of %u bytes is too short (6 needed)", length);
        return false;
    }
    if (length > bytes.size() - 8) {
        error = format("truncated MThd chunk (declares %u bytes, %zu left)", length, bytes.size() - 8);
        return false;
    }
    const uint8_t* h = bytes.data() + 8;
    song.format = be16(h);
    declared = be16(h + 2);
    const uint16_t division = be16(h + 4);
    pos = 8 + std::size_t(length);  // a longer header's extra bytes are skipped

    if (song.format > 2) {
        error = format("unknown MIDI file format %d", song.format);
        return false;
    }
    if (song.format == 2) {
        error = "MIDI file format 2 (independent patterns) is not supported";
        return false;
    }
    if (declared == 0) {
        error = "the MIDI file declares no tracks";
        return false;
    }
    if (song.format == 0 && declared != 1) {
        error = format("a format 0 MIDI file holds one track, this one declares %d", declared);
        return false;
    }
    if (division & 0x8000) {
        // SMPTE timing: the high byte is minus the frame rate, the low byte ticks per frame.
        const int fps = -int(int8_t(division >> 8));
        const int per_frame = division & 0xff;
        if ((fps != 24 && fps != 25 && fps != 29 && fps != 30) || per_frame == 0) {
            error = format("unsupported SMPTE timing (%d frames per second, %d ticks per frame)", fps, per_frame);
            return false;
        }
        song.timing.smpte = true;
        song.timing.frames_per_second = fps;
        song.timing.ticks_per_frame = per_frame;
    } else {
        if (division == 0) {
            error = "the MIDI file gives zero ticks per quarter note";
            return false;
        }
        song.timing.ticks_per_quarter = division;
    }
    return true;
}

} // namespace

bool smf_parse(std::span<const uint8_t> bytes, SmfSong& song, std::string& error) {
    song = SmfSong{};
    int declared = 0;
    std::size_t pos = 0;
    if (!read_header(bytes, song, declared, pos, error)) return false;

    while (song.tracks < declared) {
        if (bytes.size() - pos < 8) {
            error = pos == bytes.size()
                        ? format("the header declares %d tracks, the file holds %d", declared, song.tracks)
                        : format("truncated chunk header at byte %zu", pos);
            return false;
        }
        const uint8_t* head = bytes.data() + pos;
        const uint32_t length = be32(head + 4);
        const std::size_t left = bytes.size() - pos - 8;
        if (length > left) {
            error = format("truncated chunk '%s' at byte %zu (declares %u bytes, %zu left)", chunk_name(head).c_str(),
                           pos, length, left);
            return false;
        }
        const std::size_t body = pos + 8;
        pos = body + length;
        if (std::memcmp(head, "MTrk", 4) != 0) continue;  // unknown chunks are skipped
        // Tracks are appended in file order and sorted stably below, so equal ticks keep
        // track order and, within a track, file order.
        TrackReader track(bytes.subspan(body, length), body, song.tracks + 1);
        if (!track.read(song.events, song.tempo, song.end_tick, error)) return false;
        ++song.tracks;
    }
    auto by_tick = [](const auto& a, const auto& b) { return a.tick < b.tick; };
    std::stable_sort(song.events.begin(), song.events.end(), by_tick);
    std::stable_sort(song.tempo.begin(), song.tempo.end(), by_tick);
    return true;
}

bool smf_read_file(const std::string& path, SmfSong& song, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (bytes.size() + n > kSmfMaxFileBytes) {
            std::fclose(f);
            error = format("larger than %zu MiB: not a MIDI file", kSmfMaxFileBytes >> 20);
            return false;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    const int failed = std::ferror(f) ? errno : 0;
    std::fclose(f);
    if (failed) {
        error = std::strerror(failed);
        return false;
    }
    return smf_parse(bytes, song, error);
}

} // namespace mellora::render

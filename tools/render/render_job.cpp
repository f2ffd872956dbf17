#include "tools/render/render_job.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/render/audio_writer.h"
#include "tools/render/demo_piece.h"
#include "tools/render/smf_reader.h"
#include "tools/render/tempo_map.h"

namespace mellora::render {

namespace {

bool read_text_file(const std::string& path, std::string& text, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = std::strerror(errno);
        return false;
    }
    text.clear();
    char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (text.size() + n > std::size_t(kMaxPresetBytes)) {
            std::fclose(f);
            error = "larger than 4 MiB: not a preset";
            return false;
        }
        text.append(chunk, n);
    }
    const int failed = std::ferror(f) ? errno : 0;
    std::fclose(f);
    if (failed) {
        error = std::strerror(failed);
        return false;
    }
    if (text.find('\0') != std::string::npos) {
        error = "not a text file";
        return false;
    }
    return true;
}

// The temporary file beside the output: same folder, so the final rename is atomic.
class TemporaryOutput {
public:
    ~TemporaryOutput() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    int create(const std::string& out, std::string& error) {
        std::vector<char> name(out.begin(), out.end());
        const char suffix[] = ".partXXXXXX";
        name.insert(name.end(), suffix, suffix + sizeof suffix);
        const int fd = ::mkstemp(name.data());
        if (fd < 0) {
            error = std::strerror(errno);
            return -1;
        }
        path_ = name.data();
        // mkstemp makes the file private; give it the permissions a new file gets.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        return fd;
    }
    bool commit(const std::string& out, std::string& error) {
        if (std::rename(path_.c_str(), out.c_str()) != 0) {
            error = std::strerror(errno);
            return false;
        }
        path_.clear();
        return true;
    }

private:
    std::string path_;
};

} // namespace

uint32_t clock_seed() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count() ^
                     std::chrono::system_clock::now().time_since_epoch().count();
    const uint32_t s = static_cast<uint32_t>(now ^ (now >> 32));
    return s ? s : 1;
}

int run_render_job(const RenderOptions& o, RenderInstrument& instrument, JobReport& report, std::string& error,
                   const RenderProgress& progress, const std::atomic<bool>* cancel) {
    report = JobReport{};
    report.out_path = o.out_path;

    // Everything that can be checked cheaply is checked before the render starts.
    AudioFormat format;
    std::string why;
    if (!audio_format_for(o.out_path, o.bits, format, why)) {
        error = o.out_path + ": " + why;
        return kExitBadInput;
    }
    struct stat st;
    if (::stat(o.out_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = o.out_path + ": is a folder, not a file name";
        return kExitBadInput;
    }

    SmfSong song;
    if (o.demo) song = demo_piece();
    else if (!smf_read_file(o.midi_path, song, why)) {
        error = o.midi_path + ": " + why;
        return kExitBadInput;
    }
    const std::string song_name = o.demo ? std::string("the demo piece") : o.midi_path;
    {
        uint64_t last = song.end_tick;
        if (!song.events.empty()) last = std::max(last, song.events.back().tick);
        const double length = TempoMap(song.timing, song.tempo).seconds_at(last);
        if (length > kMaxSongSeconds) {
            char text[160];
            std::snprintf(text, sizeof text, ": the song lasts %.0f hours, more than the %.0f hours a render may take",
                          length / 3600, kMaxSongSeconds / 3600);
            error = song_name + text;
            return kExitBadInput;
        }
    }

    std::string preset;
    if (!o.preset_path.empty() && !read_text_file(o.preset_path, preset, why)) {
        error = o.preset_path + ": " + why;
        return kExitBadInput;
    }

    report.seed = o.seed_given ? o.seed : clock_seed();
    if (!instrument.prepare(o.sample_rate, o.block, o.polyphony, report.seed, why)) {
        error = "the instrument could not be prepared: " + why;
        return kExitFailed;
    }
    if (!o.preset_path.empty() && !instrument.load_preset_text(preset, why)) {
        error = o.preset_path + ": " + why;
        return kExitBadInput;
    }

    TemporaryOutput temporary;
    const int fd = temporary.create(o.out_path, why);
    if (fd < 0) {
        error = o.out_path + ": cannot create the file: " + why;
        return kExitBadInput;
    }
    AudioFileWriter writer;
    if (!writer.open_fd(fd, format, o.sample_rate, why)) {
        error = o.out_path + ": " + why;
        return kExitBadInput;
    }

    RenderSettings settings;
    settings.sample_rate = o.sample_rate;
    settings.block = o.block;
    settings.channel = o.channel;
    settings.tail_seconds = o.tail_seconds;
    const std::vector<ScheduledEvent> events = schedule_song(song, o.sample_rate, o.channel);
    report.result = render_song(instrument, events, song_end_frame(song, o.sample_rate), settings, writer, progress,
                                cancel);
    if (report.result.cancelled) {
        error = o.out_path + ": render interrupted, no file written";
        return kExitFailed;
    }
    if (report.result.sink_failed) {
        error = o.out_path + ": cannot write the file: " + writer.error();
        return kExitBadInput;
    }
    if (!writer.close(why)) {
        error = o.out_path + ": cannot finish the file: " + why;
        return kExitBadInput;
    }
    if (!temporary.commit(o.out_path, why)) {
        error = o.out_path + ": cannot move the finished file into place: " + why;
        return kExitBadInput;
    }
    report.seconds = double(report.result.frames) / o.sample_rate;
    report.format = std::string(format.container) + ", " + sample_bits_name(o.bits) + ", " +
                    std::to_string(o.sample_rate) + " Hz";
    return kExitOk;
}

} // namespace mellora::render

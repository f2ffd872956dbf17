#include "tools/render/audio_writer.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <vector>

namespace mellora::render {

namespace {

constexpr int kChunkFrames = 4096;  // frames interleaved per libsndfile call

std::string lower_extension(std::string_view path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
    std::string ext(path.substr(dot + 1));
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

} // namespace

struct AudioFileWriter::File {
    SNDFILE* handle = nullptr;
    std::vector<float> interleaved = std::vector<float>(2 * kChunkFrames);
};

bool parse_sample_bits(std::string_view text, SampleBits& bits) {
    if (text == "16") bits = SampleBits::pcm16;
    else if (text == "24") bits = SampleBits::pcm24;
    else if (text == "32f") bits = SampleBits::float32;
    else return false;
    return true;
}

const char* sample_bits_name(SampleBits bits) {
    switch (bits) {
    case SampleBits::pcm16: return "16-bit";
    case SampleBits::pcm24: return "24-bit";
    case SampleBits::float32: return "32-bit float";
    }
    return "";
}

bool audio_format_for(std::string_view path, SampleBits bits, AudioFormat& format, std::string& error) {
    const std::string ext = lower_extension(path);
    if (ext == "wav") format.sndfile_format = SF_FORMAT_WAV, format.container = "WAV";
    else if (ext == "aiff" || ext == "aif") format.sndfile_format = SF_FORMAT_AIFF, format.container = "AIFF";
    else if (ext == "flac") format.sndfile_format = SF_FORMAT_FLAC, format.container = "FLAC";
    else if (ext == "w64") format.sndfile_format = SF_FORMAT_W64, format.container = "Wave64";
    else if (ext == "caf") format.sndfile_format = SF_FORMAT_CAF, format.container = "CAF";
    else {
        error = ext.empty() ? "no file extension to choose the audio format (use .wav, .aiff, .flac, .w64 or .caf)"
                            : "unknown audio file extension '." + ext + "' (use .wav, .aiff, .flac, .w64 or .caf)";
        return false;
    }
    if (bits == SampleBits::float32 && ext == "flac") {
        error = "FLAC holds integer samples only: use --bits 16 or 24";
        return false;
    }
    format.bits = bits;
    format.sndfile_format |= bits == SampleBits::pcm16   ? SF_FORMAT_PCM_16
                             : bits == SampleBits::pcm24 ? SF_FORMAT_PCM_24
                                                         : SF_FORMAT_FLOAT;
    return true;
}

AudioFileWriter::AudioFileWriter() = default;

AudioFileWriter::~AudioFileWriter() {
    std::string ignored;
    close(ignored);
}

bool AudioFileWriter::opened(void* handle, const char* what, std::string& error) {
    if (!handle) {
        error = std::string(what) + ": " + sf_strerror(nullptr);
        return false;
    }
    file_ = std::make_unique<File>();
    file_->handle = static_cast<SNDFILE*>(handle);
    // Integer formats: clip at full scale instead of letting an over-range sample wrap.
    sf_command(file_->handle, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return true;
}

bool AudioFileWriter::open(const std::string& path, const AudioFormat& format, int rate, std::string& error) {
    std::string ignored;
    close(ignored);
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = format.sndfile_format;
    if (!sf_format_check(&info)) {
        error = "libsndfile cannot write this format at this rate";
        return false;
    }
    return opened(sf_open(path.c_str(), SFM_WRITE, &info), "cannot create the file", error);
}

bool AudioFileWriter::open_fd(int fd, const AudioFormat& format, int rate, std::string& error) {
    std::string ignored;
    close(ignored);
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = format.sndfile_format;
    if (!sf_format_check(&info)) {
        ::close(fd);
        error = "libsndfile cannot write this format at this rate";
        return false;
    }
    SNDFILE* handle = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!handle) ::close(fd);
    return opened(handle, "cannot write the file", error);
}

bool AudioFileWriter::write(const float* left, const float* right, int frames) {
    if (!file_) {
        error_ = "the file is not open";
        return false;
    }
    while (frames > 0) {
        const int n = std::min(frames, kChunkFrames);
        float* out = file_->interleaved.data();
        for (int i = 0; i < n; ++i) {
            out[2 * i] = left[i];
            out[2 * i + 1] = right[i];
        }
        if (sf_writef_float(file_->handle, out, n) != n) {
            error_ = sf_strerror(file_->handle);
            return false;
        }
        left += n, right += n, frames -= n;
    }
    return true;
}

bool AudioFileWriter::close(std::string& error) {
    if (!file_) return true;
    const int rc = sf_close(file_->handle);
    file_.reset();
    if (rc != 0) {
        error = sf_error_number(rc);
        return false;
    }
    return true;
}

} // namespace mellora::render

#pragma once
// Stereo audio files through libsndfile: the container from the file name's extension
// (.wav, .aiff/.aif, .flac, .w64, .caf) and 16-bit, 24-bit or 32-bit float samples.
// Samples beyond ±1 are clipped to full scale in the integer formats, never wrapped.
#include <memory>
#include <string>
#include <string_view>

#include "tools/render/renderer.h"

namespace mellora::render {

enum class SampleBits { pcm16, pcm24, float32 };

// "16", "24" or "32f".
bool parse_sample_bits(std::string_view text, SampleBits& bits);
const char* sample_bits_name(SampleBits bits);

struct AudioFormat {
    int sndfile_format = 0;  // container | sample encoding, as libsndfile spells it
    const char* container = "";
    SampleBits bits = SampleBits::pcm24;
};

// The format for writing `path` with `bits`; false with a one-line reason when the
// extension is unknown or the container cannot hold those samples.
bool audio_format_for(std::string_view path, SampleBits bits, AudioFormat& format, std::string& error);

class AudioFileWriter : public RenderSink {
public:
    AudioFileWriter();
    ~AudioFileWriter() override;
    AudioFileWriter(const AudioFileWriter&) = delete;
    AudioFileWriter& operator=(const AudioFileWriter&) = delete;

    bool open(const std::string& path, const AudioFormat& format, int sample_rate, std::string& error);
    // Writes into an open descriptor (a temporary file); the writer closes it.
    bool open_fd(int fd, const AudioFormat& format, int sample_rate, std::string& error);
    bool write(const float* left, const float* right, int frames) override;
    // Finishes the file (headers, FLAC's last frame); false with the reason.
    bool close(std::string& error);
    // The reason of a failed write.
    const std::string& error() const { return error_; }

private:
    bool opened(void* file, const char* what, std::string& error);
    struct File;
    std::unique_ptr<File> file_;
    std::string error_;
};

} // namespace mellora::render

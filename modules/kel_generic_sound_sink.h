#pragma once
// Where the recorder's samples go: a sound sink takes blocks of float frames on the audio
// thread. KelGenericSoundSink hands them to its disk-writer thread through a lock-free
// ring and writes a 16-bit WAV or AIFF file, fixing the header's sizes when a take ends.
//
// Threads:
// - audio thread: start(), stop(), write(). They never block, allocate or touch the
//   disk; a block that does not fit in the ring is refused whole (the file then has a
//   gap), and so is every block between stop() and the ring's reset after the next start().
// - disk writer (one per sink, time-critical priority): waits for a chunk of 65536
//   samples (or the end of a take) polling every 4.41e6 / rate ms (100 ms at 44.1 kHz),
//   converts and writes it; at the end of a take it completes the header and closes the
//   file; a later take overwrites the same path.
// - user-interface thread: construction and destruction (which ends a take in progress,
//   finishes its file and joins the writer), set_sample_rate() between takes.
// The fill count changes only by atomic additions; the write index belongs to the audio
// thread and the read index to the writer, except while a reset is requested, when the
// audio side leaves both alone and the writer rewinds them.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "framework/files.h"
#include "framework/kel_thread.h"

class KelSoundSink {
public:
    virtual ~KelSoundSink() = default;
    virtual void stop() = 0;
    // True when the sink accepts frames for a new take.
    virtual bool start() = 0;
    // Frames accepted: all of them or none.
    virtual int write(int channels, int frames, const float* const* data) = 0;
    virtual int channels() const = 0;
    virtual int bits() const = 0;
};

enum class KelSoundFileType { Wav, Aiff };

// The 80-bit IEEE extended float of AIFF's sample rate: sign, 15-bit exponent with bias
// 16383, 64-bit mantissa with an explicit integer bit, big-endian.
void kel_ieee_extended(double value, uint8_t out[10]);

class KelGenericSoundSink : public KelSoundSink {
public:
    static constexpr uint32_t kRingCapacity = 0x40000;  // floats: about 3 s of stereo at 44.1 kHz
    static constexpr uint32_t kChunk = 65536;           // floats per disk write
    static constexpr int kWavHeaderBytes = 44;
    static constexpr int kAiffHeaderBytes = 54;

    // 16-bit samples; one or two channels (anything else means two).
    KelGenericSoundSink(int sample_rate, int channels, KelSoundFileType type, std::string path);
    ~KelGenericSoundSink() override;
    KelGenericSoundSink(const KelGenericSoundSink&) = delete;
    KelGenericSoundSink& operator=(const KelGenericSoundSink&) = delete;

    bool start() override;
    void stop() override;
    int write(int channels, int frames, const float* const* data) override;
    int channels() const override { return channels_; }
    int bits() const override { return 16; }

    // The rate written into the next file's header (a take in progress keeps its own).
    void set_sample_rate(int rate);
    KelSoundFileType file_type() const { return type_; }
    const std::string& path() const { return path_; }
    // Writer poll period in milliseconds.
    int poll_period_ms() const { return period_ms_.load(); }
    // Files completed since construction (for the user interface and tests).
    int takes_finished() const { return takes_finished_.load(); }
    bool writer_started() const { return writer_ok_; }

private:
    static uint32_t writer_main(void* self);
    void writer_loop();
    uint32_t read_chunk(uint32_t n);
    void open_file();
    void write_samples(uint32_t n);
    void finish_file();
    void write_header(uint32_t data_bytes);
    void reset_ring();

    const int channels_;
    const KelSoundFileType type_;
    const std::string path_;
    std::atomic<int> rate_;
    std::atomic<int> period_ms_;

    std::unique_ptr<float[]> ring_;
    std::atomic<uint32_t> write_index_{0};
    std::atomic<uint32_t> read_index_{0};
    std::atomic<uint32_t> count_{0};
    std::atomic<bool> end_{false};
    std::atomic<bool> reset_request_{false};
    std::atomic<bool> quit_{false};
    std::atomic<int> takes_finished_{0};

    // Writer thread only.
    std::unique_ptr<int16_t[]> converted_;
    KelBinaryFileWriter file_;
    int file_rate_ = 0;
    uint64_t data_bytes_ = 0;
    bool open_failed_ = false;
    bool size_capped_ = false;

    KelThread writer_;
    bool writer_ok_ = false;
};

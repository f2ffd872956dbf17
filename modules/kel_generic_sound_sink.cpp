#include "modules/kel_generic_sound_sink.h"

#include <cmath>
#include <cstring>

#include "engine/report.h"
#include "framework/interlocked.h"
#include "framework/platform_thread.h"

namespace {

constexpr uint32_t kRingMask = KelGenericSoundSink::kRingCapacity - 1;
static_assert((KelGenericSoundSink::kRingCapacity & kRingMask) == 0, "the ring wraps by masking");
// Both formats keep their sizes in 32 bits: a take stops growing before they overflow
// (about 6.7 hours of 44.1 kHz stereo).
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - 64;
constexpr int kIdleSleepMs = 10;

int poll_period_for(int rate) {
    const double ms = 4.41e6 / (rate > 0 ? rate : 44100);
    return ms < 1 ? 1 : static_cast<int>(ms);
}

void put_le16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
}
void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void put_be16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 8), p[1] = uint8_t(v);
}
void put_be32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

// Full scale is 32767 and the fraction is cut toward zero; the recorder has limited the
// samples already, the clamp only keeps a stray value from wrapping.
int16_t to_16_bits(float x) {
    if (!(x == x)) return 0;
    if (x > 1.0f) x = 1.0f;
    if (x < -1.0f) x = -1.0f;
    return static_cast<int16_t>(x * 32767.0f);
}

} // namespace

void kel_ieee_extended(double value, uint8_t out[10]) {
    std::memset(out, 0, 10);
    if (!(value == value) || value == 0) return;
    if (value < 0) {
        out[0] = 0x80;
        value = -value;
    }
    int exponent = 0;
    double fraction = std::frexp(value, &exponent);  // value = fraction * 2^exponent, 0.5 <= fraction < 1
    // The mantissa's top bit is the explicit integer bit: 1.xxx * 2^(exponent - 1).
    const uint64_t mantissa = static_cast<uint64_t>(std::ldexp(fraction, 64));
    const int biased = exponent - 1 + 16383;
    out[0] = static_cast<uint8_t>(out[0] | ((biased >> 8) & 0x7f));
    out[1] = static_cast<uint8_t>(biased);
    for (int i = 0; i < 8; ++i) out[2 + i] = static_cast<uint8_t>(mantissa >> (56 - 8 * i));
}

KelGenericSoundSink::KelGenericSoundSink(int sample_rate, int channels, KelSoundFileType type, std::string path)
    : channels_(channels == 1 ? 1 : 2),
      type_(type),
      path_(std::move(path)),
      rate_(sample_rate > 0 ? sample_rate : 44100),
      period_ms_(poll_period_for(sample_rate)),
      ring_(new float[kRingCapacity]()),
      converted_(new int16_t[kChunk]()) {
    writer_ok_ = writer_.start(&KelGenericSoundSink::writer_main, this, kKelPriorityTimeCritical);
    if (!writer_ok_) KEL_WARNING("cannot start the recorder's disk writer: nothing will be recorded");
}

KelGenericSoundSink::~KelGenericSoundSink() {
    // The writer drains what is left, finishes the file and leaves.
    end_.store(true);
    quit_.store(true);
    if (writer_ok_) writer_.wait();
}

void KelGenericSoundSink::set_sample_rate(int rate) {
    if (rate <= 0) return;
    rate_.store(rate);
    period_ms_.store(poll_period_for(rate));
}

bool KelGenericSoundSink::start() {
    if (!writer_ok_) return false;
    // After a take the ring holds the end flag until the writer has finished that file;
    // the reset rewinds it, and writes are refused until then.
    if (end_.load()) reset_request_.store(true);
    return true;
}

void KelGenericSoundSink::stop() { end_.store(true); }

int KelGenericSoundSink::write(int channels, int frames, const float* const* data) {
    if (channels != channels_ || frames <= 0 || !data || !writer_ok_) return 0;
    if (end_.load() || reset_request_.load()) return 0;
    const uint32_t need = static_cast<uint32_t>(channels) * static_cast<uint32_t>(frames);
    if (need > kRingCapacity - count_.load()) return 0;
    uint32_t w = write_index_.load(std::memory_order_relaxed);
    for (int f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c) {
            ring_[w] = data[c][f];
            w = (w + 1) & kRingMask;
        }
    write_index_.store(w, std::memory_order_relaxed);
    kel_interlocked_exchange_add(count_, need);  // publishes the samples to the writer
    return frames;
}

uint32_t KelGenericSoundSink::writer_main(void* self) {
    static_cast<KelGenericSoundSink*>(self)->writer_loop();
    return 0;
}

void KelGenericSoundSink::writer_loop() {
    for (;;) {
        while (count_.load() < kChunk && !end_.load() && !reset_request_.load() && !quit_.load())
            kel_sleep_ms(period_ms_.load());
        // The end flag first: no sample arrives after it, so the count read next is final.
        const bool ended = end_.load();
        const uint32_t available = count_.load();
        uint32_t n = available >= kChunk ? kChunk : (ended ? available : 0);
        n = read_chunk(n);
        if (n > 0) {
            if (!file_.is_open() && !open_failed_) open_file();
            if (file_.is_open()) write_samples(n);
        }
        if (n == kChunk) continue;
        // A short chunk: the take has ended.
        if (file_.is_open()) finish_file();
        open_failed_ = false;
        if (n > 0) continue;
        if (quit_.load()) return;
        if (reset_request_.load())
            reset_ring();
        else
            kel_sleep_ms(kIdleSleepMs);
    }
}

uint32_t KelGenericSoundSink::read_chunk(uint32_t n) {
    uint32_t r = read_index_.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < n; ++i) {
        converted_[i] = to_16_bits(ring_[r]);
        r = (r + 1) & kRingMask;
    }
    read_index_.store(r, std::memory_order_relaxed);
    if (n) kel_interlocked_exchange_add(count_, static_cast<uint32_t>(0u - n));  // frees the space
    return n;
}

void KelGenericSoundSink::reset_ring() {
    // The audio side leaves the indices alone while the request stands.
    write_index_.store(0, std::memory_order_relaxed);
    read_index_.store(0, std::memory_order_relaxed);
    count_.store(0);
    end_.store(false);
    reset_request_.store(false);
}

void KelGenericSoundSink::open_file() {
    if (!file_.create(path_)) {
        open_failed_ = true;
        KEL_WARNING("cannot create the recording \"%s\"", path_.c_str());
        return;
    }
    file_rate_ = rate_.load();
    data_bytes_ = 0;
    size_capped_ = false;
    write_header(0);  // sizes are filled in when the take ends
}

void KelGenericSoundSink::write_samples(uint32_t n) {
    uint64_t bytes = uint64_t(n) * 2;
    if (data_bytes_ + bytes > kMaxDataBytes) {
        const uint64_t frame_bytes = uint64_t(channels_) * 2;
        bytes = (kMaxDataBytes - data_bytes_) / frame_bytes * frame_bytes;
        if (!size_capped_) KEL_LOG("recording \"%s\" reached the largest size its header can hold", path_.c_str());
        size_capped_ = true;
        if (bytes == 0) return;
        n = static_cast<uint32_t>(bytes / 2);
    }
    if (type_ == KelSoundFileType::Wav) {
        uint8_t* p = reinterpret_cast<uint8_t*>(converted_.get());
        for (uint32_t i = 0; i < n; ++i) put_le16(p + 2 * i, static_cast<uint16_t>(converted_[i]));
    } else {
        uint8_t* p = reinterpret_cast<uint8_t*>(converted_.get());
        for (uint32_t i = 0; i < n; ++i) put_be16(p + 2 * i, static_cast<uint16_t>(converted_[i]));
    }
    file_.write(converted_.get(), bytes);
    data_bytes_ += bytes;
}

void KelGenericSoundSink::write_header(uint32_t data_bytes) {
    uint8_t h[kAiffHeaderBytes] = {};
    const uint32_t block_align = static_cast<uint32_t>(channels_) * 2;
    const uint32_t rate = static_cast<uint32_t>(file_rate_);
    if (type_ == KelSoundFileType::Wav) {
        std::memcpy(h, "RIFF", 4);
        put_le32(h + 4, data_bytes + 36);
        std::memcpy(h + 8, "WAVEfmt ", 8);
        put_le32(h + 16, 16);
        put_le16(h + 20, 1);  // PCM
        put_le16(h + 22, static_cast<uint32_t>(channels_));
        put_le32(h + 24, rate);
        put_le32(h + 28, rate * block_align);
        put_le16(h + 32, block_align);
        put_le16(h + 34, 16);
        std::memcpy(h + 36, "data", 4);
        put_le32(h + 40, data_bytes);
        file_.write(h, kWavHeaderBytes);
    } else {
        std::memcpy(h, "FORM", 4);
        put_be32(h + 4, data_bytes + 46);
        std::memcpy(h + 8, "AIFFCOMM", 8);
        put_be32(h + 16, 18);
        put_be16(h + 20, static_cast<uint32_t>(channels_));
        put_be32(h + 22, data_bytes / block_align);
        put_be16(h + 26, 16);
        kel_ieee_extended(rate, h + 28);
        std::memcpy(h + 38, "SSND", 4);
        put_be32(h + 42, data_bytes + 8);
        put_be32(h + 46, 0);  // offset
        put_be32(h + 50, 0);  // block size
        file_.write(h, kAiffHeaderBytes);
    }
}

void KelGenericSoundSink::finish_file() {
    file_.seek(0);
    write_header(static_cast<uint32_t>(data_bytes_));
    if (!file_.close()) KEL_WARNING("the recording \"%s\" could not be written completely", path_.c_str());
    kel_interlocked_increment(takes_finished_);
}
